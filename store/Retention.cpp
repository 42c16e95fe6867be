#include "Retention.h"

#include "NormalParamTable.h"
#include "ServerMetrics.h"

namespace {

struct THistoryTable {
    const char *table;
    const char *column;
    const char *daysKey;
    const char *index;
};

const THistoryTable &TableOf(THistoryKind kind) {
    static const THistoryTable query{"QueryHistory", "QueryTime", "HistoryQuerySaveDay",
                                     "IX_QueryHistory_QueryTime"};
    static const THistoryTable alarm{"AlarmHistory", "AlarmTime", "HistoryAlarmSaveDay",
                                     "IX_AlarmHistory_AlarmTime"};
    return kind == THistoryKind::Query ? query : alarm;
}

// A local wall-clock time shifted by whole seconds of the wall clock (no
// daylight-saving jumps), the way zone-less database times subtract.
QDateTime WallAddSecs(const QDate &date, const QTime &time, qint64 secs) {
    const QDateTime wall = QDateTime(date, time, Qt::UTC).addSecs(secs);
    return QDateTime(wall.date(), wall.time());
}

} // namespace

QDateTime TRetention::DaysCutoff(const QDateTime &now, int days) {
    // More than N calendar days back is "on or before the day now - N - 1".
    return QDateTime(now.date().addDays(-static_cast<qint64>(days)), QTime(0, 0));
}

QDateTime TRetention::HoursCutoff(const QDateTime &now, int hours) {
    // At least H hour boundaries back is "in the hour now - H or earlier",
    // that is, before the start of the hour now - H + 1.
    return WallAddSecs(now.date(), QTime(now.time().hour(), 0),
                       -(static_cast<qint64>(hours) - 1) * 3600);
}

QDateTime TRetention::Now() {
    if (clock_)
        return clock_();
    const auto rows = db_.Select(QStringLiteral("select ") + db_.Dialect().LocalNow());
    const QDateTime now = rows.empty() ? QDateTime() : db_.Dialect().ReadDateTime(rows[0].value(0));
    if (!now.isValid())
        throw DbError("the database did not tell its time");
    return now;
}

int TRetention::RegisterOverdueDelete(int hours) {
    const QDateTime cutoff = HoursCutoff(Now(), hours);
    return db_.Exec(
        QStringLiteral(
            "delete from UserRegister where (UseState<>6) and (not exists(select * from "
            "UserEquipment where UserEquipment.UserName=UserRegister.UserName)) and (not "
            "exists(select * from RecycleUserEquipment where "
            "RecycleUserEquipment.UserName=UserRegister.UserName)) and "
            "(UserRegister.RegisterTime<?)"),
        {db_.Dialect().DateTimeValue(cutoff)});
}

std::optional<THistoryDeletion> TRetention::Plan(THistoryKind kind, bool Auto) {
    const THistoryTable &t = TableOf(kind);
    try {
        int days = DefaultSaveDays;
        if (const auto text = TNormalParamTable(db_).Lookup(QLatin1String(t.daysKey))) {
            bool ok = false;
            days = text->trimmed().toInt(&ok, 10);
            if (!ok)
                return std::nullopt;
        }
        THistoryDeletion plan{QLatin1String(t.table), QLatin1String(t.column), std::nullopt};
        if (Auto)
            plan.before = DaysCutoff(Now(), days);
        return plan;
    } catch (const DbError &) {
        return std::nullopt;
    }
}

int TRetention::DeleteBatch(const THistoryDeletion &plan, int limit) {
    const SqlDialect &dialect = db_.Dialect();
    const int deleted =
        plan.before
            ? db_.Exec(dialect.DeleteBatch(plan.table, plan.column + QStringLiteral("<?"), limit),
                       {dialect.DateTimeValue(*plan.before)})
            : db_.Exec(dialect.DeleteBatch(plan.table, QStringLiteral("1=1"), limit));
    if (deleted > 0)
        CountMetric(&TServerMetrics::historyRowsDeleted, static_cast<std::uint64_t>(deleted));
    return deleted;
}

bool TRetention::DeleteAll(THistoryKind kind, bool Auto, int batchRows) {
    const auto plan = Plan(kind, Auto);
    if (!plan)
        return false;
    try {
        while (DeleteBatch(*plan, batchRows) >= batchRows) {
        }
    } catch (const DbError &) {
        return false;
    }
    return true;
}

bool TRetention::DelQueryHistoryRecord(bool Auto, int batchRows) {
    return DeleteAll(THistoryKind::Query, Auto, batchRows);
}

bool TRetention::DelAlarmHistoryRecord(bool Auto, int batchRows) {
    return DeleteAll(THistoryKind::Alarm, Auto, batchRows);
}

void TRetention::EnsureHistoryIndexes() {
    for (THistoryKind kind : {THistoryKind::Query, THistoryKind::Alarm}) {
        const THistoryTable &t = TableOf(kind);
        db_.Exec(db_.Dialect().CreateIndexIfMissing(QLatin1String(t.index), QLatin1String(t.table),
                                                    QLatin1String(t.column)));
    }
}
