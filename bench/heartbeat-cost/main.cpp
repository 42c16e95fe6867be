// bench_heartbeat_cost: what one heartbeat costs the server.
//
// For each fleet size N (1,000, 5,000 and 10,000 by default) N simulated
// units heartbeat, together R times a second (1,000 by default), first
// against the real server run headless (operator log off, or on and written
// to a file with --log), then against a minimal reference server on epoll
// that only cuts, unescapes, checks the CRC and replies (this program run
// with --reference). For both it prints the server's CPU time per answered
// heartbeat over a steady window, the reply latency p50 / p99, the heartbeats
// lost and the resident memory per connection, then the ratio of the two CPU
// figures. The simulated units run in this process, on the same machine:
// on a small machine they compete with the server for the cores, so the
// latencies are upper bounds.
#include "BenchServer.h"
#include "EpollEventDispatcher.h"
#include "ReferenceServer.h"
#include "SimFleet.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTcpSocket>
#include <QThread>

#include <algorithm>

namespace {

struct Figures {
    bool ok = false;
    qint64 answered = 0;
    qint64 lost = 0;     // in the measured window
    qint64 rampLost = 0; // while the fleet connected and registered
    double rampSeconds = 0;
    double cpuMicrosPerHeartbeat = 0;
    double p50 = 0, p99 = 0;
    double kibPerConnection = 0;
};

QString Fixed(double v, int decimals = 1) {
    return QString::number(v, 'f', decimals);
}

// Runs the fleet against the port of process pid and measures that process.
Figures Measure(int port, qint64 pid, int units, double rate, double seconds,
                const QString &prefix) {
    Figures f;
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

void Print(const QString &who, const Figures &f, double seconds) {
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

int main(int argc, char *argv[]) {
    if (argc == 3 && QByteArray(argv[1]) == "--reference")
        return RunReferenceServer(QByteArray(argv[2]).toInt());
    TEpollEventDispatcher::InstallForMainThread();
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("CPU per heartbeat: server against reference"));
    parser.addHelpOption();
    const QCommandLineOption units(QStringLiteral("units"), QStringLiteral("Fleet sizes."),
                                   QStringLiteral("list"), QStringLiteral("1000,5000,10000"));
    const QCommandLineOption rate(QStringLiteral("rate"),
                                  QStringLiteral("Heartbeats per second, whole fleet."),
                                  QStringLiteral("n"), QStringLiteral("1000"));
    const QCommandLineOption seconds(QStringLiteral("seconds"),
                                     QStringLiteral("Length of the measured window."),
                                     QStringLiteral("s"), QStringLiteral("20"));
    const QCommandLineOption log(QStringLiteral("log"),
                                 QStringLiteral("Operator log on, written to a file."));
    const QCommandLineOption server = BenchServerOption();
    parser.addOptions({units, rate, seconds, log, server});
    parser.process(app);
    const QString binary = parser.value(server);
    const double hbRate = parser.value(rate).toDouble();
    const double window = parser.value(seconds).toDouble();
    BenchRaiseDescriptorLimit();
    BenchPrint(QStringLiteral("heartbeat cost: %1 heartbeats/s, %2 s window, operator log %3, "
                              "%4 cores")
                   .arg(hbRate)
                   .arg(window)
                   .arg(parser.isSet(log) ? QStringLiteral("on (file)") : QStringLiteral("off"))
                   .arg(QThread::idealThreadCount()));

    for (const QString &n : parser.value(units).split(QLatin1Char(','))) {
        const int count = n.toInt();
        if (count <= 0)
            continue;
        BenchPrint(QStringLiteral("== %1 units, each heartbeating every %2 s")
                       .arg(count)
                       .arg(std::max(1.0, count / hbRate)));

        Figures mine;
        {
            TBenchServer real(binary);
            std::vector<TBenchOwner> owners;
            for (int i = 1; i <= count; ++i)
                owners.push_back({QStringLiteral("u%1").arg(i), QStringLiteral("HB%1").arg(i),
                                  QStringLiteral("Unit %1").arg(i)});
            const QString logFile =
                parser.isSet(log) ? real.Home() + QStringLiteral("/server.log") : QString();
            if (!real.Prepare(owners, parser.isSet(log)) || !real.Start(logFile)) {
                BenchPrint(QStringLiteral("  server did not start: ") + real.Error());
                return 1;
            }
            mine = Measure(real.EquipmentPort(), real.Pid(), count, hbRate, window,
                           QStringLiteral("HB"));
            real.Stop();
        }
        Print(QStringLiteral("server   "), mine, window);

        Figures ref;
        {
            const int port = BenchFreePort();
            QProcess reference;
            reference.start(QCoreApplication::applicationFilePath(),
                            {QStringLiteral("--reference"), QString::number(port)});
            if (!reference.waitForStarted() || !WaitForPort(port)) {
                BenchPrint(QStringLiteral("  reference server did not start"));
                return 1;
            }
            ref = Measure(port, reference.processId(), count, hbRate, window, QStringLiteral("HB"));
            reference.kill();
            reference.waitForFinished();
        }
        Print(QStringLiteral("reference"), ref, window);
        if (mine.ok && ref.ok)
            BenchPrint(QStringLiteral("  ratio server/reference CPU per heartbeat: %1")
                           .arg(Fixed(mine.cpuMicrosPerHeartbeat /
                                          std::max(0.001, ref.cpuMicrosPerHeartbeat),
                                      2)));
    }
    return 0;
}
