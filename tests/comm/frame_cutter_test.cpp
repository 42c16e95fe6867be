// Cutting frames out of an equipment connection's byte stream.
#include "EquipmentFrames.h"
#include "FrameCutter.h"

#include <QStringList>

#include <gtest/gtest.h>

using eqtest::Bytes;
using eqtest::Hex;

namespace {

// 17-byte and 18-byte frames without a flag inside.
const QString F17 = QStringLiteral("7E 0102030405060708090A0B0C0D0E0F 7E");
const QString F18 = QStringLiteral("7E 1112131415161718191A1B1C1D1E1F20 7E");
const QString Body15 = QStringLiteral("2122232425262728292A2B2C2D2E2F");

struct CutCase {
    const char *name;
    QStringList chunks;  // appended one after the other, cut after each
    QStringList frames;  // frames handed out, in order
    qsizetype remaining; // bytes left in the buffer
};

QString Plain(const QString &hex) {
    QString s = hex;
    s.remove(QLatin1Char(' '));
    return s;
}

class FrameCutterTable : public ::testing::TestWithParam<CutCase> {};

TEST_P(FrameCutterTable, CutsAsTheStreamRuleSays) {
    const CutCase &c = GetParam();
    TFrameCutter cutter;
    QStringList got;
    for (const QString &chunk : c.chunks) {
        cutter.Append(Bytes(chunk));
        cutter.Cut([&](QByteArrayView f) { got.append(Hex(f.toByteArray())); });
    }
    QStringList want;
    for (const QString &f : c.frames)
        want.append(Plain(f));
    EXPECT_EQ(got, want);
    EXPECT_EQ(cutter.Size(), c.remaining);
}

INSTANTIATE_TEST_SUITE_P(
    Stream, FrameCutterTable,
    ::testing::Values(
        CutCase{"TwoFramesInOneRead", {F17 + F18}, {F17, F18}, 0},
        CutCase{"FrameSplitOverTwoReads", {Plain(F17).left(16), Plain(F17).mid(16)}, {F17}, 0},
        CutCase{"FrameSplitAtItsEndFlag", {Plain(F17).chopped(2), "7E"}, {F17}, 0},
        CutCase{"BytesBeforeTheFirstFlagAreDropped", {"AABBCC" + F17}, {F17}, 0},
        CutCase{"BytesWithoutFlagStay", {"AABBCC"}, {}, 3},
        CutCase{"IncompleteFrameStays", {F17 + "7E0102"}, {F17}, 3},
        CutCase{"GarbageBeforeAnIncompleteFrameStays", {"AABB7E0102"}, {}, 5},
        CutCase{"AdjacentFlagsCostNoFrame", {"7E7E" + F17}, {F17}, 0},
        CutCase{"ThreeByteFrameOpensTheNext", {"7EAA" + F17}, {F17}, 0},
        CutCase{"FourByteFrameClosingFlagOpensTheNext",
                {"7EAABB7E" + Body15 + "7E"},
                {"7E" + Body15 + "7E"},
                0},
        CutCase{"FiveByteFrameDroppedWithBothFlags", {"7EAABBCC7E" + F17}, {F17}, 0},
        CutCase{"FiveByteFrameDoesNotLendItsFlag", {"7EAABBCC7E" + Body15 + "7E"}, {}, 16},
        CutCase{"SixteenByteFrameDropped", {"7E 0102030405060708090A0B0C0D0E 7E" + F18}, {F18}, 0},
        CutCase{"ByteByByte",
                [] {
                    QStringList bytes;
                    const QString all = Plain(F17 + "AA" + F18);
                    for (qsizetype i = 0; i < all.size(); i += 2)
                        bytes.append(all.mid(i, 2));
                    return bytes;
                }(),
                {F17, F18},
                0}),
    [](const ::testing::TestParamInfo<CutCase> &info) { return std::string(info.param.name); });

TEST(FrameCutter, ClearForgetsAnIncompleteFrame) {
    TFrameCutter cutter;
    QStringList got;
    cutter.Append(Bytes(QStringLiteral("7E0102")));
    cutter.Cut([&](QByteArrayView f) { got.append(Hex(f.toByteArray())); });
    cutter.Clear();
    EXPECT_EQ(cutter.Size(), 0);
    // Without the clear the old start flag would make this one 20 bytes long.
    cutter.Append(Bytes(F17));
    cutter.Cut([&](QByteArrayView f) { got.append(Hex(f.toByteArray())); });
    EXPECT_EQ(got, QStringList{Plain(F17)});
}

TEST(FrameCutter, ExceptionFromTheHandlerLeavesAUsableBuffer) {
    TFrameCutter cutter;
    cutter.Append(Bytes(F17 + F18));
    EXPECT_THROW(cutter.Cut([](QByteArrayView) { throw std::runtime_error("bad frame"); }),
                 std::runtime_error);
    cutter.Clear();
    QStringList got;
    cutter.Append(Bytes(F18));
    cutter.Cut([&](QByteArrayView f) { got.append(Hex(f.toByteArray())); });
    EXPECT_EQ(got, QStringList{Plain(F18)});
}

} // namespace
