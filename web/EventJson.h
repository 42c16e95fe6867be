// The JSON text of a log event as the event socket sends it, written
// straight into bytes: the stream carries thousands of events a second, so
// each is written once, without a document tree, and time texts are made
// once a second.
#pragma once

#include "LogEvent.h"

#include <QByteArray>
#include <QDateTime>

#include <limits>

// The event's JSON object: kind, pane, text, colour, time and, where known,
// unit, address and port, user, and a report's decoded alarms.
class TEventJsonWriter {
public:
    // Appends the event's object to `out`.
    void Append(QByteArray &out, const TLogEvent &e);

    // The ISO 8601 text of `t` with milliseconds (as Qt::ISODateWithMs
    // writes it), its second's part kept from the last call.
    void AppendTime(QByteArray &out, const QDateTime &t);

private:
    qint64 second_ = std::numeric_limits<qint64>::min();
    Qt::TimeSpec spec_ = Qt::LocalTime;
    int offset_ = 0;
    QByteArray secondText_; // the text of second_ without milliseconds
};

// One event's JSON object.
QByteArray EventJson(const TLogEvent &e);

// Appends `s` as a JSON string (quoted, escaped, UTF-8).
void AppendJsonString(QByteArray &out, QStringView s);
