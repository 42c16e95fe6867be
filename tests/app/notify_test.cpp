// Readiness and watchdog keep-alives on a fake notification socket: READY=1
// once, WATCHDOG=1 from the loop's own turns and none while the loop is held.
#include "FakeNotifySocket.h"
#include "SystemdNotify.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

void RunLoop(std::chrono::milliseconds time) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < time.count())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

TEST(SystemdNotify, ReadyOnceThenKeepAlivesOnlyFromTheLoopsTurns) {
    mmstest::FakeNotifySocket socket;
    ASSERT_TRUE(socket.Bound());
    TSystemdNotify notify({socket.Path(), 40ms});
    notify.Ready();
    EXPECT_EQ(notify.keepAlive.interval(), 20);
    RunLoop(200ms);
    QByteArrayList messages = socket.Take();
    ASSERT_GE(messages.size(), 4);
    EXPECT_EQ(messages.count("READY=1"), 1);
    EXPECT_EQ(messages.front(), "READY=1");
    EXPECT_GE(messages.count("WATCHDOG=1"), 3);

    // The loop is held: no turn, no keep-alive.
    QThread::msleep(200);
    EXPECT_TRUE(socket.Take().isEmpty());
    RunLoop(100ms);
    EXPECT_GE(socket.Take().count("WATCHDOG=1"), 1);

    notify.Stopping();
    RunLoop(100ms);
    EXPECT_EQ(socket.Take(), QByteArrayList{"STOPPING=1"});
}

TEST(SystemdNotify, AnAbstractSocketNameIsReached) {
    mmstest::FakeNotifySocket socket(true);
    ASSERT_TRUE(socket.Bound());
    TSystemdNotify notify({socket.Path(), std::nullopt});
    notify.Ready();
    EXPECT_FALSE(notify.keepAlive.isActive()); // no watchdog asked for
    EXPECT_EQ(socket.Take(), QByteArrayList{"READY=1"});
}

TEST(SystemdNotify, NothingIsSentWithoutASocketOrToAnotherProcessesWatchdog) {
    TSystemdNotify none({QString(), 40ms});
    EXPECT_FALSE(none.Enabled());
    EXPECT_FALSE(none.Notify("READY=1"));
    none.Ready();
    EXPECT_FALSE(none.keepAlive.isActive());

    const struct {
        const char *usec;
        const char *pid;
        bool watchdog;
    } cases[] = {{"30000000", "", true}, {"30000000", "self", true}, {"30000000", "1", false},
                 {"0", "", false},       {"junk", "", false},        {"", "", false}};
    for (const auto &c : cases) {
        qputenv("WATCHDOG_USEC", c.usec);
        qputenv("WATCHDOG_PID", QByteArray(c.pid) == "self" ? QByteArray::number(qint64(::getpid()))
                                                            : QByteArray(c.pid));
        const auto settings = TSystemdNotify::Settings::FromEnvironment();
        EXPECT_EQ(settings.watchdog.has_value(), c.watchdog) << c.usec << " " << c.pid;
    }
    qunsetenv("WATCHDOG_USEC");
    qunsetenv("WATCHDOG_PID");
}

} // namespace
