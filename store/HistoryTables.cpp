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

namespace {

// The condition and values of a range, for a table whose time column is `time`.
std::pair<QString, QVariantList> RangeCondition(const SqlDialect &dialect,
                                                const THistoryRange &range, const QString &time) {
    QString where = time + QStringLiteral(">=? and ") + time + QStringLiteral("<?");
    QVariantList values{dialect.DateTimeValue(range.from), dialect.DateTimeValue(range.to)};
    if (!range.EquipmentCode.isEmpty()) {
        where += QStringLiteral(" and EquipmentCode=?");
        values.append(range.EquipmentCode);
    }
    return {where, values};
}

} // namespace

std::vector<TAlarmHistoryRow> THistoryTables::Alarms(const THistoryRange &range) {
    std::vector<TAlarmHistoryRow> rows;
    if (range.limit <= 0)
        return rows;
    const SqlDialect &dialect = db_.Dialect();
    const auto [where, values] = RangeCondition(dialect, range, QStringLiteral("AlarmTime"));
    TdmNet::Session session(db_);
    QSqlQuery q = session.Query(QStringLiteral("select EquipmentCode, DataBody, AlarmTime from "
                                               "AlarmHistory where ") +
                                    where + QStringLiteral(" order by AlarmTime desc"),
                                values);
    while (q.next() && rows.size() < std::size_t(range.limit))
        rows.push_back(
            {q.value(0).toString(), q.value(1).toString(), dialect.ReadDateTime(q.value(2))});
    return rows;
}

std::vector<TQueryHistoryRow> THistoryTables::Queries(const THistoryRange &range) {
    std::vector<TQueryHistoryRow> rows;
    if (range.limit <= 0)
        return rows;
    const SqlDialect &dialect = db_.Dialect();
    const auto [where, values] = RangeCondition(dialect, range, QStringLiteral("QueryTime"));
    TdmNet::Session session(db_);
    QSqlQuery q = session.Query(
        QStringLiteral("select EquipmentName, EquipmentCode, OperateFlag, QueryMode, DataBody, "
                       "QueryTime, ReturnTime from QueryHistory where ") +
            where + QStringLiteral(" order by QueryTime desc"),
        values);
    while (q.next() && rows.size() < std::size_t(range.limit))
        rows.push_back({q.value(0).toString(), q.value(1).toString(), q.value(2).toString(),
                        q.value(3).toString(), q.value(4).toString(),
                        dialect.ReadDateTime(q.value(5)), dialect.ReadDateTime(q.value(6))});
    return rows;
}
