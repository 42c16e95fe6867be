#include "ClusterStore.h"

#include "SchemaInstaller.h"

#include <QFile>

#include <libpq-fe.h>
#include <poll.h>

#include <cerrno>

#include <utility>

namespace {

using SteadyClock = std::chrono::steady_clock;

// Waits until the socket is ready for reading (or writing) or the deadline
// passes; false on the deadline or an error.
bool WaitSocket(int fd, bool forWrite, SteadyClock::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd, short(forWrite ? POLLOUT : POLLIN), 0};
        const int n = ::poll(&p, 1, int(left.count()));
        if (n > 0)
            return true;
        if (n == 0)
            return false;
        if (errno != EINTR)
            return false;
    }
}

// A value drawn from a sequence, durable before it is used. nextval alone
// takes no transaction id, so its transaction commits without flushing the
// write-ahead log: a crash of PostgreSQL soon after (an immediate shutdown)
// could hand the same value out again. Taking a transaction id makes the
// commit flush the log, the sequence's record with it.
QString DurableNextval(const char *sequence) {
    return QStringLiteral("select nextval('%1'), pg_current_xact_id()")
        .arg(QLatin1String(sequence));
}

} // namespace

QString ClusterScript() {
    QFile f(QStringLiteral(":/db/postgresql/cluster.sql"));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

void EnsureClusterTables(TdmNet &db) {
    const QString script = ClusterScript();
    if (script.isEmpty())
        throw DbError("the cluster script is not available");
    // Made already (the usual case): nothing to run, and PostgreSQL has no
    // "already exists" notices to print.
    const auto made =
        db.Select(QStringLiteral("select count(*) from pg_class where relname in ('clusternode', "
                                 "'handserialblock', 'circleserialblock', 'stationnumber')"));
    if (!made.empty() && made.front().value(0).toInt() == 4)
        return;
    // Two nodes starting together may both create: "if not exists" still
    // races in the catalogue, so a second round settles it.
    for (int round = 0;; ++round) {
        try {
            TdmNet::Transaction tx(db);
            for (const QString &statement : SplitSqlScript(script))
                tx.Exec(statement);
            tx.Commit();
            return;
        } catch (const DbUnavailable &) {
            throw;
        } catch (const DbError &) {
            if (round > 0)
                throw;
        }
    }
}

int TClusterSequences::NextSerialBlock(const QString &key) {
    const QString sql = DurableNextval(
        key == QLatin1String("CirclePackFlagNumber") ? "CircleSerialBlock" : "HandSerialBlock");
    const auto rows = db_.Select(sql);
    if (rows.empty())
        throw DbError("no serial block given");
    return rows.front().value(0).toInt();
}

std::uint32_t TClusterSequences::NextStation() {
    const auto rows = db_.Select(DurableNextval("StationNumber"));
    if (rows.empty())
        throw DbError("no station number given");
    return std::uint32_t(rows.front().value(0).toLongLong());
}

TClusterLockSession::TClusterLockSession(DbTarget target, std::int64_t lockKey,
                                         std::chrono::milliseconds idleTimeout,
                                         std::chrono::milliseconds deadline,
                                         QString applicationName)
    : target_(std::move(target)), lockKey_(lockKey), idleTimeout_(idleTimeout), deadline_(deadline),
      applicationName_(std::move(applicationName)) {}

TClusterLockSession::~TClusterLockSession() {
    Close();
}

void TClusterLockSession::Close() {
    if (conn_)
        PQfinish(conn_);
    conn_ = nullptr;
}

void TClusterLockSession::Fail(const QString &what) {
    error_ = what;
    if (conn_) {
        const QString server = QString::fromUtf8(PQerrorMessage(conn_)).trimmed();
        if (!server.isEmpty())
            error_ += QStringLiteral(": ") + server;
    }
    Close();
}

bool TClusterLockSession::Open() {
    Close();
    const QByteArray host = target_.host.toUtf8();
    const QByteArray port = QByteArray::number(target_.port);
    const QByteArray name = target_.databaseName.toUtf8();
    const QByteArray user = target_.user.toUtf8();
    const QByteArray password = target_.password.toUtf8();
    const QByteArray app = applicationName_.toUtf8();
    const char *keys[] = {"host",       "port", "dbname", "user", "password", "application_name",
                          "keepalives", nullptr};
    const char *values[] = {host.constData(),
                            port.constData(),
                            name.constData(),
                            user.constData(),
                            password.constData(),
                            app.constData(),
                            "1",
                            nullptr};
    conn_ = PQconnectStartParams(keys, values, 0);
    if (!conn_ || PQstatus(conn_) == CONNECTION_BAD) {
        Fail(QStringLiteral("cannot connect"));
        return false;
    }
    // The connection is made without blocking, each wait bounded by the
    // deadline, so an unreachable host holds the election up no longer.
    const auto deadline = SteadyClock::now() + deadline_;
    PostgresPollingStatusType status = PGRES_POLLING_WRITING;
    while (status != PGRES_POLLING_OK) {
        if (status == PGRES_POLLING_FAILED) {
            Fail(QStringLiteral("cannot connect"));
            return false;
        }
        if (!WaitSocket(PQsocket(conn_), status == PGRES_POLLING_WRITING, deadline)) {
            Fail(QStringLiteral("no connection within %1 ms").arg(deadline_.count()));
            return false;
        }
        status = PQconnectPoll(conn_);
    }
    if (PQsetnonblocking(conn_, 1) != 0) {
        Fail(QStringLiteral("cannot make the connection non-blocking"));
        return false;
    }
    // The server ends this session when it is left idle this long: a node
    // whose event loop stops turning sends no keep-alive and loses its lock.
    return Run("select set_config('idle_session_timeout', $1, false)",
               {QByteArray::number(qint64(idleTimeout_.count()))})
        .has_value();
}

std::optional<std::vector<std::vector<QByteArray>>>
TClusterLockSession::Run(const char *sql, const std::vector<QByteArray> &params) {
    if (!conn_) {
        error_ = QStringLiteral("not connected");
        return std::nullopt;
    }
    std::vector<const char *> values;
    values.reserve(params.size());
    for (const QByteArray &p : params)
        values.push_back(p.constData());
    if (!PQsendQueryParams(conn_, sql, int(values.size()), nullptr, values.data(), nullptr, nullptr,
                           0)) {
        Fail(QStringLiteral("cannot send"));
        return std::nullopt;
    }
    const auto deadline = SteadyClock::now() + deadline_;
    for (;;) {
        const int flushed = PQflush(conn_);
        if (flushed < 0) {
            Fail(QStringLiteral("cannot send"));
            return std::nullopt;
        }
        if (flushed == 0)
            break;
        if (!WaitSocket(PQsocket(conn_), true, deadline)) {
            Fail(QStringLiteral("no answer within %1 ms").arg(deadline_.count()));
            return std::nullopt;
        }
    }
    std::optional<std::vector<std::vector<QByteArray>>> rows;
    bool failed = false;
    for (;;) {
        while (PQisBusy(conn_)) {
            if (!WaitSocket(PQsocket(conn_), false, deadline)) {
                Fail(QStringLiteral("no answer within %1 ms").arg(deadline_.count()));
                return std::nullopt;
            }
            if (!PQconsumeInput(conn_)) {
                Fail(QStringLiteral("the connection failed"));
                return std::nullopt;
            }
        }
        PGresult *result = PQgetResult(conn_);
        if (!result)
            break;
        const ExecStatusType status = PQresultStatus(result);
        if (status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK) {
            std::vector<std::vector<QByteArray>> got;
            for (int r = 0; r < PQntuples(result); ++r) {
                std::vector<QByteArray> row;
                for (int c = 0; c < PQnfields(result); ++c)
                    row.emplace_back(PQgetvalue(result, r, c), PQgetlength(result, r, c));
                got.push_back(std::move(row));
            }
            rows = std::move(got);
        } else {
            failed = true;
            error_ = QString::fromUtf8(PQresultErrorMessage(result)).trimmed();
        }
        PQclear(result);
    }
    if (failed || !rows || PQstatus(conn_) != CONNECTION_OK) {
        // Any failure ends the session: a session in an unknown state must
        // not be taken for one that holds the lock.
        Fail(error_.isEmpty() ? QStringLiteral("the statement failed") : error_);
        return std::nullopt;
    }
    return rows;
}

std::optional<bool> TClusterLockSession::TryLock() {
    const auto rows =
        Run("select pg_try_advisory_lock($1::bigint)", {QByteArray::number(lockKey_)});
    if (!rows)
        return std::nullopt;
    return !rows->empty() && !rows->front().empty() && rows->front().front() == "t";
}

bool TClusterLockSession::Ping() {
    return Run("select 1", {}).has_value();
}

std::optional<std::vector<TClusterNodeRow>>
TClusterLockSession::Report(const QString &name, const QString &address, const QString &role) {
    if (!Run("insert into ClusterNode (NodeName, Address, Role, LastSeen) values ($1, $2, $3, "
             "now()) on conflict (NodeName) do update set Address = excluded.Address, Role = "
             "excluded.Role, LastSeen = excluded.LastSeen",
             {name.toUtf8(), address.toUtf8(), role.toUtf8()}))
        return std::nullopt;
    const auto rows = Run("select NodeName, Address, Role, extract(epoch from LastSeen) from "
                          "ClusterNode order by NodeName",
                          {});
    if (!rows)
        return std::nullopt;
    std::vector<TClusterNodeRow> nodes;
    for (const auto &r : *rows) {
        if (r.size() < 4)
            continue;
        nodes.push_back({QString::fromUtf8(r[0]), QString::fromUtf8(r[1]), QString::fromUtf8(r[2]),
                         r[3].toDouble()});
    }
    return nodes;
}
