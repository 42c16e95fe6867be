// What several nodes on one PostgreSQL share: the ClusterNode rows, the
// sequences that keep serial and station numbers unique across the nodes,
// and the election's own connection (the session that holds the advisory
// lock).
//
// Threading: TClusterSequences goes through the data module (any thread);
// a TClusterLockSession belongs to the one thread that uses it.
#pragma once

#include "NetD.h"

#include <QString>

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

struct pg_conn;

// The table and sequence script (PostgreSQL only); statements may run again.
QString ClusterScript();
// Runs the script on the data module's database (PostgreSQL). Throws DbError.
void EnsureClusterTables(TdmNet &db);

// One row of ClusterNode.
struct TClusterNodeRow {
    QString name;
    QString address;
    QString role;        // "active" or "standby"
    double lastSeen = 0; // seconds since the epoch
};

class TClusterSequences {
public:
    explicit TClusterSequences(TdmNet &db) : db_(db) {}
    // The next block of the serial counter stored under key
    // ("HandPackFlagNumber" or "CirclePackFlagNumber"): its index within the
    // counter's range. Throws DbError.
    int NextSerialBlock(const QString &key);
    // A station number no node has handed out before (in 0xA0000000 ..
    // 0xFFFFFFFF). Throws DbError.
    std::uint32_t NextStation();

private:
    TdmNet &db_;
};

// The connection an election runs on. Every call returns at the latest
// after the deadline; a call that fails closes the session (IsOpen() false).
class TClusterSession {
public:
    virtual ~TClusterSession() = default;
    // Connects; the session ends itself when left idle for idleTimeout.
    // False when the database cannot be reached.
    virtual bool Open() = 0;
    virtual bool IsOpen() const = 0;
    virtual void Close() = 0;
    // Tries for the advisory lock: true when this session holds it, false
    // when another session does, nothing when the session failed.
    virtual std::optional<bool> TryLock() = 0;
    // A round trip; false when the session failed.
    virtual bool Ping() = 0;
    // Upserts this node's row and reads every row; nothing when the
    // session failed.
    virtual std::optional<std::vector<TClusterNodeRow>>
    Report(const QString &name, const QString &address, const QString &role) = 0;
    // The last failure, for the log.
    virtual QString LastError() const = 0;
};

// The session on PostgreSQL through libpq, outside the data module: its
// calls never wait on the data module lock, and each waits at most the
// deadline for an answer.
class TClusterLockSession : public TClusterSession {
public:
    TClusterLockSession(DbTarget target, std::int64_t lockKey,
                        std::chrono::milliseconds idleTimeout, std::chrono::milliseconds deadline,
                        QString applicationName);
    ~TClusterLockSession() override;
    TClusterLockSession(const TClusterLockSession &) = delete;
    TClusterLockSession &operator=(const TClusterLockSession &) = delete;

    bool Open() override;
    bool IsOpen() const override { return conn_ != nullptr; }
    void Close() override;
    std::optional<bool> TryLock() override;
    bool Ping() override;
    std::optional<std::vector<TClusterNodeRow>> Report(const QString &name, const QString &address,
                                                       const QString &role) override;
    QString LastError() const override { return error_; }

private:
    // Runs one statement with text parameters; the rows as text, or nothing
    // when it failed (the session is closed then).
    std::optional<std::vector<std::vector<QByteArray>>> Run(const char *sql,
                                                            const std::vector<QByteArray> &params);
    void Fail(const QString &what);

    DbTarget target_;
    std::int64_t lockKey_;
    std::chrono::milliseconds idleTimeout_;
    std::chrono::milliseconds deadline_;
    QString applicationName_;
    pg_conn *conn_ = nullptr;
    QString error_;
};
