// Readiness and watchdog keep-alives for the service manager (systemd's
// notification protocol: one datagram per message to the AF_UNIX socket
// named by NOTIFY_SOCKET, "@" standing for the abstract namespace).
//
// READY=1 is sent once every port listens. The keep-alive "WATCHDOG=1" is
// sent by a timer on the thread that runs the links, at half the period
// systemd asks for (WATCHDOG_USEC): it goes out only from that loop's own
// turns, so a loop that hangs stops sending and systemd restarts the service.
//
// Without NOTIFY_SOCKET (not started by systemd, or Type=simple) nothing is
// sent and no timer runs.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <optional>

class TSystemdNotify : public QObject {
    Q_OBJECT
public:
    struct Settings {
        // The socket's path; empty: nothing is sent.
        QString socket;
        // The keep-alive period systemd expects; none: no keep-alives.
        std::optional<std::chrono::microseconds> watchdog;

        // NOTIFY_SOCKET, WATCHDOG_USEC, and WATCHDOG_PID (when set, the
        // keep-alives are for that process only).
        static Settings FromEnvironment();
    };

    explicit TSystemdNotify(Settings settings, QObject *parent = nullptr);
    ~TSystemdNotify() override;
    TSystemdNotify(const TSystemdNotify &) = delete;
    TSystemdNotify &operator=(const TSystemdNotify &) = delete;

    // True when a socket is named.
    bool Enabled() const { return fd_ >= 0; }
    // Sends one message ("READY=1", "STOPPING=1", ...); false when there is
    // no socket or the send failed.
    bool Notify(const QByteArray &state) const;

    // Says the service is ready and starts the keep-alives on the calling
    // thread's event loop (call it on the thread that runs the links).
    void Ready();
    // Says the service is stopping and ends the keep-alives.
    void Stopping();

    // The keep-alive timer (tests read its interval).
    QTimer keepAlive;

private:
    Settings settings_;
    int fd_ = -1;
};
