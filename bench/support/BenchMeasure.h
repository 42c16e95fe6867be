// What a heartbeat costs a server process: a simulated fleet against its
// equipment port, measured over a steady window after every unit has
// registered, and the minimal reference server the figures are compared with
// (run as a child process of the benchmark program, see ReferenceServer.h).
#pragma once

#include <QProcess>
#include <QString>
#include <QtGlobal>

struct TBenchFigures {
    bool ok = false;
    qint64 answered = 0;
    qint64 lost = 0;     // in the measured window
    qint64 rampLost = 0; // while the fleet connected and registered
    double rampSeconds = 0;
    double cpuMicrosPerHeartbeat = 0;
    double p50 = 0, p99 = 0;
    double kibPerConnection = 0;
};

// Runs `units` simulated units (codes prefix1 .. prefixN), together `rate`
// heartbeats a second, against the port of process pid; measures that
// process over `seconds` of steady traffic.
TBenchFigures BenchMeasureHeartbeats(int port, qint64 pid, int units, double rate, double seconds,
                                     const QString &prefix);

// Prints the figures of one server ("server   ", "reference").
void BenchPrintFigures(const QString &who, const TBenchFigures &f, double seconds);

// The reference server, started as `program --reference PORT` (the benchmark
// program itself answers that with RunReferenceServer). Killed on
// destruction.
class TBenchReference {
public:
    explicit TBenchReference(const QString &program);
    ~TBenchReference();
    TBenchReference(const TBenchReference &) = delete;
    TBenchReference &operator=(const TBenchReference &) = delete;
    // False when it did not start or its port did not open.
    bool Started() const { return started_; }
    int Port() const { return port_; }
    qint64 Pid() const { return process_.processId(); }

private:
    QProcess process_;
    int port_ = 0;
    bool started_ = false;
};

// The ratio of the server's CPU per heartbeat to the reference's.
double BenchCpuRatio(const TBenchFigures &server, const TBenchFigures &reference);
