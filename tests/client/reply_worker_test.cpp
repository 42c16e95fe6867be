// The database-save and reply worker against a real SQLite database and a
// recording client link: what is sent to whom, what is logged, what is
// stored, and when an unanswered request is dropped (with a pinned clock).
#include "NetD.h"
#include "SaveDataBaseSendClient.h"
#include "TestSupport.h"

#include <QSqlQuery>

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

namespace {

class RecordingLink : public TClientLink {
public:
    struct Connection {
        QString ip;
        int port;
    };
    std::vector<Connection> open;
    std::vector<std::pair<QString, QString>> broadcasts; // code, message
    std::vector<QString> sent;
    QString broadcastReceivers = QStringLiteral("[receivers]");
    bool failBroadcast = false;
    std::mutex lock;

    QString EquipmentBroadcast(const QString &code, const QString &message) override {
        std::lock_guard guard(lock);
        if (failBroadcast)
            throw std::runtime_error("database gone");
        broadcasts.emplace_back(code, message);
        return broadcastReceivers;
    }
    bool SendToClient(const QString &ip, int port, const QString &text) override {
        std::lock_guard guard(lock);
        for (const Connection &c : open)
            if (c.ip == ip && c.port == port) {
                sent.push_back(text);
                return true;
            }
        return false;
    }
};

struct LogLine {
    QString text;
    quint32 colour;
};

const QDateTime T0(QDate(2024, 5, 6), QTime(10, 20, 30));

// A query answered three seconds after it was sent.
TTempHistoryInfo AnsweredQuery() {
    TTempHistoryInfo e;
    e.UserName = "bob";
    e.EquipmentName = "Hall 2";
    e.ClientIp = "10.0.0.5";
    e.ClientPort = 40321;
    e.EquipmentCode = "A001";
    e.SerialId = 7;
    e.OperateFlag = "02";
    e.QueryMode = "General";
    e.BodyValue = "7E0301...7E";
    e.DataBody = "070101000000";
    e.QueryTime = T0;
    e.ReturnTime = T0.addSecs(3);
    e.SiteNum = "101";
    e.EquipmentNum = 1;
    e.EquipmentIp = "10.0.0.9";
    e.EquipmentPort = 5210;
    return e;
}

TTempHistoryInfo AlarmReport() {
    TTempHistoryInfo e;
    e.EquipmentCode = "A001";
    e.SerialId = 0x8001;
    e.OperateFlag = "01";
    e.BodyValue = "7E03018001...7E";
    e.DataBody = "04100301";
    e.ReturnTime = T0;
    e.SiteNum = "101";
    e.EquipmentNum = 1;
    e.EquipmentIp = "10.0.0.9";
    e.EquipmentPort = 5210;
    return e;
}

class ReplyWorker : public ::testing::Test {
protected:
    void SetUp() override {
        home = mmstest::MakeSqliteHome();
        const DbTarget t = home->SqliteTarget();
        db = std::make_unique<TdmNet>(t);
        db->Open();
        dmNet = db.get();
        std::lock_guard guard(lstTempHistoryLock);
        lstTempHistory.clear();
    }
    void TearDown() override {
        worker.Stop();
        {
            std::lock_guard guard(lstTempHistoryLock);
            lstTempHistory.clear();
        }
        db->ReleaseThreadConnection();
        dmNet = nullptr;
    }

    static void Push(const TTempHistoryInfo &e) {
        std::lock_guard guard(lstTempHistoryLock);
        lstTempHistory.push_back(std::make_unique<TTempHistoryInfo>(e));
    }
    static std::size_t Pending() {
        std::lock_guard guard(lstTempHistoryLock);
        return lstTempHistory.size();
    }
    static std::vector<QStringList> Rows(const QString &sql) {
        std::vector<QStringList> rows;
        for (const QSqlRecord &r : dmNet->Select(sql)) {
            QStringList row;
            for (int i = 0; i < r.count(); ++i)
                row << r.value(i).toString();
            rows.push_back(row);
        }
        return rows;
    }
    static TLinkPaces NoPauses() {
        TLinkPaces p;
        p.replyPass = std::chrono::milliseconds(1);
        p.replyPerEntry = std::chrono::milliseconds(0);
        return p;
    }

    std::unique_ptr<mmstest::TestHome> home;
    std::unique_ptr<TdmNet> db;
    RecordingLink link;
    std::vector<LogLine> log;
    std::mutex logLock;
    QDateTime now = T0.addSecs(3);
    TSaveDataBaseSendClient worker{link,
                                   [this](const QString &t, quint32 c) {
                                       std::lock_guard guard(logLock);
                                       log.push_back({t, c});
                                   },
                                   NoPauses(), [this] { return now; }};
};

TEST_F(ReplyWorker, AnsweredQueryGoesToItsClientIsLoggedStoredAndRemoved) {
    link.open = {{"10.0.0.5", 40320}, {"10.0.0.5", 40321}};
    Push(AnsweredQuery());
    worker.Pass();

    ASSERT_EQ(link.sent.size(), 1u);
    EXPECT_EQ(link.sent[0], "*01A001@10.0.0.9&5210^7E0301...7E#Hall 2*");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].text, "Server->Client (Equipment:Hall 2  UserName:bob  ClientIP:10.0.0.5  "
                           "ClientPort:40321  SiteNo.:101  EquipmentNo.:1  SerialId:7)\r"
                           "7E0301...7E");
    EXPECT_EQ(log[0].colour, clYellow);
    const auto rows = Rows("select * from QueryHistory");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], (QStringList{"Hall 2", "A001", "02", "General", "070101000000",
                                    "2024-05-06 10:20:30", "2024-05-06 10:20:33"}));
    EXPECT_EQ(Pending(), 0u);
}

// ReplyEntryPauseMs=0 (a large fleet's alarm storm): a burst of answers all
// reaches the clients in one pass.
TEST_F(ReplyWorker, WithoutEntryPauseABurstGoesOutInOnePass) {
    link.open = {{"10.0.0.5", 40321}};
    for (int i = 0; i < 20; ++i)
        Push(AnsweredQuery());
    worker.Pass();
    EXPECT_EQ(link.sent.size(), 20u);
    EXPECT_EQ(Pending(), 0u);
}

TEST_F(ReplyWorker, AnswerWhoseClientLeftIsLoggedAndStoredButNotSent) {
    link.open = {{"10.0.0.5", 1}};
    Push(AnsweredQuery());
    worker.Pass();
    EXPECT_TRUE(link.sent.empty());
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(log[0].text.startsWith("Server->Client (  SiteNo.:101  EquipmentNo.:1"));
    EXPECT_EQ(Rows("select * from QueryHistory").size(), 1u);
    EXPECT_EQ(Pending(), 0u);
}

TEST_F(ReplyWorker, WhatIsBroadcastAndWhatIsStored) {
    struct Row {
        const char *name;
        QString flag;
        QString error;
        QString dataBody;
        bool broadcast;
        int alarmRows;
        int queryRows;
    } rows[] = {
        {"alarm report", "01", "", "04100301", true, 1, 0},
        {"alarm report with fault", "01", " Error SerialNumber", "04100301", true, 0, 0},
        {"parameter list", "05", "", "", true, 0, 0},
        {"set answer", "03", "", "0701010A000000", false, 0, 1},
        {"query answer, bad check code", "02", " Check code error", "07", false, 0, 0},
        {"query answer without data", "02", "", "", false, 0, 0},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        dmNet->Exec("delete from AlarmHistory");
        dmNet->Exec("delete from QueryHistory");
        link.broadcasts.clear();
        link.sent.clear();
        link.open = {{"10.0.0.5", 40321}};
        TTempHistoryInfo e = r.flag == u"01" || r.flag == u"05" ? AlarmReport() : AnsweredQuery();
        e.OperateFlag = r.flag;
        e.ErrorValue = r.error;
        e.DataBody = r.dataBody;
        Push(e);
        worker.Pass();
        EXPECT_EQ(Pending(), 0u);
        if (r.broadcast) {
            ASSERT_EQ(link.broadcasts.size(), 1u);
            EXPECT_EQ(link.broadcasts[0].first, "A001");
            EXPECT_EQ(link.broadcasts[0].second,
                      "*" + r.flag + "A001@10.0.0.9&5210^" + e.BodyValue + "#");
            EXPECT_TRUE(link.sent.empty());
        } else {
            EXPECT_TRUE(link.broadcasts.empty());
            EXPECT_EQ(link.sent.size(), 1u);
        }
        EXPECT_EQ(Rows("select * from AlarmHistory").size(), std::size_t(r.alarmRows));
        EXPECT_EQ(Rows("select * from QueryHistory").size(), std::size_t(r.queryRows));
    }
}

TEST_F(ReplyWorker, AlarmRowHoldsCodeDataAndArrivalTime) {
    link.broadcastReceivers = "[Equipment:Hall 2  UserName:alice] [Equipment:B  UserName:bob]";
    Push(AlarmReport());
    worker.Pass();
    EXPECT_EQ(Rows("select * from AlarmHistory"),
              (std::vector<QStringList>{{"A001", "04100301", "2024-05-06 10:20:30"}}));
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(log[0].text.startsWith(
        "Server->Client ([Equipment:Hall 2  UserName:alice] [Equipment:B  UserName:bob]  "
        "SiteNo.:101  EquipmentNo.:1  SerialId:32769)\r"));
}

TEST_F(ReplyWorker, UnansweredRequestIsDroppedSilentlyOnceTheExpiryHasPassed) {
    TTempHistoryInfo waiting = AnsweredQuery();
    waiting.BodyValue.clear();
    waiting.DataBody.clear();
    Push(waiting);
    // An answered entry behind the waiting one is handled in the same pass.
    link.open = {{"10.0.0.5", 40321}};
    Push(AnsweredQuery());

    now = T0.addMSecs(59999);
    worker.Pass();
    EXPECT_EQ(Pending(), 1u);
    EXPECT_EQ(link.sent.size(), 1u);

    now = T0.addSecs(60);
    worker.Pass();
    EXPECT_EQ(Pending(), 0u);
    EXPECT_EQ(link.sent.size(), 1u);
    EXPECT_EQ(log.size(), 1u);
    EXPECT_EQ(Rows("select * from QueryHistory").size(), 1u);
}

TEST_F(ReplyWorker, QuotesInValuesAreStoredAsTheyAre) {
    TTempHistoryInfo e = AnsweredQuery();
    e.EquipmentName = "Joe's Hall'); delete from QueryHistory; --";
    e.EquipmentCode = "A'1";
    Push(e);
    Push(e);
    worker.Pass();
    const auto rows = Rows("select EquipmentName, EquipmentCode from QueryHistory");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1], (QStringList{e.EquipmentName, "A'1"}));
}

TEST_F(ReplyWorker, FailedSendEndsThePassAndKeepsTheEntry) {
    link.failBroadcast = true;
    Push(AlarmReport());
    Push(AnsweredQuery());
    EXPECT_THROW(worker.Pass(), std::runtime_error);
    EXPECT_EQ(Pending(), 2u);
    EXPECT_TRUE(Rows("select * from AlarmHistory").empty());

    link.failBroadcast = false;
    worker.Pass();
    EXPECT_EQ(Pending(), 0u);
    EXPECT_EQ(Rows("select * from AlarmHistory").size(), 1u);
}

TEST_F(ReplyWorker, FailedInsertLosesTheRowRemovesTheEntryAndTellsTheOperator) {
    dmNet->Exec("alter table QueryHistory rename to QueryHistoryGone");
    Push(AnsweredQuery());
    worker.Pass();
    EXPECT_EQ(Pending(), 0u);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1].colour, clRed);
    EXPECT_TRUE(log[1].text.startsWith("Save history (EquipmentCode:A001  SerialId:7) failed"));
}

TEST_F(ReplyWorker, TheThreadHandlesEntriesAsTheyArrive) {
    link.open = {{"10.0.0.5", 40321}};
    worker.Start();
    Push(AnsweredQuery());
    for (int i = 0; i < 2000 && Pending() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    worker.Stop();
    EXPECT_EQ(Pending(), 0u);
    EXPECT_EQ(link.sent.size(), 1u);
    EXPECT_EQ(Rows("select * from QueryHistory").size(), 1u);
}

} // namespace
