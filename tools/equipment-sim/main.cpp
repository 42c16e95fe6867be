// equipment-sim: simulated equipment units for field tests of the server and
// for load generation. See --help.
#include "SimFleet.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

void Print(const QString &line) {
    const QByteArray bytes = line.toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

// Thousands of connections need thousands of descriptors: take what the hard
// limit allows.
void RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

const char *kDescription = R"(Simulates equipment units (repeaters) against the network management
server: each unit opens its own TCP connection to the equipment port, sends
heartbeats, answers queries and sets from a parameter table it keeps, answers
parameter-list queries page by page, obeys station-number changes and sends
alarm reports on command or at a rate. An alarm report that gets no
acknowledgement is sent again every --alarm-repeat seconds until it is
acknowledged; the status line counts what was acknowledged, repeated and is
still unacknowledged.

Unit i (i = --first .. --first+--count-1) has the code <code-prefix><i>, the
station number <station-base> + i and the equipment number --equipment-num.

Commands on standard input (a unit is its number or its code, a parameter
its four hex digits, e.g. 0301):
  alarm <unit> <param> alert|normal   send an alarm report with the new state
  set <unit> <param> <value>          change a value (display text, e.g. 31.5)
  show <unit>                         list the unit's parameters and values
  heartbeat <unit>                    send a heartbeat now
  status                              print the counters
  quit                                close every connection and end

Traffic (every frame sent and received, with its reading) is printed when
the fleet has at most 10 units, or always with --verbose; --quiet prints only
status lines and command answers.

With --events, one line per event for programs that read the output, the
time in milliseconds since the epoch (wall clock):
  event <ms> up <code>                  first heartbeat answered on a connection
  event <ms> down <code> <lost>         connection lost, with the heartbeats it
                                        left unanswered
  event <ms> ack <code> <serial> <item> alarm report acknowledged, with its
                                        alarm item (hex)
  event <ms> command <code> <serial>    query or set received from the server)";

} // namespace

int main(int argc, char *argv[]) {
    // SIGINT and SIGTERM end the run cleanly through the event loop; block them
    // before any thread exists so that only the signalfd sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    RaiseDescriptorLimit();

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("equipment-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kDescription));
    parser.addHelpOption();
    // An option with a value and its default, the default shown in --help.
    auto valued = [](const char *name, const char *help, const char *valueName, const char *value) {
        return QCommandLineOption(QLatin1String(name),
                                  QLatin1String(help) +
                                      QStringLiteral(" (default %1).").arg(QLatin1String(value)),
                                  QLatin1String(valueName), QLatin1String(value));
    };
    const QCommandLineOption host = valued("host", "Server address", "host", "127.0.0.1");
    const QCommandLineOption port = valued("port", "Equipment port", "port", "5210");
    const QCommandLineOption count = valued("count", "Number of units", "N", "1");
    const QCommandLineOption first = valued("first", "Number of the first unit", "i", "1");
    const QCommandLineOption prefix = valued(
        "code-prefix", "Equipment code prefix; codes have at most 24 characters", "text", "SIM");
    const QCommandLineOption type = valued("type", "Equipment type byte, hex", "hex", "01");
    const QCommandLineOption stationBase =
        valued("station-base", "Station number base, hex; unit i gets base + i", "hex", "10000");
    const QCommandLineOption equipmentNum =
        valued("equipment-num", "Equipment number of every unit, 0 to 255", "n", "1");
    const QCommandLineOption heartbeat =
        valued("heartbeat", "Heartbeat interval in seconds, fractions allowed", "S", "10");
    const QCommandLineOption pages =
        valued("pages", "Pages the parameter list is answered in", "P", "1");
    const QCommandLineOption alarmRate =
        valued("alarm-rate",
               "Alarm reports per second over the whole fleet, each from a random unit and "
               "alarm, toggling it (0: none)",
               "R", "0");
    const QCommandLineOption connectRate = valued(
        "connect-rate", "New connections per second while connecting (0: all at once)", "R", "500");
    const QCommandLineOption reconnect = valued(
        "reconnect", "Seconds before a lost connection is opened again (0: never)", "S", "5");
    const QCommandLineOption replyTimeout = valued(
        "reply-timeout", "Seconds after which an unanswered heartbeat counts as lost", "S", "5");
    const QCommandLineOption alarmRepeat = valued(
        "alarm-repeat",
        "Seconds after which an unacknowledged alarm report is sent again (0: never)", "S", "10");
    const QCommandLineOption db(
        QStringLiteral("db"),
        QStringLiteral("Take the parameter table from the dictionary of this MonitorData.db "
                       "(default: the built-in table of the shipped dictionary)."),
        QStringLiteral("path"));
    const QCommandLineOption duration =
        valued("duration", "End after this many seconds (0: at quit or a signal)", "S", "0");
    const QCommandLineOption tick =
        valued("tick",
               "Scheduling grid in milliseconds: what falls due within one tick is sent "
               "together, which keeps thousands of units cheap (0: exact times)",
               "ms", "0");
    const QCommandLineOption stats =
        valued("stats", "Print a status line every S seconds (0: never)", "S", "10");
    const QCommandLineOption verbose(QStringLiteral("verbose"),
                                     QStringLiteral("Print every frame, whatever the fleet size."));
    const QCommandLineOption quiet(QStringLiteral("quiet"), QStringLiteral("Print no traffic."));
    const QCommandLineOption events(QStringLiteral("events"),
                                    QStringLiteral("Print event lines (see above)."));
    const QCommandLineOption aligned(QStringLiteral("aligned"),
                                     QStringLiteral("Heartbeat every S seconds after connecting "
                                                    "instead of spreading the units' phases."));
    parser.addOptions({host,        port,         count,     first,       prefix,    type,
                       stationBase, equipmentNum, heartbeat, pages,       alarmRate, connectRate,
                       reconnect,   replyTimeout, db,        duration,    stats,     tick,
                       verbose,     quiet,        aligned,   alarmRepeat, events});
    parser.process(app);

    auto fail = [](const QString &message) {
        std::fprintf(stderr, "equipment-sim: %s\n", qPrintable(message));
        return 2;
    };
    bool ok = true;
    auto number = [&](const QCommandLineOption &option, double min, double max) {
        bool good = false;
        const double v = parser.value(option).toDouble(&good);
        if (!good || v < min || v > max) {
            ok = false;
            fail(QStringLiteral("--%1 must be a number from %2 to %3")
                     .arg(option.names().first())
                     .arg(min)
                     .arg(max));
        }
        return v;
    };
    auto hex = [&](const QCommandLineOption &option, quint32 max) {
        bool good = false;
        const quint32 v = parser.value(option).toUInt(&good, 16);
        if (!good || v > max) {
            ok = false;
            fail(QStringLiteral("--%1 must be hexadecimal, at most %2")
                     .arg(option.names().first())
                     .arg(max, 0, 16));
        }
        return v;
    };

    TSimFleetConfig config;
    config.host = parser.value(host);
    config.port = quint16(number(port, 1, 65535));
    config.count = int(number(count, 0, 1000000));
    config.firstIndex = int(number(first, 0, 1e9));
    config.codePrefix = parser.value(prefix);
    config.type = quint8(hex(type, 0xFF));
    config.stationBase = hex(stationBase, 0xFFFFFFFF);
    config.equipmentNum = quint8(number(equipmentNum, 0, 255));
    config.heartbeatSeconds = number(heartbeat, 0.01, 86400);
    config.pages = int(number(pages, 1, 255));
    config.alarmRate = number(alarmRate, 0, 1e6);
    config.connectRate = number(connectRate, 0, 1e6);
    config.reconnectSeconds = number(reconnect, 0, 86400);
    config.replyTimeoutSeconds = number(replyTimeout, 0.01, 86400);
    config.alarmRepeatSeconds = number(alarmRepeat, 0, 86400);
    const double runSeconds = number(duration, 0, 1e9);
    const double statsSeconds = number(stats, 0, 86400);
    if (!ok)
        return 2;
    const QString lastCode =
        config.codePrefix + QString::number(config.firstIndex + config.count - 1);
    if (lastCode.size() > 24 || lastCode.toLatin1() != lastCode.toUtf8() ||
        config.codePrefix.contains(QLatin1Char(' ')))
        return fail(QStringLiteral("codes must be plain characters without blanks, at most 24 "
                                   "(the last one would be %1)")
                        .arg(lastCode));
    config.staggerHeartbeats = !parser.isSet(aligned);
    config.tickMillis = int(number(tick, 0, 1000));
    config.trace = parser.isSet(verbose) || (!parser.isSet(quiet) && config.count <= 10);
    config.events = parser.isSet(events);

    std::shared_ptr<const TSimParamTable> table;
    if (parser.isSet(db)) {
        QString error;
        auto loaded = TSimParamTable::LoadDatabase(parser.value(db), &error);
        if (!loaded)
            return fail(QStringLiteral("cannot read the dictionary: ") + error);
        table = std::make_shared<const TSimParamTable>(std::move(*loaded));
    } else {
        table = std::make_shared<const TSimParamTable>(TSimParamTable::BuiltIn());
    }

    QTimer statusTimer;
    TSimFleet fleet(config, table, Print);
    auto finish = [&fleet, &app, &statusTimer] {
        statusTimer.stop();
        fleet.Stop();
        Print(QStringLiteral("final: ") + fleet.StatusLine());
        app.quit();
    };

    const int signalFd = signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC);
    QSocketNotifier signalNotifier(signalFd, QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&, signalFd] {
        signalfd_siginfo info{};
        while (read(signalFd, &info, sizeof info) == sizeof info) {
        }
        finish();
    });

    QByteArray input;
    QSocketNotifier stdinNotifier(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&stdinNotifier, &QSocketNotifier::activated, &app, [&] {
        char chunk[4096];
        const ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
        if (n <= 0) {
            stdinNotifier.setEnabled(false); // end of input: go on without commands
            return;
        }
        input.append(chunk, n);
        qsizetype eol;
        while ((eol = input.indexOf('\n')) >= 0) {
            const QString line = QString::fromLocal8Bit(input.left(eol)).trimmed();
            input.remove(0, eol + 1);
            if (line == QLatin1String("quit") || line == QLatin1String("exit")) {
                finish();
                return;
            }
            const QString answer = fleet.Execute(line);
            if (!answer.isEmpty())
                Print(answer);
        }
    });

    if (statsSeconds > 0) {
        QObject::connect(&statusTimer, &QTimer::timeout, &app,
                         [&fleet] { Print(QStringLiteral("status: ") + fleet.StatusLine()); });
        statusTimer.start(int(statsSeconds * 1000));
    }
    if (runSeconds > 0)
        QTimer::singleShot(int(runSeconds * 1000), &app, finish);

    Print(QStringLiteral("equipment-sim: %1 unit(s) %2%3 .. %2%4 -> %5:%6, heartbeat every %7 s, "
                         "%8 parameter(s)")
              .arg(config.count)
              .arg(config.codePrefix)
              .arg(config.firstIndex)
              .arg(config.firstIndex + config.count - 1)
              .arg(config.host)
              .arg(config.port)
              .arg(config.heartbeatSeconds)
              .arg(table->Params().size()));
    if (!fleet.Start())
        return 1;
    const int rc = app.exec();
    close(signalFd);
    return rc;
}
