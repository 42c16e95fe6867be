// Helpers shared by the test suites: where things are, temporary homes,
// PostgreSQL access, free loopback ports and the server run as a child process.
#pragma once

#include "NetD.h"

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

struct sqlite3;

namespace mmstest {

QString SourceDir();
QString BinaryDir();
QString ServerBinary(); // build/mms-server

// A free TCP port on 127.0.0.1 (bound and released again).
int FreeTcpPort();

// Runs the calling thread's events until the condition holds (true) or the
// time is up (false).
bool PumpEventsUntil(const std::function<bool()> &condition, std::chrono::milliseconds timeout);

// A home folder with a fresh SQLite database holding every table and the
// shipped dictionary rows (withData), plus an optional Set.ini.
struct TestHome {
    QTemporaryDir dir;
    QString Path() const { return dir.path(); }
    QString File(const QString &name) const { return dir.filePath(name); }
    void WriteFile(const QString &name, const QByteArray &content) const;
    // The data module target of the home's MonitorData.db.
    DbTarget SqliteTarget() const;
};
std::unique_ptr<TestHome> MakeSqliteHome(bool withData = true);

// A home whose alert mails go to the SMTP server on 127.0.0.1:smtpPort, with
// the operator log on and `owners` accounts user1.. each owning one unit
// SIM1.. (type 01), on the given equipment port and free other ports.
std::unique_ptr<TestHome> MakeMailingHome(int smtpPort, int devicePort, int owners);

// The PostgreSQL server the tests may use (MMS_PG_HOST, MMS_PG_PORT,
// MMS_PG_USER, MMS_PG_PASSWORD). Empty when not configured or not reachable.
std::optional<DbTarget> PgServer();
// A new, empty PostgreSQL database with a unique name on that server.
DbTarget CreatePgDatabase(const QString &prefix);
// Drops a database made by CreatePgDatabase (nothing when there is no server).
void DropPgDatabase(const QString &name);
// True when a PostgreSQL test must run (MMS_REQUIRE_PG=1, as in CI).
bool PgRequired();

// Skips the current test when no PostgreSQL server is reachable, or fails it
// when one is required.
#define MMS_REQUIRE_PG_OR_SKIP()                                                                   \
    do {                                                                                           \
        if (!::mmstest::PgServer()) {                                                              \
            if (::mmstest::PgRequired())                                                           \
                FAIL() << "PostgreSQL is required (MMS_REQUIRE_PG=1) but not reachable";           \
            GTEST_SKIP() << "no PostgreSQL server reachable (set MMS_PG_HOST/MMS_PG_PORT)";        \
        }                                                                                          \
    } while (0)

// The PostgreSQL server's processes (the postmaster first, then its
// children) stopped with SIGSTOP for the object's life: a server whose kernel
// still takes connections and acknowledges packets but never answers.
class PgFreeze {
public:
    // db: a connection to that server, to find its data folder.
    explicit PgFreeze(TdmNet &db);
    ~PgFreeze();
    PgFreeze(const PgFreeze &) = delete;
    PgFreeze &operator=(const PgFreeze &) = delete;
    bool Active() const { return !stopped_.empty(); }

private:
    void Stop(int pid);
    std::vector<int> stopped_;
};

// Another process's write lock on an SQLite file for the object's life (a
// connection of its own, outside the data module, in "begin exclusive").
class SqliteLock {
public:
    explicit SqliteLock(const QString &path);
    ~SqliteLock();
    SqliteLock(const SqliteLock &) = delete;
    SqliteLock &operator=(const SqliteLock &) = delete;
    bool Active() const { return locked_; }

private:
    sqlite3 *db_ = nullptr;
    bool locked_ = false;
};

// The real server run headless as a child process, its standard output
// collected line by line.
class ServerProcess {
public:
    ServerProcess() = default;
    ~ServerProcess();
    // Starts build/mms-server with the given arguments (--headless is added).
    bool Start(const QStringList &args, const QStringList &extraEnv = {});
    // Runs the next Start() with this open-file limit (soft and hard).
    void SetOpenFileLimit(int files) { openFileLimit_ = files; }
    // Waits until an output line contains the text; returns that line.
    std::optional<QString>
    WaitForLine(const QString &contains,
                std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits until the port on 127.0.0.1 takes connections; false when the
    // time is up or the process has ended.
    bool WaitForPort(quint16 port, std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Every output line seen so far.
    QStringList Lines();
    QString StdErr();
    // Sends SIGTERM and waits for the exit; returns the exit code (-1 on timeout).
    int Terminate(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Sends the signal and waits for the exit; returns the exit code (-1 on timeout).
    int Signal(int sig, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits for the process to end by itself; returns the exit code (-1 on timeout).
    int WaitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    QProcess &Process() { return process_; }

private:
    void Drain();
    QProcess process_;
    QByteArray pending_;
    QStringList lines_;
    QByteArray stderr_;
    int openFileLimit_ = 0;
};

} // namespace mmstest
