// One client connection of the client server: its socket, the user name it
// logged in with, and its receive buffer.
#pragma once

#include "BoundedWrite.h"

#include "ClientProtocol.h"
#include "Peer.h"

#include <QObject>
#include <QString>
#include <QStringDecoder>
#include <QTcpSocket>

// Threading: created, used and deleted on the event thread. Id, ClientIp and
// ClientPort never change after creation. UserName is written on the event
// thread only while the server's connection lock is held, so other threads
// may read it under that lock. The socket, the decoder and RecClientPackStr
// belong to the event thread alone.
class TClientConnection : public QObject {
    Q_OBJECT
public:
    // Takes the socket over (it becomes a child of the connection). The peer
    // is the socket's own or the one its PROXY header named.
    TClientConnection(quint64 id, QTcpSocket *socket, const TPeer &peer, const QString &codePage,
                      QObject *parent = nullptr);

    const quint64 Id;
    const QString ClientIp;
    const int ClientPort;
    QString UserName; // empty until the first login message

    QTcpSocket *Socket() const { return socket_; }
    // Converts received bytes to text; a character split across two reads is
    // completed by the second.
    QString Decode(const QByteArray &bytes) { return decoder_.decode(bytes); }

    TClientPackBuffer RecClientPackStr;
    // Messages refused because the client stopped reading.
    TWriteDrops Drops;

private:
    QTcpSocket *socket_;
    QStringDecoder decoder_;
};
