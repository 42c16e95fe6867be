// What differs between the three database kinds the server runs on: date
// arithmetic in statements, how a date-time value is bound and how a table or
// column name is quoted.
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

// 1 SQLite, 2 SQL Server, 3 PostgreSQL. Unknown kinds get the SQLite form.
std::unique_ptr<SqlDialect> MakeSqlDialect(quint8 dataBaseType);
