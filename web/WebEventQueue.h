// The messages waiting for one browser's event socket, bounded: when it is
// full the oldest message goes and is counted; the next message taken after
// a loss is one notice of how many were lost, then the oldest kept.
#pragma once

#include <QByteArray>

#include <cstddef>
#include <deque>
#include <functional>
#include <optional>

class TWebEventQueue {
public:
    // `notice` makes the message that tells of `lost` messages.
    TWebEventQueue(std::size_t capacity, std::function<QByteArray(std::size_t lost)> notice);

    void Push(QByteArray message);
    // The next message to send; nothing when none waits.
    std::optional<QByteArray> Take();
    bool Empty() const { return messages_.empty(); }
    std::size_t Size() const { return messages_.size(); }
    // Messages lost since the queue was made.
    std::size_t Lost() const { return lost_; }

private:
    std::size_t capacity_;
    std::function<QByteArray(std::size_t)> notice_;
    std::deque<QByteArray> messages_;
    std::size_t lost_ = 0;
    std::size_t untold_ = 0; // lost since the last notice
};
