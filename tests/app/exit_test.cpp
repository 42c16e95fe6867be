// The exit never waits on the network: with five owners waiting for an alert
// mail and a mail server that accepts and never answers, SIGTERM ends the
// real server at once, and so does the window's confirmed exit; the counters
// are saved and the cut mail is logged as failed.
#include "CommInfoHintSink.h"
#include "MainF.h"
#include "ModalAnswer.h"
#include "NetD.h"
#include "NormalParamTable.h"
#include "ServerApp.h"
#include "SimFleet.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QRegularExpression>
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

constexpr int Owners = 5;

// Five units connected, each with one alarm report acknowledged, and the
// alarm worker inside its first exchange with the silent mail server.
void AlarmsWaitingForMail(TSimFleet &fleet, QTcpServer &silent) {
    ASSERT_TRUE(fleet.Start());
    ASSERT_TRUE(WaitFor([&] { return fleet.AnsweredCount() == Owners; }));
    for (int i = 0; i < Owners; ++i) {
        QString error;
        ASSERT_TRUE(fleet.SendAlarm(i, QStringLiteral("0301"), true, &error))
            << error.toStdString();
    }
    ASSERT_TRUE(WaitFor([&] { return fleet.Stats().alarmAcks == Owners; }));
    ASSERT_TRUE(WaitFor([&] { return silent.hasPendingConnections(); }));
}

TSimFleetConfig FleetOn(int devicePort) {
    TSimFleetConfig config;
    config.port = quint16(devicePort);
    config.count = Owners;
    config.heartbeatSeconds = 1;
    config.reconnectSeconds = 0.2;
    return config;
}

void ExpectCountersSaved(const mmstest::TestHome &home) {
    TdmNet db(home.SqliteTarget());
    EXPECT_TRUE(TNormalParamTable(db).Lookup(QStringLiteral("HandPackFlagNumber")));
    EXPECT_TRUE(TNormalParamTable(db).Lookup(QStringLiteral("CirclePackFlagNumber")));
}

// The exchange under way is cut and logged as failed. Which owner's mail is
// first depends on the order the five alarms were stored in, which arrive
// within the same few milliseconds.
const QRegularExpression
    MailFailed(QStringLiteral(R"(Send User (user\d)\(\1@example\.com\) Email fail\.)"));

TEST(Exit, SigtermDoesNotWaitForAHangingMailServer) {
    QTcpServer silent; // accepts (the kernel does) and never answers
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost));
    const int devicePort = mmstest::FreeTcpPort();

    const auto home = mmstest::MakeMailingHome(silent.serverPort(), devicePort, Owners);

    mmstest::ServerProcess server;
    ASSERT_TRUE(server.Start({QStringLiteral("--home"), home->Path()},
                             {QStringLiteral("MMS_PACE_SEND_MS=20"),
                              QStringLiteral("MMS_PACE_RECEIVE_MS=20"),
                              QStringLiteral("MMS_PACE_ALARM_STEP_MS=20")}));

    TSimFleet fleet(FleetOn(devicePort), nullptr, nullptr);
    AlarmsWaitingForMail(fleet, silent);
    if (::testing::Test::HasFatalFailure())
        return;

    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(server.Terminate(), 0) << server.StdErr().toStdString();
    EXPECT_LT(clock.elapsed(), 2000);
    fleet.Stop();

    const QString log = server.Lines().join(QLatin1Char('\n'));
    EXPECT_TRUE(log.contains(MailFailed)) << log.toStdString();
    EXPECT_FALSE(log.contains(QLatin1String("Email finish.")));
    ExpectCountersSaved(*home);
}

// The same server run in this process with its window (offscreen): the
// operator confirms the exit and the window closes at once.
TEST(Exit, ConfirmedExitOfTheWindowDoesNotWaitForAHangingMailServer) {
    QTcpServer silent;
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost));
    const int devicePort = mmstest::FreeTcpPort();
    const auto home = mmstest::MakeMailingHome(silent.serverPort(), devicePort, Owners);
    for (const char *pace : {"MMS_PACE_SEND_MS", "MMS_PACE_RECEIVE_MS", "MMS_PACE_ALARM_STEP_MS"})
        qputenv(pace, "20");

    TServerApp server({home->Path(), false, {}});
    ASSERT_TRUE(server.DataModuleCreate());
    server.FormCreate();
    TfrmMain::Hooks hooks;
    hooks.formShow = [&] { return server.FormShow(); };
    hooks.confirmedClose = [&] { return server.ConfirmedExit(); };
    TfrmMain frmMain(hooks);
    QObject::connect(&server.Sink(), &TCommInfoHintSink::LineReady, &frmMain,
                     &TfrmMain::CommInfoHint);
    frmMain.show();

    TSimFleet fleet(FleetOn(devicePort), nullptr, nullptr);
    AlarmsWaitingForMail(fleet, silent);
    if (::testing::Test::HasFatalFailure())
        return;

    uitest::BoxSeen box;
    uitest::AnswerNextBox(QMessageBox::Yes, &box);
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(frmMain.close());
    EXPECT_LT(clock.elapsed(), 2000);
    EXPECT_EQ(box.text, QStringLiteral("Exit Software?"));
    fleet.Stop();

    // The cut mail reaches the pane once the log's queue is delivered.
    EXPECT_TRUE(WaitFor([&] { return frmMain.mmoCommInfo1->toPlainText().contains(MailFailed); }))
        << frmMain.mmoCommInfo1->toPlainText().toStdString();
    EXPECT_FALSE(frmMain.mmoCommInfo1->toPlainText().contains(QLatin1String("Email finish.")));
    ExpectCountersSaved(*home);
}

} // namespace
