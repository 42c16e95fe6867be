// The event stream: the log callback and the two connection-count callbacks
// as one sink that any thread may call. Each event is stamped with the time it
// was made and handed to the event thread, which emits it in call order and
// copies it to every subscriber. Each subscriber reads from its own bounded
// queue on its own thread: one that cannot keep up loses its own oldest
// events, never the links' time or another subscriber's events.
#pragma once

#include "PublicU.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

// One view's place in the stream. Events wait in its queue until the event
// loop of its context object's thread hands them to its handler, in call
// order, a bounded share per turn.
class TLogSubscription : public std::enable_shared_from_this<TLogSubscription> {
public:
    using Handler = std::function<void(const TLogEvent &)>;
    // `gather`: how long the first event of a batch may wait for others
    // before the handler runs (0: at the context thread's next turn). A view
    // that paints a few times a second gathers, so that its thread is woken
    // a few dozen times a second rather than once per event.
    TLogSubscription(QObject *context, Handler handler, std::size_t capacity,
                     std::chrono::milliseconds gather = std::chrono::milliseconds(0));

    // Events this subscriber lost because its queue was full (oldest first).
    std::size_t Dropped() const;
    // Events waiting for the handler.
    std::size_t Queued() const;
    // Hands every waiting event to the handler now (on the context's thread).
    void Flush();

    // Events handed to the handler in one turn of its event loop.
    static constexpr std::size_t MaxPerTurn = 200;

private:
    friend class TCommInfoHintSink;
    void Push(const TLogEvent &event);
    // Asks the context's thread for a turn of DeliverSome.
    void Schedule();
    void DeliverSome();
    bool Deliver(std::size_t most);

    QPointer<QObject> context_;
    Handler handler_;
    const std::size_t capacity_;
    const std::chrono::milliseconds gather_;
    mutable std::mutex lock_;
    std::deque<TLogEvent> queue_;
    bool scheduled_ = false;
    std::size_t dropped_ = 0;
    std::size_t unreported_ = 0; // dropped since the handler last heard of it
};

class TCommInfoHintSink : public QObject {
    Q_OBJECT
public:
    explicit TCommInfoHintSink(QObject *parent = nullptr);

    // Callbacks to hand to the servers and workers. They stay valid while the
    // sink lives.
    TCommInfoHint CommInfoHint();
    TUserConnectNumber UserConnectNumber();
    TBoosterConnectNumber BoosterConnectNumber();

    // Thread-safe entry points behind the callbacks.
    void Post(TLogEvent event);
    void Post(const QString &text, quint32 colour);
    void PostUserCount(int count);
    void PostBoosterCount(int count);

    // A new view. Its handler runs on `context`'s thread and stops when the
    // subscription or the context is destroyed. Any thread.
    std::shared_ptr<TLogSubscription>
    Subscribe(QObject *context, TLogSubscription::Handler handler, std::size_t capacity = MaxQueued,
              std::chrono::milliseconds gather = std::chrono::milliseconds(0));

    // From now on an event made on the sink's own thread with nothing
    // waiting goes out at once rather than at the loop's next turn. Set once
    // the views have subscribed: until then what is made waits for them.
    void DeliverDirectly(bool on) { direct_ = on; }

    // Delivers everything queued so far (the event loop does this by itself).
    void Flush();
    // Events waiting to be delivered. Any thread.
    std::size_t Queued();

    // Upper bound of undelivered events; beyond it new log lines are counted
    // and dropped, and the count is reported once the queue drains.
    static constexpr std::size_t MaxQueued = 100000;
    // Events delivered in one turn of the event loop; the rest wait for the
    // next turn, so that other events (the links) come in between.
    static constexpr std::size_t MaxPerTurn = 200;

signals:
    void LineReady(const QDateTime &time, const QString &text, quint32 colour);
    void UserCountChanged(int count);
    void BoosterCountChanged(int count);

private:
    enum class Kind { Line, UserCount, BoosterCount };
    struct Event {
        Kind kind;
        TLogEvent log;
        int count = 0;
    };
    void Enqueue(Event e);
    void DeliverSome();
    // Delivers up to `most` events; true when more are waiting.
    bool Deliver(std::size_t most);
    void Publish(const TLogEvent &event);
    // Hands one event to the signals and subscribers.
    void Emit(const Event &e);

    std::mutex lock_;
    std::deque<Event> queue_;
    bool scheduled_ = false;
    std::size_t dropped_ = 0;
    std::atomic<bool> direct_{false};
    std::mutex subscribersLock_;
    std::vector<std::weak_ptr<TLogSubscription>> subscribers_;
};

// The line that tells a view how many lines it lost.
TLogEvent DroppedLinesEvent(std::size_t dropped);

// Formats a log line the way the operator sees it: time + "->" + text, with
// every carriage return starting a new output line.
QString FormatLogLine(const QDateTime &time, const QString &text);
// The same with the time already formatted (DateTimeText).
QString FormatLogLine(const QString &timeText, const QString &text);
