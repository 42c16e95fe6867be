#include "WebFleet.h"

#include <QJsonObject>

namespace {

QString PeerKey(const QString &address, int port) {
    return address + QLatin1Char(':') + QString::number(port);
}

QString IsoTime(const QDateTime &t) {
    return t.isValid() ? t.toString(Qt::ISODateWithMs) : QString();
}

} // namespace

void TEventFleet::SetOffline(Unit &unit, const QDateTime &time) {
    if (unit.online) {
        unit.online = false;
        unit.since = time;
    }
    byPeer_.remove(PeerKey(unit.address, unit.port));
}

void TEventFleet::Observe(const TLogEvent &event) {
    // A unit's socket error ends its connection as a disconnect does.
    const bool gone = event.kind == TLogKind::Disconnect ||
                      (event.kind == TLogKind::Error && event.pane == TLogPane::Events &&
                       event.text.startsWith(QLatin1String("Equipment (")) &&
                       event.text.endsWith(QLatin1String(") error")));
    if (event.unit.isEmpty()) {
        // A disconnect that names only the peer: the unit last seen there.
        if (gone && !event.address.isEmpty()) {
            const auto it = byPeer_.constFind(PeerKey(event.address, event.port));
            if (it != byPeer_.cend()) {
                const QString code = *it;
                SetOffline(units_[code], event.time);
            }
        }
        return;
    }
    auto it = units_.find(event.unit);
    if (it == units_.end()) {
        if (units_.size() >= MaxUnits)
            return;
        it = units_.insert(event.unit, Unit{});
    }
    Unit &unit = *it;
    if (gone) {
        SetOffline(unit, event.time);
        unit.lastSeen = event.time;
        return;
    }
    // Events about a unit that concern a client (a user's request and its
    // answer) say nothing of the unit's connection; the rest with a peer
    // come from the unit itself.
    if (event.address.isEmpty() || !event.user.isEmpty() || event.kind == TLogKind::Request)
        return;
    if (!unit.online || unit.address != event.address || unit.port != event.port) {
        byPeer_.remove(PeerKey(unit.address, unit.port));
        unit.online = true;
        unit.since = event.time;
        unit.address = event.address;
        unit.port = event.port;
        byPeer_.insert(PeerKey(unit.address, unit.port), event.unit);
    }
    unit.lastSeen = event.time;
}

QJsonArray TEventFleet::Rows() const {
    QJsonArray rows;
    for (auto it = units_.cbegin(); it != units_.cend(); ++it) {
        rows.append(QJsonObject{{QStringLiteral("code"), it.key()},
                                {QStringLiteral("online"), it->online},
                                {QStringLiteral("address"), it->address},
                                {QStringLiteral("port"), it->port},
                                {QStringLiteral("since"), IsoTime(it->since)},
                                {QStringLiteral("lastSeen"), IsoTime(it->lastSeen)}});
    }
    return rows;
}
