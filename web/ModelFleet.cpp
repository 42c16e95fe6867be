#include "ModelFleet.h"

#include <QJsonObject>

namespace {

QString IsoTime(const QDateTime &t) {
    return t.isValid() ? t.toString(Qt::ISODateWithMs) : QString();
}

} // namespace

QJsonArray TModelFleet::Rows() const {
    QJsonArray rows;
    for (const TFleetRow &r : model_.Snapshot().rows) {
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
        rows.append(row);
    }
    return rows;
}
