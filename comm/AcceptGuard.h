// Keeps a listening server serving when the process runs out of
// descriptors, and decides whether a new connection may be kept.
//
// Out of descriptors, accept() fails and Qt stops accepting on that port for
// good, while the waiting connections stay queued in the kernel. The guard
// then frees a descriptor it holds in reserve, accepts and closes what is
// waiting (so that the peers hear "closed" instead of hanging), takes its
// reserve back and resumes accepting after a short pause. One red line tells
// of each episode. Event thread.
#pragma once

#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QTimer>

#include <functional>

class TAcceptGuard : public QObject {
public:
    using Hint = std::function<void(const QString &text, quint32 colour)>;

    // what names the port in the red line ("Equipment", "Client").
    TAcceptGuard(QTcpServer &server, QString what, Hint hint);
    ~TAcceptGuard() override;

    // An accepted connection may be kept when fewer than maxConnections are
    // open and its descriptor leaves reserveShare of the process's descriptor
    // limit free for the other ports and the database (descriptors are
    // handed out lowest first, so a high number means few are left).
    static bool MayKeep(qintptr descriptor, std::size_t open, std::size_t maxConnections,
                        int reserveShare);

    // A connection was accepted normally: any episode is over.
    void Accepted() { inEpisode_ = false; }

    // The pause before accepting again after running out.
    static constexpr int ResumeAfterMs = 200;

private:
    void OnAcceptError(QAbstractSocket::SocketError error);

    QTcpServer &server_;
    QString what_;
    Hint hint_;
    int spare_ = -1;
    bool inEpisode_ = false;
    QTimer resume_;
};
