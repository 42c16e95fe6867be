#include "ModelFleet.h"

#include <QJsonObject>

namespace {

QString IsoTime(const QDateTime &t) {
    return t.isValid() ? t.toString(Qt::ISODateWithMs) : QString();
}

} // namespace

QJsonObject FleetRowJson(const TFleetRow &r) {
    QJsonArray owners;
    for (const TFleetOwner &o : r.Owners)
        owners.append(o.UserName);
    QJsonObject row{{QStringLiteral("code"), r.EquipmentCode},
                    {QStringLiteral("name"), r.EquipmentName},
                    {QStringLiteral("type"), r.EquipmentType},
                    {QStringLiteral("typeName"), r.TypeName},
                    {QStringLiteral("station"), r.StationNo},
                    {QStringLiteral("equipmentNo"), r.EquipmentNo},
                    {QStringLiteral("owners"), owners},
                    {QStringLiteral("online"), r.OnLine},
                    {QStringLiteral("registered"), r.Registered},
                    {QStringLiteral("address"), r.Address},
                    {QStringLiteral("port"), r.Port},
                    {QStringLiteral("since"), IsoTime(r.Since)},
                    {QStringLiteral("lastSeen"), IsoTime(r.LastHeartbeat)},
                    {QStringLiteral("alarmsActive"), r.AlarmsActive}};
    if (r.LastAlarm)
        row.insert(QStringLiteral("lastAlarm"),
                   QJsonObject{{QStringLiteral("parameter"), r.LastAlarm->Parameter},
                               {QStringLiteral("state"), r.LastAlarm->State},
                               {QStringLiteral("time"), IsoTime(r.LastAlarm->Time)}});
    return row;
}

QJsonArray TModelFleet::Rows() const {
    QJsonArray rows;
    for (const TFleetRow &r : model_.Snapshot().rows)
        rows.append(FleetRowJson(r));
    return rows;
}

std::optional<TWebFleetChanges> TModelFleet::Changes(std::uint64_t *cursor, std::size_t most,
                                                     bool beats) const {
    // State changes leave heartbeat-only changes out; heartbeat pulls take
    // every change but carry only the time.
    const TFleetChanges c = model_.ChangesSince(*cursor, most, beats);
    *cursor = c.cursor;
    TWebFleetChanges out;
    out.reset = c.reset && !beats;
    out.more = c.more;
    for (const TFleetRow &r : c.rows) {
        if (beats && r.LastHeartbeat.isValid())
            out.beats.append(QJsonArray{r.EquipmentCode, IsoTime(r.LastHeartbeat)});
        else if (!beats)
            out.rows.append(FleetRowJson(r));
    }
    if (!beats)
        for (const QString &code : c.removed)
            out.removed.append(code);
    return out;
}
