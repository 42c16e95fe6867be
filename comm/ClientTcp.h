// The client server: the TCP listener that user clients connect to, the
// client text protocol ("00" login, "01" equipment request, "02" account
// state, "03" password reminder), the broadcast of equipment messages to the
// clients entitled to a unit, and the owner of the client-link workers and
// of the alarm e-mail worker.
#pragma once

#include "AcceptGuard.h"
#include "ChannelComm.h"
#include "ClientConnection.h"
#include "ClientLink.h"
#include "LinkPaces.h"
#include "ProxyGate.h"
#include "PublicU.h"
#include "SaveDataBaseSendClient.h"
#include "SendEmail.h"

#include <QAbstractSocket>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QThreadPool>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class TSendEmailAlertInfomation;

// Threading contract:
//   - The object, its QTcpServer, every TClientConnection with its socket and
//     receive buffer, and every socket event live on the event thread. Bytes
//     are written to sockets only there.
//   - connections_ (the open connections in accept order) and each
//     connection's UserName are changed only on the event thread, holding
//     connectionsLock_. The event thread reads them without the lock; other
//     threads (EquipmentBroadcast and SendToClient called by the reply
//     worker) read them only under it and never keep a connection pointer
//     past the lock: they remember the connection's id and have the send
//     queued to the event thread, where a connection that has gone meanwhile
//     is skipped. Queued sends run in the order they were queued.
//   - The database is reached only through dmNet (each thread its own
//     connection, one data-module lock).
//   - Password reminder mails run on mailPool_; their replies are queued back
//     to the event thread. mailStopping_ is guarded by mailStopLock_;
//     pendingReminders_ is atomic.
//   - The workers own their threads; StopWorkers() (and the destructor) stops
//     them before anything they use goes away.
class TClientTcp : public QObject, public TClientLink {
    Q_OBJECT
public:
    // What the client server asks of the equipment side.
    struct EquipmentHooks {
        // The on-line units of a user (event thread).
        std::function<QString(const QString &UserName, bool NoSuspend, QString &OnLineEquipmentStr)>
            UserLineState;
        // Queues a request for a unit (channel worker thread; thread-safe).
        TAddDataPackage AddDataPackage;
    };

    struct Settings {
        QString codePage = QStringLiteral("GB18030"); // 8-bit code page of the wire text
        QString homeFolder;                           // for the alarm worker's attachment files
        MailOptions mail;                             // CA file and timeouts of reminder mails
        TLinkPaces paces;
        std::size_t maxConnections = 2000; // beyond it new connections are closed at once
        // Every connection reads a PROXY protocol header first (the port is
        // behind a balancer) and is known by the address the header names;
        // one without a valid header is closed.
        bool acceptProxy = false;
        TProxyGate::Settings proxy;
    };

    TClientTcp(TCommInfoHint CommInfoHint, TUserConnectNumber UserConnectNumber,
               EquipmentHooks hooks, Settings settings, QObject *parent = nullptr);
    ~TClientTcp() override;
    TClientTcp(const TClientTcp &) = delete;
    TClientTcp &operator=(const TClientTcp &) = delete;

    // Listens on the port (IPv4, every interface; 0 picks a free port) and
    // starts the channel, reply and alarm e-mail workers. False when the port
    // cannot be opened (ErrorString() says why); no worker runs then.
    bool Start(int port);
    QString ErrorString() const { return ServerSocket.errorString(); }
    quint16 ServerPort() const { return ServerSocket.serverPort(); }
    // Stops the three workers (requests still queued are dropped). Called
    // before the equipment server is released.
    void StopWorkers();

    // TClientLink. Both may be called from any thread; the bytes are written
    // on the event thread.
    QString EquipmentBroadcast(const QString &EquipmentCode, const QString &message) override;
    bool SendToClient(const QString &clientIp, int clientPort, const QString &text) override;
    QString UserBroadcast(const QString &UserName, const QString &EquipmentName,
                          const QString &message) override;

    // True when some open connection is logged in under that name (exact).
    // Any thread.
    bool CheckClientExist(const QString &UserName) const;
    // Closes every connection logged in under that name, without the
    // disconnect log line. Any thread: called elsewhere, the closing is
    // queued to the event thread, where the connection list may be read
    // without the lock (it is applied after the sends queued before it).
    void DisClientConnect(const QString &UserName);
    // Number of open client connections. Any thread.
    int GetClientConnectCount() const;
    // Connections closed for want of a valid PROXY header so far. Event thread.
    quint64 ProxyHeadersRefused() const { return proxyGate_ ? proxyGate_->Refused() : 0; }
    // Messages dropped so far because that connection stopped reading; 0 for
    // an unknown connection. Event thread.
    quint64 DroppedMessages(const QString &clientIp, int clientPort) const;
    // Empties the alarm e-mail worker's analysis state and logs it.
    void ClearAnalysisAlertList();

    // Password reminder: looks the name and address up (event thread); when
    // they match, mails the password off the event thread, retrying once after
    // a pause, and then sends "*13" UserName "%" result "*" to the connection
    // with that id if it is still open. Result 0 mail sent, 1 mail failed,
    // 2 no such user. Throws DbError when the lookup fails.
    void FindUserPassword(const QString &UserName, const QString &UserEmail, quint64 replyTo);

    TChannelComm &Channel() { return *ChannelComm; }

    // A receive buffer holding more than this many characters without a
    // complete message is emptied.
    static constexpr qsizetype MaxReceiveChars = 1024 * 1024;
    // Bytes waiting to go out to one client, at most; a message that would
    // pass it (a client that has stopped reading) is dropped.
    static constexpr qint64 MaxPendingWriteBytes = 4 * 1024 * 1024;
    // Password reminders being mailed at one time, at most; further ones are
    // answered with result 1 at once.
    static constexpr int MaxPendingReminders = 16;
    // The answer to a login whose on-line list could not be read: a notice
    // in place of the line state, so the client is not left waiting.
    static constexpr QLatin1StringView LoginUnavailableReply{
        "*21Login fail: the database is unavailable*"};
    static constexpr QLatin1StringView LoginFailedReply{"*21Login fail: database error*"};
    // Connections waiting in the kernel to be accepted.
    static constexpr int ListenBacklog = 1024;

private:
    // Socket events.
    void ServerSocketClientConnect();
    // Makes the connection of an accepted socket whose peer is known.
    void Admit(QTcpSocket *socket, const TPeer &peer);
    void ServerSocketClientDisconnect(TClientConnection *conn);
    void ServerSocketClientRead(TClientConnection *conn);
    void ServerSocketClientError(TClientConnection *conn, QAbstractSocket::SocketError error);

    // Handles one message; false when the connection was closed by it.
    bool HandleMessage(TClientConnection *conn, const TClientMessage &message);
    void Login(TClientConnection *conn, const QString &body);
    void EquipmentRequest(TClientConnection *conn, const QString &body);
    void AccountState(const QString &body);

    // Mails the password (pool thread); the result byte.
    int SendPasswordMail(const QString &UserName, const QString &UserEmail,
                         const QString &password);
    // Sleeps on a pool thread; false when the server is going away.
    bool MailPause(std::chrono::milliseconds time);

    bool IsOpen(const TClientConnection *conn) const;
    TClientConnection *FindById(quint64 id) const;
    // Takes the connection out of the list and schedules its deletion.
    void Forget(TClientConnection *conn);
    // Closes a connection at once, without the disconnect handling.
    void CloseSilently(TClientConnection *conn);
    // Writes the text in the client code page (event thread).
    void SendText(TClientConnection *conn, const QString &text);
    // Sends to the connection with that id: at once on the event thread,
    // queued from any other.
    void PostText(quint64 id, const QString &text);
    void ReportCount();
    void Hint(const TLogEvent &event) const;
    void Hint(const QString &text, quint32 colour) const { Hint(NoteEvent(text, colour)); }

    TCommInfoHint FCommInfoHint;
    TUserConnectNumber FUserConnectNumber;
    EquipmentHooks hooks_;
    Settings settings_;

    QTcpServer ServerSocket;
    TAcceptGuard *acceptGuard_ = nullptr; // child of ServerSocket
    bool refusing_ = false;               // an episode of refused connections is on
    // Connections waiting for their PROXY header; null unless acceptProxy.
    std::unique_ptr<TProxyGate> proxyGate_;
    mutable std::mutex connectionsLock_;
    std::vector<TClientConnection *> connections_; // children of this object
    quint64 nextId_ = 1;

    QThreadPool mailPool_;
    std::mutex mailStopLock_;
    std::condition_variable mailStopSignal_;
    bool mailStopping_ = false;
    std::atomic<int> pendingReminders_{0};

    // Declared last: stopped and destroyed first.
    std::unique_ptr<TChannelComm> ChannelComm;
    std::unique_ptr<TSaveDataBaseSendClient> SaveDataBaseSendClient;
    std::unique_ptr<TSendEmailAlertInfomation> SendEmailAlertInfomation;
};

// The one client server, owned by the start-up code; null before it is
// created.
extern TClientTcp *ClientTcp;
