#include "ClientConnection.h"

#include <QHostAddress>

namespace {

// Dotted IPv4 text, also for an IPv4-mapped IPv6 peer.
QString PeerIp(const QTcpSocket &socket) {
    const QHostAddress peer = socket.peerAddress();
    bool isV4 = false;
    const quint32 v4 = peer.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : peer.toString();
}

} // namespace

TClientConnection::TClientConnection(quint64 id, QTcpSocket *socket, const QString &codePage,
                                     QObject *parent)
    : QObject(parent), Id(id), ClientIp(PeerIp(*socket)), ClientPort(socket->peerPort()),
      socket_(socket), decoder_(codePage.toLatin1().constData()) {
    socket_->setParent(this);
}
