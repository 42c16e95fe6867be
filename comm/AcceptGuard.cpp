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
    connect(&resume_, &QTimer::timeout, this, [this] {
        server_.resumeAccepting();
        if (watch_)
            watch_->setEnabled(true);
    });
    // When Qt does report the failure it has paused accepting already.
    connect(&server_, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError error) {
        qCDebug(lcEquipment) << what_ << "port: accept failed:" << error;
        OutOfDescriptors();
    });
}

TAcceptGuard::~TAcceptGuard() {
    StopWatching();
    if (spare_ >= 0)
        ::close(spare_);
}

void TAcceptGuard::Listening() {
    StopWatching();
    if (!server_.isListening())
        return;
    watchFd_ = ::fcntl(static_cast<int>(server_.socketDescriptor()), F_DUPFD_CLOEXEC, 0);
    if (watchFd_ < 0)
        return;
    watch_ = std::make_unique<QSocketNotifier>(watchFd_, QSocketNotifier::Read);
    connect(watch_.get(), &QSocketNotifier::activated, this, &TAcceptGuard::OnReadable);
}

void TAcceptGuard::StopWatching() {
    watch_.reset();
    if (watchFd_ >= 0)
        ::close(watchFd_);
    watchFd_ = -1;
}

void TAcceptGuard::OnReadable() {
    // Whichever of Qt's notifier and this one runs first: while a descriptor
    // can be had, Qt accepts the connection.
    const int probe = OpenSpare();
    if (probe >= 0) {
        ::close(probe);
        return;
    }
    if (errno == EMFILE || errno == ENFILE)
        OutOfDescriptors();
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

void TAcceptGuard::OutOfDescriptors() {
    if (resume_.isActive())
        return; // this episode's pause is on
    // The listening socket stays readable while connections wait: neither
    // Qt's notifier nor this one may fire until the pause is over.
    server_.pauseAccepting();
    if (watch_)
        watch_->setEnabled(false);
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
