// The link thread runs handed work on itself with the epoll dispatcher, and a
// thread affinity check that fails stops the program under the tests'
// strict setting and only logs without it.
#include "EpollEventDispatcher.h"
#include "LinkThread.h"
#include "ThreadCheck.h"

#include <QAbstractEventDispatcher>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>

namespace {

TEST(LinkThread, RunsWorkOnItsOwnThreadWithTheEpollDispatcher) {
    TLinkThread links;
    QThread *ranOn = nullptr;
    bool epoll = false;
    links.Run([&] {
        ranOn = QThread::currentThread();
        epoll =
            qobject_cast<TEpollEventDispatcher *>(QAbstractEventDispatcher::instance()) != nullptr;
        // Run from the link thread itself runs at once instead of waiting on itself.
        links.Run([&] { EXPECT_TRUE(links.IsCurrent()); });
    });
    EXPECT_EQ(ranOn, links.Thread());
    EXPECT_NE(ranOn, QThread::currentThread());
    EXPECT_TRUE(epoll);

    // Timers made there fire there.
    std::atomic<bool> fired{false};
    std::unique_ptr<QTimer> timer;
    links.Run([&] {
        timer = std::make_unique<QTimer>();
        timer->setSingleShot(true);
        QObject::connect(timer.get(), &QTimer::timeout, [&] { fired = links.IsCurrent(); });
        timer->start(1);
    });
    for (int i = 0; i < 200 && !fired; ++i)
        QThread::msleep(5);
    EXPECT_TRUE(fired);
    links.Run([&] { timer.reset(); });
}

TEST(ThreadCheckDeathTest, AWrongThreadStopsTheProgramUnderTheStrictSetting) {
    TLinkThread links;
    EXPECT_DEATH(
        {
            qputenv("MMS_STRICT_THREADS", "1");
            MMS_ASSERT_THREAD(links.Thread());
        },
        "called on the wrong thread");
    // Without it the check only logs, and the caller goes on.
    qputenv("MMS_STRICT_THREADS", "0");
    MMS_ASSERT_THREAD(links.Thread());
    qputenv("MMS_STRICT_THREADS", "1");
    links.Run([&] { MMS_ASSERT_THREAD(links.Thread()); });
}

} // namespace
