#include "ProxyGate.h"

#include "LogCategories.h"
#include "PublicU.h"
#include "ServerMetrics.h"

#include <QTcpSocket>

#include <algorithm>

namespace {

// How often the waiting connections are looked at for their deadline: a
// quarter of the timeout, within 50 ms .. 1 s.
std::chrono::milliseconds SweepInterval(std::chrono::milliseconds timeout) {
    return std::clamp(timeout / 4, std::chrono::milliseconds(50), std::chrono::milliseconds(1000));
}

} // namespace

TProxyGate::TProxyGate(QString what, Hint hint, Admit admit, Settings settings)
    : what_(std::move(what)), hint_(std::move(hint)), admit_(std::move(admit)),
      settings_(settings) {
    sweep_.setInterval(SweepInterval(settings_.headerTimeout));
    connect(&sweep_, &QTimer::timeout, this, &TProxyGate::Sweep);
    logGap_.setSingleShot(true);
    logGap_.setInterval(settings_.logInterval);
    connect(&logGap_, &QTimer::timeout, this, [this] {
        // Refusals counted during the gap get their line now, and a new gap
        // begins; without any, the next refusal is told at once.
        if (unlogged_ > 0) {
            LogRefusals();
            logGap_.start();
        }
    });
}

TProxyGate::~TProxyGate() {
    // The sockets are children of the gate: cut them loose first so that
    // closing them reaches no handler of a gate half torn down.
    for (const auto &entry : waiting_) {
        QObject::disconnect(entry.first, nullptr, this, nullptr);
        entry.first->abort();
    }
    waiting_.clear();
}

void TProxyGate::Take(QTcpSocket *socket) {
    socket->setParent(this);
    socket->setReadBufferSize(ReadChunkBytes);
    auto waiting = std::make_unique<TWaiting>();
    waiting->deadline = QDeadlineTimer(settings_.headerTimeout);
    waiting_.emplace(socket, std::move(waiting));
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { OnReadable(socket); });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] { OnGone(socket); });
    connect(socket, &QTcpSocket::errorOccurred, this,
            [this, socket](QAbstractSocket::SocketError error) {
                // A peer that closes is reported next by the disconnected signal.
                if (error != QAbstractSocket::RemoteHostClosedError)
                    OnGone(socket);
            });
    if (!sweep_.isActive())
        sweep_.start();
    if (socket->bytesAvailable() > 0)
        OnReadable(socket);
}

void TProxyGate::OnReadable(QTcpSocket *socket) {
    const auto it = waiting_.find(socket);
    if (it == waiting_.end())
        return;
    TWaiting &waiting = *it->second;
    TProxyHeaderParser &parser = waiting.parser;
    while (parser.state() == TProxyHeaderParser::State::NeedMore) {
        const QByteArray bytes = socket->peek(ReadChunkBytes);
        if (bytes.isEmpty())
            break;
        const qsizetype taken = parser.Feed(bytes);
        waiting.received += taken;
        // Only the header's bytes leave the socket.
        if (taken > 0)
            socket->read(taken);
    }
    switch (parser.state()) {
    case TProxyHeaderParser::State::NeedMore:
        return;
    case TProxyHeaderParser::State::Invalid:
        Refuse(socket, parser.Error());
        return;
    case TProxyHeaderParser::State::Done:
        break;
    }
    const TPeer peer = HeaderPeer(parser, *socket);
    Release(socket);
    socket->setParent(nullptr);
    socket->setReadBufferSize(0);
    admit_(socket, peer);
}

void TProxyGate::OnGone(QTcpSocket *socket) {
    const auto it = waiting_.find(socket);
    if (it == waiting_.end())
        return;
    if (it->second->received == 0 && socket->bytesAvailable() == 0) {
        qCDebug(lcEquipment) << what_ << "port: a connection closed before sending anything";
        Release(socket);
        socket->abort();
        socket->deleteLater();
        return;
    }
    Refuse(socket, QStringLiteral("closed before its PROXY header was complete"));
}

void TProxyGate::Sweep() {
    std::vector<QTcpSocket *> late;
    for (const auto &[socket, waiting] : waiting_)
        if (waiting->deadline.hasExpired())
            late.push_back(socket);
    const double seconds = double(settings_.headerTimeout.count()) / 1000.0;
    for (QTcpSocket *socket : late)
        Refuse(socket, QStringLiteral("no PROXY header within %1 s").arg(seconds));
    if (waiting_.empty())
        sweep_.stop();
}

void TProxyGate::Release(QTcpSocket *socket) {
    QObject::disconnect(socket, nullptr, this, nullptr);
    waiting_.erase(socket);
    if (waiting_.empty())
        sweep_.stop();
}

void TProxyGate::Refuse(QTcpSocket *socket, const QString &why) {
    const TPeer from = SocketPeer(*socket);
    Release(socket);
    socket->abort();
    // Possibly inside one of its own signals: deleted once that is over.
    socket->deleteLater();
    ++refused_;
    ++unlogged_;
    CountMetric(&TServerMetrics::proxyHeadersRefused);
    lastRefusal_ =
        from.address + QLatin1Char(':') + QString::number(from.port) + QStringLiteral(": ") + why;
    qCDebug(lcEquipment) << what_
                         << "port: closed a connection without a PROXY header:" << lastRefusal_;
    if (!logGap_.isActive()) {
        LogRefusals();
        logGap_.start();
    }
}

void TProxyGate::LogRefusals() {
    if (hint_)
        hint_(what_ +
                  (unlogged_ == 1
                       ? QStringLiteral(" port: a connection without a valid PROXY header closed "
                                        "(from %1)")
                             .arg(lastRefusal_)
                       : QStringLiteral(" port: %1 connections without a valid PROXY header "
                                        "closed (the last from %2)")
                             .arg(unlogged_)
                             .arg(lastRefusal_)),
              clRed);
    unlogged_ = 0;
}
