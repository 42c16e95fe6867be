// The simulator's parameter table: the built-in one is the shipped
// dictionary, and a table read from a database follows that database.
#include "SimParamTable.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

TEST(SimParamTable, BuiltInMatchesTheShippedDictionary) {
    const auto home = mmstest::MakeSqliteHome(true);
    QString error;
    const auto loaded =
        TSimParamTable::LoadDatabase(home->File(QStringLiteral("MonitorData.db")), &error);
    ASSERT_TRUE(loaded) << error.toStdString();
    const TSimParamTable builtIn = TSimParamTable::BuiltIn();

    ASSERT_EQ(loaded->Params().size(), builtIn.Params().size());
    for (std::size_t i = 0; i < builtIn.Params().size(); ++i) {
        const TSimParam &a = builtIn.Params()[i];
        const TSimParam &b = loaded->Params()[i];
        EXPECT_EQ(a.code, b.code);
        EXPECT_EQ(a.type, b.type) << a.code.toStdString();
        EXPECT_EQ(a.unit, b.unit) << a.code.toStdString();
        EXPECT_EQ(a.canSet, b.canSet) << a.code.toStdString();
        EXPECT_EQ(a.len, b.len) << a.code.toStdString();
        EXPECT_EQ(a.initialRaw, b.initialRaw) << a.code.toStdString();
        EXPECT_EQ(a.initialRaw.size(), 2 * a.len) << a.code.toStdString();
    }
    EXPECT_FALSE(builtIn.Find(QStringLiteral("0009"))); // the list is answered by pages
    EXPECT_EQ(builtIn.AlarmCodes().size(), 11);
}

TEST(SimParamTable, FollowsTheDictionaryEntries) {
    const TSimParamTable table = TSimParamTable::FromDictionary({
        QStringLiteral("1200011#0102EquipmentNo&Equipment Number"),
        QStringLiteral("0000000#0009ParamList&Parameter List"), // the list itself: left out
        QStringLiteral("1400012#7001New&New Value"),            // unknown to the simulator
        QStringLiteral("1200014#0102Again&Second entry"),       // the first entry wins
        QStringLiteral("21000300#7002Long&Too long"),           // length above 252
        QStringLiteral("garbage"),
    });
    ASSERT_EQ(table.Params().size(), 2u);
    const TSimParam *known = table.Find(QStringLiteral("0102"));
    ASSERT_TRUE(known);
    EXPECT_EQ(known->len, 1);
    EXPECT_TRUE(known->canSet);
    EXPECT_EQ(known->name, QStringLiteral("Equipment Number"));
    const TSimParam *fresh = table.Find(QStringLiteral("7001"));
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->type, 0x14);
    EXPECT_EQ(fresh->initialRaw, QStringLiteral("0000"));
}

TEST(SimParamTable, ReportsAnUnreadableDatabase) {
    QString error;
    EXPECT_FALSE(
        TSimParamTable::LoadDatabase(QStringLiteral("/nonexistent/MonitorData.db"), &error));
    EXPECT_FALSE(error.isEmpty());
}

} // namespace
