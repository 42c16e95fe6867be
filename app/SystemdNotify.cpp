#include "SystemdNotify.h"

#include <QtGlobal>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

TSystemdNotify::Settings TSystemdNotify::Settings::FromEnvironment() {
    Settings s;
    s.socket = qEnvironmentVariable("NOTIFY_SOCKET");
    bool ok = false;
    const qulonglong usec = qEnvironmentVariable("WATCHDOG_USEC").toULongLong(&ok);
    const QString pid = qEnvironmentVariable("WATCHDOG_PID");
    const bool ours = pid.isEmpty() || pid.toLongLong() == qint64(::getpid());
    if (ok && usec > 0 && ours)
        s.watchdog = std::chrono::microseconds(usec);
    return s;
}

TSystemdNotify::TSystemdNotify(Settings settings, QObject *parent)
    : QObject(parent), settings_(std::move(settings)) {
    keepAlive.setParent(this);
    connect(&keepAlive, &QTimer::timeout, this, [this] { Notify("WATCHDOG=1"); });
    if (settings_.socket.isEmpty())
        return;
    // Non-blocking: a message that cannot go at once is dropped, the loop
    // never waits on the service manager.
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}

TSystemdNotify::~TSystemdNotify() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool TSystemdNotify::Notify(const QByteArray &state) const {
    if (fd_ < 0)
        return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    QByteArray path = settings_.socket.toLocal8Bit();
    if (path.size() < 2 || std::size_t(path.size()) > sizeof(address.sun_path) ||
        (path[0] != '/' && path[0] != '@'))
        return false;
    // "@name": the abstract namespace, where the name starts with a zero byte.
    if (path[0] == '@')
        path[0] = '\0';
    std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
    // An abstract name's length is exact; a path's may end with its zero.
    const socklen_t length = socklen_t(
        offsetof(sockaddr_un, sun_path) + std::size_t(path.size()) +
        (path[0] == '\0' || std::size_t(path.size()) == sizeof(address.sun_path) ? 0 : 1));
    return ::sendto(fd_, state.constData(), std::size_t(state.size()), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr *>(&address), length) == state.size();
}

void TSystemdNotify::Ready() {
    Notify("READY=1");
    if (!Enabled() || !settings_.watchdog)
        return;
    // Half the period, as systemd advises: one late turn is not yet a miss.
    const auto half =
        std::chrono::duration_cast<std::chrono::milliseconds>(*settings_.watchdog / 2);
    keepAlive.setInterval(std::max(half, std::chrono::milliseconds(1)));
    keepAlive.start();
    Notify("WATCHDOG=1");
}

void TSystemdNotify::Stopping() {
    keepAlive.stop();
    Notify("STOPPING=1");
}
