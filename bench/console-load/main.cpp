// bench_console_load: the operator console under load.
//
// Starts Xvfb on a free display number, the real server with its window on
// it and the operator log on, connects --units owned units heartbeating
// every --heartbeat seconds and measures, over --duration seconds of steady
// traffic: the heartbeat reply latency (the fleet's and a probe unit's on
// its own thread), heartbeats lost, whether the log sink had to drop lines
// (it reports that on standard error), and the server's CPU time.
#include "BenchProbe.h"
#include "BenchServer.h"
#include "SimFleet.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>

namespace {

QString Fixed(double v, int decimals = 2) {
    return QString::number(v, 'f', decimals);
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("The operator console under load."));
    parser.addHelpOption();
    const QCommandLineOption units(QStringLiteral("units"), QStringLiteral("simulated units"),
                                   QStringLiteral("N"), QStringLiteral("2000"));
    const QCommandLineOption heartbeat(QStringLiteral("heartbeat"),
                                       QStringLiteral("heartbeat interval, seconds"),
                                       QStringLiteral("S"), QStringLiteral("4"));
    const QCommandLineOption duration(QStringLiteral("duration"),
                                      QStringLiteral("steady run, seconds"), QStringLiteral("S"),
                                      QStringLiteral("60"));
    const QCommandLineOption server = BenchServerOption();
    parser.addOptions({units, heartbeat, duration, server});
    parser.process(app);
    const int unitCount = parser.value(units).toInt();
    const double heartbeatSeconds = parser.value(heartbeat).toDouble();
    const double seconds = parser.value(duration).toDouble();
    BenchRaiseDescriptorLimit();

    BenchPrint(QStringLiteral("== console under load: %1 units heartbeating every %2 s, log on, "
                              "%3 s steady run")
                   .arg(unitCount)
                   .arg(heartbeatSeconds)
                   .arg(seconds));
    // A display of our own: a free number is one whose lock file is absent.
    int display = 0;
    for (int tries = 0; tries < 50 && display == 0; ++tries) {
        const int n = 200 + int(QRandomGenerator::global()->bounded(600));
        if (!QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(n)))
            display = n;
    }
    QProcess xvfb;
    xvfb.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    xvfb.start(QStringLiteral("Xvfb"),
               {QStringLiteral(":%1").arg(display), QStringLiteral("-screen"), QStringLiteral("0"),
                QStringLiteral("1280x800x24"), QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    if (!xvfb.waitForStarted(10000)) {
        BenchPrint(QStringLiteral("cannot start Xvfb: ") + xvfb.errorString());
        return 1;
    }
    RunUntil([&] { return QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(display)); },
             10000);
    qputenv("DISPLAY", QByteArray(":") + QByteArray::number(display));
    qputenv("QT_QPA_PLATFORM", "xcb");

    const std::vector<TBenchOwner> owners = BenchOwnersWithProbe(unitCount);
    TBenchServer bench(parser.value(server));
    if (!bench.Prepare(owners, true) || !bench.Start({}, true)) {
        BenchPrint(QStringLiteral("server: ") + bench.Error());
        xvfb.terminate();
        xvfb.waitForFinished(5000);
        return 1;
    }

    TSimFleetConfig config;
    config.port = quint16(bench.EquipmentPort());
    config.count = unitCount;
    config.codePrefix = QStringLiteral("LOAD");
    config.heartbeatSeconds = heartbeatSeconds;
    config.reconnectSeconds = 0;
    config.replyTimeoutSeconds = std::max(5.0, heartbeatSeconds);
    TSimFleet fleet(config, nullptr, BenchPrint);
    fleet.Start();
    QElapsedTimer clock;
    clock.start();
    const bool allIn = RunUntil([&] { return fleet.AnsweredCount() == unitCount; }, 60000);
    BenchPrint(QStringLiteral("%1 of %2 units answered after %3 s")
                   .arg(fleet.AnsweredCount())
                   .arg(unitCount)
                   .arg(Fixed(clock.elapsed() / 1000.0, 1)));
    TBenchProbe probe(bench.EquipmentPort());
    RunUntil([] { return false; }, qint64(heartbeatSeconds * 2000));
    fleet.ResetLatencies();
    probe.ResetLatencies();
    const TSimStats before = fleet.Stats();
    const double cpuStart = bench.CpuSeconds();
    clock.restart();
    RunUntil([] { return false; }, qint64(seconds * 1000));
    const double wall = clock.elapsed() / 1000.0;
    const double cpu = bench.CpuSeconds() - cpuStart;
    const std::vector<float> probeMs = probe.Finish().latencyMs;
    const TSimStats after = fleet.Stats();
    const qint64 rss = bench.ResidentKiB();
    fleet.Stop();
    bench.Stop();
    xvfb.terminate();
    xvfb.waitForFinished(5000);
    const bool dropped = bench.StdErr().contains(QStringLiteral("log lines were dropped"));

    BenchPrint(QStringLiteral("steady %1 s: %2 heartbeats sent, %3 lost; fleet ")
                   .arg(Fixed(wall, 1))
                   .arg(after.heartbeatsSent - before.heartbeatsSent)
                   .arg(after.heartbeatsLost - before.heartbeatsLost) +
               BenchLatencyText(after.latencyMs));
    BenchPrint(QStringLiteral("probe unit on its own thread: ") + BenchLatencyText(probeMs));
    BenchPrint(
        QStringLiteral("server CPU %1 s in %2 s (%3 % of one core), resident %4 MiB; "
                       "log lines dropped: %5")
            .arg(Fixed(cpu), Fixed(wall, 1), Fixed(100.0 * cpu / wall, 1), Fixed(rss / 1024.0, 1))
            .arg(dropped ? QStringLiteral("yes") : QStringLiteral("no")));
    const bool ok = allIn && !dropped && SimPercentile(probeMs, 0.99) <= 20.0 &&
                    after.heartbeatsLost == before.heartbeatsLost;
    BenchPrint(QStringLiteral("[%1] probe p99 <= 20 ms, no heartbeat lost, no log line dropped")
                   .arg(ok ? QStringLiteral("PASS") : QStringLiteral("FAIL")));
    return ok ? 0 : 1;
}
