// bench_remote: the remote data service of the real server.
//
// 1. GetRecords of R QueryHistory rows (default 100,000) from one client:
//    time from the request to the last byte of the reply, reply size, and the
//    server's resident memory before and its peak (VmHWM) after.
// 2. N single-row Execute calls (default 1,000) in sequence from one client
//    while U simulated units (default 2,000) heartbeat every H seconds:
//    calls per second, and the heartbeat reply latency during the calls
//    (p50, p99, max), against the same units' latency without the calls.
#include "BenchServer.h"
#include "SimFleet.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QUuid>

#include <nlohmann/json.hpp>

#include <functional>

using nlohmann::json;

namespace {

QString Fixed(double v, int decimals = 1) {
    return QString::number(v, 'f', decimals);
}

// A /proc/<pid>/status value in KiB (VmRSS, VmHWM); -1 when unreadable.
qint64 StatusKiB(qint64 pid, const char *key) {
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(qsizetype(qstrlen(key)) + 1).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

// Fills QueryHistory with rows shaped like the server's own.
bool FillHistory(const QString &file, int rows, QString *error) {
    const QString name = QStringLiteral("bench-") + QUuid::createUuid().toString();
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(file);
        ok = db.open() && db.transaction();
        QSqlQuery q(db);
        ok = ok && q.prepare(QStringLiteral(
                       "insert into QueryHistory (EquipmentName, EquipmentCode, OperateFlag, "
                       "QueryMode, DataBody, QueryTime, ReturnTime) values (?,?,?,?,?,?,?)"));
        const QDateTime t0 = QDateTime::currentDateTime().addDays(-1);
        for (int i = 0; ok && i < rows; ++i) {
            const QString time =
                t0.addSecs(i % 86400).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
            q.addBindValue(QStringLiteral("Site %1").arg(i % 2000));
            q.addBindValue(QStringLiteral("LOAD%1").arg(i % 2000 + 1));
            q.addBindValue(QStringLiteral("02"));
            q.addBindValue(QStringLiteral("General"));
            q.addBindValue(QStringLiteral("0101030201010401A0000501000D0201000E02000000"));
            q.addBindValue(time);
            q.addBindValue(time);
            ok = q.exec();
        }
        ok = ok && db.commit();
        if (!ok)
            *error = db.lastError().text() + q.lastError().text();
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

// One JSON-RPC client driven by the event loop, so that the fleet keeps
// running while it waits.
class RpcClient {
public:
    explicit RpcClient(quint16 port) {
        socket_.connectToHost(QStringLiteral("127.0.0.1"), port);
        QObject::connect(&socket_, &QTcpSocket::readyRead, [this] {
            pending_ += socket_.readAll();
            const qsizetype end = pending_.indexOf('\n');
            if (end >= 0 && onReply_) {
                QByteArray line = pending_.left(end);
                pending_.remove(0, end + 1);
                auto done = std::move(onReply_);
                onReply_ = nullptr;
                done(line);
            }
        });
    }
    bool WaitConnected() { return socket_.waitForConnected(5000); }
    void Send(const std::string &method, const json &params,
              std::function<void(const QByteArray &)> onReply) {
        onReply_ = std::move(onReply);
        const json request = {
            {"jsonrpc", "2.0"}, {"id", ++id_}, {"method", method}, {"params", params}};
        socket_.write(QByteArray::fromStdString(request.dump() + "\n"));
    }

private:
    QTcpSocket socket_;
    QByteArray pending_;
    std::function<void(const QByteArray &)> onReply_;
    int id_ = 0;
};

struct Latency {
    double p50, p99, max;
    std::size_t count;
};

Latency Read(const TSimFleet &fleet) {
    const auto &l = fleet.Stats().latencyMs;
    return {SimPercentile(l, 0.5), SimPercentile(l, 0.99), SimPercentile(l, 1.0), l.size()};
}

QString Text(const Latency &l) {
    return QStringLiteral("p50 %1 ms, p99 %2 ms, max %3 ms over %4 replies")
        .arg(Fixed(l.p50), Fixed(l.p99), Fixed(l.max))
        .arg(l.count);
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Remote data service benchmark"));
    parser.addHelpOption();
    const QCommandLineOption serverOpt = BenchServerOption();
    const QCommandLineOption rowsOpt(QStringLiteral("rows"), QStringLiteral("QueryHistory rows"),
                                     QStringLiteral("n"), QStringLiteral("100000"));
    const QCommandLineOption unitsOpt(QStringLiteral("units"), QStringLiteral("heartbeating units"),
                                      QStringLiteral("n"), QStringLiteral("2000"));
    const QCommandLineOption callsOpt(QStringLiteral("calls"), QStringLiteral("Execute calls"),
                                      QStringLiteral("n"), QStringLiteral("1000"));
    const QCommandLineOption heartbeatOpt(QStringLiteral("heartbeat"),
                                          QStringLiteral("heartbeat interval in seconds"),
                                          QStringLiteral("s"), QStringLiteral("5"));
    parser.addOptions({serverOpt, rowsOpt, unitsOpt, callsOpt, heartbeatOpt});
    parser.process(app);
    const int rows = parser.value(rowsOpt).toInt();
    const int units = parser.value(unitsOpt).toInt();
    const int calls = parser.value(callsOpt).toInt();
    const double heartbeat = parser.value(heartbeatOpt).toDouble();
    BenchRaiseDescriptorLimit();

    TBenchServer server(parser.value(serverOpt));
    std::vector<TBenchOwner> owners;
    for (int i = 1; i <= units; ++i)
        owners.push_back({QStringLiteral("user%1").arg(i), QStringLiteral("LOAD%1").arg(i),
                          QStringLiteral("Site %1").arg(i)});
    QString error;
    if (!server.Prepare(owners, false) ||
        !FillHistory(server.Home() + QStringLiteral("/MonitorData.db"), rows, &error) ||
        !server.Start()) {
        BenchPrint(QStringLiteral("setup failed: ") + server.Error() + error);
        return 1;
    }
    const quint16 port = quint16(server.DataBasePort());

    // 1. One large result.
    {
        RpcClient client(port);
        if (!client.WaitConnected()) {
            BenchPrint(QStringLiteral("cannot reach the remote data service"));
            return 1;
        }
        const qint64 rssBefore = StatusKiB(server.Pid(), "VmRSS:");
        QByteArray reply;
        QElapsedTimer clock;
        clock.start();
        client.Send("DataSetProvider1.GetRecords", {{"commandText", "select * from QueryHistory"}},
                    [&](const QByteArray &line) { reply = line; });
        RunUntil([&] { return !reply.isEmpty(); }, 300000);
        const double seconds = clock.elapsed() / 1000.0;
        const json parsed = json::parse(reply.toStdString(), nullptr, false);
        const std::size_t got =
            parsed.is_discarded() ? 0
                                  : parsed.value("/result/rows"_json_pointer, json::array()).size();
        BenchPrint(QStringLiteral("GetRecords of %1 QueryHistory rows: %2 rows, %3 MiB in %4 s "
                                  "to the last byte; server resident %5 MiB before, peak %6 MiB")
                       .arg(rows)
                       .arg(got)
                       .arg(Fixed(reply.size() / 1048576.0))
                       .arg(Fixed(seconds, 2))
                       .arg(Fixed(rssBefore / 1024.0))
                       .arg(Fixed(StatusKiB(server.Pid(), "VmHWM:") / 1024.0)));
    }

    // 2. Single-row statements while the units heartbeat.
    TSimFleetConfig config;
    config.port = quint16(server.EquipmentPort());
    config.count = units;
    config.codePrefix = QStringLiteral("LOAD");
    config.heartbeatSeconds = heartbeat;
    config.reconnectSeconds = 0;
    config.replyTimeoutSeconds = std::max(5.0, heartbeat);
    TSimFleet fleet(config, nullptr, BenchPrint);
    fleet.Start();
    if (!RunUntil([&] { return fleet.AnsweredCount() == units; }, 120000)) {
        BenchPrint(
            QStringLiteral("only %1 of %2 units registered").arg(fleet.AnsweredCount()).arg(units));
        return 1;
    }
    // Settle, then the units alone for a baseline of the same length as the calls.
    RunUntil([] { return false; }, qint64(heartbeat * 1000));
    fleet.ResetLatencies();
    RpcClient client(port);
    client.WaitConnected();
    bool ready = false;
    client.Send("DataSetProvider1.Execute",
                {{"commandText", "insert into NormalParam (SetItem, SetValue) values "
                                 "('BenchRemote', '0')"}},
                [&](const QByteArray &) { ready = true; });
    RunUntil([&] { return ready; }, 10000);

    int done = 0, failed = 0;
    QElapsedTimer clock;
    std::function<void()> next = [&] {
        client.Send("DataSetProvider1.Execute",
                    {{"commandText",
                      QStringLiteral("update NormalParam set SetValue = '%1' where SetItem = "
                                     "'BenchRemote'")
                          .arg(done + 1)
                          .toStdString()}},
                    [&](const QByteArray &line) {
                        if (!line.contains("\"rowsAffected\":1"))
                            ++failed;
                        if (++done < calls)
                            next();
                    });
    };
    clock.start();
    next();
    RunUntil([&] { return done >= calls; }, 600000);
    const double seconds = clock.elapsed() / 1000.0;
    const Latency during = Read(fleet);
    fleet.ResetLatencies();
    RunUntil([] { return false; }, qint64(seconds * 1000));
    const Latency alone = Read(fleet);
    BenchPrint(QStringLiteral("%1 single-row Execute calls in %2 s: %3 calls/s, %4 failed")
                   .arg(done)
                   .arg(Fixed(seconds, 2))
                   .arg(Fixed(done / seconds))
                   .arg(failed));
    BenchPrint(QStringLiteral("heartbeat replies of %1 units (every %2 s) during the calls: ")
                   .arg(units)
                   .arg(heartbeat) +
               Text(during));
    BenchPrint(QStringLiteral("heartbeat replies afterwards, same length, no calls:        ") +
               Text(alone));
    BenchPrint(QStringLiteral("heartbeats lost: %1").arg(fleet.Stats().heartbeatsLost));
    fleet.Stop();
    server.Stop();
    return 0;
}
