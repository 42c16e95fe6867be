#include "EquipmentConnection.h"

#include "EquipmentTcp.h"
#include "FrameCodec.h"
#include "HexText.h"

#include <QTcpSocket>

namespace {
// How much the socket may hold before the read handler has taken it; the
// kernel keeps the rest, so a flooding peer cannot grow our memory.
constexpr qint64 SocketReadBufferBytes = 64 * 1024;
} // namespace

QString TEquipmentIdentity::SocketData() const {
    return EquipmentCode + QLatin1Char('@') + EquipmentType + SiteId + QLatin1Char('#');
}

QString SiteNumText(QStringView stationBytes) {
    return HexDelLeft0(ReverseHexBytes(stationBytes));
}

QString TEquipmentIdentity::SiteNum() const {
    return SiteNumText(CopyText(SiteId, 1, 8));
}

quint8 TEquipmentIdentity::EquipmentNum() const {
    return static_cast<quint8>(HexToInt(CopyText(SiteId, 9, 2)));
}

TEquipmentConnection::TEquipmentConnection(TEquipmentTcp &server, QTcpSocket *socket, TPeer peer)
    : QObject(&server), server_(server), socket_(socket), remoteAddress_(std::move(peer.address)),
      remotePort_(peer.port) {
    socket_->setParent(this);
    socket_->setReadBufferSize(SocketReadBufferBytes);
    key_ = remoteAddress_ + QLatin1Char('#') + QString::number(remotePort_);

    connect(socket_, &QTcpSocket::readyRead, this,
            [this] { server_.ServerSocketClientRead(*this); });
    connect(socket_, &QTcpSocket::disconnected, this,
            [this] { server_.ServerSocketClientDisconnect(*this); });
    connect(socket_, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        server_.ServerSocketClientError(*this, error);
    });
}

void TEquipmentConnection::Detach() {
    QObject::disconnect(socket_, nullptr, this, nullptr);
    socket_->abort();
}
