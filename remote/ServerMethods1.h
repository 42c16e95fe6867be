// The server-method object of one remote data service connection. It lives
// on a thread of its own with its own database connection, so a long
// statement of one remote program holds up neither the event loop nor the
// other remote programs' sockets.
#pragma once

#include "DataSetProvider1.h"
#include "PublicU.h"
#include "RemoteGuard.h"
#include "RemoteSession.h"

#include <QObject>
#include <QTcpSocket>
#include <QTimer>

#include <chrono>
#include <memory>

// The time and space one connection may take.
struct TRemoteConnectionLimits {
    // With a token set, a connection that has not logged in by then ends.
    std::chrono::milliseconds loginDeadline{10000};
    // A client that takes none of the reply bytes waiting for it for this
    // long is cut off.
    std::chrono::milliseconds stallLimit{30000};
    // Reply bytes waiting to go out beyond which no further row is read and
    // no further request handled.
    qint64 maxPendingOut = 4 * 1024 * 1024;
};

class TServerMethods1 : public QObject {
    Q_OBJECT
public:
    TServerMethods1(qintptr socketDescriptor, TdmNet &db, TRemoteSessionOptions options,
                    TCommInfoHint log, std::shared_ptr<TRemoteGuard> guard,
                    TRemoteConnectionLimits limits = {});
    ~TServerMethods1() override;

    // Received bytes taken from the socket at a time.
    static constexpr qint64 ReadChunk = 256 * 1024;

public slots:
    // On the connection's thread: takes over the socket and logs the connect.
    void Start();
    // On the connection's thread: closes the connection.
    void Stop();

signals:
    // The connection has ended (emitted on the connection's thread, once).
    void Finished();

private:
    void Pump();
    // how: the log line's ending, "disconnected" when empty.
    void End(const QString &how = {});
    // Hands reply bytes to the socket; while too many wait unsent, waits for
    // the client to take them (this connection's thread only). Throws
    // TRemoteError when the client stops taking them or the service stops.
    void Send(std::string_view bytes);
    // The lines the log gets for this connection.
    void Log(TLogKind kind, const QString &what, quint32 colour = clWhite);
    void CheckDeadlines();
    // Ends the connection at once, the log line ending with how.
    void CutOff(const QString &how);

    qintptr descriptor_;
    TdmNet &db_;
    TCommInfoHint log_;
    std::shared_ptr<TRemoteGuard> guard_;
    TRemoteConnectionLimits limits_;
    TDataSetProvider1 provider_;
    TRemoteSession session_;
    std::unique_ptr<QTcpSocket> socket_;
    QTimer deadlines_{this}; // children: they move to the connection's thread with it
    QTimer resume_{this};    // the end of a login failure's delay
    std::chrono::steady_clock::time_point started_;
    // The last time the client took reply bytes (or had none waiting).
    std::chrono::steady_clock::time_point lastTaken_;
    QString address_;
    quint16 localPort_ = 0;
    bool closing_ = false;
    bool ended_ = false;
    bool inCall_ = false;     // a request is being handled
    bool endPending_ = false; // the connection went away meanwhile
    QString endReason_;       // why the connection is being cut, for the log
};
