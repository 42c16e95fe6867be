// The real server run headless as a child process for the load benchmarks:
// a temporary home made with --init-db, a Set.ini with free ports, owners
// for the simulated units, and the readings of the process (resident memory,
// CPU time) that the benchmarks report.
#pragma once

#include <QCommandLineOption>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <algorithm>
#include <functional>
#include <vector>

struct TBenchOwner {
    QString userName;
    QString equipmentCode;
    QString equipmentName;
};

class TBenchServer {
public:
    // binary: build/mms-server.
    explicit TBenchServer(QString binary);
    ~TBenchServer();
    TBenchServer(const TBenchServer &) = delete;
    TBenchServer &operator=(const TBenchServer &) = delete;

    // Makes the home (database with the shipped dictionary, Set.ini on free
    // loopback ports), adds the accounts and UserEquipment rows, and sets
    // ShowInfoHint (the operator log, written to logFile or thrown away).
    // False, with the reason in Error(), when any step fails.
    bool Prepare(const std::vector<TBenchOwner> &owners, bool operatorLog);

    // Starts the server and waits until its equipment and client ports accept
    // connections. logFile: where its standard output goes (empty: nowhere).
    // window: with the operator console on the display of the environment
    // instead of headless.
    bool Start(const QString &logFile = {}, bool window = false);
    // What the server wrote to standard error so far.
    QString StdErr() const;
    // SIGTERM and wait; returns the exit code (-1 when it had to be killed).
    int Stop();
    // SIGKILL (a crash) and wait; Start() may run it again on the same home.
    void Kill();

    int EquipmentPort() const { return equipmentPort_; }
    int ClientPort() const { return clientPort_; }
    int DataBasePort() const { return dataBasePort_; }
    qint64 Pid() const { return process_.processId(); }
    QString Home() const { return home_.path(); }
    QString Error() const { return error_; }

    // VmRSS of the server process in KiB; -1 when it cannot be read.
    qint64 ResidentKiB() const;
    // User plus system CPU time of the server process in seconds; -1 when unknown.
    double CpuSeconds() const;

private:
    QString binary_;
    QTemporaryDir home_;
    QProcess process_;
    int equipmentPort_ = 0;
    int dataBasePort_ = 0;
    int clientPort_ = 0;
    QString error_;
};

// A free TCP port on 127.0.0.1 (bound and released again).
int BenchFreePort();

// The --server option of the load benchmarks: the mms-server binary, by
// default the one beside the benchmark (the application must exist).
QCommandLineOption BenchServerOption();

// VmRSS of a process in KiB, and its user plus system CPU time in seconds;
// -1 when they cannot be read.
qint64 BenchResidentKiB(qint64 pid);
double BenchCpuSeconds(qint64 pid);

// Descriptors for thousands of connections: raises the soft limit to the hard
// one (children such as the server inherit it). Returns the new soft limit.
long BenchRaiseDescriptorLimit();

// The system's load averages (1, 5, 15 minutes) as text.
QString BenchLoadAverage();

// Prints a line to standard output at once.
void BenchPrint(const QString &line);

// Runs the event loop until the condition holds or the time is up; true when
// the condition held.
bool RunUntil(const std::function<bool()> &condition, qint64 timeoutMs);

// Waits until every client (pointer-like, with Connected(), Login() and
// LoggedIn()) is connected, logs each in and waits until every one is logged
// in; false when either wait runs out.
template <class Clients> bool ConnectAndLogIn(Clients &clients, qint64 connectMs, qint64 loginMs) {
    const auto all = [&](auto done) {
        return [&clients, done] { return std::all_of(clients.begin(), clients.end(), done); };
    };
    if (!RunUntil(all([](const auto &c) { return c->Connected(); }), connectMs))
        return false;
    for (auto &c : clients)
        c->Login();
    return RunUntil(all([](const auto &c) { return c->LoggedIn(); }), loginMs);
}
