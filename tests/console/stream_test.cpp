// The event stream: each subscriber reads from its own bounded queue, so one
// that cannot keep up loses its own oldest events and nobody else's.
#include "CommInfoHintSink.h"

#include "TestSupport.h"

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

bool WaitUntil(const std::function<bool()> &done) {
    return mmstest::PumpEventsUntil(done, 15s);
}

TEST(LogEventStream, ASlowSubscriberLosesItsOwnOldestEventsAndNothingElse) {
    TCommInfoHintSink sink;
    std::vector<QString> fast;
    QObject fastView;
    const auto fastSub =
        sink.Subscribe(&fastView, [&](const TLogEvent &e) { fast.push_back(e.text); });

    // The slow view's thread is not running yet: its queue can only fill.
    QThread slowThread;
    QObject slowView;
    slowView.moveToThread(&slowThread);
    std::vector<TLogEvent> slow;
    const auto slowSub = sink.Subscribe(
        &slowView, [&](const TLogEvent &e) { slow.push_back(e); }, 5);

    // The links post from their own thread and are never held up.
    TCommInfoHint hint = sink.CommInfoHint();
    std::thread links([&] {
        for (int i = 0; i < 100; ++i)
            hint(LogEvent(TLogKind::Heartbeat, TLogPane::Traffic, QString::number(i), clYellow));
    });
    links.join();
    sink.Flush();
    ASSERT_TRUE(WaitUntil([&] { return fast.size() == 100; }));
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(fast[i], QString::number(i));
    EXPECT_EQ(fastSub->Dropped(), 0u);
    EXPECT_EQ(slowSub->Dropped(), 95u);
    EXPECT_EQ(slowSub->Queued(), 5u);

    // Once it runs, the slow view is told what it lost, then gets the newest.
    slowThread.start();
    ASSERT_TRUE(WaitUntil([&] { return slowSub->Queued() == 0; }));
    slowThread.quit();
    slowThread.wait();
    ASSERT_EQ(slow.size(), 6u);
    EXPECT_EQ(slow[0].text, "95 log lines were dropped: the log could not keep up");
    EXPECT_EQ(slow[0].kind, TLogKind::Error);
    EXPECT_EQ(slow[0].colour, clRed);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(slow[i + 1].text, QString::number(95 + i));
        EXPECT_EQ(slow[i + 1].pane, TLogPane::Traffic);
        EXPECT_TRUE(slow[i + 1].time.isValid());
    }
    EXPECT_EQ(fast.size(), 100u); // the other view lost nothing meanwhile
}

// A subscriber that asks for some kinds is handed those, in order, and the
// rest neither reach it nor fill its queue.
TEST(LogEventStream, ASubscriberOfSomeKindsQueuesOnlyThose) {
    TCommInfoHintSink sink;
    QObject view;
    std::vector<QString> seen;
    const auto sub = sink.Subscribe(
        &view, [&](const TLogEvent &e) { seen.push_back(e.text); }, 3, 0ms,
        LogKindBit(TLogKind::Report) | LogKindBit(TLogKind::Mail));
    const TLogKind kinds[] = {TLogKind::Heartbeat, TLogKind::Report, TLogKind::Note,
                              TLogKind::Mail,      TLogKind::Error,  TLogKind::Report};
    for (int round = 0; round < 50; ++round) // far more than the queue holds
        for (const TLogKind kind : kinds)
            if (kind != TLogKind::Report || round == 49)
                sink.Post(LogEvent(kind, TLogPane::Events, QString::number(int(kind)), clWhite));
    sink.Flush();
    ASSERT_TRUE(WaitUntil([&] { return sub->Queued() == 0; }));
    // 52 reports and mails went through a queue of 3: the oldest were lost, and
    // nothing else was queued.
    EXPECT_EQ(sub->Dropped(), 49u);
    const QString report = QString::number(int(TLogKind::Report));
    const QString mail = QString::number(int(TLogKind::Mail));
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0], "49 log lines were dropped: the log could not keep up");
    EXPECT_EQ(seen[1], report);
    EXPECT_EQ(seen[2], mail);
    EXPECT_EQ(seen[3], report);
}

// Once direct delivery is on, the sink's own thread (the links) hands its
// events on at once while another thread's events queue: each thread's
// events still reach a view in the order they were made, and a gathering
// view gets them in a few batches rather than one wake-up per event.
TEST(LogEventStream, DirectAndQueuedEventsKeepEachThreadsOrderAndAGatheringViewBatches) {
    TCommInfoHintSink sink;
    sink.DeliverDirectly(true);
    std::vector<QString> seen;
    int batches = 0;
    bool inBatch = false;
    QObject view;
    const auto sub = sink.Subscribe(
        &view,
        [&](const TLogEvent &e) {
            seen.push_back(e.text);
            if (!inBatch) {
                inBatch = true;
                ++batches;
                QMetaObject::invokeMethod(
                    &view, [&] { inBatch = false; }, Qt::QueuedConnection);
            }
        },
        TCommInfoHintSink::MaxQueued, 30ms);
    TCommInfoHint hint = sink.CommInfoHint();
    std::thread worker([&] {
        for (int i = 0; i < 200; ++i)
            hint(LogEvent(TLogKind::Report, TLogPane::Events, QStringLiteral("w%1").arg(i), clRed));
    });
    for (int i = 0; i < 200; ++i)
        hint(LogEvent(TLogKind::Heartbeat, TLogPane::Traffic, QStringLiteral("l%1").arg(i),
                      clYellow));
    worker.join();
    ASSERT_TRUE(WaitUntil([&] { return seen.size() == 400; }));
    int nextWorker = 0, nextLinks = 0;
    for (const QString &text : seen) {
        if (text.startsWith(u'w'))
            EXPECT_EQ(text, QStringLiteral("w%1").arg(nextWorker++));
        else
            EXPECT_EQ(text, QStringLiteral("l%1").arg(nextLinks++));
    }
    EXPECT_LE(batches, 10);
}

TEST(LogEventStream, APlainLineKeepsThePaneItsColourChose) {
    const struct {
        quint32 colour;
        TLogPane pane;
    } cases[] = {{clYellow, TLogPane::Traffic},
                 {clWhite, TLogPane::Events},
                 {clRed, TLogPane::Events},
                 {0x00FF00, TLogPane::Events}};
    for (const auto &c : cases) {
        TLogEvent seen;
        TCommInfoHint([&](const TLogEvent &e) { seen = e; })(QStringLiteral("x"), c.colour);
        EXPECT_EQ(seen.pane, c.pane) << c.colour;
        EXPECT_EQ(seen.kind, TLogKind::Note);
        EXPECT_EQ(seen.colour, c.colour);
    }
}

} // namespace
