// The data provider of the remote data service: runs the command text a
// remote program sends, returns its rows, and turns the rows it sends back
// (inserted, changed, deleted) into statements on the table they came from.
// One object per remote connection, used only by that connection's thread.
#pragma once

#include "NetD.h"

#include <QSqlRecord>
#include <QString>
#include <QVariant>

#include <functional>
#include <utility>
#include <vector>

// One row of a delta: the column values before (the where clause of an
// update or delete, matched in full) and after (what an insert or update
// writes).
struct TDeltaChange {
    enum class Kind { Insert, Update, Delete };
    Kind kind = Kind::Insert;
    std::vector<std::pair<QString, QVariant>> oldValues;
    std::vector<std::pair<QString, QVariant>> newValues;
};

// GetRecords and Execute are bounded by the remote call limit (TDbLimits):
// past it the statement is broken (SQLite interrupted, the PostgreSQL
// connection shut down and opened anew on the next call) and the call throws
// DbError saying so. The database still counts as up: a slow query is the
// caller's. ApplyUpdates runs keyed single-row statements in a transaction
// whose begin, commit and rollback the statement watchdog bounds.
class TRemoteDataSet {
public:
    explicit TRemoteDataSet(TdmNet &db) : db_(db) {}

    // Runs the command text and walks its result (a read without the data
    // module lock, anything else under it):
    // onFields once with the columns (an empty record for a statement without
    // rows), then onRow with the values of every row. An exception thrown by a callback ends
    // the walk and is passed on. Remembers the table the rows came from as the
    // default of ApplyUpdates. Throws DbError with the database's message.
    void GetRecords(const QString &commandText,
                    const std::function<void(const QSqlRecord &fields)> &onFields,
                    const std::function<void(const QVariantList &row)> &onRow);

    // Runs a statement without rows; the rows it affected. Throws DbError.
    int Execute(const QString &commandText);

    // Applies the delta to the table (empty: the table of the last
    // GetRecords) in one transaction, with quoted names and bound values. An
    // update or delete must match exactly one row by its old values, or the
    // whole delta is rolled back. Returns the number of changes applied.
    // Throws DbError.
    int ApplyUpdates(const QString &tableName, const std::vector<TDeltaChange> &delta);

    // The table of the last GetRecords; empty when it could not be told.
    const QString &LastTable() const { return lastTable_; }

    // The role the data module's connections use when it is a PostgreSQL
    // superuser (whose rights every remote statement would have: reading
    // and writing files on the database host among them); empty otherwise.
    static QString SuperuserRole(TdmNet &db);

    // The table a select reads: the one its columns name when they all agree,
    // else the name after its first "from". Empty when neither tells.
    static QString TableOf(const QString &commandText, const QSqlRecord &fields);

private:
    // Runs call on the connection under the remote call limit, confined to
    // the database (no other files reached, no extensions loaded).
    template <class F> auto Limited(QSqlDatabase db, F &&call);

    TdmNet &db_;
    QString lastTable_;
};
