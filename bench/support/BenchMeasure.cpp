#include "BenchMeasure.h"

#include "BenchServer.h"
#include "SimFleet.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QThread>

#include <algorithm>

namespace {

QString Fixed(double v, int decimals = 1) {
    return QString::number(v, 'f', decimals);
}

bool WaitForPort(int port) {
    for (int i = 0; i < 100; ++i) {
        QTcpSocket probe;
        probe.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
        if (probe.waitForConnected(200))
            return true;
        QThread::msleep(50);
    }
    return false;
}

} // namespace

TBenchFigures BenchMeasureHeartbeats(int port, qint64 pid, int units, double rate, double seconds,
                                     const QString &prefix) {
    TBenchFigures f;
    const qint64 rssIdle = BenchResidentKiB(pid);
    TSimFleetConfig config;
    config.port = quint16(port);
    config.count = units;
    config.codePrefix = prefix;
    config.heartbeatSeconds = std::max(1.0, units / rate);
    config.connectRate = 2000;
    config.reconnectSeconds = 0;
    config.replyTimeoutSeconds = std::max(5.0, config.heartbeatSeconds);
    config.tickMillis = 2;
    TSimFleet fleet(config, nullptr, nullptr);
    QElapsedTimer ramp;
    ramp.start();
    if (!fleet.Start())
        return f;
    if (!RunUntil([&] { return fleet.AnsweredCount() == units; }, 240000)) {
        BenchPrint(
            QStringLiteral("  only %1 of %2 units answered").arg(fleet.AnsweredCount()).arg(units));
        fleet.Stop();
        return f;
    }
    f.rampSeconds = ramp.elapsed() / 1000.0;
    // Let the heartbeat phases spread, then measure a steady window.
    RunUntil([] { return false; }, qint64(std::min(config.heartbeatSeconds, 5.0) * 1000));
    f.rampLost = fleet.Stats().heartbeatsLost;
    fleet.ResetLatencies();
    const TSimStats before = fleet.Stats();
    const double cpu0 = BenchCpuSeconds(pid);
    RunUntil([] { return false; }, qint64(seconds * 1000));
    const double cpu1 = BenchCpuSeconds(pid);
    const qint64 rss = BenchResidentKiB(pid);
    const TSimStats after = fleet.Stats();
    fleet.PauseSending();
    RunUntil([&] { return fleet.PendingHeartbeats() == 0; }, 10000);
    f.answered = after.heartbeatReplies - before.heartbeatReplies;
    f.lost = fleet.Stats().heartbeatsLost - f.rampLost;
    f.cpuMicrosPerHeartbeat = (cpu1 - cpu0) * 1e6 / double(std::max<qint64>(1, f.answered));
    f.p50 = SimPercentile(after.latencyMs, 0.50);
    f.p99 = SimPercentile(after.latencyMs, 0.99);
    f.kibPerConnection = double(rss - rssIdle) / units;
    f.ok = true;
    fleet.Stop();
    return f;
}

void BenchPrintFigures(const QString &who, const TBenchFigures &f, double seconds) {
    BenchPrint(QStringLiteral("  %1: all units registered in %2 s (%3 heartbeats lost meanwhile)")
                   .arg(who, Fixed(f.rampSeconds))
                   .arg(f.rampLost));
    BenchPrint(QStringLiteral("  %1: %2 heartbeats answered in %3 s (%4/s), %5 lost; CPU %6 us per "
                              "heartbeat; reply p50 %7 ms, p99 %8 ms; %9 KiB resident per "
                              "connection")
                   .arg(who)
                   .arg(f.answered)
                   .arg(seconds)
                   .arg(Fixed(f.answered / seconds, 0))
                   .arg(f.lost)
                   .arg(Fixed(f.cpuMicrosPerHeartbeat, 2))
                   .arg(Fixed(f.p50, 2), Fixed(f.p99, 2))
                   .arg(Fixed(f.kibPerConnection, 2)));
}

TBenchReference::TBenchReference(const QString &program) : port_(BenchFreePort()) {
    process_.start(program, {QStringLiteral("--reference"), QString::number(port_)});
    started_ = process_.waitForStarted() && WaitForPort(port_);
}

TBenchReference::~TBenchReference() {
    process_.kill();
    process_.waitForFinished();
}

double BenchCpuRatio(const TBenchFigures &server, const TBenchFigures &reference) {
    return server.cpuMicrosPerHeartbeat / std::max(0.001, reference.cpuMicrosPerHeartbeat);
}
