// The typed frame: decoding and encoding bytes, faults, heartbeats and the
// frames the server builds itself. Expected bytes come from hand-worked
// examples; the builders are also held against the hex text composition the
// equipment link has always used for the same frames.
#include "Frame.h"
#include "FrameCodec.h"
#include "HexText.h"
#include "ReceivedFrame.h"
#include "ValueConversion.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

QByteArray Bytes(const char *hex) {
    QByteArray digits(hex);
    digits.replace(' ', QByteArray());
    return QByteArray::fromHex(digits);
}

std::string HexOf(QByteArrayView b) {
    return BytesToHex(b).toStdString();
}

// A heartbeat's content (bytes 1 .. N-4): station, equipment number, serial,
// flags 80 01 EE FF, code item (27 bytes, code 0x0022) and type item.
QByteArray HeartbeatContent(const QByteArray &code, quint32 station, quint8 num, quint8 type,
                            quint16 serial) {
    QByteArray c;
    c.append(char(0x03));
    c.append(char(0x01));
    for (int i = 0; i < 4; ++i)
        c.append(char((station >> (8 * i)) & 0xFF));
    c.append(char(num));
    c.append(char(serial & 0xFF));
    c.append(char(serial >> 8));
    c.append(Bytes("8001EEFF 1B2200"));
    c.append(code.leftJustified(24, '\0', true));
    c.append(Bytes("040300"));
    c.append(char(type));
    return c;
}

// A heartbeat read the way the equipment link read it from hex text: the
// flags and item heads compared as text, the fields cut at their positions.
struct TextBeat {
    QString SiteId, StationBytes, EquipmentCodeHex, EquipmentType, ResHex, Items;
    quint8 EquipmentNum = 0;
};

std::optional<TextBeat> TextHeartbeat(const TReceivedFrame &frame) {
    if (!frame.Record)
        return std::nullopt;
    const TOnePackRecord &r = *frame.Record;
    const QStringView data(r.ObjStr);
    if (Concat({r.NPEachFlag, r.ApplyFlag, r.OperateFlag, r.ResponseFlag}) != u"8001EEFF" ||
        !data.startsWith(u"1B2200") || CopyText(data, 55, 6) != u"040300")
        return std::nullopt;
    TextBeat h;
    h.SiteId = CopyText(r.NetDataStr, 1, 10).toString();
    h.StationBytes = CopyText(r.NetDataStr, 1, 8).toString();
    h.EquipmentNum = r.EquipmentNum;
    h.EquipmentCodeHex = CopyText(data, 7, 48).toString();
    h.EquipmentType = CopyText(data, 61, 2).toString();
    h.ResHex = r.ResHex;
    h.Items = CopyText(data, 1, 62).toString();
    return h;
}

// The wire form of a content text through the text codec.
QByteArray TextWire(const QString &content) {
    QByteArray buf;
    SendTransFormatBuf(BuildFrame(content), buf);
    return buf;
}

struct GoodCase {
    const char *name;
    const char *wire;
    TFrame frame;
};

TFrame Fields(quint32 site, quint8 num, quint16 serial, quint8 np, quint8 op, quint8 resp,
              const char *data) {
    TFrame f;
    f.SiteNum = site;
    f.EquipmentNum = num;
    f.SerialId = serial;
    f.NPEachFlag = np;
    f.OperateFlag = op;
    f.ResponseFlag = resp;
    f.Data = Bytes(data);
    return f;
}

TEST(Frame, DecodesGoodFrames) {
    const GoodCase cases[] = {
        {"smallest", "7E 03 01 01000000 05 0100 80 01 02 FF 04BA 7E",
         Fields(1, 5, 1, 0x80, 0x02, 0xFF, "")},
        {"escaped station", "7E 03 01 5E7D000000 05 0100 80 01 02 FF A58A 7E",
         Fields(0x7E, 5, 1, 0x80, 0x02, 0xFF, "")},
        {"one item", "7E 03 01 01000000 05 0200 80 01 02 FF 04010100 853A 7E",
         Fields(1, 5, 2, 0x80, 0x02, 0xFF, "04010100")},
        {"check code low byte 7E", "7E 03 01 01000000 05 E900 80 01 02 FF 5E7D3C 7E",
         Fields(1, 5, 0xE9, 0x80, 0x02, 0xFF, "")},
        {"check code high byte 5E", "7E 03 01 01000000 05 0C01 80 01 02 FF 165E5D 7E",
         Fields(1, 5, 0x10C, 0x80, 0x02, 0xFF, "")},
        {"report serial and station", "7E 03 01 34120000 07 0180 80 01 01 FF 04 0100 01 5E5DAF 7E",
         Fields(0x1234, 7, 0x8001, 0x80, 0x01, 0xFF, "04010001")},
    };
    for (const GoodCase &c : cases) {
        SCOPED_TRACE(c.name);
        const QByteArray wire = Bytes(c.wire);
        const TDecodedFrame d = TFrame::Decode(wire);
        ASSERT_EQ(d.Fault, TFrameFault::None);
        EXPECT_TRUE(d.EscapesOk);
        EXPECT_EQ(d.Frame, c.frame);
        // What the text codec makes of the same bytes.
        const QString truly = ReceiveTransFormat(BytesToHex(wire));
        EXPECT_EQ(BytesToHex(d.Plain), truly);
        EXPECT_EQ(d.CheckOk, CheckFrame(truly));
        // Encoding gives the bytes back.
        EXPECT_EQ(HexOf(c.frame.Encode()), HexOf(wire));
        EXPECT_EQ(HexOf(c.frame.Plain()), HexOf(d.Plain));
    }
}

TEST(Frame, CheckCodeTableHoldsForEveryGoodCase) {
    // Valid check codes for the hand-worked contents above.
    EXPECT_EQ(Crc16(Bytes("030101000000050100800102FF")), 0xBA04);
    EXPECT_EQ(Crc16(Bytes("03017E000000050100800102FF")), 0x8AA5);
    EXPECT_EQ(Crc16(Bytes("313233343536373839")), 0x31C3);
    EXPECT_EQ(Crc16({}), 0x0000);
}

struct FaultCase {
    const char *name;
    QByteArray wire;
    TFrameFault fault;
    bool checkOk;
    bool escapesOk;
};

TEST(Frame, ReportsFaults) {
    const FaultCase cases[] = {
        {"check code bytes swapped", Bytes("7E030101000000050100800102FFBA047E"), TFrameFault::None,
         false, true},
        {"content changed", Bytes("7E030101000000050100800102FE04BA7E"), TFrameFault::None, false,
         true},
        // 5E before any other byte stands for that byte, as it always has.
        {"stray escape", Bytes("7E03015E01000000050100800102FF04BA7E"), TFrameFault::None, true,
         false},
        {"escape before the end flag", Bytes("7E030101000000050100800102FF04BA5E7E"),
         TFrameFault::None, true, false},
        {"escape as the last byte", Bytes("7E030101000000050100800102FF04BA7E5E"),
         TFrameFault::None, true, false},
        {"sixteen bytes", Bytes("7E0301010000000501008001020004BA7E").left(16),
         TFrameFault::NoFlags, false, true},
        {"truncated to sixteen", Bytes("7E0301010000000501008001 02 1B C0 7E"),
         TFrameFault::Truncated, false, true},
        {"escapes leave too few bytes", Bytes("7E 5E7D 5E7D 5E7D 5E7D 5E7D 5E7D 5E7D 5E7D 7E"),
         TFrameFault::Truncated, false, true},
        {"no start flag", Bytes("AA030101000000050100800102FF04BA7E"), TFrameFault::NoFlags, true,
         true},
        {"no end flag", Bytes("7E030101000000050100800102FF04BAAA"), TFrameFault::NoFlags, true,
         true},
        {"empty", QByteArray(), TFrameFault::NoFlags, false, true},
        {"oversize", QByteArray(TFrame::MaxWireBytes + 1, char(0x7E)), TFrameFault::Oversize, false,
         false},
    };
    for (const FaultCase &c : cases) {
        SCOPED_TRACE(c.name);
        const TDecodedFrame d = TFrame::Decode(c.wire);
        EXPECT_EQ(d.Fault, c.fault);
        EXPECT_EQ(d.CheckOk, c.checkOk);
        EXPECT_EQ(d.EscapesOk, c.escapesOk);
        EXPECT_FALSE(d.Ok());
        if (c.fault != TFrameFault::Oversize) {
            // Unescaping and the check agree with the text codec whatever the fault.
            const QString truly = ReceiveTransFormat(BytesToHex(c.wire));
            EXPECT_EQ(BytesToHex(d.Plain), truly);
            EXPECT_EQ(d.CheckOk, CheckFrame(truly));
        }
    }
    // The largest frame Decode takes is read.
    QByteArray big(TFrame::MaxWireBytes, char(0x11));
    big.front() = char(0x7E);
    big.back() = char(0x7E);
    EXPECT_EQ(TFrame::Decode(big).Fault, TFrameFault::None);
}

TEST(Frame, StrayEscapeIsReadAsTheByteAfterIt) {
    const TDecodedFrame d = TFrame::Decode(Bytes("7E03015E01000000050100800102FF04BA7E"));
    ASSERT_EQ(d.Fault, TFrameFault::None);
    EXPECT_EQ(d.Frame.SiteNum, 1u);
    EXPECT_TRUE(d.CheckOk);
}

TEST(Frame, EncodeEscapesEveryByteBetweenTheFlags) {
    TFrame f = Fields(0x5E7E7E5E, 0x7E, 0x5E7E, 0x80, 0x02, 0xFF, "06 0101 7E5E7E");
    const QByteArray wire = f.Encode();
    EXPECT_EQ(wire.count(char(0x7E)), 2);
    EXPECT_EQ(wire, EscapeFrame(f.Plain()));
    const TDecodedFrame d = TFrame::Decode(wire);
    ASSERT_TRUE(d.Ok());
    EXPECT_EQ(d.Frame, f);
    EXPECT_EQ(wire, TextWire(BytesToHex(f.Plain()).mid(2, 2 * (f.Plain().size() - 4))));
}

TEST(Frame, ItemsAreReadFromTheirLengthByte) {
    const QByteArray data = Bytes("05 0100 0A0B 04 2200 01 06 0300 0A");
    const auto first = FrameItemAt(data, 0);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->Length, 5);
    EXPECT_EQ(first->Code, 0x0001);
    EXPECT_EQ(HexOf(first->Value), "0A0B");
    const auto second = FrameItemAt(data, 5);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->Code, 0x0022);
    EXPECT_EQ(HexOf(second->Value), "01");
    const auto shortOne = FrameItemAt(data, 9); // says 6 bytes, has 4
    ASSERT_TRUE(shortOne);
    EXPECT_EQ(HexOf(shortOne->Value), "0A");
    EXPECT_FALSE(FrameItemAt(data, 11));
    EXPECT_FALSE(FrameItemAt(data, -1));
}

struct BeatCase {
    const char *name;
    QByteArray code;
    quint32 station;
    quint8 num;
    quint8 type;
    quint16 serial;
};

const BeatCase BeatCases[] = {
    {"plain", "HB-0001", 0x0101, 1, 3, 1},
    {"escaped station and serial", "UNIT~^", 0x7E5E0001, 0x7E, 0x5E, 0x5E7E},
    {"blanks around the code", "  CODE\t7 ", 0x10000000, 0, 0x22, 0x8000},
    {"code of 24 characters", "ABCDEFGHIJKLMNOPQRSTUVWX", 0, 255, 0xFF, 0xFFFF},
};

TEST(Frame, ReadsHeartbeatsAsTheTextPathDoes) {
    for (const BeatCase &c : BeatCases) {
        SCOPED_TRACE(c.name);
        const QByteArray content = HeartbeatContent(c.code, c.station, c.num, c.type, c.serial);
        const QByteArray wire = TextWire(BytesToHex(content));
        const TDecodedFrame d = TFrame::Decode(wire);
        ASSERT_TRUE(d.Ok());
        const auto beat = THeartbeat::Of(d.Frame);
        ASSERT_TRUE(beat);
        const TReceivedFrame text = ResolveReceivedFrame(wire);
        const auto textBeat = TextHeartbeat(text);
        ASSERT_TRUE(textBeat);
        EXPECT_EQ(beat->EquipmentCode(),
                  FromAscToNormal(QStringLiteral("0022"), textBeat->EquipmentCodeHex, 0x21,
                                  QStringLiteral("00")));
        EXPECT_EQ(beat->EquipmentTypeText(), textBeat->EquipmentType);
        EXPECT_EQ(SiteNumText(d.Frame.SiteNum),
                  HexDelLeft0(ReverseHexBytes(textBeat->StationBytes)));
        EXPECT_EQ(d.Frame.EquipmentNum, textBeat->EquipmentNum);
    }
}

TEST(Frame, HeartbeatNeedsItsFlagsAndItems) {
    const QByteArray good = HeartbeatContent("HB", 1, 1, 3, 1);
    struct {
        const char *name;
        qsizetype at;
        char value;
    } breaks[] = {{"NP flag", 9, 0x00},      {"apply flag", 10, 0x02},  {"command", 11, 0x02},
                  {"response", 12, 0x00},    {"code length", 13, 0x1C}, {"code", 14, 0x23},
                  {"type length", 40, 0x05}, {"type code", 41, 0x04}};
    ASSERT_TRUE(THeartbeat::Of(TFrame::Decode(TextWire(BytesToHex(good))).Frame));
    for (const auto &b : breaks) {
        SCOPED_TRACE(b.name);
        QByteArray content = good;
        content[b.at] = b.value;
        const TDecodedFrame d = TFrame::Decode(TextWire(BytesToHex(content)));
        ASSERT_EQ(d.Fault, TFrameFault::None);
        EXPECT_FALSE(THeartbeat::Of(d.Frame));
        EXPECT_FALSE(TextHeartbeat(ResolveReceivedFrame(TextWire(BytesToHex(content)))));
    }
    // Without its type byte it is still a heartbeat, of no type.
    const TDecodedFrame cut = TFrame::Decode(TextWire(BytesToHex(good.chopped(1))));
    const auto beat = THeartbeat::Of(cut.Frame);
    ASSERT_TRUE(beat);
    EXPECT_FALSE(beat->EquipmentType);
    EXPECT_EQ(beat->EquipmentTypeText(), QString());
}

// The builders give exactly the bytes of the hex compositions the equipment
// link has used for these frames.
TEST(Frame, HeartbeatReplyMatchesTheTextComposition) {
    for (const BeatCase &c : BeatCases) {
        SCOPED_TRACE(c.name);
        const QByteArray wire =
            TextWire(BytesToHex(HeartbeatContent(c.code, c.station, c.num, c.type, c.serial)));
        const TDecodedFrame d = TFrame::Decode(wire);
        const auto beat = TextHeartbeat(ResolveReceivedFrame(wire));
        ASSERT_TRUE(beat);
        const QByteArray today = TextWire(Concat({beat->ResHex, u"0001EE00", beat->Items}));
        EXPECT_EQ(HexOf(frames::HeartbeatReply(d.Frame).Encode()), HexOf(today));
    }
}

TEST(Frame, StationNumberChangeMatchesTheTextComposition) {
    for (const char *time : {"09143025", "31235959", "01000000", "10101010"}) {
        const QString newStation = FromNormalToASC(
            QStringLiteral("0101"), QString::fromLatin1(time), 0x10, 4, QStringLiteral("00"));
        const quint32 number = QString::fromLatin1(time).toUInt(nullptr, 16);
        EXPECT_EQ(SiteNumText(number), HexDelLeft0(ReverseHexBytes(newStation))) << time;
        for (const BeatCase &c : BeatCases) {
            SCOPED_TRACE(c.name);
            const QByteArray wire =
                TextWire(BytesToHex(HeartbeatContent(c.code, c.station, c.num, c.type, c.serial)));
            const auto beat = TextHeartbeat(ResolveReceivedFrame(wire));
            ASSERT_TRUE(beat);
            const QByteArray today = TextWire(
                Concat({CopyText(beat->ResHex, 1, 14), u"0200800103FF070101", newStation}));
            EXPECT_EQ(
                HexOf(frames::StationNumberChange(TFrame::Decode(wire).Frame, number).Encode()),
                HexOf(today));
        }
    }
}

struct UnitCase {
    quint32 station;
    quint8 num;
    quint16 serial;
};

const UnitCase Units[] = {
    {0x0101, 1, 0x8034}, {0x7E, 0x5E, 0x807E}, {0x5E7E5E7E, 0x7E, 0x8F5E}, {0, 0, 1}};

// The unit's part of an outgoing frame as the send side writes it: the
// agreement and bearer types, then the SiteId of the unit's identity.
QString UnitHead(const UnitCase &u) {
    return QStringLiteral("0301") + ReverseHexBytes(IntToHexText(qint32(u.station), 8)) +
           IntToHexText(u.num, 2);
}

TEST(Frame, ReportAcknowledgementMatchesTheTextComposition) {
    for (const UnitCase &u : Units) {
        // The acknowledgement's Dictate is the report's serial bytes as they came.
        const QString serialBytes = ReverseHexBytes(IntToHexText(u.serial, 4));
        const QByteArray today = TextWire(UnitHead(u) + serialBytes + QLatin1String("00010100"));
        EXPECT_EQ(HexOf(frames::ReportAcknowledgement(u.station, u.num, u.serial).Encode()),
                  HexOf(today))
            << u.station;
    }
}

TEST(Frame, ParamListRequestMatchesTheTextComposition) {
    for (const UnitCase &u : Units) {
        const std::pair<int, int> pages[] = {{3, 2}, {0x7E, 0x5E}, {1, 1}};
        for (const auto &[count, page] : pages) {
            const QString serialHex = IntToHexText(u.serial, 4);
            const QString dictate =
                QLatin1String("050900") + IntToHexText(count, 2) + IntToHexText(page, 2);
            const QByteArray today = TextWire(UnitHead(u) + serialHex.mid(2, 2) +
                                              serialHex.left(2) + QLatin1String("8001") +
                                              QLatin1String("02") + QLatin1String("FF") + dictate);
            EXPECT_EQ(HexOf(frames::ParamListRequest(u.station, u.num, u.serial, quint8(count),
                                                     quint8(page))
                                .Encode()),
                      HexOf(today))
                << u.station << " " << count << " " << page;
        }
    }
}

} // namespace
