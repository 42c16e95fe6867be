#include "ServerMethods1.h"

#include <QHostAddress>

namespace {

// Dotted IPv4 text for an IPv4 peer, also when it reached an IPv6 socket.
QString AddressText(const QHostAddress &address) {
    bool ok = false;
    const quint32 v4 = address.toIPv4Address(&ok);
    return ok ? QHostAddress(v4).toString() : address.toString();
}

} // namespace

TServerMethods1::TServerMethods1(qintptr socketDescriptor, TdmNet &db,
                                 TRemoteSessionOptions options, TCommInfoHint log)
    : descriptor_(socketDescriptor), db_(db), log_(std::move(log)), provider_(db),
      session_(provider_, std::move(options)) {}

TServerMethods1::~TServerMethods1() = default;

void TServerMethods1::Start() {
    socket_ = std::make_unique<QTcpSocket>();
    if (!socket_->setSocketDescriptor(descriptor_)) {
        socket_.reset();
        ended_ = true;
        emit Finished();
        return;
    }
    // Qt stops reading from the kernel once this much waits unread, so a
    // client that sends faster than its requests are handled is held back by
    // TCP instead of filling memory.
    socket_->setReadBufferSize(ReadChunk);
    address_ = AddressText(socket_->peerAddress());
    // The service's own port, not the remote program's.
    localPort_ = socket_->localPort();
    if (log_)
        log_(QStringLiteral("DataBase (IP:") + address_ + QStringLiteral("  Port:") +
                 QString::number(localPort_) + QStringLiteral(") connected"),
             clWhite);
    connect(socket_.get(), &QTcpSocket::readyRead, this, &TServerMethods1::Pump);
    connect(socket_.get(), &QTcpSocket::bytesWritten, this, &TServerMethods1::Pump);
    connect(socket_.get(), &QTcpSocket::disconnected, this, &TServerMethods1::End);
    Pump();
}

void TServerMethods1::Stop() {
    if (socket_ && !ended_)
        socket_->abort();
    End();
}

void TServerMethods1::Pump() {
    if (!socket_ || closing_ || ended_)
        return;
    std::string reply;
    for (;;) {
        if (socket_->bytesToWrite() > MaxPendingOut)
            return; // resumed by bytesWritten
        if (!session_.HandleNext(reply)) {
            if (socket_->bytesAvailable() <= 0)
                return; // resumed by readyRead
            session_.Feed(socket_->read(ReadChunk).toStdString());
            continue;
        }
        if (!reply.empty())
            socket_->write(reply.data(), qint64(reply.size()));
        if (session_.Closing()) {
            closing_ = true;
            // Sends what is queued, then closes; disconnected follows.
            socket_->disconnectFromHost();
            return;
        }
    }
}

void TServerMethods1::End() {
    if (ended_)
        return;
    ended_ = true;
    if (log_)
        log_(QStringLiteral("DataBase (IP:") + address_ + QStringLiteral("  Port:") +
                 QString::number(localPort_) + QStringLiteral(") disconnected"),
             clWhite);
    if (socket_) {
        socket_->disconnect(this);
        socket_->abort();
        // Deleted later: End may run inside one of the socket's own signals.
        socket_.release()->deleteLater();
    }
    // This thread's database connection goes with the connection.
    db_.ReleaseThreadConnection();
    emit Finished();
}
