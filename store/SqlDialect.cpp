#include "SqlDialect.h"

#include <QMetaType>
#include <QStringList>

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
