// The client protocol without sockets: how messages are cut from a
// connection's stream, how request bodies and queue entries are split, and
// the channel worker's hand-over to the equipment link.
#include "ChannelComm.h"
#include "ClientProtocol.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace {

struct Cut {
    std::string key;
    std::string body;
    bool operator==(const Cut &) const = default;
};

void PrintTo(const Cut &c, std::ostream *os) {
    *os << "[" << c.key << "|" << c.body << "]";
}

struct FramingCase {
    const char *name;
    std::vector<QString> reads; // one entry per read event
    std::vector<Cut> messages;  // every message cut, in order
    QString pending;            // what the buffer keeps afterwards
};

void PrintTo(const FramingCase &c, std::ostream *os) {
    *os << c.name;
}

std::vector<Cut> Feed(TClientPackBuffer &buffer, const QString &read) {
    std::vector<Cut> out;
    buffer.Append(read);
    while (auto m = buffer.Take())
        out.push_back({m->KeyFlag.toStdString(), m->Body.toStdString()});
    buffer.Compact();
    return out;
}

class Framing : public ::testing::TestWithParam<FramingCase> {};

TEST_P(Framing, CutsMessagesAsTheyArrive) {
    const FramingCase &c = GetParam();
    TClientPackBuffer buffer;
    std::vector<Cut> all;
    for (const QString &read : c.reads) {
        const auto cut = Feed(buffer, read);
        all.insert(all.end(), cut.begin(), cut.end());
    }
    EXPECT_EQ(all, c.messages);
    EXPECT_EQ(buffer.Pending().toString(), c.pending);
}

INSTANTIATE_TEST_SUITE_P(
    ClientStream, Framing,
    ::testing::Values(
        FramingCase{"one", {"*0000alice*"}, {{"00", "00alice"}}, ""},
        FramingCase{"two_in_one_read",
                    {"*0000alice*  *0200bob*"},
                    {{"00", "00alice"}, {"02", "00bob"}},
                    ""},
        FramingCase{"split_over_two_reads", {"*0000al", "ice*"}, {{"00", "00alice"}}, ""},
        FramingCase{"incomplete_kept", {"*0000al"}, {}, "*0000al"},
        FramingCase{"empty_message", {"**"}, {}, "*"}, FramingCase{"too_short", {"*0*"}, {}, "*"},
        FramingCase{"short_then_real", {"*0**0000alice*"}, {{"00", "00alice"}}, ""},
        FramingCase{"unknown_code_still_cut", {"*99xyz*"}, {{"99", "xyz"}}, ""},
        FramingCase{"text_before_first_asterisk", {"junk*0000alice*"}, {{"00", "00alice"}}, ""},
        // The closing "*" of the first is not the opening one of the second:
        // the second stays behind and is lost with the next message.
        FramingCase{"shared_asterisk", {"*0000alice*0200bob*"}, {{"00", "00alice"}}, "0200bob*"},
        FramingCase{"shared_asterisk_rest_lost",
                    {"*0000alice*0200bob*", "*03carol%c@x*"},
                    {{"00", "00alice"}, {"03", "carol%c@x"}},
                    ""},
        FramingCase{
            "blanks_around_code_and_body", {"* \t0000alice \r\n*"}, {{"00", "00alice"}}, ""},
        FramingCase{"control_characters_trimmed",
                    {QStringLiteral("*\x01\x02"
                                    "03bob%b@x\x1f*")},
                    {{"03", "bob%b@x"}},
                    ""},
        FramingCase{"code_only", {"*00 *"}, {{"00", ""}}, ""},
        // A read that ends right after a blank keeps the blank: the name is
        // the same however the stream was cut.
        FramingCase{"split_after_blank",
                    {"*0000alice* *0200bob ", "smith*"},
                    {{"00", "00alice"}, {"02", "00bob smith"}},
                    ""},
        FramingCase{"trailing_garbage_kept", {"*0000alice*xy"}, {{"00", "00alice"}}, "xy"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(ClientStream, ArbitraryInputNeverBreaksTheCutter) {
    std::mt19937 random(12345);
    const QString alphabet = QStringLiteral("*0123%#@^&, \t\r\nab\x01\x7f\u4e2d");
    for (int round = 0; round < 2000; ++round) {
        TClientPackBuffer buffer;
        qsizetype received = 0;
        for (int read = 0; read < 5; ++read) {
            QString text;
            const int len = std::uniform_int_distribution<int>(0, 40)(random);
            for (int i = 0; i < len; ++i)
                text += alphabet[std::uniform_int_distribution<qsizetype>(0, alphabet.size() -
                                                                                 1)(random)];
            received += text.size();
            const auto cut = Feed(buffer, text);
            for (const Cut &c : cut)
                ASSERT_EQ(QString::fromStdString(c.key).size(), 2);
            // Whatever is kept is a tail of what was received.
            ASSERT_LE(buffer.PendingSize(), received);
        }
    }
}

TEST(ClientStream, ManyMessagesInOneReadAreAllCut) {
    TClientPackBuffer buffer;
    QString read;
    for (int i = 0; i < 100000; ++i)
        read += QStringLiteral("*03u%1%e*").arg(i);
    buffer.Append(read);
    int count = 0;
    while (auto m = buffer.Take()) {
        ASSERT_EQ(m->Body, QStringLiteral("u%1%e").arg(count));
        ++count;
    }
    EXPECT_EQ(count, 100000);
    buffer.Compact();
    EXPECT_EQ(buffer.PendingSize(), 0);
}

TEST(ClientBodies, LoginAndAccountStateBodies) {
    struct Row {
        QString body, suspend, user;
    } rows[] = {
        {"00alice", "00", "alice"},
        {"01 bob smith ", "01", "bob smith"},
        {"0", "0", ""},
        {"", "", ""},
        {"01", "01", ""},
        {QStringLiteral("00\u5f20\u4e09"), "00", QStringLiteral("\u5f20\u4e09")},
    };
    for (const Row &r : rows) {
        const TSuspendBody b = SplitSuspendBody(r.body);
        EXPECT_EQ(b.sSuspend, r.suspend) << r.body.toStdString();
        EXPECT_EQ(b.UserName, r.user) << r.body.toStdString();
    }
}

TEST(ClientBodies, ReminderBody) {
    struct Row {
        QString body, user, email;
    } rows[] = {
        {"bob%bob@example.com", "bob", "bob@example.com"},
        {"bob% bob@example.com ", "bob", "bob@example.com"},
        {"bob%a%b", "bob", "a%b"},
        {"nopercent", "", "nopercent"},
        {"%x", "", "x"},
    };
    for (const Row &r : rows) {
        const TReminderBody b = SplitReminderBody(r.body);
        EXPECT_EQ(b.UserName, r.user) << r.body.toStdString();
        EXPECT_EQ(b.UserEmail, r.email) << r.body.toStdString();
    }
}

TEST(ClientBodies, RequestPartsForTheLog) {
    struct Row {
        QString body, name, dictate, code;
    } rows[] = {
        {"A001@0201000A#Hall 2", "Hall 2", "01000A", "A001"},
        {"A001@0201000A# Hall 2 ", "Hall 2", "01000A", "A001"},
        {"A001@02#", "", "", "A001"},
        {"A001@0201000A", "", "01000A", "A001"},
        {" A001 @0201000A", "", "01000A", "A001"},
        {"A001", "", "", ""},
        {"#only", "only", "", ""},
    };
    for (const Row &r : rows) {
        const TRequestLogParts p = SplitRequestForLog(r.body);
        EXPECT_EQ(p.EquipmentName, r.name) << r.body.toStdString();
        EXPECT_EQ(p.Dictate, r.dictate) << r.body.toStdString();
        EXPECT_EQ(p.EquipmentCode, r.code) << r.body.toStdString();
    }
}

TEST(ClientBodies, BroadcastTextAddsTheReceiversNameToReportsAndLists) {
    EXPECT_EQ(BroadcastTextFor("*01A001@1.2.3.4&5210^7E..7E#", "Hall 2"),
              "*01A001@1.2.3.4&5210^7E..7E#Hall 2*");
    EXPECT_EQ(BroadcastTextFor("*05A001@1.2.3.4&5210^0101#", "a,b"),
              "*05A001@1.2.3.4&5210^0101#a,b*");
    EXPECT_EQ(BroadcastTextFor("*12A001@01&00,#2049*", "Hall 2"), "*12A001@01&00,#2049*");
    EXPECT_EQ(BroadcastTextFor("*", "x"), "*");
    EXPECT_EQ(BroadcastTextFor("", "x"), "");
}

TEST(ClientBodies, ReceiverDescriptionLosesItsBracketsOnlyWhenAlone) {
    const QString one = BroadcastReceiverText("Hall 2", "alice", "10.0.0.5", 40321);
    EXPECT_EQ(one, " [Equipment:Hall 2  UserName:alice  ClientIP:10.0.0.5  ClientPort:40321]");
    EXPECT_EQ(FinishReceiverText(one, 1),
              "Equipment:Hall 2  UserName:alice  ClientIP:10.0.0.5  ClientPort:40321");
    const QString two = one + BroadcastReceiverText("B", "bob", "10.0.0.6", 1);
    EXPECT_EQ(FinishReceiverText(two, 2),
              "[Equipment:Hall 2  UserName:alice  ClientIP:10.0.0.5  ClientPort:40321] "
              "[Equipment:B  UserName:bob  ClientIP:10.0.0.6  ClientPort:1]");
    EXPECT_EQ(FinishReceiverText("", 0), "");
}

TEST(ChannelEntry, JoinsTheRequestWithItsConnection) {
    EXPECT_EQ(ChannelEntry("bob", "10.0.0.5", 40321, "A001@0201000A#Hall 2"),
              "bob%10.0.0.5^40321&A001@0201000A#Hall 2");
    EXPECT_EQ(ChannelEntry("", "10.0.0.5", 1, "A001@02#"), "%10.0.0.5^1&A001@02#");
}

TEST(ChannelEntry, SplitsIntoTheAddDataPackageArguments) {
    struct Row {
        QString entry;
        bool ok;
        TChannelRequest r;
    } rows[] = {
        {"bob%10.0.0.5^40321&A001@0201000A#Hall 2",
         true,
         {"bob", "Hall 2", "A001", "02", 0, "10.0.0.5", 40321, "01000A"}},
        {"bob%10.0.0.5^40321&A001@0201000A #  Hall 2 ",
         true,
         {"bob", "Hall 2", "A001", "02", 0, "10.0.0.5", 40321, "01000A"}},
        // A parameter-list request carries no equipment name.
        {"bob%10.0.0.5^40321&A001@050509000001#Hall 2",
         true,
         {"bob", "", "A001", "05", 0, "10.0.0.5", 40321, "0509000001"}},
        {"%10.0.0.5^7&A001@03#", true, {"", "", "A001", "03", 0, "10.0.0.5", 7, ""}},
        {"bob%10.0.0.5^x1&A001@0201#N", false, {}},
        {"bob%10.0.0.5^&A001@0201#N", false, {}},
        {"bob%10.0.0.5^1&A001@0201", false, {}},
        {"bob%10.0.0.5^1&A001#0201", false, {}},
        {"b@b%10.0.0.5^1&A001@0201#N", false, {}},
        {"b^b%10.0.0.5^1&A001@0201#N", false, {}},
        {"", false, {}},
    };
    for (const Row &row : rows) {
        const auto r = SplitChannelEntry(row.entry);
        ASSERT_EQ(r.has_value(), row.ok) << row.entry.toStdString();
        if (!r)
            continue;
        EXPECT_EQ(r->UserName, row.r.UserName);
        EXPECT_EQ(r->EquipmentName, row.r.EquipmentName);
        EXPECT_EQ(r->EquipmentCode, row.r.EquipmentCode);
        EXPECT_EQ(r->OperateFlag, row.r.OperateFlag);
        EXPECT_EQ(r->SendMode, 0);
        EXPECT_EQ(r->ClientIp, row.r.ClientIp);
        EXPECT_EQ(r->ClientPort, row.r.ClientPort);
        EXPECT_EQ(r->Dictate, row.r.Dictate);
    }
}

class ChannelWorker : public ::testing::Test {
protected:
    std::vector<TChannelRequest> handed;
    std::vector<QString> log;
    TChannelComm channel{[this](const QString &t, quint32) { log.push_back(t); },
                         [this](const TChannelRequest &r) {
                             if (r.EquipmentCode == u"THROW")
                                 throw std::runtime_error("equipment link failed");
                             handed.push_back(r);
                         },
                         std::chrono::milliseconds(80)};
};

TEST_F(ChannelWorker, HandsEntriesOnOneAtATimeInArrivalOrder) {
    channel.AddClientPack("a%1.1.1.1^1&A001@0201#N1");
    channel.AddClientPack("b%1.1.1.1^x&A001@0201#N2");  // port not a number: dropped
    channel.AddClientPack("c%1.1.1.1^3&THROW@0201#N3"); // failure in the link: dropped
    channel.AddClientPack("d%1.1.1.1^4&A002@0301#N4");
    EXPECT_EQ(channel.Count(), 4u);

    EXPECT_TRUE(channel.Step());
    ASSERT_EQ(handed.size(), 1u);
    EXPECT_EQ(handed[0].UserName, "a");
    EXPECT_TRUE(channel.Step());
    EXPECT_TRUE(channel.Step());
    EXPECT_EQ(handed.size(), 1u);
    EXPECT_TRUE(channel.Step());
    ASSERT_EQ(handed.size(), 2u);
    EXPECT_EQ(handed[1].UserName, "d");
    EXPECT_EQ(handed[1].OperateFlag, "03");
    EXPECT_FALSE(channel.Step());
    EXPECT_TRUE(log.empty());
}

TEST_F(ChannelWorker, AFullQueueDropsNewRequestsAndSaysSoOnce) {
    // Twenty connections, none past its own share.
    for (std::size_t i = 0; i < TChannelComm::MaxQueued + 5; ++i)
        channel.AddClientPack("u%1.1.1.1^" + QString::number(i % 20) + "&A" + QString::number(i) +
                              "@0201#N");
    EXPECT_EQ(channel.Count(), TChannelComm::MaxQueued);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(log[0].contains("queue full"));
    // The oldest requests are the ones kept.
    ASSERT_TRUE(channel.Step());
    EXPECT_EQ(handed.back().EquipmentCode, "A0");
}

// One client flooding the queue delays another's request by at most one of
// its own per step, and past its share only its own requests are refused.
TEST_F(ChannelWorker, ConnectionsAreServedInTurnAndAFloodIsCappedAlone) {
    const std::size_t share = TChannelComm::MaxQueuedPerConnection;
    for (std::size_t i = 0; i < 3 * share; ++i)
        channel.AddClientPack("10.0.0.1:4000",
                              "f%10.0.0.1^4000&F" + QString::number(i) + "@0201#N");
    channel.AddClientPack("10.0.0.2:4000", "q%10.0.0.2^4000&Q@0201#N");
    EXPECT_EQ(channel.Count(), share + 1);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(log[0].startsWith("Client (10.0.0.1:4000) sends faster")) << log[0].toStdString();
    ASSERT_TRUE(channel.Step());
    ASSERT_TRUE(channel.Step());
    ASSERT_EQ(handed.size(), 2u);
    EXPECT_EQ(handed[0].EquipmentCode, "F0");
    EXPECT_EQ(handed[1].EquipmentCode, "Q");
    // Once half the share has gone, the flooding client is heard again.
    while (channel.Count() > share / 2)
        ASSERT_TRUE(channel.Step());
    channel.AddClientPack("10.0.0.1:4000", "f%10.0.0.1^4000&LATE@0201#N");
    EXPECT_EQ(channel.Count(), share / 2 + 1);
    EXPECT_EQ(log.size(), 1u);
}

TEST_F(ChannelWorker, TheThreadDrainsTheQueueAndStops) {
    std::mutex lock;
    std::condition_variable done;
    std::vector<QString> seen;
    TChannelComm worker(
        {},
        [&](const TChannelRequest &r) {
            std::lock_guard guard(lock);
            seen.push_back(r.UserName);
            done.notify_all();
        },
        std::chrono::milliseconds(1));
    worker.Start();
    for (int i = 0; i < 5; ++i)
        worker.AddClientPack("u" + QString::number(i) + "%1.1.1.1^1&A@0201#N");
    {
        std::unique_lock guard(lock);
        ASSERT_TRUE(
            done.wait_for(guard, std::chrono::seconds(20), [&] { return seen.size() == 5; }));
    }
    worker.Stop();
    EXPECT_EQ(seen, (std::vector<QString>{"u0", "u1", "u2", "u3", "u4"}));
}

} // namespace
