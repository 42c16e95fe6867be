// The operator service used from a thread of its own while units heartbeat
// against the real links: the change is made and answered on the caller's
// thread, a suspended account's client is cut off, and the heartbeats stay
// answered meanwhile.
#include "ClientTcp.h"
#include "HistoryTables.h"
#include "NetD.h"
#include "OperatorService.h"
#include "ServerApp.h"
#include "SimFleet.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QSettings>
#include <QTcpSocket>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>

namespace {

bool WaitFor(const std::function<bool()> &condition) {
    return mmstest::PumpEventsUntil(condition, std::chrono::seconds(30));
}

constexpr int Units = 5;

TEST(OperatorService, ActionsFromAnotherThreadWhileUnitsHeartbeat) {
    const int devicePort = mmstest::FreeTcpPort();
    const auto home = mmstest::MakeMailingHome(mmstest::FreeTcpPort(), devicePort, Units);
    TServerApp server({home->Path(), true, {}});
    ASSERT_TRUE(server.DataModuleCreate());
    server.FormCreate();
    ASSERT_TRUE(server.FormShow());
    THistoryTables(*dmNet).InsertQuery({"n", "E", "02", "General", "", QDateTime::currentDateTime(),
                                        QDateTime::currentDateTime()});

    TSimFleetConfig config;
    config.port = quint16(devicePort);
    config.count = Units;
    config.heartbeatSeconds = 1;
    config.reconnectSeconds = 0.2;
    TSimFleet fleet(config, nullptr, nullptr);
    ASSERT_TRUE(fleet.Start());
    ASSERT_TRUE(WaitFor([&] { return fleet.AnsweredCount() == Units; }));
    const qint64 repliesBefore = fleet.Stats().heartbeatReplies;
    // A client logged in as the account to be suspended.
    QTcpSocket client;
    client.connectToHost("127.0.0.1", QSettings(home->File("Set.ini"), QSettings::IniFormat)
                                          .value("Set/ClientConnectPort")
                                          .toInt());
    ASSERT_TRUE(client.waitForConnected(5000));
    client.write("*0000user1*");
    ASSERT_TRUE(WaitFor([&] { return ClientTcp->CheckClientExist("user1"); }));

    // The operator's thread: its answers come back on it, through its loop.
    QThread operatorThread;
    QObject view;
    view.moveToThread(&operatorThread);
    operatorThread.start();
    std::atomic<int> answers{0};
    std::atomic<bool> suspended{false}, deleted{false};
    std::atomic<bool> onViewThread{true};
    TOperatorService &service = server.Operator();
    QMetaObject::invokeMethod(&view, [&] {
        service.SetSuspended("user1", true, &view, [&](const TOperatorResult &r) {
            suspended = r.Ok();
            onViewThread = onViewThread && QThread::currentThread() == &operatorThread;
            ++answers;
        });
        service.DeleteHistory(THistoryKind::Query, &view, [&](bool ok) {
            deleted = ok;
            onViewThread = onViewThread && QThread::currentThread() == &operatorThread;
            ++answers;
        });
    });
    // The links keep running on this thread meanwhile.
    EXPECT_TRUE(WaitFor([&] { return answers == 2; }));
    EXPECT_TRUE(suspended);
    EXPECT_TRUE(deleted);
    EXPECT_TRUE(onViewThread);
    EXPECT_EQ(dmNet->Select("select UseState from UserRegister where UserName='user1'")
                  .at(0)
                  .value(0)
                  .toInt(),
              1);
    EXPECT_EQ(dmNet->Select("select count(*) from QueryHistory").at(0).value(0).toInt(), 0);
    EXPECT_TRUE(WaitFor([&] { return client.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_FALSE(ClientTcp->CheckClientExist("user1"));

    // Every unit is answered again after the actions, and none was lost.
    EXPECT_TRUE(
        WaitFor([&] { return fleet.Stats().heartbeatReplies >= repliesBefore + 2 * Units; }));
    EXPECT_EQ(fleet.Stats().heartbeatsLost, 0);
    EXPECT_EQ(fleet.AnsweredCount(), Units);

    operatorThread.quit();
    operatorThread.wait();
    fleet.Stop();
    EXPECT_TRUE(server.ConfirmedExit());
}

} // namespace
