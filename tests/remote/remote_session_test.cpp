// The request layer without socket or database: line cutting, JSON-RPC
// framing, the two methods, the provider calls and their errors, the login.
#include "RemoteGuard.h"
#include "RemoteSession.h"

#include <gtest/gtest.h>

using nlohmann::json;

namespace {

// Records the provider calls; throws what the test tells it to.
class RecordingProvider : public TRemoteProvider {
public:
    std::string GetRecords(const std::string &commandText, std::size_t maxBytes,
                           const TRemoteFlush &flush) override {
        calls.push_back("GetRecords " + commandText);
        lastMaxBytes = maxBytes;
        std::string out = R"({"fields":[{"name":"a","type":"integer"}],"rows":[[1])";
        for (int i = 0; i < streamedRows; ++i) {
            if (flush)
                flush(out);
            out += ",[" + std::to_string(i) + "]";
        }
        if (error)
            throw *error;
        return out + "]}";
    }
    std::int64_t Execute(const std::string &commandText) override {
        calls.push_back("Execute " + commandText);
        if (error)
            throw *error;
        return 7;
    }
    std::int64_t ApplyUpdates(const std::string &tableName,
                              const std::vector<TRemoteDeltaRow> &delta) override {
        calls.push_back("ApplyUpdates " + tableName);
        lastDelta = delta;
        if (error)
            throw *error;
        return std::int64_t(delta.size());
    }

    std::vector<std::string> calls;
    std::size_t lastMaxBytes = 0;
    int streamedRows = 0; // rows after the first, each after a flush
    std::vector<TRemoteDeltaRow> lastDelta;
    std::optional<TRemoteError> error;
};

std::string Request(const std::string &method, const std::string &params, int id = 1) {
    return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":")" + method +
           R"(","params":)" + params + "}";
}

class RemoteSession : public ::testing::Test {
protected:
    json Call(const std::string &line) {
        const std::string reply = session->HandleLine(line);
        if (reply.empty())
            return nullptr;
        EXPECT_EQ(reply.find('\n'), std::string::npos);
        return json::parse(reply);
    }
    // The error code of the reply, 0 when it is a result.
    static int Code(const json &reply) {
        return reply.contains("error") ? reply["error"]["code"].get<int>() : 0;
    }
    void Make(TRemoteSessionOptions options = {}) {
        session = std::make_unique<TRemoteSession>(provider, std::move(options));
    }
    void SetUp() override { Make(); }

    RecordingProvider provider;
    std::unique_ptr<TRemoteSession> session;
};

TEST_F(RemoteSession, EchoAndReverseString) {
    const struct {
        std::string method, params, result;
    } cases[] = {
        {"EchoString", R"([""])", ""},
        {"EchoString", R"({"Value":"hello"})", "hello"},
        {"ReverseString", R"(["abc"])", "cba"},
        {"ReverseString", R"([""])", ""},
        // Characters, not bytes: two-, three- and four-byte characters stay whole.
        {"ReverseString", "[\"a\xc3\xa9\xe5\xbc\xa0\xf0\x9f\x93\xa1z\"]",
         "z\xf0\x9f\x93\xa1\xe5\xbc\xa0\xc3\xa9"
         "a"},
    };
    for (const auto &c : cases) {
        const json reply = Call(Request(c.method, c.params, 42));
        ASSERT_EQ(Code(reply), 0) << c.method << " " << c.params;
        EXPECT_EQ(reply["jsonrpc"], "2.0");
        EXPECT_EQ(reply["id"], 42);
        EXPECT_EQ(reply["result"], c.result) << c.params;
    }
    // A text id comes back as it was.
    EXPECT_EQ(Call(R"({"jsonrpc":"2.0","id":"x-1","method":"EchoString","params":["a"]})")["id"],
              "x-1");
}

TEST_F(RemoteSession, BadRequestsGetTheirErrorAndTheConnectionStaysUsable) {
    std::string deep(100, '[');
    deep += std::string(100, ']');
    const struct {
        std::string line;
        int code;
    } cases[] = {
        {"{bad", RemoteErrorCode::ParseError},
        {"\xff\xfe\x00", RemoteErrorCode::ParseError},
        {Request("EchoString", "[\"\xc3\"]"), RemoteErrorCode::ParseError},         // cut UTF-8
        {Request("EchoString", "[\"\xed\xa0\x80\"]"), RemoteErrorCode::ParseError}, // surrogate
        {"[1,2]", RemoteErrorCode::InvalidRequest},
        {"42", RemoteErrorCode::InvalidRequest},
        {deep, RemoteErrorCode::InvalidRequest},
        {R"({"id":1,"method":"EchoString","params":["a"]})", RemoteErrorCode::InvalidRequest},
        {R"({"jsonrpc":"1.0","id":1,"method":"EchoString","params":["a"]})",
         RemoteErrorCode::InvalidRequest},
        {R"({"jsonrpc":"2.0","id":1,"method":5})", RemoteErrorCode::InvalidRequest},
        {R"({"jsonrpc":"2.0","id":{"a":1},"method":"EchoString","params":["a"]})",
         RemoteErrorCode::InvalidRequest},
        {R"({"jsonrpc":"2.0","id":1,"method":"EchoString","params":"a"})",
         RemoteErrorCode::InvalidRequest},
        {Request("NoSuchMethod", "[]"), RemoteErrorCode::MethodNotFound},
        {Request("EchoString", "[]"), RemoteErrorCode::InvalidParams},
        {Request("EchoString", "[1]"), RemoteErrorCode::InvalidParams},
        {Request("EchoString", R"({"value":"a"})"), RemoteErrorCode::InvalidParams},
        {Request("DataSetProvider1.GetRecords", R"({"commandText":null})"),
         RemoteErrorCode::InvalidParams},
        {Request("DataSetProvider1.ApplyUpdates", R"(["x"])"), RemoteErrorCode::InvalidParams},
        {Request("DataSetProvider1.ApplyUpdates", R"({"delta":{}})"),
         RemoteErrorCode::InvalidParams},
        {Request("DataSetProvider1.ApplyUpdates", R"({"tableName":3,"delta":[]})"),
         RemoteErrorCode::InvalidParams},
        {Request("DataSetProvider1.ApplyUpdates", R"({"delta":[{"new":{"a":1}}]})"),
         RemoteErrorCode::InvalidParams},
        {Request("DataSetProvider1.ApplyUpdates", R"({"delta":[{"op":"merge","new":{"a":1}}]})"),
         RemoteErrorCode::InvalidParams},
        {Request("DataSetProvider1.ApplyUpdates", R"({"delta":[{"op":"insert","new":{}}]})"),
         RemoteErrorCode::InvalidParams},
        // An update or delete without original values would change every row.
        {Request("DataSetProvider1.ApplyUpdates", R"({"delta":[{"op":"update","new":{"a":1}}]})"),
         RemoteErrorCode::InvalidParams},
        {Request("DataSetProvider1.ApplyUpdates", R"({"delta":[{"op":"delete","old":{}}]})"),
         RemoteErrorCode::InvalidParams},
        {Request("DataSetProvider1.ApplyUpdates", R"({"delta":[{"op":"insert","new":{"a":[1]}}]})"),
         RemoteErrorCode::InvalidParams},
        {Request("DataSetProvider1.ApplyUpdates", R"({"delta":[{"op":"insert","new":{"":1}}]})"),
         RemoteErrorCode::InvalidParams},
    };
    for (const auto &c : cases) {
        const json reply = Call(c.line);
        EXPECT_EQ(Code(reply), c.code) << c.line;
        EXPECT_TRUE(reply.contains("id")) << c.line;
        EXPECT_FALSE(session->Closing()) << c.line;
        EXPECT_EQ(Call(Request("EchoString", R"(["still here"])"))["result"], "still here");
    }
    // None of the invalid deltas reached the database.
    EXPECT_TRUE(provider.calls.empty());
}

TEST_F(RemoteSession, ProviderCallsAndTheirResults) {
    json reply = Call(Request("DataSetProvider1.GetRecords", R"({"commandText":"select 1"})"));
    EXPECT_EQ(reply["result"]["rows"], json::parse("[[1]]"));
    EXPECT_EQ(provider.lastMaxBytes, std::size_t(64) << 20);
    reply = Call(Request("DataSetProvider1.Execute", R"(["delete from x"])"));
    EXPECT_EQ(reply["result"]["rowsAffected"], 7);
    reply = Call(Request("DataSetProvider1.ApplyUpdates",
                         R"({"tableName":"T","delta":[
                              {"op":"insert","new":{"a":1,"b":"x"}},
                              {"op":"update","old":{"a":1,"b":null},"new":{"b":2.5}},
                              {"op":"delete","old":{"a":true}}]})"));
    EXPECT_EQ(reply["result"]["applied"], 3);
    EXPECT_EQ(provider.calls,
              (std::vector<std::string>{"GetRecords select 1", "Execute delete from x",
                                        "ApplyUpdates T"}));
    ASSERT_EQ(provider.lastDelta.size(), 3u);
    EXPECT_EQ(provider.lastDelta[0].op, TRemoteDeltaRow::Op::Insert);
    EXPECT_TRUE(provider.lastDelta[0].oldValues.empty());
    EXPECT_EQ(provider.lastDelta[0].newValues.size(), 2u);
    EXPECT_EQ(provider.lastDelta[1].op, TRemoteDeltaRow::Op::Update);
    EXPECT_EQ(provider.lastDelta[1].oldValues[1], (std::pair<std::string, json>{"b", nullptr}));
    EXPECT_EQ(provider.lastDelta[2].op, TRemoteDeltaRow::Op::Delete);
    EXPECT_TRUE(provider.lastDelta[2].newValues.empty());

    // Without a tableName the provider gets an empty one (its last table).
    Call(Request("DataSetProvider1.ApplyUpdates", R"({"delta":[]})"));
    EXPECT_EQ(provider.calls.back(), "ApplyUpdates ");
}

TEST_F(RemoteSession, DatabaseErrorGoesBackWithItsMessage) {
    provider.error = TRemoteError(RemoteErrorCode::DatabaseError, "no such table: nothere");
    const json reply = Call(Request("DataSetProvider1.Execute", R"(["select * from nothere"])"));
    EXPECT_EQ(Code(reply), RemoteErrorCode::DatabaseError);
    EXPECT_EQ(reply["error"]["message"], "no such table: nothere");
    EXPECT_FALSE(session->Closing());

    provider.error = TRemoteError(RemoteErrorCode::ResultTooLarge, "too large", true);
    EXPECT_EQ(Code(Call(Request("DataSetProvider1.GetRecords", R"(["select 1"])"))),
              RemoteErrorCode::ResultTooLarge);
    EXPECT_TRUE(session->Closing());
}

TEST_F(RemoteSession, NotificationIsCarriedOutWithoutReply) {
    EXPECT_TRUE(session
                    ->HandleLine(R"({"jsonrpc":"2.0","method":"DataSetProvider1.Execute",)"
                                 R"("params":["delete from x"]})")
                    .empty());
    EXPECT_EQ(provider.calls, std::vector<std::string>{"Execute delete from x"});
    // A failing notification is not answered either.
    EXPECT_TRUE(session->HandleLine(R"({"jsonrpc":"2.0","method":"Nope"})").empty());
}

TEST_F(RemoteSession, LinesAreCutAcrossReadsWithCarriageReturnsAndBlankLines) {
    const std::string stream = Request("EchoString", R"(["one"])", 1) + "\r\n\n  \n" +
                               Request("ReverseString", R"(["two"])", 2) + "\n" +
                               Request("EchoString", R"(["three"])", 3) + "\n";
    // Fed one byte at a time, and all at once: the same replies.
    for (std::size_t step : {std::size_t(1), stream.size()}) {
        Make();
        std::vector<std::string> replies;
        for (std::size_t i = 0; i < stream.size(); i += step) {
            session->Feed(std::string_view(stream).substr(i, step));
            std::string reply;
            while (session->HandleNext(reply))
                if (!reply.empty())
                    replies.push_back(reply);
        }
        ASSERT_EQ(replies.size(), 3u) << step;
        EXPECT_EQ(json::parse(replies[0])["result"], "one");
        EXPECT_EQ(json::parse(replies[1])["result"], "owt");
        EXPECT_EQ(json::parse(replies[2])["result"], "three");
        EXPECT_EQ(replies[2].back(), '\n');
        EXPECT_EQ(session->Buffered(), 0u);
    }
}

TEST_F(RemoteSession, OverlongLineEndsTheConnection) {
    TRemoteSessionOptions options;
    options.maxLineBytes = 64;
    // Without its end of line, and with it.
    for (const std::string &input :
         {std::string(65, 'x'),
          Request("EchoString", "[\"" + std::string(60, 'y') + "\"]") + "\n"}) {
        Make(options);
        session->Feed(input);
        std::string reply;
        ASSERT_TRUE(session->HasWork());
        ASSERT_TRUE(session->HandleNext(reply));
        EXPECT_EQ(Code(json::parse(reply)), RemoteErrorCode::RequestTooLarge);
        EXPECT_TRUE(session->Closing());
        EXPECT_FALSE(session->HandleNext(reply));
    }
    // A line of exactly the limit is fine.
    Make(options);
    const std::string exact = Request("EchoString", "[\"" + std::string(3, 'z') + "\"]");
    ASSERT_LE(exact.size(), 64u);
    session->Feed(exact + std::string(64 - exact.size(), ' ') + "\n");
    std::string reply;
    ASSERT_TRUE(session->HandleNext(reply));
    EXPECT_EQ(json::parse(reply)["result"], "zzz");
}

TEST_F(RemoteSession, LargeResultGoesOutAsItIsReadAndABreakInItEndsTheConnection) {
    std::string sent;
    provider.streamedRows = 3;
    session->SetOutput([&](std::string_view part) { sent += part; });
    std::string reply;
    session->Feed(Request("DataSetProvider1.GetRecords", R"(["select a"])", 5) + "\n");
    ASSERT_TRUE(session->HandleNext(reply));
    ASSERT_FALSE(sent.empty());
    const json whole = json::parse(sent + reply);
    EXPECT_EQ(whole["id"], 5);
    EXPECT_EQ(whole["result"]["rows"], json::parse("[[1],[0],[1],[2]]"));
    EXPECT_FALSE(session->Closing());

    // A failure once part of the line has gone out cannot be answered: the
    // connection ends.
    sent.clear();
    provider.error = TRemoteError(RemoteErrorCode::DatabaseError, "broken");
    session->Feed(Request("DataSetProvider1.GetRecords", R"(["select a"])", 6) + "\n");
    ASSERT_TRUE(session->HandleNext(reply));
    EXPECT_TRUE(reply.empty());
    EXPECT_FALSE(sent.empty());
    EXPECT_TRUE(session->Closing());

    // Before anything went out it is an ordinary error reply.
    provider.streamedRows = 0;
    Make();
    EXPECT_EQ(Code(Call(Request("DataSetProvider1.GetRecords", R"(["x"])"))),
              RemoteErrorCode::DatabaseError);
    EXPECT_FALSE(session->Closing());
}

TEST_F(RemoteSession, FloodsAndDeepNestingAreBoundedAndParsedInOnePass) {
    const auto repeat = [](const std::string &part, int n, const std::string &sep) {
        std::string out;
        for (int i = 0; i < n; ++i)
            out += (i ? sep : "") + part;
        return out;
    };
    std::string keys;
    for (int i = 0; i < 200000; ++i)
        keys += (i ? ",\"" : "\"") + std::to_string(i) + "\":{}";
    const struct {
        std::string params;
        int code;
    } cases[] = {
        // Hundreds of thousands of empty containers: parsed at once (a
        // per-value parser callback took minutes here), then refused as params.
        {"{" + keys + "}", RemoteErrorCode::InvalidParams},
        {"[" + repeat("{}", 400000, ",") + "]", RemoteErrorCode::InvalidParams},
        {repeat("[", 100, "") + repeat("]", 100, ""), RemoteErrorCode::InvalidRequest},
        {"[" + repeat("1", 2100000, ",") + "]", RemoteErrorCode::InvalidRequest},
        {"[\"\xff\xfe\"]", RemoteErrorCode::ParseError},
        {R"(["a,b:c{[[[[d"])", 0},
    };
    for (const auto &c : cases) {
        const json reply = Call(Request("EchoString", c.params));
        EXPECT_EQ(Code(reply), c.code) << c.params.substr(0, 40);
    }
    EXPECT_TRUE(TRemoteSession::ShapeWithin(R"({"a":"]]]]\"[[[["})", 1, 3));
    EXPECT_FALSE(TRemoteSession::ShapeWithin("[[", 1, 100));
    EXPECT_FALSE(TRemoteSession::ShapeWithin("[1,2,3]", 5, 3));
}

TEST_F(RemoteSession, BeforeLoginOnlyASmallRequestIsTaken) {
    TRemoteSessionOptions options;
    options.token = "s3cret";
    options.maxPreLoginBytes = 100;
    int failures = 0;
    options.onLoginFailure = [&] { ++failures; };
    Make(options);
    std::string reply;
    session->Feed(std::string(101, ' '));
    ASSERT_TRUE(session->HandleNext(reply));
    EXPECT_EQ(Code(json::parse(reply)), RemoteErrorCode::RequestTooLarge);
    EXPECT_TRUE(session->Closing());

    // After Login the ordinary bound holds.
    Make(options);
    session->HandleLine(Request("Login", R"(["wrong"])"));
    EXPECT_EQ(failures, 1);
    session->HandleLine(Request("Login", R"(["s3cret"])"));
    EXPECT_EQ(failures, 1);
    session->Feed(Request("EchoString", "[\"" + std::string(200, 'x') + "\"]") + "\n");
    ASSERT_TRUE(session->HandleNext(reply));
    EXPECT_EQ(json::parse(reply)["result"], std::string(200, 'x'));
}

TEST_F(RemoteSession, TokenMustBeGivenFirstAndThreeFailuresEndTheConnection) {
    TRemoteSessionOptions options;
    options.token = "s3cret";
    const std::string echo = Request("EchoString", R"(["a"])");
    const std::string good = Request("Login", R"(["s3cret"])");
    const std::string wrong = Request("Login", R"(["s3cre"])");
    const struct {
        std::vector<std::string> lines;
        bool closing;
        bool loggedIn;
    } cases[] = {
        {{echo, echo}, false, false},
        {{echo, wrong, "{bad"}, true, false},
        {{wrong, wrong, wrong}, true, false},
        {{wrong, wrong, good, echo, echo, wrong}, false, true},
        {{Request("Login", R"({"token":"s3cret"})")}, false, true},
        {{Request("Login", R"(["s3cret "])"), Request("Login", "[]"), good}, false, true},
    };
    for (const auto &c : cases) {
        Make(options);
        for (const std::string &line : c.lines)
            session->HandleLine(line);
        EXPECT_EQ(session->Closing(), c.closing) << c.lines.size();
        EXPECT_EQ(session->LoggedIn(), c.loggedIn) << c.lines.size();
    }

    Make(options);
    const json refused = Call(Request("DataSetProvider1.GetRecords", R"(["select 1"])"));
    EXPECT_EQ(Code(refused), RemoteErrorCode::LoginRequired);
    EXPECT_TRUE(provider.calls.empty());
    EXPECT_EQ(Code(Call(wrong)), RemoteErrorCode::LoginRequired);
    EXPECT_EQ(Call(good)["result"], true);
    EXPECT_EQ(Call(echo)["result"], "a");

    // Without a token every call is open and Login is accepted as it is.
    Make();
    EXPECT_EQ(Call(echo)["result"], "a");
    EXPECT_EQ(Call(wrong)["result"], true);
}

TEST(LoginThrottle, SlowsARepeatedGuesserLogsOncePerEpisodeAndForgets) {
    using namespace std::chrono_literals;
    TLoginThrottle::Clock::time_point now{};
    TLoginThrottleSettings settings;
    settings.freeFailures = 2;
    settings.firstDelay = 100ms;
    settings.maxDelay = 350ms;
    settings.forgetAfter = 1min;
    settings.maxAddresses = 2;
    TLoginThrottle throttle(settings, [&] { return now; });
    const QString a = QStringLiteral("10.0.0.1");

    // failures so far -> the delay right after the last one
    const std::pair<bool, std::chrono::milliseconds> steps[] = {
        {true, 0ms}, {false, 0ms}, {false, 100ms}, {false, 200ms}, {false, 350ms}, {false, 350ms}};
    for (const auto &[begins, delay] : steps) {
        EXPECT_EQ(throttle.Failed(a), begins);
        EXPECT_EQ(throttle.Delay(a), delay);
    }
    now += 300ms; // waiting counts
    EXPECT_EQ(throttle.Delay(a), 50ms);
    EXPECT_EQ(throttle.Delay(QStringLiteral("10.0.0.2")), 0ms);

    // A success or a long quiet ends the episode: the next failure logs again.
    throttle.Succeeded(a);
    EXPECT_TRUE(throttle.Failed(a));
    now += 2min;
    EXPECT_TRUE(throttle.Failed(a));
    // Memory stays bounded: the oldest address is dropped for a new one.
    now += 1s;
    EXPECT_TRUE(throttle.Failed(QStringLiteral("10.0.0.2")));
    now += 1s;
    EXPECT_TRUE(throttle.Failed(QStringLiteral("10.0.0.3")));
    EXPECT_TRUE(throttle.Failed(a));
}

} // namespace
