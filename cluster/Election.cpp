#include "Election.h"

#include <algorithm>
#include <utility>

TElection::TElection(const TClusterSettings &settings, TClusterSession &session, Clock clock)
    : settings_(settings), session_(session), clock_(std::move(clock)) {}

void TElection::Step(bool tick) {
    if (role_ == TRole::Stopped)
        return;
    const TimePoint now = clock_();
    if (tick)
        lastTick_ = now;
    if (role_ == TRole::Standby)
        Standby(now);
    else
        Active(now, tick);
}

void TElection::Stop(TStop reason) {
    role_ = TRole::Stopped;
    stop_ = reason;
    session_.Close();
}

void TElection::Standby(TimePoint now) {
    if (!session_.IsOpen()) {
        // Found closed (a failed call of the node's report, the server's
        // end of it): it died all the same.
        if (std::exchange(hadSession_, false))
            sessionDied_ = true;
        if (now < nextConnect_)
            return;
        if (!session_.Open()) {
            nextConnect_ = now + settings_.TryPace();
            return;
        }
        hadSession_ = true;
        // A standby whose session died comes back no sooner than the active
        // node's own session can, and leaves it the time to take its lock
        // back.
        nextTry_ = sessionDied_ ? clock_() + settings_.takeoverDelay : now;
        sessionDied_ = false;
    }
    if (now < nextTry_)
        return;
    const TimePoint sent = clock_();
    const std::optional<bool> got = session_.TryLock();
    if (!got) {
        sessionDied_ = true;
        nextConnect_ = clock_() + settings_.TryPace();
        return;
    }
    if (!*got) {
        nextTry_ = clock_() + settings_.TryPace();
        return;
    }
    role_ = TRole::Active;
    serveUntil_ = sent + settings_.hangTimeout;
    lastTick_ = sent;
}

void TElection::SessionLost(TimePoint now) {
    session_.Close();
    if (now >= serveUntil_) {
        // The lease had lapsed before the failure was seen: the node was
        // held up, and another node may hold the lock already.
        Stop(TStop::Stalled);
        return;
    }
    dbLostSince_ = now;
    nextConnect_ = now;
    serveUntil_ = std::min(now + settings_.dbLossGrace, lastTick_ + settings_.hangTimeout);
}

void TElection::Active(TimePoint now, bool tick) {
    if (now >= serveUntil_) {
        Stop(dbLostSince_ && now >= *dbLostSince_ + settings_.dbLossGrace ? TStop::DbUnreachable
                                                                          : TStop::Stalled);
        return;
    }
    if (!dbLostSince_) {
        if (!session_.IsOpen()) {
            SessionLost(now);
            return;
        }
        if (!tick)
            return;
        const TimePoint sent = clock_();
        if (session_.Ping())
            serveUntil_ = sent + settings_.hangTimeout;
        else
            SessionLost(clock_());
        return;
    }
    // Without a session: serving goes on while the loop turns and the grace
    // lasts; every step tries to reconnect and take the lock back.
    serveUntil_ =
        std::min(*dbLostSince_ + settings_.dbLossGrace, lastTick_ + settings_.hangTimeout);
    if (now >= serveUntil_) {
        Active(now, false);
        return;
    }
    if (!session_.IsOpen()) {
        if (now < nextConnect_)
            return;
        if (!session_.Open()) {
            nextConnect_ = clock_() + settings_.TryPace();
            return;
        }
    }
    const TimePoint sent = clock_();
    const std::optional<bool> got = session_.TryLock();
    if (!got)
        return;
    if (!*got) {
        Stop(TStop::LostLock);
        return;
    }
    dbLostSince_.reset();
    serveUntil_ = sent + settings_.hangTimeout;
}
