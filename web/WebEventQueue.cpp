#include "WebEventQueue.h"

#include <algorithm>

TWebEventQueue::TWebEventQueue(std::size_t capacity,
                               std::function<QByteArray(std::size_t lost)> notice)
    : capacity_(std::max<std::size_t>(capacity, 1)), notice_(std::move(notice)) {}

void TWebEventQueue::Push(QByteArray message, std::size_t events) {
    messages_.push_back({std::move(message), events});
    events_ += events;
    // The newest message stays even when it alone is over the capacity.
    while (events_ > capacity_ && messages_.size() > 1) {
        const std::size_t gone = messages_.front().events;
        messages_.pop_front();
        events_ -= gone;
        lost_ += gone;
        untold_ += gone;
    }
}

std::optional<QByteArray> TWebEventQueue::Take() {
    if (messages_.empty())
        return std::nullopt;
    if (untold_) {
        // Told where it happened: before the oldest message kept.
        const std::size_t lost = std::exchange(untold_, 0);
        return notice_(lost);
    }
    Message message = std::move(messages_.front());
    messages_.pop_front();
    events_ -= message.events;
    return std::move(message.bytes);
}
