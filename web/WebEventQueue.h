// The messages waiting for one browser's event socket, bounded by the
// events they hold: when they are more than the capacity the oldest message
// goes and its events are counted; the next message taken after a loss is one
// notice of how many events were lost, then the oldest kept.
#pragma once

#include <QByteArray>

#include <cstddef>
#include <deque>
#include <functional>
#include <optional>

class TWebEventQueue {
public:
    // `notice` makes the message that tells of `lost` events.
    TWebEventQueue(std::size_t capacity, std::function<QByteArray(std::size_t lost)> notice);

    // A message of `events` events (a batch is one message).
    void Push(QByteArray message, std::size_t events = 1);
    // The next message to send; nothing when none waits.
    std::optional<QByteArray> Take();
    bool Empty() const { return messages_.empty(); }
    // Messages waiting.
    std::size_t Size() const { return messages_.size(); }
    // Events lost since the queue was made.
    std::size_t Lost() const { return lost_; }

private:
    struct Message {
        QByteArray bytes;
        std::size_t events = 1;
    };
    std::size_t capacity_;
    std::function<QByteArray(std::size_t)> notice_;
    std::deque<Message> messages_;
    std::size_t events_ = 0; // events in messages_
    std::size_t lost_ = 0;
    std::size_t untold_ = 0; // lost since the last notice
};
