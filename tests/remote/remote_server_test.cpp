// The remote data service in the real server, run headless as a child
// process on a temporary SQLite home: the wire protocol over real sockets,
// the log lines, the bounds, the token and listen rules, mms-remote, and the
// administrator's task of giving a user a unit end to end.
#include "NetD.h"
#include "NormalParamTable.h"
#include "SimUnit.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTcpSocket>
#include <QThread>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <functional>

using nlohmann::json;
using namespace std::chrono_literals;

namespace {

// A remote program speaking JSON-RPC, one line each way, with blocking reads.
class RpcClient {
public:
    explicit RpcClient(quint16 port) {
        socket_.connectToHost(QStringLiteral("127.0.0.1"), port);
        connected_ = socket_.waitForConnected(5000);
    }
    bool Connected() const { return connected_; }
    quint16 LocalPort() const { return socket_.localPort(); }

    void Send(const QByteArray &bytes) {
        socket_.write(bytes);
        while (socket_.bytesToWrite() > 0 && socket_.waitForBytesWritten(10000)) {
        }
    }
    // The next reply line; nullopt when none came (closed or timed out).
    std::optional<json> Read(int timeoutMs = 10000) {
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            const qsizetype end = pending_.indexOf('\n');
            if (end >= 0) {
                const QByteArray line = pending_.left(end);
                pending_.remove(0, end + 1);
                return json::parse(line.toStdString(), nullptr, false);
            }
            if (timer.elapsed() > timeoutMs)
                return std::nullopt;
            if (socket_.bytesAvailable() <= 0 && !socket_.waitForReadyRead(100) &&
                socket_.state() != QAbstractSocket::ConnectedState)
                return std::nullopt;
            pending_ += socket_.readAll();
        }
    }
    json Call(const std::string &method, const json &params) {
        const json request = {
            {"jsonrpc", "2.0"}, {"id", ++id_}, {"method", method}, {"params", params}};
        Send(QByteArray::fromStdString(request.dump() + "\n"));
        return Read().value_or(json());
    }
    // True once the server has closed the connection.
    bool WaitClosed(int timeoutMs = 10000) {
        QElapsedTimer timer;
        timer.start();
        while (socket_.state() == QAbstractSocket::ConnectedState && timer.elapsed() < timeoutMs) {
            socket_.waitForReadyRead(100);
            pending_ += socket_.readAll();
        }
        return socket_.state() != QAbstractSocket::ConnectedState;
    }

private:
    QTcpSocket socket_;
    QByteArray pending_;
    bool connected_ = false;
    int id_ = 0;
};

int Code(const json &reply) {
    return reply.is_object() && reply.contains("error") ? reply["error"]["code"].get<int>() : 0;
}

struct ToolRun {
    int exitCode = -1;
    QString out, err;
};

class RemoteServer : public ::testing::Test {
protected:
    // Starts the server with extra [Set] lines; waits until start-up is over
    // (the client port takes connections).
    void Start(const QString &setLines = {}, const QStringList &extraEnv = {}) {
        home = mmstest::MakeSqliteHome();
        devicePort = quint16(mmstest::FreeTcpPort());
        dataPort = quint16(mmstest::FreeTcpPort());
        clientPort = quint16(mmstest::FreeTcpPort());
        home->WriteFile(QStringLiteral("Set.ini"),
                        QStringLiteral("[Set]\nDeviceConnectPort=%1\nDataBasePort=%2\n"
                                       "ClientConnectPort=%3\n%4")
                            .arg(devicePort)
                            .arg(dataPort)
                            .arg(clientPort)
                            .arg(setLines)
                            .toUtf8());
        ASSERT_TRUE(server.Start({QStringLiteral("--home"), home->Path()},
                                 QStringList{QStringLiteral("MMS_PACE_SEND_MS=40"),
                                             QStringLiteral("MMS_PACE_RECEIVE_MS=20"),
                                             QStringLiteral("MMS_PACE_CHANNEL_MS=10")} +
                                     extraEnv));
        started = true;
        ASSERT_TRUE(server.WaitForPort(clientPort)) << server.StdErr().toStdString();
    }
    void TearDown() override {
        if (started)
            server.Terminate();
        if (HasFailure())
            for (const QString &line : server.Lines())
                std::fprintf(stderr, "server: %s\n", line.toLocal8Bit().constData());
    }

    ToolRun Tool(QStringList args, const QString &token = {}) {
        QProcess p;
        args.prepend(QString::number(dataPort));
        args.prepend(QStringLiteral("--port"));
        if (!token.isEmpty())
            args << QStringLiteral("--token") << token;
        p.start(mmstest::BinaryDir() + QStringLiteral("/mms-remote"), args);
        ToolRun run;
        if (!p.waitForFinished(20000)) {
            p.kill();
            p.waitForFinished();
            return run;
        }
        run.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        run.out = QString::fromUtf8(p.readAllStandardOutput());
        run.err = QString::fromUtf8(p.readAllStandardError());
        return run;
    }

    QString ServiceLine(const char *what) const {
        return QStringLiteral("DataBase (IP:127.0.0.1  Port:%1) %2").arg(dataPort).arg(what);
    }

    std::unique_ptr<mmstest::TestHome> home;
    quint16 devicePort = 0, dataPort = 0, clientPort = 0;
    mmstest::ServerProcess server;
    bool started = false;
};

TEST_F(RemoteServer, EchoReverseAndConnectLinesWithTheServicesOwnPort) {
    Start();
    {
        RpcClient client(dataPort);
        ASSERT_TRUE(client.Connected());
        ASSERT_NE(client.LocalPort(), dataPort);
        EXPECT_EQ(client.Call("EchoString", {""})["result"], "");
        EXPECT_EQ(client.Call("ReverseString", {"abc"})["result"], "cba");
        EXPECT_EQ(client.Call("EchoString", {{"Value", "x y"}})["result"], "x y");
        ASSERT_TRUE(server.WaitForLine(ServiceLine("connected")));
        // A statement's error goes to its client only.
        const json failed = client.Call("DataSetProvider1.Execute", {"select * from NoSuchTable"});
        EXPECT_EQ(Code(failed), -32000);
        EXPECT_NE(failed["error"]["message"].get<std::string>().find("NoSuchTable"),
                  std::string::npos);
    }
    const auto closed = server.WaitForLine(ServiceLine("disconnected"));
    ASSERT_TRUE(closed);
    EXPECT_TRUE(closed->contains(QStringLiteral("->DataBase (IP:")));
    for (const QString &line : server.Lines())
        EXPECT_FALSE(line.contains(QStringLiteral("NoSuchTable"))) << line.toStdString();
}

TEST_F(RemoteServer, MalformedInputIsAnsweredAndOverlongLineClosesTheConnection) {
    Start();
    RpcClient client(dataPort);
    ASSERT_TRUE(client.Connected());
    for (const QByteArray &bad :
         {QByteArray("{not json\n"), QByteArray("\xff\xfe\x80\n"),
          QByteArray(R"({"jsonrpc":"2.0","id":1,"method":"EchoString","params":[")"
                     "\xc3\x28"
                     R"("]})"
                     "\n")}) {
        client.Send(bad);
        const auto reply = client.Read();
        ASSERT_TRUE(reply) << bad.toStdString();
        EXPECT_EQ(Code(*reply), -32700) << bad.toStdString();
        EXPECT_EQ(client.Call("EchoString", {"ok"})["result"], "ok");
    }
    // 16 MiB and one byte without an end of line: an error, then the close.
    client.Send(QByteArray((16 << 20) + 1, 'x'));
    const auto reply = client.Read(30000);
    ASSERT_TRUE(reply);
    EXPECT_EQ(Code(*reply), -32003);
    EXPECT_TRUE(client.WaitClosed());
    // The service goes on for others.
    RpcClient other(dataPort);
    EXPECT_EQ(other.Call("EchoString", {"still"})["result"], "still");
}

TEST_F(RemoteServer, TwoClientsHaveProvidersOfTheirOwn) {
    Start();
    RpcClient first(dataPort), second(dataPort);
    EXPECT_EQ(
        first.Call(
            "DataSetProvider1.ApplyUpdates",
            {{"tableName", "UserEquipment"},
             {"delta",
              {{{"op", "insert"}, {"new", {{"UserName", "alice"}, {"EquipmentCode", "A001"}}}},
               {{"op", "insert"},
                {"new", {{"UserName", "bob"}, {"EquipmentCode", "B001"}}}}}}})["result"]["applied"],
        2);
    const json units =
        first.Call("DataSetProvider1.GetRecords", {{"commandText", "select * from UserEquipment"}});
    ASSERT_EQ(units["result"]["rows"].size(), 2u);
    // The second reads another table and deletes one of the first's rows.
    EXPECT_EQ(Code(second.Call("DataSetProvider1.GetRecords",
                               {{"commandText", "select * from NormalParam"}})),
              0);
    EXPECT_EQ(
        second.Call("DataSetProvider1.Execute",
                    {"delete from UserEquipment where UserName = 'bob'"})["result"]["rowsAffected"],
        1);
    // The first's delta still goes to the table it read: alice's row is
    // deleted, bob's (gone) fails and rolls that delta back.
    const json row = units["result"]["rows"][0];
    const json alice = {{"UserName", row[0]}, {"EquipmentCode", row[1]}};
    EXPECT_EQ(first.Call("DataSetProvider1.ApplyUpdates",
                         {{"delta", {{{"op", "delete"}, {"old", alice}}}}})["result"]["applied"],
              1);
    EXPECT_EQ(Code(first.Call("DataSetProvider1.ApplyUpdates",
                              {{"delta", {{{"op", "delete"}, {"old", {{"UserName", "bob"}}}}}}})),
              -32000);
    EXPECT_TRUE(second
                    .Call("DataSetProvider1.GetRecords",
                          {{"commandText", "select * from UserEquipment"}})["result"]["rows"]
                    .empty());
}

TEST_F(RemoteServer, TokenMustComeFirstAndThreeFailuresClose) {
    Start(QStringLiteral("DataBaseToken=s3cret\n"));
    RpcClient client(dataPort);
    EXPECT_EQ(Code(client.Call("EchoString", {"a"})), -32001);
    EXPECT_EQ(Code(client.Call("Login", {"guess"})), -32001);
    EXPECT_EQ(Code(client.Call("Login", {"guess2"})), -32001);
    EXPECT_TRUE(client.WaitClosed());

    RpcClient good(dataPort);
    EXPECT_EQ(good.Call("Login", {"s3cret"})["result"], true);
    EXPECT_EQ(good.Call("EchoString", {"a"})["result"], "a");

    const ToolRun refused = Tool({QStringLiteral("select * from UserRegister")});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(refused.err.contains(QStringLiteral("Login required")))
        << refused.err.toStdString();
    const ToolRun wrong = Tool({QStringLiteral("select * from UserRegister")}, "nope");
    EXPECT_EQ(wrong.exitCode, 1);
    EXPECT_TRUE(wrong.err.contains(QStringLiteral("Login failed"))) << wrong.err.toStdString();
    const ToolRun ok = Tool({QStringLiteral("select * from UserRegister")}, "s3cret");
    EXPECT_EQ(ok.exitCode, 0) << ok.err.toStdString();
    EXPECT_TRUE(ok.out.startsWith(QStringLiteral("UserName"))) << ok.out.toStdString();
    // One line per episode of failures from an address: the two guesses, then
    // (after the good login ended that one) the tool's wrong token.
    const auto failures = [&] {
        return server.Lines().filter(QStringLiteral("login failed")).size();
    };
    // Both lines come (a loaded machine may take a while), and no third.
    EXPECT_TRUE(
        mmstest::PumpEventsUntil([&] { return failures() >= 2; }, std::chrono::seconds(20)));
    QThread::msleep(300);
    EXPECT_EQ(failures(), 2) << server.Lines().join(u'\n').toStdString();
}

TEST_F(RemoteServer, BeyondLoopbackWithoutTokenIsRefusedAndTheServerRunsOn) {
    Start(QStringLiteral("DataBaseListen=0.0.0.0\n"));
    const auto red = server.WaitForLine(QStringLiteral("DataBase service not started"));
    ASSERT_TRUE(red);
    EXPECT_TRUE(red->contains(QStringLiteral("DataBaseListen")));
    EXPECT_TRUE(red->contains(QStringLiteral("DataBaseToken")));
    EXPECT_TRUE(server.StdErr().contains(QStringLiteral("DataBaseToken")));
    RpcClient client(dataPort);
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(server.Process().state(), QProcess::Running);
}

TEST_F(RemoteServer, BeyondLoopbackAShortTokenIsRefused) {
    Start(QStringLiteral("DataBaseListen=0.0.0.0\nDataBaseToken=t0ken\n"));
    const auto red = server.WaitForLine(QStringLiteral("DataBase service not started"));
    ASSERT_TRUE(red);
    EXPECT_TRUE(red->contains(QStringLiteral("has 5 characters: at least 16")))
        << red->toStdString();
    EXPECT_FALSE(RpcClient(dataPort).Connected());
}

TEST_F(RemoteServer, BeyondLoopbackWithTokenListens) {
    Start(QStringLiteral("DataBaseListen=0.0.0.0\nDataBaseToken=t0ken-t0ken-t0ken\n"));
    RpcClient client(dataPort);
    ASSERT_TRUE(client.Connected());
    EXPECT_EQ(Code(client.Call("EchoString", {"a"})), -32001);
    EXPECT_EQ(client.Call("Login", {"t0ken-t0ken-t0ken"})["result"], true);
    EXPECT_EQ(client.Call("ReverseString", {"ab"})["result"], "ba");
}

TEST_F(RemoteServer, AtMostSixtyFourConnections) {
    Start();
    std::vector<std::unique_ptr<RpcClient>> clients;
    for (int i = 0; i < 64; ++i) {
        clients.push_back(std::make_unique<RpcClient>(dataPort));
        ASSERT_EQ(clients.back()->Call("EchoString", {"n"})["result"], "n") << i;
    }
    RpcClient extra(dataPort);
    const auto refused = extra.Read();
    ASSERT_TRUE(refused);
    EXPECT_EQ(Code(*refused), -32000);
    EXPECT_TRUE(extra.WaitClosed());
    // A place freed is a place taken again.
    clients.pop_back();
    ASSERT_TRUE(server.WaitForLine(ServiceLine("disconnected")));
    bool served = false;
    for (int i = 0; i < 50 && !served; ++i) {
        RpcClient again(dataPort);
        served = again.Call("EchoString", {"back"})["result"] == "back";
        if (!served)
            QThread::msleep(50);
    }
    EXPECT_TRUE(served);
}

// An equipment unit on a real connection, pumped by the test.
class Unit {
public:
    Unit(const QString &code, quint16 port)
        : unit_(TSimIdentity{code, 0x03, 0x1234, 1},
                std::make_shared<const TSimParamTable>(TSimParamTable::BuiltIn())) {
        socket_.connectToHost(QStringLiteral("127.0.0.1"), port);
        socket_.waitForConnected(5000);
    }
    void Heartbeat() {
        socket_.write(unit_.MakeHeartbeat().bytes);
        socket_.flush();
    }
    void Pump() {
        if (socket_.bytesAvailable() <= 0)
            return;
        for (TSimEvent &e : unit_.Feed(socket_.readAll())) {
            if (e.reply) {
                socket_.write(e.reply->bytes);
                socket_.flush();
            }
            kinds.push_back(e.kind);
        }
    }
    int Count(TSimEvent::Kind kind) const {
        return int(std::count(kinds.begin(), kinds.end(), kind));
    }
    std::vector<TSimEvent::Kind> kinds;

private:
    TSimUnit unit_;
    QTcpSocket socket_;
};

// A user client of the text protocol (ASCII names only), collecting the
// messages between asterisks.
class User {
public:
    User(const QString &name, quint16 port) {
        socket_.connectToHost(QStringLiteral("127.0.0.1"), port);
        socket_.waitForConnected(5000);
        Send(QStringLiteral("*0000") + name + u'*');
    }
    void Send(const QString &text) {
        socket_.write(text.toLatin1());
        socket_.flush();
    }
    void Pump() {
        pending_ += QString::fromLatin1(socket_.readAll());
        for (;;) {
            const qsizetype open = pending_.indexOf(u'*');
            const qsizetype close = open < 0 ? -1 : pending_.indexOf(u'*', open + 1);
            if (close < 0)
                return;
            messages << pending_.mid(open + 1, close - open - 1);
            pending_.remove(0, close + 1);
        }
    }
    bool Has(const QString &prefix) const {
        return std::any_of(messages.begin(), messages.end(),
                           [&](const QString &m) { return m.startsWith(prefix); });
    }
    QStringList messages;

private:
    QTcpSocket socket_;
    QString pending_;
};

TEST_F(RemoteServer, AssigningAUnitWithMmsRemotePutsItOnLineForItsUser) {
    Start();
    std::vector<Unit *> units;
    std::vector<User *> users;
    const auto waitUntil = [&](const std::function<bool()> &done, int ms = 15000) {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < ms) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            for (Unit *u : units)
                u->Pump();
            for (User *u : users)
                u->Pump();
            if (done())
                return true;
            QThread::msleep(5);
        }
        return false;
    };

    // Before: the unit's heartbeat is answered, but it belongs to nobody and
    // its user sees nothing on line.
    Unit unit(QStringLiteral("R900"), devicePort);
    units.push_back(&unit);
    unit.Heartbeat();
    ASSERT_TRUE(waitUntil([&] { return unit.Count(TSimEvent::Kind::HeartbeatReply) == 1; }));
    {
        User before(QStringLiteral("dora"), clientPort);
        users.push_back(&before);
        waitUntil([] { return false; }, 500);
        EXPECT_FALSE(before.Has(QStringLiteral("12"))) << before.messages.join(',').toStdString();
        users.clear();
    }

    // The administrator's task: an account and the assignment, as delta files.
    home->WriteFile(QStringLiteral("user.json"),
                    R"([{"op":"insert","new":{"UserName":"dora","UserPassword":"pw",)"
                    R"("Email":"dora@example.org","UseState":0}}])");
    home->WriteFile(QStringLiteral("unit.json"),
                    R"({"tableName":"UserEquipment","delta":[{"op":"insert","new":)"
                    R"({"UserName":"dora","EquipmentCode":"R900","EquipmentName":"Mast 9"}}]})");
    const ToolRun user = Tool({QStringLiteral("--table"), QStringLiteral("UserRegister"),
                               QStringLiteral("--apply"), home->File(QStringLiteral("user.json"))});
    ASSERT_EQ(user.exitCode, 0) << user.err.toStdString();
    EXPECT_EQ(user.out.trimmed(), QStringLiteral("1 changes applied"));
    const ToolRun assign =
        Tool({QStringLiteral("--apply"), home->File(QStringLiteral("unit.json"))});
    ASSERT_EQ(assign.exitCode, 0) << assign.err.toStdString();
    const ToolRun check = Tool(
        {QStringLiteral("--csv"), QStringLiteral("select UserName, EquipmentCode, EquipmentName "
                                                 "from UserEquipment where UserName = 'dora'")});
    EXPECT_EQ(check.out,
              QStringLiteral("UserName,EquipmentCode,EquipmentName\ndora,R900,Mast 9\n"));

    // After: the next heartbeat registers the unit, its user sees it on line
    // and its answers reach the user.
    unit.Heartbeat();
    ASSERT_TRUE(waitUntil([&] { return unit.Count(TSimEvent::Kind::HeartbeatReply) == 2; }));
    User dora(QStringLiteral("dora"), clientPort);
    users.push_back(&dora);
    ASSERT_TRUE(waitUntil([&] { return dora.Has(QStringLiteral("12R900@")); }))
        << dora.messages.join(',').toStdString();
    dora.Send(QStringLiteral("*01R900@02030101#Mast 9*"));
    ASSERT_TRUE(waitUntil([&] { return dora.Has(QStringLiteral("01R900@")); }))
        << dora.messages.join(',').toStdString();
    EXPECT_EQ(unit.Count(TSimEvent::Kind::Query), 1);
}

// A raw connection to the service, pumped by the test; one that does not read
// keeps the bytes in the kernel (a small read buffer stops Qt taking them).
class RawClient {
public:
    RawClient(quint16 port, bool reads) : reads_(reads) {
        if (!reads)
            socket_.setReadBufferSize(1024);
        socket_.connectToHost(QStringLiteral("127.0.0.1"), port);
        socket_.waitForConnected(5000);
    }
    void Send(const QByteArray &bytes) { socket_.write(bytes); }
    void Pump() {
        socket_.flush();
        if (reads_)
            pending_ += socket_.readAll();
    }
    // The error code of the first reply line not dropped yet, 0 for a
    // result, nullopt while none came.
    std::optional<int> FirstCode() const {
        const qsizetype end = pending_.indexOf('\n');
        if (end < 0)
            return std::nullopt;
        return Code(json::parse(pending_.left(end).toStdString(), nullptr, false));
    }
    void DropFirst() { pending_.remove(0, pending_.indexOf('\n') + 1); }
    bool Connected() const { return socket_.state() == QAbstractSocket::ConnectedState; }

private:
    QTcpSocket socket_;
    QByteArray pending_;
    bool reads_;
};

QByteArray Line(const std::string &method, const std::string &params) {
    return QByteArray::fromStdString(R"({"jsonrpc":"2.0","id":1,"method":")" + method +
                                     R"(","params":)" + params + "}\n");
}

std::string Repeat(const std::string &part, int n, const std::string &separator = {}) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += (i ? separator : std::string()) + part;
    return out;
}

const std::string Token = "a-token-of-24-characters";

// Rows enough for a reply of about 200 MB.
const std::string HugeRead =
    R"({"commandText":"with recursive n(i) as (select 1 union all select i + 1 from n )"
    R"(where i < 2000000) select i, printf('%090d', i) from n"})";

// The unit beats every 250 ms while the test waits for done (at most
// timeoutMs); true when done came. Every beat must be answered.
bool WhileUnitBeats(Unit &unit, const std::function<bool()> &done, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    const int answeredBefore = unit.Count(TSimEvent::Kind::HeartbeatReply);
    int beats = 0;
    bool finished = false;
    while (clock.elapsed() < timeoutMs && !(finished = done())) {
        if (clock.elapsed() >= beats * 250) {
            unit.Heartbeat();
            ++beats;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        unit.Pump();
        QThread::msleep(2);
    }
    // The beats sent are answered within a second of the last.
    QElapsedTimer grace;
    grace.start();
    while (unit.Count(TSimEvent::Kind::HeartbeatReply) < answeredBefore + beats &&
           grace.elapsed() < 1000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        unit.Pump();
    }
    EXPECT_EQ(unit.Count(TSimEvent::Kind::HeartbeatReply), answeredBefore + beats);
    return finished;
}

TEST_F(RemoteServer, HostileRequestsAreAnsweredInTimeWhileAUnitIsServed) {
    Start(QStringLiteral("DataBaseToken=%1\n").arg(QString::fromStdString(Token)),
          {QStringLiteral("MMS_REMOTE_LOGIN_MS=1500"), QStringLiteral("MMS_REMOTE_STALL_MS=1500")});
    Unit unit(QStringLiteral("R901"), devicePort);
    const QByteArray login = Line("Login", "[\"" + Token + "\"]");
    std::string keys;
    for (int i = 0; i < 200000; ++i)
        keys += (i ? ",\"" : "\"") + std::to_string(i) + "\":{}";
    const QString noLogin = QStringLiteral("disconnected: no login within 1.5 s");
    const QString notReading = QStringLiteral("disconnected: took no reply bytes for 1.5 s");

    const struct {
        const char *name;
        bool logIn;
        QByteArray request;
        int code;     // the reply's error code; 1: the connection is closed instead
        QString line; // the log line that ends the connection, if any
        bool reads = true;
    } cases[] = {
        {"key flood", true, Line("EchoString", "{" + keys + "}"), -32602, {}},
        {"array flood",
         true,
         Line("EchoString", "[" + Repeat("{}", 400000, ",") + "]"),
         -32602,
         {}},
        {"deep nesting",
         true,
         Line("EchoString", Repeat("[", 100000) + Repeat("]", 100000)),
         -32600,
         {}},
        {"invalid UTF-8", true, Line("EchoString", "[\"\xff\xfe\"]"), -32700, {}},
        {"call before login", false, Line("EchoString", "[\"a\"]"), -32001, {}},
        // Closed while the client still sends: the reply may be lost to the reset.
        {"key flood before login", false, Line("EchoString", "{" + keys + "}"), 1, {}},
        {"huge line before login", false, QByteArray(1 << 20, 'x'), 1, {}},
        {"silent client", false, QByteArray(), 1, noLogin},
        {"one byte at a time", false, QByteArray("{"), 1, noLogin},
        {"client that does not read", true, Line("DataSetProvider1.GetRecords", HugeRead), 1,
         notReading, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        RawClient client(dataPort, c.reads);
        ASSERT_TRUE(client.Connected());
        if (c.logIn) {
            client.Send(login);
            // A client that does not read leaves the small login reply unread.
            if (c.reads) {
                ASSERT_TRUE(WhileUnitBeats(
                    unit, [&] { return client.Pump(), client.FirstCode().has_value(); }, 5000));
                ASSERT_EQ(client.FirstCode(), 0);
                client.DropFirst();
            }
        }
        const int linesBefore = int(server.Lines().size());
        client.Send(c.request);
        QElapsedTimer clock;
        clock.start();
        qint64 nextByte = 100;
        const bool done = WhileUnitBeats(
            unit,
            [&] {
                client.Pump();
                if (c.request == "{" && clock.elapsed() >= nextByte) {
                    client.Send("{");
                    nextByte += 100;
                }
                if (!c.line.isEmpty()) {
                    const QStringList lines = server.Lines().mid(linesBefore);
                    return std::any_of(lines.begin(), lines.end(),
                                       [&](const QString &l) { return l.contains(c.line); });
                }
                return client.FirstCode().has_value() || (c.code == 1 && !client.Connected());
            },
            6000);
        ASSERT_TRUE(done);
        EXPECT_LT(clock.elapsed(), 5000);
        if (c.code != 1) {
            EXPECT_EQ(client.FirstCode(), c.code);
        } else if (c.line.isEmpty() && client.FirstCode()) {
            EXPECT_EQ(client.FirstCode(), -32003);
        }
    }
}

TEST_F(RemoteServer, SigtermDuringBusyRemoteCallsExitsAtOnceWithTheCountersSaved) {
    Start();
    // Readers that take nothing of their huge replies, and a statement that
    // would compute for a long time.
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 8; ++i) {
        clients.push_back(std::make_unique<RawClient>(dataPort, false));
        clients.back()->Send(Line("DataSetProvider1.GetRecords", HugeRead));
        clients.back()->Pump();
    }
    clients.push_back(std::make_unique<RawClient>(dataPort, true));
    clients.back()->Send(Line("DataSetProvider1.GetRecords",
                              R"({"commandText":"with recursive n(i) as (select 1 union all )"
                              R"(select i + 1 from n) select count(*) from n"})"));
    clients.back()->Pump();
    // Until the calls are under way.
    QElapsedTimer wait;
    wait.start();
    while (wait.elapsed() < 1000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        for (auto &c : clients)
            c->Pump();
    }

    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(server.Terminate(), 0) << server.StdErr().toStdString();
    EXPECT_LT(clock.elapsed(), 2000);
    started = false;
    TdmNet db(home->SqliteTarget());
    EXPECT_TRUE(TNormalParamTable(db).Lookup(QStringLiteral("HandPackFlagNumber")));
    EXPECT_TRUE(TNormalParamTable(db).Lookup(QStringLiteral("CirclePackFlagNumber")));
}

} // namespace
