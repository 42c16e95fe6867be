#include "HistoryTables.h"

#include "ServerMetrics.h"

void THistoryTables::InsertAlarm(const QString &EquipmentCode, const QString &DataBody,
                                 const QDateTime &AlarmTime) {
    db_.Exec(QStringLiteral("insert into AlarmHistory values(?,?,?)"),
             {EquipmentCode, DataBody, db_.Dialect().DateTimeValue(AlarmTime)});
    CountMetric(&TServerMetrics::historyRowsWritten);
}

void THistoryTables::InsertAlarms(const std::vector<TAlarmHistoryRow> &rows) {
    if (rows.empty())
        return;
    const SqlDialect &dialect = db_.Dialect();
    TdmNet::Transaction tx(db_);
    for (const TAlarmHistoryRow &row : rows)
        tx.Exec(QStringLiteral("insert into AlarmHistory values(?,?,?)"),
                {row.EquipmentCode, row.DataBody, dialect.DateTimeValue(row.AlarmTime)});
    tx.Commit();
    CountMetric(&TServerMetrics::historyRowsWritten, rows.size());
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
