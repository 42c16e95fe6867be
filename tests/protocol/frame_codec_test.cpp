// Frame envelope: CRC, escaping, unescaping, frame building and checking.
// Expected frames come from hand-worked protocol examples and an independent
// CRC-16/XMODEM calculation, never from the encoder under test.
#include "FrameCodec.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct TextCase {
    const char *input;
    const char *expected;
};

std::string Str(const QString &s) {
    return s.toStdString();
}

TEST(FrameCodec, Crc16) {
    const TextCase cases[] = {
        {"313233343536373839", "31C3"},
        {"31 32 33 34 35 36 37 38 39", "31C3"},
        {"31-32:33,34\t35363738\r\n39", "31C3"},
        {"", "0000"},
        {"xyz", "0000"},
        {"123", "2730"}, // taken as the bytes 01 23
        {"0123", "2730"},
        {"030101000000050100800102ff", "BA04"}, // lower-case digits count too
        {"030101000000050100800102FF", "BA04"},
        {"03017E000000050100800102FF", "8AA5"},
        {"030101000000050200800102FF04010100", "3A85"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Str(GetCRC16(QString::fromLatin1(c.input))), c.expected) << c.input;
}

TEST(FrameCodec, Crc16TableMatchesGeneratorRule) {
    // Entries named with the algorithm; the rest follow from the same loop.
    EXPECT_EQ(Crc16Tab[0], 0x0000);
    EXPECT_EQ(Crc16Tab[1], 0x1021);
    EXPECT_EQ(Crc16Tab[2], 0x2042);
    EXPECT_EQ(Crc16Tab[16], 0x1231);
    EXPECT_EQ(Crc16Tab[128], 0x9188);
    EXPECT_EQ(Crc16Tab[255], 0x1EF0);
}

struct EscapeCase {
    const char *frame;
    const char *escaped;
    QByteArray bytes;
};

TEST(FrameCodec, SendTransFormatBufEscapesInnerBytes) {
    const EscapeCase cases[] = {
        {"7E017E5E7E", "7E015E7D5E5D7E", QByteArray::fromHex("7E015E7D5E5D7E")},
        // First and last bytes are not examined: they always become flags.
        {"AA0102BB", "7E01027E", QByteArray::fromHex("7E01027E")},
        // Site number 0x7E.
        {"7E03017E000000050100800102FFA58A7E", "7E03015E7D000000050100800102FFA58A7E",
         QByteArray::fromHex("7E03015E7D000000050100800102FFA58A7E")},
        // CRC low byte 0x7E (CRC 3C7E) and CRC high byte 0x5E (CRC 5E16).
        {"7E03010100000005E900800102FF7E3C7E", "7E03010100000005E900800102FF5E7D3C7E",
         QByteArray::fromHex("7E03010100000005E900800102FF5E7D3C7E")},
        {"7E030101000000050C01800102FF165E7E", "7E030101000000050C01800102FF165E5D7E",
         QByteArray::fromHex("7E030101000000050C01800102FF165E5D7E")},
        // A lower-case flag inside is escaped like an upper-case one.
        {"7E017e5e7E", "7E015E7D5E5D7E", QByteArray::fromHex("7E015E7D5E5D7E")},
        // Degenerate inputs still give a flag at each end.
        {"", "7E7E", QByteArray::fromHex("7E7E")},
        {"7E", "7E7E", QByteArray::fromHex("7E7E")},
        {"7E017", "7E7E", QByteArray::fromHex("7E7E")}, // odd tail is not a byte
    };
    for (const auto &c : cases) {
        QByteArray buf;
        EXPECT_EQ(Str(SendTransFormatBuf(QString::fromLatin1(c.frame), buf)), c.escaped) << c.frame;
        EXPECT_EQ(buf, c.bytes) << c.frame;
    }
}

TEST(FrameCodec, SendTransFormatBufRejectsNonHex) {
    for (const char *frame : {"7E01ZZ7E", "7E0 017E", "7E01G07E"}) {
        QByteArray buf("stale");
        EXPECT_THROW(SendTransFormatBuf(QString::fromLatin1(frame), buf), ConvertError) << frame;
        EXPECT_TRUE(buf.isEmpty()) << frame;
    }
}

TEST(FrameCodec, ReceiveTransFormat) {
    const TextCase cases[] = {
        {"7E015E7D5E5D7E", "7E017E5E7E"},
        {"5E01", "01"}, // 5E before any other byte is dropped
        {"015E", "01"}, // 5E as the very last byte gives nothing
        {"5E", ""},
        {"", ""},
        {"5E5E5D", "5E5D"}, // 5E 5E gives 5E; the following 5D stands alone
        {"7E03015E7D000000050100800102FFA58A7E", "7E03017E000000050100800102FFA58A7E"},
        {"7E030101000000050C01800102FF165E5D7E", "7E030101000000050C01800102FF165E7E"},
        {"7E01 \r\n", "7E01"}, // blanks at the end are discarded
        {"7E015E \r\n7D7E", "7E017E7E"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Str(ReceiveTransFormat(QString::fromLatin1(c.input))), c.expected) << c.input;
}

TEST(FrameCodec, HexDelLeft0) {
    const TextCase cases[] = {
        {"000A0B", "A0B"}, {"0000", "0"}, {"", "0"}, {"10", "10"}, {"0001 \t", "1"}, {"7E", "7E"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Str(HexDelLeft0(QString::fromLatin1(c.input))), c.expected) << c.input;
}

TEST(FrameCodec, BuildFramePutsCrcLowByteFirst) {
    const TextCase cases[] = {
        {"030101000000050100800102FF", "7E030101000000050100800102FF04BA7E"},
        {"03017E000000050100800102FF", "7E03017E000000050100800102FFA58A7E"},
        {"030101000000050200800102FF04010100", "7E030101000000050200800102FF04010100853A7E"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Str(BuildFrame(QString::fromLatin1(c.input))), c.expected) << c.input;
}

TEST(FrameCodec, CheckFrame) {
    const struct {
        const char *frame;
        bool valid;
    } cases[] = {
        {"7E030101000000050100800102FF04BA7E", true},
        {"7E030101000000050100800102FFBA047E", false}, // CRC bytes swapped
        {"7E030101000000050100800102FE04BA7E", false}, // content changed
        {"7E03010100000005E900800102FF7E3C7E", true},
        {"7E030101000000050C01800102FF165E7E", true},
        {"7E00007E", true}, // empty content, CRC 0000
        {"7E007E", false},
        {"", false},
        {"7E", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(CheckFrame(QString::fromLatin1(c.frame)), c.valid) << c.frame;
}

TEST(FrameCodec, EscapedCrcBytesSurviveTheRoundTrip) {
    // Contents whose CRC holds 0x7E or 0x5E in either byte.
    for (const char *content : {"03010100000005E900800102FF", "030101000000056900800102FF",
                                "030101000000050C01800102FF", "030101000000050F02800102FF"}) {
        const QString frame = BuildFrame(QString::fromLatin1(content));
        QByteArray buf;
        const QString escaped = SendTransFormatBuf(frame, buf);
        // Only the two flags may be bare 0x7E bytes on the wire.
        EXPECT_EQ(buf.count(char(0x7E)), 2) << content;
        EXPECT_EQ(BytesToHex(buf), escaped);
        const QString received = ReceiveTransFormat(escaped);
        EXPECT_EQ(received, frame) << content;
        EXPECT_TRUE(CheckFrame(received)) << content;
    }
}

TEST(FrameCodec, BytesToHex) {
    EXPECT_EQ(Str(BytesToHex(QByteArray::fromHex("007EAB5Eff10"))), "007EAB5EFF10");
    EXPECT_EQ(Str(BytesToHex(QByteArray())), "");
}

} // namespace
