#include "ServerMethods1.h"

#include <QHostAddress>

#include <algorithm>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Dotted IPv4 text for an IPv4 peer, also when it reached an IPv6 socket.
QString AddressText(const QHostAddress &address) {
    bool ok = false;
    const quint32 v4 = address.toIPv4Address(&ok);
    return ok ? QHostAddress(v4).toString() : address.toString();
}

QString Seconds(milliseconds ms) {
    return QString::number(double(ms.count()) / 1000.0, 'g', 3) + QStringLiteral(" s");
}

// The reason a connection ends, thrown out of a call to end it.
TRemoteError Cut(const std::string &why) {
    return TRemoteError(RemoteErrorCode::DatabaseError, why, true);
}

} // namespace

TServerMethods1::TServerMethods1(qintptr socketDescriptor, TdmNet &db,
                                 TRemoteSessionOptions options, TCommInfoHint log,
                                 std::shared_ptr<TRemoteGuard> guard,
                                 TRemoteConnectionLimits limits)
    : descriptor_(socketDescriptor), db_(db), log_(std::move(log)), guard_(std::move(guard)),
      limits_(limits), provider_(db), session_(provider_, [&] {
          options.onLoginFailure = [this] {
              if (guard_->throttle.Failed(address_))
                  Log(TLogKind::Error,
                      QStringLiteral("login failed (a wrong token); further failures from this "
                                     "address are slowed down"),
                      clRed);
          };
          return std::move(options);
      }()) {
    session_.SetOutput([this](std::string_view part) { Send(part); });
}

TServerMethods1::~TServerMethods1() = default;

void TServerMethods1::Log(TLogKind kind, const QString &what, quint32 colour) {
    if (log_)
        log_(LogEvent(kind, TLogPane::Events,
                      QStringLiteral("DataBase (IP:") + address_ + QStringLiteral("  Port:") +
                          QString::number(localPort_) + QStringLiteral(") ") + what,
                      colour)
                 .WithPeer(address_, socket_ ? socket_->peerPort() : 0));
}

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
    started_ = lastTaken_ = Clock::now();
    Log(TLogKind::Connect, QStringLiteral("connected"));
    connect(socket_.get(), &QTcpSocket::readyRead, this, &TServerMethods1::Pump);
    connect(socket_.get(), &QTcpSocket::bytesWritten, this, [this] {
        lastTaken_ = Clock::now();
        Pump();
    });
    connect(socket_.get(), &QTcpSocket::disconnected, this, [this] { End(endReason_); });
    resume_.setSingleShot(true);
    connect(&resume_, &QTimer::timeout, this, &TServerMethods1::Pump);
    // Often enough to keep each deadline to within a quarter of itself.
    deadlines_.setInterval(std::clamp(std::min(limits_.loginDeadline, limits_.stallLimit) / 4,
                                      milliseconds(20), milliseconds(1000)));
    connect(&deadlines_, &QTimer::timeout, this, &TServerMethods1::CheckDeadlines);
    deadlines_.start();
    Pump();
}

void TServerMethods1::Stop() {
    if (socket_ && !ended_)
        socket_->abort();
    End();
}

void TServerMethods1::CheckDeadlines() {
    if (!socket_ || ended_ || inCall_)
        return;
    const auto now = Clock::now();
    if (guard_->stopping) {
        Stop();
    } else if (!session_.LoggedIn() && !session_.Options().token.empty() &&
               now - started_ >= limits_.loginDeadline) {
        CutOff(QStringLiteral("disconnected: no login within ") + Seconds(limits_.loginDeadline));
    } else if (socket_->bytesToWrite() > 0 && now - lastTaken_ >= limits_.stallLimit) {
        CutOff(QStringLiteral("disconnected: took no reply bytes for ") +
               Seconds(limits_.stallLimit));
    }
}

void TServerMethods1::CutOff(const QString &how) {
    endReason_ = how;
    socket_->abort(); // its disconnected signal ends the connection
    End(endReason_);
}

void TServerMethods1::Send(std::string_view bytes) {
    if (!socket_ || ended_ || endPending_)
        throw Cut("the connection has ended");
    if (socket_->bytesToWrite() == 0)
        lastTaken_ = Clock::now();
    socket_->write(bytes.data(), qint64(bytes.size()));
    // Rows are read no faster than the client takes them.
    while (socket_->bytesToWrite() > limits_.maxPendingOut) {
        if (guard_->stopping)
            throw Cut("the service is stopping");
        const qint64 before = socket_->bytesToWrite();
        socket_->waitForBytesWritten(50);
        if (!socket_ || ended_ || endPending_ ||
            socket_->state() != QAbstractSocket::ConnectedState)
            throw Cut("the connection has ended");
        const auto now = Clock::now();
        if (socket_->bytesToWrite() < before) {
            lastTaken_ = now;
        } else if (now - lastTaken_ >= limits_.stallLimit) {
            endReason_ = QStringLiteral("disconnected: took no reply bytes for ") +
                         Seconds(limits_.stallLimit);
            throw Cut("the client takes no reply bytes");
        }
    }
}

void TServerMethods1::Pump() {
    if (!socket_ || closing_ || ended_ || inCall_ || resume_.isActive())
        return;
    std::string reply;
    for (;;) {
        if (guard_->stopping) {
            Stop();
            return;
        }
        if (socket_->bytesToWrite() > limits_.maxPendingOut)
            return; // resumed by bytesWritten
        if (!session_.HasWork()) {
            if (socket_->bytesAvailable() <= 0)
                return; // resumed by readyRead
            session_.Feed(socket_->read(ReadChunk).toStdString());
            continue;
        }
        // An address that keeps failing to log in waits before each try.
        if (!session_.LoggedIn() && !session_.Options().token.empty()) {
            const milliseconds delay = guard_->throttle.Delay(address_);
            if (delay.count() > 0) {
                resume_.start(delay);
                return;
            }
        }
        const bool wasLoggedIn = session_.LoggedIn();
        inCall_ = true;
        session_.HandleNext(reply);
        inCall_ = false;
        if (endPending_) {
            End(endReason_);
            return;
        }
        if (!wasLoggedIn && session_.LoggedIn())
            guard_->throttle.Succeeded(address_);
        if (!reply.empty())
            socket_->write(reply.data(), qint64(reply.size()));
        if (session_.Closing()) {
            closing_ = true;
            if (!endReason_.isEmpty()) {
                CutOff(endReason_);
                return;
            }
            // Sends what is queued, then closes; disconnected follows.
            socket_->disconnectFromHost();
            return;
        }
    }
}

void TServerMethods1::End(const QString &how) {
    if (ended_)
        return;
    if (inCall_) {
        // Inside a call (the socket's signals run while a large reply waits
        // to go out): ended once the call has unwound.
        endPending_ = true;
        if (endReason_.isEmpty())
            endReason_ = how;
        return;
    }
    ended_ = true;
    deadlines_.stop();
    resume_.stop();
    Log(TLogKind::Disconnect, how.isEmpty() ? QStringLiteral("disconnected") : how);
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
