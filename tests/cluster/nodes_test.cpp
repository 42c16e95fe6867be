// Several real servers (mms-server --headless) on one PostgreSQL database
// with short paces: one is active and listens, the others wait; the active
// one killed or frozen, another takes over, and a frozen one that resumes
// ends with exit code 3 having answered nothing more. Cluster mode refuses
// to start beside a SQLite file.
#include "ClusterStore.h"
#include "SchemaInstaller.h"
#include "TestSupport.h"

#include "../comm/EquipmentFrames.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>

namespace {

using namespace std::chrono_literals;

// The longest any wait of these tests lasts: generous, the machine is shared.
constexpr auto Patience = 40s;

// Polls until the condition holds or the time is up, handling the events
// meanwhile (the servers' output is read then).
bool Eventually(const std::function<bool()> &condition,
                std::chrono::milliseconds limit = Patience) {
    return mmstest::PumpEventsUntil(condition, limit);
}

// The status of GET path on 127.0.0.1:port, with its body; 0 when nothing
// answers.
std::pair<int, QByteArray> HttpGet(int port, const QByteArray &path) {
    QTcpSocket s;
    s.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
    if (!s.waitForConnected(2000))
        return {0, {}};
    s.write("GET " + path + " HTTP/1.0\r\n\r\n");
    QByteArray answer;
    while (s.waitForReadyRead(2000))
        answer += s.readAll();
    answer += s.readAll();
    const QList<QByteArray> status = answer.left(answer.indexOf("\r\n")).split(' ');
    const qsizetype body = answer.indexOf("\r\n\r\n");
    return {status.size() > 1 ? status[1].toInt() : 0,
            body < 0 ? QByteArray() : answer.mid(body + 4)};
}

bool Listens(int port) {
    QTcpSocket s;
    s.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
    return s.waitForConnected(1000);
}

// One node: its home, ports and process.
struct Node {
    QString name;
    mmstest::TestHome home;
    int device = mmstest::FreeTcpPort();
    int client = mmstest::FreeTcpPort();
    int remote = mmstest::FreeTcpPort();
    int metrics = mmstest::FreeTcpPort();
    std::unique_ptr<mmstest::ServerProcess> process = std::make_unique<mmstest::ServerProcess>();

    int Health() const { return HttpGet(metrics, "/health/active").first; }
    bool Running() { return process->Process().state() != QProcess::NotRunning; }
};

// Whether the node's standard error says the text (within a while).
bool Said(Node &node, const QString &text) {
    return Eventually([&] { return node.process->StdErr().contains(text); }, 10s);
}

class ClusterNodes : public ::testing::Test {
protected:
    void SetUp() override {
        MMS_REQUIRE_PG_OR_SKIP();
        target_ = mmstest::CreatePgDatabase(QStringLiteral("mms_cluster"));
        TdmNet db(target_);
        InstallSchema(TdmNet::Session(db).Connection(), 3, true);
        // A key of its own: other tests may run elections on the same server.
        lockKey_ = qint64(QRandomGenerator::global()->bounded(1000000, 2000000000));
    }
    void TearDown() override {
        nodes_.clear();
        if (!target_.databaseName.isEmpty())
            mmstest::DropPgDatabase(target_.databaseName);
    }

    Node &AddNode(const QString &name) {
        auto node = std::make_unique<Node>();
        node->name = name;
        node->home.WriteFile(
            QStringLiteral("Set.ini"),
            QStringLiteral("[Set]\nDeviceConnectPort=%1\nDataBasePort=%2\nClientConnectPort=%3\n"
                           "MetricsPort=%4\n[Database]\nDriver=QPSQL\nHost=%5\nPort=%6\nName=%7\n"
                           "User=%8\n[Cluster]\nNodeName=%9\nLockKey=%10\nHangTimeout=1.5\n"
                           "TakeoverDelay=2\nDbLossGrace=3\n")
                .arg(node->device)
                .arg(node->remote)
                .arg(node->client)
                .arg(node->metrics)
                .arg(target_.host)
                .arg(target_.port)
                .arg(target_.databaseName, target_.user, name)
                .arg(lockKey_)
                .toUtf8());
        nodes_.push_back(std::move(node));
        return *nodes_.back();
    }

    bool Start(Node &node) {
        return node.process->Start({QStringLiteral("--home"), node.home.Path()});
    }

    // The one node whose health says active, once every running node answers
    // and exactly one says so; null when that does not come about.
    Node *TheActive() {
        Node *active = nullptr;
        const bool settled = Eventually([&] {
            active = nullptr;
            int count = 0;
            for (auto &n : nodes_) {
                if (!n->Running())
                    continue;
                const int status = n->Health();
                if (status == 200) {
                    ++count;
                    active = n.get();
                } else if (status != 503) {
                    return false;
                }
            }
            return count == 1;
        });
        return settled ? active : nullptr;
    }

    DbTarget target_;
    qint64 lockKey_ = 0;
    std::vector<std::unique_ptr<Node>> nodes_;
};

TEST_F(ClusterNodes, OneActiveOthersStandByAndAKilledActiveIsReplaced) {
    for (const char *name : {"alpha", "beta", "gamma"})
        ASSERT_TRUE(Start(AddNode(QString::fromLatin1(name))));
    Node *active = TheActive();
    ASSERT_NE(active, nullptr);
    ASSERT_TRUE(Eventually([&] { return Listens(active->device) && Listens(active->client); }));
    EXPECT_EQ(HttpGet(active->metrics, "/health/active").second, QByteArray("active\n"));
    for (auto &n : nodes_) {
        EXPECT_TRUE(Said(
            *n, QStringLiteral("Cluster node %1: standby, waiting for the lock").arg(n->name)));
        if (n.get() == active)
            continue;
        EXPECT_EQ(HttpGet(n->metrics, "/health/active"),
                  std::make_pair(503, QByteArray("standby\n")));
        EXPECT_FALSE(Listens(n->device)) << n->name.toStdString();
        EXPECT_FALSE(Listens(n->client)) << n->name.toStdString();
    }
    EXPECT_TRUE(Said(
        *active, QStringLiteral("Cluster node %1: active, holding the lock").arg(active->name)));
    // Every node writes its row; /metrics shows them with their roles.
    ASSERT_TRUE(Eventually([&] {
        const QByteArray page = HttpGet(active->metrics, "/metrics").second;
        for (auto &n : nodes_)
            if (!page.contains("node=\"" + n->name.toUtf8() + "\""))
                return false;
        return page.contains("role=\"active\"") && page.contains("mms_cluster_active 1");
    }));

    const QString first = active->name;
    active->process->Process().kill();
    active->process->Process().waitForFinished(5000);
    Node *next = TheActive();
    ASSERT_NE(next, nullptr);
    EXPECT_NE(next->name, first);
    EXPECT_TRUE(Eventually([&] { return Listens(next->device); }));
    EXPECT_TRUE(
        Said(*next, QStringLiteral("Cluster node %1: active, holding the lock").arg(next->name)));

    // A clean stop of the active node hands over too.
    const QString second = next->name;
    EXPECT_EQ(next->process->Terminate(), 0);
    Node *third = TheActive();
    ASSERT_NE(third, nullptr);
    EXPECT_NE(third->name, second);
    EXPECT_NE(third->name, first);
}

TEST_F(ClusterNodes, FrozenActiveIsReplacedAndEndsWithoutAnsweringOnceResumed) {
    for (const char *name : {"one", "two"})
        ASSERT_TRUE(Start(AddNode(QString::fromLatin1(name))));
    Node *active = TheActive();
    ASSERT_NE(active, nullptr);
    Node *standby = nodes_[0].get() == active ? nodes_[1].get() : nodes_[0].get();

    // A unit on the active node: its heartbeat is answered.
    QTcpSocket unit;
    unit.connectToHost(QStringLiteral("127.0.0.1"), quint16(active->device));
    ASSERT_TRUE(unit.waitForConnected(5000));
    unit.write(eqtest::Heartbeat("UNIT-1", 0x0101, 1, 1));
    ASSERT_TRUE(unit.waitForReadyRead(10000));
    unit.readAll();

    const qint64 pid = active->process->Process().processId();
    ASSERT_EQ(::kill(pid_t(pid), SIGSTOP), 0);
    // Another takes over once the frozen node's idle session has ended.
    ASSERT_TRUE(Eventually([&] { return standby->Health() == 200; }));
    // What the unit sends meanwhile waits in the frozen node's socket.
    unit.write(eqtest::Heartbeat("UNIT-1", 0x0101, 1, 1, 2));
    unit.flush();
    QThread::msleep(300);
    ASSERT_EQ(::kill(pid_t(pid), SIGCONT), 0);

    EXPECT_EQ(active->process->WaitForExit(20s), 3);
    // Nothing more came: the connection ended without a byte.
    QByteArray after;
    while (unit.state() == QAbstractSocket::ConnectedState && unit.waitForReadyRead(2000))
        after += unit.readAll();
    after += unit.readAll();
    EXPECT_TRUE(after.isEmpty()) << after.toHex().toStdString();
    const QString err = active->process->StdErr();
    EXPECT_TRUE(err.contains(QStringLiteral("nothing more is sent"))) << err.toStdString();
    EXPECT_TRUE(
        err.contains(QStringLiteral("Cluster node %1: lost the lock, stopping").arg(active->name)))
        << err.toStdString();
    EXPECT_EQ(standby->Health(), 200);
}

TEST(ClusterRefusal, BesideASqliteFileTheNodeRefusesToStart) {
    auto home = mmstest::MakeSqliteHome();
    home->WriteFile(QStringLiteral("Set.ini"),
                    QStringLiteral("[Set]\nDeviceConnectPort=%1\nDataBasePort=%2\n"
                                   "ClientConnectPort=%3\n[Cluster]\nNodeName=n1\n")
                        .arg(mmstest::FreeTcpPort())
                        .arg(mmstest::FreeTcpPort())
                        .arg(mmstest::FreeTcpPort())
                        .toUtf8());
    mmstest::ServerProcess server;
    ASSERT_TRUE(server.Start({QStringLiteral("--home"), home->Path()}));
    EXPECT_EQ(server.WaitForExit(20s), 1);
    const QString err = server.StdErr();
    EXPECT_TRUE(err.contains(QStringLiteral("runs only on PostgreSQL"))) << err.toStdString();
    EXPECT_TRUE(err.contains(QStringLiteral("MonitorData.db"))) << err.toStdString();
}

} // namespace
