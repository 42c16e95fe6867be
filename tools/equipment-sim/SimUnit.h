// One simulated equipment unit, without any socket: it makes the frames a
// unit sends of its own accord (heartbeats, alarm reports) and answers the
// frames the server sends it (queries, sets, parameter-list pages,
// station-number changes), keeping its parameter values.
//
// Frames leave as escaped bytes ready for the socket; received bytes may
// arrive in any pieces. Whatever the server sends, Feed never throws and
// never reads out of bounds: a frame that cannot be understood is reported
// as rejected and dropped.
#pragma once

#include "SimParamTable.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

struct TSimIdentity {
    QString code;            // equipment code, at most 24 characters on the wire
    quint8 type = 1;         // equipment type byte
    quint32 station = 0;     // station (site) number
    quint8 equipmentNum = 1; // equipment number within the station
};

// A frame the unit sends.
struct TSimOutFrame {
    QByteArray bytes; // escaped, flags included: what goes on the wire
    QString frame;    // the same frame unescaped, as upper-case hex text
    int serial = 0;
    QString item; // an alarm report's alarm item (length, code, value), hex; else empty
};

// What one received frame did.
struct TSimEvent {
    enum class Kind {
        HeartbeatReply, // the server answered a heartbeat
        AlarmAck,       // the server acknowledged an alarm report
        Query,          // answered a query
        Set,            // applied a set and answered it
        StationChange,  // obeyed a station-number change and answered it
        ParamListPage,  // answered a parameter-list query with one page
        Unsupported,    // a command the unit does not know, answered with an error
        Rejected,       // dropped: too short, bad check code, unparsable, not for a unit
    };
    Kind kind = Kind::Rejected;
    int serial = -1;
    QString received; // the received frame unescaped, hex
    QString note;     // what was asked, changed or wrong, for the operator
    std::optional<TSimOutFrame> reply;
};

QString SimEventKindName(TSimEvent::Kind kind);

// A one-line reading of an unescaped frame for the operator: addressing,
// serial number, flags and the data items with their dictionary names and
// display values (raw values when no dictionary is loaded).
QString SimDescribeFrame(const QString &frame);

class TSimUnit {
public:
    // pages: the number of pages the parameter list is answered in (at least 1).
    TSimUnit(TSimIdentity identity, std::shared_ptr<const TSimParamTable> table, int pages = 1);

    const TSimIdentity &Identity() const { return identity_; }
    const TSimParamTable &Table() const { return *table_; }

    // A heartbeat with the unit's current identity and the next serial number
    // of the range 0x8000 .. 0x8FFF that units use for what they start.
    TSimOutFrame MakeHeartbeat();

    // An alarm report (command 0x01, report type "alarm") carrying the
    // parameter's new state, which the unit also keeps. std::nullopt when the
    // table has no such parameter.
    std::optional<TSimOutFrame> MakeAlarmReport(const QString &paramCode, bool alert);

    // Takes received bytes, cuts the complete frames out of them and handles
    // each; bytes of an incomplete frame wait for the next call.
    std::vector<TSimEvent> Feed(QByteArrayView bytes);

    // The current raw value of a parameter (identity parameters and the device
    // time included); empty when the table has no such parameter.
    QString RawValue(const QString &code) const;
    // Replaces a value; false when the code is unknown or the length is wrong.
    bool SetRawValue(const QString &code, const QString &raw);

    // Bytes waiting for the rest of their frame.
    qsizetype Buffered() const { return buffer_.size(); }

    // A receive buffer never holds more: a longer run without a complete frame
    // is thrown away.
    static constexpr qsizetype kMaxBuffer = 64 * 1024;

private:
    TSimEvent HandleFrame(QByteArrayView frame);
    TSimEvent HandleQuery(TSimEvent event, const QString &agreement, const QString &items);
    TSimEvent HandleSet(TSimEvent event, const QString &agreement, const QString &items);
    TSimEvent HandleParamList(TSimEvent event, const QString &agreement, const QString &item);
    TSimOutFrame MakeReply(const QString &agreement, int serial, const QString &npFlag,
                           const QString &operateFlag, const QString &responseFlag,
                           const QString &items) const;
    QString Item(const TSimParam &param) const;
    QString SiteIdHex() const;
    int NextSerial();

    TSimIdentity identity_;
    std::shared_ptr<const TSimParamTable> table_;
    int pages_;
    QHash<QString, QString> changed_; // values that differ from the table's
    QByteArray buffer_;
    int serial_ = 0x8000;
};
