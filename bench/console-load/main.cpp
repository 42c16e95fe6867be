// bench_console_load: the operator console under load.
//
// Starts Xvfb on a free display number, then for each fleet size (2,000 and
// 10,000 units by default, each heartbeating every --heartbeat seconds): the
// real server with its window on that display and the operator log on, the
// fleet and a probe unit (on its own thread) against it, and over --duration
// seconds of steady traffic measures the server's CPU per answered heartbeat,
// the reply latency of the fleet and of the probe, the heartbeats lost and
// whether the log had to drop lines. The same fleet then runs against the
// minimal reference server (this program with --reference PORT) for the CPU
// ratio. With --modal the window opens a modal window as it starts (the user
// table, the import's file dialog, or the "Exit Software?" question) and
// leaves it open for the whole run.
//
// Targets: CPU per heartbeat at most 3 times the reference's, reply p99 at
// most 5 ms, nothing lost, no log line dropped.
#include "BenchMeasure.h"
#include "BenchProbe.h"
#include "BenchServer.h"
#include "ReferenceServer.h"
#include "SimFleet.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>

namespace {

QString Fixed(double v, int decimals = 2) {
    return QString::number(v, 'f', decimals);
}

// A virtual display of our own: a free number is one whose lock file is
// absent. Terminated on destruction.
class TVirtualDisplay {
public:
    TVirtualDisplay() {
        for (int tries = 0; tries < 50 && number_ == 0; ++tries) {
            const int n = 200 + int(QRandomGenerator::global()->bounded(600));
            if (!QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(n)))
                number_ = n;
        }
        xvfb_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        xvfb_.start(QStringLiteral("Xvfb"),
                    {QStringLiteral(":%1").arg(number_), QStringLiteral("-screen"),
                     QStringLiteral("0"), QStringLiteral("1280x800x24"),
                     QStringLiteral("-nolisten"), QStringLiteral("tcp")});
        if (!xvfb_.waitForStarted(10000))
            return;
        started_ = RunUntil(
            [&] { return QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number_)); },
            10000);
    }
    ~TVirtualDisplay() {
        xvfb_.terminate();
        xvfb_.waitForFinished(5000);
    }
    bool Started() const { return started_; }
    QString Error() const { return xvfb_.errorString(); }
    QByteArray Name() const { return QByteArray(":") + QByteArray::number(number_); }

private:
    QProcess xvfb_;
    int number_ = 0;
    bool started_ = false;
};

// One fleet size against the window: true when every target was met.
bool RunOne(const QString &binary, int unitCount, double heartbeatSeconds, double seconds) {
    BenchPrint(QStringLiteral("== %1 units heartbeating every %2 s, window open, log on")
                   .arg(unitCount)
                   .arg(heartbeatSeconds));
    const double rate = unitCount / heartbeatSeconds;
    TBenchFigures mine;
    std::vector<float> probeMs;
    bool dropped = false;
    {
        TBenchServer bench(binary);
        if (!bench.Prepare(BenchOwnersWithProbe(unitCount), true) || !bench.Start({}, true)) {
            BenchPrint(QStringLiteral("  server: ") + bench.Error());
            return false;
        }
        TBenchProbe probe(bench.EquipmentPort());
        mine = BenchMeasureHeartbeats(bench.EquipmentPort(), bench.Pid(), unitCount, rate, seconds,
                                      QStringLiteral("LOAD"));
        probeMs = probe.Finish().latencyMs;
        bench.Stop();
        dropped = bench.StdErr().contains(QStringLiteral("log lines were dropped"));
    }
    BenchPrintFigures(QStringLiteral("server   "), mine, seconds);
    BenchPrint(QStringLiteral("  probe unit on its own thread: ") + BenchLatencyText(probeMs));
    BenchPrint(QStringLiteral("  log lines dropped: %1")
                   .arg(dropped ? QStringLiteral("yes") : QStringLiteral("no")));

    TBenchFigures ref;
    {
        TBenchReference reference(QCoreApplication::applicationFilePath());
        if (!reference.Started()) {
            BenchPrint(QStringLiteral("  reference server did not start"));
            return false;
        }
        ref = BenchMeasureHeartbeats(reference.Port(), reference.Pid(), unitCount, rate, seconds,
                                     QStringLiteral("LOAD"));
    }
    BenchPrintFigures(QStringLiteral("reference"), ref, seconds);
    const double ratio = BenchCpuRatio(mine, ref);
    const bool ok = mine.ok && ref.ok && ratio <= 3.0 && mine.p99 <= 5.0 && mine.lost == 0 &&
                    mine.rampLost == 0 && !dropped;
    BenchPrint(QStringLiteral("  ratio server/reference CPU per heartbeat: %1").arg(Fixed(ratio)));
    BenchPrint(QStringLiteral("  [%1] CPU ratio <= 3, reply p99 <= 5 ms, nothing lost, no log line "
                              "dropped")
                   .arg(ok ? QStringLiteral("PASS") : QStringLiteral("FAIL")));
    return ok;
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 3 && QByteArray(argv[1]) == "--reference")
        return RunReferenceServer(QByteArray(argv[2]).toInt());
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("The operator console under load."));
    parser.addHelpOption();
    const QCommandLineOption units(QStringLiteral("units"), QStringLiteral("fleet sizes"),
                                   QStringLiteral("list"), QStringLiteral("2000,10000"));
    const QCommandLineOption heartbeat(QStringLiteral("heartbeat"),
                                       QStringLiteral("heartbeat interval, seconds"),
                                       QStringLiteral("S"), QStringLiteral("4"));
    const QCommandLineOption duration(QStringLiteral("duration"),
                                      QStringLiteral("steady run, seconds"), QStringLiteral("S"),
                                      QStringLiteral("30"));
    const QCommandLineOption modal(
        QStringLiteral("modal"),
        QStringLiteral("keep a modal window open: usertable, import or exit"),
        QStringLiteral("NAME"));
    const QCommandLineOption server = BenchServerOption();
    parser.addOptions({units, heartbeat, duration, modal, server});
    parser.process(app);
    const double heartbeatSeconds = parser.value(heartbeat).toDouble();
    const double seconds = parser.value(duration).toDouble();
    BenchRaiseDescriptorLimit();
    if (parser.isSet(modal)) {
        // The window program opens it once it is shown (see the README).
        qputenv("MMS_OPEN_MODAL", parser.value(modal).toUtf8());
        BenchPrint(QStringLiteral("modal window open throughout: ") + parser.value(modal));
    }

    TVirtualDisplay display;
    if (!display.Started()) {
        BenchPrint(QStringLiteral("cannot start Xvfb: ") + display.Error());
        return 1;
    }
    qputenv("DISPLAY", display.Name());
    qputenv("QT_QPA_PLATFORM", "xcb");

    bool ok = true;
    for (const QString &n : parser.value(units).split(QLatin1Char(','))) {
        const int count = n.toInt();
        if (count > 0)
            ok = RunOne(parser.value(server), count, heartbeatSeconds, seconds) && ok;
    }
    return ok ? 0 : 1;
}
