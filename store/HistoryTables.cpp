#include "HistoryTables.h"

#include "ServerMetrics.h"

void THistoryTables::InsertAlarm(const QString &EquipmentCode, const QString &DataBody,
                                 const QDateTime &AlarmTime) {
    db_.Exec(QStringLiteral("insert into AlarmHistory values(?,?,?)"),
             {EquipmentCode, DataBody, db_.Dialect().DateTimeValue(AlarmTime)});
    CountMetric(&TServerMetrics::historyRowsWritten);
}

void THistoryTables::InsertQuery(const TQueryHistoryRow &row) {
    const SqlDialect &dialect = db_.Dialect();
    db_.Exec(QStringLiteral("insert into QueryHistory values(?,?,?,?,?,?,?)"),
             {row.EquipmentName, row.EquipmentCode, row.OperateFlag, row.QueryMode, row.DataBody,
              dialect.DateTimeValue(row.QueryTime), dialect.DateTimeValue(row.ReturnTime)});
    CountMetric(&TServerMetrics::historyRowsWritten);
}

void THistoryTables::Insert(const THistoryRow &row) {
    if (const auto *alarm = std::get_if<TAlarmHistoryRow>(&row))
        InsertAlarm(alarm->EquipmentCode, alarm->DataBody, alarm->AlarmTime);
    else
        InsertQuery(std::get<TQueryHistoryRow>(row));
}
