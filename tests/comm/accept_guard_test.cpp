// The accept guard when the process runs out of descriptors: what waits is
// accepted and closed with one red line, accepting pauses instead of
// spinning, and the port serves again once descriptors are free.
#include "AcceptGuard.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

bool WaitUntil(const std::function<bool()> &done, qint64 timeoutMs = 5000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

int HighestOpenDescriptor() {
    int highest = 0;
    for (const QString &name :
         QDir(QStringLiteral("/proc/self/fd"))
             .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
        highest = std::max(highest, name.toInt());
    return highest;
}

// Leaves the process `free` descriptors for its life: lowers the soft limit
// just above the highest open descriptor and fills the gaps below it.
class FewDescriptorsLeft {
public:
    explicit FewDescriptorsLeft(int free) {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit low = saved_;
        low.rlim_cur = rlim_t(HighestOpenDescriptor() + 1 + free);
        ::setrlimit(RLIMIT_NOFILE, &low);
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            filler_.push_back(fd);
        for (int i = 0; i < free && !filler_.empty(); ++i) {
            ::close(filler_.back());
            filler_.pop_back();
        }
    }
    ~FewDescriptorsLeft() {
        for (const int fd : filler_)
            ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &saved_);
    }
    FewDescriptorsLeft(const FewDescriptorsLeft &) = delete;
    FewDescriptorsLeft &operator=(const FewDescriptorsLeft &) = delete;

private:
    rlimit saved_{};
    std::vector<int> filler_;
};

// A child process that opens count connections to the port and holds them
// until it is killed (it has descriptors of its own).
class Connector {
public:
    Connector(quint16 port, int count) : pid_(::fork()) {
        if (pid_ != 0)
            return;
        // The parent may be short of descriptors; the child is not.
        rlimit files{};
        ::getrlimit(RLIMIT_NOFILE, &files);
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
        for (int i = 0; i < count; ++i) {
            const int s = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(port);
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ::connect(s, reinterpret_cast<sockaddr *>(&to), sizeof to);
        }
        for (;;)
            ::pause();
    }
    ~Connector() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Connector(const Connector &) = delete;
    Connector &operator=(const Connector &) = delete;

private:
    pid_t pid_;
};

TEST(AcceptGuard, OutOfDescriptorsItClosesWhatWaitsOnceAndServesAgainWhenFreed) {
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    QStringList lines;
    TAcceptGuard guard(server, QStringLiteral("Test"),
                       [&](const QString &text, quint32) { lines << text; });
    std::vector<std::unique_ptr<QTcpSocket>> kept;
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            guard.Accepted();
            kept.emplace_back(socket);
        }
    });

    guard.Listening();
    // One connection accepted first: the queue is drained once, so Qt's
    // socket engine has met "try again" before it runs out. Qt alone would
    // then retry at once forever without a word.
    QTcpSocket first;
    first.connectToHost(QHostAddress::LocalHost, server.serverPort());
    ASSERT_TRUE(WaitUntil([&] { return kept.size() == 1; }));

    {
        // Room for ten accepted connections; forty come.
        const FewDescriptorsLeft few(10);
        const Connector peers(server.serverPort(), 40);
        ASSERT_TRUE(WaitUntil([&] { return !lines.isEmpty(); })) << kept.size() << " kept";
        WaitUntil([] { return false; }, 3 * TAcceptGuard::ResumeAfterMs);
        EXPECT_EQ(lines.size(), 1) << lines.join(u'\n').toStdString();
        EXPECT_TRUE(lines.value(0).startsWith(QStringLiteral("Test port: out of file descriptors")))
            << lines.value(0).toStdString();
        EXPECT_GT(kept.size(), 1u);
        EXPECT_LT(kept.size(), 41u);
        kept.clear();
    }

    // Descriptors free again: the port accepts once its pause is over.
    QTcpSocket late;
    late.connectToHost(QHostAddress::LocalHost, server.serverPort());
    EXPECT_TRUE(WaitUntil([&] { return !kept.empty(); }));
}

} // namespace
