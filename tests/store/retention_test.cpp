// History retention and the clean-up of registrations without equipment, on
// both database kinds: the kept days and hours counted as calendar-day and
// hour boundaries of the wall clock, the settings read from NormalParam, the
// batched deletion and the time-column indexes.
#include "HistoryTables.h"
#include "Retention.h"
#include "StoreTestDb.h"

#include <gtest/gtest.h>

#include <set>

using storetest::BothKinds;

namespace {

using Codes = std::set<QString>;

class Retention : public BothKinds {
protected:
    bool WithData() const override { return false; }

    // A retention whose "now" is the given time.
    TRetention At(const QDateTime &now) {
        return TRetention(Net(), [now] { return now; });
    }

    void AddQuery(const QString &code, const QDateTime &t) {
        THistoryTables(Net()).InsertQuery({"name", code, "02", "General", "", t, t});
    }
    void AddAlarm(const QString &code, const QDateTime &t) {
        THistoryTables(Net()).InsertAlarm(code, "", t);
    }
    void AddAccount(const QString &name, int useState, const QDateTime &registered) {
        Net().Exec("insert into UserRegister values(?,?,?,?,?,?,?)",
                   {name, "pw", "", "", Dialect().DateTimeValue(registered), QVariant(), useState});
    }
    Codes Left(const QString &sql) {
        Codes left;
        for (const QSqlRecord &r : Net().Select(sql))
            left.insert(r.value(0).toString());
        return left;
    }
    Codes QueryLeft() { return Left("select EquipmentCode from QueryHistory"); }
    Codes AlarmLeft() { return Left("select EquipmentCode from AlarmHistory"); }
    Codes AccountsLeft() { return Left("select UserName from UserRegister"); }
    void SetSetting(const QString &key, const QString &value) {
        TNormalParamTable(Net()).Update({{key, value}});
    }
};

const QDateTime kNow(QDate(2024, 3, 31), QTime(10, 30, 15));

TEST_P(Retention, HistoryKeepsTheConfiguredCalendarDaysInBothTables) {
    struct Case {
        const char *setting; // nullptr: no row, 30 days
        QDate lastKeptDay;
    };
    const Case cases[] = {
        {nullptr, kNow.date().addDays(-30)},
        {"30", kNow.date().addDays(-30)},
        {"0", kNow.date()},
        {"1", kNow.date().addDays(-1)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.setting ? c.setting : "no row");
        Net().Exec("delete from NormalParam");
        if (c.setting) {
            SetSetting("HistoryQuerySaveDay", c.setting);
            SetSetting("HistoryAlarmSaveDay", c.setting);
        }
        // Each day's first and last second around the boundary, and now.
        Codes kept;
        for (const QDate &day : {c.lastKeptDay.addDays(-1), c.lastKeptDay}) {
            for (const QTime &time : {QTime(0, 0, 0), QTime(23, 59, 59)}) {
                const QDateTime t(day, time);
                if (t > kNow)
                    continue;
                const QString code = t.toString(Qt::ISODate);
                AddQuery(code, t);
                AddAlarm(code, t);
                if (day == c.lastKeptDay)
                    kept.insert(code);
            }
        }
        AddQuery("now", kNow);
        AddAlarm("now", kNow);
        kept.insert("now");

        TRetention r = At(kNow);
        EXPECT_TRUE(r.DelQueryHistoryRecord(true));
        EXPECT_EQ(QueryLeft(), kept);
        EXPECT_TRUE(r.DelAlarmHistoryRecord(true));
        EXPECT_EQ(AlarmLeft(), kept);
        Net().Exec("delete from QueryHistory");
        Net().Exec("delete from AlarmHistory");
    }
}

TEST_P(Retention, AgainstTheDatabasesOwnClockTheSameRowsGoAsTheDaysSinceExpression) {
    const QDateTime dbNow = TRetention(Net()).Now();
    for (int daysAgo : {0, 1, 29, 30, 31, 32, 400})
        for (int hour : {0, 12, 23})
            AddQuery(QStringLiteral("%1/%2").arg(daysAgo).arg(hour),
                     QDateTime(dbNow.date().addDays(-daysAgo), QTime(hour, 0)));
    const QString olderThan30 = "select EquipmentCode from QueryHistory where (" +
                                Dialect().DaysSince("QueryTime") + " > 30)";
    const Codes all = QueryLeft();
    const Codes expiring = Left(olderThan30);
    ASSERT_TRUE(TRetention(Net()).DelQueryHistoryRecord(true));
    const QDateTime dbAfter = TRetention(Net()).Now();
    if (dbAfter.date() != dbNow.date())
        GTEST_SKIP() << "ran across midnight";
    EXPECT_FALSE(expiring.empty());
    EXPECT_TRUE(Left(olderThan30).empty());
    Codes expectLeft;
    for (const QString &c : all)
        if (!expiring.count(c))
            expectLeft.insert(c);
    EXPECT_EQ(QueryLeft(), expectLeft);
}

TEST_P(Retention, ASettingThatIsNotAnIntegerFailsOnlyItsOwnTableEvenByHand) {
    for (const char *bad : {"", "abc", "3.5", "99999999999"}) {
        SCOPED_TRACE(bad);
        SetSetting("HistoryQuerySaveDay", bad);
        SetSetting("HistoryAlarmSaveDay", "5");
        AddQuery("old", kNow.addDays(-100));
        AddAlarm("old", kNow.addDays(-100));
        TRetention r = At(kNow);
        EXPECT_FALSE(r.DelQueryHistoryRecord(true));
        EXPECT_FALSE(r.DelQueryHistoryRecord(false));
        EXPECT_EQ(QueryLeft(), Codes{"old"});
        EXPECT_TRUE(r.DelAlarmHistoryRecord(true));
        EXPECT_TRUE(AlarmLeft().empty());
        Net().Exec("delete from QueryHistory");
    }
}

TEST_P(Retention, ByHandEveryRowGoesInBatches) {
    for (int i = 0; i < 25; ++i) {
        AddQuery(QString::number(i), kNow.addDays(i % 3 ? -i : i)); // some in the future
        AddAlarm(QString::number(i), kNow);
    }
    TRetention r = At(kNow);
    const auto plan = r.Plan(THistoryKind::Query, false);
    ASSERT_TRUE(plan.has_value());
    EXPECT_FALSE(plan->before.has_value());
    EXPECT_EQ(r.DeleteBatch(*plan, 10), 10);
    EXPECT_EQ(QueryLeft().size(), 15u);
    EXPECT_TRUE(r.DelQueryHistoryRecord(false, 10));
    EXPECT_TRUE(QueryLeft().empty());
    EXPECT_TRUE(r.DelAlarmHistoryRecord(false, 7));
    EXPECT_TRUE(AlarmLeft().empty());
}

TEST_P(Retention, BatchesTogetherDeleteExactlyTheRowsBeforeTheCutoff) {
    for (int i = 0; i < 60; ++i)
        AddAlarm(QString::number(i), kNow.addSecs(-3600LL * 24 * i));
    TRetention r = At(kNow);
    SetSetting("HistoryAlarmSaveDay", "20");
    const auto plan = r.Plan(THistoryKind::Alarm, true);
    ASSERT_TRUE(plan && plan->before);
    EXPECT_EQ(*plan->before, QDateTime(kNow.date().addDays(-20), QTime(0, 0)));
    int total = 0, n = 0;
    while ((n = r.DeleteBatch(*plan, 7)) > 0) {
        EXPECT_LE(n, 7);
        total += n;
    }
    EXPECT_EQ(total, 39); // 21 .. 59 days ago
    Codes kept;
    for (int i = 0; i <= 20; ++i)
        kept.insert(QString::number(i));
    EXPECT_EQ(AlarmLeft(), kept);
}

TEST_P(Retention, RegistrationsWithoutEquipmentGoAfterTheHoursExceptKeptOnes) {
    const QDateTime hour = QDateTime(kNow.date(), QTime(kNow.time().hour(), 0));
    AddAccount("super", 6, kNow.addDays(-10));
    AddAccount("owner", 0, kNow.addDays(-10));
    AddAccount("recycled", 0, kNow.addDays(-10));
    AddAccount("lastHourEnd", 0, hour.addSecs(-1));     // 1 boundary back
    AddAccount("thisHourStart", 0, hour);               // 0 boundaries
    AddAccount("twoHours", 1, hour.addSecs(-3600 - 1)); // 2 boundaries, suspended
    AddAccount("nextHour", 0, hour.addSecs(3600));      // in the future
    Net().Exec("insert into UserEquipment values(?,?,?,?)", {"owner", "E1", "n", "1"});
    Net().Exec("insert into RecycleUserEquipment values(?,?,?,?)", {"recycled", "E2", "n", "1"});

    TRetention r = At(kNow);
    EXPECT_EQ(r.RegisterOverdueDelete(2), 1);
    EXPECT_EQ(AccountsLeft(),
              (Codes{"super", "owner", "recycled", "lastHourEnd", "thisHourStart", "nextHour"}));
    EXPECT_EQ(r.RegisterOverdueDelete(1), 1);
    EXPECT_EQ(AccountsLeft(), (Codes{"super", "owner", "recycled", "thisHourStart", "nextHour"}));
    EXPECT_EQ(r.RegisterOverdueDelete(0), 1);
    EXPECT_EQ(AccountsLeft(), (Codes{"super", "owner", "recycled", "nextHour"}));

    // The owner's only unit goes: the account's age still counts from RegisterTime.
    Net().Exec("delete from UserEquipment where UserName=?", {"owner"});
    EXPECT_EQ(r.RegisterOverdueDelete(24), 1);
    EXPECT_EQ(AccountsLeft(), (Codes{"super", "recycled", "nextHour"}));
}

TEST_P(Retention, TheHistoryIndexesAreCreatedWhenMissingAndKeptOtherwise) {
    TRetention r(Net());
    ASSERT_NO_THROW(r.EnsureHistoryIndexes()); // present: nothing happens
    Net().Exec("drop index IX_QueryHistory_QueryTime");
    Net().Exec("drop index IX_AlarmHistory_AlarmTime");
    ASSERT_NO_THROW(r.EnsureHistoryIndexes());
    // Both exist again: creating them once more is refused.
    EXPECT_THROW(Net().Exec("create index IX_QueryHistory_QueryTime on QueryHistory (QueryTime)"),
                 DbError);
    EXPECT_THROW(Net().Exec("create index IX_AlarmHistory_AlarmTime on AlarmHistory (AlarmTime)"),
                 DbError);
}

TEST(RetentionCutoff, HoursAreCountedOnTheWallClock) {
    const QDateTime now(QDate(2024, 3, 1), QTime(0, 10));
    EXPECT_EQ(TRetention::HoursCutoff(now, 0), QDateTime(QDate(2024, 3, 1), QTime(1, 0)));
    EXPECT_EQ(TRetention::HoursCutoff(now, 1), QDateTime(QDate(2024, 3, 1), QTime(0, 0)));
    EXPECT_EQ(TRetention::HoursCutoff(now, 2), QDateTime(QDate(2024, 2, 29), QTime(23, 0)));
    EXPECT_EQ(TRetention::DaysCutoff(now, 0), QDateTime(QDate(2024, 3, 1), QTime(0, 0)));
    EXPECT_EQ(TRetention::DaysCutoff(now, 30), QDateTime(QDate(2024, 1, 31), QTime(0, 0)));
}

// SQL Server cannot be reached here: its forms are checked as text.
TEST(RetentionCutoff, SqlServerFormsOfTheBatchTheIndexAndTheClock) {
    const auto mssql = MakeSqlDialect(2);
    EXPECT_EQ(mssql->DeleteBatch("QueryHistory", "QueryTime<?", 1000),
              "delete top (1000) from QueryHistory where QueryTime<?");
    EXPECT_EQ(mssql->CreateIndexIfMissing("IX_AlarmHistory_AlarmTime", "AlarmHistory", "AlarmTime"),
              "if not exists (select * from sys.indexes where name='IX_AlarmHistory_AlarmTime' and "
              "object_id=object_id('AlarmHistory')) create index IX_AlarmHistory_AlarmTime on "
              "AlarmHistory (AlarmTime)");
    EXPECT_EQ(mssql->LocalNow(), "getdate()");
}

INSTANTIATE_TEST_SUITE_P(STORE_KINDS, Retention, testing::Values(quint8{1}, quint8{3}),
                         storetest::KindParamName);

} // namespace
