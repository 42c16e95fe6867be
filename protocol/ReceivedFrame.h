// A frame as it comes from a unit, parsed once: the receive side cuts the
// bytes, turns them into text, unescapes them and parses the packet record
// here, and every later step reads fields of the result instead of cutting
// the text again.
#pragma once

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

// A unit's heartbeat: a request (NP flag 80, apply flag 01) with command EE
// and response FF whose data are the equipment code item (0x0022, 24 value
// bytes) followed by the equipment type item (0x0003, one byte).
struct TTextHeartbeat {
    QString SiteId;           // the 4 station bytes in frame order + the equipment number
    QString StationBytes;     // the 4 station bytes in frame order
    quint8 EquipmentNum = 0;  // the equipment number
    QString EquipmentCodeHex; // the 24 value bytes of the code item
    QString EquipmentType;    // the type item's value (2 hex digits)
    QString ResHex;           // bytes 1 .. 9: AgreementType .. SerialId
    QString Items;            // both data items, as echoed in the reply
};

// The heartbeat carried by a frame; nothing when the frame is not one. The
// check code is not looked at (see TReceivedFrame::CheckOk).
std::optional<TTextHeartbeat> ResolveHeartbeat(const TReceivedFrame &frame);
