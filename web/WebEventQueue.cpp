#include "WebEventQueue.h"

#include <algorithm>

TWebEventQueue::TWebEventQueue(std::size_t capacity,
                               std::function<QByteArray(std::size_t lost)> notice)
    : capacity_(std::max<std::size_t>(capacity, 1)), notice_(std::move(notice)) {}

void TWebEventQueue::Push(QByteArray message) {
    if (messages_.size() >= capacity_) {
        messages_.pop_front();
        ++lost_;
        ++untold_;
    }
    messages_.push_back(std::move(message));
}

std::optional<QByteArray> TWebEventQueue::Take() {
    if (messages_.empty())
        return std::nullopt;
    if (untold_) {
        // Told where it happened: before the oldest message kept.
        const std::size_t lost = std::exchange(untold_, 0);
        return notice_(lost);
    }
    QByteArray message = std::move(messages_.front());
    messages_.pop_front();
    return message;
}
