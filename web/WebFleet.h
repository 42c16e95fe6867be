// What the web console knows of the fleet, behind one small interface so
// that a fuller fleet model can take the place of the one here.
//
// TEventFleet, the one here, learns from the event stream alone: a unit is
// on line from its first event that names it (a heartbeat, a report, a
// reply) and off line from the disconnect that names it or its address. It
// knows only the units that spoke since the server started, and with the log
// switch off the links do not make heartbeat events, so a quiet unit is
// learned only when it reports or goes.
//
// Threading: the web thread owns the object; Observe and Rows run there.
#pragma once

#include "LogEvent.h"

#include <QDateTime>
#include <QHash>
#include <QJsonArray>
#include <QString>

#include <cstdint>
#include <optional>

// What changed in the fleet since a cursor: rows as Rows() gives them, the
// codes of units no longer known, and (heartbeat pulls) [code, lastSeen]
// pairs of units whose only news is a heartbeat.
struct TWebFleetChanges {
    QJsonArray rows;
    QJsonArray removed;
    QJsonArray beats;
    bool reset = false; // the rows are the whole fleet: drop any other
    bool more = false;  // further changes wait beyond the bound
};

class TWebFleet {
public:
    virtual ~TWebFleet() = default;
    // Every event of the stream, in order (when it wants them).
    virtual bool WantsEvents() const { return true; }
    virtual void Observe(const TLogEvent &event) = 0;
    // One JSON object per unit: code, online, address, port, since (ISO
    // time of the last change), lastSeen (ISO time of its last event).
    virtual QJsonArray Rows() const = 0;
    // A change feed, for a fleet that has one: at most `most` changes since
    // `*cursor` (0: from the start, which is every row), and the cursor
    // moved on. `beats`: heartbeat times only, of every unit heard since.
    // Nothing when the fleet has no feed (its views follow the events).
    virtual bool HasFeed() const { return false; }
    virtual std::optional<TWebFleetChanges> Changes(std::uint64_t *, std::size_t, bool) const {
        return std::nullopt;
    }
};

class TEventFleet : public TWebFleet {
public:
    void Observe(const TLogEvent &event) override;
    QJsonArray Rows() const override;
    // Units known at most: a stream of made-up codes cannot grow the table
    // without bound.
    static constexpr qsizetype MaxUnits = 100000;

private:
    struct Unit {
        bool online = false;
        QString address;
        int port = 0;
        QDateTime since;
        QDateTime lastSeen;
    };
    void SetOffline(Unit &unit, const QDateTime &time);

    QHash<QString, Unit> units_;
    // "address:port" of an on-line unit -> its code, for the disconnects
    // that name only the peer.
    QHash<QString, QString> byPeer_;
};
