// A stand-in for systemd's notification socket: a datagram socket bound in a
// temporary folder, whose messages a test reads without waiting.
#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QString>
#include <QTemporaryDir>

#include <cstddef>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace mmstest {

class FakeNotifySocket {
public:
    // A path in a temporary folder, or (abstract) a name in the abstract
    // namespace, written "@name" as NOTIFY_SOCKET writes it.
    explicit FakeNotifySocket(bool abstract = false) {
        path_ = abstract ? QStringLiteral("@mms-notify-%1").arg(::getpid())
                         : dir_.filePath(QStringLiteral("notify"));
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        QByteArray p = path_.toLocal8Bit();
        if (abstract)
            p[0] = '\0';
        std::memcpy(address.sun_path, p.constData(), std::size_t(p.size()));
        const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + std::size_t(p.size()));
        bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<const sockaddr *>(&address), length) == 0;
    }
    ~FakeNotifySocket() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FakeNotifySocket(const FakeNotifySocket &) = delete;
    FakeNotifySocket &operator=(const FakeNotifySocket &) = delete;

    bool Bound() const { return bound_; }
    const QString &Path() const { return path_; }
    // Every message received since the last call.
    QByteArrayList Take() {
        QByteArrayList messages;
        char buffer[4096];
        for (ssize_t n; (n = ::recv(fd_, buffer, sizeof(buffer), 0)) >= 0;)
            messages << QByteArray(buffer, n);
        return messages;
    }

private:
    QTemporaryDir dir_;
    QString path_;
    int fd_ = -1;
    bool bound_ = false;
};

} // namespace mmstest
