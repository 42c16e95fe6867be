// The equipment link: request queues and serial numbers, received-packet
// processing, and the equipment TCP server, in-process on a free port with a
// stand-in client server, and as part of the real server process.
#include "ClientTcp.h"
#include "ConvertError.h"
#include "EquipmentBase.h"
#include "EquipmentFrames.h"
#include "EquipmentTcp.h"
#include "NetD.h"
#include "NormalParamTable.h"
#include "ParamDictionary.h"
#include "PublicU.h"
#include "TempHistory.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSqlRecord>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <gtest/gtest.h>

#include <random>

// Readable QString values in failure messages.
void PrintTo(const QString &s, std::ostream *os) {
    *os << '"' << s.toStdString() << '"';
}

using namespace std::chrono_literals;
using eqtest::Bytes;
using eqtest::Content;
using eqtest::Frame;
using eqtest::FrameText;
using eqtest::Heartbeat;
using eqtest::HeartbeatContent;
using eqtest::HeartbeatReply;
using eqtest::Hex;
using eqtest::Unescaped;

namespace {

const QString Cr(QChar(13));

struct LogLine {
    QString text;
    quint32 colour;
    bool operator==(const LogLine &) const = default;
};

void PrintTo(const LogLine &l, std::ostream *os) {
    *os << "(" << l.text.toStdString() << ", " << std::hex << l.colour << ")";
}

// The client server as the equipment link sees it.
class StandInClient : public TClientLink {
public:
    QString EquipmentBroadcast(const QString &EquipmentCode, const QString &message) override {
        broadcasts.push_back({EquipmentCode, message});
        return receivers;
    }
    bool SendToClient(const QString &clientIp, int clientPort, const QString &text) override {
        sent.push_back({clientIp, clientPort, text});
        return true;
    }
    QString UserBroadcast(const QString &UserName, const QString &EquipmentName,
                          const QString &message) override {
        userBroadcasts.push_back({UserName, EquipmentName + '|' + message});
        return receivers;
    }

    struct Sent {
        QString ip;
        int port;
        QString text;
        bool operator==(const Sent &) const = default;
    };
    QString receivers; // the description EquipmentBroadcast returns
    std::vector<std::pair<QString, QString>> broadcasts;
    // (user, name|message) of each one-account notice.
    std::vector<std::pair<QString, QString>> userBroadcasts;
    std::vector<Sent> sent;
};

// What the fleet observer is told, as "beat code@address:port registered"
// and "gone code@address:port".
class RecordingPresence : public TUnitPresence {
public:
    void UnitHeartbeat(const TEquipmentIdentity &id, const QString &address, int port,
                       bool registered) override {
        calls << QStringLiteral("beat %1@%2:%3 %4")
                     .arg(id.EquipmentCode, address)
                     .arg(port)
                     .arg(registered ? "registered" : "unowned");
    }
    void UnitGone(const QString &EquipmentCode, const QString &address, int port) override {
        calls << QStringLiteral("gone %1@%2:%3").arg(EquipmentCode, address).arg(port);
    }
    QStringList calls;
};

void PrintTo(const StandInClient::Sent &s, std::ostream *os) {
    *os << "(" << s.ip.toStdString() << ":" << s.port << ", " << s.text.toStdString() << ")";
}

// The transport-independent link with the send captured instead of written.
class RecordingEquipment : public TEquipmentBase {
public:
    explicit RecordingEquipment(TCommInfoHint hint = {}, TLinkPaces paces = {})
        : TEquipmentBase(std::move(hint), {}, paces) {}
    void SendToNet(const TSendBodyRecord &body) override {
        sent.push_back(body);
        TEquipmentBase::SendToNet(body); // records the pending request
    }
    // One tick of the send pace; returns what left.
    std::vector<TSendBodyRecord> Tick() {
        sent.clear();
        timSendDataPackTimer();
        return sent;
    }
    std::vector<TSendBodyRecord> sent;
};

template <class Pred> bool WaitUntil(Pred pred, std::chrono::milliseconds timeout = 10s) {
    return mmstest::PumpEventsUntil(pred, timeout);
}

// One equipment unit: a client socket on the event thread of the test.
class Unit {
public:
    explicit Unit(quint16 serverPort) { socket.connectToHost(QHostAddress::LocalHost, serverPort); }
    void Send(const QByteArray &bytes) {
        socket.write(bytes);
        socket.flush();
    }
    const QByteArray &Received() {
        received += socket.readAll();
        return received;
    }
    bool WaitReceived(qsizetype bytes) {
        return WaitUntil([&] { return Received().size() >= bytes; });
    }
    quint16 Port() const { return socket.localPort(); }
    QString PortText() const { return QString::number(socket.localPort()); }
    bool Closed() const { return socket.state() == QAbstractSocket::UnconnectedState; }

    QTcpSocket socket;
    QByteArray received;
};

std::vector<TTempHistoryInfo> TempHistory() {
    std::lock_guard guard(lstTempHistoryLock);
    std::vector<TTempHistoryInfo> out;
    for (const auto &e : lstTempHistory)
        out.push_back(*e);
    return out;
}

// The reports queued for the alarm analysis, oldest first, as
// "code#data@time".
QStringList AlertStrings() {
    QStringList out;
    for (const QSqlRecord &r : dmNet->Select(QStringLiteral(
             "select EquipmentCode, DataBody, AlertTime from AlarmQueue order by QueueId")))
        out << r.value(0).toString() + '#' + r.value(1).toString() + '@' + r.value(2).toString();
    return out;
}

int AlarmRows(const QString &code) {
    return dmNet
        ->Select(QStringLiteral("select count(*) from AlarmHistory where EquipmentCode=?"),
                 {code})[0]
        .value(0)
        .toInt();
}

class EquipmentLinkTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "equipment_link_test";
        static char *argv[] = {name, nullptr};
        if (!QCoreApplication::instance())
            new QCoreApplication(argc, argv); // lives until the process ends
    }

    void SetUp() override {
        home_ = mmstest::MakeSqliteHome();
        const DbTarget target = home_->SqliteTarget();
        db_ = std::make_unique<TdmNet>(target);
        db_->Open();
        dmNet = db_.get();
        LoadParamProperyList(TableReaderFor(*dmNet));
        ShowInfoHint = true;
        MaxPackageLen = 2049;
        HandPackFlagNumber = 0;
        CirclePackFlagNumber = 0x6000;
        sysShortDate = QStringLiteral("yyyy-MM-dd");
        {
            std::lock_guard guard(lstTempHistoryLock);
            lstTempHistory.clear();
        }
        std::lock_guard guard(lstAlertStringLock);
        lstAlertString.clear();
    }

    void TearDown() override {
        server_.reset();
        dmNet = nullptr;
        db_.reset();
    }

    TCommInfoHint Logger() {
        return [this](const TLogEvent &e) {
            log_.push_back({e.text, e.colour});
            events_.push_back(e);
        };
    }

    // An equipment server on a free port whose paces are driven by hand.
    TEquipmentTcp &StartServer() {
        TLinkPaces paces;
        paces.sendTick = paces.receiveTick = paces.livenessTick = 1h;
        server_ = std::make_unique<TEquipmentTcp>(
            0, Logger(), [this](int n) { counts_.push_back(n); }, paces);
        EXPECT_TRUE(server_->IsListening()) << server_->ListenError().toStdString();
        server_->SetClientLink(&client_);
        server_->SetClock([this] { return clock_; });
        return *server_;
    }

    // Connects a unit and waits until the server has accepted it.
    std::unique_ptr<Unit> Connect() {
        const int before = server_->GetEquipmentConnectCount();
        auto unit = std::make_unique<Unit>(server_->ServerPort());
        EXPECT_TRUE(WaitUntil([&] {
            return unit->socket.state() == QAbstractSocket::ConnectedState &&
                   server_->GetEquipmentConnectCount() == before + 1;
        }));
        return unit;
    }

    // Sends a heartbeat and waits for its reply (and whatever else comes with it).
    void Beat(Unit &unit, const QByteArray &code, std::uint32_t station, std::uint8_t num = 1,
              std::uint8_t type = 3, qsizetype alsoExpected = 0) {
        const QByteArray content = HeartbeatContent(code, station, num, type);
        const qsizetype before = unit.Received().size();
        unit.Send(Frame(content));
        ASSERT_TRUE(unit.WaitReceived(before + HeartbeatReply(content).size() + alsoExpected));
        EXPECT_EQ(unit.received.mid(before, HeartbeatReply(content).size()),
                  HeartbeatReply(content));
    }

    void Own(const QString &code, const QString &user, const QString &name,
             const QString &type = QStringLiteral("03")) {
        dmNet->Exec(QStringLiteral("insert into UserEquipment (UserName, EquipmentCode, "
                                   "EquipmentName, EquipmentType) values (?, ?, ?, ?)"),
                    {user, code, name, type});
    }

    bool Logged(const QString &text, quint32 colour) const {
        return std::find(log_.begin(), log_.end(), LogLine{text, colour}) != log_.end();
    }
    int CountLogged(const QString &part) const {
        return static_cast<int>(std::count_if(
            log_.begin(), log_.end(), [&](const LogLine &l) { return l.text.contains(part); }));
    }

    std::unique_ptr<mmstest::TestHome> home_;
    std::unique_ptr<TdmNet> db_;
    StandInClient client_;
    std::vector<LogLine> log_;
    std::vector<TLogEvent> events_;
    std::vector<int> counts_;
    QDateTime clock_ = QDateTime(QDate(2024, 3, 9), QTime(14, 30, 25));
    std::unique_ptr<TEquipmentTcp> server_;
};

// ---------------------------------------------------------------------------
// Queues and serial numbers (no transport)

TEST_F(EquipmentLinkTest, OneRequestPerClientConnectionLeavesPerTick) {
    RecordingEquipment link;
    const QString a = QStringLiteral("10.0.0.5");
    const QString b = QStringLiteral("10.0.0.6");
    for (const char *d : {"A1", "A2", "A3"})
        link.AddDataPackage("bob", "Hall 2", "UNIT-A", "02", 0, a, 40321, d);
    link.AddDataPackage("eve", "Roof", "UNIT-B", "03", 0, b, 40999, "B1");

    auto dictates = [](const std::vector<TSendBodyRecord> &bodies) {
        QStringList out;
        for (const auto &body : bodies)
            out.append(body.ClientIp + QLatin1Char(':') + body.SendPack.mid(12));
        return out;
    };
    EXPECT_EQ(dictates(link.Tick()), (QStringList{a + ":A1", b + ":B1"}));
    EXPECT_EQ(dictates(link.Tick()), (QStringList{a + ":A2"}));
    EXPECT_EQ(dictates(link.Tick()), (QStringList{a + ":A3"}));
    EXPECT_TRUE(link.Tick().empty());

    // A client whose sub-queue was removed starts a new one behind the others.
    link.AddDataPackage("eve", "Roof", "UNIT-B", "02", 0, b, 40999, "B2");
    link.AddDataPackage("bob", "Hall 2", "UNIT-A", "02", 0, a, 40321, "A4");
    EXPECT_EQ(dictates(link.Tick()), (QStringList{b + ":B2", a + ":A4"}));
}

struct SerialCase {
    const char *name;
    int hand;   // HandPackFlagNumber before
    int circle; // CirclePackFlagNumber before
    int sendMode;
    QStringList sendPacks; // of two requests queued one after the other
    int handAfter;
    int circleAfter;
};

class SerialNumbers : public EquipmentLinkTest, public ::testing::WithParamInterface<SerialCase> {};

TEST_P(SerialNumbers, AreDrawnFromTheirSpace) {
    const SerialCase &c = GetParam();
    HandPackFlagNumber = c.hand;
    CirclePackFlagNumber = c.circle;
    RecordingEquipment link;
    link.AddDataPackage("bob", "", "UNIT-A", "02", c.sendMode, "10.0.0.5", 1, "040101");
    link.AddDataPackage("bob", "", "UNIT-A", "02", c.sendMode, "10.0.0.6", 1, "040101");
    const auto sent = link.Tick();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].SendPack, c.sendPacks[0]);
    EXPECT_EQ(sent[1].SendPack, c.sendPacks[1]);
    EXPECT_EQ(sent[0].QueryMode, c.sendMode == 1 ? "Poll" : "General");
    EXPECT_EQ(HandPackFlagNumber.load(), c.handAfter);
    EXPECT_EQ(CirclePackFlagNumber.load(), c.circleAfter);
}

INSTANTIATE_TEST_SUITE_P(Wrap, SerialNumbers,
                         ::testing::Values(SerialCase{"GeneralFromStart",
                                                      0,
                                                      0x6000,
                                                      0,
                                                      {"0100800102FF040101", "0200800102FF040101"},
                                                      2,
                                                      0x6000},
                                           SerialCase{"GeneralWrapsAfter5FFF",
                                                      0x5FFE,
                                                      0x6000,
                                                      0,
                                                      {"FF5F800102FF040101", "0100800102FF040101"},
                                                      1,
                                                      0x6000},
                                           SerialCase{"PollWrapsAfter7FFF",
                                                      0,
                                                      0x7FFE,
                                                      1,
                                                      {"FF7F800102FF040101", "0160800102FF040101"},
                                                      0,
                                                      0x6001},
                                           // A damaged stored counter restarts its own space.
                                           SerialCase{"NegativeGeneralCounterRestarts",
                                                      -5,
                                                      0x6000,
                                                      0,
                                                      {"0100800102FF040101", "0200800102FF040101"},
                                                      2,
                                                      0x6000},
                                           SerialCase{"PollCounterBelowItsSpaceRestarts",
                                                      0,
                                                      0,
                                                      1,
                                                      {"0160800102FF040101", "0260800102FF040101"},
                                                      0,
                                                      0x6002}),
                         [](const ::testing::TestParamInfo<SerialCase> &info) {
                             return std::string(info.param.name);
                         });

TEST_F(EquipmentLinkTest, AcknowledgementAndParameterListRequestsAreBuiltAndNotRecorded) {
    RecordingEquipment link;
    link.AddDataPackage("", "", "UNIT-A", "01", 0, "", 0, "3480");
    link.AddDataPackage("bob", "Hall 2", "UNIT-A", "05", 0, "10.0.0.5", 1, "050900");
    link.AddDataPackage("bob", "Hall 2", "UNIT-A", "03", 0, "10.0.0.6", 1, "0401010A");
    const auto sent = link.Tick();
    ASSERT_EQ(sent.size(), 3u);

    EXPECT_EQ(sent[0].SerialId, 0x8034);
    EXPECT_EQ(sent[0].SendPack, "348000010100");
    EXPECT_EQ(sent[0].OperateFlag, "01");

    // "05" is sent as a query and keeps its own flag.
    EXPECT_EQ(sent[1].SerialId, 1);
    EXPECT_EQ(sent[1].SendPack, "0100800102FF050900");
    EXPECT_EQ(sent[1].OperateFlag, "05");

    EXPECT_EQ(sent[2].SendPack, "0200800103FF0401010A");
    // An acknowledgement takes no serial number from the counter.
    EXPECT_EQ(HandPackFlagNumber.load(), 2);

    // Only the set request waits for its answer.
    const auto pending = TempHistory();
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].OperateFlag, "03");
    EXPECT_EQ(pending[0].SerialId, 2);
    EXPECT_EQ(pending[0].UserName, "bob");
    EXPECT_EQ(pending[0].ClientIp, "10.0.0.6");
    EXPECT_EQ(pending[0].EquipmentName, "Hall 2");
    EXPECT_EQ(pending[0].QueryMode, "General");
    EXPECT_TRUE(pending[0].BodyValue.isEmpty());
    EXPECT_TRUE(pending[0].QueryTime.isValid());
}

TEST_F(EquipmentLinkTest, AcknowledgementWithoutSerialBytesIsRefused) {
    RecordingEquipment link;
    EXPECT_THROW(link.AddDataPackage("", "", "UNIT-A", "01", 0, "", 0, ""), ConvertError);
    EXPECT_THROW(link.AddDataPackage("", "", "UNIT-A", "01", 0, "", 0, "ZZ80"), ConvertError);
    EXPECT_TRUE(link.Tick().empty());
}

// ---------------------------------------------------------------------------
// Received packet processing

// A receive-queue entry of unit UNIT-A (type 03, station 0x0101, number 1)
// from 127.0.0.1:5000.
TRecPackage Entry(const QByteArray &wire, const QString &code = QStringLiteral("UNIT-A")) {
    return TRecPackage{QStringLiteral("127.0.0.1"), 5000, QStringLiteral("127.0.0.1#5000"),
                       TEquipmentIdentity{code, QStringLiteral("03"), QStringLiteral("0101000001")},
                       ResolveReceivedFrame(wire)};
}

void AddPending(const QString &code, int serial, const QString &name) {
    auto e = std::make_unique<TTempHistoryInfo>();
    e->EquipmentCode = code;
    e->SerialId = serial;
    e->EquipmentName = name;
    e->OperateFlag = QStringLiteral("02");
    e->UserName = QStringLiteral("bob");
    std::lock_guard guard(lstTempHistoryLock);
    lstTempHistory.push_back(std::move(e));
}

struct CheckCase {
    const char *name;
    std::uint8_t command;
    std::uint16_t serial;
    std::uint8_t np;
    std::uint8_t response;
    bool badCrc;
    const char *error;
};

class PacketChecks : public EquipmentLinkTest, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(PacketChecks, ReportTheLastFailingCheck) {
    const CheckCase &c = GetParam();
    const QByteArray content =
        Content(0x0101, 1, c.serial, c.np, c.command, c.response, Bytes("04410102 04010301"));
    const QByteArray plain =
        c.badCrc ? eqtest::WithCrc(content, eqtest::Crc16(content) ^ 0x0101) : Unescaped(content);
    if (c.command == 0x02)
        AddPending("UNIT-A", c.serial, "Hall 2");
    RecordingEquipment link(Logger());
    link.ComPackShow(Entry(eqtest::Escape(plain)));

    const auto entries = TempHistory();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].ErrorValue, QString::fromLatin1(c.error));
    EXPECT_FALSE(entries[0].BodyValue.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Errors, PacketChecks,
    ::testing::Values(CheckCase{"ReportInItsSerialSpace", 0x01, 0x8001, 0x80, 0xFF, false, ""},
                      CheckCase{"ReportWithAnswerFlags", 0x01, 0x8FFF, 0x00, 0x00, false, ""},
                      CheckCase{"ReportBelowItsSerialSpace", 0x01, 0x7FFF, 0x80, 0xFF, false,
                                " Error SerialNumber"},
                      CheckCase{"ReportAboveItsSerialSpace", 0x01, 0x9000, 0x80, 0xFF, false,
                                " Error SerialNumber"},
                      CheckCase{"AnswerWithRequestNpFlag", 0x02, 5, 0x80, 0x00, false,
                                " NP interact flag error(error code:0x80)"},
                      CheckCase{"AnswerWithErrorResponse", 0x02, 5, 0x00, 0x02, false,
                                " Answer symbol error:Command Number Error"},
                      CheckCase{"AnswerWithUnknownResponse", 0x02, 5, 0x00, 0x7A, false,
                                " Answer symbol error:Other Error"},
                      CheckCase{"AnswerWithReportResponse", 0x02, 5, 0x00, 0xFF, false,
                                " Answer symbol error:Command"},
                      CheckCase{"WrongResponseAndCheckCode", 0x02, 5, 0x00, 0x02, true,
                                " Check code error"},
                      CheckCase{"ReportWithEverythingWrong", 0x01, 0x7FFF, 0x01, 0x02, true,
                                " Check code error"}),
    [](const ::testing::TestParamInfo<CheckCase> &info) { return std::string(info.param.name); });

TEST_F(EquipmentLinkTest, AnswerCompletesItsPendingRequestAndIsLogged) {
    AddPending("UNIT-B", 7, "Other unit");
    AddPending("UNIT-A", 7, "Hall 2");
    AddPending("UNIT-A", 7, "Second with the same serial");
    // Station 0x7E needs an escape on the wire.
    const QByteArray content = Content(0x7E, 2, 7, 0x00, 0x02, 0x00, Bytes("0501010203"));
    const QByteArray wire = Frame(content);
    RecordingEquipment link(Logger());
    link.ComPackShow(Entry(wire));

    const auto entries = TempHistory();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_TRUE(entries[0].BodyValue.isEmpty());
    EXPECT_TRUE(entries[2].BodyValue.isEmpty());
    const TTempHistoryInfo &e = entries[1];
    EXPECT_EQ(e.BodyValue, Hex(wire));
    EXPECT_EQ(e.DataBody, "0501010203");
    EXPECT_EQ(e.SiteNum, "7E");
    EXPECT_EQ(e.EquipmentNum, 2);
    EXPECT_EQ(e.EquipmentIp, "127.0.0.1");
    EXPECT_EQ(e.EquipmentPort, 5000);
    EXPECT_TRUE(e.ReturnTime.isValid());
    EXPECT_EQ(e.OperateFlag, "02");
    ASSERT_EQ(log_.size(), 1u);
    EXPECT_EQ(log_[0], (LogLine{"Equipment->Server (Equipment:Hall 2  EquipmentIP:127.0.0.1  "
                                "EquipmentPort:5000  StationNo.:0x7E  EquipmentNo.:2  SerialId:7)" +
                                    Cr + Hex(wire) + "(Truly " + Hex(Unescaped(content)) + ") ",
                                clYellow}));
}

TEST_F(EquipmentLinkTest, AnswerWithoutPendingRequestIsLoggedWithEmptySubject) {
    const QByteArray wire = Frame(Content(0x0101, 1, 9, 0x00, 0x03, 0x00, Bytes("0501010203")));
    RecordingEquipment link(Logger());
    link.ComPackShow(Entry(wire));
    EXPECT_TRUE(TempHistory().empty());
    ASSERT_EQ(log_.size(), 1u);
    EXPECT_TRUE(log_[0].text.startsWith("Equipment->Server (  EquipmentIP:127.0.0.1  "))
        << log_[0].text.toStdString();
}

TEST_F(EquipmentLinkTest, ReportsAreRecordedAndOnlyAlarmReportsAcknowledged) {
    RecordingEquipment link(Logger());
    // Report type 01 (alarm): item 04 4101 01, then one alarm item.
    const QByteArray alarm =
        Frame(Content(0x0101, 1, 0x8034, 0x80, 0x01, 0xFF, Bytes("04410101 04010301")));
    // Report type 02: recorded and analysed, not acknowledged.
    const QByteArray other =
        Frame(Content(0x0101, 1, 0x8035, 0x80, 0x01, 0xFF, Bytes("04410102 04010300")));
    link.ComPackShow(Entry(alarm));
    link.ComPackShow(Entry(other));

    const auto entries = TempHistory();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].OperateFlag, "01");
    EXPECT_EQ(entries[0].EquipmentCode, "UNIT-A");
    EXPECT_EQ(entries[0].BodyValue, Hex(alarm));
    EXPECT_EQ(entries[0].DataBody, "04010301");
    EXPECT_EQ(entries[0].SerialId, 0x8034);
    EXPECT_EQ(entries[0].SiteNum, "101");
    EXPECT_EQ(entries[0].EquipmentPort, 5000);
    EXPECT_TRUE(entries[0].ErrorValue.isEmpty());
    EXPECT_TRUE(entries[0].UserName.isEmpty());
    EXPECT_EQ(entries[1].DataBody, "04010300");

    // The acknowledgement waits for the alarm report's row; both reports
    // are queued for the analysis with it.
    EXPECT_TRUE(link.Tick().empty());
    EXPECT_EQ(AlarmRows("UNIT-A"), 0);
    EXPECT_TRUE(AlertStrings().isEmpty());
    EXPECT_EQ(link.AlarmCommitter().CommitWaiting(), 2u);
    EXPECT_EQ(AlarmRows("UNIT-A"), 1);
    const QStringList alerts = AlertStrings();
    ASSERT_EQ(alerts.size(), 2);
    EXPECT_TRUE(alerts[0].startsWith("UNIT-A#04010301@")) << alerts[0].toStdString();
    EXPECT_TRUE(ParseDateTimeText(alerts[0].section('@', 1)).isValid());
    EXPECT_TRUE(alerts[1].startsWith("UNIT-A#04010300@"));
    const auto acks = link.Tick();
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(acks[0].EquipmentCode, "UNIT-A");
    EXPECT_EQ(acks[0].SerialId, 0x8034);
    EXPECT_EQ(acks[0].SendPack, "348000010100");
    EXPECT_TRUE(acks[0].ClientIp.isEmpty());
    EXPECT_TRUE(link.Tick().empty());
    EXPECT_TRUE(log_.empty());           // reports are not logged here
    EXPECT_EQ(TempHistory().size(), 2u); // acknowledgements are not pending
}

QByteArray ListPage(int count, int num, const QByteArray &content, std::uint16_t serial) {
    QByteArray items;
    items.append(char(5 + content.size()));
    items.append("\x09\x00", 2);
    items.append(char(count));
    items.append(char(num));
    items.append(content);
    return Frame(Content(0x0101, 1, serial, 0x00, 0x02, 0x00, items));
}

QString ParamListOf(const QString &code) {
    const auto rows = dmNet->Select(
        QStringLiteral("select ListStr from ParamList where EquipmentCode=?"), {code});
    return rows.empty() ? QStringLiteral("<none>") : rows[0].value(0).toString();
}

TEST_F(EquipmentLinkTest, ThreePageParameterListIsCollectedInParamList) {
    dmNet->Exec(QStringLiteral("insert into ParamList (EquipmentCode, ListStr) values (?, ?)"),
                {QStringLiteral("UNIT-A"), QStringLiteral("OLD")});
    RecordingEquipment link(Logger());

    link.ComPackShow(Entry(ListPage(3, 1, Bytes("AABB"), 11)));
    EXPECT_EQ(ParamListOf("UNIT-A"), "AABB"); // the old list is overwritten
    auto next = link.Tick();
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(next[0].OperateFlag, "05");
    EXPECT_EQ(next[0].SendPack, "0100800102FF0509000302");
    EXPECT_TRUE(next[0].ClientIp.isEmpty());

    link.ComPackShow(Entry(ListPage(3, 2, Bytes("CCDD"), 12)));
    EXPECT_EQ(ParamListOf("UNIT-A"), "AABBCCDD");
    next = link.Tick();
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(next[0].SendPack, "0200800102FF0509000303");

    const qsizetype linesBefore = static_cast<qsizetype>(log_.size());
    link.ComPackShow(Entry(ListPage(3, 3, Bytes("EEFF"), 13)));
    EXPECT_EQ(ParamListOf("UNIT-A"), "AABBCCDDEEFF");
    EXPECT_TRUE(link.Tick().empty());

    const auto entries = TempHistory();
    ASSERT_EQ(entries.size(), 1u); // the page requests were never pending
    EXPECT_EQ(entries[0].OperateFlag, "05");
    EXPECT_EQ(entries[0].BodyValue, "AABBCCDDEEFF");
    EXPECT_EQ(entries[0].SerialId, 13);
    EXPECT_EQ(entries[0].EquipmentPort, 5000);
    EXPECT_TRUE(entries[0].DataBody.isEmpty());

    ASSERT_EQ(static_cast<qsizetype>(log_.size()), linesBefore + 2);
    EXPECT_EQ(log_[linesBefore],
              (LogLine{"Query Parameter List Finish (EquipmentCode:UNIT-A  EquipmentIP:127.0.0.1  "
                       "EquipmentPort:5000  StationNo.:0x101  EquipmentNo.:1)",
                       clWhite}));
    EXPECT_TRUE(log_[linesBefore + 1].text.startsWith(
        "Equipment->Server (EquipmentCode:UNIT-A  EquipmentIP:127.0.0.1  EquipmentPort:5000  "
        "StationNo.:0x101  EquipmentNo.:1  SerialId:13)" +
        Cr));
}

struct ListEdgeCase {
    const char *name;
    bool rowBefore;
    int count;
    int num;
    const char *stored;   // ListStr afterwards
    const char *finished; // BodyValue of the finish entry, nullptr when a page is requested
};

class ParameterListEdges : public EquipmentLinkTest,
                           public ::testing::WithParamInterface<ListEdgeCase> {};

TEST_P(ParameterListEdges, StoreAndFinishAsThePageSays) {
    const ListEdgeCase &c = GetParam();
    if (c.rowBefore)
        dmNet->Exec(QStringLiteral("insert into ParamList (EquipmentCode, ListStr) values (?, ?)"),
                    {QStringLiteral("UNIT-A"), QStringLiteral("1122")});
    RecordingEquipment link(Logger());
    link.ComPackShow(Entry(ListPage(c.count, c.num, Bytes("AABB"), 20)));
    EXPECT_EQ(ParamListOf("UNIT-A"), c.stored);
    const auto entries = TempHistory();
    if (c.finished) {
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].BodyValue, c.finished);
        EXPECT_TRUE(link.Tick().empty());
    } else {
        EXPECT_TRUE(entries.empty());
        EXPECT_EQ(link.Tick().size(), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Pages, ParameterListEdges,
    ::testing::Values(ListEdgeCase{"OnePageList", false, 1, 1, "AABB", "AABB"},
                      ListEdgeCase{"PageBeyondTheCountIsNotStored", true, 1, 2, "1122", "AABB"},
                      ListEdgeCase{"LaterPageWithoutRowIsNotStored", false, 3, 2, "<none>",
                                   nullptr},
                      ListEdgeCase{"LastPageExtendsTheRow", true, 2, 2, "1122AABB", "1122AABB"}),
    [](const ::testing::TestParamInfo<ListEdgeCase> &info) {
        return std::string(info.param.name);
    });

TEST_F(EquipmentLinkTest, MalformedEntriesAreDroppedQuietly) {
    RecordingEquipment link(Logger());
    for (const char *frame : {"", "00", "7E7E", "7E0301", "7E03010101000001058080",
                              "7E0301010100000105808001", "AABBCCDDEEFF00112233445566778899AA"})
        EXPECT_NO_THROW(link.ComPackShow(Entry(QByteArray::fromHex(frame))));
    EXPECT_TRUE(link.Tick().empty());
    EXPECT_TRUE(TempHistory().empty());
}

// A unit code is a text of its owner's choosing: the separators that once
// cut queue entries travel through a report and an answer unchanged.
TEST_F(EquipmentLinkTest, UnitCodesWithSeparatorCharactersRoundTrip) {
    for (const QString &code : {QStringLiteral("A@B"), QStringLiteral("50%"), QStringLiteral("x^y"),
                                QStringLiteral("R&D"), QStringLiteral("#1@2%3^4&5")}) {
        {
            std::lock_guard guard(lstTempHistoryLock);
            lstTempHistory.clear();
        }
        RecordingEquipment link(Logger());
        link.ComPackShow(Entry(
            Frame(Content(0x0101, 1, 0x8040, 0x80, 0x01, 0xFF, Bytes("04410101 04010301"))), code));
        AddPending(code, 9, "Hall 9");
        link.ComPackShow(
            Entry(Frame(Content(0x0101, 1, 9, 0x00, 0x02, 0x00, Bytes("0501010203"))), code));
        const auto entries = TempHistory();
        ASSERT_EQ(entries.size(), 2u) << code.toStdString();
        EXPECT_EQ(entries[0].EquipmentCode, code);
        EXPECT_EQ(entries[0].DataBody, "04010301");
        EXPECT_EQ(entries[1].EquipmentCode, code);
        EXPECT_EQ(entries[1].DataBody, "0501010203");
        link.AlarmCommitter().CommitWaiting();
        const auto acks = link.Tick();
        ASSERT_EQ(acks.size(), 1u);
        EXPECT_EQ(acks[0].EquipmentCode, code);
        EXPECT_EQ(acks[0].SerialId, 0x8040);
        EXPECT_TRUE(AlertStrings().last().startsWith(code + "#04010301@"));
    }
}

// ---------------------------------------------------------------------------
// The TCP server in-process

TEST_F(EquipmentLinkTest, HeartbeatIsAnsweredAndRegistersAnOwnedUnit) {
    Own("UNIT-A", "bob", "Hall 2", "05");
    client_.receivers = QStringLiteral("UserName:bob");
    StartServer();
    auto unit = Connect();
    const QString p = unit->PortText();
    const QByteArray content = HeartbeatContent("UNIT-A", 0x0101, 1, 0x03);
    ASSERT_NO_FATAL_FAILURE(Beat(*unit, "UNIT-A", 0x0101));

    const QByteArray replyContent = eqtest::HeartbeatReplyContent(content);
    const QString where = "EquipmentCode:UNIT-A  EquipmentIP:127.0.0.1  EquipmentPort:" + p +
                          "  StationNo.:0x101  EquipmentNo.:1)" + Cr;
    const std::vector<LogLine> expected = {
        {"Equipment (IP:127.0.0.1  Port:" + p + ") already connected", clWhite},
        {"Equipment->Server HeartBeat (" + where +
             FrameText(Hex(Frame(content)), Hex(Unescaped(content))),
         clYellow},
        {"Server->Equipment Reply HeartBeat (" + where +
             FrameText(Hex(Unescaped(replyContent)), Hex(Frame(replyContent))),
         clWhite},
        {"Server->Client (UserName:bob  SiteNo.:101  EquipmentNo.:1) OnLine", clYellow}};
    EXPECT_EQ(log_, expected);
    ASSERT_EQ(client_.broadcasts.size(), 1u);
    EXPECT_EQ(client_.broadcasts[0],
              std::make_pair(QStringLiteral("UNIT-A"), QStringLiteral("*12UNIT-A@03&01,#2049*")));
    EXPECT_EQ(counts_, std::vector<int>{1});
    EXPECT_EQ(server_->SiteIdRegistry(), QStringList{"UNIT-A#0101000001"});
    // The reported type replaces the stored one.
    EXPECT_EQ(dmNet->Select("select EquipmentType from UserEquipment")[0].value(0).toString(),
              "03");

    // A registered unit's next heartbeat is only answered.
    ASSERT_NO_FATAL_FAILURE(Beat(*unit, "UNIT-A", 0x0101));
    EXPECT_EQ(client_.broadcasts.size(), 1u);

    // Going away announces the unit off line.
    unit->socket.disconnectFromHost();
    ASSERT_TRUE(WaitUntil([&] { return server_->GetEquipmentConnectCount() == 0; }));
    EXPECT_TRUE(Logged("Equipment (EquipmentCode:UNIT-A  IP:127.0.0.1  Port:" + p +
                           "  StationNo.:0x101  EquipmentNo.:1) disconnect",
                       clRed));
    EXPECT_TRUE(
        Logged("Server->Client (UserName:bob  SiteNo.:101  EquipmentNo.:1) OffLine", clYellow));
    EXPECT_EQ(client_.broadcasts.back().second, "*12UNIT-A@03&00,#2049*");
    EXPECT_EQ(counts_.back(), 0);
}

TEST_F(EquipmentLinkTest, FramesOfARegisteredUnitAreQueuedHoweverTheyArrive) {
    Own("UNIT-A", "bob", "Hall 2");
    StartServer();
    auto unit = Connect();
    ASSERT_NO_FATAL_FAILURE(Beat(*unit, "UNIT-A", 0x0101));

    const QByteArray d1 = Frame(Content(0x0101, 1, 5, 0x00, 0x02, 0x00, Bytes("0501010203")));
    const QByteArray d2 = Frame(Content(0x0101, 1, 6, 0x00, 0x02, 0x00, Bytes("050101AABB")));
    const QByteArray d3 = Frame(Content(0x7E5E, 1, 7, 0x00, 0x03, 0x00, Bytes("0401017E")));
    // Noise, a 3-byte frame whose end opens d1, d1 split, a 7-byte frame,
    // then d2 and d3 in one read with d3 split again.
    unit->Send(Bytes("AABB 7EAA") + d1.left(10));
    ASSERT_TRUE(WaitUntil([&] { return unit->socket.bytesToWrite() == 0; }));
    unit->Send(d1.mid(10) + Bytes("7E01020304057E") + d2 + d3.left(5));
    ASSERT_TRUE(WaitUntil([&] { return server_->RecPackage().size() == 2; }));
    unit->Send(d3.mid(5));
    ASSERT_TRUE(WaitUntil([&] { return server_->RecPackage().size() == 3; }));

    const QByteArray frames[] = {d1, d2, d3};
    for (int i = 0; i < 3; ++i) {
        const TRecPackage e = server_->RecPackage()[i];
        EXPECT_EQ(e.EquipmentIp, "127.0.0.1");
        EXPECT_EQ(QString::number(e.EquipmentPort), unit->PortText());
        EXPECT_EQ(e.Identity.SocketData(), "UNIT-A@030101000001#");
        EXPECT_EQ(e.Frame.SourcePackage, Hex(frames[i])) << i;
    }

    // One frame per receive tick.
    server_->timRecDataPackTimer();
    EXPECT_EQ(server_->RecPackage().size(), 2u);
}

TEST_F(EquipmentLinkTest, HeartbeatWithWrongCheckCodeGetsNoReply) {
    StartServer();
    auto unit = Connect();
    const QByteArray bad = HeartbeatContent("UNIT-A", 0x0101, 1, 3, 1);
    const QByteArray badWire = eqtest::Escape(eqtest::WithCrc(bad, eqtest::Crc16(bad) ^ 1));
    const QByteArray good = HeartbeatContent("UNIT-A", 0x0101, 1, 3, 2);
    // Both in one read: only the good one is answered.
    unit->Send(badWire + Frame(good));
    ASSERT_TRUE(unit->WaitReceived(HeartbeatReply(good).size()));
    ASSERT_TRUE(WaitUntil([&] { return CountLogged("Reply HeartBeat") == 1; }));
    EXPECT_EQ(unit->Received(), HeartbeatReply(good));
    EXPECT_TRUE(Logged(
        "Equipment->Server HeartBeat (EquipmentIP:127.0.0.1  EquipmentPort:" + unit->PortText() +
            ")" + Cr + FrameText(Hex(badWire), Hex(eqtest::WithCrc(bad, eqtest::Crc16(bad) ^ 1))) +
            " Check code error",
        clYellow));
}

// Each event says what it is about, beside its text: a view routes and
// filters by these, never by the text or the colour.
TEST_F(EquipmentLinkTest, EventsSayWhatTheyAreAbout) {
    Own("UNIT-A", "bob", "Hall");
    StartServer();
    auto unit = Connect();
    const int unitPort = unit->Port();
    const QByteArray bad = HeartbeatContent("UNIT-A", 0x0101, 1, 3, 1);
    unit->Send(eqtest::Escape(eqtest::WithCrc(bad, eqtest::Crc16(bad) ^ 1)));
    ASSERT_NO_FATAL_FAILURE(Beat(*unit, "UNIT-A", 0x0101));
    unit->socket.disconnectFromHost();
    ASSERT_TRUE(WaitUntil([&] { return server_->GetEquipmentConnectCount() == 0; }));

    // A client's request, through the client link.
    TClientTcp::EquipmentHooks hooks;
    hooks.AddDataPackage = [](const TChannelRequest &) {};
    TClientTcp clients(Logger(), {}, hooks, {});
    ASSERT_TRUE(clients.Start(0)) << clients.ErrorString().toStdString();
    QTcpSocket bob;
    bob.connectToHost(QHostAddress::LocalHost, clients.ServerPort());
    ASSERT_TRUE(WaitUntil([&] { return clients.GetClientConnectCount() == 1; }));
    bob.write("*0000bob*");
    bob.write("*01A001@0201000A#Hall 2*");
    bob.flush();
    ASSERT_TRUE(WaitUntil([&] { return CountLogged("Client->Server (") == 1; }));

    const struct {
        const char *starts;
        TLogKind kind;
        TLogPane pane;
        const char *unit;
        int port;
        const char *user;
        QByteArray frame;
    } cases[] = {
        {"Equipment->Server HeartBeat (EquipmentIP:", TLogKind::Error, TLogPane::Traffic, "",
         unitPort, "", eqtest::Escape(eqtest::WithCrc(bad, eqtest::Crc16(bad) ^ 1))},
        {"Equipment->Server HeartBeat (EquipmentCode:UNIT-A", TLogKind::Heartbeat,
         TLogPane::Traffic, "UNIT-A", unitPort, "",
         Frame(HeartbeatContent("UNIT-A", 0x0101, 1, 3))},
        {"Server->Equipment Reply HeartBeat (EquipmentCode:UNIT-A",
         TLogKind::Heartbeat,
         TLogPane::Events,
         "UNIT-A",
         unitPort,
         "",
         {}},
        {"Equipment (EquipmentCode:UNIT-A  IP:",
         TLogKind::Disconnect,
         TLogPane::Events,
         "UNIT-A",
         unitPort,
         "",
         {}},
        {"Client->Server (Equipment:Hall 2  UserName:bob",
         TLogKind::Request,
         TLogPane::Events,
         "A001",
         bob.localPort(),
         "bob",
         {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.starts);
        const auto e = std::find_if(events_.begin(), events_.end(), [&](const TLogEvent &e) {
            return e.text.startsWith(QLatin1String(c.starts));
        });
        ASSERT_NE(e, events_.end());
        EXPECT_EQ(e->kind, c.kind);
        EXPECT_EQ(e->pane, c.pane);
        EXPECT_EQ(e->unit, c.unit);
        EXPECT_EQ(e->address, "127.0.0.1");
        EXPECT_EQ(e->port, c.port);
        EXPECT_EQ(e->user, c.user);
        EXPECT_EQ(e->frame, c.frame);
    }
}

struct LivenessCase {
    const char *name;
    bool validCheckCode; // of the heartbeat sent before the last tick
    bool closed;
};

class Liveness : public EquipmentLinkTest, public ::testing::WithParamInterface<LivenessCase> {};

TEST_P(Liveness, OnlyAValidHeartbeatResetsTheCounter) {
    StartServer();
    auto unit = Connect();
    for (int i = 0; i < 8; ++i)
        server_->timConnectStateTimer();
    const QByteArray content = HeartbeatContent("UNIT-Z", 0x0202, 1, 3);
    unit->Send(GetParam().validCheckCode
                   ? Frame(content)
                   : eqtest::Escape(eqtest::WithCrc(content, eqtest::Crc16(content) ^ 1)));
    ASSERT_TRUE(WaitUntil([&] { return CountLogged("Equipment->Server HeartBeat") == 1; }));
    server_->timConnectStateTimer();
    EXPECT_EQ(server_->GetEquipmentConnectCount(), GetParam().closed ? 0 : 1);
    EXPECT_EQ(CountLogged(") abnormal"), GetParam().closed ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Heartbeat, Liveness,
                         ::testing::Values(LivenessCase{"WrongCheckCode", false, true},
                                           LivenessCase{"ValidCheckCode", true, false}),
                         [](const ::testing::TestParamInfo<LivenessCase> &info) {
                             return std::string(info.param.name);
                         });

TEST_F(EquipmentLinkTest, LivenessClosesSilentConnectionsAfterNineTicks) {
    Own("UNIT-A", "bob", "Hall 2");
    client_.receivers = QStringLiteral("UserName:bob");
    StartServer();
    auto silent = Connect();
    auto registered = Connect();
    ASSERT_NO_FATAL_FAILURE(Beat(*registered, "UNIT-A", 0x0101));
    for (int i = 0; i < 8; ++i)
        server_->timConnectStateTimer();
    EXPECT_EQ(server_->GetEquipmentConnectCount(), 2);
    EXPECT_EQ(CountLogged("abnormal"), 0);

    server_->timConnectStateTimer();
    EXPECT_EQ(server_->GetEquipmentConnectCount(), 0);
    EXPECT_TRUE(Logged("Equipment (EquipmentIP:127.0.0.1  EquipmentPort:" + silent->PortText() +
                           ") abnormal",
                       clRed));
    EXPECT_TRUE(Logged("Equipment (EquipmentCode:UNIT-A  EquipmentIP:127.0.0.1  EquipmentPort:" +
                           registered->PortText() + "  StationNo.:0x101  EquipmentNo.:1) abnormal",
                       clRed));
    // The closing itself finds no identity: its line carries none.
    EXPECT_TRUE(Logged("Equipment (EquipmentCode:  IP:127.0.0.1  Port:" + registered->PortText() +
                           "  StationNo.:0x  EquipmentNo.:0) disconnect",
                       clRed));
    // Announced off line once.
    ASSERT_EQ(client_.broadcasts.size(), 2u);
    EXPECT_EQ(client_.broadcasts[1].second, "*12UNIT-A@03&00,#2049*");
    EXPECT_TRUE(WaitUntil([&] { return silent->Closed() && registered->Closed(); }));
}

TEST_F(EquipmentLinkTest, UnitWithoutOwnerIsAnsweredButItsFramesAreDropped) {
    StartServer();
    auto unit = Connect();
    ASSERT_NO_FATAL_FAILURE(Beat(*unit, "UNIT-X", 0x0303, 2));
    EXPECT_EQ(server_->SiteIdRegistry(), QStringList{"UNIT-X#0303000002"});
    unit->Send(Frame(Content(0x0303, 2, 5, 0x00, 0x02, 0x00, Bytes("0501010203"))));
    // A second heartbeat behind the data frame: once it is answered the data
    // frame has been handled.
    ASSERT_NO_FATAL_FAILURE(Beat(*unit, "UNIT-X", 0x0303, 2));
    EXPECT_TRUE(server_->RecPackage().empty());
    EXPECT_TRUE(client_.broadcasts.empty());
    QString description;
    EXPECT_TRUE(server_->UserLineState("bob", false, description).isEmpty());
}

TEST_F(EquipmentLinkTest, StationConflictGivesTheSecondUnitANewNumberEachTime) {
    Own("UNIT-A", "bob", "Hall 2");
    Own("UNIT-B", "bob", "Roof");
    StartServer();
    auto a = Connect();
    auto b = Connect();
    ASSERT_NO_FATAL_FAILURE(Beat(*a, "UNIT-A", 0x0101));

    // 9th at 14:30:25 -> station 0x09143025, sent as 25 30 14 09.
    const QByteArray bContent = HeartbeatContent("UNIT-B", 0x0101, 1, 3);
    const QByteArray change1Content =
        bContent.left(7) + Bytes("0200800103FF070101") + Bytes("25301409");
    const QByteArray change1 = Frame(change1Content);
    ASSERT_NO_FATAL_FAILURE(Beat(*b, "UNIT-B", 0x0101, 1, 3, change1.size()));
    EXPECT_EQ(b->received.right(change1.size()), change1);
    EXPECT_TRUE(Logged("Server->Equipment Modify StationNo. (EquipmentCode:UNIT-B  "
                       "EquipmentIP:127.0.0.1  EquipmentPort:" +
                           b->PortText() + "  Old StationNo.:0x101  New StationNo.:0x9143025)" +
                           Cr + FrameText(Hex(Unescaped(change1Content)), Hex(change1)),
                       clWhite));
    EXPECT_EQ(server_->SiteIdRegistry(), (QStringList{"UNIT-A#0101000001", "UNIT-B#2530140901"}));
    EXPECT_EQ(client_.broadcasts.back().second, "*12UNIT-B@03&01,#2049*");

    // Requests for UNIT-B go out under its new number.
    server_->AddDataPackage("bob", "Roof", "UNIT-B", "02", 0, "10.0.0.5", 1, "040101");
    server_->timSendDataPackTimer();
    const QByteArray request = Frame(Content(0x09143025, 1, 1, 0x80, 0x02, 0xFF, Bytes("040101")));
    ASSERT_TRUE(b->WaitReceived(b->received.size() + request.size()));
    EXPECT_EQ(b->received.right(request.size()), request);

    // Still sending the old number: another change, with a new number.
    clock_ = clock_.addSecs(1);
    const QByteArray change2 =
        Frame(bContent.left(7) + Bytes("0200800103FF070101") + Bytes("26301409"));
    ASSERT_NO_FATAL_FAILURE(Beat(*b, "UNIT-B", 0x0101, 1, 3, change2.size()));
    EXPECT_EQ(b->received.right(change2.size()), change2);
    EXPECT_EQ(server_->SiteIdRegistry(), (QStringList{"UNIT-A#0101000001", "UNIT-B#2630140901"}));
    EXPECT_EQ(CountLogged("Modify StationNo."), 2);

    // The first unit keeps its number.
    ASSERT_NO_FATAL_FAILURE(Beat(*a, "UNIT-A", 0x0101));
    EXPECT_EQ(a->received.size(),
              2 * HeartbeatReply(HeartbeatContent("UNIT-A", 0x0101, 1, 3)).size());
}

TEST_F(EquipmentLinkTest, RequestForAnUnconnectedUnitIsReportedNotConnected) {
    StartServer();
    server_->AddDataPackage("bob", "Hall 2", "UNIT-A", "02", 0, "10.0.0.5", 40321, "040101");
    server_->AddDataPackage("bob", "", "UNIT-B", "02", 0, "10.0.0.6", 40322, "040101");
    server_->AddDataPackage("", "", "UNIT-C", "01", 0, "", 0, "3480");
    server_->timSendDataPackTimer();
    EXPECT_TRUE(Logged("Equipment:Hall 2 not connect", clRed));
    EXPECT_TRUE(Logged("EquipmentCode:UNIT-B not connect", clRed));
    EXPECT_TRUE(Logged("EquipmentCode:UNIT-C not connect", clRed));
    // The server's own acknowledgement has no client to tell.
    const std::vector<StandInClient::Sent> expected = {
        {"10.0.0.5", 40321, "*21Equipment:Hall 2 not connect*"},
        {"10.0.0.6", 40322, "*21EquipmentCode:UNIT-B not connect*"}};
    EXPECT_EQ(client_.sent, expected);
    EXPECT_EQ(HandPackFlagNumber.load(), 2); // consumed all the same
    EXPECT_TRUE(TempHistory().empty());
}

// Data written in lower-case hex leave escaped in upper case without having
// changed: the notice and the log line show the frame once, with no
// "(Truly ...)"; a frame that escaping really changes still shows both.
TEST_F(EquipmentLinkTest, TrulyAppearsOnlyWhenEscapingChangedTheFrame) {
    Own("UNIT-A", "bob", "Hall 2");
    StartServer();
    auto unit = Connect();
    ASSERT_NO_FATAL_FAILURE(Beat(*unit, "UNIT-A", 0x0101));
    server_->AddDataPackage("bob", "Hall 2", "UNIT-A", "02", 0, "10.0.0.5", 40321, "04010aff");
    server_->AddDataPackage("bob", "Hall 2", "UNIT-A", "02", 0, "10.0.0.6", 40322, "0401017e");
    server_->timSendDataPackTimer();
    ASSERT_EQ(client_.sent.size(), 2u);
    EXPECT_FALSE(client_.sent[0].text.contains("(Truly")) << client_.sent[0].text.toStdString();
    EXPECT_TRUE(client_.sent[0].text.contains("04010aff")) << client_.sent[0].text.toStdString();
    EXPECT_TRUE(client_.sent[1].text.contains("(Truly ")) << client_.sent[1].text.toStdString();
    EXPECT_EQ(CountLogged("(Truly"), 1);
}

TEST_F(EquipmentLinkTest, RequestGoesToTheNewestConnectionAndItsAnswerCompletesIt) {
    Own("UNIT-A", "bob", "Hall 2");
    StartServer();
    auto older = Connect();
    auto newer = Connect();
    ASSERT_NO_FATAL_FAILURE(Beat(*older, "UNIT-A", 0x0101));
    ASSERT_NO_FATAL_FAILURE(Beat(*newer, "UNIT-A", 0x0101));
    const qsizetype olderBefore = older->received.size();
    const qsizetype newerBefore = newer->received.size();

    server_->AddDataPackage("bob", "Hall 2", "UNIT-A", "02", 0, "10.0.0.5", 40321, "04010100");
    server_->timSendDataPackTimer();
    const QByteArray content = Content(0x0101, 1, 1, 0x80, 0x02, 0xFF, Bytes("04010100"));
    const QByteArray wire = Frame(content);
    ASSERT_TRUE(newer->WaitReceived(newerBefore + wire.size()));
    EXPECT_EQ(newer->received.mid(newerBefore), wire);
    EXPECT_EQ(older->Received().size(), olderBefore);

    const QString where =
        "Equipment:Hall 2  EquipmentIP:127.0.0.1  EquipmentPort:" + newer->PortText() +
        "  StationNo.:0x101  EquipmentNo.:1  SerialId:1)" + Cr +
        FrameText(Hex(Unescaped(content)), Hex(wire));
    EXPECT_TRUE(Logged("Server->Equipment (" + where, clWhite));
    const std::vector<StandInClient::Sent> notices = {
        {"10.0.0.5", 40321, "*21Send (" + where + "*"}};
    EXPECT_EQ(client_.sent, notices);
    auto pending = TempHistory();
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].SerialId, 1);
    EXPECT_EQ(pending[0].ClientPort, 40321);
    EXPECT_TRUE(pending[0].BodyValue.isEmpty());

    // The unit answers on its connection; the receive tick completes the request.
    const QByteArray answer = Frame(Content(0x0101, 1, 1, 0x00, 0x02, 0x00, Bytes("0401010A")));
    newer->Send(answer);
    ASSERT_TRUE(WaitUntil([&] { return server_->RecPackage().size() == 1; }));
    server_->timRecDataPackTimer();
    pending = TempHistory();
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].BodyValue, Hex(answer));
    EXPECT_EQ(pending[0].DataBody, "0401010A");
    EXPECT_EQ(pending[0].EquipmentPort, newer->Port());
    EXPECT_TRUE(pending[0].ErrorValue.isEmpty());
}

TEST_F(EquipmentLinkTest, UserLineStateDescribesTheUsersOnLineUnits) {
    Own("UNIT-A", "bob", " Hall 2 ");
    Own("UNIT-B", "bob", "Roof");
    Own("UNIT-C", "eve", "Cellar");
    StartServer();
    auto a = Connect();
    auto c = Connect();
    ASSERT_NO_FATAL_FAILURE(Beat(*a, "UNIT-A", 0x0101));
    ASSERT_NO_FATAL_FAILURE(Beat(*c, "UNIT-C", 0x0103));

    QString description;
    EXPECT_EQ(server_->UserLineState("bob", true, description), "UNIT-A@03&01,");
    EXPECT_EQ(description, "Equipment:Hall 2  SiteNo.:101  EquipmentNo.:1");

    auto b = Connect();
    ASSERT_NO_FATAL_FAILURE(Beat(*b, "UNIT-B", 0x0102, 1, 0x07));
    EXPECT_EQ(server_->UserLineState("bob", true, description), "UNIT-A@03&01,UNIT-B@07&01,");
    EXPECT_EQ(description, "[Equipment:Hall 2  SiteNo.:101  EquipmentNo.:1] [Equipment:Roof  "
                           "SiteNo.:102  EquipmentNo.:1]");
    // Without the suspension test every registered unit is listed.
    EXPECT_EQ(server_->UserLineState("bob", false, description),
              "UNIT-A@03&01,UNIT-C@03&01,UNIT-B@07&01,");
    EXPECT_EQ(server_->UserLineState("nobody", true, description), "");
    EXPECT_EQ(description, "");
}

TEST_F(EquipmentLinkTest, PresenceIsToldOfHeartbeatsAndClosesWhateverTheLogSwitch) {
    Own("UNIT-A", "bob", "Hall 2");
    ShowInfoHint = false;
    RecordingPresence presence;
    StartServer().SetUnitPresence(&presence);
    auto a = Connect();
    auto x = Connect();
    const QString pa = a->PortText(), px = x->PortText();
    ASSERT_NO_FATAL_FAILURE(Beat(*a, "UNIT-A", 0x0101));
    ASSERT_NO_FATAL_FAILURE(Beat(*a, "UNIT-A", 0x0101));
    ASSERT_NO_FATAL_FAILURE(Beat(*x, "UNIT-X", 0x0303));
    // The connection speaks for another unit now: the first one is gone.
    ASSERT_NO_FATAL_FAILURE(Beat(*x, "UNIT-Y", 0x0303));
    ASSERT_TRUE(server_->OnLineUnit("UNIT-A"));
    EXPECT_EQ(server_->OnLineUnit("UNIT-A")->id.SiteId, "0101000001");
    EXPECT_EQ(server_->OnLineUnit("UNIT-A")->port, a->Port());
    EXPECT_FALSE(server_->OnLineUnit("UNIT-X")); // never registered: nobody owns it

    // One account told of the unit's line state, as its owners are.
    client_.receivers = QStringLiteral("UserName:eve");
    server_->OwnerLineState("eve", "Roof", "UNIT-A", "03", "101", 1, true);
    ASSERT_EQ(client_.userBroadcasts.size(), 1u);
    EXPECT_EQ(client_.userBroadcasts[0],
              std::make_pair(QStringLiteral("eve"), QStringLiteral("Roof|*12UNIT-A@03&01,#2049*")));

    a->socket.disconnectFromHost();
    x->socket.disconnectFromHost();
    ASSERT_TRUE(WaitUntil([&] { return server_->GetEquipmentConnectCount() == 0; }));
    EXPECT_FALSE(server_->OnLineUnit("UNIT-A"));
    const QString at = "@127.0.0.1:";
    QStringList expected = {"beat UNIT-A" + at + pa + " registered",
                            "beat UNIT-A" + at + pa + " registered",
                            "beat UNIT-X" + at + px + " unowned", "gone UNIT-X" + at + px,
                            "beat UNIT-Y" + at + px + " unowned"};
    ASSERT_EQ(presence.calls.mid(0, 5), expected);
    // The two closes, in whichever order the sockets went.
    QStringList closes = presence.calls.mid(5);
    closes.sort();
    EXPECT_EQ(closes, (QStringList{"gone UNIT-A" + at + pa, "gone UNIT-Y" + at + px}));
    // With the log off, no event was made for any of it.
    EXPECT_TRUE(events_.empty());
}

// ---------------------------------------------------------------------------
// Behind a balancer: the PROXY protocol header names each connection's peer

namespace proxy {

const QByteArray V2Signature("\r\n\r\n\0\r\nQUIT\n", 12);

QByteArray Be16(int v) {
    return QByteArray(1, char((v >> 8) & 0xFF)) + QByteArray(1, char(v & 0xFF));
}

QByteArray V2(int versionCommand, int family, const QByteArray &block) {
    return V2Signature + char(versionCommand) + char(family) + Be16(int(block.size())) + block;
}

} // namespace proxy

// Each unit's header and its first heartbeat go in one write (or the header
// in pieces): the unit is registered under the address the header names,
// in the log, the fleet observer and the on-line look-up alike.
TEST_F(EquipmentLinkTest, BehindABalancerUnitsAreKnownByTheAddressTheirHeaderNames) {
    struct Case {
        const char *code;
        QList<QByteArray> header; // written one piece at a time
        QString address;          // empty: the socket's own
        int port;
    };
    const QByteArray v6Block = QByteArray::fromHex("20010DB8000000000000000000000007") +
                               QByteArray::fromHex("20010DB8000000000000000000000001") +
                               proxy::Be16(5555) + proxy::Be16(5210);
    const QByteArray v4Block =
        QByteArray::fromHex("C6336407 0A000001") + proxy::Be16(6001) + proxy::Be16(5210);
    const std::vector<Case> cases = {
        {"UNIT-A", {"PROXY TCP4 192.0.2.10 10.0.0.1 40312 5210\r\n"}, "192.0.2.10", 40312},
        {"UNIT-B",
         {proxy::V2(0x21, 0x21, v6Block).first(7), proxy::V2(0x21, 0x21, v6Block).sliced(7)},
         "2001:db8::7",
         5555},
        // TLVs as long as the length field allows, read off in small pieces.
        {"UNIT-C",
         {proxy::V2(0x21, 0x11, v4Block + QByteArray(65535 - 12, '\x04'))},
         "198.51.100.7",
         6001},
        // The balancer's own connection: the socket's address stands.
        {"UNIT-D", {proxy::V2(0x20, 0x00, {})}, {}, 0},
    };
    RecordingPresence presence;
    StartServer().SetUnitPresence(&presence);
    server_->SetAcceptProxy(true);
    std::uint32_t station = 0x0101;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.code);
        Own(c.code, "bob", "Hall");
        Unit unit(server_->ServerPort());
        ASSERT_TRUE(
            WaitUntil([&] { return unit.socket.state() == QAbstractSocket::ConnectedState; }));
        for (qsizetype i = 0; i + 1 < c.header.size(); ++i) {
            unit.Send(c.header[i]);
            QCoreApplication::processEvents();
        }
        const QByteArray content = HeartbeatContent(c.code, station++, 1, 3);
        unit.Send(c.header.back() + Frame(content));
        ASSERT_TRUE(unit.WaitReceived(HeartbeatReply(content).size()));
        EXPECT_EQ(unit.received, HeartbeatReply(content));

        const QString address = c.address.isEmpty() ? QStringLiteral("127.0.0.1") : c.address;
        const int port = c.address.isEmpty() ? unit.Port() : c.port;
        const auto online = server_->OnLineUnit(c.code);
        ASSERT_TRUE(online);
        EXPECT_EQ(online->address, address);
        EXPECT_EQ(online->port, port);
        const QString where = QStringLiteral("IP:%1  Port:%2").arg(address).arg(port);
        EXPECT_TRUE(Logged("Equipment (" + where + ") already connected", clWhite));
        EXPECT_EQ(CountLogged(QStringLiteral("HeartBeat (EquipmentCode:%1  EquipmentIP:%2  "
                                             "EquipmentPort:%3")
                                  .arg(c.code, address)
                                  .arg(port)),
                  2); // the heartbeat and its reply
        EXPECT_TRUE(presence.calls.contains(
            QStringLiteral("beat %1@%2:%3 registered").arg(c.code, address).arg(port)));

        unit.socket.disconnectFromHost();
        ASSERT_TRUE(WaitUntil([&] { return server_->GetEquipmentConnectCount() == 0; }));
        EXPECT_TRUE(presence.calls.contains(
            QStringLiteral("gone %1@%2:%3").arg(c.code, address).arg(port)));
    }
    EXPECT_EQ(server_->ProxyHeadersRefused(), 0u);
    // Each connection was counted once its header was read.
    EXPECT_EQ(counts_, (std::vector<int>{1, 0, 1, 0, 1, 0, 1, 0}));
}

// A unit that speaks at once, a malformed header, one cut short by the
// peer and one that never comes: each connection is closed before any of
// its bytes is taken for a frame, counted, and the log tells of them once
// in a while rather than one line each.
TEST_F(EquipmentLinkTest, BehindABalancerAConnectionWithoutAValidHeaderIsClosedAndCounted) {
    Own("UNIT-A", "bob", "Hall");
    StartServer();
    server_->SetAcceptProxy(true, {std::chrono::milliseconds(200), std::chrono::hours(1)});
    std::vector<std::unique_ptr<Unit>> units;
    for (const QByteArray &first : {Frame(HeartbeatContent("UNIT-A", 0x0101, 1, 3)),
                                    QByteArray("PROXY TCP4 192.0.2.300 10.0.0.1 1 2\r\n") +
                                        Frame(HeartbeatContent("UNIT-A", 0x0101, 1, 3)),
                                    QByteArray("PROXY TCP4 192.0"), QByteArray()}) {
        units.push_back(std::make_unique<Unit>(server_->ServerPort()));
        Unit &unit = *units.back();
        ASSERT_TRUE(
            WaitUntil([&] { return unit.socket.state() == QAbstractSocket::ConnectedState; }));
        if (!first.isEmpty())
            unit.Send(first);
    }
    units[2]->socket.disconnectFromHost();
    ASSERT_TRUE(WaitUntil([&] { return server_->ProxyHeadersRefused() == 4; }));
    for (auto &unit : units) {
        EXPECT_TRUE(WaitUntil([&] { return unit->Closed(); }));
        EXPECT_TRUE(unit->Received().isEmpty());
    }
    EXPECT_EQ(server_->GetEquipmentConnectCount(), 0);
    EXPECT_TRUE(counts_.empty());
    EXPECT_FALSE(server_->OnLineUnit("UNIT-A"));
    EXPECT_EQ(CountLogged("already connected"), 0);
    EXPECT_EQ(CountLogged("HeartBeat"), 0);
    ASSERT_EQ(CountLogged("without a valid PROXY header"), 1);
    const auto line = std::find_if(log_.begin(), log_.end(), [](const LogLine &l) {
        return l.text.contains("without a valid PROXY header");
    });
    EXPECT_TRUE(line->text.startsWith(
        "Equipment port: a connection without a valid PROXY header closed (from 127.0.0.1:"))
        << line->text.toStdString();
    EXPECT_EQ(line->colour, clRed);
}

// With a short interval between log lines, every refusal is told: the
// counts of the lines add up to the connections closed.
TEST_F(EquipmentLinkTest, BehindABalancerEveryRefusalIsToldInTheEnd) {
    StartServer();
    server_->SetAcceptProxy(true, {std::chrono::seconds(5), std::chrono::milliseconds(50)});
    std::vector<std::unique_ptr<Unit>> units;
    for (int i = 0; i < 5; ++i) {
        units.push_back(std::make_unique<Unit>(server_->ServerPort()));
        Unit &unit = *units.back();
        ASSERT_TRUE(
            WaitUntil([&] { return unit.socket.state() == QAbstractSocket::ConnectedState; }));
        unit.Send("GET / HTTP/1.1\r\n\r\n");
    }
    const QRegularExpression count(
        QStringLiteral("^Equipment port: (a|\\d+) connections? without a valid PROXY header"));
    const auto told = [&] {
        int sum = 0;
        for (const LogLine &l : log_)
            if (const auto m = count.match(l.text); m.hasMatch())
                sum += m.captured(1) == u"a" ? 1 : m.captured(1).toInt();
        return sum;
    };
    EXPECT_TRUE(WaitUntil([&] { return told() == 5; }));
    EXPECT_EQ(server_->ProxyHeadersRefused(), 5u);
}

// ---------------------------------------------------------------------------
// Bounds that protect the server

TEST_F(EquipmentLinkTest, ReassemblyBufferPastOneMiBIsEmptied) {
    StartServer();
    auto unit = Connect();
    unit->Send(Bytes("7E") + QByteArray(TEquipmentTcp::MaxReassemblyBytes + 16, '\x11'));
    ASSERT_TRUE(WaitUntil([&] { return CountLogged("without a complete frame") == 1; }));
    EXPECT_TRUE(Logged("Equipment (IP:127.0.0.1  Port:" + unit->PortText() +
                           ") sent more than 1 MiB without a complete frame: receive buffer "
                           "emptied",
                       clRed));
    // The connection goes on working.
    ASSERT_NO_FATAL_FAILURE(Beat(*unit, "UNIT-A", 0x0101));
    EXPECT_EQ(CountLogged("without a complete frame"), 1);
}

TEST_F(EquipmentLinkTest, ArbitraryBytesLeaveTheConnectionWorking) {
    StartServer();
    auto unit = Connect();
    // Noise rich in flag and escape bytes, in reads of random sizes.
    std::mt19937 random(20240309);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> size(1, 4096);
    qsizetype total = 0;
    while (total < 256 * 1024) {
        QByteArray chunk(size(random), Qt::Uninitialized);
        for (char &c : chunk) {
            const int v = byte(random);
            c = char(v < 16 ? 0x7E : v < 32 ? 0x5E : v);
        }
        unit->Send(chunk);
        total += chunk.size();
    }
    // One more flag ends whatever frame the noise left open; the heartbeat
    // behind it is cut whole whichever way that frame went.
    const QByteArray content = HeartbeatContent("UNIT-A", 0x0101, 1, 3);
    unit->Send(Bytes("7E") + Frame(content));
    ASSERT_TRUE(unit->WaitReceived(HeartbeatReply(content).size()));
    EXPECT_EQ(unit->Received(), HeartbeatReply(content));
    EXPECT_EQ(server_->GetEquipmentConnectCount(), 1);
    EXPECT_TRUE(server_->RecPackage().empty()); // nothing of an unregistered unit
}

TEST_F(EquipmentLinkTest, BurstOfHeartbeatsInOneWriteGetsEveryReply) {
    Own("UNIT-A", "bob", "Hall 2");
    StartServer();
    auto unit = Connect();
    // Their replies come to more than twice what a connection may have waiting
    // to be sent, all written while the server handles what it has read: it
    // must hand them to the kernel as it goes rather than refuse the rest.
    constexpr int Beats = 3000;
    QByteArray burst;
    QByteArray replies;
    for (int i = 0; i < Beats; ++i) {
        const QByteArray content =
            HeartbeatContent("UNIT-A", 0x0101, 1, 3, static_cast<std::uint16_t>(0x8000 + i));
        burst += Frame(content);
        replies += HeartbeatReply(content);
    }
    ASSERT_GT(replies.size(), 2 * TEquipmentTcp::MaxPendingWriteBytes);
    unit->Send(burst);
    unit->WaitReceived(replies.size());
    EXPECT_EQ(unit->Received().size(), replies.size());
    EXPECT_TRUE(unit->Received() == replies);
    EXPECT_EQ(server_->GetEquipmentConnectCount(), 1);
}

// The receive queue with its append open to the test.
class QueueingEquipment : public RecordingEquipment {
public:
    using RecordingEquipment::RecordingEquipment;
    using TEquipmentBase::AppendRecPackage;
};

struct BurstCase {
    const char *name;
    int receivePerTick, sendPerTick;
    std::size_t handledFirstTick, ackedFirstTick; // of five alarm reports
};

// An alarm storm: five reports wait; the paces say how many the next
// receive tick handles and how many acknowledgements the next send tick
// sends (they all share the server's own sub-queue).
TEST_F(EquipmentLinkTest, FramesPerTickSettingsPaceABurstOfReports) {
    const BurstCase cases[] = {
        {"defaults: one frame, one acknowledgement", 1, 1, 1, 1},
        {"0, 0: every frame waiting, every acknowledgement", 0, 0, 5, 5},
        {"two frames, three acknowledgements", 2, 3, 2, 2},
    };
    for (const BurstCase &c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard guard(lstTempHistoryLock);
            lstTempHistory.clear();
        }
        TLinkPaces paces;
        paces.receiveFramesPerTick = c.receivePerTick;
        paces.sendFramesPerTick = c.sendPerTick;
        QueueingEquipment link(Logger(), paces);
        for (std::uint16_t serial = 0x8040; serial < 0x8045; ++serial)
            link.AppendRecPackage(Entry(
                Frame(Content(0x0101, 1, serial, 0x80, 0x01, 0xFF, Bytes("04410101 04010301")))));
        link.timRecDataPackTimer();
        EXPECT_EQ(TempHistory().size(), c.handledFirstTick);
        EXPECT_EQ(link.RecPackage().size(), 5 - c.handledFirstTick);
        link.AlarmCommitter().CommitWaiting();
        EXPECT_EQ(link.Tick().size(), c.ackedFirstTick);
        // Whatever the paces, everything is handled and acknowledged in time.
        for (int i = 0; i < 10; ++i)
            link.timRecDataPackTimer();
        link.AlarmCommitter().CommitWaiting();
        std::size_t acks = c.ackedFirstTick;
        for (int i = 0; i < 10; ++i)
            acks += link.Tick().size();
        EXPECT_EQ(TempHistory().size(), 5u);
        EXPECT_EQ(acks, 5u);
    }
}

QByteArray AlarmReport(std::uint16_t serial, const char *items = "04410101 04010301") {
    return Frame(Content(0x0101, 1, serial, 0x80, 0x01, 0xFF, Bytes(items)));
}

// Acknowledgements leave in the order of the reports, whatever the group
// sizes the commits happened to take.
TEST_F(EquipmentLinkTest, AlarmAcknowledgementsKeepTheOrderOfTheReports) {
    RecordingEquipment link(Logger());
    for (std::uint16_t serial : {0x8051, 0x8050, 0x8053}) // the unit's order, not sorted
        link.ComPackShow(Entry(AlarmReport(serial)));
    link.AlarmCommitter().CommitWaiting();
    link.ComPackShow(Entry(AlarmReport(0x8052)));
    link.AlarmCommitter().CommitWaiting();
    std::vector<qint64> serials;
    for (int i = 0; i < 6; ++i)
        for (const TSendBodyRecord &body : link.Tick())
            serials.push_back(body.SerialId);
    EXPECT_EQ(serials, (std::vector<qint64>{0x8051, 0x8050, 0x8053, 0x8052}));
    EXPECT_EQ(AlarmRows("UNIT-A"), 4);
}

// While the database cannot take the row nothing is acknowledged; the unit's
// repeat of the same report is not queued twice, and once the database is
// back the report is stored once and acknowledged once.
TEST_F(EquipmentLinkTest, AlarmReportIsNotAcknowledgedWhileTheDatabaseIsLocked) {
    RecordingEquipment link(Logger());
    {
        mmstest::SqliteLock lock(home_->File("MonitorData.db"));
        ASSERT_TRUE(lock.Active());
        link.ComPackShow(Entry(AlarmReport(0x8060)));
        EXPECT_EQ(link.AlarmCommitter().CommitWaiting(), 0u);
        link.ComPackShow(Entry(AlarmReport(0x8060))); // the unit repeats it
        EXPECT_EQ(link.AlarmCommitter().Waiting(), 1u);
        EXPECT_EQ(link.AlarmCommitter().CommitWaiting(), 0u);
        EXPECT_TRUE(link.Tick().empty());
    }
    ASSERT_TRUE(WaitUntil([&] { return link.AlarmCommitter().CommitWaiting() == 1; }));
    EXPECT_EQ(AlarmRows("UNIT-A"), 1);
    const auto acks = link.Tick();
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(acks[0].SerialId, 0x8060);
    EXPECT_TRUE(link.Tick().empty());
}

// Reports still waiting for the database when the link stops are counted
// in one red line; none was acknowledged.
TEST_F(EquipmentLinkTest, ReportsLeftUnstoredAtTheStopAreCounted) {
    QueueingEquipment link(Logger());
    mmstest::SqliteLock lock(home_->File("MonitorData.db"));
    ASSERT_TRUE(lock.Active());
    link.AlarmCommitter().Start();
    link.ComPackShow(Entry(AlarmReport(0x8080)));
    link.ComPackShow(Entry(AlarmReport(0x8081)));
    link.AlarmCommitter().Stop();
    EXPECT_TRUE(Logged("2 reports were not stored: the database is unavailable; their units had "
                       "no acknowledgement and will report them again",
                       clRed));
    EXPECT_TRUE(link.Tick().empty());
}

// The committing thread of a listening server stores and acknowledges a
// report on its own.
TEST_F(EquipmentLinkTest, CommittingThreadAcknowledgesAStoredReport) {
    QueueingEquipment link(Logger());
    link.AlarmCommitter().Start();
    link.ComPackShow(Entry(AlarmReport(0x8070)));
    std::vector<TSendBodyRecord> acks;
    ASSERT_TRUE(WaitUntil([&] {
        for (auto &b : link.Tick())
            acks.push_back(b);
        return !acks.empty();
    }));
    EXPECT_EQ(acks[0].SerialId, 0x8070);
    EXPECT_EQ(AlarmRows("UNIT-A"), 1);
}

struct SerialSpaceCase {
    const char *name;
    int sendMode;
    std::atomic<int> *counter;
    const char *key;
    int first, last; // the space: first+1 .. last
};

// Requests drawn between "crashes" (the link dropped without saving the
// counters, the counter then read back from NormalParam as at a start):
// no serial number comes twice until the counter wraps, and a crash skips at
// most one block.
TEST_F(EquipmentLinkTest, SerialNumbersAreNeverReusedAfterACrash) {
    const SerialSpaceCase cases[] = {
        {"ordinary", 0, &HandPackFlagNumber, "HandPackFlagNumber", 0, 0x5FFF},
        {"polling", 1, &CirclePackFlagNumber, "CirclePackFlagNumber", 0x6000, 0x7FFF},
    };
    std::mt19937 random(7);
    for (const SerialSpaceCase &c : cases) {
        SCOPED_TRACE(c.name);
        const int span = c.last - c.first;
        std::vector<int> seen;
        *c.counter = c.last - 300; // wraps during the runs
        int lastUsed = c.last - 300;
        for (int run = 0; run < 40; ++run) {
            {
                TLinkPaces allAtOnce;
                allAtOnce.sendFramesPerTick = 0;
                RecordingEquipment link({}, allAtOnce);
                const int draws = std::uniform_int_distribution<int>(0, 700)(random);
                for (int i = 0; i < draws; ++i)
                    link.AddDataPackage("bob", "", "UNIT-A", "02", c.sendMode, "10.0.0.5", 1, "01");
                for (const TSendBodyRecord &b : link.Tick())
                    seen.push_back(int(b.SerialId));
                if (draws > 0)
                    lastUsed = seen.back();
            } // dropped: the exact counter is never saved
            const auto stored = TNormalParamTable(*dmNet).Lookup(QString::fromLatin1(c.key));
            if (stored)
                *c.counter = stored->toInt();
            // At most one block between the last number used and the next.
            const int skipped = (*c.counter - lastUsed + span) % span;
            EXPECT_LT(skipped, TEquipmentBase::SerialBlock);
        }
        // Always upwards, except where the counter wraps from the end of its
        // space to the start (which it does in the first runs).
        int wraps = 0;
        for (std::size_t i = 1; i < seen.size(); ++i) {
            wraps += seen[i] <= seen[i - 1];
            EXPECT_GT(seen[i], c.first);
            EXPECT_LE(seen[i], c.last);
            if (seen[i] <= seen[i - 1]) {
                ASSERT_TRUE(seen[i - 1] > c.last - TEquipmentBase::SerialBlock &&
                            seen[i] <= c.first + TEquipmentBase::SerialBlock)
                    << "serial " << seen[i] << " after " << seen[i - 1];
            }
        }
        EXPECT_GE(wraps, 1);
    }
}

// A clean exit stores the exact counters; a request drawn after that (still
// on its way while the exit goes on) must be reserved on disk first, or the
// next start would hand its number out again.
TEST_F(EquipmentLinkTest, ANumberDrawnAfterTheExactSaveIsReservedFirst) {
    HandPackFlagNumber = 100;
    TLinkPaces allAtOnce;
    allAtOnce.sendFramesPerTick = 0;
    RecordingEquipment link({}, allAtOnce);
    link.AddDataPackage("bob", "", "UNIT-A", "02", 0, "10.0.0.5", 1, "01");
    const auto key = QStringLiteral("HandPackFlagNumber");
    link.SaveExactSerials([&] {
        TNormalParamTable(*dmNet).Update({{key, QString::number(HandPackFlagNumber.load())}}, true);
    });
    ASSERT_EQ(TNormalParamTable(*dmNet).Lookup(key).value_or(QString()), QStringLiteral("101"));
    link.AddDataPackage("bob", "", "UNIT-A", "02", 0, "10.0.0.5", 1, "01");
    const std::vector<TSendBodyRecord> sent = link.Tick();
    ASSERT_EQ(sent.size(), 2u);
    const int stored = TNormalParamTable(*dmNet).Lookup(key).value_or(QString()).toInt();
    for (const TSendBodyRecord &b : sent)
        EXPECT_LE(int(b.SerialId), stored) << "serial " << b.SerialId << " used but not stored";
}

// A queue entry of a connection, marked by its unit code.
TRecPackage QueuedFrame(const QString &connection, const char *code) {
    TRecPackage e;
    e.ConnectionKey = connection;
    e.Identity.EquipmentCode = QString::fromLatin1(code);
    return e;
}

int CountQueued(const TEquipmentBase &link, const char *code) {
    const auto all = link.RecPackage();
    return static_cast<int>(std::count_if(all.begin(), all.end(), [&](const TRecPackage &e) {
        return e.Identity.EquipmentCode == QLatin1String(code);
    }));
}

TEST_F(EquipmentLinkTest, ReceiveQueueIsBounded) {
    QueueingEquipment link(Logger());
    const std::size_t max = TEquipmentBase::MaxRecPackageEntries;
    // Many connections, none past its own share.
    const std::size_t connections = 2 * max / TEquipmentBase::MaxRecPackagePerConnection;
    for (std::size_t i = 0; i < max + 10; ++i)
        link.AppendRecPackage(QueuedFrame(QString::number(i % connections), "x"));
    EXPECT_EQ(link.RecPackageCount(), max);
    EXPECT_EQ(CountLogged("Receive queue full"), 1);

    // Frames are refused until the queue has drained to half.
    for (std::size_t i = 0; i < max / 2 - 1; ++i)
        link.timRecDataPackTimer();
    link.AppendRecPackage(QueuedFrame("new", "y"));
    EXPECT_EQ(CountQueued(link, "y"), 0);
    link.timRecDataPackTimer();
    link.AppendRecPackage(QueuedFrame("new", "y"));
    EXPECT_EQ(CountQueued(link, "y"), 1);
    EXPECT_EQ(CountLogged("Receive queue full"), 1);
}

// One unit flooding the queue delays another's frame by at most one of its
// own per tick, and past its share only its own frames are refused.
TEST_F(EquipmentLinkTest, ReceiveQueueServesConnectionsInTurn) {
    QueueingEquipment link(Logger());
    const std::size_t share = TEquipmentBase::MaxRecPackagePerConnection;
    for (std::size_t i = 0; i < 3 * share; ++i)
        link.AppendRecPackage(QueuedFrame("10.0.0.1#4000", "flood"));
    link.AppendRecPackage(QueuedFrame("10.0.0.2#4000", "quiet"));
    EXPECT_EQ(CountQueued(link, "flood"), static_cast<int>(share));
    EXPECT_EQ(CountQueued(link, "quiet"), 1);
    EXPECT_EQ(CountLogged("Equipment (10.0.0.1#4000) sends faster"), 1);
    EXPECT_EQ(CountLogged("10.0.0.2#4000"), 0);
    EXPECT_EQ(CountLogged("Receive queue full"), 0);

    const auto order = link.RecPackage();
    ASSERT_GE(order.size(), 2u);
    EXPECT_EQ(order[1].Identity.EquipmentCode, "quiet");
    link.timRecDataPackTimer();
    link.timRecDataPackTimer();
    EXPECT_EQ(CountQueued(link, "quiet"), 0);

    // The flood is refused until half its share has been served, then taken
    // again; a second episode is reported again.
    for (std::size_t i = 0; i < share / 2; ++i)
        link.timRecDataPackTimer();
    link.AppendRecPackage(QueuedFrame("10.0.0.1#4000", "again"));
    EXPECT_EQ(CountQueued(link, "again"), 1);
    for (std::size_t i = 0; i < share; ++i)
        link.AppendRecPackage(QueuedFrame("10.0.0.1#4000", "again"));
    EXPECT_EQ(CountLogged("Equipment (10.0.0.1#4000) sends faster"), 2);
}

TEST_F(EquipmentLinkTest, FrameLongerThan2049BytesIsNotSent) {
    Own("UNIT-A", "bob", "Hall 2");
    StartServer();
    auto unit = Connect();
    ASSERT_NO_FATAL_FAILURE(Beat(*unit, "UNIT-A", 0x0101));
    const qsizetype before = unit->received.size();

    // Find the data length whose frame has exactly 2049 bytes on the wire.
    auto wire = [](int serial, int dataBytes) {
        return Frame(Content(0x0101, 1, static_cast<std::uint16_t>(serial), 0x80, 0x02, 0xFF,
                             QByteArray(dataBytes, '\x11')));
    };
    int fits = 2000;
    while (wire(2, fits + 1).size() <= TEquipmentTcp::MaxSendFrameBytes)
        ++fits;
    ASSERT_EQ(wire(2, fits).size(), 2049);

    server_->AddDataPackage("bob", "Hall 2", "UNIT-A", "02", 0, "10.0.0.5", 40321,
                            QString(2 * 2100, QLatin1Char('1')));
    server_->timSendDataPackTimer();
    const std::vector<StandInClient::Sent> failure = {
        {"10.0.0.5", 40321,
         "*21Send data equipment(Equipment:Hall 2  EquipmentIP:127.0.0.1  EquipmentPort:" +
             unit->PortText() + ") fail*"}};
    EXPECT_EQ(client_.sent, failure);
    EXPECT_EQ(CountLogged("more than 2049"), 1);
    EXPECT_EQ(CountLogged("Server->Equipment ("), 0);
    EXPECT_EQ(CountLogged("not connect"), 0);
    EXPECT_TRUE(TempHistory().empty());

    // The largest frame that fits is sent whole; it is the first thing the
    // unit receives after its heartbeat reply.
    server_->AddDataPackage("bob", "Hall 2", "UNIT-A", "02", 0, "10.0.0.5", 40321,
                            QString(2 * fits, QLatin1Char('1')));
    server_->timSendDataPackTimer();
    ASSERT_TRUE(unit->WaitReceived(before + 2049));
    EXPECT_EQ(unit->received.mid(before), wire(2, fits));
    EXPECT_EQ(TempHistory().size(), 1u);
}

// ---------------------------------------------------------------------------
// The real server process

class EquipmentServerProcess : public EquipmentLinkTest {};

TEST_F(EquipmentServerProcess, AnswersHeartbeatsAndClosesSilentUnits) {
    Own("UNIT-A", "bob", "Hall 2");
    dmNet = nullptr;
    db_.reset();
    const int port = mmstest::FreeTcpPort();
    home_->WriteFile("Set.ini", QStringLiteral("[Set]\nDeviceConnectPort=%1\nDataBasePort=%2\n"
                                               "ClientConnectPort=%3\n")
                                    .arg(port)
                                    .arg(mmstest::FreeTcpPort())
                                    .arg(mmstest::FreeTcpPort())
                                    .toUtf8());
    mmstest::ServerProcess server;
    ASSERT_TRUE(server.Start({"--home", home_->Path()}, {"MMS_PACE_LIVENESS_MS=100"}));

    QTcpSocket unit;
    bool connected = false;
    for (int i = 0; i < 100 && !connected; ++i) {
        unit.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
        connected = unit.waitForConnected(1000);
        if (!connected) {
            unit.abort();
            QThread::msleep(100);
        }
    }
    ASSERT_TRUE(connected) << server.StdErr().toStdString();
    const QByteArray content = HeartbeatContent("UNIT-A", 0x0101, 1, 3);
    unit.write(Frame(content));
    QByteArray received;
    while (received.size() < HeartbeatReply(content).size() && unit.waitForReadyRead(5000))
        received += unit.readAll();
    EXPECT_EQ(received, HeartbeatReply(content));
    EXPECT_TRUE(server.WaitForLine("Equipment->Server HeartBeat (EquipmentCode:UNIT-A"));

    // Silent from now on: closed after the liveness ticks.
    EXPECT_TRUE(server.WaitForLine("Equipment (EquipmentCode:UNIT-A  EquipmentIP:127.0.0.1"));
    const auto abnormal = server.WaitForLine(") abnormal");
    ASSERT_TRUE(abnormal);
    EXPECT_TRUE(abnormal->contains("StationNo.:0x101  EquipmentNo.:1) abnormal"));
    EXPECT_TRUE(unit.state() == QAbstractSocket::UnconnectedState ||
                unit.waitForDisconnected(5000));
    EXPECT_EQ(server.Terminate(), 0);
}

TEST_F(EquipmentServerProcess, EquipmentPortInUseEndsTheStart) {
    QTcpServer taken;
    ASSERT_TRUE(taken.listen(QHostAddress::AnyIPv4, 0));
    home_->WriteFile("Set.ini", QStringLiteral("[Set]\nDeviceConnectPort=%1\nDataBasePort=%2\n"
                                               "ClientConnectPort=%3\n")
                                    .arg(taken.serverPort())
                                    .arg(mmstest::FreeTcpPort())
                                    .arg(mmstest::FreeTcpPort())
                                    .toUtf8());
    dmNet = nullptr;
    db_.reset();
    mmstest::ServerProcess server;
    ASSERT_TRUE(server.Start({"--home", home_->Path()}));
    EXPECT_EQ(server.WaitForExit(), 1);
    EXPECT_TRUE(server.StdErr().contains("Open listen equipment server failed."))
        << server.StdErr().toStdString();
}

} // namespace
