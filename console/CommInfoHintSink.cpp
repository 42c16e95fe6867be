#include "CommInfoHintSink.h"

#include <QStringBuilder>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <limits>

#include <QMetaObject>
#include <QThread>
#include <QTimer>

namespace {

// Moves up to `most` items from the front of `queue` into the returned batch.
template <typename T> std::deque<T> TakeFront(std::deque<T> &queue, std::size_t most) {
    std::deque<T> batch;
    if (queue.size() <= most) {
        batch.swap(queue);
        return batch;
    }
    const auto end = queue.begin() + static_cast<std::ptrdiff_t>(most);
    batch.assign(std::make_move_iterator(queue.begin()), std::make_move_iterator(end));
    queue.erase(queue.begin(), end);
    return batch;
}

} // namespace

TLogEvent DroppedLinesEvent(std::size_t dropped) {
    TLogEvent event;
    event.kind = TLogKind::Error;
    event.text =
        QStringLiteral("%1 log lines were dropped: the log could not keep up").arg(dropped);
    event.colour = clRed;
    event.time = QDateTime::currentDateTime();
    return event;
}

TLogSubscription::TLogSubscription(QObject *context, Handler handler, std::size_t capacity,
                                   std::chrono::milliseconds gather)
    : context_(context), handler_(std::move(handler)),
      capacity_(std::max<std::size_t>(capacity, 1)), gather_(gather) {}

std::size_t TLogSubscription::Dropped() const {
    std::lock_guard guard(lock_);
    return dropped_;
}

std::size_t TLogSubscription::Queued() const {
    std::lock_guard guard(lock_);
    return queue_.size();
}

void TLogSubscription::Push(const TLogEvent &event) {
    bool schedule = false;
    {
        std::lock_guard guard(lock_);
        if (queue_.size() >= capacity_) {
            // The oldest go: what the view shows next is the newest it can
            // still catch up with.
            queue_.pop_front();
            ++dropped_;
            ++unreported_;
        }
        queue_.push_back(event);
        if (!scheduled_) {
            scheduled_ = true;
            schedule = true;
        }
    }
    if (schedule)
        Schedule();
}

void TLogSubscription::Schedule() {
    if (!context_)
        return;
    // Runs on the context's thread; dropped unheard if the subscription or
    // the context is gone by then.
    const auto deliver = [weak = weak_from_this()] {
        if (const auto self = weak.lock())
            self->DeliverSome();
    };
    if (gather_.count() == 0) {
        QMetaObject::invokeMethod(context_.data(), deliver, Qt::QueuedConnection);
        return;
    }
    QMetaObject::invokeMethod(
        context_.data(),
        [context = context_, gather = gather_, deliver] {
            if (context)
                QTimer::singleShot(gather, context.data(), deliver);
        },
        Qt::QueuedConnection);
}

void TLogSubscription::Flush() {
    while (Deliver(std::numeric_limits<std::size_t>::max())) {
    }
}

void TLogSubscription::DeliverSome() {
    if (Deliver(MaxPerTurn))
        Schedule();
}

bool TLogSubscription::Deliver(std::size_t most) {
    std::deque<TLogEvent> batch;
    std::size_t unreported = 0;
    bool more = false;
    {
        std::lock_guard guard(lock_);
        batch = TakeFront(queue_, most);
        more = !queue_.empty();
        scheduled_ = more;
        std::swap(unreported, unreported_);
    }
    // The loss is told where it happened: before the oldest event kept.
    if (unreported)
        handler_(DroppedLinesEvent(unreported));
    for (const TLogEvent &event : batch)
        handler_(event);
    return more;
}

TCommInfoHintSink::TCommInfoHintSink(QObject *parent) : QObject(parent) {}

TCommInfoHint TCommInfoHintSink::CommInfoHint() {
    return [this](const TLogEvent &event) { Post(event); };
}

TUserConnectNumber TCommInfoHintSink::UserConnectNumber() {
    return [this](int count) { PostUserCount(count); };
}

TBoosterConnectNumber TCommInfoHintSink::BoosterConnectNumber() {
    return [this](int count) { PostBoosterCount(count); };
}

void TCommInfoHintSink::Post(TLogEvent event) {
    if (!event.time.isValid())
        event.time = QDateTime::currentDateTime();
    Enqueue({Kind::Line, std::move(event), 0});
}

void TCommInfoHintSink::Post(const QString &text, quint32 colour) {
    Post(NoteEvent(text, colour));
}

void TCommInfoHintSink::PostUserCount(int count) {
    Enqueue({Kind::UserCount, {}, count});
}

void TCommInfoHintSink::PostBoosterCount(int count) {
    Enqueue({Kind::BoosterCount, {}, count});
}

std::shared_ptr<TLogSubscription> TCommInfoHintSink::Subscribe(QObject *context,
                                                               TLogSubscription::Handler handler,
                                                               std::size_t capacity,
                                                               std::chrono::milliseconds gather) {
    auto subscription =
        std::make_shared<TLogSubscription>(context, std::move(handler), capacity, gather);
    std::lock_guard guard(subscribersLock_);
    std::erase_if(subscribers_, [](const auto &weak) { return weak.expired(); });
    subscribers_.push_back(subscription);
    return subscription;
}

void TCommInfoHintSink::Enqueue(Event e) {
    bool direct = false;
    bool schedule = false;
    {
        std::lock_guard guard(lock_);
        if (e.kind == Kind::Line && queue_.size() >= MaxQueued) {
            ++dropped_;
            return;
        }
        if (queue_.empty() && !scheduled_ && direct_.load(std::memory_order_relaxed) &&
            QThread::currentThread() == thread()) {
            // Other threads' events queue behind this one meanwhile.
            scheduled_ = true;
            direct = true;
        } else {
            queue_.push_back(std::move(e));
            if (!scheduled_) {
                scheduled_ = true;
                schedule = true;
            }
        }
    }
    if (direct) {
        // On the sink's own thread with nothing waiting, the event goes out
        // at once, still in call order: the links, which make most events on
        // this thread, are spared a trip through the queue and the loop.
        Emit(e);
        std::lock_guard guard(lock_);
        scheduled_ = !queue_.empty();
        schedule = scheduled_;
    }
    if (schedule)
        QMetaObject::invokeMethod(this, &TCommInfoHintSink::DeliverSome, Qt::QueuedConnection);
}

void TCommInfoHintSink::Emit(const Event &e) {
    switch (e.kind) {
    case Kind::Line:
        Publish(e.log);
        break;
    case Kind::UserCount:
        emit UserCountChanged(e.count);
        break;
    case Kind::BoosterCount:
        emit BoosterCountChanged(e.count);
        break;
    }
}

void TCommInfoHintSink::Flush() {
    while (Deliver(std::numeric_limits<std::size_t>::max())) {
    }
}

void TCommInfoHintSink::DeliverSome() {
    // A bounded share per event-loop turn: a burst of lines (thousands of
    // units reporting at once) never keeps the links waiting for the log.
    if (Deliver(MaxPerTurn))
        QMetaObject::invokeMethod(this, &TCommInfoHintSink::DeliverSome, Qt::QueuedConnection);
}

void TCommInfoHintSink::Publish(const TLogEvent &event) {
    emit LineReady(event.time, event.text, event.colour);
    std::vector<std::shared_ptr<TLogSubscription>> live;
    {
        std::lock_guard guard(subscribersLock_);
        for (const auto &weak : subscribers_)
            if (auto subscription = weak.lock())
                live.push_back(std::move(subscription));
    }
    // Copying into a queue is all a subscriber costs here; its handler runs
    // later, on its own thread's turn.
    for (const auto &subscription : live)
        subscription->Push(event);
}

bool TCommInfoHintSink::Deliver(std::size_t most) {
    std::deque<Event> batch;
    std::size_t dropped = 0;
    bool more = false;
    {
        std::lock_guard guard(lock_);
        batch = TakeFront(queue_, most);
        more = !queue_.empty();
        if (!more) {
            scheduled_ = false;
            std::swap(dropped, dropped_);
        }
    }
    for (const Event &e : batch)
        Emit(e);
    if (dropped) {
        const TLogEvent notice = DroppedLinesEvent(dropped);
        // Also on standard error, where it outlives the log pane.
        std::fprintf(stderr, "%s\n", notice.text.toLocal8Bit().constData());
        Publish(notice);
    }
    return more;
}

QString FormatLogLine(const QDateTime &time, const QString &text) {
    return FormatLogLine(DateTimeText(time), text);
}

QString FormatLogLine(const QString &timeText, const QString &text) {
    QString body = text;
    if (body.contains(QLatin1Char('\r'))) {
        body.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        body.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    }
    return timeText % QLatin1String("->") % body;
}

std::size_t TCommInfoHintSink::Queued() {
    std::lock_guard guard(lock_);
    return queue_.size();
}
