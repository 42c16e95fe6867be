// A queue shared by many connections that serves them in turn: each take
// comes from the next connection that has something waiting, and each
// connection's own items leave in the order they came. One connection that
// floods the queue delays another's item by at most one of its own items per
// take, and once it holds its share it is refused alone: the others are
// never refused because of it.
//
// Not thread-safe: the owner guards it.
#pragma once

#include <QHash>
#include <QString>

#include <cstddef>
#include <deque>
#include <optional>

template <typename T> class TFairQueue {
public:
    enum class Push { Queued, ConnectionFull };

    explicit TFairQueue(std::size_t perConnection) : perConnection_(perConnection) {}

    // Appends an item of the connection named key. Refused (the item is not
    // kept) while that connection holds perConnection items already.
    Push Append(const QString &key, T item) {
        Lane &lane = lanes_[key];
        if (lane.items.size() >= perConnection_)
            return Push::ConnectionFull;
        if (lane.items.empty())
            turn_.push_back(key);
        lane.items.push_back(std::move(item));
        ++size_;
        return Push::Queued;
    }

    // Takes the oldest item of the connection whose turn it is; nothing when
    // the queue is empty.
    std::optional<T> Take() {
        if (turn_.empty())
            return std::nullopt;
        const QString key = std::move(turn_.front());
        turn_.pop_front();
        auto it = lanes_.find(key);
        T item = std::move(it->items.front());
        it->items.pop_front();
        --size_;
        if (it->items.empty())
            lanes_.erase(it); // an idle connection costs nothing
        else
            turn_.push_back(key);
        return item;
    }

    std::size_t Size() const { return size_; }
    bool Empty() const { return size_ == 0; }
    // Items waiting for one connection.
    std::size_t SizeOf(const QString &key) const {
        const auto it = lanes_.constFind(key);
        return it == lanes_.cend() ? 0 : it->items.size();
    }
    std::size_t PerConnection() const { return perConnection_; }

    // Every item in the order Take() would hand them out.
    std::vector<T> InServiceOrder() const {
        std::vector<T> out;
        out.reserve(size_);
        std::vector<std::size_t> taken(turn_.size(), 0);
        for (bool any = true; any;) {
            any = false;
            for (std::size_t k = 0; k < turn_.size(); ++k) {
                const Lane &lane = *lanes_.constFind(turn_[k]);
                if (taken[k] < lane.items.size()) {
                    out.push_back(lane.items[taken[k]++]);
                    any = true;
                }
            }
        }
        return out;
    }

private:
    struct Lane {
        std::deque<T> items;
    };
    std::size_t perConnection_;
    QHash<QString, Lane> lanes_;
    std::deque<QString> turn_; // connections with items waiting, next first
    std::size_t size_ = 0;
};
