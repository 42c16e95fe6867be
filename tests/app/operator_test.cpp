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

#include <algorithm>
#include <atomic>
#include <functional>
#include <optional>

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

// Calls a service member on this thread and pumps events until it answers.
template <class R, class Call> std::optional<R> Ask(Call call) {
    QObject context;
    std::optional<R> result;
    call(&context, [&](const R &r) { result = r; });
    WaitFor([&] { return result.has_value(); });
    return result;
}

TEST(OperatorService, AssigningAUnitTellsTheAccountsClientAndTheFleet) {
    const int devicePort = mmstest::FreeTcpPort();
    const auto home = mmstest::MakeMailingHome(mmstest::FreeTcpPort(), devicePort, 2);
    TServerApp server({home->Path(), true, {}});
    ASSERT_TRUE(server.DataModuleCreate());
    server.FormCreate();
    ASSERT_TRUE(server.FormShow());

    // SIM3 has no owner: it heartbeats, but is not registered.
    TSimFleetConfig config;
    config.port = quint16(devicePort);
    config.count = 3;
    config.heartbeatSeconds = 1;
    TSimFleet fleet(config, nullptr, nullptr);
    ASSERT_TRUE(fleet.Start());
    ASSERT_TRUE(WaitFor([&] { return fleet.AnsweredCount() == 3; }));
    TFleetModel &model = server.Fleet();
    ASSERT_TRUE(WaitFor([&] {
        const auto sim2 = model.Row("SIM2");
        const auto sim3 = model.Row("SIM3");
        return sim2 && sim2->OnLine && sim2->Registered && sim3 && sim3->OnLine;
    }));
    EXPECT_FALSE(model.Row("SIM3")->Registered);
    EXPECT_TRUE(model.Row("SIM3")->Owners.empty());

    // user1's client, told at login of its own unit only.
    QTcpSocket client;
    client.connectToHost("127.0.0.1", QSettings(home->File("Set.ini"), QSettings::IniFormat)
                                          .value("Set/ClientConnectPort")
                                          .toInt());
    ASSERT_TRUE(client.waitForConnected(5000));
    client.write("*0000user1*");
    QByteArray received;
    const auto receivedText = [&](const QByteArray &text) {
        return WaitFor([&] {
            received += client.readAll();
            return received.contains(text);
        });
    };
    ASSERT_TRUE(receivedText("*12SIM1@"));
    EXPECT_FALSE(received.contains("SIM2"));

    TOperatorService &service = server.Operator();
    const auto assigned = Ask<TOperatorResult>([&](QObject *context, auto answer) {
        service.AssignUnit({"user1", "SIM2", "Second", ""}, context, answer);
    });
    ASSERT_TRUE(assigned);
    EXPECT_TRUE(assigned->Ok()) << assigned->error.toStdString();
    // The notice the client would get if SIM2 came on line now.
    const QByteArray type = model.Row("SIM2")->EquipmentType.toLatin1();
    EXPECT_TRUE(receivedText("*12SIM2@" + type + "&01,#"));
    EXPECT_TRUE(WaitFor([&] { return model.Row("SIM2")->Owners.size() == 2; }));
    EXPECT_EQ(model.Row("SIM2")->EquipmentName, "Unit, Second");

    // Refused: twice, an unknown account, no code.
    for (const TUnitAssignment &row :
         {TUnitAssignment{"user1", "SIM2", "Again", ""}, TUnitAssignment{"nobody", "SIM2", "X", ""},
          TUnitAssignment{"user1", " ", "X", ""}}) {
        const auto refused = Ask<TOperatorResult>(
            [&](QObject *context, auto answer) { service.AssignUnit(row, context, answer); });
        ASSERT_TRUE(refused);
        EXPECT_FALSE(refused->Ok()) << row.UserName.toStdString();
    }

    const auto details = Ask<TUnitDetails>(
        [&](QObject *context, auto answer) { service.UnitDetails("SIM2", context, answer); });
    ASSERT_TRUE(details);
    EXPECT_TRUE(details->error.isEmpty());
    EXPECT_TRUE(details->known);
    EXPECT_EQ(details->owners.size(), 2u);
    ASSERT_TRUE(details->fleet);
    EXPECT_TRUE(details->fleet->OnLine);

    // Taken away again: the client is told the unit is off line for it.
    received.clear();
    const auto removed = Ask<TOperatorResult>([&](QObject *context, auto answer) {
        service.UnassignUnit("user1", "SIM2", context, answer);
    });
    ASSERT_TRUE(removed);
    EXPECT_TRUE(removed->Ok()) << removed->error.toStdString();
    EXPECT_TRUE(receivedText("*12SIM2@" + type + "&00,#"));
    EXPECT_TRUE(WaitFor([&] { return model.Row("SIM2")->Owners.size() == 1; }));
    const auto again = Ask<TOperatorResult>([&](QObject *context, auto answer) {
        service.UnassignUnit("user1", "SIM2", context, answer);
    });
    ASSERT_TRUE(again);
    EXPECT_FALSE(again->Ok());

    // An unowned unit assigned while it is connected is registered at once,
    // as its next heartbeat would: its new owner is told it is on line.
    const auto registered = Ask<TOperatorResult>([&](QObject *context, auto answer) {
        service.AssignUnit({"user1", "SIM3", "Third", ""}, context, answer);
    });
    ASSERT_TRUE(registered);
    EXPECT_TRUE(registered->Ok()) << registered->error.toStdString();
    EXPECT_TRUE(receivedText("*12SIM3@" + type + "&01,#"));
    EXPECT_TRUE(WaitFor([&] {
        const auto sim3 = model.Row("SIM3");
        return sim3->Owners.size() == 1 && sim3->Registered;
    }));

    // The status view's figures.
    std::optional<TServerStatus> status;
    EXPECT_TRUE(WaitFor([&] {
        status = Ask<TServerStatus>(
            [&](QObject *context, auto answer) { service.Status(context, answer); });
        return status && status->unitsConnected == 3 && status->clientsConnected == 1;
    }));
    ASSERT_TRUE(status);
    EXPECT_FALSE(status->version.isEmpty());
    EXPECT_EQ(status->databaseType, 1);
    EXPECT_TRUE(status->databaseUp);
    EXPECT_TRUE(std::any_of(status->ports.begin(), status->ports.end(), [&](const auto &p) {
        return p.name == "equipment" && p.port == devicePort;
    }));

    fleet.Stop();
    // The units' connections close: the fleet shows them off line.
    EXPECT_TRUE(WaitFor([&] {
        return !model.Row("SIM1")->OnLine && !model.Row("SIM2")->OnLine &&
               !model.Row("SIM3")->OnLine;
    }));
    EXPECT_TRUE(server.ConfirmedExit());
}

} // namespace
