// What the connections of one remote data service share to defend it: the
// stop of the whole service, and the record of failed logins per address that
// slows a guesser down and logs each episode once.
#pragma once

#include <QString>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>

// Failures of an address forgiven without delay, the delay after the
// first one beyond them (doubled with each further failure up to
// maxDelay), and the quiet time after which an address starts afresh.
struct TLoginThrottleSettings {
    int freeFailures = 3;
    std::chrono::milliseconds firstDelay{250};
    std::chrono::milliseconds maxDelay{10000};
    std::chrono::milliseconds forgetAfter{std::chrono::minutes(10)};
    // Addresses remembered at most (the oldest are dropped first).
    std::size_t maxAddresses = 4096;
};

class TLoginThrottle {
public:
    using Clock = std::chrono::steady_clock;
    using TNow = std::function<Clock::time_point()>;
    using Settings = TLoginThrottleSettings;

    explicit TLoginThrottle(Settings settings = {}, TNow now = &Clock::now);

    // Records a failed login from the address. True when it begins an
    // episode (the caller logs it then, and only then).
    bool Failed(const QString &address);
    // A successful login ends the address's episode.
    void Succeeded(const QString &address);
    // How long the address must wait before its next request is handled.
    std::chrono::milliseconds Delay(const QString &address);

private:
    struct Entry {
        int failures = 0;
        Clock::time_point last;
    };
    void Forget(Clock::time_point now);

    Settings settings_;
    TNow now_;
    std::mutex lock_;
    std::map<QString, Entry> entries_;
};

struct TRemoteGuard {
    explicit TRemoteGuard(TLoginThrottleSettings settings = {}) : throttle(settings) {}
    // Set when the service stops: calls under way end at their next step.
    std::atomic_bool stopping{false};
    TLoginThrottle throttle;
};
