// A unit's data as the views show it: history rows read by unit and time
// range on both database kinds, their items decoded through the shipped
// dictionaries, the series a chart draws and the parameter list.
#include "../store/StoreTestDb.h"

#include "HistoryTables.h"
#include "ParamDictionary.h"
#include "UnitData.h"

#include <gtest/gtest.h>

namespace {

using storetest::BothKinds;

class UnitData : public BothKinds {
protected:
    void SetUp() override {
        BothKinds::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        LoadParamProperyList(TableReaderFor(Net()));
    }
};

const QDateTime T0(QDate(2026, 3, 1), QTime(12, 0, 0));

TEST_P(UnitData, ItemsAreDecodedThroughTheDictionaries) {
    struct Case {
        const char *body;
        const char *code;
        const char *name;
        const char *value;
        const char *unit;
        std::optional<double> number;
    };
    const Case cases[] = {
        // Temperature: a signed byte, in degrees.
        {"04010519", "0501", "Equipment Temperature", "25", "degC", 25.0},
        {"040105F6", "0501", "Equipment Temperature", "-10", "degC", -10.0},
        // An alarm state: text, no number.
        {"04010301", "0301", "Power Failure Alarm", "Alert", "", std::nullopt},
        {"04010300", "0301", "Power Failure Alarm", "Normal", "", std::nullopt},
        // A code the dictionary does not know: its raw value, no name.
        {"04FFFF07", "FFFF", "", "07", "", std::nullopt},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.body);
        const std::vector<TDecodedItem> items = DecodeItems(QString::fromLatin1(c.body));
        ASSERT_EQ(items.size(), 1u);
        EXPECT_EQ(items[0].ParamCode, c.code);
        EXPECT_EQ(items[0].Name, c.name);
        EXPECT_EQ(items[0].Value, c.value);
        EXPECT_EQ(items[0].Unit, c.unit);
        EXPECT_EQ(items[0].Number, c.number);
    }
    // Several items; what follows an undecodable one is dropped, and a body
    // that is not hex at all gives nothing.
    EXPECT_EQ(DecodeItems("0401051904010301").size(), 2u);
    EXPECT_EQ(DecodeItems("04010519ZZ").size(), 1u);
    EXPECT_TRUE(DecodeItems("<img src=x>").empty());
    EXPECT_TRUE(DecodeItems("").empty());
}

TEST_P(UnitData, HistoryOfARangeGivesEntriesAndSeries) {
    THistoryTables tables(Net());
    tables.InsertQuery({"Tower", "U1", "02", "General", "04010519", T0, T0.addSecs(1)});
    tables.InsertQuery(
        {"Tower", "U1", "03", "General", "0401051E", T0.addSecs(60), T0.addSecs(61)});
    tables.InsertQuery(
        {"Other", "U2", "02", "General", "04010514", T0.addSecs(70), T0.addSecs(71)});
    tables.InsertAlarm("U1", "04010301", T0.addSecs(120));
    tables.InsertAlarm("U1", "04010300", T0.addSecs(-3600)); // before the range

    THistoryRange range{"U1", T0, T0.addSecs(3600), 100};
    const std::vector<TQueryHistoryRow> queries = tables.Queries(range);
    const std::vector<TAlarmHistoryRow> alarms = tables.Alarms(range);
    ASSERT_EQ(queries.size(), 2u);
    ASSERT_EQ(alarms.size(), 1u);
    EXPECT_EQ(queries[0].QueryTime, T0.addSecs(60)); // newest first
    EXPECT_EQ(queries[0].ReturnTime, T0.addSecs(61));

    const TUnitHistory history = DecodeHistory(queries, alarms);
    ASSERT_EQ(history.entries.size(), 3u);
    EXPECT_EQ(history.entries[0].kind, TUnitHistoryEntry::Kind::Report);
    EXPECT_EQ(history.entries[0].time, T0.addSecs(120));
    EXPECT_EQ(history.entries[1].kind, TUnitHistoryEntry::Kind::Set);
    EXPECT_EQ(history.entries[2].kind, TUnitHistoryEntry::Kind::Query);
    EXPECT_EQ(history.entries[2].EquipmentName, "Tower");
    ASSERT_EQ(history.series.size(), 1u);
    const TUnitSeries &temperature = history.series[0];
    EXPECT_EQ(temperature.ParamCode, "0501");
    EXPECT_EQ(temperature.Unit, "degC");
    ASSERT_EQ(temperature.points.size(), 2u);
    EXPECT_EQ(temperature.points[0], std::make_pair(T0, 25.0)); // oldest first
    EXPECT_EQ(temperature.points[1], std::make_pair(T0.addSecs(60), 30.0));

    // Every unit's reports, and the limit.
    EXPECT_EQ(tables.Alarms({QString(), T0.addSecs(-7200), T0.addSecs(7200), 100}).size(), 2u);
    EXPECT_EQ(tables.Alarms({QString(), T0.addSecs(-7200), T0.addSecs(7200), 1}).size(), 1u);
    EXPECT_TRUE(tables.Queries({"U1", T0, T0.addSecs(3600), 0}).empty());
}

TEST_P(UnitData, ParameterListIsDecoded) {
    // Two bytes per code on the wire, low byte first; a code the dictionary
    // does not know keeps its place without a name, and a broken tail ends it.
    const std::vector<TUnitParam> params = DecodeParamList("01051004FFFFZZ");
    ASSERT_EQ(params.size(), 3u);
    EXPECT_EQ(params[0].ParamCode, "0501");
    EXPECT_EQ(params[0].Name, "Equipment Temperature");
    EXPECT_EQ(params[0].Unit, "degC");
    EXPECT_FALSE(params[0].settable);
    EXPECT_FALSE(params[0].TypeHint.isEmpty());
    EXPECT_EQ(params[1].ParamCode, "0410");
    EXPECT_TRUE(params[1].settable);
    EXPECT_EQ(params[2].ParamCode, "FFFF");
    EXPECT_TRUE(params[2].Name.isEmpty());
    EXPECT_TRUE(DecodeParamList("").empty());
}

INSTANTIATE_TEST_SUITE_P(Kinds, UnitData, testing::Values(quint8{1}, quint8{3}),
                         storetest::KindParamName);

} // namespace
