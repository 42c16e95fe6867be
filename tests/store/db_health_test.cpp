// The database's time limits and its up/down state: connect options per kind,
// which failures count as an outage, a locked SQLite file and a stopped
// PostgreSQL server failing fast and coming back, and the bounded backlog of
// history rows written in order once the database takes them again.
#include "HistoryBacklog.h"
#include "StoreTestDb.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QThread>

#include <gtest/gtest.h>

#include <mutex>

using namespace std::chrono_literals;

namespace {

TEST(DbHealth, ConnectOptionsKeepWhatIsConfiguredAndAddTheRest) {
    const struct {
        const char *configured;
        QStringList defaults;
        const char *expected;
    } cases[] = {
        {"", {"a=1", "b=2"}, "a=1;b=2"},
        {"b=9", {"a=1", "b=2"}, "b=9;a=1"},
        {" B = 9 ;;", {"a=1", "b=2"}, "B = 9;a=1"},
        {"x=1;a=5", {"a=1"}, "x=1;a=5"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(MergeConnectOptions(QString::fromLatin1(c.configured), c.defaults),
                  QString::fromLatin1(c.expected))
            << c.configured;

    const TDbLimits limits{1500ms, 100ms};
    EXPECT_EQ(MakeSqlDialect(1)->ConnectOptions({}, limits), "QSQLITE_BUSY_TIMEOUT=500");
    EXPECT_TRUE(MakeSqlDialect(3)->ConnectOptions({}, limits).contains("connect_timeout=2"));
    EXPECT_TRUE(MakeSqlDialect(3)->ConnectOptions({}, limits).contains("tcp_user_timeout="));
    EXPECT_TRUE(MakeSqlDialect(3)
                    ->ConnectOptions(QStringLiteral("connect_timeout=7"), limits)
                    .startsWith("connect_timeout=7;keepalives=1"));
    EXPECT_TRUE(MakeSqlDialect(2)->ConnectOptions({}, limits).contains("SQL_ATTR_LOGIN_TIMEOUT="));
    const auto pg = MakeSqlDialect(3)->SessionSettings(limits);
    ASSERT_EQ(pg.size(), 2u);
    EXPECT_EQ(pg[0], std::pair(QStringLiteral("statement_timeout"), QStringLiteral("1250")));
    EXPECT_EQ(pg[1], std::pair(QStringLiteral("lock_timeout"), QStringLiteral("750")));
}

TEST(DbHealth, OutagesAreToldFromStatementsTheDatabaseRefuses) {
    const struct {
        quint8 kind;
        const char *code;
        QSqlError::ErrorType type;
        bool unavailable;
    } cases[] = {
        {1, "5", QSqlError::StatementError, true},   // SQLITE_BUSY
        {1, "517", QSqlError::StatementError, true}, // SQLITE_BUSY_SNAPSHOT
        {1, "13", QSqlError::StatementError, false}, // SQLITE_FULL: told apart
        {1, "8", QSqlError::StatementError, true},   // SQLITE_READONLY
        {1, "1", QSqlError::StatementError, false},  // SQL error
        {1, "19", QSqlError::StatementError, false}, // constraint
        {1, "", QSqlError::ConnectionError, true},
        // The driver reports a failed step as a connection error.
        {1, "1299", QSqlError::ConnectionError, false}, // NOT NULL constraint
        {1, "5", QSqlError::ConnectionError, true},
        {3, "08006", QSqlError::StatementError, true},  // connection failure
        {3, "57014", QSqlError::StatementError, true},  // statement time-out
        {3, "55P03", QSqlError::StatementError, true},  // lock time-out
        {3, "53100", QSqlError::StatementError, false}, // disk full: told apart
        {3, "53200", QSqlError::StatementError, true},  // out of memory
        {3, "42601", QSqlError::StatementError, false}, // syntax error
        {3, "23505", QSqlError::StatementError, false}, // unique violation
        {2, "HYT00", QSqlError::StatementError, true},
        {2, "42000", QSqlError::StatementError, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(MakeSqlDialect(c.kind)->Unavailable(
                      QSqlError(QString(), QString(), c.type, QString::fromLatin1(c.code))),
                  c.unavailable)
            << int(c.kind) << " " << c.code;

    const struct {
        quint8 kind;
        const char *code;
        bool full;
    } full[] = {{1, "13", true},    {1, "5", false},     {1, "", false},
                {3, "53100", true}, {3, "53200", false}, {2, "HYT00", false}};
    for (const auto &c : full)
        EXPECT_EQ(MakeSqlDialect(c.kind)->DiskFull(QSqlError(QString(), QString(),
                                                             QSqlError::StatementError,
                                                             QString::fromLatin1(c.code))),
                  c.full)
            << int(c.kind) << " " << c.code;
}

// SQLite on a full disk (the file may not grow past its current pages): the
// writes fail and say so once, reads go on, the database never counts as
// down, history rows wait, and the first write that fits says so.
TEST(DbHealth, AFullDiskIsSaidOnceReadsGoOnAndHistoryRowsWait) {
    storetest::TestDatabase db(1);
    db.Install(false);
    TdmNet net(db.Target(), TDbLimits{600ms, 50ms});
    QStringList lines;
    std::mutex linesLock;
    const auto hint = [&](const QString &text, quint32) {
        std::lock_guard guard(linesLock);
        lines << text;
    };
    net.Health().SetHint(hint);
    const auto count = [&](const QString &text) {
        std::lock_guard guard(linesLock);
        return lines.filter(text).size();
    };
    const auto setMaxPages = [&](const QString &value) {
        TdmNet::Session session(net);
        QSqlQuery q(session.Connection());
        ASSERT_TRUE(q.exec(QStringLiteral("PRAGMA max_page_count=") + value));
    };
    const TAlarmHistoryRow big{QStringLiteral("A001"), QString(20000, u'F'),
                               QDateTime::currentDateTime()};
    THistoryTables(net).InsertAlarm(QStringLiteral("A000"), QStringLiteral("00"),
                                    QDateTime::currentDateTime());
    const int pages = net.Select(QStringLiteral("PRAGMA page_count"))[0].value(0).toInt();
    setMaxPages(QString::number(pages));

    EXPECT_THROW(THistoryTables(net).Insert(big), DbDiskFull);
    THistoryBacklog backlog(net, hint);
    backlog.Save(big);
    backlog.Save(big);
    QThread::msleep(300); // several reconnect paces
    EXPECT_EQ(backlog.Flush(10), 0u);
    EXPECT_EQ(backlog.Size(), 2u);
    EXPECT_TRUE(net.IsUp());
    EXPECT_EQ(net.Select(QStringLiteral("select * from AlarmHistory")).size(), 1u);
    EXPECT_EQ(count(QStringLiteral("Database disk full: ")), 1);
    EXPECT_EQ(count(QStringLiteral("Database unavailable")), 0);
    {
        // A change that fits, in a transaction that is not committed, has
        // written nothing: the disk still counts as full.
        TdmNet::Transaction transaction(net);
        EXPECT_EQ(transaction.Exec(QStringLiteral("update AlarmHistory set DataBody='01'")), 1);
    }
    EXPECT_EQ(count(QStringLiteral("Database disk has room again")), 0);

    testing::internal::CaptureStderr();
    backlog.ReportLeft();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "2 history rows were not written: the database is unavailable or its disk is "
              "full\n");

    setMaxPages(QStringLiteral("1000000"));
    EXPECT_EQ(backlog.Flush(10), 2u);
    EXPECT_EQ(count(QStringLiteral("Database disk has room again")), 1);
    net.ReleaseThreadConnection();
}

// A database of the kind with short limits, its down and up lines recorded.
class Outage : public storetest::BothKinds {
protected:
    void SetUp() override {
        BothKinds::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        limited = std::make_unique<TdmNet>(db_->Target(), TDbLimits{600ms, 100ms});
        limited->Health().SetHint([this](const QString &text, quint32) {
            std::lock_guard guard(linesLock);
            lines << text;
        });
    }
    void TearDown() override {
        if (limited)
            limited->ReleaseThreadConnection();
        limited.reset();
        BothKinds::TearDown();
    }
    int Lines(const QString &text) {
        std::lock_guard guard(linesLock);
        return int(lines.filter(text).size());
    }
    bool WaitUp() {
        QElapsedTimer t;
        t.start();
        while (!limited->IsUp() && t.elapsed() < 10000)
            QThread::msleep(10);
        return limited->IsUp();
    }
    // Makes the database unavailable for the returned object's life.
    std::shared_ptr<void> Break() {
        if (GetParam() == 1)
            return std::make_shared<mmstest::SqliteLock>(db_->Target().databaseName);
        return std::make_shared<mmstest::PgFreeze>(Net());
    }
    void InsertAlarm(const QString &body) {
        THistoryTables(*limited).InsertAlarm(QStringLiteral("A001"), body,
                                             QDateTime::currentDateTime());
    }

    std::unique_ptr<TdmNet> limited;
    std::mutex linesLock;
    QStringList lines;
};

TEST_P(Outage, StatementFailsWithinTheLimitAndTheDatabaseIsDownUntilItAnswers) {
    InsertAlarm(QStringLiteral("00"));
    {
        const auto outage = Break();
        QElapsedTimer t;
        t.start();
        EXPECT_THROW(InsertAlarm(QStringLiteral("01")), DbUnavailable);
        EXPECT_LT(t.elapsed(), 1500);
        EXPECT_FALSE(limited->IsUp());
        // Known down: refused without touching the database.
        t.restart();
        EXPECT_THROW(InsertAlarm(QStringLiteral("02")), DbUnavailable);
        EXPECT_THROW(limited->Select(QStringLiteral("select * from AlarmHistory")), DbUnavailable);
        EXPECT_LT(t.elapsed(), 100);
        QThread::msleep(500); // reconnect attempts fail meanwhile
        EXPECT_FALSE(limited->IsUp());
    }
    ASSERT_TRUE(WaitUp());
    InsertAlarm(QStringLiteral("03"));
    EXPECT_EQ(limited->Select(QStringLiteral("select * from AlarmHistory")).size(), 2u);
    EXPECT_EQ(Lines(QStringLiteral("Database unavailable")), 1);
    EXPECT_EQ(Lines(QStringLiteral("Database available again")), 1);
}

TEST_P(Outage, BacklogKeepsTheNewestRowsWithinItsBoundsAndWritesThemInOrder) {
    const struct {
        THistoryBacklogLimits limits;
        std::size_t kept;
    } cases[] = {{{3, 1u << 20}, 3}, {{1000, 2 * 200}, 2}};
    int round = 0;
    for (const auto &c : cases) {
        ++round;
        THistoryBacklog backlog(
            *limited,
            [this](const QString &text, quint32) {
                std::lock_guard guard(linesLock);
                lines << text;
            },
            c.limits);
        {
            const auto outage = Break();
            for (int i = 0; i < 5; ++i)
                backlog.Save(TAlarmHistoryRow{QStringLiteral("R%1").arg(round),
                                              QStringLiteral("%1").arg(i, 2, 10, QChar(u'0')),
                                              QDateTime::currentDateTime()});
            EXPECT_EQ(backlog.Size(), c.kept);
            EXPECT_EQ(backlog.Dropped(), 5 - c.kept);
            EXPECT_EQ(backlog.Flush(100), 0u);
        }
        ASSERT_TRUE(WaitUp());
        EXPECT_EQ(backlog.Flush(100), c.kept);
        EXPECT_EQ(backlog.Size(), 0u);
        QStringList bodies;
        for (const QSqlRecord &r :
             limited->Select(QStringLiteral("select DataBody from AlarmHistory where "
                                            "EquipmentCode=? order by DataBody"),
                             {QStringLiteral("R%1").arg(round)}))
            bodies << r.value(0).toString().trimmed();
        QStringList expected;
        for (std::size_t i = 5 - c.kept; i < 5; ++i)
            expected << QStringLiteral("%1").arg(i, 2, 10, QChar(u'0'));
        EXPECT_EQ(bodies, expected);
        EXPECT_EQ(Lines(QStringLiteral("%1 history rows were lost").arg(5 - c.kept)), 1);
        // Up again: the next row goes straight to its table.
        backlog.Save(TAlarmHistoryRow{QStringLiteral("R%1").arg(round), QStringLiteral("99"),
                                      QDateTime::currentDateTime()});
        EXPECT_EQ(backlog.Size(), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, Outage, testing::Values(quint8(1), quint8(3)),
                         storetest::KindParamName);

} // namespace
