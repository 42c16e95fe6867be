#include "RemoteGuard.h"

#include <algorithm>

TLoginThrottle::TLoginThrottle(Settings settings, TNow now)
    : settings_(settings), now_(std::move(now)) {}

void TLoginThrottle::Forget(Clock::time_point now) {
    std::erase_if(entries_,
                  [&](const auto &e) { return now - e.second.last >= settings_.forgetAfter; });
    while (entries_.size() >= settings_.maxAddresses) {
        const auto oldest =
            std::min_element(entries_.begin(), entries_.end(), [](const auto &a, const auto &b) {
                return a.second.last < b.second.last;
            });
        entries_.erase(oldest);
    }
}

bool TLoginThrottle::Failed(const QString &address) {
    const auto now = now_();
    std::lock_guard guard(lock_);
    auto it = entries_.find(address);
    if (it != entries_.end() && now - it->second.last >= settings_.forgetAfter) {
        entries_.erase(it);
        it = entries_.end();
    }
    if (it == entries_.end()) {
        Forget(now);
        it = entries_.emplace(address, Entry{}).first;
    }
    it->second.last = now;
    return ++it->second.failures == 1;
}

void TLoginThrottle::Succeeded(const QString &address) {
    std::lock_guard guard(lock_);
    entries_.erase(address);
}

std::chrono::milliseconds TLoginThrottle::Delay(const QString &address) {
    const auto now = now_();
    std::lock_guard guard(lock_);
    const auto it = entries_.find(address);
    if (it == entries_.end() || now - it->second.last >= settings_.forgetAfter)
        return {};
    const int beyond = it->second.failures - settings_.freeFailures;
    if (beyond <= 0)
        return {};
    auto delay = settings_.firstDelay;
    for (int i = 1; i < beyond && delay < settings_.maxDelay; ++i)
        delay *= 2;
    delay = std::min(delay, settings_.maxDelay);
    // Counted from the last failure: waiting it out is not punished twice.
    const auto waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(now - it->second.last);
    return waited >= delay ? std::chrono::milliseconds{} : delay - waited;
}
