// bench_equipment_load: the equipment port under load.
//
// Starts the real server headless on a temporary home whose UserEquipment
// rows own the simulated units, connects N units at once (5,000 by default),
// lets each heartbeat every 10 s for the chosen duration and reports:
//   - whether every heartbeat was answered;
//   - the heartbeat reply latency p50 / p99 (while registering, and steady);
//   - the server's resident memory before and with N units, per connection;
//   - the server's CPU time over the steady run.
// Then a burst benchmark: one unit writes K heartbeats in a single write and
// the replies are counted and timed, for several K, to see that cutting many
// frames out of one read costs time linear in their number.
#include "BenchProbe.h"
#include "BenchServer.h"
#include "SimFleet.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <sys/resource.h>

namespace {

void RunFor(qint64 ms) {
    RunUntil([] { return false; }, ms);
}

// CPU time (user + system) of this process, all threads, in seconds.
double OwnCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

QString Fixed(double v, int decimals = 2) {
    return QString::number(v, 'f', decimals);
}

struct Verdict {
    bool ok = true;
    void Check(bool pass, const QString &what) {
        BenchPrint(QStringLiteral("  [%1] %2")
                       .arg(pass ? QStringLiteral("PASS") : QStringLiteral("FAIL"), what));
        ok = ok && pass;
    }
};

struct LoadOptions {
    int units = 5000;
    double heartbeat = 10;
    double duration = 120;
    double connectRate = 0;
};

void RunLoad(TBenchServer &server, const LoadOptions &opt, Verdict &verdict) {
    BenchPrint(QStringLiteral("== load: %1 units, heartbeat every %2 s, %3 s steady run")
                   .arg(opt.units)
                   .arg(opt.heartbeat)
                   .arg(opt.duration));
    const qint64 rssIdle = server.ResidentKiB();

    TSimFleetConfig config;
    config.port = quint16(server.EquipmentPort());
    config.count = opt.units;
    config.codePrefix = QStringLiteral("LOAD");
    config.heartbeatSeconds = opt.heartbeat;
    config.connectRate = opt.connectRate;
    config.reconnectSeconds = 0; // a dropped unit must show, not heal
    config.replyTimeoutSeconds = std::max(5.0, opt.heartbeat);
    TSimFleet fleet(config, nullptr, BenchPrint);

    TBenchProbe probe(server.EquipmentPort());
    QElapsedTimer clock;
    clock.start();
    if (!fleet.Start()) {
        verdict.Check(false, QStringLiteral("fleet started"));
        return;
    }
    const bool allIn = RunUntil([&] { return fleet.AnsweredCount() == opt.units; }, 180000);
    const double rampSeconds = clock.elapsed() / 1000.0;
    const std::vector<float> rampLatency = fleet.Stats().latencyMs;
    BenchPrint(
        QStringLiteral("registered %1 of %2 units in %3 s (registration heartbeat p50 %4 ms, "
                       "p99 %5 ms)")
            .arg(fleet.AnsweredCount())
            .arg(opt.units)
            .arg(Fixed(rampSeconds))
            .arg(Fixed(SimPercentile(rampLatency, 0.5)))
            .arg(Fixed(SimPercentile(rampLatency, 0.99))));
    verdict.Check(allIn, QStringLiteral("every unit connected and answered"));

    // Steady state: the heartbeat phases are spread over the interval.
    RunFor(std::min<qint64>(qint64(opt.heartbeat * 1000), 10000));
    fleet.ResetLatencies();
    probe.ResetLatencies();
    const TSimStats before = fleet.Stats();
    const qint64 rssLoaded = server.ResidentKiB();
    const double cpuStart = server.CpuSeconds();
    const double ownCpuStart = OwnCpuSeconds();
    const QString loadBefore = BenchLoadAverage();
    clock.restart();
    QTimer progress;
    QObject::connect(&progress, &QTimer::timeout, [&] {
        BenchPrint(QStringLiteral("  %1 s: ").arg(clock.elapsed() / 1000) + fleet.StatusLine());
    });
    progress.start(30000);
    RunFor(qint64(opt.duration * 1000));
    progress.stop();
    const double steadySeconds = clock.elapsed() / 1000.0;
    const double cpuEnd = server.CpuSeconds();
    const double ownCpu = OwnCpuSeconds() - ownCpuStart;
    const qint64 rssEnd = server.ResidentKiB();
    const QString loadAfter = BenchLoadAverage();

    fleet.PauseSending();
    RunUntil([&] { return fleet.PendingHeartbeats() == 0; }, 10000);
    const TSimStats probeStats = probe.Finish();
    const TSimStats &after = fleet.Stats();
    // Heartbeats sent in the window; every heartbeat of the whole run must
    // have been answered once the last replies are in.
    const qint64 sent = after.heartbeatsSent - before.heartbeatsSent;
    const qint64 pendingLeft = fleet.PendingHeartbeats();
    const double p50 = SimPercentile(after.latencyMs, 0.50);
    const double p99 = SimPercentile(after.latencyMs, 0.99);
    const double max = SimPercentile(after.latencyMs, 1.0);
    const double perConnection =
        double(std::max(rssLoaded, rssEnd) - rssIdle) / std::max(1, opt.units);

    BenchPrint(QStringLiteral("steady run %1 s: %2 heartbeats sent; whole run: %3 sent, %4 "
                              "answered, %5 lost, %6 unanswered at the end, %7 unmatched, %8 "
                              "disconnects")
                   .arg(Fixed(steadySeconds, 1))
                   .arg(sent)
                   .arg(after.heartbeatsSent)
                   .arg(after.heartbeatReplies)
                   .arg(after.heartbeatsLost)
                   .arg(pendingLeft)
                   .arg(after.unmatchedReplies)
                   .arg(after.disconnects));
    BenchPrint(
        QStringLiteral("heartbeat reply latency: p50 %1 ms, p99 %2 ms, max %3 ms (%4 samples)")
            .arg(Fixed(p50), Fixed(p99), Fixed(max))
            .arg(after.latencyMs.size()));
    BenchPrint(QStringLiteral("probe unit on its own event loop: p50 %1 ms, p99 %2 ms, max %3 ms "
                              "(%4 samples, %5 lost)")
                   .arg(Fixed(SimPercentile(probeStats.latencyMs, 0.50)),
                        Fixed(SimPercentile(probeStats.latencyMs, 0.99)),
                        Fixed(SimPercentile(probeStats.latencyMs, 1.0)))
                   .arg(probeStats.latencyMs.size())
                   .arg(probeStats.heartbeatsLost));
    BenchPrint(QStringLiteral("load generator CPU time %1 s (%2 % of one core); machine load "
                              "average %3 before, %4 after")
                   .arg(Fixed(ownCpu))
                   .arg(Fixed(100.0 * ownCpu / steadySeconds, 1))
                   .arg(loadBefore, loadAfter));
    BenchPrint(QStringLiteral("server VmRSS: %1 KiB idle, %2 KiB with %3 units, %4 KiB at the end "
                              "-> %5 KiB per connection")
                   .arg(rssIdle)
                   .arg(rssLoaded)
                   .arg(opt.units)
                   .arg(rssEnd)
                   .arg(Fixed(perConnection)));
    BenchPrint(QStringLiteral("server CPU time over the steady run: %1 s (%2 % of one core)")
                   .arg(Fixed(cpuEnd - cpuStart))
                   .arg(Fixed(100.0 * (cpuEnd - cpuStart) / steadySeconds, 1)));
    verdict.Check(sent > 0 && after.heartbeatReplies == after.heartbeatsSent &&
                      after.heartbeatsLost == 0 && pendingLeft == 0 &&
                      after.unmatchedReplies == 0 && after.disconnects == 0,
                  QStringLiteral("every heartbeat answered, no connection lost"));
    verdict.Check(p99 < 50, QStringLiteral("heartbeat reply p99 below 50 ms (all units)"));
    verdict.Check(perConnection < 20, QStringLiteral("memory per connection below 20 KiB"));
    fleet.Stop();
}

// One unit's connection, fed to its unit model.
struct BurstLink {
    QTcpSocket socket;
    TSimUnit unit;
    qint64 replies = 0;

    explicit BurstLink(const std::shared_ptr<const TSimParamTable> &table)
        : unit(TSimIdentity{QStringLiteral("BURST1"), 0x01, 0x0BB00001, 1}, table) {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] {
            for (const TSimEvent &event : unit.Feed(socket.readAll()))
                if (event.kind == TSimEvent::Kind::HeartbeatReply)
                    ++replies;
        });
    }
};

void RunBurst(TBenchServer &server, const QList<int> &sizes, int repeats, Verdict &verdict) {
    BenchPrint(QStringLiteral("== burst: K heartbeats in one write, replies counted and timed"));
    const auto table = std::make_shared<const TSimParamTable>(TSimParamTable::BuiltIn());
    BurstLink link(table);
    link.socket.connectToHost(QHostAddress::LocalHost, quint16(server.EquipmentPort()));
    if (!link.socket.waitForConnected(5000)) {
        verdict.Check(false, QStringLiteral("burst connection opened"));
        return;
    }
    link.socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    link.socket.write(link.unit.MakeHeartbeat().bytes);
    if (!RunUntil([&] { return link.replies == 1; }, 5000)) {
        verdict.Check(false, QStringLiteral("burst unit registered"));
        return;
    }

    struct Result {
        int frames;
        double ms;
        qint64 answered;
    };
    std::vector<Result> results;
    for (int frames : sizes) {
        std::vector<double> times;
        qint64 answered = frames;
        for (int r = 0; r < repeats; ++r) {
            QByteArray burst;
            for (int k = 0; k < frames; ++k)
                burst += link.unit.MakeHeartbeat().bytes;
            link.replies = 0;
            QElapsedTimer clock;
            clock.start();
            link.socket.write(burst);
            link.socket.flush();
            qint64 seen = -1;
            qint64 lastChange = 0;
            // Done when all replies came, or when none came for 2 s.
            RunUntil(
                [&] {
                    if (link.replies != seen) {
                        seen = link.replies;
                        lastChange = clock.elapsed();
                    }
                    return link.replies >= frames || clock.elapsed() - lastChange > 2000;
                },
                60000);
            times.push_back(link.replies >= frames ? clock.nsecsElapsed() / 1e6
                                                   : double(lastChange));
            answered = std::min(answered, link.replies);
            RunFor(200);
        }
        std::sort(times.begin(), times.end());
        const double median = times[times.size() / 2];
        results.push_back({frames, median, answered});
        BenchPrint(
            QStringLiteral("  %1 frames: %2 of them answered, all replies in %3 ms (median of "
                           "%4), %5 us per frame")
                .arg(frames)
                .arg(answered)
                .arg(Fixed(median))
                .arg(repeats)
                .arg(Fixed(1000.0 * median / frames)));
    }
    for (std::size_t i = 1; i < results.size(); ++i) {
        const Result &a = results[i - 1];
        const Result &b = results[i];
        if (a.answered < a.frames || b.answered < b.frames)
            continue;
        const double growth = b.ms / a.ms;
        const double size = double(b.frames) / a.frames;
        BenchPrint(QStringLiteral("  %1 -> %2 frames: time x%3 for size x%4")
                       .arg(a.frames)
                       .arg(b.frames)
                       .arg(Fixed(growth))
                       .arg(Fixed(size)));
        verdict.Check(
            growth < 1.5 * size,
            QStringLiteral("time grows linearly from %1 to %2 frames").arg(a.frames).arg(b.frames));
    }
    for (const Result &r : results)
        verdict.Check(r.answered == r.frames,
                      QStringLiteral("all %1 frames of one write answered").arg(r.frames));
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Load benchmark of the equipment port: N simulated units against the real server "
        "(headless, temporary home), then K-frame bursts on one connection."));
    parser.addHelpOption();
    const QCommandLineOption server = BenchServerOption();
    const QCommandLineOption units(QStringLiteral("units"), QStringLiteral("Units (default 5000)."),
                                   QStringLiteral("N"), QStringLiteral("5000"));
    const QCommandLineOption heartbeat(QStringLiteral("heartbeat"),
                                       QStringLiteral("Heartbeat interval, s (default 10)."),
                                       QStringLiteral("S"), QStringLiteral("10"));
    const QCommandLineOption duration(QStringLiteral("duration"),
                                      QStringLiteral("Steady run, s (default 120)."),
                                      QStringLiteral("S"), QStringLiteral("120"));
    const QCommandLineOption connectRate(
        QStringLiteral("connect-rate"),
        QStringLiteral("Connections per second (default 0: all at once)."), QStringLiteral("R"),
        QStringLiteral("0"));
    const QCommandLineOption bursts(QStringLiteral("bursts"),
                                    QStringLiteral("Burst sizes, comma-separated (default "
                                                   "250,1000,4000)."),
                                    QStringLiteral("list"), QStringLiteral("250,1000,4000"));
    const QCommandLineOption repeats(QStringLiteral("repeats"),
                                     QStringLiteral("Repeats of each burst (default 5)."),
                                     QStringLiteral("n"), QStringLiteral("5"));
    const QCommandLineOption skipLoad(QStringLiteral("skip-load"), QStringLiteral("Bursts only."));
    const QCommandLineOption skipBurst(QStringLiteral("skip-burst"), QStringLiteral("Load only."));
    const QCommandLineOption serverLog(QStringLiteral("server-log"),
                                       QStringLiteral("Keep the server's operator log in this "
                                                      "file (default: thrown away)."),
                                       QStringLiteral("file"));
    const QCommandLineOption noLog(QStringLiteral("no-operator-log"),
                                   QStringLiteral("Run the server with ShowInfoHint 0."));
    parser.addOptions({server, units, heartbeat, duration, connectRate, bursts, repeats, skipLoad,
                       skipBurst, serverLog, noLog});
    parser.process(app);

    LoadOptions load;
    load.units = parser.value(units).toInt();
    load.heartbeat = parser.value(heartbeat).toDouble();
    load.duration = parser.value(duration).toDouble();
    load.connectRate = parser.value(connectRate).toDouble();
    QList<int> sizes;
    for (const QString &s : parser.value(bursts).split(QLatin1Char(','), Qt::SkipEmptyParts))
        if (s.toInt() > 0)
            sizes.append(s.toInt());
    if (load.units < 1 || load.heartbeat <= 0 || load.duration <= 0) {
        BenchPrint(QStringLiteral("--units, --heartbeat and --duration must be positive"));
        return 2;
    }

    const long descriptors = BenchRaiseDescriptorLimit();
    if (!parser.isSet(skipLoad) && descriptors < 2L * load.units + 100)
        BenchPrint(QStringLiteral("warning: only %1 file descriptors for %2 units")
                       .arg(descriptors)
                       .arg(load.units));

    const QString binary = parser.value(server);
    TBenchServer bench(binary);
    std::vector<TBenchOwner> owners;
    for (int i = 1; i <= load.units; ++i)
        owners.push_back({QStringLiteral("load%1").arg((i - 1) % 50 + 1),
                          QStringLiteral("LOAD%1").arg(i), QStringLiteral("Unit %1").arg(i)});
    owners.push_back({QStringLiteral("load1"), QStringLiteral("BURST1"), QStringLiteral("Burst")});
    owners.push_back({QStringLiteral("load1"), QStringLiteral("PROBE1"), QStringLiteral("Probe")});
    if (!bench.Prepare(owners, !parser.isSet(noLog)) || !bench.Start(parser.value(serverLog))) {
        BenchPrint(QStringLiteral("cannot run the server: ") + bench.Error());
        return 1;
    }
    BenchPrint(
        QStringLiteral("server pid %1, equipment port %2, home %3, operator log %4")
            .arg(bench.Pid())
            .arg(bench.EquipmentPort())
            .arg(bench.Home(), parser.isSet(noLog) ? QStringLiteral("off") : QStringLiteral("on")));
    RunFor(2000); // let start-up settle before the idle reading

    Verdict verdict;
    if (!parser.isSet(skipLoad))
        RunLoad(bench, load, verdict);
    if (!parser.isSet(skipBurst) && !sizes.isEmpty())
        RunBurst(bench, sizes, std::max(1, parser.value(repeats).toInt()), verdict);
    const int rc = bench.Stop();
    BenchPrint(QStringLiteral("server exit code %1; overall %2")
                   .arg(rc)
                   .arg(verdict.ok ? QStringLiteral("PASS") : QStringLiteral("FAIL")));
    return verdict.ok ? 0 : 1;
}
