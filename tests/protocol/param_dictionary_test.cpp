// Dictionary loading from tables and the lookups over the lists.
#include "ConvertError.h"
#include "ParamDictionary.h"
#include "ValueConversion.h"
#include "ProtocolTestUtil.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using prototest::DictionaryScope;
using prototest::FakeTables;

std::string Str(const QString &s) {
    return s.toStdString();
}

// Every dictionary table with a few rows. Column names are given in lower
// case, as PostgreSQL returns them.
FakeTables SampleTables() {
    FakeTables t;
    t.Add(QStringLiteral("ParamProperty"),
          {"paramtype", "paramunit", "canset", "len", "paramcode", "name"},
          {{"21", "00", "01", "18", "0022", "Code&Code"},
           {"14", "61", "01", "2", "0401", "Power&Output Power"},
           {"10", "00", "01", "4", "0022", "Again&Second Row"}});
    t.Add(QStringLiteral("MapCommFlag"), {"KeyNum", "Name"},
          {{"02", "Query&Query"}, {"2", "Two&Two"}});
    t.Add(QStringLiteral("ResponseFlag"), {"KEYNUM", "NAME"}, {{"00", "Success&Success"}});
    t.Add(QStringLiteral("UnitName"), {"Code", "Name"}, {{"61", "TenthdBm&dBm"}});
    t.Add(QStringLiteral("ProportionalName"), {"Code", "Name"}, {{"61", " 10 "}});
    t.Add(QStringLiteral("CommError"), {"KeyNum", "Name"}, {{"01", "Timeout&Answer Timeout"}});
    t.Add(QStringLiteral("CodeName"), {"Code", "KeyNum", "Name"},
          {{"0420", "0", "Auto&Automatic"},
           {"0421", "0", "Bw5&5 MHz"},
           {"0420", "1", "Manual&Manual"}});
    t.Add(QStringLiteral("EquipmentType"), {"KeyNum", "Name"},
          {{"3", "Repeater&Fibre Repeater"}, {"7", "Booster&Booster"}});
    return t;
}

class ParamDictionaryTest : public ::testing::Test {
protected:
    DictionaryScope dictionaries;
};

TEST_F(ParamDictionaryTest, LoadsEveryTableInOrder) {
    const FakeTables tables = SampleTables();
    LoadParamProperyList(tables.Reader());

    EXPECT_EQ(tables.Statements(),
              QStringList({"select * from ParamProperty", "select * from MapCommFlag",
                           "select * from ResponseFlag", "select * from UnitName",
                           "select * from ProportionalName", "select * from CommError",
                           "select * from CodeName", "select * from EquipmentType"}));
    EXPECT_EQ(lstParamProperty,
              QStringList({"21000118#0022Code&Code", "1461012#0401Power&Output Power",
                           "1000014#0022Again&Second Row"}));
    EXPECT_EQ(lstMapCommFlag, QStringList({"02#Query&Query", "2#Two&Two"}));
    EXPECT_EQ(lstResponseFlag, QStringList({"00#Success&Success"}));
    EXPECT_EQ(lstUnitNameParam, QStringList({"61#TenthdBm&dBm"}));
    EXPECT_EQ(lstProportionalNameParam, QStringList({"61# 10 "}));
    EXPECT_EQ(lstCommError, QStringList({"01#Timeout&Answer Timeout"}));
    EXPECT_EQ(lstEquipmentType, QStringList({"3#Repeater&Fibre Repeater", "7#Booster&Booster"}));

    // One enumeration per distinct code, rows in table order.
    ASSERT_EQ(lstCodeNameParam.size(), 2u);
    EXPECT_EQ(Str(lstCodeNameParam[0].Body.Code), "0420");
    EXPECT_EQ(lstCodeNameParam[0].Body.Name, QStringList({"0#Auto&Automatic", "1#Manual&Manual"}));
    EXPECT_EQ(Str(lstCodeNameParam[1].Body.Code), "0421");
    EXPECT_EQ(lstCodeNameParam[1].Body.Name, QStringList({"0#Bw5&5 MHz"}));
}

TEST_F(ParamDictionaryTest, MissingTableEndsLoadingThere) {
    FakeTables tables = SampleTables();
    tables.Remove(QStringLiteral("CommError"));
    lstCommError = {QStringLiteral("stale")};
    LoadParamProperyList(tables.Reader());
    EXPECT_EQ(lstParamProperty.size(), 3);
    EXPECT_EQ(lstMapCommFlag.size(), 2);
    EXPECT_EQ(lstResponseFlag.size(), 1);
    EXPECT_EQ(lstUnitNameParam.size(), 1);
    EXPECT_EQ(lstProportionalNameParam.size(), 1);
    EXPECT_TRUE(lstCommError.isEmpty());
    EXPECT_TRUE(lstCodeNameParam.empty());
    EXPECT_TRUE(lstEquipmentType.isEmpty());
    EXPECT_EQ(tables.Statements().size(), 6);
}

TEST_F(ParamDictionaryTest, MissingColumnEndsLoadingThere) {
    FakeTables tables = SampleTables();
    tables.Remove(QStringLiteral("UnitName"));
    tables.Add(QStringLiteral("UnitName"), {"Code", "Title"}, {{"61", "x&y"}});
    LoadParamProperyList(tables.Reader());
    EXPECT_EQ(lstResponseFlag.size(), 1);
    EXPECT_TRUE(lstUnitNameParam.isEmpty());
    EXPECT_TRUE(lstProportionalNameParam.isEmpty());
    EXPECT_TRUE(lstEquipmentType.isEmpty());
}

TEST_F(ParamDictionaryTest, SearchNameAndContentFindsFirstRowOfACode) {
    LoadParamProperyList(SampleTables().Reader());
    QString name, dest;
    // Text rule of the first row, not the byte reversal of the second row.
    SearchNameAndContent(QStringLiteral("0022"), QStringLiteral("41424300"), name, dest);
    EXPECT_EQ(Str(name), "Code");
    EXPECT_EQ(Str(dest), "ABC");

    // Scaled by the unit's factor: 1003 / 10.
    SearchNameAndContent(QStringLiteral("0401"), QStringLiteral("EB03"), name, dest);
    EXPECT_EQ(Str(name), "Output Power");
    EXPECT_EQ(Str(dest), "100.3");

    for (const char *code : {"0023", "", "0401 ", "002"}) {
        name = QStringLiteral("old");
        SearchNameAndContent(QString::fromLatin1(code), QStringLiteral("41"), name, dest);
        EXPECT_TRUE(name.isEmpty()) << code;
        EXPECT_EQ(Str(dest), "41") << code;
    }
}

TEST_F(ParamDictionaryTest, SearchNameAndContentReadsEntryLayout) {
    lstParamProperty = {QStringLiteral("71000104#0500Temp&  Temperature\t"),
                        QStringLiteral("0A000101#0501NoDisplayName"),
                        QStringLiteral("0600No hash &Odd")};
    QString name, dest;
    SearchNameAndContent(QStringLiteral("0500"), QStringLiteral("0000C03F"), name, dest);
    EXPECT_EQ(Str(name), "Temperature");
    EXPECT_EQ(Str(dest), "1.5");
    // No "&": the whole entry is the name; type 0x0A has no rule.
    SearchNameAndContent(QStringLiteral("0501"), QStringLiteral("01"), name, dest);
    EXPECT_EQ(Str(name), "0A000101#0501NoDisplayName");
    EXPECT_EQ(Str(dest), "01");
    // No "#": the code is taken from the first four characters.
    SearchNameAndContent(QStringLiteral("0600"), QStringLiteral("01"), name, dest);
    EXPECT_EQ(Str(name), "Odd");
}

TEST_F(ParamDictionaryTest, BadTypeCodeInEntryIsAConvertError) {
    lstParamProperty = {QStringLiteral("XY000101#0100Bad&Bad")};
    QString name, dest;
    EXPECT_THROW(SearchNameAndContent(QStringLiteral("0100"), QStringLiteral("01"), name, dest),
                 ConvertError);
}

TEST_F(ParamDictionaryTest, LookupsFollowListChanges) {
    lstParamProperty = {QStringLiteral("01000101#0100A&First")};
    lstMapCommFlag = {QStringLiteral("02#Query&Query")};
    QString name, dest;
    SearchNameAndContent(QStringLiteral("0100"), QStringLiteral("00"), name, dest);
    EXPECT_EQ(Str(name), "First");
    EXPECT_EQ(Str(GetMapCommFlag(QStringLiteral("02"))), "Query");

    lstParamProperty[0] = QStringLiteral("02000101#0100A&Changed");
    lstMapCommFlag.prepend(QStringLiteral("02#New&New"));
    SearchNameAndContent(QStringLiteral("0100"), QStringLiteral("00"), name, dest);
    EXPECT_EQ(Str(name), "Changed");
    EXPECT_EQ(Str(dest), "Disable");
    EXPECT_EQ(Str(GetMapCommFlag(QStringLiteral("02"))), "New");

    lstMapCommFlag.clear();
    EXPECT_EQ(Str(GetMapCommFlag(QStringLiteral("02"))), "");
}

TEST_F(ParamDictionaryTest, UnitAndScaleFactor) {
    lstUnitNameParam = {QStringLiteral("61#TenthdBm& dBm "), QStringLiteral("61#Other&Other"),
                        QStringLiteral("07#Percent")};
    lstProportionalNameParam = {QStringLiteral("61# 10 "), QStringLiteral("63#1&00")};
    const struct {
        const char *key;
        const char *unit;
        const char *factor;
    } cases[] = {
        {"61", "dBm", "10"}, {"07", "07#Percent", ""}, {"63", "", "1&00"}, {"6", "", ""},
        {"", "", ""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(Str(GetUnit(QString::fromLatin1(c.key))), c.unit) << c.key;
        EXPECT_EQ(Str(GetProportional(QString::fromLatin1(c.key))), c.factor) << c.key;
    }
}

TEST_F(ParamDictionaryTest, EnumerationNames) {
    LoadParamProperyList(SampleTables().Reader());
    const struct {
        const char *code;
        int key;
        const char *name;
    } cases[] = {
        {"0420", 0, "Automatic"},    {"0420", 1, "Manual"},       {"0421", 0, "5 MHz"},
        {"0420", 2, "Unknown Name"}, {"9999", 0, "Unknown Name"}, {"", 0, "Unknown Name"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(Str(CodeToParamName(QString::fromLatin1(c.code), c.key)), c.name) << c.code;
        if (QLatin1String(c.name) != QLatin1String("Unknown Name")) {
            EXPECT_EQ(ParamNameToCode(QString::fromLatin1(c.code), QString::fromLatin1(c.name)),
                      c.key)
                << c.code;
        }
    }
    EXPECT_EQ(ParamNameToCode(QStringLiteral("0420"), QStringLiteral("Nothing")), -1);
    EXPECT_EQ(ParamNameToCode(QStringLiteral("9999"), QStringLiteral("Manual")), -1);
}

TEST_F(ParamDictionaryTest, EnumerationNameKeepsBlanksAndKeyNumMustBeDecimal) {
    lstCodeNameParam.push_back(TCodeNameInfo{TCodeNameRecord{
        QStringLiteral("0500"),
        {QStringLiteral("0#A& Spaced "), QStringLiteral("x#B&Bad"), QStringLiteral("2#C&Late")}}});
    EXPECT_EQ(Str(CodeToParamName(QStringLiteral("0500"), 0)), " Spaced ");
    EXPECT_EQ(ParamNameToCode(QStringLiteral("0500"), QStringLiteral("Spaced")), 0);
    EXPECT_THROW(CodeToParamName(QStringLiteral("0500"), 2), ConvertError);
    EXPECT_THROW(ParamNameToCode(QStringLiteral("0500"), QStringLiteral("Bad")), ConvertError);
}

TEST_F(ParamDictionaryTest, EquipmentTypes) {
    LoadParamProperyList(SampleTables().Reader());
    EXPECT_EQ(NameToEquipmentType(QStringLiteral("Booster")), 7);
    EXPECT_EQ(NameToEquipmentType(QStringLiteral("Fibre Repeater")), 3);
    EXPECT_EQ(NameToEquipmentType(QStringLiteral("Unknown")), 0);
    EXPECT_EQ(Str(EquipmentTypeToName(3)), "Fibre Repeater");
    EXPECT_EQ(Str(EquipmentTypeToName(4)), "");

    lstEquipmentType.prepend(QStringLiteral("three#Bad&Bad"));
    EXPECT_THROW(EquipmentTypeToName(3), ConvertError);
    EXPECT_EQ(NameToEquipmentType(QStringLiteral("Booster")), 7);
    EXPECT_THROW(NameToEquipmentType(QStringLiteral("Bad")), ConvertError);
}

TEST_F(ParamDictionaryTest, EntryHelpers) {
    EXPECT_EQ(Str(EntryKey(u"02#Query&Query")), "02");
    EXPECT_EQ(Str(EntryKey(u"NoHash&x")), "");
    EXPECT_EQ(Str(EntryDisplayName(u"02#Query& Query \r\n")), "Query");
    EXPECT_EQ(Str(EntryDisplayName(u" 02#Query ")), "02#Query");
    EXPECT_EQ(Str(EntryDisplayName(u"1#a&b&c")), "b&c");
}

} // namespace
