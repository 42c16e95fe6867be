#include "AcceptGuard.h"

#include "LogCategories.h"
#include "PublicU.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int OpenSpare() {
    return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

} // namespace

TAcceptGuard::TAcceptGuard(QTcpServer &server, QString what, Hint hint)
    : QObject(&server), server_(server), what_(std::move(what)), hint_(std::move(hint)),
      spare_(OpenSpare()) {
    resume_.setSingleShot(true);
    resume_.setInterval(ResumeAfterMs);
    connect(&resume_, &QTimer::timeout, this, [this] { server_.resumeAccepting(); });
    connect(&server_, &QTcpServer::acceptError, this, &TAcceptGuard::OnAcceptError);
}

TAcceptGuard::~TAcceptGuard() {
    if (spare_ >= 0)
        ::close(spare_);
}

bool TAcceptGuard::MayKeep(qintptr descriptor, std::size_t open, std::size_t maxConnections,
                           int reserveShare) {
    if (open >= maxConnections)
        return false;
    rlimit files{};
    if (reserveShare <= 0 || ::getrlimit(RLIMIT_NOFILE, &files) != 0 ||
        files.rlim_cur == RLIM_INFINITY)
        return true;
    const auto limit = static_cast<qintptr>(files.rlim_cur);
    return descriptor < limit - limit / reserveShare;
}

void TAcceptGuard::OnAcceptError(QAbstractSocket::SocketError error) {
    // Qt has paused accepting on this port.
    qCDebug(lcEquipment) << what_ << "port: accept failed:" << error;
    if (spare_ >= 0) {
        ::close(spare_);
        spare_ = -1;
    }
    int closed = 0;
    for (;;) {
        const int fd = ::accept4(static_cast<int>(server_.socketDescriptor()), nullptr, nullptr,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            break;
        ::close(fd);
        ++closed;
    }
    spare_ = OpenSpare();
    if (!inEpisode_) {
        inEpisode_ = true;
        if (hint_)
            hint_(what_ + QStringLiteral(" port: out of file descriptors, new connections are "
                                         "closed at once (%1 so far)")
                              .arg(closed),
                  clRed);
    }
    resume_.start();
}
