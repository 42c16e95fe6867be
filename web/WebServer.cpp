#include "WebServer.h"

#include "CommInfoHintSink.h"
#include "EventJson.h"
#include "ModelFleet.h"
#include "OperatorService.h"
#include "PublicU.h"
#include "ThreadCheck.h"
#include "WebEventQueue.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QHttpServerRequest>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSslServer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUrl>
#include <QUrlQuery>
#include <QWebSocket>

#include <deque>
#include <map>
#include <tuple>
#include <unistd.h>

namespace {

using Method = QHttpServerRequest::Method;

// Counts the bytes of the request under way on one connection and cuts the
// connection with 413 when they pass MaxRequest, before the parser (which
// keeps a whole request in memory) sees more. Its readyRead slot is
// connected before the parser's, so it runs first; an upgrade to a
// WebSocket disconnects both.
//
// It also counts the open connections: a child of the socket, it goes when
// the socket goes, whoever deletes it (the WebSocket upgrade cuts every
// signal connection of the socket, so a slot on its destroyed() would not).
//
// A request must also be whole within a deadline from its first byte
// (408 otherwise), so that connections cannot be held by requests that never
// end; handleRequest tells the guard when one is whole.
class TRequestGuard : public QObject {
public:
    static constexpr const char *Name = "mms-request-guard";

    TRequestGuard(QTcpSocket *socket, QObject *parser, bool tls, std::shared_ptr<int> open,
                  std::chrono::milliseconds deadline)
        : QObject(socket), socket_(socket), parser_(parser), tls_(tls), open_(std::move(open)) {
        setObjectName(QLatin1String(Name));
        ++*open_;
        socket->setReadBufferSize(TWebRequestLimits::MaxRequest + 64 * 1024);
        connect(socket, &QTcpSocket::readyRead, this, [this] { OnReadyRead(); });
        deadline_.setSingleShot(true);
        deadline_.setInterval(deadline);
        connect(&deadline_, &QTimer::timeout, this,
                [this] { Refuse(408, QStringLiteral("the request did not arrive in time")); });
    }
    ~TRequestGuard() override { --*open_; }

    // The request under way is whole (the parser handed it over).
    void RequestDone() {
        deadline_.stop();
        bytes_ = 0;
    }

    static TRequestGuard *Of(QTcpSocket *socket) {
        return static_cast<TRequestGuard *>(
            socket->findChild<QObject *>(QLatin1String(Name), Qt::FindDirectChildrenOnly));
    }

private:
    void OnReadyRead() {
        if (!deadline_.isActive())
            deadline_.start(); // the first bytes of a request
        bytes_ += socket_->bytesAvailable();
        if (bytes_ > TWebRequestLimits::MaxRequest)
            Refuse(413, QStringLiteral("the request is too large"));
    }

    void Refuse(int status, const QString &why) {
        deadline_.stop();
        disconnect(socket_, &QTcpSocket::readyRead, parser_, nullptr);
        disconnect(socket_, &QTcpSocket::readyRead, this, nullptr);
        socket_->write(SerializeResponse(TWebResponse::Error(status, why), tls_, false, true));
        socket_->disconnectFromHost();
    }

    QTcpSocket *socket_;
    QObject *parser_;
    bool tls_;
    std::shared_ptr<int> open_;
    QTimer deadline_;
    qint64 bytes_ = 0;
};

// A listening server that refuses connections beyond a cap and puts a
// request guard on each connection it hands to the HTTP server.
template <class Base> class TGuardedServer : public Base {
public:
    TGuardedServer(QObject *parser, bool tls, int maxConnections, std::shared_ptr<int> open,
                   std::chrono::milliseconds deadline)
        : parser_(parser), tls_(tls), maxConnections_(maxConnections), open_(std::move(open)),
          deadline_(deadline) {}

    QTcpSocket *nextPendingConnection() override {
        QTcpSocket *socket = Base::nextPendingConnection();
        if (socket)
            new TRequestGuard(socket, parser_, tls_, open_, deadline_);
        return socket;
    }

protected:
    void incomingConnection(qintptr handle) override {
        if (*open_ >= maxConnections_) {
            ::close(static_cast<int>(handle));
            return;
        }
        Base::incomingConnection(handle);
    }

private:
    QObject *parser_;
    bool tls_;
    int maxConnections_;
    std::shared_ptr<int> open_;
    std::chrono::milliseconds deadline_;
};

QString PeerText(const QHostAddress &address) {
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    return mapped ? QHostAddress(v4).toString() : address.toString();
}

QByteArray ContentType(const QString &path) {
    const QString suffix = QFileInfo(path).suffix();
    if (suffix == QLatin1String("html"))
        return "text/html; charset=utf-8";
    if (suffix == QLatin1String("js"))
        return "text/javascript; charset=utf-8";
    if (suffix == QLatin1String("css"))
        return "text/css; charset=utf-8";
    if (suffix == QLatin1String("svg"))
        return "image/svg+xml";
    if (suffix == QLatin1String("png"))
        return "image/png";
    return "application/octet-stream";
}

QJsonObject AccountJson(const TOperatorAccount &a) {
    const int state = a.row.UseState;
    return {{QStringLiteral("user"), a.row.UserName},
            {QStringLiteral("email"), a.row.Email},
            {QStringLiteral("phone"), a.row.UserPhone},
            {QStringLiteral("registered"), a.row.RegisterTime},
            {QStringLiteral("lastLogin"), a.row.LoginTime},
            {QStringLiteral("state"), state == 6   ? QStringLiteral("super")
                                      : state == 1 ? QStringLiteral("suspended")
                                                   : QStringLiteral("normal")},
            {QStringLiteral("loggedIn"), a.loggedIn}};
}

// A retention period of a request body: a whole number of days, 1 .. 36500,
// as a number or as text.
std::optional<QString> Days(const QJsonValue &v) {
    qint64 n = -1;
    if (v.isDouble()) {
        const double d = v.toDouble();
        if (d == static_cast<double>(static_cast<qint64>(d)))
            n = static_cast<qint64>(d);
    } else if (v.isString() && v.toString().size() <= 6) {
        bool ok = false;
        n = v.toString().toLongLong(&ok);
        if (!ok)
            n = -1;
    }
    if (n < 1 || n > 36500)
        return std::nullopt;
    return QString::number(n);
}

// A unit code or account name of a query: present, at most MaxCode
// characters, no control characters. Nothing when it is not one.
constexpr qsizetype MaxCode = 64;

std::optional<QString> QueryText(const QUrlQuery &query, const QString &key) {
    if (!query.hasQueryItem(key))
        return std::nullopt;
    const QString v = query.queryItemValue(key, QUrl::FullyDecoded).trimmed();
    if (v.isEmpty() || v.size() > MaxCode)
        return std::nullopt;
    for (const QChar c : v)
        if (c.category() == QChar::Other_Control)
            return std::nullopt;
    return v;
}

// The time range of a history query: from and to as ISO 8601 date-times
// (the last 24 hours up to now when both are missing, 24 hours before `to`
// when only `from` is), from not after to, at most 400 days apart; limit
// 1 .. MaxHistoryRows (1000 when missing). The reason in `error` otherwise.
std::optional<THistoryRange> QueryRange(const QUrlQuery &query, QString *error) {
    const auto time = [&](const QString &key, QDateTime *out) {
        if (!query.hasQueryItem(key))
            return true;
        const QString v = query.queryItemValue(key, QUrl::FullyDecoded);
        if (v.size() > 40)
            return false;
        *out = QDateTime::fromString(v, Qt::ISODateWithMs);
        if (!out->isValid())
            *out = QDateTime::fromString(v, Qt::ISODate);
        return out->isValid();
    };
    THistoryRange range;
    range.to = QDateTime::currentDateTime();
    if (!time(QStringLiteral("to"), &range.to) || !time(QStringLiteral("from"), &range.from)) {
        *error = QStringLiteral("from and to must be ISO 8601 date-times");
        return std::nullopt;
    }
    range.to = range.to.toLocalTime();
    range.from = range.from.isValid() ? range.from.toLocalTime() : range.to.addDays(-1);
    if (range.from > range.to || range.from.daysTo(range.to) > 400) {
        *error = QStringLiteral("from must not be after to, nor more than 400 days before it");
        return std::nullopt;
    }
    if (query.hasQueryItem(QStringLiteral("limit"))) {
        bool ok = false;
        const QString v = query.queryItemValue(QStringLiteral("limit"));
        range.limit = v.size() <= 6 ? v.toInt(&ok) : 0;
        if (!ok || range.limit < 1 || range.limit > TOperatorService::MaxHistoryRows) {
            *error = QStringLiteral("limit must be 1 to %1").arg(TOperatorService::MaxHistoryRows);
            return std::nullopt;
        }
    }
    return range;
}

QString Iso(const QDateTime &t) {
    return t.isValid() ? t.toString(Qt::ISODateWithMs) : QString();
}

QJsonObject HistoryJson(const TUnitHistory &h) {
    QJsonArray entries;
    for (const TUnitHistoryEntry &e : h.entries) {
        QJsonArray items;
        for (const TDecodedItem &i : e.items) {
            QJsonObject item{{QStringLiteral("param"), i.ParamCode},
                             {QStringLiteral("name"), i.Name},
                             {QStringLiteral("value"), i.Value},
                             {QStringLiteral("unit"), i.Unit}};
            if (i.Number)
                item.insert(QStringLiteral("number"), *i.Number);
            items.append(item);
        }
        QJsonObject o{{QStringLiteral("kind"),
                       e.kind == TUnitHistoryEntry::Kind::Report  ? QStringLiteral("report")
                       : e.kind == TUnitHistoryEntry::Kind::Query ? QStringLiteral("query")
                                                                  : QStringLiteral("set")},
                      {QStringLiteral("code"), e.EquipmentCode},
                      {QStringLiteral("time"), Iso(e.time)},
                      {QStringLiteral("items"), items}};
        if (e.kind != TUnitHistoryEntry::Kind::Report) {
            o.insert(QStringLiteral("name"), e.EquipmentName);
            o.insert(QStringLiteral("mode"), e.QueryMode);
            o.insert(QStringLiteral("returnTime"), Iso(e.returnTime));
        }
        entries.append(o);
    }
    QJsonArray series;
    for (const TUnitSeries &s : h.series) {
        QJsonArray points;
        for (const auto &[t, v] : s.points)
            points.append(QJsonArray{Iso(t), v});
        series.append(QJsonObject{{QStringLiteral("param"), s.ParamCode},
                                  {QStringLiteral("name"), s.Name},
                                  {QStringLiteral("unit"), s.Unit},
                                  {QStringLiteral("points"), points}});
    }
    return {{QStringLiteral("entries"), entries},
            {QStringLiteral("series"), series},
            {QStringLiteral("truncated"), h.truncated}};
}

} // namespace

// The fleet feed's messages of one pull, made once for every socket that
// pulls from the same place: the sockets pull together (the server's fleet
// timers), so those that kept up share one message.
class TFleetFeedCache {
public:
    struct Message {
        QByteArray json; // empty: nothing to send
        std::uint64_t cursor = 0;
        bool more = false;
    };

    explicit TFleetFeedCache(const TWebFleet *fleet) : fleet_(fleet) {}

    // The changes since `cursor` (heartbeat times only with `beats`; with
    // `reset`, a state message even when nothing changed, marked reset).
    // Null when the fleet has no feed.
    const Message *Pull(std::uint64_t cursor, bool beats, bool reset) {
        const Key key{cursor, beats, reset};
        if (const auto it = messages_.find(key); it != messages_.end())
            return &it->second;
        if (!fleet_)
            return nullptr;
        const auto changes = fleet_->Changes(&cursor, MaxFleetRows, beats);
        if (!changes)
            return nullptr;
        Message m{{}, cursor, changes->more};
        QJsonObject o;
        if (beats) {
            if (!changes->beats.isEmpty())
                o.insert(QStringLiteral("beats"), changes->beats);
        } else if (!changes->rows.isEmpty() || !changes->removed.isEmpty() || changes->reset ||
                   reset) {
            o.insert(QStringLiteral("rows"), changes->rows);
            o.insert(QStringLiteral("removed"), changes->removed);
            o.insert(QStringLiteral("reset"), changes->reset || reset);
            o.insert(QStringLiteral("more"), changes->more);
        }
        if (!o.isEmpty())
            m.json = QJsonDocument(QJsonObject{{QStringLiteral("fleet"), o}})
                         .toJson(QJsonDocument::Compact);
        return &messages_.emplace(key, std::move(m)).first->second;
    }

    // Forgets the messages made: the next pull sees the fleet as it is then.
    void Clear() { messages_.clear(); }
    // The fleet is going: nothing more is pulled.
    void Detach() {
        fleet_ = nullptr;
        Clear();
    }

    // Rows in one fleet message at most.
    static constexpr std::size_t MaxFleetRows = 2000;

private:
    using Key = std::tuple<std::uint64_t, bool, bool>;
    const TWebFleet *fleet_;
    std::map<Key, Message> messages_;
};

// One browser's event socket: the stream's events as JSON text messages.
// The server encodes each batch of events once and hands it to every socket
// (Deliver); messages wait in this object's queue while the socket's send
// buffer is full; a browser that stops reading loses its own oldest events,
// counted, and is told once with a red line when it reads again.
class TWebEventSocket : public QObject {
public:
    TWebEventSocket(std::unique_ptr<QWebSocket> socket, QByteArray token,
                    const TWebServerSettings &settings, TFleetFeedCache *feed, QObject *parent)
        : QObject(parent), socket_(socket.release()), token_(std::move(token)),
          queue_(settings.eventQueue, LostNotice), backlog_(settings.socketBacklog), feed_(feed) {
        socket_->setParent(this);
        // The browser has nothing to say on this socket but pings and pongs.
        socket_->setMaxAllowedIncomingFrameSize(4096);
        socket_->setMaxAllowedIncomingMessageSize(4096);
        connect(socket_, &QWebSocket::bytesWritten, this, [this] { Pump(); });
        // The fleet's changes are pulled, not pushed: each socket keeps its
        // own cursors and asks (when the server's fleet timers say) only while
        // its send buffer has room, so a slow browser gets the latest state
        // of each changed unit once, later, and costs nothing meanwhile.
        if (feed_)
            QTimer::singleShot(0, this, [this] { Feed(false); });
    }

    QWebSocket *Socket() const { return socket_; }
    const QByteArray &Token() const { return token_; }

    // A message of `events` events, encoded once for every socket.
    void Deliver(const QByteArray &json, std::size_t events) {
        if (closed_)
            return;
        queue_.Push(json, events);
        Pump();
    }

    // One message of fleet changes: {"fleet": {rows, removed, reset}} or,
    // for heartbeats, {"fleet": {beats}}. The first one of a socket is the
    // whole fleet (in parts when it is large), marked reset.
    void Feed(bool beats) {
        if (!feed_ || socket_->state() != QAbstractSocket::ConnectedState ||
            socket_->bytesToWrite() >= backlog_)
            return;
        if (beats && first_)
            return; // the whole fleet is still on its way
        std::uint64_t &cursor = beats ? beatCursor_ : stateCursor_;
        const TFleetFeedCache::Message *m = feed_->Pull(cursor, beats, !beats && resetNext_);
        if (!m)
            return;
        cursor = m->cursor;
        if (!beats) {
            moreState_ = m->more;
            if (first_ && !m->more) {
                first_ = false;
                beatCursor_ = stateCursor_;
            }
        }
        if (m->json.isEmpty())
            return;
        if (!beats)
            resetNext_ = false;
        socket_->sendTextMessage(QString::fromUtf8(m->json));
    }

    void Close(QWebSocketProtocol::CloseCode code, const QString &why) {
        closed_ = true;
        feed_ = nullptr;
        socket_->close(code, why);
    }

private:
    static QByteArray LostNotice(std::size_t lost) {
        TLogEvent notice = DroppedLinesEvent(lost);
        notice.text =
            QStringLiteral("%1 events were dropped: this browser did not keep up").arg(lost);
        return EventJson(notice);
    }

    // Sends while the socket's send buffer has room; the rest waits for
    // bytesWritten.
    void Pump() {
        if (socket_->state() != QAbstractSocket::ConnectedState)
            return;
        while (socket_->bytesToWrite() < backlog_) {
            const std::optional<QByteArray> message = queue_.Take();
            if (!message)
                break;
            socket_->sendTextMessage(QString::fromUtf8(*message));
        }
        if (moreState_)
            Feed(false);
    }

    QWebSocket *socket_;
    QByteArray token_;
    TWebEventQueue queue_;
    qint64 backlog_;
    bool closed_ = false;
    TFleetFeedCache *feed_; // the server's; null once closed
    std::uint64_t stateCursor_ = 0;
    std::uint64_t beatCursor_ = 0;
    bool first_ = true;     // the whole fleet has not been sent yet
    bool resetNext_ = true; // the next state message starts the browser's table afresh
    bool moreState_ = false;
};

TWebServer::TWebServer(TWebServerSettings settings, TWebBackend backend, TWebSessions::Clock clock,
                       QObject *parent)
    : QAbstractHttpServer(parent), settings_(std::move(settings)), backend_(std::move(backend)),
      sessions_(settings_.sessions, std::move(clock)) {
    // Made where it runs: on a thread of its own, not the application's
    // (which draws the window or hears the signals).
    if (QCoreApplication::instance() && QThread::currentThread() == qApp->thread())
        ReportWrongThread("the web console's own thread", __FILE__, __LINE__);
    fleet_ = backend_.makeFleet ? backend_.makeFleet() : std::make_unique<TEventFleet>();
    if (fleet_->HasFeed()) {
        // Every socket pulls at the same ticks, so that those at the same
        // place in the feed share one message.
        fleetFeed_ = std::make_unique<TFleetFeedCache>(fleet_.get());
        connect(&fleetStateTimer_, &QTimer::timeout, this, [this] { FeedSockets(false); });
        connect(&fleetBeatTimer_, &QTimer::timeout, this, [this] { FeedSockets(true); });
        fleetStateTimer_.start(settings_.fleetInterval);
        fleetBeatTimer_.start(settings_.heartbeatInterval);
    }
    if (backend_.sink && fleet_->WantsEvents())
        fleetEvents_ = backend_.sink->Subscribe(
            this, [this](const TLogEvent &e) { Observe(e); }, TCommInfoHintSink::MaxQueued,
            std::chrono::milliseconds(100));
    connect(this, &QAbstractHttpServer::newWebSocketConnection, this, &TWebServer::OnWebSocket);
    connect(&sweep_, &QTimer::timeout, this, &TWebServer::Sweep);
    sweep_.start(std::clamp<std::chrono::milliseconds>(settings_.sessions.idle / 4,
                                                       std::chrono::milliseconds(50),
                                                       std::chrono::milliseconds(30000)));
}

TWebServer::~TWebServer() {
    fleetEvents_.reset();
    // A closing socket may leave the list at once: walk a copy.
    const std::vector<TWebEventSocket *> sockets = eventSockets_;
    for (TWebEventSocket *s : sockets)
        s->Close(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("the server stops"));
}

bool TWebServer::Listen(QString *error) {
    QTcpServer *server = nullptr;
    if (settings_.tls) {
        auto ssl = new TGuardedServer<QSslServer>(this, true, settings_.maxConnections, open_,
                                                  settings_.requestDeadline);
        ssl->setSslConfiguration(*settings_.tls);
        server = ssl;
    } else {
        server = new TGuardedServer<QTcpServer>(this, false, settings_.maxConnections, open_,
                                                settings_.requestDeadline);
    }
    server->setParent(this);
    if (!server->listen(settings_.address, settings_.port)) {
        if (error)
            *error = QStringLiteral("cannot listen on %1 port %2: %3")
                         .arg(settings_.address.toString())
                         .arg(settings_.port)
                         .arg(server->errorString());
        delete server;
        return false;
    }
    port_ = server->serverPort();
    bind(server);
    return true;
}

void TWebServer::Observe(const TLogEvent &event) {
    fleet_->Observe(event);
}

TWebServer::Reply TWebServer::MakeReply(const Exchange &exchange) {
    const bool tls = Tls();
    return [exchange, tls](TWebResponse response) {
        QTcpSocket *socket = exchange.socket;
        // The browser may have gone while the answer was made.
        if (!socket || socket->state() != QAbstractSocket::ConnectedState)
            return;
        socket->write(SerializeResponse(response, tls, exchange.head, exchange.close));
        if (exchange.close)
            socket->disconnectFromHost();
    };
}

void TWebServer::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) {
    // A refused WebSocket request has had its answer.
    if (!request.value("upgrade").isEmpty())
        return;
    MakeReply({socket, request.method() == Method::Head, true})(
        TWebResponse::Error(404, QStringLiteral("not found")));
}

bool TWebServer::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) {
    // The web console's own thread: never the links', never the window's.
    MMS_ASSERT_THREAD(thread());
    if (TRequestGuard *guard = TRequestGuard::Of(socket))
        guard->RequestDone();
    Exchange exchange{socket, request.method() == Method::Head, false};
    exchange.close = request.value("connection").compare("close", Qt::CaseInsensitive) == 0;
    const Reply reply = MakeReply(exchange);
    // Qt's parser drops every header line of a request with more than 100
    // of them; the request then lacks Host, which HTTP/1.1 requires.
    if (request.value("host").isEmpty()) {
        reply(TWebResponse::Error(400, QStringLiteral("no Host header")));
        return true;
    }
    if (request.headers().size() > TWebRequestLimits::MaxHeaders) {
        reply(TWebResponse::Error(431, QStringLiteral("too many header lines")));
        return true;
    }
    if (request.url().toEncoded().size() > TWebRequestLimits::MaxUrl) {
        reply(TWebResponse::Error(414, QStringLiteral("the address is too long")));
        return true;
    }
    if (request.value("upgrade").compare("websocket", Qt::CaseInsensitive) == 0) {
        // Qt upgrades the connection when this returns true, with nothing
        // written; refused, the answer is written here and Qt closes it.
        const QString refusal = RefuseEvents(request);
        if (refusal.isEmpty())
            return true;
        exchange.close = true;
        MakeReply(exchange)(
            TWebResponse::Error(refusal == QLatin1String("not found") ? 404 : 403, refusal));
        return false;
    }
    Route(request, reply);
    return true;
}

QString TWebServer::RefuseEvents(const QHttpServerRequest &request) {
    if (request.url().path() != QLatin1String("/api/events"))
        return QStringLiteral("not found");
    return RefuseEvents(request.value("origin"), request.value("host"), request.value("cookie"));
}

QString TWebServer::RefuseEvents(const QByteArray &origin, const QByteArray &host,
                                 const QByteArray &cookie) {
    // Only a page of this console may open it, with a live session.
    if (!SameOrigin(origin, host, Tls()))
        return QStringLiteral("cross-site socket refused");
    const QByteArray token = CookieValue(cookie, CookieName);
    if (token.isEmpty() || !sessions_.Use(token))
        return QStringLiteral("not logged in");
    const auto ofSession = std::count_if(eventSockets_.begin(), eventSockets_.end(),
                                         [&](auto *s) { return s->Token() == token; });
    if (ofSession >= settings_.socketsPerSession)
        return QStringLiteral("too many event sockets for this session");
    return {};
}

void TWebServer::Route(const QHttpServerRequest &request, const Reply &reply) {
    const QString path = request.url().path();
    const Method method = request.method();
    const bool reading = method == Method::Get || method == Method::Head;
    if (!path.startsWith(QLatin1String("/api/"))) {
        if (!reading) {
            reply(TWebResponse::Error(405, QStringLiteral("method not allowed")));
            return;
        }
        ServeFile(path, reply);
        return;
    }
    const qsizetype maxBody = path == QLatin1String("/api/accounts/import")
                                  ? TWebRequestLimits::MaxImportBody
                                  : TWebRequestLimits::MaxBody;
    if (request.body().size() > maxBody) {
        reply(TWebResponse::Error(413, QStringLiteral("the body is too large")));
        return;
    }
    if (!reading) {
        // A state-changing request: from a page of this console only. A
        // script outside a browser sends no Origin; the session's token
        // below is its proof.
        const QByteArray origin = request.value("origin");
        if (!origin.isEmpty() && !SameOrigin(origin, request.value("host"), Tls())) {
            reply(TWebResponse::Error(403, QStringLiteral("cross-site request refused")));
            return;
        }
        // A form of another site cannot send JSON without asking first.
        if (!request.body().isEmpty() &&
            !request.value("content-type").startsWith("application/json")) {
            reply(TWebResponse::Error(415, QStringLiteral("the body must be application/json")));
            return;
        }
    }
    if (path == QLatin1String("/api/login")) {
        if (method != Method::Post)
            reply(TWebResponse::Error(405, QStringLiteral("method not allowed")));
        else
            Login(request, reply);
        return;
    }
    const QByteArray token = CookieValue(request.value("cookie"), CookieName);
    const TWebSessions::Session *session = token.isEmpty() ? nullptr : sessions_.Use(token);
    if (!session) {
        reply(TWebResponse::Error(401, QStringLiteral("not logged in")));
        return;
    }
    if (!reading && !SameSecret(request.value(QByteArray(CsrfHeader).toLower()), session->csrf)) {
        reply(TWebResponse::Error(403, QStringLiteral("the request token is missing or wrong")));
        return;
    }
    Api(request, path, *session, reply);
}

void TWebServer::ServeFile(const QString &path, const Reply &reply) {
    QString name = path == QLatin1String("/") ? QStringLiteral("/index.html") : path;
    // Only the embedded files: a name with a dot-dot or a second slash run
    // is not one of them.
    if (name.contains(QLatin1String("..")) || name.contains(QLatin1String("//")) ||
        name.size() > 128) {
        reply(TWebResponse::Error(404, QStringLiteral("not found")));
        return;
    }
    QFile file(QStringLiteral(":/www") + name);
    if (!file.open(QIODevice::ReadOnly)) {
        reply(TWebResponse::Error(404, QStringLiteral("not found")));
        return;
    }
    TWebResponse r;
    r.contentType = ContentType(name);
    r.body = file.readAll();
    r.headers.emplace_back("Cache-Control", "no-cache");
    reply(std::move(r));
}

void TWebServer::Login(const QHttpServerRequest &request, const Reply &reply) {
    const QString address = PeerText(request.remoteAddress());
    if (const auto wait = sessions_.LoginDelay(address); wait.count() > 0) {
        TWebResponse r = TWebResponse::Error(
            429, QStringLiteral("too many failed logins: try again in %1 s").arg(wait.count()));
        r.headers.emplace_back("Retry-After", QByteArray::number(qint64(wait.count())));
        reply(std::move(r));
        return;
    }
    QString error;
    const auto body = ParseJsonObject(request.body(), &error);
    if (!body) {
        reply(TWebResponse::Error(400, error));
        return;
    }
    const auto user = TextMember(*body, QStringLiteral("user"));
    const auto password = TextMember(*body, QStringLiteral("password"));
    if (!user || !password || user->isEmpty()) {
        reply(TWebResponse::Error(400, QStringLiteral("user and password are required")));
        return;
    }
    if (!backend_.operatorService) {
        reply(TWebResponse::Error(503, QStringLiteral("no account service")));
        return;
    }
    // One check at a time per address: a burst of guesses sent together
    // would otherwise all pass before the first failure is counted.
    if (loginsUnderway_.contains(address)) {
        TWebResponse r = TWebResponse::Error(429, QStringLiteral("a login is under way"));
        r.headers.emplace_back("Retry-After", "1");
        reply(std::move(r));
        return;
    }
    loginsUnderway_.insert(address);
    const bool tls = Tls();
    // The accounts are read on the operator service's worker; the answer
    // comes back to this thread.
    backend_.operatorService->Accounts(this, [this, reply, address, user = *user,
                                              password = password->toUtf8(),
                                              tls](const TOperatorAccounts &accounts) {
        loginsUnderway_.remove(address);
        if (!accounts.error.isEmpty()) {
            reply(TWebResponse::Error(503, QStringLiteral("the accounts cannot be read: ") +
                                               accounts.error));
            return;
        }
        bool ok = false;
        for (const TOperatorAccount &a : accounts.rows)
            if (a.row.UseState == 6 && a.row.UserName == user)
                ok = ok || SameSecret(a.row.UserPassword.toUtf8(), password);
        if (!ok) {
            sessions_.LoginFailed(address);
            reply(TWebResponse::Error(401, QStringLiteral("wrong user or password")));
            return;
        }
        sessions_.LoginSucceeded(address);
        const auto session = sessions_.Open(user);
        if (!session) {
            reply(TWebResponse::Error(503, QStringLiteral("too many sessions: log out "
                                                          "elsewhere or wait")));
            return;
        }
        TWebResponse r = TWebResponse::Json(
            QJsonObject{{QStringLiteral("user"), session->user},
                        {QStringLiteral("csrf"), QString::fromLatin1(session->csrf)}});
        r.headers.emplace_back("Set-Cookie", SessionCookie(CookieName, session->token, tls));
        reply(std::move(r));
    });
}

void TWebServer::Api(const QHttpServerRequest &request, const QString &path,
                     const TWebSessions::Session &session, const Reply &reply) {
    const Method method = request.method();
    const bool reading = method == Method::Get || method == Method::Head;
    const auto wrongMethod = [&reply] {
        reply(TWebResponse::Error(405, QStringLiteral("method not allowed")));
    };
    if (path == QLatin1String("/api/logout")) {
        if (method != Method::Post)
            return wrongMethod();
        const QByteArray token = session.token;
        sessions_.Close(token);
        CloseSockets(token, QStringLiteral("logged out"));
        TWebResponse r = TWebResponse::Json(QJsonObject{{QStringLiteral("ok"), true}});
        r.headers.emplace_back("Set-Cookie", SessionCookie(CookieName, {}, Tls()));
        return reply(std::move(r));
    }
    if (path == QLatin1String("/api/session")) {
        if (!reading)
            return wrongMethod();
        return reply(TWebResponse::Json(QJsonObject{
            {QStringLiteral("user"), session.user},
            {QStringLiteral("csrf"), QString::fromLatin1(session.csrf)},
            {QStringLiteral("idleSeconds"),
             qint64(std::chrono::duration_cast<std::chrono::seconds>(sessions_.Settings().idle)
                        .count())}}));
    }
    if (path == QLatin1String("/api/status")) {
        if (!reading)
            return wrongMethod();
        return Status(reply);
    }
    if (path == QLatin1String("/api/fleet")) {
        if (!reading)
            return wrongMethod();
        return reply(TWebResponse::Json(QJsonObject{{QStringLiteral("units"), fleet_->Rows()}}));
    }
    const QUrlQuery query(request.url());
    if (reading) {
        if (path == QLatin1String("/api/unit"))
            return Unit(query, reply);
        if (path == QLatin1String("/api/unit/history"))
            return UnitHistory(query, reply);
        if (path == QLatin1String("/api/alarms"))
            return AlarmHistory(query, reply);
        if (path == QLatin1String("/api/alarms/mail"))
            return AlarmMail(reply);
        if (path == QLatin1String("/api/accounts/units"))
            return AccountUnits(query, reply);
        if (path == QLatin1String("/api/accounts/export"))
            return ExportAccounts(reply);
    }
    if (path == QLatin1String("/api/accounts/import")) {
        if (method != Method::Post)
            return wrongMethod();
        return ImportAccounts(request.body(), reply);
    }
    if (path == QLatin1String("/api/accounts/units")) {
        if (method != Method::Post && method != Method::Delete)
            return wrongMethod();
        QString error;
        const auto body = ParseJsonObject(request.body(), &error);
        if (!body)
            return reply(TWebResponse::Error(400, error));
        return Assignment(method == Method::Post, *body, reply);
    }
    if (path == QLatin1String("/api/unit") || path == QLatin1String("/api/unit/history") ||
        path == QLatin1String("/api/alarms") || path == QLatin1String("/api/alarms/mail"))
        return wrongMethod();
    if (path == QLatin1String("/api/settings")) {
        if (reading)
            return Settings(reply);
        if (method != Method::Put)
            return wrongMethod();
    } else if (path == QLatin1String("/api/accounts")) {
        if (reading)
            return Accounts(reply);
        if (method != Method::Post)
            return wrongMethod();
    } else if (path.startsWith(QLatin1String("/api/accounts/"))) {
        if (method != Method::Post)
            return wrongMethod();
    } else {
        return reply(TWebResponse::Error(404, QStringLiteral("not found")));
    }
    QString error;
    const auto body = ParseJsonObject(request.body(), &error);
    if (!body)
        return reply(TWebResponse::Error(400, error));
    if (path == QLatin1String("/api/settings"))
        return SaveSettings(*body, reply);
    AccountChange(path, *body, reply);
}

void TWebServer::Status(const Reply &reply) {
    // The web console's own figures, with the server's below.
    QJsonObject web{{QStringLiteral("webSessions"), qint64(sessions_.Count())},
                    {QStringLiteral("webSockets"), qint64(eventSockets_.size())},
                    {QStringLiteral("webConnections"), *open_}};
    TOperatorService *service = backend_.operatorService;
    if (!service) {
        QJsonObject o = backend_.status ? backend_.status() : QJsonObject();
        for (auto it = web.begin(); it != web.end(); ++it)
            o.insert(it.key(), it.value());
        return reply(TWebResponse::Json(o));
    }
    service->Status(this, [reply, web, fixed = backend_.status ? backend_.status() : QJsonObject()](
                              const TServerStatus &s) {
        QJsonObject o = fixed;
        if (!s.error.isEmpty())
            o.insert(QStringLiteral("error"), s.error);
        QJsonObject ports = o.value(QStringLiteral("ports")).toObject();
        for (const TListenPort &p : s.ports)
            ports.insert(p.name, QJsonObject{{QStringLiteral("address"), p.address},
                                             {QStringLiteral("port"), p.port}});
        o.insert(QStringLiteral("listening"), ports);
        o.insert(QStringLiteral("version"), s.version);
        o.insert(QStringLiteral("started"), s.started.toString(Qt::ISODate));
        o.insert(QStringLiteral("uptimeSeconds"), s.uptimeSeconds);
        o.insert(QStringLiteral("database"), s.database);
        o.insert(QStringLiteral("databaseUp"), s.databaseUp);
        o.insert(QStringLiteral("unitsConnected"), s.unitsConnected);
        o.insert(QStringLiteral("clientsConnected"), s.clientsConnected);
        o.insert(QStringLiteral("queues"),
                 QJsonObject{{QStringLiteral("send"), s.sendQueue},
                             {QStringLiteral("receive"), s.receiveQueue},
                             {QStringLiteral("channel"), s.channelQueue},
                             {QStringLiteral("tempHistory"), s.tempHistory},
                             {QStringLiteral("log"), s.logQueue}});
        o.insert(QStringLiteral("showInfoHint"), s.showInfoHint);
        if (s.lastRetention)
            o.insert(
                QStringLiteral("lastRetention"),
                QJsonObject{
                    {QStringLiteral("started"), s.lastRetention->started.toString(Qt::ISODate)},
                    {QStringLiteral("finished"), s.lastRetention->finished.toString(Qt::ISODate)},
                    {QStringLiteral("ok"), s.lastRetention->ok},
                    {QStringLiteral("rowsDeleted"), s.lastRetention->rowsDeleted},
                    {QStringLiteral("error"), s.lastRetention->error}});
        for (auto it = web.begin(); it != web.end(); ++it)
            o.insert(it.key(), it.value());
        reply(TWebResponse::Json(o));
    });
}

void TWebServer::Accounts(const Reply &reply) {
    if (!backend_.operatorService)
        return reply(TWebResponse::Error(503, QStringLiteral("no account service")));
    backend_.operatorService->Accounts(this, [reply](const TOperatorAccounts &accounts) {
        if (!accounts.error.isEmpty())
            return reply(TWebResponse::Error(500, accounts.error));
        QJsonArray rows;
        // Passwords stay on the server.
        for (const TOperatorAccount &a : accounts.rows)
            rows.append(AccountJson(a));
        reply(TWebResponse::Json(QJsonObject{{QStringLiteral("accounts"), rows}}));
    });
}

void TWebServer::AccountChange(const QString &path, const QJsonObject &body, const Reply &reply) {
    TOperatorService *service = backend_.operatorService;
    if (!service)
        return reply(TWebResponse::Error(503, QStringLiteral("no account service")));
    const auto user = TextMember(body, QStringLiteral("user"));
    if (!user || user->trimmed().isEmpty())
        return reply(TWebResponse::Error(400, QStringLiteral("user is required")));
    // What a change answers; the sessions of an account that changed end.
    const auto answer = [this, reply, user = *user](const TOperatorResult &r) {
        if (!r.Ok())
            return reply(TWebResponse::Error(500, r.error));
        for (const QByteArray &token : sessions_.CloseUser(user))
            CloseSockets(token, QStringLiteral("the account changed"));
        reply(TWebResponse::Json(QJsonObject{{QStringLiteral("ok"), true}}));
    };
    const auto password = [&body]() -> std::optional<QString> {
        auto p = TextMember(body, QStringLiteral("password"));
        if (!p || p->isEmpty())
            return std::nullopt;
        return p;
    };
    const QString action = path.mid(int(qstrlen("/api/accounts")));
    if (action.isEmpty()) {
        const auto p = password();
        if (!p)
            return reply(TWebResponse::Error(400, QStringLiteral("password is required")));
        service->AddSuperUser(*user, *p, this, [reply](const TAddSuperUserResult &r) {
            if (r.exists)
                return reply(TWebResponse::Error(409, QStringLiteral("the name is taken")));
            if (!r.error.isEmpty())
                return reply(TWebResponse::Error(500, r.error));
            reply(TWebResponse::Json(
                QJsonObject{{QStringLiteral("ok"), true},
                            {QStringLiteral("registered"), r.registered.toString(Qt::ISODate)}}));
        });
        return;
    }
    if (action == QLatin1String("/suspend")) {
        const QJsonValue suspended = body.value(QStringLiteral("suspended"));
        if (!suspended.isBool())
            return reply(
                TWebResponse::Error(400, QStringLiteral("suspended must be true or false")));
        return service->SetSuspended(*user, suspended.toBool(), this, answer);
    }
    if (action == QLatin1String("/password")) {
        const auto p = password();
        if (!p)
            return reply(TWebResponse::Error(400, QStringLiteral("password is required")));
        return service->SetPassword(*user, *p, this, answer);
    }
    if (action == QLatin1String("/delete")) {
        // A super user goes with its assignments kept, an ordinary account
        // with them: which one it is, the table says.
        service->Accounts(
            this, [this, service, reply, answer, user = *user](const TOperatorAccounts &accounts) {
                if (!accounts.error.isEmpty())
                    return reply(TWebResponse::Error(500, accounts.error));
                const auto it = std::find_if(accounts.rows.begin(), accounts.rows.end(),
                                             [&](const auto &a) { return a.row.UserName == user; });
                if (it == accounts.rows.end())
                    return reply(TWebResponse::Error(404, QStringLiteral("no such account")));
                if (it->row.UseState == 6)
                    service->DeleteSuperUser(user, this, answer);
                else
                    service->DeleteAccount(user, this, answer);
            });
        return;
    }
    reply(TWebResponse::Error(404, QStringLiteral("not found")));
}

void TWebServer::Settings(const Reply &reply) {
    if (!backend_.operatorService)
        return reply(TWebResponse::Error(503, QStringLiteral("no settings service")));
    backend_.operatorService->ReadRetentionDays(this, [reply](const TRetentionDays &days) {
        if (!days.error.isEmpty())
            return reply(TWebResponse::Error(500, days.error));
        reply(
            TWebResponse::Json(QJsonObject{{QStringLiteral("queryDays"), days.query},
                                           {QStringLiteral("alarmDays"), days.alarm},
                                           {QStringLiteral("showInfoHint"), ShowInfoHint.load()}}));
    });
}

void TWebServer::SaveSettings(const QJsonObject &body, const Reply &reply) {
    TOperatorService *service = backend_.operatorService;
    if (!service)
        return reply(TWebResponse::Error(503, QStringLiteral("no settings service")));
    const bool hasDays =
        body.contains(QStringLiteral("queryDays")) || body.contains(QStringLiteral("alarmDays"));
    const auto query = Days(body.value(QStringLiteral("queryDays")));
    const auto alarm = Days(body.value(QStringLiteral("alarmDays")));
    if (hasDays && (!query || !alarm))
        return reply(TWebResponse::Error(
            400, QStringLiteral("queryDays and alarmDays must both be whole days, 1 to 36500")));
    const QJsonValue hint = body.value(QStringLiteral("showInfoHint"));
    if (!hint.isUndefined() && !hint.isBool())
        return reply(
            TWebResponse::Error(400, QStringLiteral("showInfoHint must be true or false")));
    if (!hasDays && hint.isUndefined())
        return reply(TWebResponse::Error(400, QStringLiteral("nothing to change")));
    // The switch first (it takes effect at once), then the periods; the
    // calls run in order on the service's worker.
    auto failures = std::make_shared<QStringList>();
    const auto collect = [failures](const TOperatorResult &r) {
        if (!r.Ok())
            failures->append(r.error);
    };
    if (hint.isBool())
        service->SetShowInfoHint(hint.toBool(), this, collect);
    const auto finish = [reply, failures, collect](const TOperatorResult &r) {
        collect(r);
        if (!failures->isEmpty())
            return reply(TWebResponse::Error(500, failures->join(QStringLiteral("; "))));
        reply(TWebResponse::Json(QJsonObject{{QStringLiteral("ok"), true}}));
    };
    if (hasDays)
        service->SaveRetentionDays(*query, *alarm, this, finish);
    else
        service->SetShowInfoHint(hint.toBool(), this, finish);
}

void TWebServer::Unit(const QUrlQuery &query, const Reply &reply) {
    TOperatorService *service = backend_.operatorService;
    if (!service)
        return reply(TWebResponse::Error(503, QStringLiteral("no operator service")));
    const auto code = QueryText(query, QStringLiteral("code"));
    if (!code)
        return reply(TWebResponse::Error(400, QStringLiteral("code must be a unit code")));
    service->UnitDetails(*code, this, [reply](const TUnitDetails &d) {
        if (!d.error.isEmpty())
            return reply(TWebResponse::Error(500, d.error));
        if (!d.known)
            return reply(TWebResponse::Error(404, QStringLiteral("no such unit")));
        QJsonArray owners;
        for (const TOwnedUnit &o : d.owners)
            owners.append(QJsonObject{{QStringLiteral("user"), o.UserName},
                                      {QStringLiteral("name"), o.EquipmentName}});
        QJsonArray params;
        for (const TUnitParam &p : d.params)
            params.append(QJsonObject{{QStringLiteral("param"), p.ParamCode},
                                      {QStringLiteral("name"), p.Name},
                                      {QStringLiteral("unit"), p.Unit},
                                      {QStringLiteral("typeHint"), p.TypeHint},
                                      {QStringLiteral("settable"), p.settable}});
        reply(TWebResponse::Json(QJsonObject{
            {QStringLiteral("code"), d.EquipmentCode},
            {QStringLiteral("owners"), owners},
            {QStringLiteral("fleet"), d.fleet ? QJsonValue(FleetRowJson(*d.fleet)) : QJsonValue()},
            {QStringLiteral("params"), params}}));
    });
}

void TWebServer::UnitHistory(const QUrlQuery &query, const Reply &reply) {
    TOperatorService *service = backend_.operatorService;
    if (!service)
        return reply(TWebResponse::Error(503, QStringLiteral("no operator service")));
    const auto code = QueryText(query, QStringLiteral("code"));
    if (!code)
        return reply(TWebResponse::Error(400, QStringLiteral("code must be a unit code")));
    QString error;
    auto range = QueryRange(query, &error);
    if (!range)
        return reply(TWebResponse::Error(400, error));
    range->EquipmentCode = *code;
    service->UnitHistory(*range, this, [reply](const TUnitHistory &h) {
        if (!h.error.isEmpty())
            return reply(TWebResponse::Error(500, h.error));
        reply(TWebResponse::Json(HistoryJson(h)));
    });
}

void TWebServer::AlarmHistory(const QUrlQuery &query, const Reply &reply) {
    TOperatorService *service = backend_.operatorService;
    if (!service)
        return reply(TWebResponse::Error(503, QStringLiteral("no operator service")));
    QString error;
    auto range = QueryRange(query, &error);
    if (!range)
        return reply(TWebResponse::Error(400, error));
    // Without a code: every unit's reports.
    if (query.hasQueryItem(QStringLiteral("code"))) {
        const auto code = QueryText(query, QStringLiteral("code"));
        if (!code)
            return reply(TWebResponse::Error(400, QStringLiteral("code must be a unit code")));
        range->EquipmentCode = *code;
    }
    service->AlarmHistory(*range, this, [reply](const TUnitHistory &h) {
        if (!h.error.isEmpty())
            return reply(TWebResponse::Error(500, h.error));
        QJsonObject o = HistoryJson(h);
        o.remove(QStringLiteral("series"));
        reply(TWebResponse::Json(o));
    });
}

void TWebServer::AlarmMail(const Reply &reply) {
    TOperatorService *service = backend_.operatorService;
    if (!service)
        return reply(TWebResponse::Error(503, QStringLiteral("no operator service")));
    service->AlarmMail(this, [reply](const TAlarmMailState &m) {
        if (!m.error.isEmpty())
            return reply(TWebResponse::Error(500, m.error));
        QJsonArray waiting;
        for (const TAlarmMailLineRow &l : m.waiting)
            waiting.append(QJsonObject{{QStringLiteral("id"), l.LineId},
                                       {QStringLiteral("code"), l.EquipmentCode},
                                       {QStringLiteral("parameter"), l.ParameterName},
                                       {QStringLiteral("state"), l.ParameterStatus},
                                       {QStringLiteral("time"), l.AlertTime}});
        QJsonArray results;
        for (const TFleetModel::TMailResult &r : m.results)
            results.append(QJsonObject{{QStringLiteral("time"), Iso(r.time)},
                                       {QStringLiteral("user"), r.user},
                                       {QStringLiteral("text"), r.text},
                                       {QStringLiteral("ok"), r.ok}});
        reply(TWebResponse::Json(QJsonObject{{QStringLiteral("waiting"), waiting},
                                             {QStringLiteral("results"), results}}));
    });
}

void TWebServer::AccountUnits(const QUrlQuery &query, const Reply &reply) {
    TOperatorService *service = backend_.operatorService;
    if (!service)
        return reply(TWebResponse::Error(503, QStringLiteral("no account service")));
    const auto user = QueryText(query, QStringLiteral("user"));
    if (!user)
        return reply(TWebResponse::Error(400, QStringLiteral("user must be an account name")));
    service->AccountUnits(*user, this, [reply](const TAccountUnits &a) {
        if (!a.error.isEmpty())
            return reply(TWebResponse::Error(500, a.error));
        QJsonArray units;
        for (const TOwnedUnit &u : a.units)
            units.append(QJsonObject{{QStringLiteral("code"), u.EquipmentCode},
                                     {QStringLiteral("name"), u.EquipmentName}});
        reply(TWebResponse::Json(QJsonObject{{QStringLiteral("units"), units}}));
    });
}

void TWebServer::Assignment(bool assign, const QJsonObject &body, const Reply &reply) {
    TOperatorService *service = backend_.operatorService;
    if (!service)
        return reply(TWebResponse::Error(503, QStringLiteral("no account service")));
    const auto member = [&body](const char *key, bool required) -> std::optional<QString> {
        const QString name = QLatin1String(key);
        if (!body.contains(name))
            return required ? std::nullopt : std::optional<QString>(QString());
        auto v = TextMember(body, name);
        if (!v || v->trimmed().size() > MaxCode || (required && v->trimmed().isEmpty()))
            return std::nullopt;
        return v->trimmed();
    };
    const auto user = member("user", true);
    const auto code = member("code", true);
    if (!user || !code)
        return reply(TWebResponse::Error(
            400,
            QStringLiteral("user and code are required, each at most %1 characters").arg(MaxCode)));
    const auto answer = [reply](const TOperatorResult &r) {
        if (!r.Ok())
            return reply(TWebResponse::Error(409, r.error));
        reply(TWebResponse::Json(QJsonObject{{QStringLiteral("ok"), true}}));
    };
    if (!assign)
        return service->UnassignUnit(*user, *code, this, answer);
    const auto name = member("name", false);
    const auto type = member("type", false);
    if (!name || !type)
        return reply(TWebResponse::Error(
            400, QStringLiteral("name and type are text of at most %1 characters").arg(MaxCode)));
    // The type, when given, is the unit's type byte in two hex digits.
    static const QRegularExpression hexByte(QStringLiteral("^[0-9A-Fa-f]{2}$"));
    if (!type->isEmpty() && !hexByte.match(*type).hasMatch())
        return reply(TWebResponse::Error(400, QStringLiteral("type must be two hex digits")));
    service->AssignUnit(
        TUnitAssignment{*user, *code, name->isEmpty() ? *code : *name, type->toUpper()}, this,
        answer);
}

void TWebServer::ExportAccounts(const Reply &reply) {
    TOperatorService *service = backend_.operatorService;
    if (!service)
        return reply(TWebResponse::Error(503, QStringLiteral("no account service")));
    // The service writes a file; it is read back and goes to the browser.
    auto dir = std::make_shared<QTemporaryDir>();
    if (!dir->isValid())
        return reply(TWebResponse::Error(500, QStringLiteral("no temporary directory")));
    const QString path = dir->filePath(QStringLiteral("UserTable.hd"));
    service->ExportUserTable(path, this, [reply, dir, path](const TUserTableFileResult &r) {
        if (!r.Ok())
            return reply(TWebResponse::Error(500, r.Message + QLatin1Char(' ') + r.Detail));
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return reply(TWebResponse::Error(500, file.errorString()));
        TWebResponse response;
        response.contentType = "application/octet-stream";
        response.body = file.readAll();
        response.headers.emplace_back("Content-Disposition",
                                      "attachment; filename=\"UserTable.hd\"");
        reply(std::move(response));
    });
}

void TWebServer::ImportAccounts(const QByteArray &body, const Reply &reply) {
    TOperatorService *service = backend_.operatorService;
    if (!service)
        return reply(TWebResponse::Error(503, QStringLiteral("no account service")));
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &parseError);
    const QJsonValue file = doc.object().value(QStringLiteral("file"));
    if (!doc.isObject() || !file.isString())
        return reply(TWebResponse::Error(
            400, QStringLiteral("the body must be {\"file\": the account file in base64}")));
    const auto decoded = QByteArray::fromBase64Encoding(file.toString().toLatin1(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.isEmpty())
        return reply(TWebResponse::Error(400, QStringLiteral("file is not base64")));
    auto dir = std::make_shared<QTemporaryDir>();
    const QString path = dir->filePath(QStringLiteral("UserTable.hd"));
    QFile out(path);
    if (!dir->isValid() || !out.open(QIODevice::WriteOnly) ||
        out.write(decoded.decoded) != decoded.decoded.size() || !out.flush())
        return reply(TWebResponse::Error(500, QStringLiteral("the file could not be kept")));
    out.close();
    service->ImportUserTable(
        path, this, [this, reply, dir, service](const TUserTableFileResult &r) {
            if (!r.Ok())
                return reply(TWebResponse::Error(422, r.Message + QLatin1Char(' ') + r.Detail));
            reply(TWebResponse::Json(QJsonObject{{QStringLiteral("ok"), true},
                                                 {QStringLiteral("imported"), r.Imported},
                                                 {QStringLiteral("warning"), r.Warning},
                                                 {QStringLiteral("exiting"), true}}));
            // As after the window's import: the program ends to complete it,
            // once the answer has had a moment to leave.
            QTimer::singleShot(500, this, [service] { service->Exit(); });
        });
}

void TWebServer::OnWebSocket() {
    while (hasPendingWebSocketConnections()) {
        std::unique_ptr<QWebSocket> socket = nextPendingWebSocketConnection();
        if (!socket)
            break;
        const QNetworkRequest request = socket->request();
        const auto refuse = [&socket](const QString &why) {
            socket->close(QWebSocketProtocol::CloseCodePolicyViolated, why);
            socket.release()->deleteLater();
        };
        // Checked before the upgrade already; checked again on what the
        // socket itself holds, so that nothing reaches a socket that fails.
        QString refusal = request.url().path() != QLatin1String("/api/events")
                              ? QStringLiteral("not found")
                              : RefuseEvents(socket->origin().toLatin1(), request.rawHeader("Host"),
                                             request.rawHeader("Cookie"));
        if (!refusal.isEmpty()) {
            refuse(refusal);
            continue;
        }
        const QByteArray token = CookieValue(request.rawHeader("Cookie"), CookieName);
        auto *events =
            new TWebEventSocket(std::move(socket), token, settings_, fleetFeed_.get(), this);
        eventSockets_.push_back(events);
        // The stream is read while a browser listens: each event is encoded
        // once here and handed to every socket, not once per browser.
        if (backend_.sink && !events_)
            events_ = backend_.sink->Subscribe(
                this, [this](const TLogEvent &e) { GatherEvent(e); }, settings_.eventQueue,
                std::chrono::milliseconds(50));
        connect(events->Socket(), &QWebSocket::disconnected, this, [this, events] {
            std::erase(eventSockets_, events);
            events->deleteLater();
            if (eventSockets_.empty())
                events_.reset();
        });
    }
}

void TWebServer::FeedSockets(bool beats) {
    fleetFeed_->Clear();
    // A socket that closes meanwhile may leave the list: walk a copy.
    const std::vector<TWebEventSocket *> sockets = eventSockets_;
    for (TWebEventSocket *s : sockets)
        s->Feed(beats);
    fleetFeed_->Clear();
}

void TWebServer::GatherEvent(const TLogEvent &e) {
    if (gathered_)
        gatheredJson_ += ',';
    eventWriter_.Append(gatheredJson_, e);
    ++gathered_;
    // The stream hands its events over in batches, each within one turn of
    // this thread's loop: they leave together once the turn's batch is in.
    if (gathered_ >= MaxEventsPerMessage)
        SendGathered();
    else if (!sendScheduled_) {
        sendScheduled_ = true;
        QTimer::singleShot(0, this, [this] {
            sendScheduled_ = false;
            SendGathered();
        });
    }
}

void TWebServer::SendGathered() {
    if (!gathered_)
        return;
    // One event is its object, as ever; more are an array of them.
    const QByteArray message = gathered_ == 1 ? gatheredJson_ : '[' + gatheredJson_ + ']';
    const std::size_t events = std::exchange(gathered_, 0);
    gatheredJson_.clear();
    // A socket that closes meanwhile may leave the list: walk a copy.
    const std::vector<TWebEventSocket *> sockets = eventSockets_;
    for (TWebEventSocket *s : sockets)
        s->Deliver(message, events);
}

void TWebServer::CloseSockets(const QByteArray &token, const QString &why) {
    // A closing socket may leave the list at once: walk a copy.
    const std::vector<TWebEventSocket *> sockets = eventSockets_;
    for (TWebEventSocket *s : sockets)
        if (s->Token() == token)
            s->Close(QWebSocketProtocol::CloseCodePolicyViolated, why);
}

void TWebServer::Sweep() {
    // A page with its event socket open is in use: its session stays.
    for (TWebEventSocket *s : eventSockets_)
        sessions_.Touch(s->Token());
    for (const QByteArray &token : sessions_.Expire())
        CloseSockets(token, QStringLiteral("the session expired"));
}
