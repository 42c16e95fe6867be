// The relay end to end: the real server runs headless as a child process on a
// temporary SQLite home; the test plays the clients over real sockets and the
// equipment units with the simulator's unit model, answering the server's
// frames itself (or holding the answers back). Paces are shortened through
// MMS_PACE_* so that a request completes in well under a second.
#include "ClientProtocol.h"
#include "NetD.h"
#include "SchemaInstaller.h"
#include "SimUnit.h"
#include "SmtpTestServer.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSqlRecord>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTcpSocket>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

const char *const CodePage = "GB18030";

std::shared_ptr<const TSimParamTable> Table() {
    static const auto table = std::make_shared<const TSimParamTable>(TSimParamTable::BuiltIn());
    return table;
}

// A user client: sends text in the client code page and collects the
// messages it receives (the text between each pair of asterisks).
class TestClient {
public:
    explicit TestClient(quint16 port) { socket_.connectToHost(QStringLiteral("127.0.0.1"), port); }

    void Send(const QString &text) {
        socket_.write(encoder_.encode(text));
        socket_.flush();
    }
    void SendBytes(const QByteArray &bytes) {
        socket_.write(bytes);
        socket_.flush();
    }
    void Pump() {
        if (socket_.bytesAvailable() > 0)
            pending_ += decoder_.decode(socket_.readAll());
        for (;;) {
            const qsizetype open = pending_.indexOf(u'*');
            const qsizetype close = open < 0 ? -1 : pending_.indexOf(u'*', open + 1);
            if (close < 0)
                break;
            messages.append(pending_.mid(open + 1, close - open - 1));
            pending_.remove(0, close + 1);
        }
    }
    bool Connected() const { return socket_.state() == QAbstractSocket::ConnectedState; }
    bool Closed() const { return socket_.state() == QAbstractSocket::UnconnectedState; }
    void Close() { socket_.disconnectFromHost(); }
    QString Port() const { return QString::number(socket_.localPort()); }
    // The first message starting with the prefix, empty when none came.
    QString Find(const QString &prefix) const {
        for (const QString &m : messages)
            if (m.startsWith(prefix))
                return m;
        return {};
    }

    QStringList messages;

private:
    QTcpSocket socket_;
    QStringEncoder encoder_{CodePage};
    QStringDecoder decoder_{CodePage};
    QString pending_;
};

// An equipment unit: the simulator's unit model on a real connection.
class TestUnit {
public:
    // header: bytes sent in front of the unit's first write (a balancer's
    // PROXY header).
    TestUnit(const QString &code, quint16 port, int pages = 1, QByteArray header = {})
        : unit_(TSimIdentity{code, 0x03, 0x1000 + ++count_, 1}, Table(), pages),
          header_(std::move(header)) {
        socket_.connectToHost(QStringLiteral("127.0.0.1"), port);
    }

    void Heartbeat() { Write(unit_.MakeHeartbeat().bytes); }
    // Sends an alarm report on the first alarm parameter; its frame.
    TSimOutFrame Alarm() {
        const auto frame = unit_.MakeAlarmReport(Table()->AlarmCodes().front(), true);
        Write(frame->bytes);
        return *frame;
    }
    // Sends that many alarm reports in one write.
    void AlarmFlood(int count) {
        QByteArray bytes;
        for (int i = 0; i < count; ++i)
            bytes += unit_.MakeAlarmReport(Table()->AlarmCodes().front(), true)->bytes;
        Write(bytes);
    }
    void Pump() {
        if (socket_.bytesAvailable() <= 0)
            return;
        for (TSimEvent &e : unit_.Feed(socket_.readAll())) {
            if (e.reply) {
                replies.push_back(*e.reply);
                if (answer)
                    Write(e.reply->bytes);
                else
                    held_.push_back(e.reply->bytes);
            }
            events.push_back(std::move(e));
        }
    }
    // Sends the answers held back so far.
    void Release() {
        for (const QByteArray &b : held_)
            Write(b);
        held_.clear();
    }
    int Count(TSimEvent::Kind kind) const {
        return int(std::count_if(events.begin(), events.end(),
                                 [kind](const TSimEvent &e) { return e.kind == kind; }));
    }
    bool Connected() const { return socket_.state() == QAbstractSocket::ConnectedState; }
    QString Port() const { return QString::number(socket_.localPort()); }

    bool answer = true; // answer the server's requests at once
    std::vector<TSimEvent> events;
    std::vector<TSimOutFrame> replies;

private:
    void Write(const QByteArray &bytes) {
        socket_.write(header_ + bytes);
        socket_.flush();
        header_.clear();
    }
    static inline quint32 count_ = 0;
    TSimUnit unit_;
    QByteArray header_;
    QTcpSocket socket_;
    std::vector<QByteArray> held_;
};

QString Hex(const QByteArray &bytes) {
    return QString::fromLatin1(bytes.toHex()).toUpper();
}

class ClientLink : public ::testing::Test {
protected:
    void SetUp() override {
        home = mmstest::MakeSqliteHome();
        devicePort = quint16(mmstest::FreeTcpPort());
        clientPort = quint16(mmstest::FreeTcpPort());
        home->WriteFile(QStringLiteral("Set.ini"),
                        QStringLiteral("[Set]\nDeviceConnectPort=%1\nDataBasePort=%2\n"
                                       "ClientConnectPort=%3\n")
                            .arg(devicePort)
                            .arg(mmstest::FreeTcpPort())
                            .arg(clientPort)
                            .toUtf8());
        db = std::make_unique<TdmNet>(home->SqliteTarget());
        FillAccounts();
    }

    void FillAccounts() {
        const QString users = QStringLiteral(
            "insert into UserRegister (UserName, UserPassword, Email, UseState) values (?,?,?,?)");
        for (const QVariantList &u : std::initializer_list<QVariantList>{
                 {"alice", "pw-alice", "a@x.org", 0},
                 {"bob", "pw-bob", "b@x.org", 0},
                 {"carol", "pw-carol", "c@x.org", 6},
                 {"o'brien", "pw-o", "o'b@x.org", 0},
                 {QStringLiteral("\u5f20\u4e09"), "pw-z", "z@x.org", 0}})
            db->Exec(users, u);
        const QString units = QStringLiteral(
            "insert into UserEquipment (UserName, EquipmentCode, EquipmentName) values (?,?,?)");
        for (const QVariantList &u : std::initializer_list<QVariantList>{
                 {"alice", "A001", "Hall 2"},
                 {"alice", "A002", "Roof"},
                 {"bob", "A001", "Bob's Hall"},
                 {"bob", "B001", "Barn"},
                 {"o'brien", "Q'1", "O'Hall"},
                 {QStringLiteral("\u5f20\u4e09"), "A002", QStringLiteral("\u5927\u5385")}})
            db->Exec(units, u);
    }

    void TearDown() override {
        clients.clear();
        units.clear();
        if (started)
            server.Terminate();
        // The server's log tells why a test failed.
        if (HasFailure() || qEnvironmentVariableIsSet("MMS_SHOW_SERVER_LOG"))
            for (const QString &line : server.Lines())
                std::fprintf(stderr, "server: %s\n", line.toLocal8Bit().constData());
        db->ReleaseThreadConnection();
    }

    // Starts the server and waits until the client port takes connections;
    // with shortened paces unless the defaults are asked for.
    enum class Paces { Short, Default };
    void Start(QStringList env = {}, Paces paces = Paces::Short) {
        if (paces == Paces::Short)
            env << QStringLiteral("MMS_PACE_SEND_MS=40") << QStringLiteral("MMS_PACE_RECEIVE_MS=20")
                << QStringLiteral("MMS_PACE_CHANNEL_MS=10")
                << QStringLiteral("MMS_PACE_REPLY_MS=20")
                << QStringLiteral("MMS_PACE_REPLY_ENTRY_MS=5");
        ASSERT_TRUE(server.Start({QStringLiteral("--home"), home->Path()}, env));
        started = true;
        ASSERT_TRUE(server.WaitForPort(clientPort)) << server.StdErr().toStdString();
    }

    TestClient &Client() {
        clients.push_back(std::make_unique<TestClient>(clientPort));
        TestClient &c = *clients.back();
        EXPECT_TRUE(WaitUntil([&] { return c.Connected(); }));
        return c;
    }
    // A client logged in under the name.
    TestClient &Login(const QString &name, const QString &suspend = QStringLiteral("00")) {
        TestClient &c = Client();
        c.Send(QStringLiteral("*00") + suspend + name + u'*');
        // The login has been handled once a probe sent after it is answered.
        Probe(c);
        return c;
    }
    // Sends a password reminder for an unknown user and waits for its answer,
    // so that everything the client sent before has been handled.
    void Probe(TestClient &c) {
        const QString name = QStringLiteral("probe%1").arg(++probes_);
        c.Send(QStringLiteral("*03") + name + QStringLiteral("%nobody*"));
        EXPECT_TRUE(
            WaitUntil([&] { return c.messages.contains(QStringLiteral("13") + name + "%2"); }));
        c.messages.removeAll(QStringLiteral("13") + name + "%2");
    }
    // A unit connected and registered (its heartbeat answered); its header
    // goes in front of the heartbeat.
    TestUnit &Unit(const QString &code, int pages = 1, const QByteArray &header = {}) {
        units.push_back(std::make_unique<TestUnit>(code, devicePort, pages, header));
        TestUnit &u = *units.back();
        EXPECT_TRUE(WaitUntil([&] { return u.Connected(); }));
        u.Heartbeat();
        EXPECT_TRUE(WaitUntil([&] { return u.Count(TSimEvent::Kind::HeartbeatReply) > 0; }));
        return u;
    }

    bool WaitUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout = 15s) {
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            for (auto &u : units)
                u->Pump();
            for (auto &c : clients)
                c->Pump();
            if (done())
                return true;
            if (timer.elapsed() > timeout.count())
                return false;
            QThread::msleep(2);
        }
    }
    // Keeps the sockets going for a while (for what must NOT happen).
    void Idle(std::chrono::milliseconds time) {
        WaitUntil([] { return false; }, time);
    }

    bool Logged(const QString &text) {
        const QStringList lines = server.Lines();
        return std::any_of(lines.begin(), lines.end(),
                           [&](const QString &l) { return l.contains(text); });
    }
    bool WaitForLog(const QString &text) {
        return WaitUntil([&] { return Logged(text); });
    }

    std::vector<QStringList> Rows(const QString &sql, const QVariantList &values = {}) {
        std::vector<QStringList> rows;
        for (const QSqlRecord &r : db->Select(sql, values)) {
            QStringList row;
            for (int i = 0; i < r.count(); ++i)
                row << r.value(i).toString();
            rows.push_back(row);
        }
        return rows;
    }

    std::unique_ptr<mmstest::TestHome> home;
    std::unique_ptr<TdmNet> db;
    quint16 devicePort = 0;
    quint16 clientPort = 0;
    mmstest::ServerProcess server;
    bool started = false;
    std::vector<std::unique_ptr<TestUnit>> units;
    std::vector<std::unique_ptr<TestClient>> clients;
    int probes_ = 0;
};

// Thousands of idle equipment connections never cost the clients their port:
// the equipment port keeps a share of the descriptors free (and closes what
// it cannot keep at once), and the server does not spin meanwhile.
TEST_F(ClientLink, AFullEquipmentPortLeavesTheClientPortServing) {
    server.SetOpenFileLimit(160);
    Start();
    std::vector<std::unique_ptr<QTcpSocket>> flood;
    for (int i = 0; i < 300; ++i) {
        flood.push_back(std::make_unique<QTcpSocket>());
        flood.back()->connectToHost(QStringLiteral("127.0.0.1"), devicePort);
    }
    EXPECT_TRUE(WaitForLog(QStringLiteral("Equipment port: ")));
    const auto cpuTicks = [&] {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(server.Process().processId()));
        if (!stat.open(QIODevice::ReadOnly))
            return -1LL;
        const QString text = QString::fromLatin1(stat.readAll());
        const QStringList f = text.mid(text.lastIndexOf(u')') + 2).split(u' ');
        return f.value(11).toLongLong() + f.value(12).toLongLong(); // utime + stime
    };
    const long long before = cpuTicks();
    Idle(2s);
    const long long used = cpuTicks() - before;
    EXPECT_LT(used, sysconf(_SC_CLK_TCK)) << "server CPU ticks in 2 s: " << used;

    TestClient &alice = Login("alice");
    EXPECT_TRUE(alice.Connected());
    const qint64 open = std::count_if(flood.begin(), flood.end(), [](const auto &s) {
        return s->state() == QAbstractSocket::ConnectedState;
    });
    EXPECT_LT(open, 300);
}

// Floods at the default paces: the queues serve connections in turn, so one
// unit or one client flooding the server costs another only a tick or two.
// Without that, the other's item would wait behind thousands of ticks.
TEST_F(ClientLink, AUnitFloodingReportsDelaysAnotherUnitsAcknowledgementByATickOrTwo) {
    Start({}, Paces::Default);
    TestUnit &flood = Unit("A001");
    TestUnit &quiet = Unit("B001");
    flood.AlarmFlood(10000);
    ASSERT_TRUE(WaitForLog("Equipment (127.0.0.1#" + flood.Port() + ") sends faster"));
    QElapsedTimer timer;
    timer.start();
    quiet.Alarm();
    ASSERT_TRUE(WaitUntil([&] { return quiet.Count(TSimEvent::Kind::AlarmAck) == 1; }, 10s));
    EXPECT_LT(timer.elapsed(), 3000);
    EXPECT_TRUE(quiet.Connected());
}

TEST_F(ClientLink, AClientFloodingRequestsDelaysAnotherClientsAnswerByATickOrTwo) {
    Start({}, Paces::Default);
    Unit("A001");
    Unit("B001");
    TestClient &flood = Login("alice");
    TestClient &quiet = Login("bob");
    QString requests;
    for (int i = 0; i < 10000; ++i)
        requests += QStringLiteral("*01A001@02030101#Hall 2*");
    flood.Send(requests);
    ASSERT_TRUE(WaitForLog("Client (127.0.0.1:" + flood.Port() + ") sends faster"));
    quiet.messages.clear();
    QElapsedTimer timer;
    timer.start();
    quiet.Send("*01B001@02030101#Barn*");
    ASSERT_TRUE(WaitUntil([&] { return !quiet.Find("01B001@").isEmpty(); }, 10s));
    EXPECT_LT(timer.elapsed(), 3000);
    EXPECT_TRUE(flood.Connected());
}

TEST_F(ClientLink, LoginListsTheUsersUnitsThatAreOnLine) {
    Start();
    Unit("A001");
    Unit("A002");
    Unit("B001");

    TestClient &alice = Login("alice");
    ASSERT_EQ(alice.messages, QStringList{"12A001@03&01,A002@03&01,#2049"});
    EXPECT_TRUE(WaitForLog("Server->Client (UserName:alice  ClientIP:127.0.0.1  ClientPort:" +
                           alice.Port() + "  [Equipment:Hall 2"));

    // Nothing of dave's is on line: nothing is sent (the probe answer comes first).
    TestClient &dave = Login("dave");
    EXPECT_TRUE(dave.messages.isEmpty());
}

TEST_F(ClientLink, SuspendLoginIsRefusedWhileTheNameIsConnectedAndListsAllUnitsOtherwise) {
    Start();
    Unit("A001");
    Unit("B001");
    TestClient &alice = Login("alice");
    ASSERT_EQ(alice.messages, QStringList{"12A001@03&01,#2049"});

    TestClient &second = Client();
    second.Send("*0001alice*");
    EXPECT_TRUE(WaitUntil([&] { return second.Closed(); }));
    EXPECT_TRUE(second.messages.isEmpty());

    TestClient &erin = Client();
    erin.Send("*0001erin*");
    EXPECT_TRUE(WaitUntil([&] { return !erin.messages.isEmpty(); }));
    EXPECT_EQ(erin.messages, QStringList{"12A001@03&01,B001@03&01,#2049"});
    EXPECT_FALSE(alice.Closed());
}

TEST_F(ClientLink, QueryIsAnsweredToItsClientAndStoredWithBothTimes) {
    Start();
    TestUnit &unit = Unit("A001");
    TestClient &alice = Login("alice");
    alice.messages.clear();

    alice.Send("*01A001@02030101#Hall 2*");
    ASSERT_TRUE(WaitUntil([&] { return !alice.Find("01A001@").isEmpty(); }));
    ASSERT_EQ(unit.Count(TSimEvent::Kind::Query), 1);

    // The send notice came first, then the answer: the unit's frame as it
    // travelled, with the unit's address and the user's name for it.
    ASSERT_EQ(alice.messages.size(), 2);
    EXPECT_TRUE(alice.messages[0].startsWith("21Send (Equipment:Hall 2  EquipmentIP:127.0.0.1  "
                                             "EquipmentPort:" +
                                             unit.Port()));
    EXPECT_EQ(alice.messages[1],
              "01A001@127.0.0.1&" + unit.Port() + "^" + Hex(unit.replies.back().bytes) + "#Hall 2");

    EXPECT_TRUE(WaitForLog("Client->Server (Equipment:Hall 2  UserName:alice  ClientIP:127.0.0.1  "
                           "ClientPort:" +
                           alice.Port() + ")"));
    EXPECT_TRUE(WaitForLog("Server->Client (Equipment:Hall 2  UserName:alice  ClientIP:127.0.0.1  "
                           "ClientPort:" +
                           alice.Port() + "  SiteNo.:"));
    std::vector<QStringList> rows;
    ASSERT_TRUE(WaitUntil([&] {
        rows = Rows("select EquipmentName, EquipmentCode, OperateFlag, QueryMode, DataBody, "
                    "QueryTime, ReturnTime from QueryHistory");
        return !rows.empty();
    }));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].mid(0, 4), (QStringList{"Hall 2", "A001", "02", "General"}));
    EXPECT_FALSE(rows[0][4].isEmpty());
    EXPECT_TRUE(unit.replies.back().frame.contains(rows[0][4]));
    const QDateTime queryTime = QDateTime::fromString(rows[0][5], "yyyy-MM-dd HH:mm:ss");
    const QDateTime returnTime = QDateTime::fromString(rows[0][6], "yyyy-MM-dd HH:mm:ss");
    ASSERT_TRUE(queryTime.isValid()) << rows[0][5].toStdString();
    ASSERT_TRUE(returnTime.isValid()) << rows[0][6].toStdString();
    EXPECT_LE(queryTime, returnTime);
}

// kill -9 at random moments over several runs: the serial numbers of the
// requests the server sent ("SerialId:" in its log) never come twice, though
// the exact counters are never saved.
// Behind a balancer (AcceptProxy=1) the unit and the client are known by the
// addresses their PROXY headers name (version 1 for the unit, version 2 for
// the client), each header in one packet with the first message behind it:
// in the send notice, the answer relayed to the client and the log. A unit
// and a client that connect without a header are closed.
TEST_F(ClientLink, BehindABalancerPeersAreKnownByTheAddressTheirHeaderNames) {
    home->WriteFile(QStringLiteral("Set.ini"),
                    QStringLiteral("[Set]\nDeviceConnectPort=%1\nDataBasePort=%2\n"
                                   "ClientConnectPort=%3\n[Cluster]\nAcceptProxy=1\n")
                        .arg(devicePort)
                        .arg(mmstest::FreeTcpPort())
                        .arg(clientPort)
                        .toUtf8());
    Start();
    TestUnit &unit = Unit("A001", 1, "PROXY TCP4 192.0.2.10 10.0.0.1 40312 5210\r\n");
    const QByteArray v2 = QByteArray("\r\n\r\n\0\r\nQUIT\n", 12) + QByteArray::fromHex("2111000C") +
                          QByteArray::fromHex("C6336407 0A000001 15B3 145C"); // :5555 -> :5212
    TestClient &alice = Client();
    alice.SendBytes(v2 + "*0000alice*");
    Probe(alice);
    ASSERT_EQ(alice.messages, QStringList{"12A001@03&01,#2049"});
    alice.messages.clear();

    alice.Send("*01A001@02030101#Hall 2*");
    ASSERT_TRUE(WaitUntil([&] { return !alice.Find("01A001@").isEmpty(); }));
    ASSERT_EQ(alice.messages.size(), 2);
    EXPECT_TRUE(alice.messages[0].startsWith(
        "21Send (Equipment:Hall 2  EquipmentIP:192.0.2.10  EquipmentPort:40312  "));
    EXPECT_EQ(alice.messages[1],
              "01A001@192.0.2.10&40312^" + Hex(unit.replies.back().bytes) + "#Hall 2");
    EXPECT_TRUE(WaitForLog("Equipment (IP:192.0.2.10  Port:40312) already connected"));
    EXPECT_TRUE(WaitForLog("Client (IP:198.51.100.7  Port:5555) connected"));
    EXPECT_TRUE(WaitForLog("Client->Server (Equipment:Hall 2  UserName:alice  "
                           "ClientIP:198.51.100.7  ClientPort:5555)"));
    EXPECT_FALSE(Logged("IP:127.0.0.1"));

    // Without a header: the unit's heartbeat and the client's login are not
    // read, and both are closed.
    auto bare = std::make_unique<TestUnit>(QStringLiteral("A002"), devicePort);
    TestUnit &plain = *bare;
    units.push_back(std::move(bare));
    ASSERT_TRUE(WaitUntil([&] { return plain.Connected(); }));
    plain.Heartbeat();
    TestClient &bob = Client();
    bob.Send("*0000bob*");
    EXPECT_TRUE(WaitUntil([&] { return !plain.Connected() && bob.Closed(); }));
    EXPECT_EQ(plain.Count(TSimEvent::Kind::HeartbeatReply), 0);
    EXPECT_TRUE(bob.messages.isEmpty());
    EXPECT_TRUE(WaitForLog("Equipment port: a connection without a valid PROXY header closed"));
    EXPECT_TRUE(WaitForLog("Client port: a connection without a valid PROXY header closed"));
}

TEST_F(ClientLink, SerialNumbersAreNotReusedAfterKill9) {
    std::mt19937 random(21);
    std::vector<int> serials;
    for (int run = 0; run < 5; ++run) {
        const qsizetype seen = server.Lines().size();
        Start();
        TestUnit &unit = Unit("A001");
        TestClient &alice = Login("alice");
        const int queries = std::uniform_int_distribution<int>(1, 6)(random);
        for (int i = 0; i < queries; ++i)
            alice.Send("*01A001@02030101#Hall 2*");
        // Killed once some of them have left, not necessarily all (and the
        // log, written in batches, has told of them).
        const int sent = std::uniform_int_distribution<int>(1, queries)(random);
        static const QRegularExpression request(
            QStringLiteral("Server->Equipment \\(Equipment:.*SerialId:(\\d+)\\)"));
        const auto logged = [&] {
            std::vector<int> found;
            for (const QString &line : server.Lines().mid(seen))
                if (const auto m = request.match(line); m.hasMatch())
                    found.push_back(m.captured(1).toInt());
            return found;
        };
        ASSERT_TRUE(WaitUntil([&] {
            return unit.Count(TSimEvent::Kind::Query) >= sent && int(logged().size()) >= sent;
        }));
        server.Signal(SIGKILL);
        started = false;
        const std::vector<int> found = logged();
        serials.insert(serials.end(), found.begin(), found.end());
        clients.clear();
        units.clear();
    }
    ASSERT_GE(serials.size(), 5u);
    std::vector<int> sorted = serials;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end())
        << "a serial number was used twice";
}

TEST_F(ClientLink, RequestToAUnitThatIsNotConnectedIsAnsweredWithANotice) {
    Start();
    TestClient &alice = Login("alice");
    alice.Send("*01Z999@02030101#Ghost*");
    EXPECT_TRUE(WaitUntil([&] { return !alice.messages.isEmpty(); }));
    EXPECT_EQ(alice.messages, QStringList{"21Equipment:Ghost not connect"});
}

TEST_F(ClientLink, UnansweredRequestIsDroppedAfterTheExpiry) {
    Start({QStringLiteral("MMS_PACE_EXPIRY_MS=300")});
    TestUnit &unit = Unit("A001");
    unit.answer = false;
    TestClient &alice = Login("alice");
    alice.messages.clear();

    alice.Send("*01A001@02030101#Hall 2*");
    ASSERT_TRUE(WaitUntil([&] { return unit.Count(TSimEvent::Kind::Query) == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return !alice.Find("21Send").isEmpty(); }));
    // Well past the (shortened) expiry, the late answer finds no request.
    Idle(1500ms);
    unit.Release();
    EXPECT_TRUE(
        WaitForLog("Equipment->Server (  EquipmentIP:127.0.0.1  EquipmentPort:" + unit.Port()));
    Probe(alice);
    EXPECT_EQ(alice.messages.size(), 1); // the send notice only
    EXPECT_TRUE(Rows("select * from QueryHistory").empty());
}

TEST_F(ClientLink, TwoClientsBehindOneAddressGetOnlyTheirOwnAnswers) {
    Start();
    TestUnit &unit = Unit("A001");
    TestClient &alice = Login("alice");
    TestClient &bob = Login("bob");
    alice.messages.clear();
    bob.messages.clear();

    alice.Send("*01A001@02030101#Hall 2*");
    bob.Send("*01A001@02030101#Bob's Hall*");
    ASSERT_TRUE(WaitUntil(
        [&] { return !alice.Find("01A001@").isEmpty() && !bob.Find("01A001@").isEmpty(); }));
    EXPECT_EQ(unit.Count(TSimEvent::Kind::Query), 2);
    Probe(alice);
    Probe(bob);
    EXPECT_TRUE(alice.Find("01A001@").endsWith("#Hall 2"));
    EXPECT_TRUE(bob.Find("01A001@").endsWith("#Bob's Hall"));
    EXPECT_EQ(alice.messages.filter(QRegularExpression("^01")).size(), 1);
    EXPECT_EQ(bob.messages.filter(QRegularExpression("^01")).size(), 1);
}

TEST_F(ClientLink, AnswerAfterItsClientLeftIsLoggedAndStoredButNotSent) {
    Start();
    TestUnit &unit = Unit("A001");
    unit.answer = false;
    TestClient &alice = Login("alice");
    const QString port = alice.Port();
    alice.Send("*01A001@02030101#Hall 2*");
    ASSERT_TRUE(WaitUntil([&] { return unit.Count(TSimEvent::Kind::Query) == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return !alice.Find("21Send").isEmpty(); }));
    alice.Close();
    ASSERT_TRUE(
        WaitForLog("Client (UserName:alice  IP:127.0.0.1  Port:" + port + ") disconnected"));

    unit.Release();
    EXPECT_TRUE(WaitForLog("Server->Client (  SiteNo.:"));
    EXPECT_TRUE(WaitUntil([&] { return Rows("select * from QueryHistory").size() == 1; }));
}

TEST_F(ClientLink, AlarmReportReachesEachOwnerUnderHisNameAndTheSuperUserUnderAllNames) {
    Start();
    TestUnit &unit = Unit("A001");
    TestClient &alice = Login("alice");
    TestClient &bob = Login("bob");
    TestClient &carol = Login("carol");
    TestClient &anonymous = Client();
    alice.messages.clear();
    bob.messages.clear();
    ASSERT_TRUE(carol.messages.isEmpty());

    const TSimOutFrame report = unit.Alarm();
    ASSERT_TRUE(WaitUntil([&] {
        return !alice.messages.isEmpty() && !bob.messages.isEmpty() && !carol.messages.isEmpty();
    }));
    const QString prefix = "01A001@127.0.0.1&" + unit.Port() + "^" + Hex(report.bytes) + "#";
    EXPECT_EQ(alice.messages, QStringList{prefix + "Hall 2"});
    EXPECT_EQ(bob.messages, QStringList{prefix + "Bob's Hall"});
    EXPECT_EQ(carol.messages, QStringList{prefix + "Hall 2,Bob's Hall"});
    EXPECT_TRUE(WaitUntil([&] { return unit.Count(TSimEvent::Kind::AlarmAck) == 1; }));
    EXPECT_TRUE(WaitForLog("Server->Client ([Equipment:Hall 2  UserName:alice  "
                           "ClientIP:127.0.0.1  ClientPort:" +
                           alice.Port() + "] [Equipment:Bob's Hall  UserName:bob"));

    std::vector<QStringList> rows;
    ASSERT_TRUE(WaitUntil([&] {
        rows = Rows("select EquipmentCode, DataBody, AlarmTime from AlarmHistory");
        return !rows.empty();
    }));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], "A001");
    // The data items after the report-type item, up to the check code.
    const QString items = report.frame.mid(report.frame.indexOf("04410101") + 8);
    EXPECT_EQ(rows[0][1], items.left(items.size() - 6));
    EXPECT_FALSE(rows[0][2].isEmpty());
    Probe(anonymous);
    EXPECT_TRUE(anonymous.messages.isEmpty());
}

TEST_F(ClientLink, ThreePageParameterListIsBroadcastAndStored) {
    Start();
    TestUnit &unit = Unit("A001", 3);
    TestClient &alice = Login("alice");
    TestClient &carol = Login("carol");
    alice.messages.clear();

    alice.Send("*01A001@050509000001#Hall 2*");
    ASSERT_TRUE(WaitUntil([&] { return !alice.Find("05A001@").isEmpty(); }));
    EXPECT_EQ(unit.Count(TSimEvent::Kind::ParamListPage), 3);
    const QString message = alice.Find("05A001@");
    const QString head = "05A001@127.0.0.1&" + unit.Port() + "^";
    ASSERT_TRUE(message.startsWith(head)) << message.toStdString();
    ASSERT_TRUE(message.endsWith("#Hall 2")) << message.toStdString();
    const QString list = message.mid(head.size(), message.size() - head.size() - 7);
    EXPECT_FALSE(list.isEmpty());
    ASSERT_TRUE(WaitUntil([&] { return !carol.Find("05A001@").isEmpty(); }));
    EXPECT_EQ(carol.Find("05A001@"), head + list + "#Hall 2,Bob's Hall");

    EXPECT_TRUE(WaitForLog("Query Parameter List Finish (EquipmentCode:A001"));
    EXPECT_EQ(Rows("select ListStr from ParamList where EquipmentCode=?", {"A001"}),
              (std::vector<QStringList>{{list}}));
    EXPECT_TRUE(Rows("select * from QueryHistory").empty());
}

TEST_F(ClientLink, SuspendingAUserClosesHisConnectionsAndResumingClosesNothing) {
    Start();
    TestClient &bob1 = Login("bob");
    TestClient &bob2 = Login("bob");
    TestClient &alice = Login("alice");

    alice.Send("*0201bob*");
    EXPECT_TRUE(WaitUntil([&] { return bob1.Closed() && bob2.Closed(); }));
    EXPECT_EQ(Rows("select UseState from UserRegister where UserName=?", {"bob"}),
              (std::vector<QStringList>{{"1"}}));
    Probe(alice);
    EXPECT_FALSE(Logged("Client (UserName:bob"));

    TestClient &bob3 = Login("bob");
    alice.Send("*0200bob*");
    Probe(alice);
    EXPECT_EQ(Rows("select UseState from UserRegister where UserName=?", {"bob"}),
              (std::vector<QStringList>{{"0"}}));
    EXPECT_FALSE(bob3.Closed());
}

TEST_F(ClientLink, ReminderForAnUnknownUserAnswersTwoAndMailsNothing) {
    Start();
    TestClient &c = Client();
    c.Send("*03bob%nobody@example.com*");
    EXPECT_TRUE(WaitUntil([&] { return !c.messages.isEmpty(); }));
    EXPECT_EQ(c.messages, QStringList{"13bob%2"});
}

TEST_F(ClientLink, ReminderMailsThePassword) {
    mmstest::SmtpTestServer smtp(mmstest::SmtpTestServer::Mode::Auth);
    ASSERT_TRUE(smtp.Start()) << smtp.Error().toStdString();
    db->Exec("update NormalParam set SetValue=? where SetItem='EmailPassword'",
             {smtp.HostPort() + "*Auto^" + smtp.User() + "&" + smtp.Password()});
    Start();
    TestClient &c = Client();
    c.Send("*03alice%a@x.org*");
    ASSERT_TRUE(WaitUntil([&] { return !c.messages.isEmpty(); }));
    EXPECT_EQ(c.messages, QStringList{"13alice%0"});
    const auto mails = smtp.WaitForMessages(1);
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].rcptTos, QStringList{"a@x.org"});
    EXPECT_EQ(mails[0].subject, "Quelto User Name/Password");
    EXPECT_EQ(mails[0].body.trimmed(), "UserName:alice   Password:pw-alice");
    EXPECT_TRUE(WaitForLog("Send User alice(a@x.org) find password finish."));
}

TEST_F(ClientLink, FailingReminderMailDoesNotHoldUpOtherClients) {
    db->Exec(
        "update NormalParam set SetValue=? where SetItem='EmailPassword'",
        {QStringLiteral("127.0.0.1:%1*Auto^alert@example.com&pw").arg(mmstest::FreeTcpPort())});
    Start();
    TestClient &alice = Client();
    TestClient &other = Client();
    alice.Send("*03alice%a@x.org*");
    // Both attempts and the pause between them run off the event thread:
    // another client is answered meanwhile.
    other.Send("*03zed%z*");
    ASSERT_TRUE(WaitUntil([&] { return !other.messages.isEmpty(); }));
    EXPECT_EQ(other.messages, QStringList{"13zed%2"});
    EXPECT_TRUE(alice.messages.isEmpty());

    ASSERT_TRUE(WaitUntil([&] { return !alice.messages.isEmpty(); }));
    EXPECT_EQ(alice.messages, QStringList{"13alice%1"});
    EXPECT_TRUE(WaitForLog("Send User alice(a@x.org) again find password fail."));
    EXPECT_FALSE(Logged("Send User alice(a@x.org) find password finish."));
}

TEST_F(ClientLink, FramingOfTheClientStream) {
    Start();
    TestClient &c = Client();
    // Two messages in one write.
    c.Send("*03a%1*  *03b%2*");
    // One message in two writes.
    c.Send("*03c%");
    Idle(100ms);
    c.Send("3*");
    // Two messages sharing an asterisk: only the first is handled, the rest
    // is lost with the next message.
    c.Send("*03d%4*03e%5*");
    ASSERT_TRUE(WaitUntil([&] { return c.messages.contains("13d%2"); }));
    c.Send("*03f%6*");
    // Empty, too short and unknown messages, text before the first "*".
    c.Send("**");
    c.Send("*0*");
    c.Send("*99xyz*");
    c.Send("junk*03g%7*");
    ASSERT_TRUE(WaitUntil([&] { return c.messages.contains("13g%2"); }));
    EXPECT_EQ(c.messages, (QStringList{"13a%2", "13b%2", "13c%2", "13d%2", "13f%2", "13g%2"}));
    EXPECT_TRUE(c.Connected());
}

TEST_F(ClientLink, QuotesInNamesChangeNoStatement) {
    Start();
    TestUnit &unit = Unit("Q'1");
    TestClient &obrien = Login("o'brien");
    EXPECT_EQ(obrien.messages, QStringList{"12Q'1@03&01,#2049"});
    obrien.messages.clear();

    obrien.Send("*01Q'1@02030101#O'Hall*");
    ASSERT_TRUE(WaitUntil([&] { return !obrien.Find("01Q'1@").isEmpty(); }));
    EXPECT_TRUE(obrien.Find("01Q'1@").endsWith("#O'Hall"));
    EXPECT_TRUE(WaitUntil([&] {
        return Rows("select EquipmentName, EquipmentCode from QueryHistory") ==
               std::vector<QStringList>{{"O'Hall", "Q'1"}};
    }));

    // An address built to widen the lookup finds nobody.
    TestClient &other = Client();
    other.Send("*03o'brien%x' or '1'='1*");
    ASSERT_TRUE(WaitUntil([&] { return !other.messages.isEmpty(); }));
    EXPECT_EQ(other.messages, QStringList{"13o'brien%2"});

    // The alarm report of a unit whose code holds a quote reaches its owner.
    obrien.messages.clear();
    const TSimOutFrame report = unit.Alarm();
    ASSERT_TRUE(WaitUntil([&] { return !obrien.messages.isEmpty(); }));
    EXPECT_EQ(obrien.messages,
              QStringList{"01Q'1@127.0.0.1&" + unit.Port() + "^" + Hex(report.bytes) + "#O'Hall"});

    other.Send("*0201o'brien*");
    EXPECT_TRUE(WaitUntil([&] { return obrien.Closed(); }));
    Probe(other);
    EXPECT_EQ(Rows("select UserName, UseState from UserRegister where UseState=1"),
              (std::vector<QStringList>{{"o'brien", "1"}}));
}

TEST_F(ClientLink, NamesTravelInTheClientCodePage) {
    Start();
    Unit("A002");
    const QString name = QStringLiteral("\u5f20\u4e09");
    TestClient &zhang = Login(name);
    EXPECT_EQ(zhang.messages, QStringList{"12A002@03&01,#2049"});
    zhang.messages.clear();
    EXPECT_TRUE(WaitForLog("Server->Client (UserName:" + name + "  ClientIP:127.0.0.1"));

    zhang.Send("*01A002@02030101#" + QStringLiteral("\u5927\u5385") + "*");
    ASSERT_TRUE(WaitUntil([&] { return !zhang.Find("01A002@").isEmpty(); }));
    EXPECT_TRUE(zhang.Find("01A002@").endsWith(QStringLiteral("#\u5927\u5385")));
    // The name's bytes may arrive in two pieces.
    TestClient &split = Client();
    QStringEncoder encoder(CodePage);
    const QByteArray bytes = encoder.encode("*03" + name + "%z*");
    split.SendBytes(bytes.left(4));
    Idle(100ms);
    split.SendBytes(bytes.mid(4));
    ASSERT_TRUE(WaitUntil([&] { return !split.messages.isEmpty(); }));
    EXPECT_EQ(split.messages, QStringList{"13" + name + "%2"});
}

TEST_F(ClientLink, ReceiveBufferIsEmptiedPastOneMebibyteWithoutACompleteMessage) {
    Start();
    TestClient &c = Client();
    const QByteArray chunk(64 * 1024, 'a');
    c.SendBytes("*");
    for (int i = 0; i < 18; ++i)
        c.SendBytes(chunk);
    EXPECT_TRUE(WaitForLog("Client (UserName:  IP:127.0.0.1  Port:" + c.Port() +
                           ") sent more than 1048576 characters without a complete message: "
                           "receive buffer emptied"));
    c.Send("*03z%1*");
    ASSERT_TRUE(WaitUntil([&] { return !c.messages.isEmpty(); }));
    EXPECT_EQ(c.messages, QStringList{"13z%2"});
}

} // namespace

namespace {

// An alarm report from a unit ends, a few analysis steps later, as one alert
// mail per ordinary owner, over STARTTLS, with the unit under each owner's own
// name in the attachment; the super user gets none.
TEST_F(ClientLink, AlarmReportEndsAsAnAlertMailToEachOwner) {
    mmstest::SmtpTestServer smtp(mmstest::SmtpTestServer::Mode::StartTls);
    ASSERT_TRUE(smtp.Start()) << smtp.Error().toStdString();
    db->Exec("update NormalParam set SetValue=? where SetItem='EmailPassword'",
             {smtp.HostPort() + "*TLS^" + smtp.User() + "&" + smtp.Password()});
    QFile ini(home->File(QStringLiteral("Set.ini")));
    ASSERT_TRUE(ini.open(QIODevice::Append));
    ini.write(QStringLiteral("EmailCaFile=%1\n").arg(smtp.CaFile()).toUtf8());
    ini.close();
    Start({QStringLiteral("MMS_PACE_ALARM_STEP_MS=20")});
    TestUnit &unit = Unit("A001");
    unit.Alarm();

    const auto mails = smtp.WaitForMessages(2, 30s);
    ASSERT_EQ(mails.size(), 2u);
    std::map<QString, QString> attachmentByRecipient;
    for (const auto &mail : mails) {
        EXPECT_TRUE(mail.tls);
        EXPECT_EQ(mail.authUser, smtp.User());
        ASSERT_EQ(mail.rcptTos.size(), 1);
        EXPECT_TRUE(mail.subject.endsWith(" Alert Infomation")) << mail.subject.toStdString();
        ASSERT_EQ(mail.attachments.size(), 1u);
        EXPECT_TRUE(QRegularExpression("^Alert\\d{6}\\.txt$")
                        .match(mail.attachments[0].fileName)
                        .hasMatch());
        attachmentByRecipient[mail.rcptTos[0]] = QString::fromLatin1(mail.attachments[0].data);
    }
    ASSERT_EQ(attachmentByRecipient.count("a@x.org"), 1u);
    ASSERT_EQ(attachmentByRecipient.count("b@x.org"), 1u);
    const QStringList alice = attachmentByRecipient["a@x.org"].split("\r\n");
    EXPECT_EQ(alice[0],
              "Equipment       Parameter                                Status     AlertTime");
    ASSERT_GE(alice.size(), 2);
    EXPECT_TRUE(alice[1].startsWith("Hall 2          ")) << alice[1].toStdString();
    EXPECT_TRUE(alice[1].contains("Alert     ")) << alice[1].toStdString();
    EXPECT_TRUE(attachmentByRecipient["b@x.org"].contains("\r\nBob's Hall      "));
    EXPECT_TRUE(WaitForLog("Send User alice(a@x.org) Email finish."));
    EXPECT_TRUE(WaitForLog("Send User bob(b@x.org) Email finish."));
    // The attachment files are deleted once sent.
    EXPECT_TRUE(WaitUntil(
        [&] { return QDir(home->Path()).entryList({QStringLiteral("Alert*.txt")}).isEmpty(); }));
}

// ---------------------------------------------------------------- database faults

// The PostgreSQL server shut down (pg_ctl stop -m fast) for the object's
// life, started again with its own options afterwards.
class PgShutdown {
public:
    explicit PgShutdown(TdmNet &db) {
        dir_ = db.Select(QStringLiteral("select setting from pg_settings where "
                                        "name='data_directory'"))
                   .at(0)
                   .value(0)
                   .toString();
        QFile opts(dir_ + QStringLiteral("/postmaster.opts"));
        if (!opts.open(QIODevice::ReadOnly))
            return;
        QStringList words =
            QProcess::splitCommand(QString::fromLocal8Bit(opts.readAll()).trimmed());
        if (words.isEmpty())
            return;
        pgCtl_ = QFileInfo(words.takeFirst()).absolutePath() + QStringLiteral("/pg_ctl");
        // Everything but the data folder goes to the restarted server again.
        for (qsizetype i = 0; i < words.size(); ++i) {
            if (words[i] == u"-D") {
                ++i;
                continue;
            }
            options_ << words[i];
        }
        stopped_ = PgCtl({QStringLiteral("-m"), QStringLiteral("fast"), QStringLiteral("-w"),
                          QStringLiteral("stop")});
    }
    ~PgShutdown() {
        if (stopped_)
            PgCtl({QStringLiteral("-l"), dir_ + QStringLiteral("/server.log"), QStringLiteral("-w"),
                   QStringLiteral("-o"), options_.join(u' '), QStringLiteral("start")});
    }
    bool Active() const { return stopped_; }

private:
    bool PgCtl(QStringList args) const {
        args.prepend(dir_);
        args.prepend(QStringLiteral("-D"));
        args.prepend(pgCtl_);
        QString program = args.takeFirst();
        if (::geteuid() == 0) {
            args = QStringList{QStringLiteral("-u"), QStringLiteral("postgres"),
                               QStringLiteral("--"), program} +
                   args;
            program = QStringLiteral("runuser");
        }
        QProcess p;
        p.start(program, args);
        return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit &&
               p.exitCode() == 0;
    }
    QString dir_;
    QString pgCtl_;
    QStringList options_;
    bool stopped_ = false;
};

// The database becomes unavailable for ten seconds while a registered unit
// keeps beating and sends alarm reports: they are acknowledged, each once,
// only after the database has taken them. Short statement limit and retry
// pace.
class DbFault : public ClientLink {
protected:
    void TearDown() override {
        ClientLink::TearDown();
        if (!pgName_.isEmpty()) {
            db.reset();
            mmstest::DropPgDatabase(pgName_);
        }
    }

    // Moves the server and the fixture's accounts to a new PostgreSQL database.
    void UsePostgres() {
        const DbTarget target = mmstest::CreatePgDatabase(QStringLiteral("mms_fault"));
        pgName_ = target.databaseName;
        db = std::make_unique<TdmNet>(target);
        InstallSchema(TdmNet::Session(*db).Connection(), 3, true);
        FillAccounts();
        ASSERT_TRUE(QFile::remove(home->File(QStringLiteral("MonitorData.db"))));
        home->WriteFile(
            QStringLiteral("Set.ini"),
            QStringLiteral("[Set]\nDeviceConnectPort=%1\nDataBasePort=%2\nClientConnectPort=%3\n"
                           "[Database]\nDriver=QPSQL\nHost=%4\nPort=%5\nName=%6\nUser=%7\n")
                .arg(devicePort)
                .arg(mmstest::FreeTcpPort())
                .arg(clientPort)
                .arg(target.host)
                .arg(target.port)
                .arg(target.databaseName, target.user)
                .toUtf8());
    }

    struct Outcome {
        qint64 longestReplyMs = 0; // longest wait for a heartbeat reply
        int stalls = 0;            // heartbeat replies that took over 500 ms
        int alarms = 0;            // alarm reports sent during the outage
        qint64 loginReplyMs = -1;  // wait for the reply to a login during the outage
    };

    // Runs the outage (made by begin(), ended by destroying what it returns)
    // with a unit beating every 100 ms and reporting an alarm every second.
    template <class Begin> Outcome Outage(Begin begin) {
        Outcome o;
        Start({QStringLiteral("MMS_DB_STATEMENT_LIMIT_MS=1500"),
               QStringLiteral("MMS_DB_RETRY_MS=300")});
        TestUnit &unit = Unit("A001");
        TestClient &alice = Login("alice");
        const auto beat = [&] {
            const int before = unit.Count(TSimEvent::Kind::HeartbeatReply);
            QElapsedTimer t;
            t.start();
            unit.Heartbeat();
            EXPECT_TRUE(WaitUntil(
                [&] { return unit.Count(TSimEvent::Kind::HeartbeatReply) > before; }, 5s));
            o.longestReplyMs = std::max(o.longestReplyMs, t.elapsed());
            if (t.elapsed() > 500)
                ++o.stalls;
            Idle(100ms);
        };
        {
            auto outage = begin();
            EXPECT_TRUE(outage->Active());
            QElapsedTimer t;
            t.start();
            bool asked = false;
            TestClient *bob = nullptr;
            qint64 loginSent = 0;
            while (t.elapsed() < 10000) {
                if (!bob && t.elapsed() >= 2000) {
                    // A login needs the database: it must be answered, not
                    // left waiting.
                    bob = &Client();
                    bob->Send(QStringLiteral("*0000bob*"));
                    loginSent = t.elapsed();
                }
                if (bob && o.loginReplyMs < 0 &&
                    !bob->Find(QStringLiteral("21Login fail")).isEmpty())
                    o.loginReplyMs = t.elapsed() - loginSent;
                if (t.elapsed() >= o.alarms * 1000) {
                    unit.Alarm();
                    ++o.alarms;
                }
                if (!asked && t.elapsed() >= 5000) {
                    // One read: a message that needs the database, then a
                    // query for the unit that needs none.
                    alice.messages.clear();
                    alice.Send("*0200bob**01A001@02030101#Hall 2*");
                    asked = true;
                }
                beat();
            }
            EXPECT_FALSE(alice.Find("01A001@").isEmpty()) << "no answer during the outage";
            EXPECT_GE(o.loginReplyMs, 0) << "no reply to a login during the outage";
            EXPECT_LT(o.loginReplyMs, 5000);
            // An acknowledgement says the report is stored: none while the
            // database cannot store it.
            EXPECT_EQ(unit.Count(TSimEvent::Kind::AlarmAck), 0);
        }
        EXPECT_TRUE(WaitForLog("Database available again"));
        for (int i = 0; i < 5; ++i)
            beat();
        EXPECT_TRUE(WaitUntil([&] { return unit.Count(TSimEvent::Kind::AlarmAck) == o.alarms; }));
        // The test's own connection may have seen the outage too.
        const auto count = [&](const QString &sql) {
            try {
                return Rows(sql).size();
            } catch (const DbError &) {
                return std::size_t(0);
            }
        };
        EXPECT_TRUE(WaitUntil([&] {
            return count("select * from AlarmHistory where EquipmentCode='A001'") ==
                   std::size_t(o.alarms);
        }));
        EXPECT_TRUE(WaitUntil([&] { return count("select * from QueryHistory") == 1; }));
        const QStringList lines = server.Lines();
        EXPECT_EQ(lines.filter(QStringLiteral("Database unavailable")).size(), 1);
        EXPECT_EQ(lines.filter(QStringLiteral("Database available again")).size(), 1);
        EXPECT_TRUE(
            Logged("UserName:alice  IP:127.0.0.1  Port:" + alice.Port() + ") message *02 failed"));
        return o;
    }

    QString pgName_;
};

TEST_F(DbFault, SqliteLockedByAnotherProcessCostsNoHeartbeatAndNoAlarm) {
    const QString file = home->File(QStringLiteral("MonitorData.db"));
    const Outcome o = Outage([&] { return std::make_unique<mmstest::SqliteLock>(file); });
    EXPECT_EQ(o.stalls, 0) << "longest heartbeat reply: " << o.longestReplyMs << " ms";
}

TEST_F(DbFault, PostgresStoppedWithSigstopCostsAtMostOneShortStallAndNoAlarm) {
    MMS_REQUIRE_PG_OR_SKIP();
    UsePostgres();
    const Outcome o = Outage([&] { return std::make_unique<mmstest::PgFreeze>(*db); });
    EXPECT_LE(o.stalls, 1);
    EXPECT_LE(o.longestReplyMs, 2000);
}

TEST_F(DbFault, PostgresShutDownAndRestartedCostsAtMostOneShortStallAndNoAlarm) {
    MMS_REQUIRE_PG_OR_SKIP();
    UsePostgres();
    const Outcome o = Outage([&] { return std::make_unique<PgShutdown>(*db); });
    EXPECT_LE(o.stalls, 1);
    EXPECT_LE(o.longestReplyMs, 2000);
}

} // namespace
