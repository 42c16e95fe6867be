// Packet layers: frame parse, data items and flag names.
#include "FrameCodec.h"
#include "PackRecord.h"
#include "ProtocolTestUtil.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using prototest::DictionaryScope;

std::string Str(const QString &s) {
    return s.toStdString();
}

class PackRecordTest : public ::testing::Test {
protected:
    DictionaryScope dictionaries;
};

TEST_F(PackRecordTest, ParsesTheSmallestFrame) {
    lstMapCommFlag = {QStringLiteral("02#Query&Query")};
    const TOnePackRecord r =
        ResolveOnePackRecord(QStringLiteral("7E030101000000050100800102FF04BA7E"));
    EXPECT_EQ(Str(r.StartFlag), "7E");
    EXPECT_EQ(Str(r.AgreementType), "03");
    EXPECT_EQ(Str(r.ChildType), "01");
    EXPECT_EQ(Str(r.NetDataStr), "01000000050100800102FF");
    EXPECT_EQ(Str(r.SiteNum), "1");
    EXPECT_EQ(r.EquipmentNum, 5);
    EXPECT_EQ(r.SerialId, 1);
    EXPECT_EQ(Str(r.NPEachFlag), "80");
    EXPECT_EQ(Str(r.ApplyFlag), "01");
    EXPECT_EQ(Str(r.MapDataStr), "02FF");
    EXPECT_EQ(Str(r.OperateFlag), "02");
    EXPECT_EQ(Str(r.AttributeName), "Query");
    EXPECT_EQ(Str(r.ResponseFlag), "FF");
    EXPECT_EQ(Str(r.ObjStr), "");
    EXPECT_EQ(Str(r.CrcCheckHex), "BA04");
    EXPECT_EQ(r.CheckCode[0], 0x04);
    EXPECT_EQ(r.CheckCode[1], 0xBA);
    EXPECT_EQ(Str(r.ResHex), "030101000000050100");
    EXPECT_EQ(Str(r.EndFlag), "7E");
}

TEST_F(PackRecordTest, ParsesAnEscapedSiteNumberAfterUnescaping) {
    const QString wire = QStringLiteral("7E03015E7D000000050100800102FFA58A7E");
    const TOnePackRecord r = ResolveOnePackRecord(ReceiveTransFormat(wire));
    EXPECT_EQ(Str(r.SiteNum), "7E");
    EXPECT_EQ(Str(r.CrcCheckHex), "8AA5");
    EXPECT_EQ(r.CheckCode[0], 0xA5);
    EXPECT_EQ(r.CheckCode[1], 0x8A);
}

TEST_F(PackRecordTest, ParsesAQueryWithOneItem) {
    const TOnePackRecord r =
        ResolveOnePackRecord(QStringLiteral("7E030101000000050200800102FF04010100853A7E"));
    EXPECT_EQ(r.SerialId, 2);
    EXPECT_EQ(Str(r.ObjStr), "04010100");
    EXPECT_EQ(Str(r.MapDataStr), "02FF04010100");
    EXPECT_EQ(Str(r.CrcCheckHex), "3A85");
    const TCommPackList items = ResolveCommPack(r.ObjStr);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(Str(items[0].Body.ParamCode), "0101");
    EXPECT_EQ(Str(items[0].Body.SourceContent), "00");
    EXPECT_EQ(Str(items[0].Body.Len), "4");
}

TEST_F(PackRecordTest, SiteAndSerialNumbersAreLittleEndian) {
    const struct {
        const char *site;   // bytes 3..6 as on the wire
        const char *serial; // bytes 8..9 as on the wire
        const char *siteNum;
        int serialId;
    } cases[] = {
        {"00000000", "0000", "0", 0},
        {"34120000", "0100", "1234", 1},
        {"00000010", "0180", "10000000", 32769},
        {"FFFFFFFF", "FFFF", "FFFFFFFF", 65535},
    };
    for (const auto &c : cases) {
        const QString content = QStringLiteral("0301") + QLatin1String(c.site) +
                                QStringLiteral("05") + QLatin1String(c.serial) +
                                QStringLiteral("800102FF");
        const TOnePackRecord r = ResolveOnePackRecord(BuildFrame(content));
        EXPECT_EQ(Str(r.SiteNum), c.siteNum) << c.site;
        EXPECT_EQ(r.SerialId, c.serialId) << c.serial;
    }
}

TEST_F(PackRecordTest, TextWithoutStartFlagGivesEmptyRecord) {
    for (const char *text : {"", "7", "030101000000050100800102FF04BA7E", "7e0301"}) {
        const TOnePackRecord r = ResolveOnePackRecord(QString::fromLatin1(text));
        EXPECT_TRUE(r.StartFlag.isEmpty()) << text;
        EXPECT_TRUE(r.ObjStr.isEmpty()) << text;
        EXPECT_EQ(r.SerialId, 0) << text;
        EXPECT_EQ(r.EquipmentNum, 0) << text;
    }
}

TEST_F(PackRecordTest, TruncatedOrMalformedFramesFailWithConvertError) {
    for (const char *text :
         {"7E", "7E03", "7E0301010000", "7E030101000000ZZ0100800102FF04BA7E", "7E030101000000"}) {
        EXPECT_THROW(ResolveOnePackRecord(QString::fromLatin1(text)), ConvertError) << text;
    }
}

TEST_F(PackRecordTest, EveryPrefixOfAFrameParsesOrFailsCleanly) {
    const QString frame = QStringLiteral("7E030101000000050200800102FF04010100853A7E");
    for (qsizetype n = 0; n <= frame.size(); ++n) {
        try {
            const TOnePackRecord r = ResolveOnePackRecord(frame.left(n));
            EXPECT_LE(r.ObjStr.size(), n);
        } catch (const ConvertError &) {
        }
    }
}

struct ItemCase {
    const char *items;
    std::vector<std::pair<const char *, const char *>> expected; // code, value
};

TEST_F(PackRecordTest, ResolveCommPackSplitsItems) {
    const ItemCase cases[] = {
        {"0501000A0B04220001", {{"0001", "0A0B"}, {"0022", "01"}}},
        {"0501000A0B00", {}}, // a length below 3 discards everything
        {"020100", {}},
        {"0601000A0B", {{"0001", "0A0B"}}},       // item shorter than its length byte
        {"0501000A0BZZ0101", {{"0001", "0A0B"}}}, // bad length pair ends the list
        {"ZZ", {}},
        {"", {}},
        {"030100", {{"0001", ""}}},
        {"05", {{"", ""}}},          // a lone length byte is an item without code
        {"0401 0 ", {{" 001", ""}}}, // positions are taken as they fall
    };
    for (const auto &c : cases) {
        const TCommPackList items = ResolveCommPack(QString::fromLatin1(c.items));
        ASSERT_EQ(items.size(), c.expected.size()) << c.items;
        for (size_t i = 0; i < items.size(); ++i) {
            EXPECT_EQ(Str(items[i].Body.ParamCode), c.expected[i].first) << c.items;
            EXPECT_EQ(Str(items[i].Body.SourceContent), c.expected[i].second) << c.items;
            EXPECT_EQ(items[i].Body.DestContent, items[i].Body.SourceContent) << c.items;
            EXPECT_TRUE(items[i].Body.Name.isEmpty()) << c.items;
        }
    }
}

TEST_F(PackRecordTest, ResolveCommPackKeepsWholeItemAndLength) {
    const TCommPackList items = ResolveCommPack(u"0501000A0B04220001");
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(Str(items[0].Body.Value), "0501000A0B");
    EXPECT_EQ(Str(items[0].Body.Len), "5");
    EXPECT_EQ(Str(items[1].Body.Value), "04220001");
    EXPECT_EQ(Str(items[1].Body.Len), "4");
}

TEST_F(PackRecordTest, ResolveCommPackConvertsKnownParameters) {
    lstParamProperty = {QStringLiteral("21000120#0022Code&Equipment Code"),
                        QStringLiteral("23000104#0110CenterIP&Center IP"),
                        QStringLiteral("01000101#0201Switch& Power Switch ")};
    const TCommPackList items = ResolveCommPack(u"092200414243000000"
                                                u"071001C0A80001"
                                                u"04010201");
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(Str(items[0].Body.Name), "Equipment Code");
    EXPECT_EQ(Str(items[0].Body.DestContent), "ABC");
    EXPECT_EQ(Str(items[1].Body.Name), "Center IP");
    EXPECT_EQ(Str(items[1].Body.DestContent), "192.168.0.1");
    EXPECT_EQ(Str(items[2].Body.Name), "Power Switch");
    EXPECT_EQ(Str(items[2].Body.DestContent), "ON");
}

TEST_F(PackRecordTest, ResolveCommPackStopsAtAnItemThatCannotBeConverted) {
    // 0x0110 is an address of four bytes; two bytes cannot be read as one.
    lstParamProperty = {QStringLiteral("23000104#0110CenterIP&Center IP")};
    const TCommPackList items = ResolveCommPack(u"04010001"
                                                u"051001C0A8"
                                                u"04010002");
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(Str(items[0].Body.ParamCode), "0001");
}

TEST_F(PackRecordTest, NpEachFlag) {
    const struct {
        const char *key;
        const char *text;
    } cases[] = {
        {"00", "Normal Execute Result"},
        {"01", "Unable Deal Command Request"},
        {"80", "Normal Command Request"},
        {"7F", ""},
        {"FF", ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Str(GetNpEachFlag(QString::fromLatin1(c.key))), c.text) << c.key;
    for (const char *key : {"", "ZZ", "8 0"})
        EXPECT_THROW(GetNpEachFlag(QString::fromLatin1(key)), ConvertError) << key;
}

TEST_F(PackRecordTest, CommandAndResponseFlagNamesCompareKeysExactly) {
    lstMapCommFlag = {QStringLiteral("2#Wrong&Two"), QStringLiteral("02#Query& Query \t"),
                      QStringLiteral("02#Second&Second"), QStringLiteral("0A#Upper&Upper"),
                      QStringLiteral("EE#NoName")};
    lstResponseFlag = {QStringLiteral("00#Success&Success")};
    const struct {
        const char *key;
        const char *command;
        const char *response;
    } cases[] = {
        {"02", "Query", "Other Error"},
        {"2", "Two", "Other Error"},
        {"0A", "Upper", "Other Error"},
        {"0a", "", "Other Error"},
        {"EE", "EE#NoName", "Other Error"},
        {"00", "", "Success"},
        {"", "", "Other Error"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(Str(GetMapCommFlag(QString::fromLatin1(c.key))), c.command) << c.key;
        EXPECT_EQ(Str(GetResponseFlag(QString::fromLatin1(c.key))), c.response) << c.key;
    }
}

} // namespace
