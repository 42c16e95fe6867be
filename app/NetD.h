// The data module: one logical database connection shared by the event thread,
// the workers and the remote data service.
//
// Threading contract: a Qt connection may only be used by the thread that
// opened it, so each thread gets its own connection to the same database
// (Connection()). One process-wide lock (Lock()) is held for a whole statement
// or a whole walk over a result; Exec() and Select() take it themselves. Code
// that walks a QSqlQuery by hand holds Lock() for the whole walk.
#pragma once

#include "ParamDictionary.h"
#include "SqlDialect.h"

#include <QSqlDatabase>
#include <QSqlRecord>
#include <QString>
#include <QVariant>

#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

class DbError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Which database to open, as chosen at start-up.
struct DbTarget {
    quint8 type = 1;      // DataBaseType: 1 SQLite, 2 SQL Server (ODBC), 3 PostgreSQL
    QString driver;       // Qt driver name: QSQLITE, QODBC, QPSQL
    QString databaseName; // file path, ODBC connection string, or database name
    QString host;
    int port = 0;
    QString user;
    QString password;
    QString connectOptions;
};

using SettingItems = std::vector<std::pair<QString, QString>>;

class TdmNet {
public:
    explicit TdmNet(DbTarget target);
    ~TdmNet();
    TdmNet(const TdmNet &) = delete;
    TdmNet &operator=(const TdmNet &) = delete;

    // Opens this thread's connection and checks that the start-up tables
    // (ParamList, CommunicateLog, NormalParam) can be read. Throws DbError.
    void Open();

    const DbTarget &Target() const { return target_; }
    quint8 DataBaseType() const { return target_.type; }
    const SqlDialect &Dialect() const { return *dialect_; }

    // The data module lock. Recursive so that a walk may run statements.
    std::recursive_mutex &Lock() { return lock_; }

    // This thread's connection, opened on first use. Throws DbError when it
    // cannot be opened. Use it while holding Lock().
    QSqlDatabase Connection();
    // Closes and forgets the calling thread's connection (workers call it
    // when their loop ends).
    void ReleaseThreadConnection();

    // Runs one statement with bound values under the lock; returns the
    // number of rows affected. Throws DbError.
    int Exec(const QString &sql, const QVariantList &values = {});
    // Runs one query with bound values under the lock and returns every row.
    // Throws DbError.
    std::vector<QSqlRecord> Select(const QString &sql, const QVariantList &values = {});

    // Setting update over NormalParam: each row whose SetItem is one of the
    // keys gets the new value; keys met in no row are appended when
    // appendMissing is set. Throws DbError.
    void UpdateSettings(const SettingItems &items, bool appendMissing = true);
    // Setting lookup: the value of the first NormalParam row with that key.
    // Throws DbError.
    std::optional<QString> LookupSetting(const QString &key);
    // Every NormalParam row in table order (SetItem, SetValue). Throws DbError.
    SettingItems ReadAllSettings();

private:
    QString ConnectionName() const;

    DbTarget target_;
    std::unique_ptr<SqlDialect> dialect_;
    std::recursive_mutex lock_;
    std::mutex namesLock_;
    std::vector<QString> openNames_;
};

// Reads dictionary tables through the data module: every row of a statement
// as column name -> text (the reader LoadParamProperyList takes).
TableReader TableReaderFor(TdmNet &db);

// The single instance, created at start-up and alive until the process ends.
extern TdmNet *dmNet;
