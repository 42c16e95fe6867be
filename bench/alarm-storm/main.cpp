// bench_alarm_storm: a power cut puts every unit into alarm at once.
//
// N units (1,000 by default), each owned by a user with one client logged
// in, send one alarm report at the same moment. For the server's default
// paces and for ReceiveFramesPerTick=0, SendFramesPerTick=0,
// ReplyEntryPauseMs=0 it prints the time until the last acknowledgement
// reached its unit, the last broadcast reached its client and the last
// AlarmHistory row was stored, and the heartbeat reply p99 meanwhile. A run
// that does not finish within the limit prints how far it got.
//
// --crash: with the paces open, the server is killed (SIGKILL) when half the
// units have their acknowledgement, then started again; the units repeat
// what was not acknowledged. It prints how many reports were acknowledged
// but have no AlarmHistory row (must be 0) and the time from the restart to
// the last acknowledgement.
#include "BenchServer.h"
#include "EpollEventDispatcher.h"
#include "SimFleet.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QUuid>

#include <algorithm>
#include <map>
#include <memory>

namespace {

QString Fixed(double v, int decimals = 2) {
    return QString::number(v, 'f', decimals);
}

// A client logged in as the owner of one unit; notes when its unit's alarm
// broadcast arrives.
class StormClient {
public:
    StormClient(int number, int port) : number_(number) {
        QObject::connect(&socket_, &QTcpSocket::readyRead, [this] { Read(); });
        socket_.connectToHost(QHostAddress::LocalHost, quint16(port));
    }
    bool Connected() { return socket_.state() == QAbstractSocket::ConnectedState; }
    void Login() { socket_.write(QStringLiteral("*0000owner%1*").arg(number_).toLatin1()); }
    bool loggedIn = false;
    bool LoggedIn() const { return loggedIn; }
    qint64 broadcastAt = -1; // ms on the storm clock; -1: none yet
    const QElapsedTimer *clock = nullptr;

private:
    void Read() {
        buffer_ += socket_.readAll();
        for (;;) {
            const qsizetype open = buffer_.indexOf('*');
            const qsizetype close = open < 0 ? -1 : buffer_.indexOf('*', open + 1);
            if (close < 0)
                break;
            const QByteArray message = buffer_.mid(open + 1, close - open - 1);
            buffer_.remove(0, close + 1);
            if (message.startsWith("12"))
                loggedIn = true;
            else if (message.startsWith("01") && clock && clock->isValid() && broadcastAt < 0)
                broadcastAt = clock->elapsed();
        }
    }
    int number_;
    QTcpSocket socket_;
    QByteArray buffer_;
};

// AlarmHistory rows per unit code (empty when the file cannot be read).
std::map<QString, qint64> AlarmRowsPerUnit(const QString &file) {
    const QString name = QStringLiteral("storm-") + QUuid::createUuid().toString();
    std::map<QString, qint64> rows;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(file);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=2000"));
        if (db.open()) {
            QSqlQuery q(db);
            if (q.exec(QStringLiteral(
                    "select EquipmentCode, count(*) from AlarmHistory group by EquipmentCode")))
                while (q.next())
                    rows[q.value(0).toString()] = q.value(1).toLongLong();
        }
    }
    QSqlDatabase::removeDatabase(name);
    return rows;
}

qint64 AlarmRows(const QString &file) {
    const QString name = QStringLiteral("storm-") + QUuid::createUuid().toString();
    qint64 n = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(file);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=200"));
        if (db.open()) {
            QSqlQuery q(db);
            if (q.exec(QStringLiteral("select count(*) from AlarmHistory")) && q.next())
                n = q.value(0).toLongLong();
        }
    }
    QSqlDatabase::removeDatabase(name);
    return n;
}

// Makes the home with one owner per unit STORM1.., opens the paces when
// fast, and starts the server.
bool PrepareAndStart(TBenchServer &server, int units, bool fast) {
    std::vector<TBenchOwner> owners;
    for (int i = 1; i <= units; ++i)
        owners.push_back({QStringLiteral("owner%1").arg(i), QStringLiteral("STORM%1").arg(i),
                          QStringLiteral("Unit %1").arg(i)});
    if (!server.Prepare(owners, false)) {
        BenchPrint(QStringLiteral("  cannot prepare: ") + server.Error());
        return false;
    }
    if (fast) {
        QFile ini(server.Home() + QStringLiteral("/Set.ini"));
        if (!ini.open(QIODevice::Append))
            return false;
        ini.write("ReceiveFramesPerTick=0\nSendFramesPerTick=0\nReplyEntryPauseMs=0\n");
    }
    if (!server.Start()) {
        BenchPrint(QStringLiteral("  server did not start: ") + server.Error());
        return false;
    }
    return true;
}

// The units STORM1.. of the server, connecting fast, never reconnecting.
TSimFleetConfig StormFleet(const TBenchServer &server, int units) {
    TSimFleetConfig config;
    config.port = quint16(server.EquipmentPort());
    config.count = units;
    config.codePrefix = QStringLiteral("STORM");
    config.heartbeatSeconds = 10;
    config.connectRate = 2000;
    config.reconnectSeconds = 0;
    return config;
}

bool RunStorm(const QString &binary, int units, bool fast, double limitSeconds) {
    BenchPrint(fast ? QStringLiteral("== paces 0, 0, 0 (every frame, every body, no pause)")
                    : QStringLiteral("== default paces (1 frame, 1 body per sub-queue, 250 ms)"));
    TBenchServer server(binary);
    if (!PrepareAndStart(server, units, fast))
        return false;

    TSimFleet fleet(StormFleet(server, units), nullptr, nullptr);
    QElapsedTimer storm;
    std::vector<qint64> ackAt(std::size_t(units), -1);
    fleet.SetEventObserver([&](int index, const TSimEvent &event) {
        if (event.kind == TSimEvent::Kind::AlarmAck && storm.isValid() && index >= 0 &&
            index < units && ackAt[std::size_t(index)] < 0)
            ackAt[std::size_t(index)] = storm.elapsed();
    });
    std::vector<std::unique_ptr<StormClient>> clients;
    bool ok = fleet.Start() && RunUntil([&] { return fleet.AnsweredCount() == units; }, 120000);
    for (int i = 1; ok && i <= units; ++i) {
        clients.push_back(std::make_unique<StormClient>(i, server.ClientPort()));
        clients.back()->clock = &storm;
    }
    ok = ok && ConnectAndLogIn(clients, 30000, 60000);
    if (!ok) {
        BenchPrint(QStringLiteral("  units or clients did not come up: ") + fleet.StatusLine());
        return false;
    }

    const QString db = server.Home() + QStringLiteral("/MonitorData.db");
    fleet.ResetLatencies();
    storm.start();
    for (int i = 0; i < units; ++i) {
        QString error;
        fleet.SendAlarm(i, QStringLiteral("0301"), true, &error);
    }
    qint64 lastRowAt = -1, rows = 0;
    QElapsedTimer poll;
    poll.start();
    const auto count = [](const auto &v) {
        return std::count_if(v.begin(), v.end(), [](qint64 t) { return t >= 0; });
    };
    const auto broadcasts = [&] {
        return std::count_if(clients.begin(), clients.end(),
                             [](const auto &c) { return c->broadcastAt >= 0; });
    };
    RunUntil(
        [&] {
            if (poll.elapsed() >= 200) {
                poll.restart();
                rows = std::max(rows, AlarmRows(db));
                if (rows >= units && lastRowAt < 0)
                    lastRowAt = storm.elapsed();
            }
            return count(ackAt) == units && broadcasts() == units && lastRowAt >= 0;
        },
        qint64(limitSeconds * 1000));
    const auto last = [](qint64 a, qint64 b) { return std::max(a, b); };
    qint64 lastAck = -1, lastBroadcast = -1;
    for (qint64 t : ackAt)
        lastAck = last(lastAck, t);
    for (const auto &c : clients)
        lastBroadcast = last(lastBroadcast, c->broadcastAt);
    const auto when = [&](qint64 done, qint64 at) {
        return done >= units ? Fixed(at / 1000.0) + QStringLiteral(" s")
                             : QStringLiteral("not within %1 s (%2 of %3)")
                                   .arg(limitSeconds)
                                   .arg(done)
                                   .arg(units);
    };
    BenchPrint(QStringLiteral("  last acknowledgement: %1").arg(when(count(ackAt), lastAck)));
    BenchPrint(QStringLiteral("  last broadcast at its client: %1")
                   .arg(when(broadcasts(), lastBroadcast)));
    BenchPrint(QStringLiteral("  last AlarmHistory row: %1").arg(when(rows, lastRowAt)));
    BenchPrint(QStringLiteral("  heartbeats meanwhile: %1 answered, p50 %2 ms, p99 %3 ms")
                   .arg(fleet.Stats().latencyMs.size())
                   .arg(Fixed(SimPercentile(fleet.Stats().latencyMs, 0.5)),
                        Fixed(SimPercentile(fleet.Stats().latencyMs, 0.99))));
    fleet.Stop();
    server.Stop();
    return true;
}

bool RunCrash(const QString &binary, int units, double limitSeconds) {
    BenchPrint(QStringLiteral("== paces 0, 0, 0, kill -9 when half are acknowledged, restart"));
    TBenchServer server(binary);
    if (!PrepareAndStart(server, units, true))
        return false;
    // The units come back after the kill and repeat what got no acknowledgement.
    TSimFleetConfig config = StormFleet(server, units);
    config.reconnectSeconds = 0.2;
    config.alarmRepeatSeconds = 2;
    TSimFleet fleet(config, nullptr, nullptr);
    QElapsedTimer clock;
    qint64 lastAck = -1;
    std::vector<char> acked(std::size_t(units), 0);
    fleet.SetEventObserver([&](int index, const TSimEvent &event) {
        if (event.kind == TSimEvent::Kind::AlarmAck && index >= 0 && index < units) {
            acked[std::size_t(index)] = 1;
            if (clock.isValid())
                lastAck = clock.elapsed();
        }
    });
    if (!fleet.Start() || !RunUntil([&] { return fleet.AnsweredCount() == units; }, 120000)) {
        BenchPrint(QStringLiteral("  units did not come up: ") + fleet.StatusLine());
        return false;
    }
    // The storm comes in 25 waves 20 ms apart, so that the kill falls between
    // commits: once half the units have their acknowledgement, no more waves.
    constexpr int waves = 25;
    for (int w = 0, i = 0; w < waves && fleet.Stats().alarmAcks < units / 2; ++w) {
        for (const int end = units * (w + 1) / waves; i < end; ++i)
            fleet.SendAlarm(i, QStringLiteral("0301"), true, nullptr);
        RunUntil([&] { return fleet.Stats().alarmAcks >= units / 2; }, 20);
    }
    RunUntil([&] { return fleet.Stats().alarmAcks >= units / 2; }, qint64(limitSeconds * 1000));
    server.Kill();
    RunUntil([] { return false; }, 50); // what the kernel still delivers
    const std::vector<char> ackedAtKill = acked;
    const auto rows = AlarmRowsPerUnit(server.Home() + QStringLiteral("/MonitorData.db"));
    int ackedCount = 0, lost = 0;
    for (int i = 0; i < units; ++i) {
        if (!ackedAtKill[std::size_t(i)])
            continue;
        ++ackedCount;
        if (!rows.count(QStringLiteral("STORM%1").arg(i + 1)))
            ++lost;
    }
    BenchPrint(QStringLiteral("  at the kill: %1 sent, %2 acknowledged, %3 of these without "
                              "AlarmHistory row")
                   .arg(fleet.Stats().alarmsSent)
                   .arg(ackedCount)
                   .arg(lost));

    clock.start();
    lastAck = -1;
    if (!server.Start()) {
        BenchPrint(QStringLiteral("  server did not start again: ") + server.Error());
        return false;
    }
    const bool all =
        RunUntil([&] { return fleet.UnackedAlarms() == 0; }, qint64(limitSeconds * 1000));
    QString after = Fixed(lastAck / 1000.0) + QStringLiteral(" s");
    if (!all)
        after = QStringLiteral("not within %1 s (%2 unacknowledged)")
                    .arg(limitSeconds)
                    .arg(fleet.UnackedAlarms());
    else if (lastAck < 0)
        after = QStringLiteral("none was left unacknowledged");
    BenchPrint(QStringLiteral("  restart to last acknowledgement: %1 (%2 repeated reports)")
                   .arg(after)
                   .arg(fleet.Stats().alarmsRepeated));
    fleet.Stop();
    server.Stop();
    return lost == 0 && all;
}

} // namespace

int main(int argc, char *argv[]) {
    TEpollEventDispatcher::InstallForMainThread();
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("An alarm storm under two sets of paces"));
    parser.addHelpOption();
    const QCommandLineOption units(QStringLiteral("units"), QStringLiteral("Units in alarm."),
                                   QStringLiteral("n"), QStringLiteral("1000"));
    const QCommandLineOption limit(QStringLiteral("limit"),
                                   QStringLiteral("Seconds each run may take."),
                                   QStringLiteral("s"), QStringLiteral("900"));
    const QCommandLineOption only(QStringLiteral("only"),
                                  QStringLiteral("Run only 'default' or 'fast'."),
                                  QStringLiteral("which"));
    const QCommandLineOption crash(
        QStringLiteral("crash"),
        QStringLiteral("Kill the server in the middle of a storm (paces open) and restart it."));
    const QCommandLineOption server = BenchServerOption();
    parser.addOptions({units, limit, only, crash, server});
    parser.process(app);
    const QString binary = parser.value(server);
    BenchRaiseDescriptorLimit();
    const int n = parser.value(units).toInt();
    const double seconds = parser.value(limit).toDouble();
    BenchPrint(QStringLiteral("alarm storm: %1 units, one owner and one client each").arg(n));
    if (parser.isSet(crash))
        return RunCrash(binary, n, seconds) ? 0 : 1;
    bool ok = true;
    if (parser.value(only) != QLatin1String("fast"))
        ok = RunStorm(binary, n, false, seconds) && ok;
    if (parser.value(only) != QLatin1String("default"))
        ok = RunStorm(binary, n, true, seconds) && ok;
    return ok ? 0 : 1;
}
