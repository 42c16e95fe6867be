// What differs between the three database kinds the server runs on: date
// arithmetic in statements, how a date-time value is bound, the time limits
// of a connection and which failures mean the database cannot take
// statements.
// arithmetic in statements, how a date-time value is bound and how a table or
// column name is quoted.
#pragma once

#include "DbHealth.h"

#include <QDateTime>
#include <QSqlError>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <memory>
#include <utility>
#include <vector>

class SqlDialect {
public:
    virtual ~SqlDialect() = default;
    // SQL expression: whole calendar-day boundaries crossed between the
    // date-time column and now (yesterday 23:59 -> 1).
    virtual QString DaysSince(const QString &column) const = 0;
    // SQL expression: whole hour boundaries crossed between the column and now.
    virtual QString HoursSince(const QString &column) const = 0;
    // The value to bind for a date-time column (whole seconds).
    virtual QVariant DateTimeValue(const QDateTime &t) const = 0;
    // Reads back a date-time column value; invalid when it cannot be read.
    virtual QDateTime ReadDateTime(const QVariant &v) const = 0;

    // The driver's connect options: the configured ones, plus this kind's
    // time limits for every one the configuration does not set itself.
    virtual QString ConnectOptions(const QString &configured, const TDbLimits &limits) const = 0;
    // Session settings (name, value) applied after every open.
    virtual std::vector<std::pair<QString, QString>>
    SessionSettings(const TDbLimits &limits) const = 0;
    // True when the failure says the database cannot take statements now
    // (connection lost or refused, time or lock limit, busy, read-only), as
    // opposed to a statement the database will never take.
    virtual bool Unavailable(const QSqlError &error) const = 0;
    // True when a write failed for want of disk space. Not an outage: the
    // database still answers reads, and a probe would find it up at once.
    virtual bool DiskFull(const QSqlError &error) const {
        (void)error;
        return false;
    }
    // Statements that succeed only when the database takes writes again.
    virtual QStringList ProbeStatements() const = 0;
    // SQL expression: the database's local wall-clock time now.
    virtual QString LocalNow() const = 0;
    // Statement deleting at most `limit` rows of the table that meet the
    // condition (an SQL boolean expression, "1=1" for any row).
    virtual QString DeleteBatch(const QString &table, const QString &condition,
                                int limit) const = 0;
    // Statement creating an index on one column unless an index of that name
    // exists already.
    virtual QString CreateIndexIfMissing(const QString &index, const QString &table,
                                         const QString &column) const = 0;
    // One name quoted as an identifier of this kind; a dotted name
    // (schema.table) has each part quoted. Quote characters inside a part are
    // doubled, so no name can end the identifier early.
    QString QuoteIdentifier(const QString &name) const;
    // A query of one row and one column that is true when the connection is
    // inside a transaction block, or empty when the kind has none (SQLite:
    // a "rollback" outside a block only fails, harmlessly).
    virtual QString InTransactionQuery() const = 0;

protected:
    // One part of a name, quoted.
    virtual QString QuotePart(const QString &part) const = 0;
};

// The options with each default appended whose key ("key=value", separated
// by ';') the configured text does not name.
QString MergeConnectOptions(const QString &configured, const QStringList &defaults);

// 1 SQLite, 2 SQL Server, 3 PostgreSQL. Unknown kinds get the SQLite form.
std::unique_ptr<SqlDialect> MakeSqlDialect(quint8 dataBaseType);
