// A stand-in for systemd's notification socket: a datagram socket bound in a
// temporary folder, whose messages a test reads without waiting.
#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QString>
#include <QTemporaryDir>

#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace mmstest {

class FakeNotifySocket {
public:
    FakeNotifySocket() {
        path_ = dir_.filePath(QStringLiteral("notify"));
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray p = path_.toLocal8Bit();
        std::memcpy(address.sun_path, p.constData(), std::size_t(p.size()));
        bound_ = fd_ >= 0 &&
                 ::bind(fd_, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0;
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
