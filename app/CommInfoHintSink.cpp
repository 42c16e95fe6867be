#include "CommInfoHintSink.h"

#include <cstdio>
#include <iterator>
#include <limits>

#include <QMetaObject>
#include <QPointer>

TCommInfoHintSink::TCommInfoHintSink(QObject *parent) : QObject(parent) {}

TCommInfoHint TCommInfoHintSink::CommInfoHint() {
    return [this](const QString &text, quint32 colour) { Post(text, colour); };
}

TUserConnectNumber TCommInfoHintSink::UserConnectNumber() {
    return [this](int count) { PostUserCount(count); };
}

TBoosterConnectNumber TCommInfoHintSink::BoosterConnectNumber() {
    return [this](int count) { PostBoosterCount(count); };
}

void TCommInfoHintSink::Post(const QString &text, quint32 colour) {
    Enqueue({Kind::Line, QDateTime::currentDateTime(), text, colour, 0});
}

void TCommInfoHintSink::PostUserCount(int count) {
    Enqueue({Kind::UserCount, QDateTime::currentDateTime(), {}, 0, count});
}

void TCommInfoHintSink::PostBoosterCount(int count) {
    Enqueue({Kind::BoosterCount, QDateTime::currentDateTime(), {}, 0, count});
}

void TCommInfoHintSink::Enqueue(Event e) {
    bool schedule = false;
    {
        std::lock_guard guard(lock_);
        if (e.kind == Kind::Line && queue_.size() >= MaxQueued) {
            ++dropped_;
            return;
        }
        queue_.push_back(std::move(e));
        if (!scheduled_) {
            scheduled_ = true;
            schedule = true;
        }
    }
    if (schedule)
        QMetaObject::invokeMethod(this, &TCommInfoHintSink::DeliverSome, Qt::QueuedConnection);
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

bool TCommInfoHintSink::Deliver(std::size_t most) {
    std::deque<Event> batch;
    std::size_t dropped = 0;
    bool more = false;
    {
        std::lock_guard guard(lock_);
        if (queue_.size() <= most) {
            batch.swap(queue_);
            scheduled_ = false;
            std::swap(dropped, dropped_);
        } else {
            const auto end = queue_.begin() + static_cast<std::ptrdiff_t>(most);
            batch.assign(std::make_move_iterator(queue_.begin()), std::make_move_iterator(end));
            queue_.erase(queue_.begin(), end);
            more = true;
        }
    }
    for (const Event &e : batch) {
        switch (e.kind) {
        case Kind::Line:
            emit LineReady(e.time, e.text, e.colour);
            break;
        case Kind::UserCount:
            emit UserCountChanged(e.count);
            break;
        case Kind::BoosterCount:
            emit BoosterCountChanged(e.count);
            break;
        }
    }
    if (dropped) {
        const QString text =
            QStringLiteral("%1 log lines were dropped: the log could not keep up").arg(dropped);
        // Also on standard error, where it outlives the log pane.
        std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
        emit LineReady(QDateTime::currentDateTime(), text, clRed);
    }
    return more;
}

QString FormatLogLine(const QDateTime &time, const QString &text) {
    QString body = text;
    body.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    body.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return DateTimeText(time) + QLatin1String("->") + body;
}

std::size_t TCommInfoHintSink::Queued() {
    std::lock_guard guard(lock_);
    return queue_.size();
}
