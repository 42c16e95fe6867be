#include "DbHealth.h"

#include "LogCategories.h"
#include "PublicU.h"

#include <QSqlDriver>
#include <QVariant>
#include <QtGlobal>

#include <algorithm>

#include <libpq-fe.h>
#include <sqlite3.h>
#include <sys/socket.h>

namespace {

void Override(std::chrono::milliseconds &value, const char *name) {
    bool ok = false;
    const int v = qEnvironmentVariableIntValue(name, &ok);
    if (ok && v > 0)
        value = std::chrono::milliseconds(v);
}

// What breaks a call stuck on the connection. PostgreSQL: shutting the
// socket down makes libpq's wait return at once with a lost connection; a
// cancel request would not help when the server's processes are stopped,
// since it needs the server to answer. SQLite: sqlite3_interrupt. Other
// drivers: nothing (their own time limits apply).
std::function<void()> BreakerFor(const QSqlDatabase &db) {
    if (PGconn *conn = DriverHandle<PGconn>(db, "QPSQL")) {
        const int fd = PQsocket(conn);
        if (fd < 0)
            return {};
        return [fd] { ::shutdown(fd, SHUT_RDWR); };
    }
    if (sqlite3 *handle = DriverHandle<sqlite3>(db, "QSQLITE"))
        return [handle] { sqlite3_interrupt(handle); };
    return {};
}

} // namespace

bool ConnectionLost(const QSqlDatabase &db) {
    PGconn *conn = DriverHandle<PGconn>(db, "QPSQL");
    return conn && PQstatus(conn) == CONNECTION_BAD;
}

TDbLimits TDbLimits::FromEnvironment() {
    TDbLimits l;
    Override(l.statementLimit, "MMS_DB_STATEMENT_LIMIT_MS");
    Override(l.retryPace, "MMS_DB_RETRY_MS");
    Override(l.remoteCallLimit, "MMS_DB_REMOTE_LIMIT_MS");
    return l;
}

TDbHealth::TDbHealth(TDbLimits limits, TProbe probe)
    : limits_(limits), probe_(std::move(probe)),
      watchdog_([this](std::stop_token stop) { WatchdogLoop(stop); }),
      reconnect_([this](std::stop_token stop) { ReconnectLoop(stop); }) {}

TDbHealth::~TDbHealth() {
    reconnect_.request_stop();
    watchdog_.request_stop();
    changed_.notify_all();
}

void TDbHealth::SetHint(THint hint) {
    std::lock_guard guard(hintLock_);
    hint_ = std::move(hint);
}

void TDbHealth::Hint(const QString &text, quint32 colour) {
    qCInfo(lcStore).noquote() << text;
    std::lock_guard guard(hintLock_);
    // Outages and full disks are errors; their end is a note.
    if (hint_)
        hint_(LogEvent(colour == clRed ? TLogKind::Error : TLogKind::Note, TLogPane::Events, text,
                       colour));
}

bool TDbHealth::IsUp() const {
    std::lock_guard guard(lock_);
    return up_;
}

std::uint64_t TDbHealth::Generation() const {
    std::lock_guard guard(lock_);
    return generation_;
}

void TDbHealth::MarkDown(const QString &why) {
    {
        std::lock_guard guard(lock_);
        if (!up_)
            return;
        up_ = false;
        ++generation_;
    }
    changed_.notify_all();
    Hint(QStringLiteral("Database unavailable: ") + why +
             QStringLiteral(" (statements are refused until it answers again)"),
         clRed);
}

void TDbHealth::MarkDiskFull(const QString &why) {
    if (diskFull_.exchange(true))
        return;
    Hint(QStringLiteral("Database disk full: ") + why +
             QStringLiteral(" (writes fail until there is room; reads go on)"),
         clRed);
}

void TDbHealth::MarkWritten() {
    if (diskFull_.load() && diskFull_.exchange(false))
        Hint(QStringLiteral("Database disk has room again"), clWhite);
}

void TDbHealth::ReconnectLoop(std::stop_token stop) {
    std::unique_lock guard(lock_);
    for (;;) {
        if (!changed_.wait(guard, stop, [this] { return !up_; }))
            return;
        // Down: try again every retryPace until a probe succeeds.
        if (changed_.wait_for(guard, stop, limits_.retryPace, [] { return false; }))
            return;
        if (stop.stop_requested())
            return;
        guard.unlock();
        QString failure;
        try {
            probe_();
        } catch (const std::exception &e) {
            failure = QString::fromStdString(e.what());
        }
        if (failure.isEmpty()) {
            guard.lock();
            up_ = true;
            guard.unlock();
            Hint(QStringLiteral("Database available again"), clWhite);
        } else {
            qCDebug(lcStore) << "reconnect attempt failed:" << failure;
        }
        guard.lock();
    }
}

void TDbHealth::WatchdogLoop(std::stop_token stop) {
    std::unique_lock guard(lock_);
    while (!stop.stop_requested()) {
        const auto now = std::chrono::steady_clock::now();
        auto next = std::chrono::steady_clock::time_point::max();
        for (Watched &w : watched_) {
            if (w.fired)
                continue;
            if (w.deadline <= now) {
                w.fired = true;
                // Called holding the lock, so the watched call (and its
                // connection) cannot end while it is being broken.
                if (w.breaker)
                    w.breaker();
            } else {
                next = std::min(next, w.deadline);
            }
        }
        if (next == std::chrono::steady_clock::time_point::max())
            changed_.wait(guard, stop, [this] {
                return std::any_of(watched_.begin(), watched_.end(),
                                   [](const Watched &w) { return !w.fired; });
            });
        else
            // Woken early by a call watched with a nearer deadline (the
            // remote data service's limit differs from the statement limit).
            changed_.wait_until(guard, stop, next, [this, next] {
                return std::any_of(watched_.begin(), watched_.end(), [next](const Watched &w) {
                    return !w.fired && w.deadline < next;
                });
            });
    }
}

TDbHealth::TWatch::TWatch(TDbHealth &health, QSqlDatabase db)
    : TWatch(health, std::move(db), health.limits_.statementLimit) {}

void TDbHealth::StopCalls() {
    std::lock_guard guard(lock_);
    for (Watched &w : watched_) {
        if (w.fired || !w.stoppable)
            continue;
        w.fired = true;
        if (w.breaker)
            w.breaker();
    }
}

TDbHealth::TWatch::TWatch(TDbHealth &health, QSqlDatabase db, std::chrono::milliseconds limit,
                          bool stoppable)
    : health_(health) {
    std::function<void()> breaker = BreakerFor(db);
    {
        std::lock_guard guard(health_.lock_);
        health_.watched_.push_back(
            {std::chrono::steady_clock::now() + limit, std::move(breaker), false, stoppable});
        entry_ = std::prev(health_.watched_.end());
    }
    health_.changed_.notify_all();
}

TDbHealth::TWatch::~TWatch() {
    std::lock_guard guard(health_.lock_);
    health_.watched_.erase(entry_);
}

bool TDbHealth::TWatch::Fired() const {
    std::lock_guard guard(health_.lock_);
    return entry_->fired;
}
