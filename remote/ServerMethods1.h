// The server-method object of one remote data service connection. It lives
// on a thread of its own with its own database connection; its statements run
// under the data module lock, so a long statement of one remote program holds
// up neither the event loop nor the other remote programs' sockets.
#pragma once

#include "DataSetProvider1.h"
#include "PublicU.h"
#include "RemoteSession.h"

#include <QObject>
#include <QTcpSocket>

#include <memory>

class TServerMethods1 : public QObject {
    Q_OBJECT
public:
    TServerMethods1(qintptr socketDescriptor, TdmNet &db, TRemoteSessionOptions options,
                    TCommInfoHint log);
    ~TServerMethods1() override;

    // Received bytes taken from the socket at a time, and the reply bytes
    // waiting to go out beyond which no further request is handled.
    static constexpr qint64 ReadChunk = 256 * 1024;
    static constexpr qint64 MaxPendingOut = 1024 * 1024;

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
    void End();

    qintptr descriptor_;
    TdmNet &db_;
    TCommInfoHint log_;
    TDataSetProvider1 provider_;
    TRemoteSession session_;
    std::unique_ptr<QTcpSocket> socket_;
    QString address_;
    quint16 localPort_ = 0;
    bool closing_ = false;
    bool ended_ = false;
};
