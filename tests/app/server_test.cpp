// The program as an operator runs it: --init-db, a headless start, the
// confirmed exit on SIGTERM, and the fatal start-up failures.
#include "Configuration.h"
#include "FakeNotifySocket.h"
#include "IniFile.h"
#include "NetD.h"
#include "NormalParamTable.h"
#include "SchemaInstaller.h"
#include "ServerApp.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>

using namespace std::chrono_literals;

namespace {

class ServerTest : public ::testing::Test {
protected:
    static QByteArray PortsIni() {
        return QStringLiteral(
                   "[Set]\nDeviceConnectPort=%1\nDataBasePort=%2\nClientConnectPort=%3\n")
            .arg(mmstest::FreeTcpPort())
            .arg(mmstest::FreeTcpPort())
            .arg(mmstest::FreeTcpPort())
            .toUtf8();
    }

    // Starts the server and waits until start-up has finished (Set.ini is
    // written once the servers exist).
    static bool StartAndWait(mmstest::ServerProcess &server, const mmstest::TestHome &home) {
        const QString ini = home.File(QStringLiteral("Set.ini"));
        const QDateTime before = QFileInfo(ini).lastModified();
        if (!server.Start({QStringLiteral("--home"), home.Path()}))
            return false;
        for (int i = 0; i < 200; ++i) {
            if (QFileInfo(ini).lastModified() != before && QFileInfo(ini).size() > 0) {
                QFile f(ini);
                if (f.open(QIODevice::ReadOnly) && f.readAll().contains("ClientConnectPort="))
                    return true;
            }
            if (server.Process().state() == QProcess::NotRunning)
                return false;
            QThread::msleep(50);
        }
        return false;
    }

    // Standard error once it holds the text (or after 10 s).
    static QString WaitForStdErr(mmstest::ServerProcess &server, const QString &text) {
        QString err;
        for (int i = 0; i < 100 && !(err = server.StdErr()).contains(text); ++i)
            server.Process().waitForReadyRead(100);
        return err;
    }

    static std::vector<std::pair<QString, QString>> Settings(const DbTarget &target) {
        TdmNet db(target);
        return TNormalParamTable(db).ReadAll();
    }

    static std::optional<QString> Setting(const DbTarget &target, const char *key) {
        for (const auto &[k, v] : Settings(target))
            if (k == QLatin1String(key))
                return v;
        return std::nullopt;
    }
};

TEST_F(ServerTest, HelpAndVersionPrintAndExitZero) {
    const struct {
        const char *option;
        QByteArray expected;
        bool atStart;
    } cases[] = {{"--help", "--init-db", false}, {"--version", "mms-server ", true}};
    for (const auto &c : cases) {
        QProcess p;
        p.start(mmstest::ServerBinary(), {QLatin1String(c.option)});
        ASSERT_TRUE(p.waitForFinished(10000)) << c.option;
        EXPECT_EQ(p.exitCode(), 0) << c.option;
        const QByteArray out = p.readAllStandardOutput();
        EXPECT_TRUE(c.atStart ? out.startsWith(c.expected) : out.contains(c.expected))
            << c.option << ": " << out.toStdString();
    }
}

TEST_F(ServerTest, HeadlessStartSaysPortsDatabaseAndUnreadableSettingsOnStandardError) {
    auto home = mmstest::MakeSqliteHome();
    const int device = mmstest::FreeTcpPort();
    const int client = mmstest::FreeTcpPort();
    const int remote = mmstest::FreeTcpPort();
    home->WriteFile(QStringLiteral("Set.ini"),
                    QStringLiteral("[Set]\nDeviceConnectPort=%1\nClientConnectPort=%2\n"
                                   "DataBasePort=%3\nCodePage=GB18030   ; client text\n")
                        .arg(device)
                        .arg(client)
                        .arg(remote)
                        .toUtf8());
    mmstest::ServerProcess server;
    ASSERT_TRUE(StartAndWait(server, *home)) << server.StdErr().toStdString();
    const QString expected =
        QStringLiteral("mms-server %1: ").arg(ServerVersion()) +
        QStringLiteral("equipment 0.0.0.0:%1, remote data 127.0.0.1:%2, clients "
                       "0.0.0.0:%3, database SQLite %4")
            .arg(device)
            .arg(remote)
            .arg(client)
            .arg(home->File(QStringLiteral("MonitorData.db")));
    const QString err = WaitForStdErr(server, expected);
    EXPECT_TRUE(err.contains(expected)) << err.toStdString();
    EXPECT_TRUE(err.contains(QStringLiteral(
        "Set.ini [Set] CodePage: \"GB18030   ; client text\" cannot be read; using GB18030")))
        << err.toStdString();
    // Not in the operator's log.
    for (const QString &line : server.Lines())
        EXPECT_FALSE(line.contains(QStringLiteral("remote data port"))) << line.toStdString();
    EXPECT_EQ(server.Terminate(), 0);
}

TEST_F(ServerTest, UnderSystemdItSaysReadyOnceListeningAndSendsKeepAlives) {
    auto home = mmstest::MakeSqliteHome();
    const int client = mmstest::FreeTcpPort();
    home->WriteFile(QStringLiteral("Set.ini"),
                    QStringLiteral("[Set]\nDeviceConnectPort=%1\nClientConnectPort=%2\n"
                                   "DataBasePort=%3\n")
                        .arg(mmstest::FreeTcpPort())
                        .arg(client)
                        .arg(mmstest::FreeTcpPort())
                        .toUtf8());
    mmstest::FakeNotifySocket socket;
    ASSERT_TRUE(socket.Bound());
    mmstest::ServerProcess server;
    ASSERT_TRUE(server.Start({QStringLiteral("--home"), home->Path()},
                             {QStringLiteral("NOTIFY_SOCKET=") + socket.Path(),
                              QStringLiteral("WATCHDOG_USEC=200000")}));
    QByteArrayList messages;
    for (int i = 0; i < 100 && messages.count("WATCHDOG=1") < 3; ++i) {
        QThread::msleep(50);
        messages += socket.Take();
    }
    ASSERT_FALSE(messages.isEmpty()) << server.StdErr().toStdString();
    EXPECT_EQ(messages.front(), "READY=1");
    EXPECT_EQ(messages.count("READY=1"), 1);
    EXPECT_GE(messages.count("WATCHDOG=1"), 3);
    // Ready means listening.
    QTcpSocket probe;
    probe.connectToHost(QStringLiteral("127.0.0.1"), quint16(client));
    EXPECT_TRUE(probe.waitForConnected(2000));
    EXPECT_EQ(server.Terminate(), 0);
    EXPECT_TRUE(socket.Take().contains("STOPPING=1"));
}

// GET /metrics over plain HTTP; empty when nothing answers.
QString Scrape(const QString &address, int port) {
    QTcpSocket socket;
    socket.connectToHost(address, quint16(port));
    if (!socket.waitForConnected(3000))
        return {};
    socket.write("GET /metrics HTTP/1.0\r\nHost: test\r\n\r\n");
    QByteArray reply;
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(3000))
        reply += socket.readAll();
    reply += socket.readAll();
    return QString::fromUtf8(reply);
}

// The value of one sample line ("name value" or "name{labels} value"); -1 when absent.
double Sample(const QString &page, const QString &name) {
    for (const QString &line : page.split(QLatin1Char('\n')))
        if (line.startsWith(name + QLatin1Char(' ')))
            return line.mid(name.size() + 1).toDouble();
    return -1;
}

TEST_F(ServerTest, MetricsMatchTheSimulatorAndListenWhereMetricsListenSays) {
    auto home = mmstest::MakeSqliteHome();
    const int device = mmstest::FreeTcpPort();
    const int metrics = mmstest::FreeTcpPort();
    // Another loopback address than the default 127.0.0.1.
    const QString listen = QStringLiteral("127.0.0.2");
    home->WriteFile(QStringLiteral("Set.ini"),
                    QStringLiteral("[Set]\nDeviceConnectPort=%1\nDataBasePort=%2\n"
                                   "ClientConnectPort=%3\nMetricsPort=%4\nMetricsListen=%5\n")
                        .arg(device)
                        .arg(mmstest::FreeTcpPort())
                        .arg(mmstest::FreeTcpPort())
                        .arg(metrics)
                        .arg(listen)
                        .toUtf8());
    mmstest::ServerProcess server;
    ASSERT_TRUE(StartAndWait(server, *home)) << server.StdErr().toStdString();
    const QString where = QStringLiteral("metrics %1:%2").arg(listen).arg(metrics);
    const QString err = WaitForStdErr(server, where);
    EXPECT_TRUE(err.contains(where)) << err.toStdString();
    EXPECT_TRUE(Scrape(QStringLiteral("127.0.0.1"), metrics).isEmpty());

    QProcess sim;
    sim.setProcessChannelMode(QProcess::MergedChannels);
    sim.start(mmstest::BinaryDir() + QStringLiteral("/equipment-sim"),
              {QStringLiteral("--port"), QString::number(device), QStringLiteral("--count"),
               QStringLiteral("3"), QStringLiteral("--heartbeat"), QStringLiteral("1"),
               QStringLiteral("--duration"), QStringLiteral("3"), QStringLiteral("--stats"),
               QStringLiteral("1"), QStringLiteral("--quiet")});
    ASSERT_TRUE(sim.waitForStarted(5000));
    // While the units are connected (the gauges are sampled once a second).
    QByteArray simOut;
    while (!simOut.contains("connected 3") && sim.waitForReadyRead(5000))
        simOut += sim.readAll();
    ASSERT_TRUE(simOut.contains("connected 3")) << simOut.toStdString();
    QThread::msleep(1200);
    EXPECT_EQ(Sample(Scrape(listen, metrics), QStringLiteral("mms_units_connected")), 3);

    ASSERT_TRUE(sim.waitForFinished(15000));
    simOut += sim.readAll();
    const QRegularExpression beats(
        QStringLiteral("final:.*heartbeats sent (\\d+) answered (\\d+)"));
    const QRegularExpressionMatch m = beats.match(QString::fromUtf8(simOut));
    ASSERT_TRUE(m.hasMatch()) << simOut.toStdString();
    const double sent = m.captured(1).toDouble();
    EXPECT_GT(sent, 0);
    EXPECT_EQ(m.captured(2).toDouble(), sent);
    const QString page = Scrape(listen, metrics);
    EXPECT_EQ(Sample(page, QStringLiteral("mms_heartbeats_answered_total")), sent)
        << page.toStdString();
    EXPECT_EQ(Sample(page, QStringLiteral("mms_frames_received_total")), sent);
    EXPECT_EQ(Sample(page, QStringLiteral("mms_frames_dropped_total{cause=\"bad_check\"}")), 0);
    EXPECT_GT(Sample(page, QStringLiteral("process_start_time_seconds")), 0);
    // Every queue's length is on the page (-1: absent).
    for (const char *queue : {"send", "receive", "channel", "temp_history", "log_sink"})
        EXPECT_GE(
            Sample(page,
                   QStringLiteral("mms_queue_length{queue=\"%1\"}").arg(QLatin1String(queue))),
            0)
            << queue;
    EXPECT_EQ(server.Terminate(), 0);
}

TEST_F(ServerTest, MetricsAreOffUnlessMetricsPortIsSet) {
    auto home = mmstest::MakeSqliteHome();
    home->WriteFile(QStringLiteral("Set.ini"), PortsIni());
    mmstest::ServerProcess server;
    ASSERT_TRUE(StartAndWait(server, *home)) << server.StdErr().toStdString();
    const QString err = WaitForStdErr(server, QStringLiteral("database "));
    EXPECT_TRUE(err.contains(QStringLiteral("database SQLite"))) << err.toStdString();
    EXPECT_FALSE(err.contains(QStringLiteral("metrics"))) << err.toStdString();
    EXPECT_EQ(server.Terminate(), 0);
}

TEST_F(ServerTest, InitDbCreatesOnceAndLeavesAnExistingFileUntouched) {
    mmstest::TestHome home;
    QProcess p;
    p.start(mmstest::ServerBinary(),
            {QStringLiteral("--init-db"), QStringLiteral("--home"), home.Path()});
    ASSERT_TRUE(p.waitForFinished(20000));
    EXPECT_EQ(p.exitCode(), 0);
    const QString file = home.File(QStringLiteral("MonitorData.db"));
    EXPECT_TRUE(p.readAllStandardOutput().contains(file.toUtf8()));
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray before = f.readAll();
    f.close();
    const QDateTime modified = QFileInfo(file).lastModified();

    p.start(mmstest::ServerBinary(),
            {QStringLiteral("--init-db"), QStringLiteral("--home"), home.Path()});
    ASSERT_TRUE(p.waitForFinished(20000));
    EXPECT_EQ(p.exitCode(), 1);
    EXPECT_FALSE(p.readAllStandardError().isEmpty());
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), before);
    EXPECT_EQ(QFileInfo(file).lastModified(), modified);
}

TEST_F(ServerTest, SigtermSavesTheCountersAndExitsZero) {
    auto home = mmstest::MakeSqliteHome();
    home->WriteFile(QStringLiteral("Set.ini"), PortsIni());
    ASSERT_FALSE(Setting(home->SqliteTarget(), "HandPackFlagNumber"));
    mmstest::ServerProcess server;
    ASSERT_TRUE(StartAndWait(server, *home)) << server.StdErr().toStdString();
    EXPECT_EQ(server.Terminate(), 0) << server.StdErr().toStdString();
    EXPECT_EQ(Setting(home->SqliteTarget(), "HandPackFlagNumber"), QStringLiteral("0"));
    EXPECT_EQ(Setting(home->SqliteTarget(), "CirclePackFlagNumber"), QStringLiteral("24576"));

    // A second run reads the rows back and updates them in place.
    ASSERT_TRUE(StartAndWait(server, *home)) << server.StdErr().toStdString();
    EXPECT_EQ(server.Terminate(), 0);
    int rows = 0;
    for (const auto &[k, v] : Settings(home->SqliteTarget()))
        rows += (k == QLatin1String("HandPackFlagNumber"));
    EXPECT_EQ(rows, 1);
}

// Closing the terminal (SIGHUP) and Ctrl-C (SIGINT) end the server the way
// SIGTERM does: counters saved, exit code 0.
TEST_F(ServerTest, SighupAndSigintSaveTheCountersAndExitZero) {
    for (const int sig : {SIGHUP, SIGINT}) {
        auto home = mmstest::MakeSqliteHome();
        home->WriteFile(QStringLiteral("Set.ini"), PortsIni());
        mmstest::ServerProcess server;
        ASSERT_TRUE(StartAndWait(server, *home)) << server.StdErr().toStdString();
        EXPECT_EQ(server.Signal(sig), 0) << sig << server.StdErr().toStdString();
        EXPECT_EQ(Setting(home->SqliteTarget(), "CirclePackFlagNumber"), QStringLiteral("24576"))
            << sig;
    }
}

// What the window would show in a box reaches standard error headless, with
// the operator's log off.
TEST_F(ServerTest, AFailedCleanUpGoesToStandardErrorWithTheLogOff) {
    auto home = mmstest::MakeSqliteHome();
    home->WriteFile(QStringLiteral("Set.ini"), PortsIni());
    {
        TdmNet db(home->SqliteTarget());
        TNormalParamTable(db).Update({{"ShowInfoHint", "0"}, {"RegisterEmptyEquipmentHour", "1"}});
        db.Exec("insert into UserRegister values(?,?,?,?,?,?,?)",
                {"idle", "", "", "",
                 db.Dialect().DateTimeValue(QDateTime::currentDateTime().addDays(-3)), QVariant(),
                 0});
        db.Exec("drop table RecycleUserEquipment");
    }
    mmstest::ServerProcess server;
    ASSERT_TRUE(server.Start({QStringLiteral("--home"), home->Path()},
                             {QStringLiteral("MMS_RETENTION_INTERVAL_MS=100")}));
    const QString err =
        WaitForStdErr(server, QStringLiteral("Delete overdue registrations fail: "));
    EXPECT_TRUE(err.contains(QStringLiteral("Delete overdue registrations fail: ")))
        << err.toStdString();
    EXPECT_TRUE(server.Lines().isEmpty());
    EXPECT_EQ(server.Terminate(), 0);
}

TEST_F(ServerTest, GarbageSetIniStillStartsAndIsRewrittenWithThePorts) {
    auto home = mmstest::MakeSqliteHome();
    home->WriteFile(QStringLiteral("Set.ini"),
                    QByteArray("\xff\xfe\x00garbage\n[Set]\nDeviceConnectPort=0xZZ\n[[\n", 40));
    mmstest::ServerProcess server;
    // Default ports may be taken on a shared machine, so only the start and
    // the rewrite are checked here.
    ASSERT_TRUE(StartAndWait(server, *home)) << server.StdErr().toStdString();
    EXPECT_EQ(server.Terminate(), 0);
    IniFile ini(home->File(QStringLiteral("Set.ini")));
    EXPECT_EQ(ini.Value(QStringLiteral("Set"), QStringLiteral("DeviceConnectPort")),
              QStringLiteral("5210"));
}

struct FatalCase {
    const char *name;
    std::function<void(mmstest::TestHome &)> prepare;
};

TEST_F(ServerTest, DatabaseFailuresEndStartUpWithTheFatalMessage) {
    const FatalCase cases[] = {
        {"no database at all", [](mmstest::TestHome &) {}},
        {"missing table",
         [](mmstest::TestHome &h) {
             TdmNet db(h.SqliteTarget());
             db.Exec(QStringLiteral("drop table CommunicateLog"));
         }},
        {"unreadable counter",
         [](mmstest::TestHome &h) {
             TdmNet db(h.SqliteTarget());
             db.Exec(QStringLiteral("insert into NormalParam (SetItem, SetValue) values (?, ?)"),
                     {QStringLiteral("HandPackFlagNumber"), QStringLiteral("many")});
         }},
        {"unreachable PostgreSQL",
         [](mmstest::TestHome &h) {
             QFile::remove(h.File(QStringLiteral("MonitorData.db")));
             h.WriteFile(QStringLiteral("Set.ini"),
                         QStringLiteral("[Database]\nDriver=QPSQL\nHost=127.0.0.1\nPort=%1\n")
                             .arg(mmstest::FreeTcpPort())
                             .toUtf8());
         }},
    };
    for (const FatalCase &c : cases) {
        std::unique_ptr<mmstest::TestHome> home;
        if (std::string(c.name) == "no database at all")
            home = std::make_unique<mmstest::TestHome>();
        else
            home = mmstest::MakeSqliteHome();
        c.prepare(*home);
        mmstest::ServerProcess server;
        ASSERT_TRUE(server.Start({QStringLiteral("--home"), home->Path()}));
        EXPECT_EQ(server.WaitForExit(30s), 1) << c.name;
        EXPECT_TRUE(server.StdErr().contains(
            QStringLiteral("Open the database error, please check the integrity of the database "
                           "table, the program will now exit.")))
            << c.name << ": " << server.StdErr().toStdString();
    }
}

// A database made before the alarm outbox gets its tables at start, with one
// line saying so; the next start says nothing.
TEST_F(ServerTest, MissingAlarmOutboxTablesAreMadeAtStart) {
    auto home = mmstest::MakeSqliteHome();
    home->WriteFile(QStringLiteral("Set.ini"), PortsIni());
    {
        TdmNet db(home->SqliteTarget());
        for (const char *table :
             {"AlarmQueue", "AlarmAnalysis", "AlarmMailLine", "AlarmMailProgress"})
            db.Exec(QStringLiteral("drop table ") + QLatin1String(table));
    }
    const QString line = QStringLiteral("Created the alarm outbox tables (AlarmQueue, "
                                        "AlarmAnalysis, AlarmMailLine, AlarmMailProgress).");
    for (int start = 0; start < 2; ++start) {
        mmstest::ServerProcess server;
        ASSERT_TRUE(StartAndWait(server, *home)) << server.StdErr().toStdString();
        EXPECT_EQ(server.Terminate(), 0);
        EXPECT_EQ(server.StdErr().count(line), start == 0 ? 1 : 0) << server.StdErr().toStdString();
    }
    TdmNet db(home->SqliteTarget());
    EXPECT_TRUE(db.Select(QStringLiteral("select * from AlarmMailProgress")).empty());
}

TEST_F(ServerTest, RunsOnPostgreSqlAndSavesTheCountersThere) {
    MMS_REQUIRE_PG_OR_SKIP();
    const DbTarget target = mmstest::CreatePgDatabase(QStringLiteral("mms_app"));
    {
        TdmNet db(target);
        InstallSchema(TdmNet::Session(db).Connection(), 3, true);
        db.Exec(QStringLiteral("insert into NormalParam (SetItem, SetValue) values (?, ?)"),
                {QStringLiteral("HandPackFlagNumber"), QStringLiteral("41")});
    }
    mmstest::TestHome home;
    home.WriteFile(
        QStringLiteral("Set.ini"),
        PortsIni() +
            QStringLiteral("[Database]\nDriver=QPSQL\nHost=%1\nPort=%2\nName=%3\nUser=%4\n")
                .arg(target.host)
                .arg(target.port)
                .arg(target.databaseName, target.user)
                .toUtf8());
    mmstest::ServerProcess server;
    ASSERT_TRUE(StartAndWait(server, home)) << server.StdErr().toStdString();
    EXPECT_EQ(server.Terminate(), 0) << server.StdErr().toStdString();
    EXPECT_EQ(Setting(target, "HandPackFlagNumber"), QStringLiteral("41"));
    EXPECT_EQ(Setting(target, "CirclePackFlagNumber"), QStringLiteral("24576"));
}

// The account file from the command line: export, import, the failure text
// on standard error, and the refusal while a server runs on the home.
TEST_F(ServerTest, UserTableFileFromTheCommandLine) {
    auto home = mmstest::MakeSqliteHome();
    home->WriteFile(QStringLiteral("Set.ini"), PortsIni());
    {
        TdmNet db(home->SqliteTarget());
        db.Exec("insert into UserRegister (UserName,UserPassword,UseState) values (?,'pw',0)",
                {QStringLiteral("中文用户")});
    }
    const auto run = [&](const QStringList &args, QByteArray *err = nullptr) {
        QProcess p;
        p.setWorkingDirectory(home->Path()); // relative file names are taken from here
        p.start(mmstest::ServerBinary(), QStringList{"--home", home->Path()} + args);
        if (!p.waitForFinished(20000))
            return -1;
        if (err)
            *err = p.readAllStandardError();
        return p.exitCode();
    };
    const auto users = [&] {
        TdmNet db(home->SqliteTarget());
        return db.Select("select UserName from UserRegister").size();
    };
    QByteArray err;
    ASSERT_EQ(run({"--export-users", "users.hd"}, &err), 0) << err.toStdString();
    QFile file(home->File("users.hd"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    // GB18030, the default code page.
    EXPECT_TRUE(file.readAll().contains("\xD6\xD0\xCE\xC4\xD3\xC3\xBB\xA7#@pw#@"));

    {
        TdmNet db(home->SqliteTarget());
        db.Exec("delete from UserRegister");
    }
    EXPECT_EQ(run({"--import-users=" + home->File("users.hd")}, &err), 0) << err.toStdString();
    EXPECT_EQ(users(), 1u);

    home->WriteFile("bad.hd", "Table:UserRegister#@4\r\nField:UserName#@\r\n");
    EXPECT_EQ(run({"--import-users", "bad.hd"}, &err), 1);
    EXPECT_TRUE(err.startsWith("Import the table fail.\n")) << err.toStdString();
    EXPECT_EQ(users(), 1u);
    EXPECT_EQ(run({"--export-users"}, &err), 2);

    mmstest::ServerProcess server;
    ASSERT_TRUE(StartAndWait(server, *home)) << server.StdErr().toStdString();
    EXPECT_EQ(run({"--import-users", "users.hd"}, &err), 1);
    EXPECT_TRUE(err.contains("A server is running on this home folder")) << err.toStdString();
    EXPECT_EQ(server.Terminate(), 0);
    EXPECT_EQ(run({"--export-users", "again.hd"}, &err), 0) << err.toStdString();
}

// A first super user from the command line, its password read from standard
// input: added once, refused when the name is taken or no password comes,
// and refused while a server runs on the home.
TEST_F(ServerTest, SuperUserFromTheCommandLine) {
    auto home = mmstest::MakeSqliteHome();
    home->WriteFile(QStringLiteral("Set.ini"), PortsIni());
    const auto run = [&](const QByteArray &input, QByteArray *out, QByteArray *err) {
        QProcess p;
        p.start(mmstest::ServerBinary(),
                QStringList{"--home", home->Path(), "--add-super-user", "admin"});
        p.write(input);
        p.closeWriteChannel();
        if (!p.waitForFinished(20000))
            return -1;
        *out = p.readAllStandardOutput();
        *err = p.readAllStandardError();
        return p.exitCode();
    };
    const auto rows = [&] {
        TdmNet db(home->SqliteTarget());
        return db.Select("select UserName, UserPassword, UseState from UserRegister");
    };
    QByteArray out, err;
    const struct {
        QByteArray input;
        int exitCode;
        QByteArray said;
    } cases[] = {
        {"", 1, "No password"},
        {"\n", 1, "No password"},
        {QByteArray(300, 'x') + "\n", 1, "No password"},
        {"s3cret pass\r\n", 0, "Super user admin added."},
        {"other\n", 1, "The user name admin is taken."},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(run(c.input, &out, &err), c.exitCode) << c.input.left(20).toStdString();
        EXPECT_TRUE((out + err).contains(c.said)) << (out + err).toStdString();
    }
    const auto stored = rows();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].value(0).toString(), "admin");
    EXPECT_EQ(stored[0].value(1).toString(), "s3cret pass");
    EXPECT_EQ(stored[0].value(2).toInt(), 6);

    mmstest::ServerProcess server;
    ASSERT_TRUE(StartAndWait(server, *home)) << server.StdErr().toStdString();
    EXPECT_EQ(run("pw\n", &out, &err), 1);
    EXPECT_TRUE(err.contains("A server is running on this home folder")) << err.toStdString();
    EXPECT_EQ(server.Terminate(), 0);
}

} // namespace

namespace {

// Runs `binary` with a window asked for (the offscreen platform) on a home of
// its own, waits for `line` on standard error, and returns the program the
// process runs by then (/proc/PID/exe); then ends it with SIGTERM.
QString ProgramRunningAfterStart(const QString &binary, const QString &line, QString *err) {
    auto home = mmstest::MakeSqliteHome();
    home->WriteFile(QStringLiteral("Set.ini"),
                    QStringLiteral("[Set]\nDeviceConnectPort=%1\nClientConnectPort=%2\n"
                                   "DataBasePort=%3\n")
                        .arg(mmstest::FreeTcpPort())
                        .arg(mmstest::FreeTcpPort())
                        .arg(mmstest::FreeTcpPort())
                        .toUtf8());
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    p.setProcessEnvironment(env);
    p.start(binary, {QStringLiteral("--home"), home->Path()});
    if (!p.waitForStarted(10000))
        return {};
    QString program;
    for (int i = 0; i < 100 && p.state() == QProcess::Running; ++i) {
        p.waitForReadyRead(100);
        *err += QString::fromLocal8Bit(p.readAllStandardError());
        const QString exe =
            QFileInfo(QStringLiteral("/proc/%1/exe").arg(p.processId())).symLinkTarget();
        if (err->contains(line) ||
            (line.isEmpty() && exe.endsWith(QLatin1String(WindowProgramName)))) {
            program = exe;
            break;
        }
    }
    ::kill(pid_t(p.processId()), SIGTERM);
    p.waitForFinished(10000);
    return program;
}

} // namespace

// Asked for a window, the service hands over to the window program beside
// it; without one it says so and serves headless.
TEST(WindowProgram, TheServiceHandsOverToItOrRunsHeadlessWithoutIt) {
    QString err;
    const QString program = ProgramRunningAfterStart(mmstest::ServerBinary(), QString(), &err);
    EXPECT_TRUE(program.endsWith(QLatin1String(WindowProgramName))) << err.toStdString();

    QTemporaryDir alone;
    const QString copy = alone.filePath(QStringLiteral("mms-server"));
    ASSERT_TRUE(QFile::copy(mmstest::ServerBinary(), copy));
    err.clear();
    const QString fallback = ProgramRunningAfterStart(
        copy, QStringLiteral("mms-server %1: ").arg(ServerVersion()), &err);
    EXPECT_EQ(fallback, copy) << err.toStdString();
    EXPECT_TRUE(err.contains(QStringLiteral("The window program %1 is not installed: running "
                                            "headless.")
                                 .arg(alone.filePath(QLatin1String(WindowProgramName)))))
        << err.toStdString();
}
