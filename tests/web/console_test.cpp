// The web console of the real server, over real sockets: logins, the slowing
// of an address that fails, sessions that end, cross-site requests refused,
// the security headers, an account change, hostile input, the event socket
// with a simulated unit, and the refusal to serve beyond loopback in clear.
// Logins and the account change run on SQLite and, when the PostgreSQL test
// server is there, on PostgreSQL.
#include "AlarmOutbox.h"
#include "HistoryTables.h"
#include "NetD.h"
#include "ParamListTable.h"
#include "SchemaInstaller.h"
#include "SimFleet.h"
#include "TestSupport.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>
#include <QThread>
#include <QUrlQuery>
#include <QWebSocket>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

struct HttpReply {
    int status = 0;
    QList<QPair<QByteArray, QByteArray>> headers; // names in lower case
    QByteArray body;
    QByteArray Header(const QByteArray &name) const {
        for (const auto &[n, v] : headers)
            if (n == name)
                return v;
        return {};
    }
    QJsonObject Json() const { return QJsonDocument::fromJson(body).object(); }
};

// Sends raw bytes and reads one response (status 0 when the connection
// closed without one).
// With a CA file the exchange runs over TLS, the server's certificate
// checked against it.
HttpReply Exchange(int port, const QByteArray &raw, const QString &caFile = {}) {
    QSslSocket socket;
    HttpReply reply;
    if (caFile.isEmpty()) {
        socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
        if (!socket.waitForConnected(5000))
            return reply;
    } else {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setCaCertificates(QSslCertificate::fromPath(caFile));
        socket.setSslConfiguration(tls);
        socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), quint16(port));
        if (!socket.waitForEncrypted(10000))
            return reply;
    }
    socket.write(raw);
    QByteArray in;
    qsizetype headerEnd = -1;
    qsizetype length = -1;
    while (true) {
        if (headerEnd < 0 && (headerEnd = in.indexOf("\r\n\r\n")) >= 0) {
            const QList<QByteArray> lines = in.left(headerEnd).split('\n');
            reply.status = lines.value(0).split(' ').value(1).toInt();
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const qsizetype colon = lines[i].indexOf(':');
                if (colon > 0)
                    reply.headers.append({lines[i].left(colon).trimmed().toLower(),
                                          lines[i].mid(colon + 1).trimmed()});
            }
            length = reply.Header("content-length").toLongLong();
        }
        if (headerEnd >= 0 && in.size() >= headerEnd + 4 + length) {
            reply.body = in.mid(headerEnd + 4, length);
            return reply;
        }
        if (!socket.waitForReadyRead(10000))
            break;
        in += socket.readAll();
    }
    if (headerEnd < 0)
        reply.status = 0;
    return reply;
}

class Browser {
public:
    explicit Browser(int port, QString caFile = {}) : port_(port), caFile_(std::move(caFile)) {}
    HttpReply Send(const QByteArray &method, const QByteArray &path, const QByteArray &body = {},
                   QList<QPair<QByteArray, QByteArray>> extra = {}) {
        QByteArray raw = method + ' ' + path + " HTTP/1.1\r\nHost: " + Host() + "\r\n";
        if (!cookie_.isEmpty())
            raw += "Cookie: mms_session=" + cookie_ + "\r\n";
        if (!body.isEmpty())
            raw += "Content-Type: application/json\r\n";
        for (const auto &[n, v] : extra)
            raw += n + ": " + v + "\r\n";
        raw += "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
        return Exchange(port_, raw, caFile_);
    }
    // A state-changing request as the console's page sends it.
    HttpReply Change(const QByteArray &method, const QByteArray &path, const QJsonObject &body) {
        return Send(method, path, QJsonDocument(body).toJson(QJsonDocument::Compact),
                    {{"Origin", Origin()}, {"X-CSRF-Token", csrf_}});
    }
    HttpReply Login(const QString &user, const QString &password) {
        const HttpReply r = Send("POST", "/api/login",
                                 QJsonDocument(QJsonObject{{"user", user}, {"password", password}})
                                     .toJson(QJsonDocument::Compact),
                                 {{"Origin", Origin()}});
        if (r.status == 200) {
            const QByteArray setCookie = r.Header("set-cookie");
            cookie_ = setCookie.mid(setCookie.indexOf('=') + 1,
                                    setCookie.indexOf(';') - setCookie.indexOf('=') - 1);
            csrf_ = r.Json().value("csrf").toString().toLatin1();
        }
        return r;
    }
    QByteArray Host() const { return "127.0.0.1:" + QByteArray::number(port_); }
    QByteArray Origin() const { return (caFile_.isEmpty() ? "http://" : "https://") + Host(); }
    const QByteArray &Cookie() const { return cookie_; }

private:
    int port_;
    QString caFile_;
    QByteArray cookie_;
    QByteArray csrf_;
};

enum class Db { Sqlite, Postgres };

// A home whose server serves the web console on a free port, with the
// super user admin/secret and the operator log on; the unit SIM1 belongs
// to user1.
class WebServerFixture {
public:
    bool Make(Db db, const QString &extraSet = {}) {
        devicePort = mmstest::FreeTcpPort();
        webPort = mmstest::FreeTcpPort();
        home = mmstest::MakeMailingHome(mmstest::FreeTcpPort(), devicePort, 1);
        QString ini = QStringLiteral("[Set]\nDeviceConnectPort=%1\nDataBasePort=%2\n"
                                     "ClientConnectPort=%3\nWebPort=%4\n%5")
                          .arg(devicePort)
                          .arg(mmstest::FreeTcpPort())
                          .arg(mmstest::FreeTcpPort())
                          .arg(webPort)
                          .arg(extraSet);
        DbTarget target = home->SqliteTarget();
        if (db == Db::Postgres) {
            target = mmstest::CreatePgDatabase(QStringLiteral("mms_web"));
            pgName = target.databaseName;
            {
                TdmNet pg(target);
                InstallSchema(TdmNet::Session(pg).Connection(), 3, true);
                pg.Exec(QStringLiteral("insert into NormalParam (SetItem, SetValue) values (?, ?)"),
                        {QStringLiteral("ShowInfoHint"), QStringLiteral("1")});
                // As in the home's SQLite file: SIM1 belongs to user1.
                pg.Exec(QStringLiteral("insert into UserRegister (UserName, UserPassword, Email, "
                                       "UseState) values ('user1', 'pw', 'user1@example.com', 0)"));
                pg.Exec(QStringLiteral("insert into UserEquipment (UserName, EquipmentCode, "
                                       "EquipmentName, EquipmentType) values ('user1', 'SIM1', "
                                       "'Unit', '01')"));
            }
            QFile::remove(home->File(QStringLiteral("MonitorData.db")));
            ini += QStringLiteral("[Database]\nDriver=QPSQL\nHost=%1\nPort=%2\nName=%3\nUser=%4\n")
                       .arg(target.host)
                       .arg(target.port)
                       .arg(target.databaseName, target.user);
        }
        home->WriteFile(QStringLiteral("Set.ini"), ini.toUtf8());
        this->target = target;
        TdmNet data(target);
        data.Exec(QStringLiteral("insert into UserRegister (UserName, UserPassword, Email, "
                                 "UserPhone, UseState) values (?, ?, '@', '000', 6)"),
                  {QStringLiteral("admin"), QStringLiteral("secret")});
        return true;
    }
    bool Start(const QStringList &env = {}) {
        return server.Start({QStringLiteral("--home"), home->Path()}, env) &&
               server.WaitForPort(quint16(webPort));
    }
    ~WebServerFixture() {
        server.Terminate();
        if (!pgName.isEmpty())
            mmstest::DropPgDatabase(pgName);
    }

    std::unique_ptr<mmstest::TestHome> home;
    mmstest::ServerProcess server;
    int devicePort = 0;
    int webPort = 0;
    QString pgName;
    DbTarget target;
};

class WebConsoleOnBothDatabases : public ::testing::TestWithParam<Db> {
protected:
    void SetUp() override {
        if (GetParam() == Db::Postgres)
            MMS_REQUIRE_PG_OR_SKIP();
        ASSERT_TRUE(f.Make(GetParam()));
        ASSERT_TRUE(f.Start()) << f.server.StdErr().toStdString();
    }
    WebServerFixture f;
};

TEST_P(WebConsoleOnBothDatabases, LoginSessionLogoutAndAnAccountChange) {
    Browser b(f.webPort);
    EXPECT_EQ(b.Send("GET", "/api/session").status, 401);
    const struct {
        const char *name;
        QString user, password;
        int status;
    } logins[] = {{"wrong password", "admin", "Secret", 401},
                  {"unknown user", "nobody", "secret", 401},
                  {"ordinary user", "user1", "", 401},
                  {"super user", "admin", "secret", 200}};
    for (const auto &l : logins)
        EXPECT_EQ(b.Login(l.user, l.password).status, l.status) << l.name;

    const HttpReply session = b.Send("GET", "/api/session");
    EXPECT_EQ(session.status, 200);
    EXPECT_EQ(session.Json().value("user").toString(), "admin");

    // A new super user through the API, who can then log in; no password
    // comes back in the account list.
    EXPECT_EQ(b.Change("POST", "/api/accounts", {{"user", "ops"}, {"password", "pw2"}}).status,
              200);
    EXPECT_EQ(b.Change("POST", "/api/accounts", {{"user", "ops"}, {"password", "x"}}).status, 409);
    const HttpReply accounts = b.Send("GET", "/api/accounts");
    ASSERT_EQ(accounts.status, 200);
    EXPECT_FALSE(accounts.body.contains("secret"));
    EXPECT_FALSE(accounts.body.contains("pw2"));
    bool found = false;
    for (const QJsonValue &v : accounts.Json().value("accounts").toArray())
        found = found ||
                (v.toObject().value("user") == "ops" && v.toObject().value("state") == "super");
    EXPECT_TRUE(found) << accounts.body.toStdString();
    Browser ops(f.webPort);
    EXPECT_EQ(ops.Login("ops", "pw2").status, 200);
    // Deleting the account ends its sessions.
    EXPECT_EQ(b.Change("POST", "/api/accounts/delete", {{"user", "ops"}}).status, 200);
    EXPECT_EQ(ops.Send("GET", "/api/session").status, 401);
    EXPECT_EQ(ops.Login("ops", "pw2").status, 401);

    const HttpReply logout = b.Change("POST", "/api/logout", {});
    EXPECT_EQ(logout.status, 200);
    EXPECT_TRUE(logout.Header("set-cookie").contains("Max-Age=0"));
    EXPECT_EQ(b.Send("GET", "/api/session").status, 401);
}

// Unit codes in JSON arrays of objects under a key.
QStringList Values(const QJsonArray &rows, const char *key) {
    QStringList out;
    for (const QJsonValue &v : rows)
        out.append(v.toObject().value(QLatin1String(key)).toString());
    return out;
}

QByteArray Iso(const QDateTime &t) {
    return QUrl::toPercentEncoding(t.toString(Qt::ISODate));
}

TEST_P(WebConsoleOnBothDatabases, TheUnitAlarmAndAssignmentAnswersReadAndChangeTheTables) {
    // SIM1 (user1's): two answers with a temperature, one alarm report, a
    // parameter list and an alert mail line waiting.
    const QDateTime now = QDateTime::currentDateTime().addSecs(-60);
    {
        TdmNet data(f.target);
        THistoryTables tables(data);
        tables.InsertQuery(
            {"Tower", "SIM1", "02", "General", "04010519", now.addSecs(-7200), now.addSecs(-7199)});
        tables.InsertQuery(
            {"Tower", "SIM1", "02", "General", "0401051A", now.addSecs(-3600), now.addSecs(-3599)});
        tables.InsertAlarm("SIM1", "04010301", now.addSecs(-1800));
        QString list = QStringLiteral("01050103");
        TParamListTable(data).StorePage("SIM1", 1, list);
        TAlarmOutbox(data).SaveChanges({}, {{0, "SIM1", "Power Failure Alarm", "Alert", "t"}});
    }
    Browser b(f.webPort);
    ASSERT_EQ(b.Login("admin", "secret").status, 200);

    const HttpReply unit = b.Send("GET", "/api/unit?code=SIM1");
    ASSERT_EQ(unit.status, 200) << unit.body.toStdString();
    EXPECT_EQ(Values(unit.Json().value("owners").toArray(), "user"), QStringList{"user1"});
    EXPECT_EQ(Values(unit.Json().value("params").toArray(), "param"),
              (QStringList{"0501", "0301"}));
    EXPECT_EQ(unit.Json().value("fleet").toObject().value("code"), "SIM1");
    EXPECT_EQ(b.Send("GET", "/api/unit?code=NOSUCH").status, 404);

    // The default range is the last day; a narrower one leaves the older answer out.
    const HttpReply day = b.Send("GET", "/api/unit/history?code=SIM1");
    ASSERT_EQ(day.status, 200) << day.body.toStdString();
    EXPECT_EQ(Values(day.Json().value("entries").toArray(), "kind"),
              (QStringList{"report", "query", "query"}));
    const QJsonArray series = day.Json().value("series").toArray();
    ASSERT_EQ(series.size(), 1);
    EXPECT_EQ(series[0].toObject().value("param"), "0501");
    EXPECT_EQ(series[0].toObject().value("unit"), "degC");
    const QJsonArray points = series[0].toObject().value("points").toArray();
    ASSERT_EQ(points.size(), 2);
    EXPECT_EQ(points[0].toArray()[1].toDouble(), 25.0); // oldest first
    EXPECT_EQ(points[1].toArray()[1].toDouble(), 26.0);
    const HttpReply hour = b.Send(
        "GET", "/api/unit/history?code=SIM1&from=" + Iso(now.addSecs(-5400)) + "&to=" + Iso(now));
    EXPECT_EQ(Values(hour.Json().value("entries").toArray(), "kind"),
              (QStringList{"report", "query"}));

    // Every unit's reports, and one unit's.
    for (const QByteArray &path :
         {QByteArray("/api/alarms"), QByteArray("/api/alarms?code=SIM1")}) {
        const HttpReply alarms = b.Send("GET", path);
        ASSERT_EQ(alarms.status, 200) << path.toStdString();
        const QJsonArray entries = alarms.Json().value("entries").toArray();
        ASSERT_EQ(entries.size(), 1) << path.toStdString();
        EXPECT_EQ(entries[0].toObject().value("code"), "SIM1");
        EXPECT_EQ(entries[0].toObject().value("items").toArray()[0].toObject().value("value"),
                  "Alert");
    }
    EXPECT_TRUE(b.Send("GET", "/api/alarms?code=SIM2").Json().value("entries").toArray().isEmpty());
    const HttpReply mail = b.Send("GET", "/api/alarms/mail");
    ASSERT_EQ(mail.status, 200);
    EXPECT_EQ(Values(mail.Json().value("waiting").toArray(), "code"), QStringList{"SIM1"});

    // Assigning and taking away, as the accounts page does; the fleet learns
    // of the new owner.
    const auto unitsOf = [&](const char *user) {
        return Values(b.Send("GET", QByteArray("/api/accounts/units?user=") + user)
                          .Json()
                          .value("units")
                          .toArray(),
                      "code");
    };
    EXPECT_EQ(unitsOf("user1"), QStringList{"SIM1"});
    const QJsonObject sim9{{"user", "user1"}, {"code", "SIM9"}, {"name", "Ninth"}};
    EXPECT_EQ(b.Change("POST", "/api/accounts/units", sim9).status, 200);
    EXPECT_EQ(b.Change("POST", "/api/accounts/units", sim9).status, 409) << "has it already";
    EXPECT_EQ(
        b.Change("POST", "/api/accounts/units", {{"user", "nobody"}, {"code", "SIM9"}}).status,
        409);
    EXPECT_EQ(unitsOf("user1"), (QStringList{"SIM1", "SIM9"}));
    const auto ownersOf9 = [&] {
        for (const QJsonValue &v : b.Send("GET", "/api/fleet").Json().value("units").toArray())
            if (v.toObject().value("code") == "SIM9")
                return v.toObject().value("owners").toArray();
        return QJsonArray();
    };
    EXPECT_TRUE(mmstest::PumpEventsUntil([&] { return ownersOf9() == QJsonArray{"user1"}; }, 10s));
    const QJsonObject take9{{"user", "user1"}, {"code", "SIM9"}};
    EXPECT_EQ(b.Change("DELETE", "/api/accounts/units", take9).status, 200);
    EXPECT_EQ(b.Change("DELETE", "/api/accounts/units", take9).status, 409) << "has it no longer";
    EXPECT_EQ(unitsOf("user1"), QStringList{"SIM1"});
}

INSTANTIATE_TEST_SUITE_P(Db, WebConsoleOnBothDatabases, ::testing::Values(Db::Sqlite, Db::Postgres),
                         [](const auto &info) {
                             return info.param == Db::Sqlite ? "SQLite" : "PostgreSQL";
                         });

class WebConsole : public ::testing::Test {
protected:
    void Start(const QStringList &env = {}) {
        ASSERT_TRUE(f.Make(Db::Sqlite));
        ASSERT_TRUE(f.Start(env)) << f.server.StdErr().toStdString();
    }
    WebServerFixture f;
};

TEST_F(WebConsole, PagesAndAnswersCarryThePolicyHeadersAndTheCookieIsStrict) {
    Start();
    Browser b(f.webPort);
    for (const char *path : {"/", "/app.js", "/style.css", "/lib/chart.min.js", "/api/status"}) {
        const HttpReply r = b.Send("GET", path);
        EXPECT_EQ(r.status, QByteArray(path) == "/api/status" ? 401 : 200) << path;
        const QByteArray csp = r.Header("content-security-policy");
        EXPECT_TRUE(csp.contains("default-src 'self'")) << path;
        EXPECT_TRUE(csp.contains("frame-ancestors 'none'")) << path;
        EXPECT_FALSE(csp.contains("unsafe-inline")) << path;
        EXPECT_EQ(r.Header("x-content-type-options"), "nosniff") << path;
        EXPECT_EQ(r.Header("referrer-policy"), "no-referrer") << path;
    }
    EXPECT_EQ(b.Send("GET", "/../../etc/passwd").status, 404);
    const HttpReply login = b.Login("admin", "secret");
    ASSERT_EQ(login.status, 200);
    const QByteArray cookie = login.Header("set-cookie");
    for (const char *attribute : {"HttpOnly", "SameSite=Strict", "Path=/"})
        EXPECT_TRUE(cookie.contains(attribute)) << attribute;
    EXPECT_EQ(b.Cookie().size(), 64);
    const HttpReply status = b.Send("GET", "/api/status");
    EXPECT_EQ(status.Json().value("databaseKind").toString(), "SQLite");
    EXPECT_EQ(status.Json().value("ports").toObject().value("web").toInt(), f.webPort);
}

TEST_F(WebConsole, FiveFailedLoginsSlowTheAddressDown) {
    Start();
    Browser b(f.webPort);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(b.Login("admin", "wrong").status, 401) << i;
    EXPECT_EQ(b.Login("admin", "wrong").status, 401);
    // Now even the right password waits.
    const HttpReply slowed = b.Login("admin", "secret");
    EXPECT_EQ(slowed.status, 429);
    EXPECT_GE(slowed.Header("retry-after").toInt(), 1);
}

TEST_F(WebConsole, CrossSiteAndTokenlessChangesAreRefused) {
    Start();
    Browser b(f.webPort);
    ASSERT_EQ(b.Login("admin", "secret").status, 200);
    const QByteArray body = R"({"showInfoHint":true})";
    const struct {
        const char *name;
        QList<QPair<QByteArray, QByteArray>> headers;
        int status;
    } cases[] = {
        {"no token", {{"Origin", "http://" + b.Host()}}, 403},
        {"wrong token", {{"Origin", "http://" + b.Host()}, {"X-CSRF-Token", "00"}}, 403},
        {"other site", {{"Origin", "http://evil.example"}, {"X-CSRF-Token", "00"}}, 403},
    };
    for (const auto &c : cases)
        EXPECT_EQ(b.Send("PUT", "/api/settings", body, c.headers).status, c.status) << c.name;
    // A form of another site cannot send JSON.
    EXPECT_EQ(Exchange(f.webPort, "POST /api/login HTTP/1.1\r\nHost: " + b.Host() +
                                      "\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                                      "Content-Length: 3\r\n\r\na=b")
                  .status,
              415);
    EXPECT_EQ(b.Change("PUT", "/api/settings", QJsonObject{{"showInfoHint", true}}).status, 200);
}

TEST_F(WebConsole, BadAndOversizeInputIsRefusedAndTheServerGoesOn) {
    Start({QStringLiteral("MMS_WEB_REQUEST_MS=500")});
    Browser b(f.webPort);
    ASSERT_EQ(b.Login("admin", "secret").status, 200);
    const struct {
        const char *name;
        QByteArray body;
        int status;
    } bodies[] = {
        {"not JSON", "{user:", 400},
        {"an array", "[1]", 400},
        {"user of another type", R"({"user":5,"password":"x"})", 400},
        {"days out of range", R"({"queryDays":0,"alarmDays":5})", 400},
        {"switch of another type", R"({"showInfoHint":"yes"})", 400},
        {"large body", "{\"a\":\"" + QByteArray(100 * 1024, 'x') + "\"}", 413},
    };
    for (const auto &c : bodies) {
        const QByteArray path =
            QByteArray(c.name).startsWith("user") ? "/api/accounts" : "/api/settings";
        const QByteArray method = path == "/api/accounts" ? "POST" : "PUT";
        QList<QPair<QByteArray, QByteArray>> headers{{"Origin", "http://" + b.Host()}};
        // The token is read from the session answer.
        headers.append({"X-CSRF-Token",
                        b.Send("GET", "/api/session").Json().value("csrf").toString().toLatin1()});
        EXPECT_EQ(b.Send(method, path, c.body, headers).status, c.status) << c.name;
    }
    // Too many header lines, and far too many (Qt's parser drops them all,
    // Host with them); no Host at all.
    for (const auto &[lines, status] : {std::pair{80, 431}, std::pair{150, 400}}) {
        QByteArray many = "GET /api/session HTTP/1.1\r\nHost: " + b.Host() + "\r\n";
        for (int i = 0; i < lines; ++i)
            many += "X-Filler-" + QByteArray::number(i) + ": 1\r\n";
        EXPECT_EQ(Exchange(f.webPort, many + "\r\n").status, status) << lines;
    }
    EXPECT_EQ(Exchange(f.webPort, "GET / HTTP/1.1\r\n\r\n").status, 400);
    // A request larger than any the console takes is cut off with 413.
    const QByteArray huge =
        "POST /api/login HTTP/1.1\r\nHost: " + b.Host() +
        "\r\nContent-Type: application/json\r\nContent-Length: 4000000\r\n\r\n" +
        QByteArray(2 * 1024 * 1024, 'x');
    EXPECT_EQ(Exchange(f.webPort, huge).status, 413);
    // Not HTTP at all: the connection closes.
    const char garbage[] = "\x16\x03\x01\x00\xff garbage\r\n\r\n";
    EXPECT_EQ(Exchange(f.webPort, QByteArray(garbage, sizeof garbage - 1)).status, 0);
    // A request that never ends is cut off (the deadline is shortened here).
    EXPECT_EQ(Exchange(f.webPort, "GET /api/session HTTP/1.1\r\nHost: " + b.Host()).status, 408);
    EXPECT_EQ(b.Send("GET", "/api/session").status, 200) << "still serving";
}

TEST_F(WebConsole, BadQueriesOfTheUnitAlarmAndAssignmentAnswersAreRefused) {
    Start();
    Browser b(f.webPort);
    ASSERT_EQ(b.Login("admin", "secret").status, 200);
    const QByteArray longCode(65, 'A');
    const struct {
        const char *method;
        QByteArray path;
        int status;
    } reads[] = {
        {"GET", "/api/unit", 400},
        {"GET", "/api/unit?code=", 400},
        {"GET", "/api/unit?code=" + longCode, 400},
        {"GET", "/api/unit?code=SIM%01", 400},
        {"GET", "/api/unit/history", 400},
        {"GET", "/api/unit/history?code=SIM1&from=yesterday", 400},
        {"GET", "/api/unit/history?code=SIM1&from=2026-02-01T00:00:00&to=2026-01-01T00:00:00", 400},
        {"GET", "/api/unit/history?code=SIM1&from=2020-01-01T00:00:00&to=2026-01-01T00:00:00", 400},
        {"GET", "/api/unit/history?code=SIM1&limit=0", 400},
        {"GET", "/api/unit/history?code=SIM1&limit=100000", 400},
        {"GET", "/api/unit/history?code=SIM1&limit=many", 400},
        {"GET", "/api/alarms?from=" + QByteArray(200, '2'), 400},
        {"GET", "/api/alarms?code=" + longCode, 400},
        {"GET", "/api/accounts/units", 400},
        {"GET", "/api/accounts/units?user=" + longCode, 400},
        {"POST", "/api/unit", 405},
        {"PUT", "/api/alarms", 405},
        {"PUT", "/api/accounts/units", 405},
        {"GET", "/api/unit/history?code=SIM1&limit=10", 200},
    };
    const QByteArray csrf =
        b.Send("GET", "/api/session").Json().value("csrf").toString().toLatin1();
    for (const auto &c : reads)
        EXPECT_EQ(b.Send(c.method, c.path, {}, {{"X-CSRF-Token", csrf}}).status, c.status)
            << c.method << ' ' << c.path.toStdString();

    const struct {
        const char *name;
        QJsonObject body;
        int status;
    } changes[] = {
        {"no code", {{"user", "user1"}}, 400},
        {"empty user", {{"user", " "}, {"code", "SIM5"}}, 400},
        {"code of another type", {{"user", "user1"}, {"code", 5}}, 400},
        {"long code", {{"user", "user1"}, {"code", QString(longCode)}}, 400},
        {"type not hex", {{"user", "user1"}, {"code", "SIM5"}, {"type", "ZZ"}}, 400},
        {"name of another type", {{"user", "user1"}, {"code", "SIM5"}, {"name", true}}, 400},
    };
    for (const auto &c : changes)
        EXPECT_EQ(b.Change("POST", "/api/accounts/units", c.body).status, c.status) << c.name;
    // Without the request token: refused before anything changes.
    EXPECT_EQ(b.Send("POST", "/api/accounts/units", R"({"user":"user1","code":"SIM5"})").status,
              403);
    EXPECT_EQ(
        b.Send("GET", "/api/accounts/units?user=user1").Json().value("units").toArray().size(), 1);

    // The account file: exported as a download; an import of what is not
    // one is refused and the server goes on.
    const HttpReply file = b.Send("GET", "/api/accounts/export");
    EXPECT_EQ(file.status, 200);
    EXPECT_TRUE(file.Header("content-disposition").startsWith("attachment"));
    EXPECT_TRUE(file.body.contains("user1"));
    EXPECT_EQ(b.Change("POST", "/api/accounts/import", {{"file", "not base64!"}}).status, 400);
    EXPECT_EQ(b.Change("POST", "/api/accounts/import", {{"file", 5}}).status, 400);
    EXPECT_EQ(
        b.Change("POST", "/api/accounts/import", {{"file", QString(QByteArray("junk").toBase64())}})
            .status,
        422);
    EXPECT_EQ(b.Send("GET", "/api/session").status, 200) << "still serving";
}

TEST_F(WebConsole, AnIdleSessionEnds) {
    // The idle time is shortened for the test; the session's end is waited for.
    Start({QStringLiteral("MMS_WEB_IDLE_MS=300")});
    Browser b(f.webPort);
    ASSERT_EQ(b.Login("admin", "secret").status, 200);
    bool ended = false;
    for (int i = 0; i < 100 && !ended; ++i) {
        QThread::msleep(100);
        ended = b.Send("GET", "/api/fleet").status == 401;
        // A request restarts the idle time: ask again only after it passed.
        QThread::msleep(400);
    }
    EXPECT_TRUE(ended);
}

// The events of one event-socket message: one object, or an array of them.
QList<QJsonObject> EventsOf(const QString &text) {
    const QJsonDocument d = QJsonDocument::fromJson(text.toUtf8());
    if (d.isObject())
        return {d.object()};
    QList<QJsonObject> events;
    for (const QJsonValue &v : d.array())
        events.append(v.toObject());
    return events;
}

// An event socket opened as the console's page opens it.
std::unique_ptr<QWebSocket> OpenEvents(Browser &b, const QString &origin) {
    auto socket = std::make_unique<QWebSocket>(origin);
    QNetworkRequest request(QUrl(QStringLiteral("ws://%1/api/events").arg(QString(b.Host()))));
    if (!b.Cookie().isEmpty())
        request.setRawHeader("Cookie", "mms_session=" + b.Cookie());
    socket->open(request);
    return socket;
}

TEST_F(WebConsole, TheEventSocketStreamsAUnitsConnectionAndTheFleetShowsIt) {
    Start();
    Browser b(f.webPort);
    ASSERT_EQ(b.Login("admin", "secret").status, 200);

    // Refused: no session, another site.
    Browser stranger(f.webPort);
    for (auto *socket : {OpenEvents(stranger, "http://" + b.Host()).release(),
                         OpenEvents(b, QStringLiteral("http://evil.example")).release()}) {
        std::unique_ptr<QWebSocket> owned(socket);
        int messages = 0;
        QObject::connect(socket, &QWebSocket::textMessageReceived, [&] { ++messages; });
        EXPECT_TRUE(mmstest::PumpEventsUntil(
            [&] { return socket->state() == QAbstractSocket::UnconnectedState; }, 10s));
        EXPECT_EQ(messages, 0);
    }

    auto socket = OpenEvents(b, "http://" + b.Host());
    QList<QJsonObject> events;
    // The fleet's changes come on the same socket, apart from the events.
    QList<QJsonObject> fleetChanges;
    QObject::connect(socket.get(), &QWebSocket::textMessageReceived, [&](const QString &text) {
        const QJsonObject o = QJsonDocument::fromJson(text.toUtf8()).object();
        if (o.contains("fleet"))
            fleetChanges.append(o.value("fleet").toObject());
        else
            events.append(EventsOf(text));
    });
    ASSERT_TRUE(mmstest::PumpEventsUntil(
        [&] { return socket->state() == QAbstractSocket::ConnectedState; }, 10s));

    TSimFleetConfig config;
    config.port = quint16(f.devicePort);
    config.heartbeatSeconds = 1;
    TSimFleet fleet(config, nullptr, nullptr);
    ASSERT_TRUE(fleet.Start());
    const auto seen = [&](const char *kind, bool withUnit) {
        return std::any_of(events.begin(), events.end(), [&](const QJsonObject &e) {
            return e.value("kind") == kind && e.value("address") == "127.0.0.1" &&
                   e.value("port").toInt() > 0 && (!withUnit || e.value("unit") == "SIM1");
        });
    };
    EXPECT_TRUE(mmstest::PumpEventsUntil([&] { return seen("connect", false); }, 20s));
    EXPECT_TRUE(mmstest::PumpEventsUntil([&] { return seen("heartbeat", true); }, 20s));
    for (const QJsonObject &e : events) {
        EXPECT_FALSE(e.value("text").toString().isEmpty());
        EXPECT_TRUE(e.value("colour").toString().startsWith('#'));
        EXPECT_TRUE(QDateTime::fromString(e.value("time").toString(), Qt::ISODateWithMs).isValid());
    }

    const auto unit = [&] {
        for (const QJsonValue &v : b.Send("GET", "/api/fleet").Json().value("units").toArray())
            if (v.toObject().value("code") == "SIM1")
                return v.toObject();
        return QJsonObject();
    };
    EXPECT_TRUE(mmstest::PumpEventsUntil([&] { return unit().value("online").toBool(); }, 10s));
    // The feed began with the whole fleet (SIM1 assigned, off line) and
    // then brought SIM1's row on line, and its heartbeat times.
    const auto fedRow = [&](bool online, qsizetype after = 0) {
        return std::any_of(
            fleetChanges.begin() + after, fleetChanges.end(), [&](const QJsonObject &c) {
                const QJsonArray rows = c.value("rows").toArray();
                return std::any_of(rows.begin(), rows.end(), [&](const QJsonValue &r) {
                    return r.toObject().value("code") == "SIM1" &&
                           r.toObject().value("online").toBool() == online;
                });
            });
    };
    ASSERT_FALSE(fleetChanges.isEmpty());
    EXPECT_TRUE(fleetChanges.first().value("reset").toBool());
    EXPECT_TRUE(mmstest::PumpEventsUntil([&] { return fedRow(true); }, 10s));
    const qsizetype whileOnline = fleetChanges.size();
    EXPECT_TRUE(mmstest::PumpEventsUntil(
        [&] {
            return std::any_of(fleetChanges.begin(), fleetChanges.end(), [](const QJsonObject &c) {
                return !c.value("beats").toArray().isEmpty();
            });
        },
        10s));
    fleet.Stop();
    EXPECT_TRUE(mmstest::PumpEventsUntil([&] { return seen("disconnect", false); }, 20s));
    EXPECT_TRUE(mmstest::PumpEventsUntil(
        [&] { return !unit().isEmpty() && !unit().value("online").toBool(); }, 10s));
    EXPECT_TRUE(mmstest::PumpEventsUntil([&] { return fedRow(false, whileOnline); }, 10s));

    // Logging out closes the socket.
    EXPECT_EQ(b.Change("POST", "/api/logout", {}).status, 200);
    EXPECT_TRUE(mmstest::PumpEventsUntil(
        [&] { return socket->state() == QAbstractSocket::UnconnectedState; }, 10s));
    // Every closed socket, refused or not, gave its connection back: only
    // the status request's own is open.
    Browser other(f.webPort);
    ASSERT_EQ(other.Login("admin", "secret").status, 200);
    EXPECT_TRUE(mmstest::PumpEventsUntil(
        [&] {
            const QJsonObject status = other.Send("GET", "/api/status").Json();
            return status.value("webConnections").toInt() == 1 &&
                   status.value("webSockets").toInt() == 0;
        },
        10s));
}

TEST_F(WebConsole, AUnitsAlarmReportsArriveDecodedOnTheEventSocket) {
    Start();
    Browser b(f.webPort);
    ASSERT_EQ(b.Login("admin", "secret").status, 200);
    auto socket = OpenEvents(b, "http://" + b.Host());
    QList<QJsonObject> reports;
    QObject::connect(socket.get(), &QWebSocket::textMessageReceived, [&](const QString &text) {
        for (const QJsonObject &o : EventsOf(text))
            if (o.value("kind") == "report" && o.contains("alarms"))
                reports.append(o);
    });
    ASSERT_TRUE(mmstest::PumpEventsUntil(
        [&] { return socket->state() == QAbstractSocket::ConnectedState; }, 10s));
    TSimFleetConfig config;
    config.port = quint16(f.devicePort);
    config.heartbeatSeconds = 1;
    config.alarmRate = 5;
    TSimFleet fleet(config, nullptr, nullptr);
    ASSERT_TRUE(fleet.Start());
    ASSERT_TRUE(mmstest::PumpEventsUntil([&] { return !reports.isEmpty(); }, 20s));
    const QJsonObject report = reports.first();
    EXPECT_EQ(report.value("unit"), "SIM1");
    const QJsonObject alarm = report.value("alarms").toArray().first().toObject();
    EXPECT_EQ(alarm.value("param").toString().size(), 4);
    EXPECT_FALSE(alarm.value("parameter").toString().isEmpty());
    EXPECT_FALSE(alarm.value("state").toString().isEmpty());
    // And the report is in the history the alarms page reads.
    EXPECT_TRUE(mmstest::PumpEventsUntil(
        [&] { return !b.Send("GET", "/api/alarms").Json().value("entries").toArray().isEmpty(); },
        20s));
    fleet.Stop();
}

TEST_F(WebConsole, WithTheTlsFilesItServesHttpsAndTheCookieIsSecure) {
    QTemporaryDir certs;
    const QString cert = certs.filePath(QStringLiteral("cert.pem"));
    const QString key = certs.filePath(QStringLiteral("key.pem"));
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                   "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1",
                   "-keyout", key, "-out", cert});
    ASSERT_TRUE(openssl.waitForFinished(60000) && openssl.exitCode() == 0)
        << openssl.readAllStandardError().toStdString();
    ASSERT_TRUE(
        f.Make(Db::Sqlite, QStringLiteral("WebCertFile=%1\nWebKeyFile=%2\n").arg(cert, key)));
    ASSERT_TRUE(f.Start()) << f.server.StdErr().toStdString();
    EXPECT_TRUE(f.server.StdErr().contains(QStringLiteral("web console https://127.0.0.1:")) ||
                f.server.WaitForLine(QStringLiteral("Web console at https://127.0.0.1:")))
        << f.server.StdErr().toStdString();

    Browser b(f.webPort, cert);
    const HttpReply page = b.Send("GET", "/");
    EXPECT_EQ(page.status, 200);
    EXPECT_FALSE(page.Header("strict-transport-security").isEmpty());
    const HttpReply login = b.Login("admin", "secret");
    ASSERT_EQ(login.status, 200);
    EXPECT_TRUE(login.Header("set-cookie").contains("Secure"));
    EXPECT_EQ(b.Change("PUT", "/api/settings", QJsonObject{{"showInfoHint", true}}).status, 200);
    // Plain HTTP on the TLS port gets no answer.
    EXPECT_EQ(Exchange(f.webPort, "GET / HTTP/1.1\r\nHost: " + b.Host() + "\r\n\r\n").status, 0);
}

TEST_F(WebConsole, BeyondLoopbackWithoutTlsTheWebPortIsRefusedAndTheRestRuns) {
    ASSERT_TRUE(f.Make(Db::Sqlite, QStringLiteral("WebListen=0.0.0.0\n")));
    ASSERT_TRUE(f.server.Start({QStringLiteral("--home"), f.home->Path()}));
    ASSERT_TRUE(f.server.WaitForPort(quint16(f.devicePort)));
    const auto line = f.server.WaitForLine(QStringLiteral("Web console not started"));
    ASSERT_TRUE(line) << f.server.StdErr().toStdString();
    EXPECT_TRUE(line->contains(QStringLiteral("WebListen=0.0.0.0 is beyond loopback")));
    QTcpSocket probe;
    probe.connectToHost(QStringLiteral("127.0.0.1"), quint16(f.webPort));
    EXPECT_FALSE(probe.waitForConnected(1000));
}

} // namespace
