// Keeps a listening server serving when the process runs out of
// descriptors, and decides whether a new connection may be kept.
//
// Out of descriptors, accept() fails while the waiting connections stay
// queued in the kernel. Qt cannot be relied on to say so: its socket engine
// keeps the first error it meets, and once a drained queue has answered
// "try again" it takes every later failure for that too and retries at once,
// spinning a core. So the guard watches the listening socket itself (through
// a duplicate of its descriptor): when a connection waits and no descriptor
// can be had, it pauses accepting, frees a descriptor it holds in reserve,
// accepts and closes what is waiting (so that the peers hear "closed"
// instead of hanging), takes its reserve back and resumes after a short
// pause. One red line tells of each episode. Event thread.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTcpServer>
#include <QTimer>

#include <functional>
#include <memory>

class TAcceptGuard : public QObject {
public:
    using Hint = std::function<void(const QString &text, quint32 colour)>;

    // what names the port in the red line ("Equipment", "Client").
    TAcceptGuard(QTcpServer &server, QString what, Hint hint);
    ~TAcceptGuard() override;

    // The server listens (again): watch its listening socket.
    void Listening();

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
    // A connection waits: an episode begins when no descriptor can be had.
    void OnReadable();
    void OutOfDescriptors();
    void StopWatching();

    QTcpServer &server_;
    QString what_;
    Hint hint_;
    int spare_ = -1;
    int watchFd_ = -1; // duplicate of the listening descriptor
    std::unique_ptr<QSocketNotifier> watch_;
    bool inEpisode_ = false;
    QTimer resume_;
};
