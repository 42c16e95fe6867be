// A frame as it comes from a unit, parsed once: the receive side cuts the
// bytes, decodes them (Frame.h) and, for the frames that wait in the receive
// queue, makes the texts and the packet record here, so that every later
// step reads fields of the result instead of cutting the text again.
#pragma once

#include "Frame.h"
#include "PackRecord.h"

#include <QByteArrayView>
#include <QString>

#include <optional>

struct TReceivedFrame {
    QString SourcePackage; // the frame as received (escaped), upper-case hex
    QString TrulyPackage;  // the frame unescaped
    bool CheckOk = false;  // the carried check code matches the content
    // The packet record of TrulyPackage; empty when the frame is too short or
    // otherwise cannot be parsed (it is then dropped by its handler).
    std::optional<TOnePackRecord> Record;

    // Characters held by the texts, for bounding queues of frames.
    qsizetype Chars() const;
};

// Text, unescaped text, check and record of one cut frame (flags included).
// Never throws: a frame that cannot be parsed has no Record.
TReceivedFrame ResolveReceivedFrame(QByteArrayView bytes);
// The same from a frame already decoded from these bytes: the unescaping
// and the check are not done again.
TReceivedFrame ResolveReceivedFrame(QByteArrayView bytes, const TDecodedFrame &decoded);
