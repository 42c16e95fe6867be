#include "WebSessions.h"

#include <QRandomGenerator>

#include <algorithm>
#include <array>

TWebSessions::TWebSessions(Limits limits, Clock clock)
    : limits_(limits), clock_(std::move(clock)) {}

std::chrono::steady_clock::time_point TWebSessions::Now() const {
    return clock_ ? clock_() : std::chrono::steady_clock::now();
}

QByteArray TWebSessions::RandomToken() {
    std::array<quint32, 8> bits{};
    QRandomGenerator::system()->fillRange(bits.data(), bits.size());
    return QByteArray(reinterpret_cast<const char *>(bits.data()), sizeof(bits)).toHex();
}

bool SameSecret(const QByteArray &a, const QByteArray &b) {
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

bool TWebSessions::Expired(const Session &s) const {
    return Now() - s.lastUse >= limits_.idle;
}

std::optional<TWebSessions::Session> TWebSessions::Open(const QString &user) {
    Expire();
    if (std::size_t(sessions_.size()) >= limits_.maxSessions)
        return std::nullopt;
    Session s{RandomToken(), RandomToken(), user, Now()};
    sessions_.insert(s.token, s);
    return s;
}

const TWebSessions::Session *TWebSessions::Find(const QByteArray &token) {
    const auto it = sessions_.find(token);
    if (it == sessions_.end())
        return nullptr;
    if (Expired(*it)) {
        sessions_.erase(it);
        return nullptr;
    }
    return &*it;
}

const TWebSessions::Session *TWebSessions::Use(const QByteArray &token) {
    if (!Find(token))
        return nullptr;
    Session &s = sessions_[token];
    s.lastUse = Now();
    return &s;
}

void TWebSessions::Touch(const QByteArray &token) {
    if (const auto it = sessions_.find(token); it != sessions_.end())
        it->lastUse = Now();
}

void TWebSessions::Close(const QByteArray &token) {
    sessions_.remove(token);
}

std::vector<QByteArray> TWebSessions::CloseUser(const QString &user) {
    std::vector<QByteArray> gone;
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        if (it->user == user) {
            gone.push_back(it.key());
            it = sessions_.erase(it);
        } else {
            ++it;
        }
    }
    return gone;
}

std::vector<QByteArray> TWebSessions::Expire() {
    std::vector<QByteArray> gone;
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        if (Expired(*it)) {
            gone.push_back(it.key());
            it = sessions_.erase(it);
        } else {
            ++it;
        }
    }
    return gone;
}

std::chrono::seconds TWebSessions::LoginDelay(const QString &address) {
    const auto it = failures_.find(address);
    if (it == failures_.end())
        return std::chrono::seconds(0);
    const auto now = Now();
    if (it->blockedUntil <= now)
        return std::chrono::seconds(0);
    // Rounded up: a client that waits that long may try again.
    const auto left = it->blockedUntil - now;
    return std::chrono::ceil<std::chrono::seconds>(left);
}

void TWebSessions::LoginFailed(const QString &address) {
    const auto now = Now();
    auto it = failures_.find(address);
    if (it == failures_.end()) {
        if (std::size_t(failures_.size()) >= limits_.maxAddresses) {
            // The table stays bounded whatever the number of addresses: the
            // one that failed least recently is forgotten.
            const auto oldest = std::min_element(
                failures_.begin(), failures_.end(),
                [](const Failures &a, const Failures &b) { return a.last < b.last; });
            failures_.erase(oldest);
        }
        it = failures_.insert(address, Failures{});
    } else if (now - it->last > std::max<std::chrono::steady_clock::duration>(
                                    limits_.maxDelay, std::chrono::hours(1))) {
        // A long quiet spell forgives what came before.
        *it = Failures{};
    }
    Failures &f = *it;
    ++f.count;
    f.last = now;
    const int over = f.count - limits_.freeFailures;
    if (over < 0)
        return;
    auto delay = limits_.firstDelay;
    for (int i = 0; i < over && delay < limits_.maxDelay; ++i)
        delay *= 2;
    f.blockedUntil = now + std::min(delay, limits_.maxDelay);
}

void TWebSessions::LoginSucceeded(const QString &address) {
    failures_.remove(address);
}
