// Where a connection of the equipment or client port comes from, as the
// log, the replies to clients, the history and the fleet views show it. It
// is taken once, when the connection is accepted or, behind a balancer that
// speaks the PROXY protocol, once its header is read.
#pragma once

#include <QHostAddress>
#include <QString>

class QTcpSocket;
class TProxyHeaderParser;

struct TPeer {
    QString address;
    quint16 port = 0;
};

// Dotted IPv4 text for an IPv4 or IPv4-mapped IPv6 address (never
// "::ffff:..."); other IPv6 addresses as Qt writes them.
QString PeerAddressText(const QHostAddress &address);
// The socket's own peer.
TPeer SocketPeer(const QTcpSocket &socket);
// The source a complete PROXY header names; the socket's own peer when the
// header names none (a LOCAL or UNKNOWN header).
TPeer HeaderPeer(const TProxyHeaderParser &header, const QTcpSocket &socket);
