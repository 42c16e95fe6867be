// The client server in-process, with recording equipment hooks: the
// operations the console calls (connection count, CheckClientExist,
// DisClientConnect, ClearAnalysisAlertList), the count reports, and what a
// "01" request hands to the equipment link.
#include "ClientTcp.h"
#include "NetD.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpSocket>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>

namespace {

class ClientServer : public ::testing::Test {
protected:
    void SetUp() override { StartServer(false); }
    // (Re)starts the server; acceptProxy: every connection reads a PROXY
    // header first.
    void StartServer(bool acceptProxy) {
        server.reset();
        TClientTcp::EquipmentHooks hooks;
        hooks.UserLineState = [this](const QString &, bool, QString &) { return lineState(); };
        hooks.AddDataPackage = [this](const TChannelRequest &r) {
            std::lock_guard guard(lock);
            requests.push_back(r);
        };
        TClientTcp::Settings settings;
        settings.paces.channelPace = std::chrono::milliseconds(1);
        settings.acceptProxy = acceptProxy;
        server = std::make_unique<TClientTcp>(
            [this](const QString &text, quint32 colour) {
                std::lock_guard guard(lock);
                log.push_back({text, colour});
            },
            [this](int count) { counts.push_back(count); }, hooks, settings);
        ASSERT_TRUE(server->Start(0)) << server->ErrorString().toStdString();
    }
    void TearDown() override {
        sockets.clear();
        server.reset();
    }

    // A connection the server has not necessarily taken yet.
    QTcpSocket &Open() {
        sockets.push_back(std::make_unique<QTcpSocket>());
        QTcpSocket &s = *sockets.back();
        s.connectToHost(QStringLiteral("127.0.0.1"), server->ServerPort());
        EXPECT_TRUE(WaitUntil([&] { return s.state() == QAbstractSocket::ConnectedState; }));
        return s;
    }
    QTcpSocket &Connect() {
        sockets.push_back(std::make_unique<QTcpSocket>());
        QTcpSocket &s = *sockets.back();
        s.connectToHost(QStringLiteral("127.0.0.1"), server->ServerPort());
        const int before = server->GetClientConnectCount();
        EXPECT_TRUE(WaitUntil([&] { return server->GetClientConnectCount() == before + 1; }));
        return s;
    }
    static void Send(QTcpSocket &s, const QByteArray &text) {
        s.write(text);
        s.flush();
    }
    static bool WaitUntil(const std::function<bool()> &done) {
        QElapsedTimer timer;
        timer.start();
        while (!done()) {
            if (timer.elapsed() > 15000)
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QThread::msleep(2);
        }
        return true;
    }
    bool Logged(const QString &text) {
        std::lock_guard guard(lock);
        return std::any_of(log.begin(), log.end(), [&](const auto &l) { return l.first == text; });
    }

    // What the equipment link answers for a login's on-line list.
    std::function<QString()> lineState = [] { return QString(); };
    std::mutex lock;
    std::vector<std::pair<QString, quint32>> log;
    std::vector<TChannelRequest> requests;
    std::vector<int> counts;
    std::unique_ptr<TClientTcp> server;
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
};

TEST_F(ClientServer, ConnectionsAreCountedAndClosedByName) {
    QTcpSocket &bob1 = Connect();
    QTcpSocket &bob2 = Connect();
    QTcpSocket &alice = Connect();
    EXPECT_EQ(counts, (std::vector<int>{1, 2, 3}));
    Send(bob1, "*0000bob*");
    Send(bob2, "*0000bob*");
    Send(alice, "*0000alice*");
    ASSERT_TRUE(WaitUntil([&] { return server->CheckClientExist("bob"); }));
    ASSERT_TRUE(WaitUntil([&] { return server->CheckClientExist("alice"); }));
    EXPECT_FALSE(server->CheckClientExist("Bob"));

    server->DisClientConnect("bob");
    EXPECT_EQ(server->GetClientConnectCount(), 1);
    EXPECT_FALSE(server->CheckClientExist("bob"));
    // No disconnect line for connections the server closed itself, but the
    // count stays true.
    EXPECT_EQ(counts.back(), 1);
    EXPECT_TRUE(WaitUntil([&] {
        return bob1.state() == QAbstractSocket::UnconnectedState &&
               bob2.state() == QAbstractSocket::UnconnectedState;
    }));
    {
        std::lock_guard guard(lock);
        for (const auto &l : log)
            EXPECT_FALSE(l.first.contains("UserName:bob")) << l.first.toStdString();
    }

    const QString port = QString::number(alice.localPort());
    alice.disconnectFromHost();
    EXPECT_TRUE(WaitUntil([&] {
        return Logged("Client (UserName:alice  IP:127.0.0.1  Port:" + port + ") disconnected");
    }));
    EXPECT_EQ(counts.back(), 0);
}

TEST_F(ClientServer, EquipmentRequestIsHandedToTheEquipmentLinkWithItsConnection) {
    QTcpSocket &bob = Connect();
    Send(bob, "*0000bob*");
    Send(bob, "*01A001@0201000A#Hall 2*");
    Send(bob, "*01A001@050509000001#Hall 2*");
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard guard(lock);
        return requests.size() == 2;
    }));
    const QString port = QString::number(bob.localPort());
    const TChannelRequest &r = requests[0];
    EXPECT_EQ(r.UserName, "bob");
    EXPECT_EQ(r.EquipmentName, "Hall 2");
    EXPECT_EQ(r.EquipmentCode, "A001");
    EXPECT_EQ(r.OperateFlag, "02");
    EXPECT_EQ(r.SendMode, 0);
    EXPECT_EQ(r.ClientIp, "127.0.0.1");
    EXPECT_EQ(r.ClientPort, bob.localPort());
    EXPECT_EQ(r.Dictate, "01000A");
    EXPECT_EQ(requests[1].EquipmentName, "");
    EXPECT_EQ(requests[1].Dictate, "0509000001");
    EXPECT_TRUE(Logged("Client->Server (Equipment:Hall 2  UserName:bob  ClientIP:127.0.0.1  "
                       "ClientPort:" +
                       port + ")\r01000A"));
}

// Behind a balancer each client is known by the address its PROXY header
// names, in the log and in the requests it hands on; the login behind the
// header in the same packet is not lost. A client without a header is
// closed before any of its bytes is taken for a message.
TEST_F(ClientServer, BehindABalancerClientsAreKnownByTheAddressTheirHeaderNames) {
    StartServer(true);
    QTcpSocket &alice = Open();
    Send(alice, "PROXY TCP4 203.0.113.5 10.0.0.1 6000 5212\r\n*0000alice*");
    ASSERT_TRUE(WaitUntil([&] { return server->CheckClientExist("alice"); }));
    EXPECT_TRUE(Logged("Client (IP:203.0.113.5  Port:6000) connected"));
    Send(alice, "*01A001@0201000A#Hall 2*");
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard guard(lock);
        return requests.size() == 1;
    }));
    EXPECT_EQ(requests[0].ClientIp, "203.0.113.5");
    EXPECT_EQ(requests[0].ClientPort, 6000);
    EXPECT_TRUE(Logged("Client->Server (Equipment:Hall 2  UserName:alice  ClientIP:203.0.113.5  "
                       "ClientPort:6000)\r01000A"));

    QTcpSocket &eve = Open();
    Send(eve, "*0000eve*");
    EXPECT_TRUE(WaitUntil([&] { return eve.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(server->ProxyHeadersRefused(), 1u);
    EXPECT_FALSE(server->CheckClientExist("eve"));
    EXPECT_EQ(server->GetClientConnectCount(), 1);
    EXPECT_EQ(counts, std::vector<int>{1});

    alice.disconnectFromHost();
    EXPECT_TRUE(WaitUntil(
        [&] { return Logged("Client (UserName:alice  IP:203.0.113.5  Port:6000) disconnected"); }));
}

TEST_F(ClientServer, RequestBeforeLoginIsForwardedWithAnEmptyName) {
    QTcpSocket &anonymous = Connect();
    Send(anonymous, "*01A001@0201000A#Hall 2*");
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard guard(lock);
        return requests.size() == 1;
    }));
    EXPECT_EQ(requests[0].UserName, "");
}

TEST_F(ClientServer, ADatabaseFailureLosesOnlyItsMessageWithARedLine) {
    // Without a database the account-state message fails; the messages
    // after it in the same read are handled all the same.
    QTcpSocket &bob = Connect();
    Send(bob, "*01A001@0201#N1*  *0200bob*  *01A001@0202#N2*");
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard guard(lock);
        return requests.size() == 2;
    }));
    Send(bob, "*01A001@0203#N3*");
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard guard(lock);
        return requests.size() == 3;
    }));
    EXPECT_EQ(requests[0].EquipmentName, "N1");
    EXPECT_EQ(requests[1].EquipmentName, "N2");
    EXPECT_EQ(requests[2].EquipmentName, "N3");
    {
        std::lock_guard guard(lock);
        EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const auto &l) {
            return l.first.endsWith(") message *02 failed: no database") && l.second == clRed;
        }));
    }
    EXPECT_EQ(bob.state(), QAbstractSocket::ConnectedState);
}

TEST_F(ClientServer, ALoginTheDatabaseCannotAnswerGetsAFailureReply) {
    const struct {
        std::function<QString()> lineState;
        QByteArray reply;
    } cases[] = {
        {[]() -> QString { throw DbUnavailable("down"); },
         "*21Login fail: the database is unavailable*"},
        {[]() -> QString { throw DbError("select * from x: no such table"); },
         "*21Login fail: database error*"},
    };
    for (const auto &c : cases) {
        lineState = c.lineState;
        QTcpSocket &bob = Connect();
        Send(bob, "*0000bob*");
        QByteArray received;
        EXPECT_TRUE(WaitUntil([&] {
            received += bob.readAll();
            return received.size() >= c.reply.size();
        }));
        EXPECT_EQ(received, c.reply);
        EXPECT_EQ(bob.state(), QAbstractSocket::ConnectedState);
    }
    std::lock_guard guard(lock);
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const auto &l) {
                                return l.first.contains(") message *00 failed: ") &&
                                       l.second == clRed;
                            }),
              2);
}

TEST_F(ClientServer, ClearAnalysisAlertListIsLogged) {
    server->ClearAnalysisAlertList();
    EXPECT_TRUE(Logged("Clear Analysis Alert List"));
}

TEST_F(ClientServer, ASecondServerOnTheSamePortFailsToStart) {
    TClientTcp other({}, {}, {}, {});
    EXPECT_FALSE(other.Start(server->ServerPort()));
    EXPECT_FALSE(other.ErrorString().isEmpty());
}

} // namespace

namespace {

// A client that stops reading gets no more than the pending bound queued for
// it: further messages are dropped and counted, one red line tells of the
// episode, and the connection stays.
TEST_F(ClientServer, AClientThatStopsReadingHasFurtherMessagesDropped) {
    QTcpSocket &c = Connect();
    c.setReadBufferSize(1024); // the test's client takes almost nothing off the wire
    const QString big = QStringLiteral("*") + QString(256 * 1024, u'x') + QStringLiteral("*");
    for (int i = 0; i < 200; ++i) // 50 MiB in all
        ASSERT_TRUE(server->SendToClient(QStringLiteral("127.0.0.1"), c.localPort(), big));
    std::lock_guard guard(lock);
    const auto dropped = std::count_if(log.begin(), log.end(), [](const auto &l) {
        return l.first.contains(QStringLiteral("is not reading")) && l.second == clRed;
    });
    // A write that the client's slow reading lets through ends an episode,
    // so there may be a few; never one per message.
    EXPECT_GE(dropped, 1);
    EXPECT_LT(dropped, 10);
    EXPECT_GT(server->DroppedMessages(QStringLiteral("127.0.0.1"), c.localPort()), 150u);
    EXPECT_EQ(server->GetClientConnectCount(), 1);
}

} // namespace
