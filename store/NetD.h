// The data module: one logical database connection shared by the event thread,
// the workers and the remote data service. The generic layer under the
// per-table operations of this folder; nothing outside store/ writes SQL.
//
// Threading contract: a Qt connection may only be used by the thread that
// opened it, so each thread gets its own connection to the same database.
// One process-wide lock (the data module lock) is held for a whole statement,
// a whole walk over a result or a whole transaction. A connection is handed
// out only by a TdmNet::Session, which holds that lock for its life, so
// holding the lock is enforced by the type. Exec() and Select() on TdmNet
// open a session for the one statement.
#pragma once

#include "DbHealth.h"
#include "ParamDictionary.h"
#include "SqlDialect.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QString>
#include <QVariant>

class QThread;

#include <atomic>
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

// The database cannot take statements now (down, unreachable, locked, out of
// time): the same statement may succeed later. Thrown at once, without
// touching the database, for as long as it counts as down.
class DbUnavailable : public DbError {
public:
    using DbError::DbError;
};

// A write failed for want of disk space. The database still answers reads
// and counts as up; the write may succeed once there is room, so callers
// that keep work for later (the history backlog) treat it like an outage.
class DbDiskFull : public DbUnavailable {
public:
    using DbUnavailable::DbUnavailable;
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
    explicit TdmNet(DbTarget target, TDbLimits limits = TDbLimits::FromEnvironment());
    ~TdmNet();
    TdmNet(const TdmNet &) = delete;
    TdmNet &operator=(const TdmNet &) = delete;

    // Opens this thread's connection and checks that the start-up tables
    // (ParamList, CommunicateLog, NormalParam) can be read. Throws DbError.
    void Open();

    const DbTarget &Target() const { return target_; }
    quint8 DataBaseType() const { return target_.type; }
    const SqlDialect &Dialect() const { return *dialect_; }

    // False from a failure that says the database cannot take statements
    // until a reconnect attempt (off the calling threads) succeeds.
    bool IsUp() const { return health_.IsUp(); }
    TDbHealth &Health() { return health_; }

    class Session;
    class Transaction;

    // The thread that serves the links (the event thread): its sessions wait
    // for the lock at most the statement limit. Until set, the application's
    // main thread. Set before the links start.
    void SetEventThread(QThread *thread) { eventThread_ = thread; }
    bool OnEventThread() const;

    // The calling thread's connection WITHOUT the data module lock, for a
    // thread whose connection nobody else uses, for reading only: SQLite in
    // WAL mode and the server databases let such a reader run beside the
    // writers. Throws DbUnavailable while the database is down.
    QSqlDatabase ReaderConnection() { return Connection(); }

    // Closes and forgets the calling thread's connection (workers call it
    // when their loop ends).
    void ReleaseThreadConnection();

    // Runs one statement with bound values under the lock; returns the
    // number of rows affected. Throws DbError.
    int Exec(const QString &sql, const QVariantList &values = {});
    // Runs one query with bound values under the lock and returns every row.
    // Throws DbError.
    std::vector<QSqlRecord> Select(const QString &sql, const QVariantList &values = {});

private:
    QString ConnectionName() const;
    // This thread's connection, opened on first use and reopened when the
    // database has been down since it was opened. Throws DbUnavailable when it
    // cannot be opened. Only a Session (which holds the lock) calls it.
    QSqlDatabase Connection();
    // Opens the named connection with the time limits of the database kind.
    QSqlDatabase OpenConnection(const QString &name);
    // One reconnect attempt on a connection of its own (reconnect thread).
    void Probe();
    // Runs one call on the connection under the watchdog; a failure is thrown
    // as DbUnavailable when it says the database cannot take statements
    // (which counts it as down), else as DbError.
    template <class F> auto Watched(QSqlDatabase c, F &&call);
    [[noreturn]] void Fail(QSqlDatabase c, const QSqlError &error, const QString &text,
                           bool broken);

    DbTarget target_;
    std::unique_ptr<SqlDialect> dialect_;
    // The data module lock. Recursive so that a walk may run statements and
    // a transaction may call operations that open sessions of their own;
    // timed so that the event thread never waits on it past the statement
    // limit.
    std::recursive_timed_mutex lock_;
    std::atomic<QThread *> eventThread_{nullptr};
    // Guarded by lock_: how deep the lock holder's transactions are nested,
    // and whether an inner one ended without Commit().
    int transactionDepth_ = 0;
    bool rollbackOnly_ = false;
    std::mutex namesLock_;
    // Each open connection with the health generation it was opened in.
    std::vector<std::pair<QString, std::uint64_t>> openNames_;
    TDbHealth health_; // last: its threads stop before the rest goes
};

// Holds the data module lock for its life and hands out the calling thread's
// connection. Sessions nest on one thread (the lock is recursive).
class TdmNet::Session {
public:
    // Takes the lock; blocks while another thread holds it. On the event
    // thread (the application's thread) the wait ends at the statement limit
    // with DbUnavailable: a long call of a worker or of the remote data
    // service must not stall the links. The database still counts as up.
    explicit Session(TdmNet &db);
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    TdmNet &Db() const { return db_; }
    // This thread's connection, opened on first use. Throws DbError.
    QSqlDatabase Connection();
    // One statement with bound values; returns the rows affected. Throws DbError.
    int Exec(const QString &sql, const QVariantList &values = {});
    // One query with bound values; every row. Throws DbError.
    std::vector<QSqlRecord> Select(const QString &sql, const QVariantList &values = {});
    // One query with bound values, positioned before its first row, for a
    // caller that walks a large result itself. Throws DbError.
    QSqlQuery Query(const QString &sql, const QVariantList &values = {}, bool forwardOnly = true);

private:
    TdmNet &db_;
    std::unique_lock<std::recursive_timed_mutex> lock_;
};

// A session inside one database transaction: begun by the constructor, rolled
// back by the destructor unless Commit() ran. A transaction opened while the
// same thread already runs one joins it: only the outermost begins and
// commits, and an inner one left without Commit() makes the outer Commit()
// roll back and throw, so a multi-step change is all or nothing.
class TdmNet::Transaction : public TdmNet::Session {
public:
    // Throws DbError when the transaction cannot begin.
    explicit Transaction(TdmNet &db);
    ~Transaction();
    // Commits (the outermost) or marks this level done (an inner one).
    // Throws DbError when the commit fails or an inner level was abandoned;
    // everything is rolled back then.
    void Commit();

private:
    bool outermost_ = false;
    bool finished_ = false;
};

// Reads dictionary tables through the data module: every row of a statement
// as column name -> text (the reader LoadParamProperyList takes).
TableReader TableReaderFor(TdmNet &db);

// The single instance, created at start-up and alive until the process ends.
extern TdmNet *dmNet;
