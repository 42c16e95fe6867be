// SendEmail against a real SMTP server on loopback: security modes, login,
// envelope, headers and attachments, decoded by an independent MIME reader
// (Python's email package inside the test server).
#include "MailMessage.h"
#include "SendEmail.h"
#include "SmtpTestServer.h"
#include "TestSupport.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QLocale>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

// Readable QString values in failure messages.
static std::ostream &operator<<(std::ostream &os, const QString &s) {
    return os << s.toStdString();
}

namespace {

using mmstest::SmtpTestServer;
using Mode = SmtpTestServer::Mode;

// Sends a short mail to one recipient through the server.
struct Send {
    QString encrypt = QStringLiteral("Auto");
    QString user;
    QString password;
    QString to = QStringLiteral("owner@example.com");
    QString subject = QStringLiteral("Subject");
    QString body = QStringLiteral("Body");
    QString attachment;
    QString cc;
    QString bcc;
    bool receipt = false;
    bool trustServer = true;
};

bool Deliver(const SmtpTestServer &server, const Send &s, QString *reason = nullptr) {
    MailOptions options;
    if (s.trustServer)
        options.caFile = server.CaFile();
    options.attachmentCharset = QStringLiteral("GB18030");
    options.connectTimeout = std::chrono::seconds(5);
    options.replyTimeout = std::chrono::seconds(10);
    options.failureReason = reason;
    return SendEmail(server.HostPort(), s.encrypt, s.user, s.password, s.to, s.subject, s.body,
                     s.attachment, s.cc, s.bcc, s.receipt, options);
}

struct SecurityCase {
    const char *name;
    Mode mode;
    const char *encrypt;
    enum Credentials { Right, Wrong, None } credentials;
    bool trustServer;
    bool sent;
    const char *mechanism; // AUTH mechanism the server saw, "" for none
    bool tls;
};

void PrintTo(const SecurityCase &c, std::ostream *os) {
    *os << c.name;
}

class SendEmailSecurity : public ::testing::TestWithParam<SecurityCase> {};

TEST_P(SendEmailSecurity, SendsOrRefusesAsTheModeRequires) {
    const SecurityCase &c = GetParam();
    SmtpTestServer server(c.mode);
    ASSERT_TRUE(server.Start()) << server.Error();

    Send s;
    s.encrypt = QString::fromLatin1(c.encrypt);
    s.trustServer = c.trustServer;
    if (c.credentials != SecurityCase::None) {
        s.user = server.User();
        s.password = c.credentials == SecurityCase::Right ? server.Password()
                                                          : QStringLiteral("not-the-password");
    }
    QString reason;
    EXPECT_EQ(Deliver(server, s, &reason), c.sent) << reason;
    if (!c.sent) {
        EXPECT_FALSE(reason.isEmpty());
    }

    const auto messages = server.Messages();
    ASSERT_EQ(messages.size(), c.sent ? 1u : 0u);
    if (!c.sent)
        return;
    const auto &m = messages.front();
    EXPECT_EQ(m.authMechanism, QString::fromLatin1(c.mechanism));
    if (*c.mechanism) {
        EXPECT_EQ(m.authUser, server.User());
    }
    EXPECT_EQ(m.tls, c.tls);
    EXPECT_EQ(m.rcptTos, QStringList{QStringLiteral("owner@example.com")});
}

INSTANTIATE_TEST_SUITE_P(Modes, SendEmailSecurity,
                         ::testing::Values(
                             // LOGIN is used when the server offers it and a user is given.
                             SecurityCase{"LoginOffered", Mode::Auth, "Auto", SecurityCase::Right,
                                          true, true, "LOGIN", false},
                             SecurityCase{"LowerCaseAutoIsPlain", Mode::Auth, "auto",
                                          SecurityCase::Right, true, true, "LOGIN", false},
                             SecurityCase{"UnknownModeIsPlain", Mode::Auth, "None",
                                          SecurityCase::Right, true, true, "LOGIN", false},
                             SecurityCase{"WrongPasswordRefused", Mode::Auth, "Auto",
                                          SecurityCase::Wrong, true, false, "", false},
                             SecurityCase{"NoUserNoLogin", Mode::Auth, "Auto", SecurityCase::None,
                                          true, true, "", false},
                             // AUTH without LOGIN, or no AUTH at all: sent without logging in.
                             SecurityCase{"PlainOnlyServer", Mode::PlainOnly, "Auto",
                                          SecurityCase::Right, true, true, "", false},
                             SecurityCase{"NoAuthServer", Mode::NoAuth, "Auto", SecurityCase::Right,
                                          true, true, "", false},
                             // STARTTLS is required by "TLS" and never attempted otherwise.
                             SecurityCase{"StartTls", Mode::StartTls, "TLS", SecurityCase::Right,
                                          true, true, "LOGIN", true},
                             SecurityCase{"TlsWithoutStartTlsOffer", Mode::NoAuth, "TLS",
                                          SecurityCase::Right, true, false, "", false},
                             SecurityCase{"AutoAgainstStartTlsRequired", Mode::StartTls, "Auto",
                                          SecurityCase::Right, true, false, "", false},
                             SecurityCase{"StartTlsUntrusted", Mode::StartTls, "TLS",
                                          SecurityCase::Right, false, false, "", false},
                             // "SSL": TLS from the first byte.
                             SecurityCase{"ImplicitTls", Mode::ImplicitTls, "SSL",
                                          SecurityCase::Right, true, true, "LOGIN", true},
                             SecurityCase{"ImplicitTlsUntrusted", Mode::ImplicitTls, "SSL",
                                          SecurityCase::Right, false, false, "", false},
                             SecurityCase{"SslAgainstPlainServer", Mode::NoAuth, "SSL",
                                          SecurityCase::Right, true, false, "", false}),
                         [](const auto &info) { return std::string(info.param.name); });

QByteArray SampleBytes() {
    QByteArray b;
    for (int i = 0; i < 256; ++i)
        b.append(static_cast<char>(i));
    b += "\r\n.\r\n..\n\r.end\r\n"; // dot lines and lone CR/LF survive untouched
    return b;
}

class SendEmailMessage : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.Start()) << server.Error(); }

    QString WriteFile(const QString &name, const QByteArray &data) {
        const QString path = dir.filePath(name);
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(data);
        return path;
    }

    SmtpTestServer server{Mode::Auth};
    QTemporaryDir dir;
};

TEST_F(SendEmailMessage, EnvelopeHeadersAndAttachment) {
    // "告警 2024" in GB18030, as the alert attachment file holds it.
    const QByteArray content = QByteArray::fromHex("b8e6beaf2032303234") + "\r\n" + SampleBytes();
    Send s;
    s.user = server.User();
    s.password = server.Password();
    s.to = QStringLiteral(" first@example.com ,second@example.org");
    s.cc = QStringLiteral("copy@example.net");
    s.bcc = QStringLiteral("hidden@example.com");
    s.subject = QStringLiteral("2024-03-05 Alert Infomation 设备告警");
    s.body = QString();
    s.attachment = WriteFile(QStringLiteral("Alert083015.txt"), content);
    s.receipt = true;
    QString reason;
    ASSERT_TRUE(Deliver(server, s, &reason)) << reason;

    const auto messages = server.Messages();
    ASSERT_EQ(messages.size(), 1u);
    const auto &m = messages.front();
    EXPECT_EQ(m.mailFrom, server.User());
    EXPECT_EQ(m.rcptTos, (QStringList{"first@example.com", "second@example.org", "copy@example.net",
                                      "hidden@example.com"}));

    EXPECT_EQ(m.Header("From"), server.User());
    EXPECT_EQ(m.Header("To"), QStringLiteral("first@example.com, second@example.org"));
    EXPECT_EQ(m.Header("Cc"), QStringLiteral("copy@example.net"));
    EXPECT_EQ(m.HeaderCount("Bcc"), 0);
    EXPECT_FALSE(m.raw.contains("hidden@example.com"));
    EXPECT_EQ(m.subject, s.subject);
    EXPECT_TRUE(m.Header("Subject")->startsWith(QLatin1String("=?UTF-8?B?")));
    EXPECT_EQ(m.Header("X-Priority"), QStringLiteral("2"));
    EXPECT_EQ(m.Header("Disposition-Notification-To"), server.User());
    EXPECT_EQ(m.Header("Return-Receipt-To"), server.User());
    EXPECT_EQ(m.Header("MIME-Version"), QStringLiteral("1.0"));
    ASSERT_TRUE(m.Header("Date"));
    EXPECT_TRUE(QDateTime::fromString(*m.Header("Date"), Qt::RFC2822Date).isValid())
        << *m.Header("Date");
    ASSERT_TRUE(m.Header("Message-ID"));
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^<[^<>@\\s]+@example\\.com>$"))
                    .match(*m.Header("Message-ID"))
                    .hasMatch())
        << *m.Header("Message-ID");

    ASSERT_EQ(m.attachments.size(), 1u);
    EXPECT_EQ(m.attachments[0].fileName, QStringLiteral("Alert083015.txt"));
    EXPECT_EQ(m.attachments[0].contentType, QStringLiteral("text/plain"));
    EXPECT_EQ(m.attachments[0].charset, QStringLiteral("GB18030"));
    EXPECT_EQ(m.attachments[0].data, content);
}

TEST_F(SendEmailMessage, PlainMailHasNoOptionalHeaders) {
    Send s;
    s.body = QStringLiteral("UserName:bob   Password:p&ss");
    ASSERT_TRUE(Deliver(server, s));
    const auto m = server.Messages().at(0);
    EXPECT_EQ(m.HeaderCount("Cc"), 0);
    EXPECT_EQ(m.HeaderCount("Disposition-Notification-To"), 0);
    EXPECT_EQ(m.HeaderCount("Return-Receipt-To"), 0);
    EXPECT_TRUE(m.attachments.empty());
    EXPECT_EQ(m.body.trimmed(), s.body);
    EXPECT_TRUE(m.raw.contains("UserName:bob   Password:p&ss"));
}

TEST_F(SendEmailMessage, TextsSurviveEncoding) {
    struct Case {
        QString subject;
        QString expectedSubject;
        QString fileName;
        QString body;
    };
    const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80").repeated(30); // 30 surrogate pairs
    const std::vector<Case> cases = {
        {QStringLiteral("plain ascii"), QStringLiteral("plain ascii"), QStringLiteral("a.bin"),
         QStringLiteral(".leading dot\nsecond line\n.\nend")},
        {QStringLiteral("告警信息").repeated(12), QStringLiteral("告警信息").repeated(12),
         QStringLiteral("报警 083015.txt"), QStringLiteral("中文正文\r\n第二行")},
        {emoji, emoji, QStringLiteral("quote \" and \\ name.bin"), QStringLiteral("x")},
        {QStringLiteral("=?UTF-8?B?not-a-word?="), QStringLiteral("=?UTF-8?B?not-a-word?="),
         QStringLiteral("name;with=odd(chars).dat"), QString()},
        // A line break in a subject must not start a new header.
        {QStringLiteral("one\r\nBcc: evil@example.com"),
         QStringLiteral("one  Bcc: evil@example.com"), QStringLiteral("b.bin"),
         QStringLiteral("b")},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case &c = cases[i];
        SCOPED_TRACE(c.subject.toStdString());
        Send s;
        s.subject = c.subject;
        s.body = c.body;
        s.attachment = WriteFile(c.fileName, SampleBytes());
        ASSERT_TRUE(Deliver(server, s));
        const auto messages = server.Messages();
        ASSERT_EQ(messages.size(), i + 1);
        const auto &m = messages.back();
        EXPECT_EQ(m.subject, c.expectedSubject);
        EXPECT_EQ(m.HeaderCount("Bcc"), 0);
        EXPECT_EQ(m.rcptTos, QStringList{QStringLiteral("owner@example.com")});
        QString body = m.body;
        body.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        QString expectedBody = c.body;
        expectedBody.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        EXPECT_EQ(body.trimmed(), expectedBody.trimmed());
        ASSERT_EQ(m.attachments.size(), 1u);
        EXPECT_EQ(m.attachments[0].fileName, c.fileName);
        EXPECT_EQ(m.attachments[0].data, SampleBytes());
        // No header line longer than the 998-character limit.
        for (const QByteArray &line : m.raw.split('\n'))
            EXPECT_LE(line.size(), 999);
    }
}

TEST_F(SendEmailMessage, UnusableInputSendsNothing) {
    struct Case {
        const char *name;
        Send send;
        QString host;
    };
    auto with = [](auto change) {
        Send s;
        change(s);
        return s;
    };
    const std::vector<Case> cases = {
        {"recipient with line break",
         with([](Send &s) { s.to = "a@example.com\r\nRCPT TO:<x@y>"; }),
         {}},
        {"recipient with blank", with([](Send &s) { s.to = "a b@example.com"; }), {}},
        {"no recipient", with([](Send &s) { s.to = " , "; }), {}},
        {"bad copy address", with([](Send &s) { s.cc = "c@example.com>"; }), {}},
        {"display name form", with([](Send &s) { s.to = "junk <a@example.com>"; }), {}},
        {"bad sender", with([](Send &s) { s.user = "me@example.com\r\nDATA"; }), {}},
        {"missing attachment",
         with([](Send &s) { s.attachment = "/nonexistent/Alert000000.txt"; }),
         {}},
        {"host with path", Send{}, QStringLiteral("127.0.0.1/evil")},
        {"host with bad port", Send{}, QStringLiteral("127.0.0.1:99999")},
        {"empty host", Send{}, QStringLiteral(" ")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QString reason;
        MailOptions options;
        options.failureReason = &reason;
        const Send &s = c.send;
        const QString host = c.host.isNull() ? server.HostPort() : c.host;
        EXPECT_FALSE(SendEmail(host, s.encrypt, s.user, s.password, s.to, s.subject, s.body,
                               s.attachment, s.cc, s.bcc, s.receipt, options));
        EXPECT_FALSE(reason.isEmpty());
    }
    EXPECT_TRUE(server.Messages().empty());
}

TEST(SendEmailDeadServer, ClosedPortFails) {
    const int port = mmstest::FreeTcpPort(); // nobody listens there
    for (const char *mode : {"Auto", "TLS", "SSL"}) {
        SCOPED_TRACE(mode);
        QString reason;
        MailOptions options;
        options.connectTimeout = std::chrono::seconds(3);
        options.failureReason = &reason;
        EXPECT_FALSE(SendEmail(QStringLiteral("127.0.0.1:%1").arg(port), QString::fromLatin1(mode),
                               QStringLiteral("me@example.com"), QStringLiteral("pw"),
                               QStringLiteral("you@example.com"), QStringLiteral("s"),
                               QStringLiteral("b"), QString(), QString(), QString(), false,
                               options));
        EXPECT_FALSE(reason.isEmpty());
    }
}

// A server that accepts and never answers: the kernel completes the
// connection, nobody reads or writes.
TEST(SendEmailDeadServer, CancelCutsAHangingExchangeOff) {
    QTcpServer silent;
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost));
    std::atomic<bool> stop{false};
    std::thread stopper([&stop] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stop = true;
    });
    QString reason;
    MailOptions options;
    options.failureReason = &reason;
    options.cancelled = [&stop] { return stop.load(); };
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(SendEmail(
        QStringLiteral("127.0.0.1:%1").arg(silent.serverPort()), QStringLiteral("Auto"),
        QStringLiteral("me@example.com"), QStringLiteral("pw"), QStringLiteral("you@example.com"),
        QStringLiteral("s"), QStringLiteral("b"), QString(), QString(), QString(), false, options));
    const qint64 took = clock.elapsed();
    stopper.join();
    EXPECT_FALSE(reason.isEmpty());
    // The reply timeout is 30 s; the cut comes within a poll of the stop.
    EXPECT_LT(took, 2000);
}

TEST(MailText, SecurityModeChoosesSchemeAndPort) {
    const struct {
        const char *host;
        const char *encrypt;
        const char *url; // nullptr: refused
        bool tls;
    } cases[] = {
        {"mail.example.com", "SSL", "smtps://mail.example.com:465/me", true},
        {"mail.example.com", "TLS", "smtp://mail.example.com:587/me", true},
        {"mail.example.com", "Auto", "smtp://mail.example.com:25/me", false},
        {"mail.example.com", "auto", "smtp://mail.example.com:25/me", false},
        {"mail.example.com", "ssl", "smtp://mail.example.com:25/me", false},
        {"mail.example.com", "", "smtp://mail.example.com:25/me", false},
        {" 10.0.0.5:2525 ", "TLS", "smtp://10.0.0.5:2525/me", true},
        {"[::1]:2525", "SSL", "smtps://[::1]:2525/me", true},
        {"[fe80::1]", "Auto", "smtp://[fe80::1]:25/me", false},
        {"", "Auto", nullptr, false},
        {"host:", "Auto", nullptr, false},
        {"host:0", "Auto", nullptr, false},
        {"host:65536", "Auto", nullptr, false},
        {"host:25:26", "Auto", nullptr, false},
        {"user@host", "Auto", nullptr, false},
        {"host/path", "Auto", nullptr, false},
        {"host name", "Auto", nullptr, false},
        {"[::1", "Auto", nullptr, false},
        {"[::1]x", "Auto", nullptr, false},
        {"[g::1]", "Auto", nullptr, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.host);
        const auto endpoint = mail::ParseSmtpEndpoint(QString::fromUtf8(c.host),
                                                      QString::fromLatin1(c.encrypt), "me");
        ASSERT_EQ(endpoint.has_value(), c.url != nullptr);
        if (endpoint) {
            EXPECT_EQ(endpoint->url, QByteArray(c.url));
            EXPECT_EQ(endpoint->tls, c.tls);
        }
    }
}

TEST(MailText, DateIsEnglishWithNumericZone) {
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const struct {
        QDateTime when;
        const char *text;
    } cases[] = {
        {QDateTime(QDate(2024, 3, 5), QTime(8, 30, 15), QTimeZone(3600)),
         "Tue, 05 Mar 2024 08:30:15 +0100"},
        {QDateTime(QDate(2023, 12, 31), QTime(23, 59, 59), QTimeZone(-(3 * 3600 + 30 * 60))),
         "Sun, 31 Dec 2023 23:59:59 -0330"},
        {QDateTime(QDate(2024, 7, 1), QTime(0, 0, 0), QTimeZone::utc()),
         "Mon, 01 Jul 2024 00:00:00 +0000"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(mail::RfcDate(c.when), QByteArray(c.text));
    QLocale::setDefault(saved);
}

TEST(MailText, EncodedWordsStayWithinLimit) {
    const QString subject =
        QStringLiteral("设备告警信息 ") + QString::fromUtf8("\xF0\x9F\x98\x80").repeated(40);
    const QByteArray encoded = mail::EncodeHeaderText(subject);
    for (const QByteArray &word : encoded.split('\n')) {
        const QByteArray w = word.trimmed();
        EXPECT_TRUE(w.startsWith("=?UTF-8?B?") && w.endsWith("?=")) << w.constData();
        EXPECT_LE(w.size(), 75);
    }
}

} // namespace
