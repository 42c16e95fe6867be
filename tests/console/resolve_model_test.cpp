// The resolver's layer tree, grid rows and parameter descriptions, built from
// the codec without any window.
#include "FrameCodec.h"
#include "PackResolveModel.h"
#include "ParamDictionary.h"

#include <gtest/gtest.h>

namespace {

// Dictionary lists for one test, emptied again afterwards.
class Dictionaries : public ::testing::Test {
protected:
    void SetUp() override {
        Clear();
        lstMapCommFlag = {"01#&Alarm Report", "02#&Query"};
        lstResponseFlag = {"00#&Success"};
        lstUnitNameParam = {"00#&", "05#&dBm"};
        // Type, unit, settable, length, "#", code, name.
        lstParamProperty = {"1200011#0101&Power Switch", "310101 1#0102& Work Mode ",
                            "21000018#0022&Code"};
        lstCodeNameParam = {{{"0102", {"0#&Off", "1#& Auto "}}}};
    }
    void TearDown() override { Clear(); }
    static void Clear() {
        lstMapCommFlag.clear();
        lstResponseFlag.clear();
        lstUnitNameParam.clear();
        lstParamProperty.clear();
        lstCodeNameParam.clear();
    }
};

using ResolveTree = Dictionaries;

const TResolveNode *Find(const std::vector<TResolveNode> &nodes, const QString &prefix) {
    for (const TResolveNode &n : nodes) {
        if (n.Text.startsWith(prefix))
            return &n;
        if (const TResolveNode *c = Find(n.Children, prefix))
            return c;
    }
    return nullptr;
}

QStringList Texts(const TResolveNode &n) {
    QStringList t;
    for (const TResolveNode &c : n.Children)
        t << c.Text;
    return t;
}

// The 17-byte query frame of site 1, unit 5, serial 1 (CRC BA04).
const QString kQuery = "7E030101000000050100800102FF04BA7E";

TEST_F(ResolveTree, CorrectFrameGivesEveryNodeText) {
    const TResolveTree t = BuildResolveTree(kQuery);
    ASSERT_TRUE(t.ErrorMessage.isEmpty());
    ASSERT_EQ(t.Nodes.size(), 3u);
    EXPECT_EQ(t.Nodes[0].Text, "Access layer(AP)");
    EXPECT_EQ(
        Texts(t.Nodes[0]),
        QStringList({"Start signs: 7E", "Type of agreement: 03", "Bearing type agreement: 01",
                     "Data unit: 01000000050100800102FF", "Check unit: BA04", "End signs: 7E"}));
    EXPECT_EQ(Texts(t.Nodes[0].Children[0]), QStringList{"Lenght: 1"});
    EXPECT_EQ(Texts(t.Nodes[0].Children[3]), QStringList{"Results: wait for deal..."});
    EXPECT_EQ(Texts(t.Nodes[0].Children[4]),
              QStringList({"Value: 47620", "Length: 2", "Results: OK"}));
    EXPECT_FALSE(t.Nodes[0].Children[4].Expanded);
    EXPECT_EQ(t.Nodes[1].Text, "Network layer(NP)");
    EXPECT_EQ(Texts(t.Nodes[1]),
              QStringList({"Site No.: 1", "Equipment No.: 5", " Package serial number:0001",
                           "NP signs of interaction: 80", "Application Protocol logo: 01",
                           "Data Unit: 02FF"}));
    EXPECT_EQ(Texts(t.Nodes[1].Children[0]), QStringList({"Value: 1", "Length: 4"}));
    EXPECT_EQ(Texts(t.Nodes[1].Children[1]), QStringList({"Value: 5", "Length: 1"}));
    EXPECT_EQ(Texts(t.Nodes[1].Children[2]), QStringList({"Value: 1", "Length: 2", "Results: OK"}));
    EXPECT_EQ(Texts(t.Nodes[1].Children[3]),
              QStringList({"Length: 1", "Results: Normal Command Request"}));
    EXPECT_EQ(Texts(t.Nodes[1].Children[5]), QStringList{"Results: Wait for Deal..."});
    EXPECT_EQ(t.Nodes[2].Text, "Application Layer(MAP)");
    EXPECT_EQ(Texts(t.Nodes[2]),
              QStringList({"Command logo: 02", "Responses signs: FF", "Data Unit: "}));
    EXPECT_EQ(Texts(t.Nodes[2].Children[0]), QStringList({"Length: 1", "Results: Query"}));
    EXPECT_EQ(Texts(t.Nodes[2].Children[1]), QStringList({"Length: 1", "Results: Other Error"}));
    for (const TResolveNode &top : t.Nodes)
        EXPECT_TRUE(top.Expanded);
    // A frame without data items has nothing for "DataBody".
    EXPECT_TRUE(t.MapPackageStr.isEmpty());
    // Byte ranges point into the input.
    const TResolveNode *site = Find(t.Nodes, "Site No.");
    EXPECT_EQ(kQuery.mid(site->Offset, site->Length), "01000000");
    const TResolveNode *check = Find(t.Nodes, "Check unit");
    EXPECT_EQ(kQuery.mid(check->Offset, check->Length), "04BA");
}

TEST_F(ResolveTree, WrongCheckUnitIsMarkedAndOpened) {
    QString frame = kQuery;
    frame.replace(14, 2, "06"); // one data byte changed, CRC kept
    const TResolveTree t = BuildResolveTree(frame);
    const TResolveNode *check = Find(t.Nodes, "Check unit: BA04");
    ASSERT_TRUE(check);
    const QString expected =
        "Results: Error(Reference value " + GetCRC16(frame.mid(2, frame.size() - 8)) + ")";
    EXPECT_EQ(check->Children.back().Text, expected);
    EXPECT_TRUE(check->Expanded);
    EXPECT_TRUE(check->Error);
}

TEST_F(ResolveTree, SerialRuleDependsOnTheCommand) {
    struct Case {
        const char *serial; // little-endian bytes
        const char *command;
        bool ok;
    } cases[] = {{"0080", "01", true},  {"0080", "02", false}, {"FF8F", "01", true},
                 {"0090", "01", false}, {"FF7F", "01", false}, {"FF7F", "02", true},
                 {"0000", "03", true}};
    for (const Case &c : cases) {
        const QString frame = BuildFrame(
            QStringLiteral("03010100000005%1800102FF").arg(c.serial).replace(22, 2, c.command));
        const TResolveTree t = BuildResolveTree(frame);
        const TResolveNode *serial = Find(t.Nodes, " Package serial number:");
        ASSERT_TRUE(serial) << frame.toStdString();
        EXPECT_EQ(serial->Children.back().Text, c.ok ? "Results: OK" : "Results: Error")
            << c.serial << " " << c.command;
        EXPECT_EQ(serial->Expanded, !c.ok);
    }
    const TResolveTree report = BuildResolveTree(BuildFrame("030101000000050080800101FF"));
    EXPECT_EQ(Find(report.Nodes, " Package serial number:")->Text, " Package serial number:8000");
}

TEST_F(ResolveTree, EscapedInputIsParsedShifted) {
    // Site 0x7E as sent on the wire: 5E 7D stands for 7E and is not undone.
    const TResolveTree t = BuildResolveTree("7E03015E7D000000050100800102FFA58A7E");
    ASSERT_TRUE(t.ErrorMessage.isEmpty());
    EXPECT_TRUE(Find(t.Nodes, "Site No.: 7D5E"));
    EXPECT_TRUE(Find(t.Nodes, "Equipment No.: 0"));
}

TEST_F(ResolveTree, InputsThatFail) {
    const TResolveTree notAFrame = BuildResolveTree("7F0301");
    EXPECT_EQ(notAFrame.ErrorMessage, IllegalInstructionText);
    EXPECT_TRUE(notAFrame.Nodes.empty());
    EXPECT_EQ(BuildResolveTree("").ErrorMessage, IllegalInstructionText);
    // Too short to hold a serial number: nothing can be built.
    EXPECT_EQ(BuildResolveTree("7E0301").ErrorMessage, AnalyzingFailedText);
    // A site number that is not hex: the access layer stays, the network
    // layer stops at the site node and stays closed.
    const TResolveTree badSite = BuildResolveTree("7E0301XX000000050100800102FF04BA7E");
    EXPECT_EQ(badSite.ErrorMessage, AnalyzingFailedText);
    ASSERT_EQ(badSite.Nodes.size(), 2u);
    EXPECT_TRUE(badSite.Nodes[0].Expanded);
    EXPECT_FALSE(badSite.Nodes[1].Expanded);
    ASSERT_EQ(badSite.Nodes[1].Children.size(), 1u);
    EXPECT_TRUE(badSite.Nodes[1].Children[0].Children.empty());
}

TEST_F(ResolveTree, DataItemsGoToTheGridRows) {
    const TResolveTree t = BuildResolveTree(BuildFrame("030101000000050200800102FF04010100"));
    EXPECT_EQ(t.MapPackageStr, "04010100");
    const auto rows = MapDataRows("0401010105220001");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].Value, "04010101");
    EXPECT_EQ(rows[0].Len, "4");
    EXPECT_EQ(rows[0].Code, "0x0101");
    EXPECT_EQ(rows[0].Name, "Power Switch");
    EXPECT_EQ(rows[0].Content, "1");
    EXPECT_EQ(rows[1].Code, "0x0022");
    EXPECT_TRUE(MapDataRows("0401010100").empty()); // a length byte below 3
}

TEST_F(ResolveTree, DescriptionOfAParameter) {
    EXPECT_EQ(ParamDescription("0x0101"),
              "Code String: 1200011#0101\r\rType(12): uint1 0～255\r\rUnit(00): \r\r"
              "Set(01): Yes\r\rFlag: 0x0101\r\rName: Power Switch");
    // Enumeration names as the type hint; the name is not trimmed.
    EXPECT_EQ(ParamDescription("0x0102"),
              "Code String: 310101 1#0102\r\rType(31):  Off Auto\r\rUnit(01): \r\r"
              "Set(01): Yes\r\rFlag: 0x0102\r\rName:  Work Mode ");
    EXPECT_FALSE(ParamDescription(""));
    EXPECT_FALSE(ParamDescription("0x9999"));
    EXPECT_FALSE(ParamDescription("0101"));
}

TEST(ResolveTypeHint, EveryTypeGroup) {
    struct Case {
        int type;
        const char *hint;
    } cases[] = {
        {0x00, "Source Data"},
        {0x01, "uint1"},
        {0x09, "uint1"},
        {0x10, "Head tail Replace(Example 12FF56->56FF12)"},
        {0x11, "sint1 -127～127"},
        {0x12, "uint1 0～255"},
        {0x14, "sint2 -32767～32767"},
        {0x16, "uint2 0～65535  17:Work Channel 18:shift Frequency Channel"},
        {0x17, "uint2 0～65535  17:Work Channel 18:shift Frequency Channel"},
        {0x18, "uint2 0～65535  17:Work Channel 18:shift Frequency Channel"},
        {0x27, "uint2 0～65535  17:Work Channel 18:shift Frequency Channel"},
        {0x19, "uint4 0～4294967295"},
        {0x21, "String"},
        {0x22, "Date Time yyyy-mm-dd hh:mm:ss"},
        {0x23, "Ip Address"},
        {0x24, "MAC Address"},
        {0x30, "Equipment type"},
        {0x31, ""}, // no enumeration for the code
        {0x41, "sint4 -2147483648～2147483647"},
        {0x42, "uint8 -2^63～2^63-1"},
        {0x71, "Float number"},
        {0x0A, ""},
        {0x13, ""},
        {0xFF, ""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(ParamTypeHint(c.type, "7777"), QString::fromUtf8(c.hint)) << c.type;
}

} // namespace
