// The epoll event dispatcher of the event thread: timers, socket notifiers,
// wake-ups from other threads and nested event loops, run under a real
// application object with the dispatcher installed as in the server.
#include "EpollEventDispatcher.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// Runs the event loop until quit() or a generous limit (the limit only
// bounds a broken run; no test asserts on time).
void RunFor(int limitMs, QEventLoop &loop) {
    QTimer::singleShot(limitMs, &loop, &QEventLoop::quit);
    loop.exec();
}

TEST(EpollEventDispatcher, IsTheMainThreadsDispatcher) {
    EXPECT_NE(qobject_cast<TEpollEventDispatcher *>(QCoreApplication::eventDispatcher()), nullptr);
}

TEST(EpollEventDispatcher, GlibSwitchKeepsQtsDefault) {
    qputenv("MMS_EVENT_DISPATCHER", "glib");
    EXPECT_FALSE(TEpollEventDispatcher::InstallForMainThread());
    qunsetenv("MMS_EVENT_DISPATCHER");
}

TEST(EpollEventDispatcher, ZeroTimerRunsEveryPassWithoutStarvingOthers) {
    QEventLoop loop;
    int zeroTicks = 0;
    QTimer zero;
    zero.setInterval(0);
    QObject::connect(&zero, &QTimer::timeout, [&] { ++zeroTicks; });
    zero.start();
    bool later = false;
    QTimer::singleShot(30, [&] {
        later = true;
        loop.quit();
    });
    RunFor(5000, loop);
    EXPECT_TRUE(later);
    EXPECT_GT(zeroTicks, 1);
}

TEST(EpollEventDispatcher, SingleShotFiresOnceRepeatingRepeats) {
    QEventLoop loop;
    int single = 0, repeating = 0;
    QTimer once;
    once.setSingleShot(true);
    once.setInterval(5);
    QObject::connect(&once, &QTimer::timeout, [&] { ++single; });
    QTimer again;
    again.setInterval(5);
    QObject::connect(&again, &QTimer::timeout, [&] {
        if (++repeating == 5)
            loop.quit();
    });
    once.start();
    again.start();
    RunFor(5000, loop);
    EXPECT_EQ(single, 1);
    EXPECT_EQ(repeating, 5);
    EXPECT_FALSE(once.isActive());
}

TEST(EpollEventDispatcher, PreciseTimersFireInExpiryThenStartOrder) {
    QEventLoop loop;
    std::vector<std::string> fired;
    struct Case {
        int ms;
        const char *name;
    };
    const std::vector<Case> cases = {{40, "40"}, {10, "10a"}, {25, "25"}, {10, "10b"}, {0, "0"}};
    std::vector<std::unique_ptr<QTimer>> timers;
    for (const Case &c : cases) {
        auto t = std::make_unique<QTimer>();
        t->setTimerType(Qt::PreciseTimer);
        t->setSingleShot(true);
        t->setInterval(c.ms);
        QObject::connect(t.get(), &QTimer::timeout, [&, name = c.name] {
            fired.push_back(name);
            if (fired.size() == cases.size())
                loop.quit();
        });
        timers.push_back(std::move(t));
    }
    for (auto &t : timers)
        t->start();
    RunFor(5000, loop);
    EXPECT_EQ(fired, (std::vector<std::string>{"0", "10a", "10b", "25", "40"}));
}

TEST(EpollEventDispatcher, TimerStoppedFromItsOwnHandler) {
    QEventLoop loop;
    int ticks = 0;
    QTimer self;
    self.setInterval(0);
    QObject::connect(&self, &QTimer::timeout, [&] {
        if (++ticks == 3)
            self.stop();
    });
    self.start();
    RunFor(50, loop);
    EXPECT_EQ(ticks, 3);

    // A raw timer killed in its handler, restarting another under way.
    struct Killer : QObject {
        int hits = 0;
        int id = 0;
        void timerEvent(QTimerEvent *e) override {
            ++hits;
            killTimer(e->timerId());
            id = startTimer(1000);
        }
    } killer;
    killer.startTimer(0);
    RunFor(50, loop);
    EXPECT_EQ(killer.hits, 1);
    auto *d = QCoreApplication::eventDispatcher();
    const int left = d->remainingTime(killer.id);
    EXPECT_GT(left, 0);
    EXPECT_LE(left, 1000);
    const auto infos = d->registeredTimers(&killer);
    ASSERT_EQ(infos.size(), 1);
    EXPECT_EQ(infos[0].timerId, killer.id);
    EXPECT_EQ(infos[0].interval, 1000);
}

// A connected socket pair; [0] is watched, [1] is the peer.
struct SocketPair {
    int fd[2] = {-1, -1};
    SocketPair() { ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fd); }
    ~SocketPair() {
        ::close(fd[0]);
        ::close(fd[1]);
    }
};

TEST(EpollEventDispatcher, ReadNotifierDisabledAndEnabledFromItsOwnActivation) {
    SocketPair pair;
    ASSERT_EQ(::write(pair.fd[1], "x", 1), 1);
    QEventLoop loop;
    QSocketNotifier read(pair.fd[0], QSocketNotifier::Read);
    int activations = 0;
    QObject::connect(&read, &QSocketNotifier::activated, [&] {
        ++activations;
        // Switched off without reading: the byte waits, nothing more comes.
        read.setEnabled(false);
        if (activations == 2) {
            char b;
            ASSERT_EQ(::read(pair.fd[0], &b, 1), 1);
            // Switched back on with nothing to read: it stays quiet.
            read.setEnabled(true);
        }
    });
    RunFor(50, loop);
    EXPECT_EQ(activations, 1);
    // Enabled again, the unread byte makes it fire again (level-triggered).
    read.setEnabled(true);
    RunFor(50, loop);
    EXPECT_EQ(activations, 2);
    EXPECT_TRUE(read.isEnabled());
    ASSERT_EQ(::write(pair.fd[1], "y", 1), 1);
    RunFor(50, loop);
    EXPECT_EQ(activations, 3);
}

// A pass that delivers many slow events calls the progress hook between
// them, not only when the pass starts: a cluster node busy with a whole
// fleet keeps showing that its loop moves.
TEST(EpollEventDispatcher, ProgressHookRunsBetweenTheDeliveriesOfALongPass) {
    auto *dispatcher = qobject_cast<TEpollEventDispatcher *>(QCoreApplication::eventDispatcher());
    ASSERT_NE(dispatcher, nullptr);
    constexpr int Sockets = 8;
    std::vector<std::unique_ptr<SocketPair>> pairs;
    std::vector<std::unique_ptr<QSocketNotifier>> notifiers;
    int delivered = 0;
    std::vector<int> progressAt; // deliveries made when the hook ran
    QEventLoop loop;
    for (int i = 0; i < Sockets; ++i) {
        pairs.push_back(std::make_unique<SocketPair>());
        const int fd = pairs.back()->fd[0];
        ASSERT_EQ(::write(pairs.back()->fd[1], "x", 1), 1);
        notifiers.push_back(std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read));
        QObject::connect(notifiers.back().get(), &QSocketNotifier::activated, [&, fd] {
            char b;
            [[maybe_unused]] const auto n = ::read(fd, &b, 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(25)); // a slow delivery
            if (++delivered == Sockets)
                loop.quit();
        });
    }
    dispatcher->SetProgressHook([&] { progressAt.push_back(delivered); },
                                std::chrono::milliseconds(10));
    RunFor(5000, loop);
    dispatcher->SetProgressHook({}, {});
    EXPECT_EQ(delivered, Sockets);
    // Every byte was waiting before the loop ran: one pass delivered them all,
    // and the hook ran within it, between deliveries.
    const auto within = std::count_if(progressAt.begin(), progressAt.end(),
                                      [](int d) { return d > 0 && d < Sockets; });
    EXPECT_GE(within, Sockets / 2) << "hook calls: " << progressAt.size();
}

TEST(EpollEventDispatcher, ReadAndWriteNotifiersShareADescriptor) {
    SocketPair pair;
    QEventLoop loop;
    QSocketNotifier read(pair.fd[0], QSocketNotifier::Read);
    QSocketNotifier write(pair.fd[0], QSocketNotifier::Write);
    int reads = 0, writes = 0;
    QObject::connect(&write, &QSocketNotifier::activated, [&] {
        ++writes;
        write.setEnabled(false);
        ASSERT_EQ(::write(pair.fd[1], "z", 1), 1);
    });
    QObject::connect(&read, &QSocketNotifier::activated, [&] {
        ++reads;
        char b;
        EXPECT_EQ(::read(pair.fd[0], &b, 1), 1);
        loop.quit();
    });
    RunFor(5000, loop);
    EXPECT_EQ(writes, 1);
    EXPECT_EQ(reads, 1);
}

TEST(EpollEventDispatcher, NotifierSwitchedOnAndOffWithinAPassEndsAsLeft) {
    SocketPair pair;
    QEventLoop loop;
    QSocketNotifier read(pair.fd[0], QSocketNotifier::Read);
    QSocketNotifier write(pair.fd[0], QSocketNotifier::Write);
    write.setEnabled(false);
    int writes = 0;
    QObject::connect(&write, &QSocketNotifier::activated, [&] {
        ++writes;
        write.setEnabled(false);
    });
    // Toggled inside one activation, ending off: it never fires.
    bool finalState = false;
    QObject::connect(&read, &QSocketNotifier::activated, [&] {
        char b;
        EXPECT_EQ(::read(pair.fd[0], &b, 1), 1);
        for (int i = 0; i < 3; ++i) {
            write.setEnabled(true);
            write.setEnabled(false);
        }
        write.setEnabled(finalState);
    });
    ASSERT_EQ(::write(pair.fd[1], "a", 1), 1);
    RunFor(50, loop);
    EXPECT_EQ(writes, 0);
    // The same ending on: it fires once (and switches itself off).
    finalState = true;
    ASSERT_EQ(::write(pair.fd[1], "b", 1), 1);
    RunFor(50, loop);
    EXPECT_EQ(writes, 1);
}

TEST(EpollEventDispatcher, DescriptorNumberReusedAfterClose) {
    int reused = -1;
    {
        SocketPair first;
        QSocketNotifier gone(first.fd[0], QSocketNotifier::Read);
        QEventLoop loop;
        RunFor(10, loop);
        reused = first.fd[0];
    } // notifier gone, then both descriptors closed
    SocketPair second;
    ASSERT_TRUE(second.fd[0] == reused || second.fd[1] == reused);
    const int fd = second.fd[0] == reused ? 0 : 1;
    QSocketNotifier read(second.fd[fd], QSocketNotifier::Read);
    int activations = 0;
    QEventLoop loop;
    QObject::connect(&read, &QSocketNotifier::activated, [&] {
        ++activations;
        char b;
        EXPECT_EQ(::read(second.fd[fd], &b, 1), 1);
        loop.quit();
    });
    ASSERT_EQ(::write(second.fd[1 - fd], "x", 1), 1);
    RunFor(5000, loop);
    EXPECT_EQ(activations, 1);
}

TEST(EpollEventDispatcher, NotifierDeletedByAnEarlierActivationIsNotDelivered) {
    SocketPair a, b;
    ASSERT_EQ(::write(a.fd[1], "x", 1), 1);
    ASSERT_EQ(::write(b.fd[1], "x", 1), 1);
    QEventLoop loop;
    auto first = std::make_unique<QSocketNotifier>(a.fd[0], QSocketNotifier::Read);
    auto second = std::make_unique<QSocketNotifier>(b.fd[0], QSocketNotifier::Read);
    int delivered = 0;
    // Whichever fires first deletes the other.
    QObject::connect(first.get(), &QSocketNotifier::activated, [&] {
        ++delivered;
        first->setEnabled(false);
        second.reset();
    });
    QObject::connect(second.get(), &QSocketNotifier::activated, [&] {
        ++delivered;
        second->setEnabled(false);
        first.reset();
    });
    RunFor(50, loop);
    EXPECT_EQ(delivered, 1);
}

TEST(EpollEventDispatcher, WakeUpFromAnotherThreadEndsAWait) {
    auto *d = QCoreApplication::eventDispatcher();
    std::thread other([d] {
        QThread::msleep(30);
        d->wakeUp();
    });
    // Returns once woken; without the wake-up it would wait for the next timer.
    d->processEvents(QEventLoop::WaitForMoreEvents);
    other.join();

    QEventLoop loop;
    bool ran = false;
    std::thread poster([&] {
        QThread::msleep(10);
        QMetaObject::invokeMethod(
            &loop,
            [&] {
                ran = true;
                loop.quit();
            },
            Qt::QueuedConnection);
    });
    RunFor(5000, loop);
    poster.join();
    EXPECT_TRUE(ran);
}

TEST(EpollEventDispatcher, ModalMessageBoxRunsANestedLoop) {
    int outerTicks = 0, ticksWhileModal = 0, boxesOpened = 0;
    QTimer outer;
    outer.setInterval(5);
    QObject::connect(&outer, &QTimer::timeout, [&] {
        ++outerTicks;
        if (QApplication::activeModalWidget())
            ++ticksWhileModal;
    });
    outer.start();
    QTimer opener;
    opener.setInterval(1);
    QObject::connect(&opener, &QTimer::timeout, [&] {
        // A repeating timer whose handler blocks in a nested loop is not
        // fired again inside that loop.
        ++boxesOpened;
        QMessageBox box(QMessageBox::Question, QStringLiteral("Exit"),
                        QStringLiteral("Exit Software?"), QMessageBox::Yes | QMessageBox::No);
        QTimer::singleShot(60, &box, [&box] { box.done(QMessageBox::No); });
        EXPECT_EQ(box.exec(), QMessageBox::No);
        opener.stop();
    });
    opener.start();
    QEventLoop loop;
    RunFor(150, loop);
    EXPECT_EQ(boxesOpened, 1);
    EXPECT_GT(ticksWhileModal, 2);
    EXPECT_GT(outerTicks, ticksWhileModal);
}

} // namespace

int main(int argc, char **argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    TEpollEventDispatcher::InstallForMainThread();
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
