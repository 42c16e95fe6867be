// Whether the database takes statements, and the watchdog that keeps a stuck
// statement from holding its thread (and, through the data module lock, the
// event thread) past a fixed limit.
//
// The database counts as down from the first failure that says it cannot
// take statements (a broken or refused connection, a statement broken by the
// watchdog, a lock or busy timeout, a read-only disk) until a probe on the
// reconnect thread succeeds. While it is down the data module refuses every
// statement at once, so no thread waits on a database that is known to be
// gone; the change each way is logged once. A full disk is not an outage:
// reads go on, writes fail, and it is logged once until a write succeeds.
#pragma once

#include "LogEvent.h"

#include <QSqlDatabase>
#include <QSqlDriver>
#include <QString>
#include <QVariant>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

struct TDbLimits {
    // A statement still running after this long is broken by the watchdog.
    std::chrono::milliseconds statementLimit{1500};
    // Pause between reconnect attempts while the database is down.
    std::chrono::milliseconds retryPace{2000};
    // A call of the remote data service (its statement and the walk over its
    // rows) still running after this long is stopped. It holds the data
    // module lock meanwhile, so it is bounded too, but a remote program's
    // query may rightly take longer than one of the links'.
    std::chrono::milliseconds remoteCallLimit{10000};

    // Defaults, overridden by MMS_DB_STATEMENT_LIMIT_MS, MMS_DB_RETRY_MS and
    // MMS_DB_REMOTE_LIMIT_MS where set to a positive integer.
    static TDbLimits FromEnvironment();
};

// The driver's own handle of an open connection of the named driver (sqlite3
// for QSQLITE, PGconn for QPSQL); null for another driver.
template <class T> T *DriverHandle(const QSqlDatabase &db, const char *driverName) {
    if (!db.isValid() || !db.driver() || db.driverName() != QLatin1String(driverName))
        return nullptr;
    const QVariant v = db.driver()->handle();
    if (!v.isValid() || !v.constData())
        return nullptr;
    return *static_cast<T *const *>(v.constData());
}

class TDbHealth {
    struct Watched {
        std::chrono::steady_clock::time_point deadline;
        std::function<void()> breaker;
        bool fired = false;
        bool stoppable = false;
    };

public:
    using THint = TCommInfoHint;
    // One reconnect attempt, run on the reconnect thread; throws when the
    // database still cannot take statements.
    using TProbe = std::function<void()>;

    TDbHealth(TDbLimits limits, TProbe probe);
    ~TDbHealth();
    TDbHealth(const TDbHealth &) = delete;
    TDbHealth &operator=(const TDbHealth &) = delete;

    const TDbLimits &Limits() const { return limits_; }
    // Where the down and up lines go (any thread may call it).
    void SetHint(THint hint);

    bool IsUp() const;
    // Counts up each time the database goes down; a connection opened in an
    // earlier generation may be dead and is reopened before use.
    std::uint64_t Generation() const;
    // The database cannot take statements: the first call of an outage logs
    // one red line and starts the reconnect attempts.
    void MarkDown(const QString &why);
    // A write failed for want of disk space: the first one logs one red line.
    // The database stays up (reads go on), so nothing flaps between down and
    // up while the disk stays full.
    void MarkDiskFull(const QString &why);
    // A write succeeded: after a full disk, one line says there is room again.
    void MarkWritten();
    bool DiskFull() const { return diskFull_; }

    // Watches one call on a connection for its life: past the statement
    // limit the watchdog breaks the call (the connection's socket is shut
    // down for PostgreSQL, the statement interrupted for SQLite), so the
    // call returns with an error.
    class TWatch {
    public:
        TWatch(TDbHealth &health, QSqlDatabase db);
        // The same with a limit of its own. stoppable: StopCalls breaks it
        // too.
        TWatch(TDbHealth &health, QSqlDatabase db, std::chrono::milliseconds limit,
               bool stoppable = false);
        ~TWatch();
        TWatch(const TWatch &) = delete;
        TWatch &operator=(const TWatch &) = delete;
        // True when the watchdog broke the call.
        bool Fired() const;

    private:
        TDbHealth &health_;
        std::list<Watched>::iterator entry_;
    };

    // Breaks every stoppable call under way now (the program is ending and
    // must not wait for them), as the watchdog would at their limit.
    void StopCalls();

private:
    void WatchdogLoop(std::stop_token stop);
    void ReconnectLoop(std::stop_token stop);
    void Hint(const QString &text, quint32 colour);

    TDbLimits limits_;
    TProbe probe_;
    mutable std::mutex lock_;
    std::condition_variable_any changed_;
    std::list<Watched> watched_;
    bool up_ = true;
    std::atomic<bool> diskFull_ = false;
    std::uint64_t generation_ = 0;
    std::mutex hintLock_;
    THint hint_;
    std::jthread watchdog_;
    std::jthread reconnect_; // last: stopped first
};

// Whether the connection behind db has been lost (PostgreSQL reports a bad
// connection status); false for drivers that cannot tell.
bool ConnectionLost(const QSqlDatabase &db);
