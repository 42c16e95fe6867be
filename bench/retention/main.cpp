// bench_retention: one automatic retention run over a large QueryHistory
// while simulated units heartbeat.
//
// Starts the real server headless on a temporary home (SQLite, or a fresh
// PostgreSQL database with --kind postgresql and MMS_PG_HOST/MMS_PG_PORT/
// MMS_PG_USER/MMS_PG_PASSWORD), fills QueryHistory with --rows rows of which
// --expired are 40 days old, connects --units units heartbeating every
// --heartbeat seconds, and lets the server's retention timer (period set
// through MMS_RETENTION_INTERVAL_MS) run once. Reports the run's duration
// (from the first expired row gone to the last, counted every 50 ms) and the
// heartbeat reply latency p50/p99/max during the run and in the steady state
// before it.
#include "BenchProbe.h"
#include "BenchServer.h"
#include "SchemaInstaller.h"
#include "SimFleet.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QUuid>

#include <atomic>
#include <optional>
#include <thread>

namespace {

QString Fixed(double v, int decimals = 2) {
    return QString::number(v, 'f', decimals);
}

QString Env(const char *name, const char *def) {
    const QString v = qEnvironmentVariable(name);
    return v.isEmpty() ? QString::fromLatin1(def) : v;
}

// The bench's own connection to the server's database.
class BenchDb {
public:
    explicit BenchDb(bool postgres) : postgres_(postgres) {
        name_ = QStringLiteral("bench-") + QUuid::createUuid().toString(QUuid::Id128);
    }
    ~BenchDb() {
        QSqlDatabase::database(name_, false).close();
        QSqlDatabase::removeDatabase(name_);
        if (postgres_ && !pgName_.isEmpty()) {
            {
                QSqlDatabase admin = PgConnection(QStringLiteral("postgres"), name_ + "-drop");
                if (admin.open())
                    QSqlQuery(admin).exec(QStringLiteral("drop database if exists ") + pgName_);
            }
            QSqlDatabase::removeDatabase(name_ + "-drop");
        }
    }

    // SQLite: opens the home's file. PostgreSQL: creates a database with
    // the schema and the shipped rows and returns the Set.ini lines naming it.
    std::optional<QString> Open(const QString &home, QString *error) {
        if (!postgres_) {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name_);
            db.setDatabaseName(home + QStringLiteral("/MonitorData.db"));
            db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
            if (!db.open()) {
                *error = db.lastError().text();
                return std::nullopt;
            }
            return QString();
        }
        pgName_ = QStringLiteral("mms_bench_retention_%1").arg(QCoreApplication::applicationPid());
        {
            QSqlDatabase admin = PgConnection(QStringLiteral("postgres"), name_ + "-admin");
            QSqlQuery q(admin);
            if (!admin.open() || !q.exec(QStringLiteral("drop database if exists ") + pgName_) ||
                !q.exec(QStringLiteral("create database ") + pgName_)) {
                *error = admin.lastError().text() + q.lastError().text();
                pgName_.clear();
                return std::nullopt;
            }
        }
        QSqlDatabase::removeDatabase(name_ + "-admin");
        QSqlDatabase db = PgConnection(pgName_, name_);
        if (!db.open()) {
            *error = db.lastError().text();
            return std::nullopt;
        }
        try {
            InstallSchema(db, 3, true);
        } catch (const std::exception &e) {
            *error = QString::fromUtf8(e.what());
            return std::nullopt;
        }
        QFile::remove(home + QStringLiteral("/MonitorData.db"));
        return QStringLiteral("[Database]\nDriver=QPSQL\nHost=%1\nPort=%2\nName=%3\nUser=%4\n"
                              "Password=%5\n")
            .arg(Env("MMS_PG_HOST", "127.0.0.1"), Env("MMS_PG_PORT", "5432"), pgName_,
                 Env("MMS_PG_USER", "postgres"), Env("MMS_PG_PASSWORD", ""));
    }

    bool Exec(const QString &sql) {
        QSqlQuery q(QSqlDatabase::database(name_));
        if (!q.exec(sql)) {
            BenchPrint(QStringLiteral("statement failed: ") + q.lastError().text());
            return false;
        }
        return true;
    }
    qint64 Count(const QString &sql) {
        QSqlQuery q(QSqlDatabase::database(name_));
        return q.exec(sql) && q.next() ? q.value(0).toLongLong() : -1;
    }

    // PostgreSQL only (Prepare made the SQLite ones): the units' owners, and
    // the operator log off.
    bool AddOwners(int units) {
        if (!postgres_)
            return true;
        return Exec(QStringLiteral("insert into UserRegister (UserName, UserPassword, Email, "
                                   "UseState) select distinct 'owner' || (i / 100), 'bench', "
                                   "'bench@localhost', 0 from generate_series(1, %1) as i")
                        .arg(units)) &&
               Exec(QStringLiteral("insert into UserEquipment select 'owner' || (i / 100), "
                                   "'LOAD' || i, 'Repeater ' || i, '01' from generate_series(1, "
                                   "%1) as i")
                        .arg(units)) &&
               Exec(QStringLiteral("insert into UserEquipment values ('owner0', 'PROBE1', "
                                   "'Probe', '01')")) &&
               Exec(QStringLiteral("update NormalParam set SetValue='0' where "
                                   "SetItem='ShowInfoHint'"));
    }

    // Rows of QueryHistory: `recent` written an hour ago, `expired` 40 days ago.
    bool Fill(qint64 recent, qint64 expired) {
        if (postgres_) {
            const QString insert = QStringLiteral(
                "insert into QueryHistory select 'Repeater', 'LOAD' || i, '02', 'General', "
                "'7E0301010001000100800001EE001B22005349', localtimestamp(0) - interval '%1', "
                "localtimestamp(0) - interval '%1' from generate_series(1, %2) as i");
            return Exec(insert.arg(QStringLiteral("1 hour")).arg(recent)) &&
                   Exec(insert.arg(QStringLiteral("40 days")).arg(expired)) &&
                   Exec(QStringLiteral("analyze QueryHistory"));
        }
        const QString insert = QStringLiteral(
            "insert into QueryHistory with recursive c(i) as (select 1 union all select i+1 "
            "from c where i<%2) select 'Repeater', 'LOAD' || i, '02', 'General', "
            "'7E0301010001000100800001EE001B22005349', datetime('now','localtime','%1'), "
            "datetime('now','localtime','%1') from c");
        return Exec(QStringLiteral("begin")) &&
               Exec(insert.arg(QStringLiteral("-1 hours")).arg(recent)) &&
               Exec(insert.arg(QStringLiteral("-40 days")).arg(expired)) &&
               Exec(QStringLiteral("commit"));
    }

    QString ExpiredSql() const {
        return postgres_ ? QStringLiteral("select count(*) from QueryHistory where QueryTime < "
                                          "localtimestamp - interval '20 days'")
                         : QStringLiteral("select count(*) from QueryHistory where QueryTime < "
                                          "datetime('now','localtime','-20 days')");
    }
    qint64 Expired() { return Count(ExpiredSql()); }
    const QString &ConnectionName() const { return name_; }

private:
    static QSqlDatabase PgConnection(const QString &database, const QString &name) {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
        db.setHostName(Env("MMS_PG_HOST", "127.0.0.1"));
        db.setPort(Env("MMS_PG_PORT", "5432").toInt());
        db.setUserName(Env("MMS_PG_USER", "postgres"));
        db.setPassword(Env("MMS_PG_PASSWORD", ""));
        db.setDatabaseName(database);
        return db;
    }

    bool postgres_;
    QString name_;
    QString pgName_;
};

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("One retention run under heartbeat load."));
    parser.addHelpOption();
    const QCommandLineOption kind(QStringLiteral("kind"), QStringLiteral("sqlite or postgresql"),
                                  QStringLiteral("kind"), QStringLiteral("sqlite"));
    const QCommandLineOption rows(QStringLiteral("rows"), QStringLiteral("QueryHistory rows"),
                                  QStringLiteral("N"), QStringLiteral("1000000"));
    const QCommandLineOption expired(QStringLiteral("expired"),
                                     QStringLiteral("of which 40 days old"), QStringLiteral("N"),
                                     QStringLiteral("100000"));
    const QCommandLineOption units(QStringLiteral("units"), QStringLiteral("simulated units"),
                                   QStringLiteral("N"), QStringLiteral("2000"));
    const QCommandLineOption heartbeat(QStringLiteral("heartbeat"),
                                       QStringLiteral("heartbeat interval, seconds"),
                                       QStringLiteral("S"), QStringLiteral("4"));
    const QCommandLineOption server = BenchServerOption();
    parser.addOptions({kind, rows, expired, units, heartbeat, server});
    parser.process(app);
    const bool postgres = parser.value(kind).startsWith(QLatin1String("post"));
    const qint64 expiredRows = parser.value(expired).toLongLong();
    const qint64 recentRows = parser.value(rows).toLongLong() - expiredRows;
    const int unitCount = parser.value(units).toInt();
    const double heartbeatSeconds = parser.value(heartbeat).toDouble();
    BenchRaiseDescriptorLimit();

    BenchPrint(QStringLiteral("== retention on %1: %2 QueryHistory rows, %3 expired; %4 units "
                              "heartbeating every %5 s")
                   .arg(postgres ? QStringLiteral("PostgreSQL") : QStringLiteral("SQLite"))
                   .arg(recentRows + expiredRows)
                   .arg(expiredRows)
                   .arg(unitCount)
                   .arg(heartbeatSeconds));
    TBenchServer bench(parser.value(server));
    // The units have owners, as in the field: their heartbeats need no
    // database look-up once registered.
    const std::vector<TBenchOwner> owners = BenchOwnersWithProbe(unitCount);
    if (!bench.Prepare(owners, false)) {
        BenchPrint(QStringLiteral("prepare failed: ") + bench.Error());
        return 1;
    }
    BenchDb db(postgres);
    QString error;
    const auto iniLines = db.Open(bench.Home(), &error);
    if (!iniLines) {
        BenchPrint(QStringLiteral("database: ") + error);
        return 1;
    }
    if (!iniLines->isEmpty()) {
        QFile ini(bench.Home() + QStringLiteral("/Set.ini"));
        ini.open(QIODevice::Append);
        ini.write(iniLines->toUtf8());
    }
    QElapsedTimer clock;
    clock.start();
    if (!db.AddOwners(unitCount) || !db.Fill(recentRows, expiredRows)) {
        BenchPrint(QStringLiteral("filling QueryHistory failed"));
        return 1;
    }
    BenchPrint(QStringLiteral("filled in %1 s; expired rows: %2")
                   .arg(Fixed(clock.elapsed() / 1000.0, 1))
                   .arg(db.Expired()));

    // The first run comes this long after start-up: time to connect every
    // unit and settle. The runs after it find nothing to delete.
    const int firstRunMs = 30000;
    qputenv("MMS_RETENTION_INTERVAL_MS", QByteArray::number(firstRunMs));
    if (!bench.Start()) {
        BenchPrint(QStringLiteral("server: ") + bench.Error());
        return 1;
    }
    QElapsedTimer sinceStart;
    sinceStart.start();

    TSimFleetConfig config;
    config.port = quint16(bench.EquipmentPort());
    config.count = unitCount;
    config.codePrefix = QStringLiteral("LOAD");
    config.heartbeatSeconds = heartbeatSeconds;
    config.reconnectSeconds = 0;
    config.replyTimeoutSeconds = std::max(5.0, heartbeatSeconds);
    TSimFleet fleet(config, nullptr, BenchPrint);
    fleet.Start();
    const bool allIn = RunUntil([&] { return fleet.AnsweredCount() == unitCount; }, 25000);
    BenchPrint(QStringLiteral("%1 of %2 units answered after %3 s")
                   .arg(fleet.AnsweredCount())
                   .arg(unitCount)
                   .arg(Fixed(sinceStart.elapsed() / 1000.0, 1)));
    TBenchProbe probe(bench.EquipmentPort());
    RunUntil([] { return false; }, std::max<qint64>(0, firstRunMs - 8000 - sinceStart.elapsed()));
    fleet.ResetLatencies();
    probe.ResetLatencies();

    // Steady state before the run, then the run itself.
    const double cpuBefore = bench.CpuSeconds();
    std::vector<float> steady, steadyProbe;
    double cpuAtStart = 0;
    // The expired rows are counted on a thread of its own (a read of the
    // server's database may wait for a batch's commit), every 50 ms from a
    // second before the run is due: the run starts when the first one goes
    // and ends when none is left.
    std::atomic<qint64> startMs{-1}, endMs{-1}, left{expiredRows};
    std::atomic<bool> stopWatch{false};
    std::thread watcher([&] {
        const QString name = db.ConnectionName() + QStringLiteral("-watch");
        {
            QSqlDatabase c = QSqlDatabase::cloneDatabase(db.ConnectionName(), name);
            if (c.open()) {
                while (!stopWatch && sinceStart.elapsed() < firstRunMs - 1000)
                    QThread::msleep(20);
                QSqlQuery q(c);
                while (!stopWatch) {
                    if (q.exec(db.ExpiredSql()) && q.next()) {
                        left = q.value(0).toLongLong();
                        if (startMs < 0 && left < expiredRows)
                            startMs = sinceStart.elapsed();
                        if (left == 0) {
                            endMs = sinceStart.elapsed();
                            break;
                        }
                    }
                    q.finish();
                    QThread::msleep(50);
                }
            }
        }
        QSqlDatabase::removeDatabase(name);
    });
    bool started = false;
    const bool done = RunUntil(
        [&] {
            if (!started && startMs >= 0) {
                started = true;
                steady = fleet.Stats().latencyMs;
                fleet.ResetLatencies();
                steadyProbe = probe.TakeLatencies();
                cpuAtStart = bench.CpuSeconds();
            }
            return started && endMs >= 0;
        },
        240000);
    stopWatch = true;
    watcher.join();
    // Counted every 50 ms: the duration is accurate to about that.
    const double runSeconds = done ? (endMs - startMs) / 1000.0 : -1;
    const std::vector<float> during = fleet.Stats().latencyMs;
    const std::vector<float> duringProbe = probe.Finish().latencyMs;
    const double cpuRun = bench.CpuSeconds() - cpuAtStart;
    const TSimStats stats = fleet.Stats();
    fleet.Stop();
    bench.Stop();

    BenchPrint(QStringLiteral("steady before the run: fleet ") + BenchLatencyText(steady));
    BenchPrint(QStringLiteral("                       probe ") + BenchLatencyText(steadyProbe));
    if (!done) {
        BenchPrint(QStringLiteral("the run did not finish: %1 expired rows left").arg(left.load()));
        return 1;
    }
    BenchPrint(QStringLiteral("run: %1 expired rows deleted in %2 s (server CPU %3 s)")
                   .arg(expiredRows)
                   .arg(Fixed(runSeconds))
                   .arg(Fixed(cpuRun)));
    BenchPrint(QStringLiteral("during the run: fleet ") + BenchLatencyText(during));
    BenchPrint(QStringLiteral("                probe ") + BenchLatencyText(duringProbe));
    BenchPrint(QStringLiteral("heartbeats lost %1, disconnects %2; server CPU before the run %3 s")
                   .arg(stats.heartbeatsLost)
                   .arg(stats.disconnects)
                   .arg(Fixed(cpuBefore)));
    BenchPrint(QStringLiteral("load average ") + BenchLoadAverage());
    // The probe's figure: the fleet's includes this process's own lag.
    const bool ok = allIn && SimPercentile(duringProbe, 0.99) <= 20.0 && stats.heartbeatsLost == 0;
    BenchPrint(QStringLiteral("[%1] probe heartbeat reply p99 during the run <= 20 ms, none lost")
                   .arg(ok ? QStringLiteral("PASS") : QStringLiteral("FAIL")));
    return ok ? 0 : 1;
}
