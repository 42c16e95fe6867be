// The alarm e-mail worker, stepped directly with an injected clock, pauses and
// sender, on a SQLite home; plus one run of the real thread against a real
// SMTP server.
#include "AlarmOutbox.h"
#include "NetD.h"
#include "ParamDictionary.h"
#include "PublicU.h"
#include "SendEmailAlertInfomation.h"
#include "SmtpTestServer.h"
#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>
#include <QThread>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <mutex>
#include <variant>

static std::ostream &operator<<(std::ostream &os, const QString &s) {
    return os << s.toStdString();
}

namespace {

using namespace std::chrono_literals;

// Dictionary entries of the test parameters: type 03 (alarm), type 04
// (bypass state), with names of various lengths.
const QStringList kParams = {
    QStringLiteral("03000001#0301&Power Failure Alarm"),
    QStringLiteral("03000001#0302&Door Alarm 1"), // 12 characters
    QStringLiteral("04000001#0401&Bypass State"),
};
const QString kPower = QStringLiteral("Power Failure Alarm");

// One data item of a one-byte value: length 04, code little-endian, value.
QString Item(const QString &code, bool set) {
    return QStringLiteral("04") + code.mid(2, 2) + code.left(2) +
           (set ? QStringLiteral("01") : QStringLiteral("00"));
}

QString ReportLine(const QString &unit, const QString &items, const QString &time) {
    return unit + QLatin1Char('#') + items + QLatin1Char('@') + time;
}

void PushLine(const QString &line) {
    std::lock_guard lock(lstAlertStringLock);
    lstAlertString.append(line);
}

qsizetype QueuedLines() {
    std::lock_guard lock(lstAlertStringLock);
    return lstAlertString.size();
}

// Sets the SMTP account globals for one test and restores them afterwards.
class AccountGuard {
public:
    AccountGuard(const QString &host, const QString &type, const QString &user = {},
                 const QString &password = {})
        : saved_{EmailSmtpHost, EmailEncryptType, EmailSendUserName, EmailSendPassword} {
        EmailSmtpHost = host;
        EmailEncryptType = type;
        EmailSendUserName = user;
        EmailSendPassword = password;
    }
    ~AccountGuard() {
        EmailSmtpHost = saved_[0];
        EmailEncryptType = saved_[1];
        EmailSendUserName = saved_[2];
        EmailSendPassword = saved_[3];
    }

private:
    QString saved_[4];
};

struct SentMail {
    QString address;
    QString subject;
    QString fileName;
    QByteArray attachment;
};

// A worker on a fresh SQLite home, with a settable clock, recorded pauses and
// a recording sender that reads the attachment while it exists.
class AlertWorker : public ::testing::Test {
protected:
    void SetUp() override {
        savedParams_ = lstParamProperty;
        lstParamProperty = kParams;
        savedShortDate_ = sysShortDate;
        sysShortDate = QStringLiteral("yyyy-MM-dd");
        {
            std::lock_guard lock(lstAlertStringLock);
            lstAlertString.clear();
        }
        home_ = mmstest::MakeSqliteHome();
        const DbTarget target = home_->SqliteTarget();
        net_ = std::make_unique<TdmNet>(target);
        savedNet_ = dmNet;
        dmNet = net_.get();
        now_ = QDateTime(QDate(2024, 3, 5), QTime(8, 30, 15));
    }

    void TearDown() override {
        worker_.reset();
        dmNet = savedNet_;
        net_.reset();
        lstParamProperty = savedParams_;
        sysShortDate = savedShortDate_;
        std::lock_guard lock(lstAlertStringLock);
        lstAlertString.clear();
    }

    TAlertMailConfig Config() {
        TAlertMailConfig c;
        c.homeDir = home_->Path();
        c.clock = [this] { return now_; };
        c.pause = [this](std::chrono::milliseconds d) {
            std::lock_guard lock(recordLock_);
            events_.push_back(QStringLiteral("pause %1").arg(d.count()));
        };
        c.sendMail = [this](const QString &address, const QString &subject, const QString &path) {
            SentMail m{address, subject, QFileInfo(path).fileName(), {}};
            QFile f(path);
            if (f.open(QIODevice::ReadOnly))
                m.attachment = f.readAll();
            std::lock_guard lock(recordLock_);
            events_.push_back(QStringLiteral("send ") + address);
            sent_.push_back(m);
            return sendResult_;
        };
        return c;
    }

    TSendEmailAlertInfomation &Worker() {
        if (!worker_)
            UseWorker(Config());
        return *worker_;
    }
    // Makes the worker the tests step, with its log recorded.
    void UseWorker(TAlertMailConfig config) {
        worker_ = std::make_unique<TSendEmailAlertInfomation>(
            [this](const QString &text, quint32 colour) {
                std::lock_guard lock(recordLock_);
                log_.push_back({text, colour});
            },
            std::move(config));
    }

    void AddUser(const QString &name, int useState) {
        dmNet->Exec(QStringLiteral("insert into UserRegister (UserName, UserPassword, Email, "
                                   "UseState) values (?, ?, ?, ?)"),
                    {name, QStringLiteral("pw"), name + QStringLiteral("@example.com"), useState});
    }

    void Own(const QString &user, const QString &unit, const QString &unitName) {
        dmNet->Exec(QStringLiteral("insert into UserEquipment (UserName, EquipmentCode, "
                                   "EquipmentName, EquipmentType) values (?, ?, ?, ?)"),
                    {user, unit, unitName, QStringLiteral("03")});
    }

    // Analyses one report of the unit now.
    void Report(const QString &unit, const QString &items, const QString &time) {
        PushLine(ReportLine(unit, items, time));
        Worker().AlertStringAnalysis();
    }

    // Every pending line as "status@time".
    QStringList PendingLines() {
        QStringList out;
        for (const auto &s : Worker().PendingSnapshot())
            for (const auto &l : s.ParamList)
                out << l.ParameterStatus + QLatin1Char('@') + l.AlertTime;
        return out;
    }

    QStringList LogTexts() {
        std::lock_guard lock(recordLock_);
        QStringList out;
        for (const auto &[text, colour] : log_)
            out << text;
        return out;
    }

    std::unique_ptr<mmstest::TestHome> home_;
    std::unique_ptr<TdmNet> net_;
    TdmNet *savedNet_ = nullptr;
    QStringList savedParams_;
    QString savedShortDate_;
    QDateTime now_;
    bool sendResult_ = true;
    std::mutex recordLock_;
    std::vector<SentMail> sent_;
    QStringList events_;
    std::vector<std::pair<QString, quint32>> log_;
    std::unique_ptr<TSendEmailAlertInfomation> worker_;
};

// --- analysis and line production -----------------------------------------

struct Op {
    enum Kind { Alert, Normal, Bypass, Passes } kind;
    int passes = 0;
};
Op A() {
    return {Op::Alert};
}
Op N() {
    return {Op::Normal};
}
Op B() {
    return {Op::Bypass};
}
Op P(int n) {
    return {Op::Passes, n};
}

struct EpisodeCase {
    const char *name;
    std::vector<Op> ops;
    // Expected lines as "status@report number" (reports are numbered from 1).
    QStringList lines;
};

void PrintTo(const EpisodeCase &c, std::ostream *os) {
    *os << c.name;
}

class AlertEpisodes : public AlertWorker, public ::testing::WithParamInterface<EpisodeCase> {};

TEST_P(AlertEpisodes, ProduceTheExpectedLines) {
    const EpisodeCase &c = GetParam();
    int report = 0;
    auto time = [](int n) {
        return QStringLiteral("2024-03-05 10:%1:00").arg(n, 2, 10, QLatin1Char('0'));
    };
    for (const Op &op : c.ops) {
        switch (op.kind) {
        case Op::Alert:
            Report(QStringLiteral("U1"), Item(QStringLiteral("0301"), true), time(++report));
            break;
        case Op::Normal:
            Report(QStringLiteral("U1"), Item(QStringLiteral("0301"), false), time(++report));
            break;
        case Op::Bypass:
            Report(QStringLiteral("U1"), Item(QStringLiteral("0401"), true), time(++report));
            break;
        case Op::Passes:
            for (int i = 0; i < op.passes; ++i)
                Worker().AddAlertEmail();
            break;
        }
    }
    QStringList expected;
    for (const QString &l : c.lines) {
        const auto parts = l.split(QLatin1Char('@'));
        expected << parts[0] + QLatin1Char('@') + time(parts[1].toInt());
    }
    EXPECT_EQ(PendingLines(), expected);
    for (const auto &s : Worker().PendingSnapshot())
        for (const auto &l : s.ParamList)
            EXPECT_EQ(l.ParameterName, kPower);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AlertEpisodes,
    ::testing::Values(
        EpisodeCase{"FirstAlertMailedOnce", {A(), P(1), A(), P(1)}, {"Alert@1"}},
        EpisodeCase{"FirstNormalGivesNothing", {N(), P(200)}, {}},
        EpisodeCase{"OtherStatesGiveNothing", {B(), P(1), B(), P(200)}, {}},
        EpisodeCase{"NoRecoveryBeforePass150", {A(), P(1), N(), P(149)}, {"Alert@1"}},
        EpisodeCase{"RecoveryOnPass150", {A(), P(1), N(), P(150)}, {"Alert@1", "Normal@2"}},
        EpisodeCase{"OneRecoveryOnly", {A(), P(1), N(), P(600)}, {"Alert@1", "Normal@2"}},
        EpisodeCase{
            "CountingStopsWhenStatesAgree", {A(), P(1), N(), P(10), N(), P(300)}, {"Alert@1"}},
        EpisodeCase{
            "AlertNormalAlertGivesOneLine", {A(), P(1), N(), P(50), A(), P(300)}, {"Alert@1"}},
        EpisodeCase{"NextEpisodeMailedAgain",
                    {A(), P(1), N(), P(150), A(), P(1)},
                    {"Alert@1", "Normal@2", "Alert@3"}},
        // Two alert reports before a pass: the states agree, nothing is mailed,
        // and so the recovery is not mailed either.
        EpisodeCase{"UnmailedAlertHasNoRecovery", {A(), A(), P(1), N(), P(300)}, {}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(AlertWorker, RecoveryCounterFollowsTheStateTable) {
    auto param = [&] { return Worker().AnalysisSnapshot().at(0).ParamList.at(0); };
    Report(QStringLiteral("U1"), Item(QStringLiteral("0301"), true), QStringLiteral("t1"));
    EXPECT_EQ(param().PriorStatus, QStringLiteral("Normal"));
    EXPECT_EQ(param().LastStatus, QStringLiteral("Alert")); // blanks of the display value trimmed
    EXPECT_EQ(param().EmailStatus, QStringLiteral("00"));
    EXPECT_EQ(param().SumTime, -1);
    Worker().AddAlertEmail();
    EXPECT_EQ(param().EmailStatus, QStringLiteral("01"));
    EXPECT_EQ(param().SumTime, -1);
    Report(QStringLiteral("U1"), Item(QStringLiteral("0301"), false), QStringLiteral("t2"));
    for (int i = 1; i <= 149; ++i)
        Worker().AddAlertEmail();
    EXPECT_EQ(param().SumTime, 1490);
    EXPECT_EQ(param().AlertTime, QStringLiteral("t2"));
    Worker().AddAlertEmail();
    EXPECT_EQ(param().EmailStatus, QStringLiteral("00"));
    EXPECT_EQ(param().SumTime, -1);
}

TEST_F(AlertWorker, ParametersKeepTheirOrderAndUnitsStaySeparate) {
    Report(QStringLiteral("U1"),
           Item(QStringLiteral("0302"), true) + Item(QStringLiteral("0301"), true),
           QStringLiteral("t1"));
    Report(QStringLiteral("U2"), Item(QStringLiteral("0301"), true), QStringLiteral("t2"));
    Report(QStringLiteral("U1"), Item(QStringLiteral("0301"), false), QStringLiteral("t3"));
    const auto analysis = Worker().AnalysisSnapshot();
    ASSERT_EQ(analysis.size(), 2u);
    EXPECT_EQ(analysis[0].EquipmentCode, QStringLiteral("U1"));
    ASSERT_EQ(analysis[0].ParamList.size(), 2u);
    EXPECT_EQ(analysis[0].ParamList[0].ParamCode, QStringLiteral("0302"));
    EXPECT_EQ(analysis[0].ParamList[0].ParameterName, QStringLiteral("Door Alarm 1"));
    EXPECT_EQ(analysis[0].ParamList[1].PriorStatus, QStringLiteral("Alert"));
    EXPECT_EQ(analysis[0].ParamList[1].LastStatus, QStringLiteral("Normal"));
    EXPECT_EQ(analysis[0].ParamList[1].AlertTime, QStringLiteral("t3"));
    EXPECT_EQ(analysis[1].EquipmentCode, QStringLiteral("U2"));

    Worker().ClearAnalysisAlertList();
    EXPECT_TRUE(Worker().AnalysisSnapshot().empty());
}

TEST_F(AlertWorker, MalformedLinesAreDroppedAndTheLoopGoesOn) {
    for (const QString &bad : {QString(), QStringLiteral("NOHASH@t"), QStringLiteral("U9@t#0401"),
                               QStringLiteral("U8#04010301")})
        PushLine(bad);
    PushLine(
        ReportLine(QStringLiteral("U1"), Item(QStringLiteral("0301"), true), QStringLiteral("t")));
    for (int i = 0; i < 5; ++i)
        Worker().Step();
    EXPECT_EQ(QueuedLines(), 0);
    const auto analysis = Worker().AnalysisSnapshot();
    ASSERT_EQ(analysis.size(), 1u);
    EXPECT_EQ(analysis[0].EquipmentCode, QStringLiteral("U1"));
    // A body that is not hex yields a unit without parameters.
    PushLine(QStringLiteral("U7#ZZZZ@t"));
    Worker().Step(); // step 6 is AddAlertEmail
    Worker().Step();
    EXPECT_EQ(Worker().AnalysisSnapshot().size(), 2u);
    EXPECT_TRUE(Worker().AnalysisSnapshot()[1].ParamList.empty());
}

// --- the step loop ------------------------------------------------------------

TEST_F(AlertWorker, FirstCycleHasNineAnalysisStepsLaterCyclesEight) {
    AddUser(QStringLiteral("alice"), 0);
    for (int i = 1; i <= 30; ++i) {
        const QString unit = QStringLiteral("U%1").arg(i, 2, 10, QLatin1Char('0'));
        Own(QStringLiteral("alice"), unit, unit);
        PushLine(ReportLine(unit, Item(QStringLiteral("0301"), true), QStringLiteral("t")));
    }
    auto linesOf = [](const SentMail &m) { return m.attachment.count("\r\n") - 1; };
    const struct {
        int steps; // total steps taken so far
        qsizetype queued;
        std::size_t mails;
    } expectations[] = {
        {5, 25, 0},  // steps 1-5 analyse
        {6, 25, 0},  // step 6: AddAlertEmail
        {10, 21, 0}, // steps 7-10 analyse
        {11, 21, 1}, // step 11: DealSendEmail
        {15, 17, 1}, // steps 12-15 analyse
        {16, 17, 1}, // step 16: AddAlertEmail
        {20, 13, 1}, // steps 17-20 analyse
        {21, 13, 2}, // step 21: DealSendEmail
        {31, 5, 3},
    };
    int taken = 0;
    for (const auto &e : expectations) {
        while (taken < e.steps) {
            Worker().Step();
            ++taken;
        }
        SCOPED_TRACE(taken);
        EXPECT_EQ(QueuedLines(), e.queued);
        EXPECT_EQ(sent_.size(), e.mails);
    }
    ASSERT_EQ(sent_.size(), 3u);
    EXPECT_EQ(linesOf(sent_[0]), 5); // units analysed before step 6
    EXPECT_EQ(linesOf(sent_[1]), 8);
    EXPECT_EQ(linesOf(sent_[2]), 8);
}

TEST_F(AlertWorker, NightlyWindowDropsPendingLines) {
    AddUser(QStringLiteral("alice"), 0);
    Own(QStringLiteral("alice"), QStringLiteral("U1"), QStringLiteral("Tower"));
    const struct {
        QTime time;
        bool cleared;
    } cases[] = {
        {QTime(23, 59, 10), false}, {QTime(23, 59, 11), true},  {QTime(23, 59, 30), true},
        {QTime(23, 59, 58), true},  {QTime(23, 59, 59), false}, {QTime(0, 0, 0), false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.time.toString().toStdString());
        // Each case starts from nothing: the state is kept in the database.
        worker_.reset();
        dmNet->Exec(QStringLiteral("delete from AlarmAnalysis"));
        sent_.clear();
        log_.clear();
        now_ = QDateTime(QDate(2024, 3, 5), c.time);
        PushLine(ReportLine(QStringLiteral("U1"), Item(QStringLiteral("0301"), true),
                            QStringLiteral("t")));
        for (int i = 0; i < 11; ++i) // a whole first cycle
            Worker().Step();
        EXPECT_EQ(sent_.size(), c.cleared ? 0u : 1u);
        EXPECT_EQ(Worker().AnalysisSnapshot().empty(), c.cleared);
        EXPECT_TRUE(Worker().PendingSnapshot().empty());
        EXPECT_EQ(LogTexts().contains(QStringLiteral("Clear Alert Email List.")), c.cleared);
        if (!c.cleared)
            continue;
        // The next day the parameter's first alert is mailed again.
        now_ = QDateTime(QDate(2024, 3, 6), QTime(0, 0, 30));
        PushLine(ReportLine(QStringLiteral("U1"), Item(QStringLiteral("0301"), true),
                            QStringLiteral("t2")));
        for (int i = 0; i < 10; ++i)
            Worker().Step();
        ASSERT_EQ(sent_.size(), 1u);
        EXPECT_EQ(sent_[0].subject, QStringLiteral("2024-03-06 Alert Infomation"));
    }
}

// --- mail composition -----------------------------------------------------------

TEST_F(AlertWorker, EveryOrdinaryOwnerGetsHisOwnNames) {
    AddUser(QStringLiteral("alice"), 0);
    AddUser(QStringLiteral("root"), 6);
    AddUser(QStringLiteral("bob"), 0);
    AddUser(QStringLiteral("carol"), 1); // suspended users are mailed too
    AddUser(QStringLiteral("dave"), 0);  // owns nothing that alarmed
    Own(QStringLiteral("alice"), QStringLiteral("U1"), QStringLiteral("Tower North"));
    Own(QStringLiteral("root"), QStringLiteral("U1"), QStringLiteral("Root Name"));
    Own(QStringLiteral("bob"), QStringLiteral("U1"), QStringLiteral("Nordturm"));
    Own(QStringLiteral("carol"), QStringLiteral("U1"), QStringLiteral("Carol's"));
    Own(QStringLiteral("dave"), QStringLiteral("U2"), QStringLiteral("Quiet"));

    Report(QStringLiteral("U1"), Item(QStringLiteral("0301"), true),
           QStringLiteral("2024-03-05 08:00:00"));
    Worker().AddAlertEmail();
    Worker().DealSendEmail();

    ASSERT_EQ(sent_.size(), 3u);
    const struct {
        const char *address;
        const char *unitName;
    } expected[] = {{"alice@example.com", "Tower North"},
                    {"bob@example.com", "Nordturm"},
                    {"carol@example.com", "Carol's"}};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(sent_[i].address, QLatin1String(expected[i].address));
        EXPECT_EQ(sent_[i].subject, QStringLiteral("2024-03-05 Alert Infomation"));
        EXPECT_EQ(sent_[i].fileName, QStringLiteral("Alert083015.txt"));
        const QByteArray line = TSendEmailAlertInfomation::AlertMailLine(
                                    QLatin1String(expected[i].unitName), kPower,
                                    QStringLiteral("Alert"), QStringLiteral("2024-03-05 08:00:00"))
                                    .toLatin1();
        EXPECT_EQ(sent_[i].attachment,
                  TSendEmailAlertInfomation::AlertMailHeader.toLatin1() + "\r\n" + line + "\r\n");
    }
    EXPECT_EQ(LogTexts(), (QStringList{"Send User alice(alice@example.com) Email finish.",
                                       "Send User bob(bob@example.com) Email finish.",
                                       "Send User carol(carol@example.com) Email finish."}));
    EXPECT_TRUE(Worker().PendingSnapshot().empty());
    EXPECT_FALSE(QFile::exists(home_->File(QStringLiteral("Alert083015.txt"))));
}

TEST_F(AlertWorker, AttachmentLayoutByteForByte) {
    AddUser(QStringLiteral("alice"), 0);
    Own(QStringLiteral("alice"), QStringLiteral("U1"),
        QStringLiteral("ABCDEFGHIJKLMNOPQRST")); // 20
    Own(QStringLiteral("alice"), QStringLiteral("U2"), QStringLiteral("北塔"));

    Report(QStringLiteral("U1"), Item(QStringLiteral("0302"), true),
           QStringLiteral("2024-03-05 08:00:01"));
    Report(QStringLiteral("U2"), Item(QStringLiteral("0301"), true),
           QStringLiteral("2024-03-05 08:00:02"));
    Worker().AddAlertEmail();
    Report(QStringLiteral("U1"), Item(QStringLiteral("0302"), false),
           QStringLiteral("2024-03-05 08:00:03"));
    for (int i = 0; i < 150; ++i)
        Worker().AddAlertEmail();
    Worker().DealSendEmail();

    ASSERT_EQ(sent_.size(), 1u);
    const QByteArray blanks28(28, ' ');
    const QByteArray expected =
        "Equipment       Parameter                                Status     AlertTime\r\n"
        "ABCDEFGHIJKLMNO Door Alarm 1" +
        blanks28 + " Alert      2024-03-05 08:00:01\r\n" + "ABCDEFGHIJKLMNO Door Alarm 1" +
        blanks28 + " Normal     2024-03-05 08:00:03\r\n" + QByteArray::fromHex("b1b1cbfe") +
        QByteArray(13 + 1, ' ') + // 北塔 in GB18030, padded
        "Power Failure Alarm" + QByteArray(21 + 1, ' ') + "Alert      2024-03-05 08:00:02\r\n";
    EXPECT_EQ(sent_[0].attachment, expected);
}

TEST_F(AlertWorker, LineFieldsAreCutAndPadded) {
    const struct {
        QString unit, param, status, time;
        QString line;
    } cases[] = {
        {"ABCDEFGHIJKLMNOPQRST", "Door Alarm 1", "Normal", "T",
         "ABCDEFGHIJKLMNO Door Alarm 1" + QString(28, ' ') + " Normal    " + " T"},
        {"", "P" + QString(50, 'x'), "StatusTooLong", " keep ",
         QString(15, ' ') + " P" + QString(39, 'x') + " StatusTooL" + "  keep "},
    };
    for (const auto &c : cases)
        EXPECT_EQ(TSendEmailAlertInfomation::AlertMailLine(c.unit, c.param, c.status, c.time),
                  c.line);
}

TEST_F(AlertWorker, LinesWithoutOrdinaryOwnerAreDropped) {
    AddUser(QStringLiteral("root"), 6);
    Own(QStringLiteral("root"), QStringLiteral("U1"), QStringLiteral("Root"));
    Report(QStringLiteral("U1"), Item(QStringLiteral("0301"), true), QStringLiteral("t"));
    Worker().AddAlertEmail();
    Worker().DealSendEmail();
    EXPECT_TRUE(sent_.empty());
    EXPECT_TRUE(Worker().PendingSnapshot().empty());
}

TEST_F(AlertWorker, QueryFailureKeepsPendingLines) {
    Report(QStringLiteral("U1"), Item(QStringLiteral("0301"), true), QStringLiteral("t"));
    Worker().AddAlertEmail();
    dmNet->Exec(QStringLiteral("drop table UserEquipment"));
    AddUser(QStringLiteral("alice"), 0);
    EXPECT_ANY_THROW(Worker().DealSendEmail());
    EXPECT_EQ(PendingLines().size(), 1);
    // Inside the loop the failure is swallowed and the cycle goes on.
    for (int i = 0; i < 31; ++i)
        Worker().Step();
    EXPECT_EQ(PendingLines().size(), 1);
}

TEST_F(AlertWorker, FailedMailIsTriedTwiceOneSecondApart) {
    AddUser(QStringLiteral("alice"), 0);
    AddUser(QStringLiteral("bob"), 0);
    Own(QStringLiteral("alice"), QStringLiteral("U1"), QStringLiteral("A"));
    Own(QStringLiteral("bob"), QStringLiteral("U1"), QStringLiteral("B"));
    // A real send to a port nobody listens on.
    const AccountGuard account(QStringLiteral("127.0.0.1:%1").arg(mmstest::FreeTcpPort()),
                               QStringLiteral("Auto"), QStringLiteral("me@example.com"),
                               QStringLiteral("pw"));
    TAlertMailConfig config = Config();
    auto record = config.sendMail;
    config.sendMail = [record](const QString &address, const QString &subject,
                               const QString &path) {
        record(address, subject, path);
        MailOptions options;
        options.connectTimeout = 3s;
        return SendAlertEmail(address, subject, path, options);
    };
    UseWorker(config);

    Report(QStringLiteral("U1"), Item(QStringLiteral("0301"), true), QStringLiteral("t"));
    Worker().AddAlertEmail();
    Worker().DealSendEmail();

    EXPECT_EQ(events_,
              (QStringList{"send alice@example.com", "pause 1000", "send alice@example.com",
                           "send bob@example.com", "pause 1000", "send bob@example.com"}));
    EXPECT_EQ(LogTexts(), (QStringList{"Send User alice(alice@example.com) Email fail.",
                                       "Send User bob(bob@example.com) Email fail."}));
    ASSERT_EQ(log_.size(), 2u);
    EXPECT_EQ(log_[0].second, clWhite);
    EXPECT_TRUE(Worker().PendingSnapshot().empty());
    EXPECT_FALSE(QFile::exists(home_->File(QStringLiteral("Alert083015.txt"))));

    // The worker goes on: the next episode is analysed and mailed again.
    events_.clear();
    Report(QStringLiteral("U1"), Item(QStringLiteral("0301"), false), QStringLiteral("t2"));
    Report(QStringLiteral("U1"), Item(QStringLiteral("0302"), true), QStringLiteral("t3"));
    Worker().AddAlertEmail();
    Worker().DealSendEmail();
    EXPECT_EQ(events_.size(), 6);
}

TEST_F(AlertWorker, SecondAttemptMaySucceed) {
    AddUser(QStringLiteral("alice"), 0);
    Own(QStringLiteral("alice"), QStringLiteral("U1"), QStringLiteral("A"));
    TAlertMailConfig config = Config();
    auto record = config.sendMail;
    int calls = 0;
    config.sendMail = [&](const QString &a, const QString &s, const QString &p) {
        record(a, s, p);
        return ++calls == 2;
    };
    UseWorker(config);
    Report(QStringLiteral("U1"), Item(QStringLiteral("0301"), true), QStringLiteral("t"));
    Worker().AddAlertEmail();
    Worker().DealSendEmail();
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(LogTexts(), QStringList{"Send User alice(alice@example.com) Email finish."});
}

// --- the outbox: the worker's work survives a crash -------------------------------

// A report queued in AlarmQueue as the equipment link does.
void QueueReport(const QString &unit, const QString &items, const QString &time) {
    TAlarmOutbox(*dmNet).Queue({{0, unit, items, time}});
}

qsizetype TableRows(const char *table) {
    return dmNet->Select(QStringLiteral("select count(*) from ") + QLatin1String(table))[0]
        .value(0)
        .toLongLong();
}

// The worker dies (destroyed without its mail pass) after analysing an alert:
// the next worker mails it, and a recovery after that restart still gives
// its "Normal" line.
TEST_F(AlertWorker, CrashBetweenAnalysisAndMailLosesNothing) {
    AddUser(QStringLiteral("alice"), 0);
    Own(QStringLiteral("alice"), QStringLiteral("U1"), QStringLiteral("Tower"));
    QueueReport(QStringLiteral("U1"), Item(QStringLiteral("0301"), true), QStringLiteral("t1"));
    Worker().AlertStringAnalysis();
    EXPECT_EQ(TableRows("AlarmQueue"), 0);
    Worker().AddAlertEmail();
    EXPECT_EQ(TableRows("AlarmMailLine"), 1);
    worker_.reset(); // the crash

    Worker().DealSendEmail();
    ASSERT_EQ(sent_.size(), 1u);
    EXPECT_TRUE(sent_[0].attachment.contains("Alert      t1"));
    EXPECT_EQ(TableRows("AlarmMailLine"), 0);
    worker_.reset(); // and another one

    QueueReport(QStringLiteral("U1"), Item(QStringLiteral("0301"), false), QStringLiteral("t2"));
    Worker().AlertStringAnalysis();
    for (int i = 0; i < 150; ++i)
        Worker().AddAlertEmail();
    EXPECT_EQ(PendingLines(), QStringList{"Normal@t2"});
    Worker().DealSendEmail();
    ASSERT_EQ(sent_.size(), 2u);
    EXPECT_TRUE(sent_[1].attachment.contains("Normal     t2"));
}

// The process dies while bob's mail server holds his mail: after the restart
// alice, whose mail was accepted, is not mailed again; bob gets his mail once
// more (the one duplicate).
TEST_F(AlertWorker, CrashWhileTheServerHoldsAMailSendsItAtMostTwice) {
    for (const char *user : {"alice", "bob"}) {
        AddUser(QString::fromLatin1(user), 0);
        Own(QString::fromLatin1(user), QStringLiteral("U1"), QStringLiteral("Tower"));
    }
    QueueReport(QStringLiteral("U1"), Item(QStringLiteral("0301"), true), QStringLiteral("t1"));
    std::map<QString, int> mails;
    struct Crash {};
    TAlertMailConfig config = Config();
    config.sendMail = [&](const QString &address, const QString &, const QString &) {
        ++mails[address];
        if (address.startsWith(QLatin1String("bob")))
            throw Crash{}; // the process ends inside bob's exchange
        return true;
    };
    UseWorker(config);
    Worker().AlertStringAnalysis();
    Worker().AddAlertEmail();
    EXPECT_THROW(Worker().DealSendEmail(), Crash);
    worker_.reset();

    UseWorker(Config()); // restarted, with a sender that works
    Worker().DealSendEmail();
    ASSERT_EQ(sent_.size(), 1u);
    EXPECT_EQ(sent_[0].address, QStringLiteral("bob@example.com"));
    EXPECT_EQ(mails[QStringLiteral("alice@example.com")], 1);
    EXPECT_EQ(TableRows("AlarmMailLine"), 0);
    EXPECT_EQ(TableRows("AlarmMailProgress"), 0);
}

// The nightly clearing empties the tables as well as the lists.
TEST_F(AlertWorker, NightlyClearingEmptiesTheOutbox) {
    QueueReport(QStringLiteral("U1"), Item(QStringLiteral("0301"), true), QStringLiteral("t1"));
    now_ = QDateTime(QDate(2024, 3, 5), QTime(23, 59, 30));
    for (int i = 0; i < 11; ++i)
        Worker().Step();
    EXPECT_EQ(TableRows("AlarmAnalysis"), 0);
    EXPECT_EQ(TableRows("AlarmMailLine"), 0);
    worker_.reset();
    EXPECT_TRUE(Worker().AnalysisSnapshot().empty());
}

// --- the real thread ------------------------------------------------------------

TEST_F(AlertWorker, EventThreadMayClearAndQueueWhileTheWorkerRuns) {
    TAlertMailConfig config = Config();
    config.stepPace = 0ms;
    config.pause = {}; // the worker's own pause, which ends when it stops
    auto worker = std::make_unique<TSendEmailAlertInfomation>(TCommInfoHint{}, config);
    worker->Start();
    for (int i = 0; i < 400; ++i) {
        PushLine(ReportLine(QStringLiteral("U%1").arg(i % 7), Item(QStringLiteral("0301"), i % 2),
                            QStringLiteral("t")));
        if (i % 10 == 0)
            worker->ClearAnalysisAlertList();
    }
    for (int i = 0; i < 30000 && QueuedLines() > 0; ++i)
        QThread::msleep(1);
    EXPECT_EQ(QueuedLines(), 0);
    worker.reset();
}

TEST_F(AlertWorker, StopCutsAHangingMailAndLeavesTheOtherOwners) {
    // Five owners wait for mail; the mail server accepts and never answers.
    QTcpServer silent;
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost));
    for (int i = 1; i <= 5; ++i) {
        const QString user = QStringLiteral("user%1").arg(i);
        AddUser(user, 0);
        Own(user, QStringLiteral("U1"), QStringLiteral("Unit"));
    }
    const AccountGuard account(QStringLiteral("127.0.0.1:%1").arg(silent.serverPort()),
                               QStringLiteral("Auto"), QStringLiteral("me@example.com"),
                               QStringLiteral("pw"));
    TAlertMailConfig config;
    config.homeDir = home_->Path();
    config.stepPace = 1ms; // the real sender and the worker's own pauses
    UseWorker(config);
    PushLine(
        ReportLine(QStringLiteral("U1"), Item(QStringLiteral("0301"), true), QStringLiteral("t")));
    worker_->Start();
    // The worker is inside the first exchange once the server sees it.
    ASSERT_TRUE(silent.waitForNewConnection(30000));

    QElapsedTimer clock;
    clock.start();
    worker_.reset();
    EXPECT_LT(clock.elapsed(), 2000);
    // The cut mail is a failure, not tried again; nobody else was mailed.
    EXPECT_EQ(LogTexts(), QStringList{"Send User user1(user1@example.com) Email fail."});
    EXPECT_FALSE(silent.waitForNewConnection(100));
}

// --- the real thread and a real server ------------------------------------------------

TEST_F(AlertWorker, ReportEndsAsMailInTheMailbox) {
    mmstest::SmtpTestServer server(mmstest::SmtpTestServer::Mode::StartTls);
    ASSERT_TRUE(server.Start()) << server.Error();
    AddUser(QStringLiteral("alice"), 0);
    Own(QStringLiteral("alice"), QStringLiteral("0022AB"), QStringLiteral("Hill Repeater"));

    const AccountGuard account(server.HostPort(), QStringLiteral("TLS"), server.User(),
                               server.Password());

    TAlertMailConfig config;
    config.homeDir = home_->Path();
    config.mailOptions.caFile = server.CaFile();
    config.clock = [] { return QDateTime(QDate(2024, 3, 5), QTime(12, 0, 0)); };
    config.stepPace = 1ms;
    auto worker = std::make_unique<TSendEmailAlertInfomation>(TCommInfoHint{}, config);
    worker->Start();
    PushLine(ReportLine(QStringLiteral("0022AB"),
                        Item(QStringLiteral("0301"), true) + Item(QStringLiteral("0302"), false),
                        QStringLiteral(" 2024-03-05 11:59:58 ")));
    const auto mails = server.WaitForMessages(1, 30s);
    worker.reset(); // stops and joins the thread

    ASSERT_EQ(mails.size(), 1u);
    const auto &m = mails[0];
    EXPECT_TRUE(m.tls);
    EXPECT_EQ(m.authUser, server.User());
    EXPECT_EQ(m.rcptTos, QStringList{QStringLiteral("alice@example.com")});
    EXPECT_EQ(m.subject, QStringLiteral("2024-03-05 Alert Infomation"));
    ASSERT_EQ(m.attachments.size(), 1u);
    EXPECT_EQ(m.attachments[0].fileName, QStringLiteral("Alert120000.txt"));
    EXPECT_EQ(m.attachments[0].charset, QStringLiteral("GB18030"));
    EXPECT_EQ(m.attachments[0].data,
              "Equipment       Parameter                                Status     AlertTime\r\n"
              "Hill Repeater   Power Failure Alarm" +
                  QByteArray(21 + 1, ' ') + "Alert      2024-03-05 11:59:58\r\n");
    EXPECT_FALSE(QFile::exists(home_->File(QStringLiteral("Alert120000.txt"))));
}

} // namespace
