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
#include "BenchMeasure.h"
#include "BenchServer.h"
#include "EpollEventDispatcher.h"
#include "ReferenceServer.h"
#include "SimFleet.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <algorithm>

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

        TBenchFigures mine;
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
            mine = BenchMeasureHeartbeats(real.EquipmentPort(), real.Pid(), count, hbRate, window,
                                          QStringLiteral("HB"));
            real.Stop();
        }
        BenchPrintFigures(QStringLiteral("server   "), mine, window);

        TBenchFigures ref;
        {
            TBenchReference reference(QCoreApplication::applicationFilePath());
            if (!reference.Started()) {
                BenchPrint(QStringLiteral("  reference server did not start"));
                return 1;
            }
            ref = BenchMeasureHeartbeats(reference.Port(), reference.Pid(), count, hbRate, window,
                                         QStringLiteral("HB"));
        }
        BenchPrintFigures(QStringLiteral("reference"), ref, window);
        if (mine.ok && ref.ok)
            BenchPrint(QStringLiteral("  ratio server/reference CPU per heartbeat: %1")
                           .arg(QString::number(BenchCpuRatio(mine, ref), 'f', 2)));
    }
    return 0;
}
