#include "ClientConnection.h"

TClientConnection::TClientConnection(quint64 id, QTcpSocket *socket, const TPeer &peer,
                                     const QString &codePage, QObject *parent)
    : QObject(parent), Id(id), ClientIp(peer.address), ClientPort(peer.port), socket_(socket),
      decoder_(codePage.toLatin1().constData()) {
    socket_->setParent(this);
}
