// The election of one node: a standby tries for the advisory lock at a steady
// pace; the node that holds it is active for as long as its lease runs.
//
// The lease is what gives the active node the right to serve: it runs until
// HangTimeout after the start of the last keep-alive round trip the database
// confirmed. Keep-alives go out only on the ticks that the link thread's
// event loop hands over, so a node whose loop stops turning (or whose whole
// process is frozen) lets its lease lapse, and the database ends its idle
// session (idle_session_timeout = HangTimeout), which frees the lock for a
// standby. All times are on the monotonic clock, which runs on while the
// process is stopped.
//
// When the session fails while the lease runs (PostgreSQL restarted, the
// network gone), the node keeps serving for DbLossGrace, as long as its loop
// keeps turning, and reconnects at once: it takes the lock back (the
// standbys wait TakeoverDelay after their own sessions came back), or stops
// when another node has it.
//
// Not thread-safe: one thread steps it (TClusterNode's).
#pragma once

#include "ClusterSettings.h"
#include "ClusterStore.h"

#include <chrono>
#include <functional>
#include <optional>

class TElection {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    using TimePoint = std::chrono::steady_clock::time_point;

    enum class TRole { Standby, Active, Stopped };
    enum class TStop {
        None,
        LostLock,      // another node holds the lock
        DbUnreachable, // no session for DbLossGrace
        Stalled,       // the lease lapsed: no keep-alive confirmed in time
    };

    TElection(const TClusterSettings &settings, TClusterSession &session, Clock clock);

    // One step: tick says the link thread's loop has turned (and asks for a
    // keep-alive) since the last step. Runs the session's calls that are due.
    void Step(bool tick);

    TRole Role() const { return role_; }
    TStop StopReason() const { return stop_; }
    // Until when the active node may serve (meaningless otherwise).
    TimePoint ServeUntil() const { return serveUntil_; }
    // Set while the active node has no session.
    std::optional<TimePoint> DbLostSince() const { return dbLostSince_; }

private:
    void Standby(TimePoint now);
    void Active(TimePoint now, bool tick);
    void Stop(TStop reason);
    // The active node's session failed at now.
    void SessionLost(TimePoint now);

    TClusterSettings settings_;
    TClusterSession &session_;
    Clock clock_;
    TRole role_ = TRole::Standby;
    TStop stop_ = TStop::None;
    TimePoint serveUntil_{};
    TimePoint lastTick_{};
    std::optional<TimePoint> dbLostSince_;
    // Standby: no attempt before these.
    TimePoint nextConnect_{};
    TimePoint nextTry_{};
    // The standby had a session that died: it waits TakeoverDelay after the
    // next connection.
    bool sessionDied_ = false;
    bool hadSession_ = false;
};
