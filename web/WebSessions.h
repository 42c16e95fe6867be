// The web console's logins: the sessions (a random cookie token and a
// cross-site request token each, idle expiry, a cap on how many) and the
// slowing of an address that keeps failing to log in. No socket, no
// database, no thread of its own: the web thread owns it; the clock is
// injected so that expiry and delays are tested without waiting.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>
#include <vector>

class TWebSessions {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    struct Session {
        QByteArray token; // the cookie's value: 256 random bits, hex
        QByteArray csrf;  // what state-changing requests send back in a header
        QString user;
        std::chrono::steady_clock::time_point lastUse;
    };

    struct Limits {
        std::size_t maxSessions = 32;
        std::chrono::milliseconds idle = std::chrono::minutes(30);
        // Failed logins an address may make before it is slowed down.
        int freeFailures = 5;
        // The first delay after freeFailures; each further failure doubles it
        // up to maxDelay.
        std::chrono::seconds firstDelay{2};
        std::chrono::seconds maxDelay = std::chrono::minutes(15);
        // Addresses remembered at most; the one failing least recently goes.
        std::size_t maxAddresses = 10000;
    };

    explicit TWebSessions(Limits limits, Clock clock = {});

    // A new session for the user; nothing when MaxSessions are live.
    std::optional<Session> Open(const QString &user);
    // The live session of the cookie token, its idle time restarted; nothing
    // when unknown or expired (an expired one is removed).
    const Session *Use(const QByteArray &token);
    // The live session without restarting its idle time.
    const Session *Find(const QByteArray &token);
    // Keeps the session alive (an open event socket counts as use).
    void Touch(const QByteArray &token);
    void Close(const QByteArray &token);
    // Ends every session of the user; returns their tokens.
    std::vector<QByteArray> CloseUser(const QString &user);
    // Removes the expired sessions; returns their tokens.
    std::vector<QByteArray> Expire();
    std::size_t Count() const { return sessions_.size(); }
    const Limits &Settings() const { return limits_; }

    // How long the address must wait before its next login attempt; zero
    // when it may try now.
    std::chrono::seconds LoginDelay(const QString &address);
    void LoginFailed(const QString &address);
    void LoginSucceeded(const QString &address);

    // 256 random bits from the system's generator, as 64 hex digits.
    static QByteArray RandomToken();

private:
    struct Failures {
        int count = 0;
        std::chrono::steady_clock::time_point last;
        std::chrono::steady_clock::time_point blockedUntil;
    };
    std::chrono::steady_clock::time_point Now() const;
    bool Expired(const Session &s) const;

    Limits limits_;
    Clock clock_;
    QHash<QByteArray, Session> sessions_;
    QHash<QString, Failures> failures_;
};

// Compares two secrets in a time that does not depend on where they differ.
bool SameSecret(const QByteArray &a, const QByteArray &b);
