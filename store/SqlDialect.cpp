#include "SqlDialect.h"

#include <QMetaType>
#include <QStringList>

#include <algorithm>

// The three database kinds express "calendar days / hours crossed since a
// stored time" differently; all of them count boundaries of the local wall
// clock, as SQL Server's datediff(dd|hh, column, getdate()) does:
// yesterday 23:59:59 is one day ago at 00:00:01 today, 10:59:59 is one hour
// ago at 11:00:00.
namespace {

const QString kIsoFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss");

// Local time with the milliseconds dropped.
QDateTime WholeSeconds(const QDateTime &t) {
    const QDateTime local = t.toLocalTime();
    return local.addMSecs(-local.time().msec());
}

// "x" with embedded quotes doubled (SQLite, PostgreSQL).
QString DoubleQuoted(const QString &part) {
    QString inner = part;
    inner.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + inner + QLatin1Char('"');
}

// Every driver hands date-time columns back either as a QDateTime (QPSQL,
// QODBC) or as the stored text (QSQLITE); both are accepted whatever the kind.
QDateTime ReadAnyDateTime(const QVariant &v) {
    if (v.isNull() || !v.isValid())
        return {};
    if (v.metaType().id() == QMetaType::QDateTime)
        return WholeSeconds(v.toDateTime());
    if (v.metaType().id() == QMetaType::QDate)
        return QDateTime(v.toDate(), QTime(0, 0));
    const QString text = v.toString().trimmed();
    QDateTime t = QDateTime::fromString(text, kIsoFormat);
    if (!t.isValid())
        t = QDateTime::fromString(text, Qt::ISODate);
    if (!t.isValid())
        t = QDateTime::fromString(text, Qt::ISODateWithMs);
    return t.isValid() ? WholeSeconds(t) : QDateTime();
}

QString OptionKey(const QString &option) {
    return option.section(u'=', 0, 0).trimmed().toLower();
}

class SqliteDialect final : public SqlDialect {
public:
    // date() and strftime() read the ISO text; 'now','localtime' is the
    // process's local clock, the same clock the program writes with.
    QString DaysSince(const QString &column) const override {
        return QStringLiteral("cast(julianday(date('now','localtime')) - julianday(date(") +
               column + QStringLiteral(")) as integer)");
    }
    QString HoursSince(const QString &column) const override {
        // Both ends truncated to the hour and read as seconds of the same
        // (wall-clock) scale, so the difference is an exact multiple of 3600.
        return QStringLiteral("((strftime('%s',strftime('%Y-%m-%d %H:00:00','now','localtime')) - "
                              "strftime('%s',strftime('%Y-%m-%d %H:00:00',") +
               column + QStringLiteral("))) / 3600)");
    }
    QVariant DateTimeValue(const QDateTime &t) const override {
        return t.toLocalTime().toString(kIsoFormat);
    }
    QDateTime ReadDateTime(const QVariant &v) const override { return ReadAnyDateTime(v); }
    // A locked database makes a statement wait at most a third of the
    // statement limit, so a lock held by another process costs the event
    // thread a short pause and then a quick failure.
    QString ConnectOptions(const QString &configured, const TDbLimits &limits) const override {
        return MergeConnectOptions(
            configured, {QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1")
                             .arg(std::max<qint64>(1, limits.statementLimit.count() / 3))});
    }
    std::vector<std::pair<QString, QString>> SessionSettings(const TDbLimits &) const override {
        return {};
    }
    bool Unavailable(const QSqlError &error) const override {
        // The driver reports every failed step as a connection error, a
        // broken constraint included: only the result code tells.
        bool ok = false;
        const int code = error.nativeErrorCode().toInt(&ok) & 0xff;
        if (!ok)
            return error.type() == QSqlError::ConnectionError;
        // BUSY, LOCKED, READONLY, INTERRUPT, IOERR, CANTOPEN
        return ok && (code == 5 || code == 6 || code == 8 || code == 9 || code == 10 || code == 14);
    }
    bool DiskFull(const QSqlError &error) const override {
        bool ok = false;
        return (error.nativeErrorCode().toInt(&ok) & 0xff) == 13 && ok; // SQLITE_FULL
    }
    // Reading works through a writer's lock in write-ahead-log mode; taking
    // the write lock shows whether inserts would.
    QStringList ProbeStatements() const override {
        return {QStringLiteral("begin immediate"), QStringLiteral("rollback")};
    }
    QString LocalNow() const override { return QStringLiteral("datetime('now','localtime')"); }
    QString DeleteBatch(const QString &table, const QString &condition, int limit) const override {
        return QStringLiteral(
                   "delete from %1 where rowid in (select rowid from %1 where %2 limit %3)")
            .arg(table, condition)
            .arg(limit);
    }
    QString CreateIndexIfMissing(const QString &index, const QString &table,
                                 const QString &column) const override {
        return QStringLiteral("create index if not exists %1 on %2 (%3)").arg(index, table, column);
    }

    QString InTransactionQuery() const override { return {}; }

protected:
    QString QuotePart(const QString &part) const override { return DoubleQuoted(part); }
};

class SqlServerDialect final : public SqlDialect {
public:
    QString DaysSince(const QString &column) const override {
        return QStringLiteral("datediff(dd,") + column + QStringLiteral(",getdate())");
    }
    QString HoursSince(const QString &column) const override {
        return QStringLiteral("datediff(hh,") + column + QStringLiteral(",getdate())");
    }
    QVariant DateTimeValue(const QDateTime &t) const override { return WholeSeconds(t); }
    QDateTime ReadDateTime(const QVariant &v) const override { return ReadAnyDateTime(v); }
    QString ConnectOptions(const QString &configured, const TDbLimits &limits) const override {
        const qint64 seconds = std::max<qint64>(1, limits.statementLimit.count() / 1000);
        return MergeConnectOptions(configured,
                                   {QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1").arg(seconds + 1),
                                    QStringLiteral("SQL_ATTR_CONNECTION_TIMEOUT=%1").arg(seconds)});
    }
    std::vector<std::pair<QString, QString>> SessionSettings(const TDbLimits &) const override {
        return {};
    }
    bool Unavailable(const QSqlError &error) const override {
        // SQLSTATE 08 connection, HYT00/HYT01 time-outs, 40001 deadlock victim.
        const QString state = error.nativeErrorCode();
        return error.type() == QSqlError::ConnectionError || state.startsWith(u"08") ||
               state == u"HYT00" || state == u"HYT01" || state == u"40001";
    }
    QStringList ProbeStatements() const override { return {QStringLiteral("select 1")}; }
    QString LocalNow() const override { return QStringLiteral("getdate()"); }
    QString DeleteBatch(const QString &table, const QString &condition, int limit) const override {
        return QStringLiteral("delete top (%3) from %1 where %2").arg(table, condition).arg(limit);
    }
    QString CreateIndexIfMissing(const QString &index, const QString &table,
                                 const QString &column) const override {
        return QStringLiteral("if not exists (select * from sys.indexes where name='%1' and "
                              "object_id=object_id('%2')) create index %1 on %2 (%3)")
            .arg(index, table, column);
    }

    QString InTransactionQuery() const override {
        return QStringLiteral("select case when @@trancount > 0 then 1 else 0 end");
    }

protected:
    // [x] with an embedded ] doubled.
    QString QuotePart(const QString &part) const override {
        QString inner = part;
        inner.replace(QLatin1Char(']'), QStringLiteral("]]"));
        return QLatin1Char('[') + inner + QLatin1Char(']');
    }
};

// Columns are timestamp without time zone holding local wall-clock time; the
// data module sets the session TimeZone to the program's zone, so
// localtimestamp and current_date are that same wall clock.
class PostgresDialect final : public SqlDialect {
public:
    QString DaysSince(const QString &column) const override {
        return QStringLiteral("(current_date - cast(") + column + QStringLiteral(" as date))");
    }
    QString HoursSince(const QString &column) const override {
        return QStringLiteral("cast(extract(epoch from (date_trunc('hour',localtimestamp) - "
                              "date_trunc('hour',") +
               column + QStringLiteral("))) / 3600 as integer)");
    }
    QVariant DateTimeValue(const QDateTime &t) const override { return WholeSeconds(t); }
    QDateTime ReadDateTime(const QVariant &v) const override { return ReadAnyDateTime(v); }
    // libpq waits at most connect_timeout (2 s, its least) for a connection;
    // keepalives and tcp_user_timeout find a peer that has gone from the
    // network. A server that is up but slow cancels a statement itself just
    // before the watchdog would break the connection.
    QString ConnectOptions(const QString &configured, const TDbLimits &) const override {
        return MergeConnectOptions(
            configured,
            {QStringLiteral("connect_timeout=2"), QStringLiteral("keepalives=1"),
             QStringLiteral("keepalives_idle=10"), QStringLiteral("keepalives_interval=3"),
             QStringLiteral("keepalives_count=3"), QStringLiteral("tcp_user_timeout=10000")});
    }
    std::vector<std::pair<QString, QString>>
    SessionSettings(const TDbLimits &limits) const override {
        const qint64 limit = limits.statementLimit.count();
        return {{QStringLiteral("statement_timeout"),
                 QString::number(std::max<qint64>(1, limit - std::min<qint64>(250, limit / 4)))},
                {QStringLiteral("lock_timeout"), QString::number(std::max<qint64>(1, limit / 2))}};
    }
    bool Unavailable(const QSqlError &error) const override {
        // 08 connection exception, 53 insufficient resources, 57 operator
        // intervention (shutdown, statement time-out), 58 system error,
        // 55P03 lock time-out, 40001/40P01 serialisation failure/deadlock.
        const QString state = error.nativeErrorCode();
        if (DiskFull(error))
            return false;
        return error.type() == QSqlError::ConnectionError || state.startsWith(u"08") ||
               state.startsWith(u"53") || state.startsWith(u"57") || state.startsWith(u"58") ||
               state == u"55P03" || state == u"40001" || state == u"40P01";
    }
    bool DiskFull(const QSqlError &error) const override {
        return error.nativeErrorCode() == u"53100"; // disk_full
    }
    QStringList ProbeStatements() const override { return {QStringLiteral("select 1")}; }
    QString LocalNow() const override { return QStringLiteral("localtimestamp"); }
    QString DeleteBatch(const QString &table, const QString &condition, int limit) const override {
        // A table without a key: ctid names each row of the chosen batch.
        return QStringLiteral("delete from %1 where ctid = any(array(select ctid from %1 where %2 "
                              "limit %3))")
            .arg(table, condition)
            .arg(limit);
    }
    QString CreateIndexIfMissing(const QString &index, const QString &table,
                                 const QString &column) const override {
        return QStringLiteral("create index if not exists %1 on %2 (%3)").arg(index, table, column);
    }

    // Outside a block every statement is a transaction of its own, whose
    // start is the statement's start; inside one they differ.
    QString InTransactionQuery() const override {
        return QStringLiteral("select transaction_timestamp() <> statement_timestamp()");
    }

protected:
    // The schema creates every name unquoted, which PostgreSQL stores in
    // lower case; a quoted name must be written that way to find it, so
    // UserEquipment and userequipment both name the same table as they do
    // unquoted.
    QString QuotePart(const QString &part) const override { return DoubleQuoted(part.toLower()); }
};

} // namespace

QString MergeConnectOptions(const QString &configured, const QStringList &defaults) {
    QStringList options;
    QStringList keys;
    for (const QString &option : configured.split(u';', Qt::SkipEmptyParts)) {
        if (option.trimmed().isEmpty())
            continue;
        options << option.trimmed();
        keys << OptionKey(option);
    }
    for (const QString &option : defaults)
        if (!keys.contains(OptionKey(option)))
            options << option;
    return options.join(u';');
}

QString SqlDialect::QuoteIdentifier(const QString &name) const {
    QStringList parts;
    for (const QString &part : name.split(QLatin1Char('.')))
        parts << QuotePart(part);
    return parts.join(QLatin1Char('.'));
}

std::unique_ptr<SqlDialect> MakeSqlDialect(quint8 dataBaseType) {
    switch (dataBaseType) {
    case 2:
        return std::make_unique<SqlServerDialect>();
    case 3:
        return std::make_unique<PostgresDialect>();
    default:
        return std::make_unique<SqliteDialect>();
    }
}
