// The connections of a port behind a balancer that speaks the PROXY
// protocol, from their accept until their header is read.
//
// Nothing of a connection is parsed before its header is complete. The
// gate reads only the header's bytes off the socket (it peeks, then takes
// what the parser took), so the peer's first data stays in the socket's
// buffer for the server. A connection whose first bytes are not a valid
// header, that closes in the middle of one, or that sends none within the
// timeout is closed and counted; the log gets one red line at the first
// such connection and then at most one per interval, counting the ones
// since the last line. A peer that closes without having sent anything (a
// balancer's connect-only check) is dropped without a word. Event thread.
#pragma once

#include "Peer.h"
#include "ProxyHeader.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <unordered_map>

class QTcpSocket;

class TProxyGate : public QObject {
public:
    using Hint = std::function<void(const QString &text, quint32 colour)>;
    // A connection whose header is complete, with the peer it names. The
    // socket has no parent and its signals reach nobody; bytes after the
    // header wait in its buffer.
    using Admit = std::function<void(QTcpSocket *socket, const TPeer &peer)>;

    struct Settings {
        std::chrono::milliseconds headerTimeout{5000};
        std::chrono::milliseconds logInterval{60000};
    };

    // what names the port in the log ("Equipment", "Client").
    TProxyGate(QString what, Hint hint, Admit admit, Settings settings);
    ~TProxyGate() override;
    TProxyGate(const TProxyGate &) = delete;
    TProxyGate &operator=(const TProxyGate &) = delete;

    // Takes an accepted socket (it becomes the gate's child) and reads its
    // header, at once from what has arrived already and then as bytes come.
    void Take(QTcpSocket *socket);

    // Connections whose header is not complete yet.
    std::size_t Waiting() const { return waiting_.size(); }
    // Connections closed for want of a valid header so far.
    quint64 Refused() const { return refused_; }

    // What the gate reads off a socket per step; the socket buffers no more
    // while the header is read.
    static constexpr qint64 ReadChunkBytes = 4096;

private:
    struct TWaiting {
        TProxyHeaderParser parser;
        QDeadlineTimer deadline;
        qint64 received = 0;
    };

    void OnReadable(QTcpSocket *socket);
    void OnGone(QTcpSocket *socket);
    void Sweep();
    // Takes the socket out of the gate: its entry goes, its signals no
    // longer reach the gate.
    void Release(QTcpSocket *socket);
    void Refuse(QTcpSocket *socket, const QString &why);
    void LogRefusals();

    QString what_;
    Hint hint_;
    Admit admit_;
    Settings settings_;
    std::unordered_map<QTcpSocket *, std::unique_ptr<TWaiting>> waiting_;
    QTimer sweep_;  // runs while connections wait: closes the late ones
    QTimer logGap_; // runs from one refusal line until the interval is over
    quint64 refused_ = 0;
    quint64 unlogged_ = 0; // refusals since the last line
    QString lastRefusal_;  // "ADDRESS:PORT: why" of the latest refusal
};
