#include "Peer.h"

#include "ProxyHeader.h"

#include <QTcpSocket>

QString PeerAddressText(const QHostAddress &address) {
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : address.toString();
}

TPeer SocketPeer(const QTcpSocket &socket) {
    return {PeerAddressText(socket.peerAddress()), socket.peerPort()};
}

TPeer HeaderPeer(const TProxyHeaderParser &header, const QTcpSocket &socket) {
    if (header.Local())
        return SocketPeer(socket);
    return {PeerAddressText(header.SourceAddress()), header.SourcePort()};
}
