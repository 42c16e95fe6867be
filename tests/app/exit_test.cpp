// The exit never waits on the network: with five owners waiting for an alert
// mail and a mail server that accepts and never answers, SIGTERM ends the
// real server at once, the counters saved and the cut mail logged as failed.
#include "NetD.h"
#include "NormalParamTable.h"
#include "SimFleet.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <functional>

namespace {

// Runs the event loop until the condition holds or 30 seconds pass.
bool WaitFor(const std::function<bool()> &condition) {
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > 30000)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

TEST(Exit, SigtermDoesNotWaitForAHangingMailServer) {
    QTcpServer silent; // accepts (the kernel does) and never answers
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost));
    const int devicePort = mmstest::FreeTcpPort();

    auto home = mmstest::MakeSqliteHome();
    home->WriteFile(QStringLiteral("Set.ini"),
                    QStringLiteral("[Set]\nDeviceConnectPort=%1\nDataBasePort=%2\n"
                                   "ClientConnectPort=%3\n")
                        .arg(devicePort)
                        .arg(mmstest::FreeTcpPort())
                        .arg(mmstest::FreeTcpPort())
                        .toUtf8());
    {
        TdmNet db(home->SqliteTarget());
        TNormalParamTable(db).Update(
            {{QStringLiteral("EmailPassword"),
              QStringLiteral("127.0.0.1:%1*Auto^me@example.com&pw").arg(silent.serverPort())},
             {QStringLiteral("ShowInfoHint"), QStringLiteral("1")}});
        for (int i = 1; i <= 5; ++i) {
            const QString user = QStringLiteral("user%1").arg(i);
            db.Exec(QStringLiteral("insert into UserRegister (UserName, UserPassword, Email, "
                                   "UseState) values (?, ?, ?, ?)"),
                    {user, QStringLiteral("pw"), user + QStringLiteral("@example.com"), 0});
            db.Exec(QStringLiteral("insert into UserEquipment (UserName, EquipmentCode, "
                                   "EquipmentName, EquipmentType) values (?, ?, ?, ?)"),
                    {user, QStringLiteral("SIM%1").arg(i), QStringLiteral("Unit"),
                     QStringLiteral("01")});
        }
    }

    mmstest::ServerProcess server;
    ASSERT_TRUE(server.Start({QStringLiteral("--home"), home->Path()},
                             {QStringLiteral("MMS_PACE_SEND_MS=20"),
                              QStringLiteral("MMS_PACE_RECEIVE_MS=20"),
                              QStringLiteral("MMS_PACE_ALARM_STEP_MS=20")}));

    TSimFleetConfig config;
    config.port = quint16(devicePort);
    config.count = 5;
    config.heartbeatSeconds = 1;
    config.reconnectSeconds = 0.2;
    TSimFleet fleet(config, nullptr, nullptr);
    ASSERT_TRUE(fleet.Start());
    ASSERT_TRUE(WaitFor([&] { return fleet.AnsweredCount() == 5; }))
        << server.StdErr().toStdString();
    for (int i = 0; i < 5; ++i) {
        QString error;
        ASSERT_TRUE(fleet.SendAlarm(i, QStringLiteral("0301"), true, &error))
            << error.toStdString();
    }
    ASSERT_TRUE(WaitFor([&] { return fleet.Stats().alarmAcks == 5; }));
    // The alarm worker is inside its first exchange once the server sees it.
    ASSERT_TRUE(WaitFor([&] { return silent.hasPendingConnections(); }));

    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(server.Terminate(), 0) << server.StdErr().toStdString();
    EXPECT_LT(clock.elapsed(), 2000);
    fleet.Stop();

    const QString log = server.Lines().join(QLatin1Char('\n'));
    EXPECT_TRUE(log.contains(QLatin1String("Send User user1(user1@example.com) Email fail.")))
        << log.toStdString();
    EXPECT_FALSE(log.contains(QLatin1String("Email finish.")));
    TdmNet db(home->SqliteTarget());
    EXPECT_TRUE(TNormalParamTable(db).Lookup(QStringLiteral("HandPackFlagNumber")));
    EXPECT_TRUE(TNormalParamTable(db).Lookup(QStringLiteral("CirclePackFlagNumber")));
}

} // namespace
