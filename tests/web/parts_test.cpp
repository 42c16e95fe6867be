// The web console's parts that know no socket: the sessions and their idle
// expiry, the slowing of an address that fails to log in, and the HTTP text
// helpers fed hostile input (the clock is a variable the tests move); and the
// console's start-up checks, with no server behind it.
#include "EventJson.h"
#include "TestSupport.h"
#include "WebConsole.h"
#include "WebEventQueue.h"
#include "WebFleet.h"
#include "WebHttp.h"
#include "WebSessions.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <set>

using namespace std::chrono_literals;

namespace {

struct FakeClock {
    std::chrono::steady_clock::time_point now{std::chrono::hours(1000)};
    TWebSessions::Clock Fn() {
        return [this] { return now; };
    }
};

TWebSessions::Limits SmallLimits() {
    TWebSessions::Limits limits;
    limits.maxSessions = 3;
    limits.idle = 10min;
    return limits;
}

TEST(WebSessions, TokensAreLongRandomAndDistinct) {
    std::set<QByteArray> seen;
    for (int i = 0; i < 100; ++i) {
        const QByteArray token = TWebSessions::RandomToken();
        EXPECT_EQ(token.size(), 64);
        EXPECT_FALSE(QByteArray::fromHex(token).isEmpty());
        seen.insert(token);
    }
    EXPECT_EQ(seen.size(), 100u);
}

TEST(WebSessions, IdleSessionsExpireAndUseRestartsTheIdleTime) {
    FakeClock clock;
    TWebSessions sessions(SmallLimits(), clock.Fn());
    const auto a = sessions.Open(QStringLiteral("admin"));
    const auto b = sessions.Open(QStringLiteral("admin"));
    ASSERT_TRUE(a && b);
    EXPECT_NE(a->token, b->token);
    EXPECT_NE(a->csrf, a->token);
    clock.now += 9min;
    ASSERT_NE(sessions.Use(a->token), nullptr); // a is used, b is not
    clock.now += 2min;
    EXPECT_NE(sessions.Find(a->token), nullptr);
    EXPECT_EQ(sessions.Find(b->token), nullptr);
    clock.now += 9min;
    sessions.Touch(a->token);
    clock.now += 9min;
    EXPECT_EQ(sessions.Expire(), std::vector<QByteArray>{});
    clock.now += 1min;
    EXPECT_EQ(sessions.Expire(), std::vector<QByteArray>{a->token});
    EXPECT_EQ(sessions.Count(), 0u);
    EXPECT_EQ(sessions.Use(QByteArrayLiteral("not a token")), nullptr);
}

TEST(WebSessions, AtMostMaxSessionsAndClosingFreesAPlace) {
    FakeClock clock;
    TWebSessions sessions(SmallLimits(), clock.Fn());
    std::vector<QByteArray> tokens;
    for (int i = 0; i < 3; ++i)
        tokens.push_back(sessions.Open(QStringLiteral("u%1").arg(i))->token);
    EXPECT_FALSE(sessions.Open(QStringLiteral("late")));
    sessions.Close(tokens[0]);
    EXPECT_TRUE(sessions.Open(QStringLiteral("late")));
    EXPECT_FALSE(sessions.Open(QStringLiteral("later")));
    // Expired sessions make room by themselves.
    clock.now += 11min;
    EXPECT_TRUE(sessions.Open(QStringLiteral("later")));
    EXPECT_EQ(sessions.CloseUser(QStringLiteral("later")).size(), 1u);
    EXPECT_EQ(sessions.Count(), 0u);
}

TEST(WebSessions, FiveFailuresAreFreeThenTheDelayGrowsAndASuccessForgives) {
    FakeClock clock;
    TWebSessions sessions(SmallLimits(), clock.Fn());
    const QString address = QStringLiteral("192.0.2.1");
    for (int i = 0; i < 4; ++i) {
        sessions.LoginFailed(address);
        EXPECT_EQ(sessions.LoginDelay(address), 0s) << i;
    }
    const struct {
        const char *name;
        std::chrono::seconds delay;
    } steps[] = {{"fifth", 2s}, {"sixth", 4s}, {"seventh", 8s}, {"eighth", 16s}};
    for (const auto &step : steps) {
        sessions.LoginFailed(address);
        EXPECT_EQ(sessions.LoginDelay(address), step.delay) << step.name;
        clock.now += step.delay;
        EXPECT_EQ(sessions.LoginDelay(address), 0s) << step.name;
    }
    EXPECT_EQ(sessions.LoginDelay(QStringLiteral("192.0.2.2")), 0s) << "another address";
    for (int i = 0; i < 30; ++i)
        sessions.LoginFailed(address);
    EXPECT_EQ(sessions.LoginDelay(address), sessions.Settings().maxDelay);
    sessions.LoginSucceeded(address);
    EXPECT_EQ(sessions.LoginDelay(address), 0s);
}

TEST(WebSessions, TheFailureTableStaysBounded) {
    FakeClock clock;
    TWebSessions::Limits limits = SmallLimits();
    limits.maxAddresses = 4;
    limits.freeFailures = 0;
    TWebSessions sessions(limits, clock.Fn());
    for (int i = 0; i < 10; ++i) {
        clock.now += 1ms;
        sessions.LoginFailed(QStringLiteral("10.0.0.%1").arg(i));
    }
    // The most recent four are remembered, the rest forgotten.
    EXPECT_GT(sessions.LoginDelay(QStringLiteral("10.0.0.9")), 0s);
    EXPECT_GT(sessions.LoginDelay(QStringLiteral("10.0.0.6")), 0s);
    EXPECT_EQ(sessions.LoginDelay(QStringLiteral("10.0.0.5")), 0s);
}

TEST(WebHttp, CookieValue) {
    const struct {
        const char *name;
        QByteArray header;
        QByteArray expected;
    } cases[] = {
        {"alone", "mms_session=abc", "abc"},
        {"among others", "a=1; mms_session=abc; b=2", "abc"},
        {"blanks", "  mms_session =  abc  ;x=y", "abc"},
        {"first wins", "mms_session=one; mms_session=two", "one"},
        {"prefix of another name", "xmms_session=abc", ""},
        {"absent", "a=1; b=2", ""},
        {"empty header", "", ""},
        {"no value", "mms_session", ""},
        {"garbage", "=;;==;\x01\xff", ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(CookieValue(c.header, "mms_session"), c.expected) << c.name;
}

TEST(WebHttp, SameOrigin) {
    const struct {
        const char *name;
        QByteArray origin, host;
        bool tls, expected;
    } cases[] = {
        {"same", "http://127.0.0.1:5213", "127.0.0.1:5213", false, true},
        {"host case", "http://LOCALHOST:5213", "localhost:5213", false, true},
        {"other port", "http://127.0.0.1:5214", "127.0.0.1:5213", false, false},
        {"other host", "http://evil.example", "127.0.0.1:5213", false, false},
        {"https expected", "http://h:1", "h:1", true, false},
        {"https", "https://h:1", "h:1", true, true},
        {"with a path", "http://h:1/x", "h:1", false, false},
        {"null origin", "null", "h:1", false, false},
        {"user info", "http://a@h:1", "h:1", false, false},
        {"empty", "", "h:1", false, false},
        {"no host", "http://h:1", "", false, false},
        {"garbage", "\xff\xfe://", "h", false, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(SameOrigin(c.origin, c.host, c.tls), c.expected) << c.name;
}

TEST(WebHttp, JsonBodiesAreReadDefensively) {
    const struct {
        const char *name;
        QByteArray body;
        bool ok;
    } cases[] = {
        {"object", R"({"user":"a"})", true},
        {"array", "[1,2]", false},
        {"number", "7", false},
        {"empty", "", false},
        {"truncated", R"({"user":)", false},
        {"binary", QByteArray("\x00\xff{", 3), false},
        {"deep nesting", "{\"a\":" + QByteArray(100000, '['), false},
        {"too large", "{\"a\":\"" + QByteArray(TWebRequestLimits::MaxBody, 'x') + "\"}", false},
    };
    for (const auto &c : cases) {
        QString error;
        EXPECT_EQ(ParseJsonObject(c.body, &error).has_value(), c.ok) << c.name;
        EXPECT_EQ(error.isEmpty(), c.ok) << c.name;
    }
    const QJsonObject o{{"name", "x"},
                        {"number", 3},
                        {"long", QString(TWebRequestLimits::MaxText + 1, QLatin1Char('y'))}};
    EXPECT_EQ(TextMember(o, "name"), QStringLiteral("x"));
    EXPECT_FALSE(TextMember(o, "number"));
    EXPECT_FALSE(TextMember(o, "long"));
    EXPECT_FALSE(TextMember(o, "missing"));
}

TEST(WebHttp, EveryResponseCarriesTheSecurityHeaders) {
    TWebResponse r = TWebResponse::Error(404, QStringLiteral("not found"));
    const QByteArray text = SerializeResponse(r, true, false, true);
    EXPECT_TRUE(text.startsWith("HTTP/1.1 404 Not Found\r\n"));
    for (const QByteArray &header : QByteArrayList{
             "Content-Security-Policy: default-src 'self'", "frame-ancestors 'none'",
             "X-Content-Type-Options: nosniff", "Referrer-Policy: no-referrer",
             "Strict-Transport-Security:", "Cache-Control: no-store", "Connection: close",
             "Content-Length: " + QByteArray::number(r.body.size())})
        EXPECT_TRUE(text.contains(header)) << header.toStdString();
    EXPECT_FALSE(ContentSecurityPolicy().contains("unsafe-inline"));
    EXPECT_TRUE(text.endsWith(r.body));
    EXPECT_FALSE(SerializeResponse(r, false, true, false).contains(r.body)) << "HEAD";
    EXPECT_TRUE(SessionCookie("s", "t", true).contains("Secure"));
    EXPECT_FALSE(SessionCookie("s", "t", false).contains("Secure"));
    EXPECT_TRUE(SessionCookie("s", "t", false).contains("HttpOnly; SameSite=Strict"));
}

TEST(WebEventQueue, ABrowserThatStopsReadingLosesItsOldestAndIsToldOnce) {
    TWebEventQueue queue(
        3, [](std::size_t lost) { return "lost " + QByteArray::number(qint64(lost)); });
    for (const char *m : {"a", "b"})
        queue.Push(m);
    EXPECT_EQ(queue.Take(), QByteArray("a"));
    for (const char *m : {"c", "d", "e", "f"})
        queue.Push(m); // b and c go
    EXPECT_EQ(queue.Size(), 3u);
    EXPECT_EQ(queue.Lost(), 2u);
    const QByteArrayList expected{"lost 2", "d", "e", "f"};
    QByteArrayList got;
    while (const auto m = queue.Take())
        got << *m;
    EXPECT_EQ(got, expected);
    // Caught up: no notice until the next loss.
    queue.Push("g");
    EXPECT_EQ(queue.Take(), QByteArray("g"));
    EXPECT_FALSE(queue.Take());
    for (int i = 0; i < 1000; ++i)
        queue.Push(QByteArray::number(i));
    EXPECT_EQ(queue.Size(), 3u);
    EXPECT_EQ(queue.Take(), QByteArray("lost 997"));
    EXPECT_EQ(queue.Lost(), 999u);
}

TEST(WebEventQueue, BatchesCountTheirEventsAgainstTheCapacity) {
    TWebEventQueue queue(
        5, [](std::size_t lost) { return "lost " + QByteArray::number(qint64(lost)); });
    queue.Push("[a,b,c]", 3);
    queue.Push("[d,e]", 2);
    EXPECT_EQ(queue.Lost(), 0u);
    queue.Push("f"); // six events: the oldest batch goes whole
    EXPECT_EQ(queue.Lost(), 3u);
    EXPECT_EQ(queue.Take(), QByteArray("lost 3"));
    EXPECT_EQ(queue.Take(), QByteArray("[d,e]"));
    // A batch larger than the capacity on its own is still sent.
    queue.Push("[big]", 9);
    EXPECT_EQ(queue.Lost(), 4u);
    EXPECT_EQ(queue.Take(), QByteArray("lost 1"));
    EXPECT_EQ(queue.Take(), QByteArray("[big]"));
    EXPECT_FALSE(queue.Take());
}

TEST(EventJson, WritesWhatADocumentWouldForAnyTextAndTime) {
    const QDateTime local(QDate(2026, 12, 11), QTime(9, 5, 7, 42));
    struct Case {
        QString text;
        QDateTime time;
    } cases[] = {
        {QStringLiteral("plain"), local},
        {QStringLiteral("quote \" back\\slash / tab\t nl\n cr\r"), local.addMSecs(1)},
        {QString(QChar(1)) + QChar(0x1F) + QStringLiteral("\u00e9\u4e2d\U0001F600"),
         local.addMSecs(958)},
        {QStringLiteral("utc"), QDateTime(QDate(1999, 1, 2), QTime(3, 4, 5, 6), Qt::UTC)},
        {QStringLiteral("offset"),
         QDateTime(QDate(2030, 6, 1), QTime(23, 59, 59, 999), Qt::OffsetFromUTC, -5 * 3600)},
        {QString(), QDateTime()},
        {QString(QChar(0xD800)), local}, // a lone surrogate
    };
    TEventJsonWriter writer; // one writer for all: its time text is reused and must follow
    for (const Case &c : cases) {
        TLogEvent e = LogEvent(TLogKind::Heartbeat, TLogPane::Traffic, c.text, 0x00FF80);
        e.time = c.time;
        e.unit = QStringLiteral("U\"1");
        e.address = QStringLiteral("10.0.0.1");
        e.port = 5210;
        e.user = QStringLiteral("op");
        QByteArray out;
        writer.Append(out, e);
        QJsonParseError error{};
        const QJsonObject o = QJsonDocument::fromJson(out, &error).object();
        ASSERT_EQ(error.error, QJsonParseError::NoError) << out.toStdString();
        EXPECT_EQ(o.value("text").toString(), QString::fromUtf8(c.text.toUtf8()));
        EXPECT_EQ(o.value("time").toString(),
                  c.time.isValid() ? c.time.toString(Qt::ISODateWithMs) : QString());
        EXPECT_EQ(o.value("kind"), "heartbeat");
        EXPECT_EQ(o.value("pane"), "traffic");
        EXPECT_EQ(o.value("colour"), "#80ff00");
        EXPECT_EQ(o.value("unit"), "U\"1");
        EXPECT_EQ(o.value("address"), "10.0.0.1");
        EXPECT_EQ(o.value("port").toInt(), 5210);
        EXPECT_EQ(o.value("user"), "op");
    }
    // Only what is known is written.
    const QJsonObject bare =
        QJsonDocument::fromJson(EventJson(NoteEvent(QStringLiteral("n"), 0xFFFFFF))).object();
    EXPECT_EQ(bare.keys(), QStringList({"colour", "kind", "pane", "text", "time"}));
}

TLogEvent Event(TLogKind kind, const QString &unit, const QString &address, int port,
                const QString &user = {}) {
    TLogEvent e = LogEvent(kind, TLogPane::Events, QStringLiteral("x"), 0xFFFFFF);
    e.unit = unit;
    e.address = address;
    e.port = port;
    e.user = user;
    e.time = QDateTime::currentDateTime();
    return e;
}

QJsonObject Row(const TEventFleet &fleet, const QString &code) {
    for (const QJsonValue &v : fleet.Rows())
        if (v.toObject().value("code").toString() == code)
            return v.toObject();
    return {};
}

TEST(WebFleet, UnitsGoOnLineFromTheirEventsAndOffLineFromDisconnects) {
    TEventFleet fleet;
    fleet.Observe(Event(TLogKind::Connect, {}, "10.0.0.1", 4000)); // no unit yet
    EXPECT_TRUE(fleet.Rows().isEmpty());
    fleet.Observe(Event(TLogKind::Heartbeat, "A1", "10.0.0.1", 4000));
    fleet.Observe(Event(TLogKind::Heartbeat, "B2", "10.0.0.2", 4001));
    EXPECT_TRUE(Row(fleet, "A1").value("online").toBool());
    // A client's request about A1 says nothing of A1's connection.
    fleet.Observe(Event(TLogKind::Reply, "A1", "10.9.9.9", 7000, "user1"));
    EXPECT_EQ(Row(fleet, "A1").value("address").toString(), "10.0.0.1");
    // A disconnect that names only the peer.
    fleet.Observe(Event(TLogKind::Disconnect, {}, "10.0.0.1", 4000));
    EXPECT_FALSE(Row(fleet, "A1").value("online").toBool());
    EXPECT_TRUE(Row(fleet, "B2").value("online").toBool());
    fleet.Observe(Event(TLogKind::Disconnect, "B2", "10.0.0.2", 4001));
    EXPECT_FALSE(Row(fleet, "B2").value("online").toBool());
    EXPECT_EQ(fleet.Rows().size(), 2);
}

TEST(WebConsoleStart, SettingsThatCannotServeSafelyAreRefusedWithTheReason) {
    QTcpServer taken;
    ASSERT_TRUE(taken.listen(QHostAddress::LocalHost));
    mmstest::TestHome home;
    home.WriteFile(QStringLiteral("cert.pem"), "not a certificate");
    const struct {
        const char *name;
        QString listen;
        QString cert, key;
        int port;
        QString reason;
    } cases[] = {
        {"not IPv4", "::1", {}, {}, 0, "[Set] WebListen=::1 is not an IPv4 address"},
        {"not an address", "web.example", {}, {}, 0, "is not an IPv4 address"},
        {"beyond loopback in clear",
         "0.0.0.0",
         {},
         {},
         0,
         "[Set] WebListen=0.0.0.0 is beyond loopback and [Set] WebCertFile and WebKeyFile are "
         "not both set"},
        {"beyond loopback with one TLS file",
         "0.0.0.0",
         home.File("cert.pem"),
         {},
         0,
         "are not both set"},
        {"a certificate file that holds none", "127.0.0.1", home.File("cert.pem"),
         home.File("key.pem"), 0, "holds no PEM certificate"},
        {"a port in use", "127.0.0.1", {}, {}, taken.serverPort(), "cannot listen on 127.0.0.1"},
    };
    for (const auto &c : cases) {
        TWebConsole console{TWebBackend{}};
        TWebConsoleSettings settings;
        settings.listen = c.listen;
        settings.certFile = c.cert;
        settings.keyFile = c.key;
        settings.port = c.port;
        QString error;
        EXPECT_FALSE(console.Start(settings, &error)) << c.name;
        EXPECT_TRUE(error.contains(c.reason)) << c.name << ": " << error.toStdString();
    }
}

TEST(WebConsoleStart, ServesOnItsOwnThreadUntilStopped) {
    TWebConsole console{TWebBackend{}};
    TWebConsoleSettings settings;
    settings.port = 0; // a free port
    QString error;
    ASSERT_TRUE(console.Start(settings, &error)) << error.toStdString();
    ASSERT_GT(console.Port(), 0);
    EXPECT_EQ(console.Url(), QStringLiteral("http://127.0.0.1:%1/").arg(console.Port()));
    // Answered while this thread's loop does not run: the server has its own.
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), console.Port());
    ASSERT_TRUE(socket.waitForConnected(5000));
    socket.write("GET /api/status HTTP/1.1\r\nHost: x\r\n\r\n");
    QByteArray reply;
    while (!reply.contains("\r\n\r\n") && socket.waitForReadyRead(5000))
        reply += socket.readAll();
    EXPECT_TRUE(reply.startsWith("HTTP/1.1 401 ")) << reply.toStdString();
    console.Stop();
    QTcpSocket after;
    after.connectToHost(QStringLiteral("127.0.0.1"), console.Port());
    EXPECT_FALSE(after.waitForConnected(1000));
}

} // namespace
