// The simulated unit as the server sees it: its frames pass the server's
// checks, it answers queries, sets, parameter-list pages and station-number
// changes with the right serial, flags and items, and nothing the server
// could send makes it fail.
#include "FrameCodec.h"
#include "PackRecord.h"
#include "SimUnit.h"
#include "ValueConversion.h"

#include <gtest/gtest.h>

#include <random>

namespace {

std::shared_ptr<const TSimParamTable> BuiltIn() {
    static const auto table = std::make_shared<const TSimParamTable>(TSimParamTable::BuiltIn());
    return table;
}

TSimUnit MakeUnit(quint32 station = 1, quint8 equipmentNum = 5, int pages = 1) {
    return TSimUnit(TSimIdentity{QStringLiteral("SIM1"), 0x03, station, equipmentNum}, BuiltIn(),
                    pages);
}

// A frame as the server writes it: content framed and escaped by the codec.
QByteArray Wire(const QString &content) {
    QByteArray bytes;
    SendTransFormatBuf(BuildFrame(content), bytes);
    return bytes;
}

// The one event a complete frame gives.
TSimEvent FeedOne(TSimUnit &unit, const QByteArray &bytes) {
    auto events = unit.Feed(bytes);
    EXPECT_EQ(events.size(), 1u);
    return events.empty() ? TSimEvent{} : events.front();
}

TEST(SimUnit, HeartbeatHasTheLayoutTheServerRecognises) {
    TSimUnit unit = MakeUnit(0x7E, 5); // station byte 0x7E must be escaped
    const TSimOutFrame hb = unit.MakeHeartbeat();
    EXPECT_TRUE(hb.bytes.contains(QByteArray::fromHex("5E7D")));
    EXPECT_EQ(hb.bytes.count(char(0x7E)), 2);

    const QString frame = ReceiveTransFormat(BytesToHex(hb.bytes));
    EXPECT_EQ(frame, hb.frame);
    ASSERT_EQ(frame.size(), 96); // 48 bytes
    EXPECT_TRUE(CheckFrame(frame));
    EXPECT_EQ(frame.mid(20, 14), QStringLiteral("8001EEFF1B2200"));
    EXPECT_EQ(frame.mid(82, 6), QStringLiteral("040300"));
    EXPECT_EQ(frame.mid(6, 10), QStringLiteral("7E00000005")); // SiteId
    EXPECT_EQ(frame.mid(88, 2), QStringLiteral("03"));
    EXPECT_EQ(FromAscToNormal(QStringLiteral("0022"), frame.mid(34, 48), 33, QStringLiteral("00")),
              QStringLiteral("SIM1"));
    EXPECT_GE(hb.serial, 0x8000);
    EXPECT_LE(hb.serial, 0x8FFF);
    EXPECT_EQ(ResolveOnePackRecord(frame).SerialId, hb.serial);
    EXPECT_NE(unit.MakeHeartbeat().serial, hb.serial);
}

TEST(SimUnit, RecognisesTheServersHeartbeatReply) {
    TSimUnit unit = MakeUnit();
    const TSimOutFrame hb = unit.MakeHeartbeat();
    // Reply: bytes 1..9 of the heartbeat, 00 01 EE 00, bytes 14..44.
    const QString reply = hb.frame.mid(2, 18) + QStringLiteral("0001EE00") + hb.frame.mid(28, 62);
    const TSimEvent event = FeedOne(unit, Wire(reply));
    EXPECT_EQ(event.kind, TSimEvent::Kind::HeartbeatReply);
    EXPECT_EQ(event.serial, hb.serial);
    EXPECT_FALSE(event.reply);
}

TEST(SimUnit, AnswersAQueryWithSerialFlagsAndItems) {
    TSimUnit unit = MakeUnit(1, 5);
    // A query for parameter 0x0101 with serial 2, exactly as the server frames it.
    const TSimEvent event =
        FeedOne(unit, QByteArray::fromHex("7E030101000000050200800102FF04010100853A7E"));
    ASSERT_EQ(event.kind, TSimEvent::Kind::Query);
    EXPECT_EQ(event.serial, 2);
    ASSERT_TRUE(event.reply);
    // Same address and serial, NP 00, apply 01, command 02, response 00, and
    // the station number as a 7-byte item.
    EXPECT_EQ(event.reply->frame,
              BuildFrame(QStringLiteral("0301010000000502000001020007010101000000")));
    EXPECT_EQ(ReceiveTransFormat(BytesToHex(event.reply->bytes)), event.reply->frame);
}

TEST(SimUnit, AnswersSeveralItemsAndMarksUnknownCodes) {
    TSimUnit unit = MakeUnit(1, 5);
    // 0x0501 temperature, 0x7777 unknown, 0x0102 equipment number.
    const QString query = QStringLiteral("030101000000050900800102FF") +
                          QStringLiteral("04010500") + QStringLiteral("04777700") +
                          QStringLiteral("04020100");
    const TSimEvent event = FeedOne(unit, Wire(query));
    ASSERT_EQ(event.kind, TSimEvent::Kind::Query);
    ASSERT_TRUE(event.reply);
    const TOnePackRecord r = ResolveOnePackRecord(event.reply->frame);
    EXPECT_EQ(r.SerialId, 9);
    EXPECT_EQ(r.NPEachFlag, QStringLiteral("00"));
    EXPECT_EQ(r.OperateFlag, QStringLiteral("02"));
    EXPECT_EQ(r.ResponseFlag, QStringLiteral("01")); // partly executed
    EXPECT_EQ(r.ObjStr,
              QStringLiteral("04010519") + QStringLiteral("037777") + QStringLiteral("04020105"));
}

TEST(SimUnit, MalformedItemsGetALengthError) {
    TSimUnit unit = MakeUnit(1, 5);
    for (const char *items : {"00", "FF0101", "020101", "0401"}) {
        const TSimEvent event = FeedOne(
            unit, Wire(QStringLiteral("030101000000050300800102FF") + QLatin1String(items)));
        ASSERT_TRUE(event.reply) << items;
        const TOnePackRecord r = ResolveOnePackRecord(event.reply->frame);
        EXPECT_EQ(r.ResponseFlag, QStringLiteral("03")) << items;
        EXPECT_TRUE(r.ObjStr.isEmpty()) << items;
    }
}

TEST(SimUnit, PagesTheParameterList) {
    TSimUnit unit = MakeUnit(1, 5, 3);
    QString expected;
    for (const TSimParam &p : BuiltIn()->Params())
        expected += p.code.mid(2, 2) + p.code.left(2);

    QString collected;
    int count = 0;
    for (int page = 1; page <= 3; ++page) {
        // First page as a client may ask for it, the others as the server asks.
        const QString item = page == 1
                                 ? QStringLiteral("0509000001")
                                 : QStringLiteral("05090003") +
                                       QStringLiteral("%1").arg(page, 2, 10, QLatin1Char('0'));
        const TSimEvent event =
            FeedOne(unit, Wire(QStringLiteral("030101000000051000800102FF") + item));
        ASSERT_EQ(event.kind, TSimEvent::Kind::ParamListPage);
        ASSERT_TRUE(event.reply);
        const TOnePackRecord r = ResolveOnePackRecord(event.reply->frame);
        EXPECT_EQ(r.SerialId, 0x10);
        EXPECT_EQ(r.OperateFlag, QStringLiteral("02"));
        EXPECT_EQ(r.ResponseFlag, QStringLiteral("00"));
        const QString &body = r.ObjStr;
        EXPECT_EQ(body.mid(2, 4), QStringLiteral("0900"));
        count = body.mid(6, 2).toInt(nullptr, 16);
        EXPECT_EQ(body.mid(8, 2).toInt(nullptr, 16), page);
        EXPECT_EQ(body.left(2).toInt(nullptr, 16), body.size() / 2); // one item
        EXPECT_FALSE(body.mid(10).isEmpty());
        collected += body.mid(10);
    }
    EXPECT_EQ(count, 3);
    EXPECT_EQ(collected, expected);

    // A page past the last one comes back empty.
    const TSimEvent past =
        FeedOne(unit, Wire(QStringLiteral("030101000000051100800102FF0509000304")));
    ASSERT_TRUE(past.reply);
    EXPECT_EQ(ResolveOnePackRecord(past.reply->frame).ObjStr, QStringLiteral("0509000304"));
}

TEST(SimUnit, ObeysAStationNumberChange) {
    TSimUnit unit = MakeUnit(0x10001, 5);
    const TSimOutFrame hb = unit.MakeHeartbeat();
    // Bytes 1..7 of the heartbeat, the literal, the new station 0x09143025.
    const QString change =
        hb.frame.mid(2, 14) + QStringLiteral("0200800103FF070101") + QStringLiteral("25301409");
    const TSimEvent event = FeedOne(unit, Wire(change));
    ASSERT_EQ(event.kind, TSimEvent::Kind::StationChange);
    EXPECT_EQ(event.serial, 2);
    EXPECT_EQ(unit.Identity().station, 0x09143025u);
    ASSERT_TRUE(event.reply);
    const TOnePackRecord r = ResolveOnePackRecord(event.reply->frame);
    EXPECT_EQ(r.OperateFlag, QStringLiteral("03"));
    EXPECT_EQ(r.ResponseFlag, QStringLiteral("00"));
    EXPECT_EQ(r.ObjStr, QStringLiteral("07010125301409"));

    const TSimOutFrame next = unit.MakeHeartbeat();
    EXPECT_EQ(next.frame.mid(6, 10), QStringLiteral("2530140905"));
}

TEST(SimUnit, AppliesSettableValuesAndRefusesOthers) {
    TSimUnit unit = MakeUnit(1, 5);
    // 0x0403 downlink attenuation := 7; 0x0501 temperature is read-only;
    // 0x0402 with two bytes has the wrong length.
    const QString set = QStringLiteral("030101000000052000800103FF") + QStringLiteral("04030407") +
                        QStringLiteral("04010520") + QStringLiteral("0502040102");
    const TSimEvent event = FeedOne(unit, Wire(set));
    ASSERT_EQ(event.kind, TSimEvent::Kind::Set);
    ASSERT_TRUE(event.reply);
    const TOnePackRecord r = ResolveOnePackRecord(event.reply->frame);
    EXPECT_EQ(r.OperateFlag, QStringLiteral("03"));
    EXPECT_EQ(r.ResponseFlag, QStringLiteral("01"));
    EXPECT_EQ(r.ObjStr,
              QStringLiteral("04030407") + QStringLiteral("04010519") + QStringLiteral("0402040A"));
    EXPECT_EQ(unit.RawValue(QStringLiteral("0403")), QStringLiteral("07"));
    EXPECT_EQ(unit.RawValue(QStringLiteral("0501")), QStringLiteral("19"));
}

TEST(SimUnit, SendsAlarmReportsAndTakesTheirAcknowledgement) {
    TSimUnit unit = MakeUnit(1, 5);
    EXPECT_FALSE(unit.MakeAlarmReport(QStringLiteral("7777"), true));

    const auto report = unit.MakeAlarmReport(QStringLiteral("0301"), true);
    ASSERT_TRUE(report);
    EXPECT_TRUE(CheckFrame(ReceiveTransFormat(BytesToHex(report->bytes))));
    const TOnePackRecord r = ResolveOnePackRecord(report->frame);
    EXPECT_EQ(r.OperateFlag, QStringLiteral("01"));
    EXPECT_EQ(r.NPEachFlag, QStringLiteral("80"));
    EXPECT_EQ(r.ResponseFlag, QStringLiteral("FF"));
    EXPECT_GE(r.SerialId, 0x8000);
    EXPECT_LE(r.SerialId, 0x8FFF);
    EXPECT_EQ(r.ObjStr.mid(6, 2), QStringLiteral("01")); // report type: alarm
    EXPECT_EQ(r.ObjStr.mid(8), QStringLiteral("04010301"));
    EXPECT_EQ(unit.RawValue(QStringLiteral("0301")), QStringLiteral("01"));

    const auto normal = unit.MakeAlarmReport(QStringLiteral("0301"), false);
    ASSERT_TRUE(normal);
    EXPECT_EQ(ResolveOnePackRecord(normal->frame).ObjStr.mid(8), QStringLiteral("04010300"));

    // The acknowledgement: the report's serial bytes, then 00 01 01 00.
    const QString ack =
        report->frame.mid(2, 14) + report->frame.mid(16, 4) + QStringLiteral("00010100");
    const TSimEvent event = FeedOne(unit, Wire(ack));
    EXPECT_EQ(event.kind, TSimEvent::Kind::AlarmAck);
    EXPECT_EQ(event.serial, report->serial);
    EXPECT_FALSE(event.reply);
}

TEST(SimUnit, CutsFramesFromAnyPieces) {
    TSimUnit unit = MakeUnit(1, 5);
    const QByteArray query = QByteArray::fromHex("7E030101000000050200800102FF04010100853A7E");
    // Junk before, two frames back to back, the second split in two reads.
    QByteArray stream = QByteArray::fromHex("0102") + query + query;
    const auto first = unit.Feed(stream.left(stream.size() - 5));
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].kind, TSimEvent::Kind::Query);
    const auto second = unit.Feed(stream.right(5));
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].kind, TSimEvent::Kind::Query);
    EXPECT_EQ(unit.Buffered(), 0);
}

TEST(SimUnit, RejectsFramesThatFailTheChecks) {
    TSimUnit unit = MakeUnit(1, 5);
    // Wrong check code: dropped without an answer.
    TSimEvent bad =
        FeedOne(unit, QByteArray::fromHex("7E030101000000050200800102FF04010100853B7E"));
    EXPECT_EQ(bad.kind, TSimEvent::Kind::Rejected);
    EXPECT_FALSE(bad.reply);
    // Too short to be a frame.
    bad = FeedOne(unit, QByteArray::fromHex("7E0301010000007E"));
    EXPECT_EQ(bad.kind, TSimEvent::Kind::Rejected);
    // A reply (NP 00) to a query is nothing a unit answers.
    bad = FeedOne(unit, Wire(QStringLiteral("030101000000050200000102000401010A")));
    EXPECT_EQ(bad.kind, TSimEvent::Kind::Rejected);
    EXPECT_FALSE(bad.reply);
    // An unknown command is answered as such.
    const TSimEvent unknown = FeedOne(unit, Wire(QStringLiteral("030101000000050200800110FF")));
    EXPECT_EQ(unknown.kind, TSimEvent::Kind::Unsupported);
    ASSERT_TRUE(unknown.reply);
    EXPECT_EQ(ResolveOnePackRecord(unknown.reply->frame).ResponseFlag, QStringLiteral("02"));
}

TEST(SimUnit, SurvivesArbitraryInput) {
    TSimUnit unit = MakeUnit(1, 5, 2);
    std::mt19937 random(12345);
    const QByteArray seeds[] = {
        QByteArray::fromHex("7E030101000000050200800102FF04010100853A7E"),
        Wire(QStringLiteral("030101000000051000800102FF0509000301")),
        Wire(QStringLiteral("030101000000052000800103FF04030407")),
        Wire(QStringLiteral("0301010000000502008001"
                            "03FF070101"
                            "25301409")),
    };
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 20000; ++round) {
        QByteArray chunk;
        if (round % 3 == 0) {
            // A sound frame with a few bytes changed, cut at a random place.
            chunk = seeds[round % std::size(seeds)];
            for (int k = byte(random) % 4; k > 0; --k)
                chunk[byte(random) % chunk.size()] = char(byte(random));
            chunk.truncate(1 + byte(random) % chunk.size());
        } else {
            const int n = byte(random);
            for (int k = 0; k < n; ++k) {
                const int pick = byte(random);
                chunk.append(char(pick < 40 ? 0x7E : pick < 70 ? 0x5E : byte(random)));
            }
        }
        for (const TSimEvent &event : unit.Feed(chunk)) {
            if (event.reply) {
                EXPECT_TRUE(CheckFrame(event.reply->frame));
                EXPECT_EQ(ReceiveTransFormat(BytesToHex(event.reply->bytes)), event.reply->frame);
            }
        }
        ASSERT_LE(unit.Buffered(), TSimUnit::kMaxBuffer);
    }
    // A flood with no flag at all is not kept.
    unit.Feed(QByteArray(200000, 'x'));
    EXPECT_EQ(unit.Buffered(), 0);
    // An opening flag followed by a flood is capped.
    unit.Feed(QByteArray(1, char(0x7E)) + QByteArray(200000, 'x'));
    EXPECT_LE(unit.Buffered(), TSimUnit::kMaxBuffer);
}

} // namespace
