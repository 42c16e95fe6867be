// Raw value <-> display text for every data type, with unit scaling, floats
// and date layouts.
#include "ProtocolTestUtil.h"
#include "ValueConversion.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using prototest::DictionaryScope;
using prototest::ShortDateScope;

std::string Str(const QString &s) {
    return s.toStdString();
}

class ValueConversionTest : public ::testing::Test {
protected:
    void SetUp() override {
        lstProportionalNameParam = {QStringLiteral("61#10"), QStringLiteral("62#0"),
                                    QStringLiteral("63#abc")};
        lstEquipmentType = {QStringLiteral("3#Repeater&Fibre Repeater")};
        lstCodeNameParam.push_back(TCodeNameInfo{
            TCodeNameRecord{QStringLiteral("0420"),
                            {QStringLiteral("0#Auto&Automatic"), QStringLiteral("1#Man&Manual")}}});
    }
    DictionaryScope dictionaries;
    ShortDateScope shortDate{QStringLiteral("yyyy-MM-dd")};
};

struct DecodeCase {
    int type;
    const char *unit;
    const char *raw;
    const char *display;
};

TEST_F(ValueConversionTest, Decodes) {
    const DecodeCase cases[] = {
        {0x01, "00", "00", "OFF"},
        {0x01, "00", "01", "ON"},
        {0x01, "00", "FF", "ON"},
        {0x01, "00", "", "ON"},
        {0x02, "00", "00", "Disable"},
        {0x02, "00", "01", "Enable"},
        {0x03, "00", "00", "      Normal"},
        {0x03, "00", "05", "      Alert"},
        {0x04, "00", "00", "Normal"},
        {0x04, "00", "01", "Bypass"},
        {0x05, "00", "01", "Abnormal"},
        {0x06, "00", "01", "Saturation"},
        {0x07, "00", "00", "Locking"},
        {0x07, "00", "01", "Losinglock"},
        {0x08, "00", "00", "Success"},
        {0x08, "00", "01", "Failure"},
        {0x09, "00", "00", "Active"},
        {0x09, "00", "01", "Sleep"},
        {0x09, "00", "02", "OFF"},
        {0x10, "00", "3412", "1234"},
        {0x10, "00", "000000", "0"},
        {0x10, "00", "25301409", "9143025"},
        {0x11, "00", "FF", "-1"},
        {0x11, "00", "7F", "127"},
        {0x11, "00", "80", "-128"},
        {0x12, "00", "FF", "255"},
        {0x12, "00", "FF01", "255"}, // low 8 bits of 0x01FF
        {0x14, "00", "FEFF", "-2"},
        {0x16, "00", "FEFF", "65534"},
        {0x17, "00", "0100", "1"},
        {0x18, "00", "FFFF", "65535"},
        {0x27, "00", "3412", "4660"},
        {0x19, "00", "FFFFFFFF", "4294967295"},
        {0x19, "00", "FFFFFFFF00", "4294967295"}, // a leading zero byte is harmless
        {0x41, "00", "FFFFFFFF", "-1"},
        {0x42, "00", "FEFFFFFF", "-2"},
        {0x21, "00", "414243000000", "ABC"},
        {0x21, "00", "000000", ""},
        {0x21, "00", "", ""},
        {0x21, "00", "2041204220", "A B"},
        {0x21, "00", "E9", "\xC3\xA9"}, // byte 0xE9 is the character U+00E9
        {0x22, "00", "20151209143005", "2015-12-09 14:30:05"},
        {0x23, "00", "0A000001", "10.0.0.1"},
        {0x23, "00", "C0A80001FF", "192.168.0.1"},
        {0x24, "00", "001122AABBCC", "00:11:22:AA:BB:CC"},
        {0x30, "00", "03", "Fibre Repeater"},
        {0x30, "00", "04", ""}, // empty, not the raw hex
        {0x31, "00", "01", "Manual"},
        {0x31, "00", "05", "Unknown Name"},
        {0x71, "00", "0000C03F", "1.5"},
        {0x71, "00", "CDCCCC3D", "0.10"},
        {0x71, "00", "7B149E3F", "1.24"},
        {0x71, "00", "7B149EBF", "-1.24"},
        {0x71, "00", "00000040", "2"},
        {0x00, "00", "ABCD", "ABCD"},
        {0x50, "00", "ABCD", "ABCD"},
        {0x0A, "ZZ", "ABCD", "ABCD"}, // the unit is not read without a display value
        // Scaling by the factor of unit 61 (10), two decimals.
        {0x14, "61", "E803", "100"},
        {0x14, "61", "EB03", "100.3"},
        {0x14, "61", "F6FF", "-1"},
        {0x12, "61", "07", "0.7"},
        {0x19, "61", "FFFFFFFF", "429496729.5"},
        {0x14, "60", "EB03", "1003"}, // 0x60 is not scaled
    };
    for (const auto &c : cases) {
        const QString display = FromAscToNormal(QStringLiteral("0420"), QString::fromLatin1(c.raw),
                                                c.type, QString::fromLatin1(c.unit));
        EXPECT_EQ(Str(display), c.display) << std::hex << c.type << " " << c.raw;
    }
}

TEST_F(ValueConversionTest, TextStopsAt51Characters) {
    const QString raw = QString(QStringLiteral("41")).repeated(60);
    EXPECT_EQ(FromAscToNormal({}, raw, 0x21, QStringLiteral("00")), QString(51, u'A'));
    const QString longer = QString(QStringLiteral("42")).repeated(100000);
    EXPECT_EQ(FromAscToNormal({}, longer, 0x21, QStringLiteral("00")), QString(51, u'B'));
}

TEST_F(ValueConversionTest, DecodeErrors) {
    const DecodeCase cases[] = {
        {0x19, "00", "0000000001", ""}, // nine significant digits after reversing
        {0x41, "00", "000000000001", ""},
        {0x11, "00", "ZZ", ""},
        {0x12, "00", "", ""},
        {0x14, "00", "0G00", ""},
        {0x21, "00", "41ZZ", ""},
        {0x23, "00", "0A00", ""}, // fewer than four bytes
        {0x30, "00", "X", ""},
        {0x31, "00", "", ""},
        {0x71, "00", "0000C03F01", ""}, // nine significant digits
        {0x71, "00", "", ""},
        {0x01, "ZZ", "00", ""},   // unit code not hex
        {0x14, "62", "E803", ""}, // factor 0
        {0x14, "63", "E803", ""}, // factor not a number
        {0x14, "64", "E803", ""}, // unit without factor
        {0x21, "61", "41", ""},   // text cannot be scaled
    };
    for (const auto &c : cases)
        EXPECT_THROW(FromAscToNormal(QStringLiteral("0420"), QString::fromLatin1(c.raw), c.type,
                                     QString::fromLatin1(c.unit)),
                     ConvertError)
            << std::hex << c.type << " " << c.raw;
}

struct EncodeCase {
    int type;
    const char *unit;
    int len;
    const char *display;
    const char *raw;
};

TEST_F(ValueConversionTest, Encodes) {
    const EncodeCase cases[] = {
        {0x01, "00", 1, "ON", "01"},
        {0x01, "00", 2, "ON", "0001"},
        {0x01, "00", 1, "OFF", "00"},
        {0x02, "00", 1, "Disable", "00"},
        {0x02, "00", 1, "Enable", "01"},
        {0x03, "00", 1, "Normal", "00"},
        {0x03, "00", 1, "Alert", "01"},
        {0x07, "00", 1, "Locking", "00"},
        {0x08, "00", 1, "Success", "00"},
        {0x09, "00", 1, "Active", "00"},
        {0x09, "00", 1, "Sleep", "01"},
        {0x09, "00", 1, "Other", "02"},
        {0x10, "00", 4, "1234", "34120000"},
        {0x10, "00", 4, "9143025", "25301409"},
        {0x10, "00", 2, "123456", "5634"},
        {0x11, "00", 1, "-1", "FF"},
        {0x11, "00", 4, "-1", "FF"}, // one byte whatever the length
        {0x12, "00", 1, "255", "FF"},
        {0x14, "00", 2, "-2", "FEFF"},
        {0x16, "00", 2, "65534", "FEFF"},
        {0x16, "00", 2, "1", "0100"},
        {0x27, "00", 2, "4660", "3412"},
        {0x19, "00", 4, "305419896", "78563412"},
        {0x41, "00", 4, "-2", "FEFFFFFF"},
        {0x42, "00", 8, "-2", "FEFFFFFF00000000"},
        {0x21, "00", 4, "AB", "41420000"},
        {0x21, "00", 2, "NULL", "0000"},
        {0x21, "00", 2, "ABCD", "4142"},
        {0x21, "00", 0, "AB", ""},
        {0x22, "00", 7, "2015-12-09 14:30:05", "20151209143005"},
        {0x23, "00", 4, "10.0.0.1", "0A000001"},
        {0x23, "00", 4, " 192 . 168.0.1", "C0A80001"},
        {0x24, "00", 6, "00:11:22:AA:BB:CC", "001122AABBCC"},
        {0x30, "00", 1, "Fibre Repeater", "03"},
        {0x30, "00", 1, "Unknown", "00"},
        {0x31, "00", 1, "Manual", "01"},
        {0x31, "00", 1, "Unknown", "FFFFFFFF"},
        {0x71, "00", 4, "1.5", "0000C03F"},
        {0x71, "00", 4, "-2", "000000C0"},
        {0x00, "00", 2, "1234", ""},
        {0x50, "00", 2, "1234", ""},
        // Scaling multiplies and truncates toward zero before the type rule.
        {0x14, "61", 2, "12.34", "7B00"},
        {0x14, "61", 2, "-12.39", "85FF"},
        {0x12, "61", 1, "25.5", "FF"},
    };
    for (const auto &c : cases) {
        const QString raw = FromNormalToASC(QStringLiteral("0420"), QString::fromLatin1(c.display),
                                            c.type, c.len, QString::fromLatin1(c.unit));
        EXPECT_EQ(Str(raw), c.raw) << std::hex << c.type << " " << c.display;
    }
}

TEST_F(ValueConversionTest, EncodeErrors) {
    const EncodeCase cases[] = {
        {0x12, "00", 1, "abc", ""},         {0x14, "00", 2, "1.5", ""},
        {0x19, "00", 4, "2147483648", ""}, // above the signed 32-bit range
        {0x41, "00", 4, "-2147483649", ""}, {0x11, "00", 1, "", ""},
        {0x23, "00", 4, "10.x.0.1", ""},    {0x71, "00", 4, "1e39", ""}, // beyond a single
        {0x71, "00", 4, "nan", ""},         {0x01, "ZZ", 1, "ON", ""},
        {0x14, "61", 2, "x", ""},           {0x14, "62", 2, "1", ""},
    };
    for (const auto &c : cases)
        EXPECT_THROW(FromNormalToASC(QStringLiteral("0420"), QString::fromLatin1(c.display), c.type,
                                     c.len, QString::fromLatin1(c.unit)),
                     ConvertError)
            << std::hex << c.type << " " << c.display;
}

TEST_F(ValueConversionTest, EncodeLengthIsBounded) {
    EXPECT_EQ(FromNormalToASC({}, QStringLiteral("1"), 0x01, -5, QStringLiteral("00")), "1");
    EXPECT_EQ(FromNormalToASC({}, QStringLiteral("1"), 0x01, 1 << 30, QStringLiteral("00")).size(),
              510);
}

TEST(FloatConversion, FloatToHex) {
    EXPECT_EQ(Str(FloatToHex(1.5f, 4)), "3FC00000");
    EXPECT_EQ(Str(FloatToHex(1.5f, 3)), "C00000");
    EXPECT_EQ(Str(FloatToHex(1.5f, 1)), "00");
    EXPECT_EQ(Str(FloatToHex(-2.0f, 4)), "C0000000");
    EXPECT_EQ(Str(FloatToHex(1.5f, 9)), "3FC00000");
    EXPECT_EQ(Str(FloatToHex(1.5f, 0)), "");
}

TEST(FloatConversion, HexToFloat) {
    const struct {
        const char *hex;
        int p;
        const char *text;
    } cases[] = {
        {"3FC00000", 2, "1.5"},
        {"3DCCCCCD", 2, "0.10"},
        {"3F9E147B", 2, "1.24"},
        {"BF9E147B", 2, "-1.24"},
        {"40000000", 2, "2"},
        {"3DCCCCCD", 0, "0."},
        {"3DCCCCCD", 4, "0.1000"},
        {"3727C5AC", 2, "9.99999974737875e-06"}, // exponent form is not cut
        {"7F800000", 2, "inf"},
        {"3FC0000", 2, ""}, // odd length
    };
    for (const auto &c : cases)
        EXPECT_EQ(Str(HexToFloat(QString::fromLatin1(c.hex), c.p)), c.text) << c.hex;
    EXPECT_THROW(HexToFloat(QStringLiteral("ZZ"), 2), ConvertError);
    EXPECT_THROW(HexToFloat(QStringLiteral("013FC00000"), 2), ConvertError);
}

TEST(DateLayout, StrConversionDate) {
    const struct {
        const char *layout;
        const char *text;
    } cases[] = {
        {"yyyy/M/d", "2015/3/9"},     {"yyyy-M-d", "2015-3-9"},     {"yyyy.M.d", "2015.3.9"},
        {"yyyy/MM/dd", "2015/03/09"}, {"yyyy.MM.dd", "2015.03.09"}, {"yy/M/d", "15/3/9"},
        {"yy-M-d", "15-3-9"},         {"yy.M.d", "15.3.9"},         {"yy/MM/dd", "15/03/09"},
        {"M/d/yyyy", "3/9/2015"},     {"M/d/yy", "3/9/15"},         {"MM/dd/yy", "03/09/15"},
        {"MM/dd/yyyy", "03/09/2015"}, {"dd-MMM-yy", "09-003-15"},   {"yyyy-MM-dd", "2015-03-09"},
        {"dd.MM.yyyy", "2015-03-09"}, {"", "2015-03-09"},
    };
    for (const auto &c : cases) {
        ShortDateScope layout{QString::fromLatin1(c.layout)};
        EXPECT_EQ(Str(StrConversionDate(QStringLiteral("20150309"))), c.text) << c.layout;
    }
    ShortDateScope layout{QStringLiteral("yyyy/M/d")};
    EXPECT_EQ(Str(StrConversionDate(QStringLiteral("2015"))), "2015/0/0");
    EXPECT_EQ(
        Str(FromAscToNormal({}, QStringLiteral("20151209143005"), 0x22, QStringLiteral("00"))),
        "2015/12/9 14:30:05");
}

} // namespace
