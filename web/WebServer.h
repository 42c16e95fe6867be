// The web console's HTTP and WebSocket server: the pages of www/, the JSON
// API under /api/ and the event socket /api/events.
//
// Built on Qt HttpServer 6.4 for what it does well (listening, TLS, parsing
// requests, the WebSocket upgrade) and around what it lacks there:
//   - its responder writes to a raw socket pointer and takes headers only as
//     an initializer list, so it cannot answer after the request's handler
//     returned; answers here are written by SerializeResponse to a guarded
//     socket, so that a request that waits for the operator service's worker
//     is answered later, or not at all when the browser went away;
//   - it reads a request body of any length into memory: each connection is
//     counted and cut off here (TRequestGuard) when a request grows beyond
//     TWebRequestLimits::MaxRequest, with 413;
//   - its WebSocket upgrade asks handleRequest first (true: upgrade): the
//     path, the session cookie and the Origin are checked there, and once
//     more on the upgraded socket before anything is sent on it.
//
// Threading: the object lives on the web console's thread and is made,
// used and destroyed there. The operator service answers on it (through its
// event loop); the event stream hands each event socket its events there.
#pragma once

#include "EventJson.h"
#include "WebFleet.h"
#include "WebHttp.h"
#include "WebSessions.h"

#include <QAbstractHttpServer>
#include <QHostAddress>
#include <QJsonObject>
#include <QPointer>
#include <QSet>
#include <QSslConfiguration>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class TOperatorService;
class TCommInfoHintSink;
class TWebEventSocket;
class QWebSocket;
class QUrlQuery;

// What the web console reads and acts through.
struct TWebBackend {
    TOperatorService *operatorService = nullptr; // accounts, settings, counts
    TCommInfoHintSink *sink = nullptr;           // the event stream
    // The fixed part of the status (version, ports, database). Any thread.
    std::function<QJsonObject()> status;
    // Makes the fleet view on the web thread; unset: TEventFleet.
    std::function<std::unique_ptr<TWebFleet>()> makeFleet;
};

struct TWebServerSettings {
    QHostAddress address = QHostAddress(QHostAddress::LocalHost);
    quint16 port = 5213;
    std::optional<QSslConfiguration> tls; // set: HTTPS and WSS only
    TWebSessions::Limits sessions;
    // Events waiting for one browser at most (beyond: its oldest go).
    std::size_t eventQueue = 5000;
    // Bytes waiting in one event socket's send buffer before events wait in
    // its queue instead.
    qint64 socketBacklog = 512 * 1024;
    // How often an event socket sends the fleet's state changes, and its
    // heartbeat times.
    std::chrono::milliseconds fleetInterval = std::chrono::milliseconds(250);
    std::chrono::milliseconds heartbeatInterval = std::chrono::seconds(2);
    // Open HTTP connections at most; more are closed at once.
    int maxConnections = 256;
    // Event sockets of one session at most.
    int socketsPerSession = 4;
    // A request must be whole this long after its first byte (408 else).
    std::chrono::milliseconds requestDeadline = std::chrono::seconds(30);
};

class TWebServer : public QAbstractHttpServer {
    Q_OBJECT
public:
    TWebServer(TWebServerSettings settings, TWebBackend backend, TWebSessions::Clock clock = {},
               QObject *parent = nullptr);
    ~TWebServer() override;

    // Listens; false with the reason in `error`.
    bool Listen(QString *error);
    quint16 Port() const { return port_; }
    bool Tls() const { return settings_.tls.has_value(); }

    // Open connections (the request guard's count).
    int OpenConnections() const { return *open_; }

    // The session cookie's name.
    static constexpr const char *CookieName = "mms_session";
    // The header that carries the session's cross-site request token.
    static constexpr const char *CsrfHeader = "X-CSRF-Token";

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    // A request's context for its (possibly later) answer.
    struct Exchange {
        QPointer<QTcpSocket> socket;
        bool head = false;
        bool close = false;
    };
    using Reply = std::function<void(TWebResponse)>;

    Reply MakeReply(const Exchange &exchange);
    void Route(const QHttpServerRequest &request, const Reply &reply);
    void ServeFile(const QString &path, const Reply &reply);
    void Login(const QHttpServerRequest &request, const Reply &reply);
    void Api(const QHttpServerRequest &request, const QString &path,
             const TWebSessions::Session &session, const Reply &reply);
    void Status(const Reply &reply);
    void Accounts(const Reply &reply);
    void AccountChange(const QString &path, const QJsonObject &body, const Reply &reply);
    void Settings(const Reply &reply);
    void Unit(const QUrlQuery &query, const Reply &reply);
    void UnitHistory(const QUrlQuery &query, const Reply &reply);
    void AlarmHistory(const QUrlQuery &query, const Reply &reply);
    void AlarmMail(const Reply &reply);
    void AccountUnits(const QUrlQuery &query, const Reply &reply);
    void Assignment(bool assign, const QJsonObject &body, const Reply &reply);
    void ExportAccounts(const Reply &reply);
    void ImportAccounts(const QByteArray &body, const Reply &reply);
    void SaveSettings(const QJsonObject &body, const Reply &reply);

    // Why a WebSocket request may not open the event socket; empty: it may.
    QString RefuseEvents(const QHttpServerRequest &request);
    QString RefuseEvents(const QByteArray &origin, const QByteArray &host,
                         const QByteArray &cookie);
    void OnWebSocket();
    // Closes the event sockets of a session that ended.
    void CloseSockets(const QByteArray &token, const QString &why);
    void Sweep();
    void Observe(const TLogEvent &event);
    // Adds an event to the message being gathered for the event sockets.
    void GatherEvent(const TLogEvent &e);
    // Sends the gathered events to every event socket as one message.
    void SendGathered();
    // Every event socket pulls the fleet's state changes or heartbeat times.
    void FeedSockets(bool beats);

    TWebServerSettings settings_;
    TWebBackend backend_;
    TWebSessions sessions_;
    QSet<QString> loginsUnderway_; // addresses whose login is being checked
    std::unique_ptr<TWebFleet> fleet_;
    std::shared_ptr<class TLogSubscription> fleetEvents_;
    // The fleet's change feed, pulled by every event socket at the ticks of
    // these timers (when the fleet has a feed).
    std::unique_ptr<class TFleetFeedCache> fleetFeed_;
    QTimer fleetStateTimer_;
    QTimer fleetBeatTimer_;
    // The event stream while any event socket is open.
    std::shared_ptr<class TLogSubscription> events_;
    std::vector<TWebEventSocket *> eventSockets_; // children of this object
    // The events of the stream's current batch, written once for every socket.
    TEventJsonWriter eventWriter_;
    QByteArray gatheredJson_; // the events' objects, comma-separated
    std::size_t gathered_ = 0;
    bool sendScheduled_ = false;
    // Events in one message at most.
    static constexpr std::size_t MaxEventsPerMessage = 500;
    QTimer sweep_;
    quint16 port_ = 0;
    std::shared_ptr<int> open_ = std::make_shared<int>(0); // shared with each connection
    QDateTime started_ = QDateTime::currentDateTime();
};
