// What differs between the three database kinds the server runs on: date
// arithmetic in statements and how a date-time value is bound.
#pragma once

#include <QDateTime>
#include <QString>
#include <QVariant>

#include <memory>

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
};

// 1 SQLite, 2 SQL Server, 3 PostgreSQL. Unknown kinds get the SQLite form.
std::unique_ptr<SqlDialect> MakeSqlDialect(quint8 dataBaseType);
