// Alarm reports through kill -9 of the real server: an acknowledged report
// has its AlarmHistory row whatever happens next, and a report the unit saw
// no acknowledgement for is repeated by the unit and stored once the server
// is back. On SQLite and PostgreSQL, with the paces open and at the default
// frames per tick (shortened ticks).
#include "NetD.h"
#include "SchemaInstaller.h"
#include "SimFleet.h"
#include "TestSupport.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <csignal>
#include <map>

using namespace std::chrono_literals;

namespace {

struct CrashCase {
    const char *name;
    bool postgres;
    bool openPaces;
    int units;
    int reportsPerUnit;
};

void PrintTo(const CrashCase &c, std::ostream *os) {
    *os << c.name;
}

class AlarmCrashTest : public ::testing::TestWithParam<CrashCase> {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "alarm_crash_test";
        static char *argv[] = {name, nullptr};
        if (!QCoreApplication::instance())
            new QCoreApplication(argc, argv); // lives until the process ends
    }

    void TearDown() override {
        if (!pgName_.isEmpty())
            mmstest::DropPgDatabase(pgName_);
    }

    // The database of the run with the units STORM1.. owned, and Set.ini.
    void Prepare(const CrashCase &c) {
        devicePort_ = mmstest::FreeTcpPort();
        QString ini = QStringLiteral("[Set]\nDeviceConnectPort=%1\nDataBasePort=%2\n"
                                     "ClientConnectPort=%3\n")
                          .arg(devicePort_)
                          .arg(mmstest::FreeTcpPort())
                          .arg(mmstest::FreeTcpPort());
        if (c.openPaces)
            ini += QStringLiteral("ReceiveFramesPerTick=0\nSendFramesPerTick=0\n"
                                  "ReplyEntryPauseMs=0\n");
        if (c.postgres) {
            target_ = mmstest::CreatePgDatabase(QStringLiteral("mms_crash"));
            pgName_ = target_.databaseName;
            TdmNet db(target_);
            InstallSchema(TdmNet::Session(db).Connection(), 3, true);
            ini += QStringLiteral("[Database]\nDriver=QPSQL\nHost=%1\nPort=%2\nName=%3\nUser=%4\n")
                       .arg(target_.host)
                       .arg(target_.port)
                       .arg(target_.databaseName, target_.user);
            home_ = std::make_unique<mmstest::TestHome>();
        } else {
            home_ = mmstest::MakeSqliteHome();
            target_ = home_->SqliteTarget();
        }
        home_->WriteFile(QStringLiteral("Set.ini"), ini.toUtf8());
        TdmNet db(target_);
        for (int i = 1; i <= c.units; ++i)
            db.Exec(QStringLiteral("insert into UserEquipment (UserName, EquipmentCode, "
                                   "EquipmentName, EquipmentType) values (?, ?, ?, ?)"),
                    {QStringLiteral("owner"), QStringLiteral("STORM%1").arg(i),
                     QStringLiteral("Unit"), QStringLiteral("01")});
        db.ReleaseThreadConnection();
    }

    bool StartServer(mmstest::ServerProcess &server, const CrashCase &c) {
        QStringList env = {QStringLiteral("MMS_PACE_SEND_MS=20"),
                           QStringLiteral("MMS_PACE_RECEIVE_MS=10")};
        if (!c.openPaces)
            env << QStringLiteral("MMS_PACE_REPLY_ENTRY_MS=1");
        return server.Start({QStringLiteral("--home"), home_->Path()}, env) &&
               server.WaitForPort(quint16(devicePort_));
    }

    // AlarmHistory rows per unit code.
    std::map<QString, int> RowsPerUnit() {
        std::map<QString, int> rows;
        TdmNet db(target_);
        for (const QSqlRecord &r : db.Select(QStringLiteral(
                 "select EquipmentCode, count(*) from AlarmHistory group by EquipmentCode")))
            rows[r.value(0).toString()] = r.value(1).toInt();
        db.ReleaseThreadConnection();
        return rows;
    }

    std::unique_ptr<mmstest::TestHome> home_;
    DbTarget target_;
    QString pgName_;
    int devicePort_ = 0;
};

// Reports are stored and acknowledged in the order each unit sent them, so a
// unit's rows are a prefix of its reports: a unit that saw k acknowledgements
// must have at least k rows.
TEST_P(AlarmCrashTest, AcknowledgedReportsSurviveKillAndTheRestAreRepeated) {
    const CrashCase &c = GetParam();
    if (c.postgres)
        MMS_REQUIRE_PG_OR_SKIP();
    Prepare(c);
    auto server = std::make_unique<mmstest::ServerProcess>();
    ASSERT_TRUE(StartServer(*server, c)) << server->StdErr().toStdString();

    TSimFleetConfig config;
    config.port = quint16(devicePort_);
    config.count = c.units;
    config.codePrefix = QStringLiteral("STORM");
    config.heartbeatSeconds = 1;
    config.connectRate = 0;
    config.reconnectSeconds = 0.2;
    // Long enough that nothing is repeated before the kill, so no report is
    // stored twice before it.
    config.alarmRepeatSeconds = 3;
    TSimFleet fleet(config, nullptr, nullptr);
    std::vector<int> acked(std::size_t(c.units), 0);
    fleet.SetEventObserver([&](int index, const TSimEvent &event) {
        if (event.kind == TSimEvent::Kind::AlarmAck)
            ++acked[std::size_t(index)];
    });
    ASSERT_TRUE(fleet.Start());
    ASSERT_TRUE(mmstest::PumpEventsUntil([&] { return fleet.AnsweredCount() == c.units; }, 30s))
        << fleet.StatusLine().toStdString();

    // The storm comes in waves (one report per unit each, alternately alert
    // and normal), 10 ms apart, so that the kill falls between commits: it
    // comes once a quarter of the storm is acknowledged, and no more waves
    // are sent after it.
    const int total = c.units * c.reportsPerUnit;
    int waves = 0;
    for (; waves < c.reportsPerUnit && fleet.Stats().alarmAcks < total / 4; ++waves) {
        for (int i = 0; i < c.units; ++i)
            ASSERT_TRUE(fleet.SendAlarm(i, QStringLiteral("0301"), waves % 2 == 0, nullptr));
        mmstest::PumpEventsUntil([&] { return fleet.Stats().alarmAcks >= total / 4; }, 10ms);
    }
    ASSERT_TRUE(mmstest::PumpEventsUntil([&] { return fleet.Stats().alarmAcks >= total / 4; }, 5s))
        << fleet.StatusLine().toStdString();
    server->Signal(SIGKILL);
    server.reset();
    mmstest::PumpEventsUntil([] { return false; }, 50ms); // the last bytes the kernel delivered
    const std::vector<int> ackedAtKill = acked;
    const bool leftOver = fleet.Stats().alarmAcks < fleet.Stats().alarmsSent;
    ASSERT_EQ(fleet.Stats().alarmsRepeated, 0);

    const auto rowsAtKill = RowsPerUnit();
    for (int i = 0; i < c.units; ++i) {
        const QString code = QStringLiteral("STORM%1").arg(i + 1);
        const auto it = rowsAtKill.find(code);
        const int rows = it == rowsAtKill.end() ? 0 : it->second;
        EXPECT_GE(rows, ackedAtKill[std::size_t(i)])
            << code.toStdString() << ": acknowledged but not stored";
    }

    // Back up: the units reconnect and repeat what was not acknowledged.
    server = std::make_unique<mmstest::ServerProcess>();
    ASSERT_TRUE(StartServer(*server, c)) << server->StdErr().toStdString();
    EXPECT_TRUE(mmstest::PumpEventsUntil([&] { return fleet.UnackedAlarms() == 0; }, 60s))
        << fleet.StatusLine().toStdString();
    if (leftOver) {
        EXPECT_GT(fleet.Stats().alarmsRepeated, 0);
    }
    fleet.Stop();
    EXPECT_EQ(server->Terminate(), 0);
    const auto rows = RowsPerUnit();
    for (int i = 0; i < c.units; ++i) {
        const QString code = QStringLiteral("STORM%1").arg(i + 1);
        const auto it = rows.find(code);
        EXPECT_GE(it == rows.end() ? 0 : it->second, waves) << code.toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(Storms, AlarmCrashTest,
                         ::testing::Values(CrashCase{"SqliteOpenPaces", false, true, 20, 50},
                                           CrashCase{"SqliteDefaultPaces", false, false, 4, 25},
                                           CrashCase{"PostgresOpenPaces", true, true, 20, 50},
                                           CrashCase{"PostgresDefaultPaces", true, false, 4, 25}),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
