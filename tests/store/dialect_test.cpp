// Date arithmetic and date-time values of the three database kinds: the
// expressions count wall-clock day and hour boundaries crossed between a
// stored time and now, the way datediff(dd|hh, column, getdate()) does.
#include "StoreTestDb.h"

#include <QSqlRecord>

#include <gtest/gtest.h>

#include <set>

using storetest::BothKinds;

#ifdef MMS_TEST_TZ
#define SQL_DIALECT_SUITE SqlDialectAwayFromUtc
#else
#define SQL_DIALECT_SUITE SqlDialect
#endif

namespace {

QDateTime TruncHour(const QDateTime &t) {
    return QDateTime(t.date(), QTime(t.time().hour(), 0));
}

// Wall-clock fields on a uniform scale (no daylight-saving jumps), as the
// databases compute with zone-less local times.
qint64 WallSecs(const QDateTime &a, const QDateTime &b) {
    return QDateTime(a.date(), a.time(), Qt::UTC).secsTo(QDateTime(b.date(), b.time(), Qt::UTC));
}

int ExpectedDays(const QDateTime &row, const QDateTime &now) {
    return static_cast<int>(row.date().daysTo(now.date()));
}

int ExpectedHours(const QDateTime &row, const QDateTime &now) {
    return static_cast<int>(WallSecs(TruncHour(row), TruncHour(now)) / 3600);
}

QDateTime NowWholeSeconds() {
    const QDateTime now = QDateTime::currentDateTime();
    return now.addMSecs(-now.time().msec());
}

} // namespace

TEST(SQL_DIALECT_SUITE, ReadDateTimeAcceptsEveryDriverFormAndRefusesGarbage) {
    const QDateTime expected(QDate(2024, 3, 5), QTime(10, 20, 30));
    struct Case {
        const char *name;
        QVariant value;
        bool valid;
    };
    const Case cases[] = {
        {"ISO text", QVariant(QStringLiteral("2024-03-05 10:20:30")), true},
        {"ISO text with T", QVariant(QStringLiteral("2024-03-05T10:20:30")), true},
        {"ISO text with milliseconds", QVariant(QStringLiteral("2024-03-05T10:20:30.250")), true},
        {"driver date-time with milliseconds",
         QVariant(QDateTime(QDate(2024, 3, 5), QTime(10, 20, 30, 456))), true},
        {"null", QVariant(), false},
        {"typed null", QVariant(QMetaType::fromType<QString>()), false},
        {"empty text", QVariant(QString()), false},
        {"garbage", QVariant(QStringLiteral("yesterday at noon")), false},
        {"impossible date", QVariant(QStringLiteral("2024-02-30 10:20:30")), false},
        {"number", QVariant(12345), false},
    };
    for (quint8 kind : {1, 2, 3}) {
        const auto d = MakeSqlDialect(kind);
        for (const Case &c : cases) {
            const QDateTime got = d->ReadDateTime(c.value);
            EXPECT_EQ(got.isValid(), c.valid) << int(kind) << " " << c.name;
            if (c.valid) {
                EXPECT_EQ(got, expected) << int(kind) << " " << c.name;
            }
        }
    }
}

TEST(SQL_DIALECT_SUITE, DateTimeValuesAreBoundInWholeSecondsInEachKindsForm) {
    const QDateTime t(QDate(2024, 12, 31), QTime(23, 59, 59, 999));
    EXPECT_EQ(MakeSqlDialect(1)->DateTimeValue(t), QVariant(QStringLiteral("2024-12-31 23:59:59")));
    for (quint8 kind : {2, 3}) {
        const QVariant v = MakeSqlDialect(kind)->DateTimeValue(t);
        ASSERT_EQ(v.metaType().id(), QMetaType::QDateTime) << int(kind);
        EXPECT_EQ(v.toDateTime(), QDateTime(QDate(2024, 12, 31), QTime(23, 59, 59))) << int(kind);
    }
}

// SQL Server cannot be reached here; its forms are those of the retention
// statements, which must stay exactly so.
TEST(SQL_DIALECT_SUITE, SqlServerUsesDatediffAndUnknownKindsFallBackToSqlite) {
    const auto mssql = MakeSqlDialect(2);
    EXPECT_EQ(mssql->DaysSince("QueryTime"), "datediff(dd,QueryTime,getdate())");
    EXPECT_EQ(mssql->HoursSince("UserRegister.RegisterTime"),
              "datediff(hh,UserRegister.RegisterTime,getdate())");
    const auto sqlite = MakeSqlDialect(1);
    for (quint8 kind : {0, 4, 255}) {
        EXPECT_EQ(MakeSqlDialect(kind)->DaysSince("AlarmTime"), sqlite->DaysSince("AlarmTime"));
        EXPECT_EQ(MakeSqlDialect(kind)->HoursSince("AlarmTime"), sqlite->HoursSince("AlarmTime"));
    }
}

class DateArithmetic : public BothKinds {
protected:
    bool WithData() const override { return false; }
};

TEST_P(DateArithmetic, StoredTimesAreTheProgramsWallClockInWholeSeconds) {
    const QDateTime now = QDateTime::currentDateTime();
    Net().Exec("insert into AlarmHistory values(?,?,?)", {"RPT", "", Dialect().DateTimeValue(now)});
    const auto rows = Net().Select(
        "select AlarmTime, cast(AlarmTime as varchar(30)) as Stored from AlarmHistory");
    ASSERT_EQ(rows.size(), 1u);
    const QDateTime whole = now.addMSecs(-now.time().msec());
    EXPECT_EQ(Dialect().ReadDateTime(rows[0].value("AlarmTime")), whole);
    // What the database itself holds, as text: the same wall-clock time.
    EXPECT_EQ(rows[0].value("Stored").toString(), whole.toString("yyyy-MM-dd HH:mm:ss"));
}

TEST_P(DateArithmetic, DaysAndHoursCountWallClockBoundariesCrossed) {
    const QDateTime now0 = NowWholeSeconds();
    const QDate today = now0.date();
    const QDateTime hour0 = TruncHour(now0);
    std::vector<QDateTime> times;
    for (int daysAgo : {0, 1, 2, 29, 30, 31, 32}) {
        times.emplace_back(today.addDays(-daysAgo), QTime(0, 0, 0));
        times.emplace_back(today.addDays(-daysAgo), QTime(23, 59, 59));
    }
    for (int hoursAgo : {0, 1, 2, 23, 24, 25, 71, 72, 73})
        for (int delta : {-1, 0, 1})
            times.push_back(hour0.addSecs(-3600LL * hoursAgo + delta));
    for (std::size_t i = 0; i < times.size(); ++i)
        Net().Exec("insert into AlarmHistory values(?,?,?)",
                   {QString::number(i), "", Dialect().DateTimeValue(times[i])});

    const QString days = Dialect().DaysSince("AlarmTime");
    const QString hours = Dialect().HoursSince("AlarmTime");
    // The database's "now" must lie in the same hour as ours: retry when the
    // queries straddle an hour boundary (or midnight).
    for (int attempt = 0; attempt < 3; ++attempt) {
        const QDateTime before = NowWholeSeconds();
        const auto rows = Net().Select("select EquipmentCode, " + days + " as Days, " + hours +
                                       " as Hours from AlarmHistory");
        // The forms the retention statements use, with bound thresholds.
        const auto olderThan30 =
            Net().Select("select count(*) from AlarmHistory where (" + days + " > ?)", {30});
        const auto atLeast24h =
            Net().Select("select count(*) from AlarmHistory where (" + hours + ">=?)", {24});
        const QDateTime after = NowWholeSeconds();
        if (TruncHour(before) != TruncHour(after))
            continue;

        ASSERT_EQ(rows.size(), times.size());
        int expectOlderThan30 = 0, expectAtLeast24h = 0;
        for (const QSqlRecord &r : rows) {
            const QDateTime t = times.at(r.value("EquipmentCode").toString().toULongLong());
            SCOPED_TRACE(t.toString(Qt::ISODate).toStdString() + " now " +
                         before.toString(Qt::ISODate).toStdString());
            EXPECT_EQ(r.value("Days").toInt(), ExpectedDays(t, before));
            EXPECT_EQ(r.value("Hours").toInt(), ExpectedHours(t, before));
            expectOlderThan30 += ExpectedDays(t, before) > 30;
            expectAtLeast24h += ExpectedHours(t, before) >= 24;
        }
        ASSERT_EQ(olderThan30.size(), 1u);
        EXPECT_EQ(olderThan30[0].value(0).toInt(), expectOlderThan30);
        ASSERT_EQ(atLeast24h.size(), 1u);
        EXPECT_EQ(atLeast24h[0].value(0).toInt(), expectAtLeast24h);
        return;
    }
    GTEST_SKIP() << "every attempt straddled an hour boundary";
}

TEST_P(DateArithmetic, RetentionDeletesRowsPastTheThresholdOnly) {
    const QDate today = QDate::currentDate();
    // Rows well inside their calendar day, so the test is not near a boundary.
    const struct {
        int daysAgo;
        bool kept;
    } rows[] = {{0, true}, {1, true}, {29, true}, {30, true}, {31, false}, {45, false}};
    for (const auto &row : rows)
        Net().Exec("insert into QueryHistory values(?,?,?,?,?,?,?)",
                   {"name", QString::number(row.daysAgo), "02", "General", "",
                    Dialect().DateTimeValue(QDateTime(today.addDays(-row.daysAgo), QTime(12, 0))),
                    Dialect().DateTimeValue(QDateTime(today.addDays(-row.daysAgo), QTime(12, 0)))});
    const QDate before = QDate::currentDate();
    Net().Exec("delete from QueryHistory where (" + Dialect().DaysSince("QueryTime") + " > ?)",
               {30});
    if (QDate::currentDate() != before || before != today)
        GTEST_SKIP() << "ran across midnight";
    std::set<QString> left;
    for (const QSqlRecord &r : Net().Select("select EquipmentCode from QueryHistory"))
        left.insert(r.value(0).toString());
    for (const auto &row : rows)
        EXPECT_EQ(left.count(QString::number(row.daysAgo)) == 1, row.kept) << row.daysAgo;
}

INSTANTIATE_TEST_SUITE_P(STORE_KINDS, DateArithmetic, testing::Values(quint8{1}, quint8{3}),
                         storetest::KindParamName);
