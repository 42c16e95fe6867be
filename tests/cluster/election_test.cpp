// The election's state machine on a scripted session and a clock the test
// moves: who becomes active when, how the lease runs, and why a node stops.
#include "Election.h"

#include <gtest/gtest.h>

#include <deque>

namespace {

using namespace std::chrono_literals;
using TRole = TElection::TRole;
using TStop = TElection::TStop;

// A session whose answers the test sets; every call is counted.
class FakeSession : public TClusterSession {
public:
    bool reachable = true; // Open() succeeds
    bool lockFree = true;  // TryLock() gets the lock
    bool failNext = false; // the next TryLock/Ping fails the session
    int opens = 0, tries = 0, pings = 0;

    bool Open() override {
        ++opens;
        open_ = reachable;
        return open_;
    }
    bool IsOpen() const override { return open_; }
    void Close() override { open_ = false; }
    std::optional<bool> TryLock() override {
        ++tries;
        if (!open_ || std::exchange(failNext, false)) {
            open_ = false;
            return std::nullopt;
        }
        return lockFree;
    }
    bool Ping() override {
        ++pings;
        if (!open_ || std::exchange(failNext, false)) {
            open_ = false;
            return false;
        }
        return true;
    }
    std::optional<std::vector<TClusterNodeRow>> Report(const QString &, const QString &,
                                                       const QString &) override {
        return std::vector<TClusterNodeRow>{};
    }
    QString LastError() const override { return {}; }
    // The server ended the session (restart, idle timeout).
    void Drop() { open_ = false; }

private:
    bool open_ = false;
};

TClusterSettings Paces() {
    TClusterSettings s;
    s.nodeName = QStringLiteral("n1");
    s.hangTimeout = 5s;
    s.takeoverDelay = 10s;
    s.dbLossGrace = 10s;
    return s;
}

class ElectionTest : public ::testing::Test {
protected:
    std::chrono::steady_clock::time_point now{std::chrono::hours(1000)};
    FakeSession session;
    TClusterSettings settings = Paces();
    TElection election{settings, session, [this] { return now; }};

    // Moves the clock in steps of `step` for `span`, stepping the election
    // each time (with a tick when ticking: the loop turns).
    void Run(std::chrono::milliseconds span, bool ticking, std::chrono::milliseconds step = 100ms) {
        for (auto t = 0ms; t < span; t += step) {
            now += step;
            election.Step(ticking);
            if (election.Role() == TRole::Stopped)
                return;
        }
    }
    void BecomeActive() {
        election.Step(false);
        ASSERT_EQ(election.Role(), TRole::Active);
    }
};

TEST_F(ElectionTest, StandbyTriesAtItsPaceUntilTheLockIsFree) {
    session.lockFree = false;
    election.Step(false);
    EXPECT_EQ(election.Role(), TRole::Standby);
    EXPECT_EQ(session.tries, 1);
    Run(2s, false);
    // One try per TryPace (0.5 s at a 5 s hang timeout), no more.
    EXPECT_EQ(session.tries, 1 + 4);
    session.lockFree = true;
    Run(1s, false);
    EXPECT_EQ(election.Role(), TRole::Active);
    // The lease runs from the attempt that won, a hang timeout long.
    EXPECT_GT(election.ServeUntil(), now);
    EXPECT_LE(election.ServeUntil(), now + 5s);
}

TEST_F(ElectionTest, UnreachableAtStartThenTriesAtOnceWhenReachable) {
    session.reachable = false;
    Run(2s, false);
    EXPECT_EQ(election.Role(), TRole::Standby);
    session.reachable = true;
    Run(1s, false);
    // A first connection is no session that died: no waiting, even though
    // the first attempts failed.
    EXPECT_EQ(election.Role(), TRole::Active);
}

TEST_F(ElectionTest, StandbyWhoseSessionDiedWaitsTheTakeoverDelay) {
    session.lockFree = false;
    election.Step(false);
    session.Drop();
    session.reachable = false;
    Run(3s, false); // the database restarts
    session.reachable = true;
    session.lockFree = true;
    Run(9s, false);
    EXPECT_EQ(election.Role(), TRole::Standby) << "took the lock within the takeover delay";
    Run(2s, false);
    EXPECT_EQ(election.Role(), TRole::Active);
}

TEST_F(ElectionTest, KeepAlivesOnTicksRenewTheLease) {
    BecomeActive();
    Run(60s, true, 1s);
    EXPECT_EQ(election.Role(), TRole::Active);
    EXPECT_EQ(election.ServeUntil(), now + 5s);
    EXPECT_EQ(session.pings, 60);
}

TEST_F(ElectionTest, WithoutTicksTheLeaseLapsesAndTheNodeStops) {
    BecomeActive();
    Run(4900ms, false);
    EXPECT_EQ(election.Role(), TRole::Active);
    Run(200ms, false);
    EXPECT_EQ(election.Role(), TRole::Stopped);
    EXPECT_EQ(election.StopReason(), TStop::Stalled);
    EXPECT_EQ(session.pings, 0);
    EXPECT_FALSE(session.IsOpen());
}

TEST_F(ElectionTest, FrozenProcessStopsWhenItResumes) {
    // Frozen for 30 s (the clock runs on), the server ended the idle
    // session meanwhile: the first step afterwards, even with a tick, stops.
    BecomeActive();
    Run(2s, true, 1s);
    now += 30s;
    session.Drop();
    election.Step(true);
    EXPECT_EQ(election.Role(), TRole::Stopped);
    EXPECT_EQ(election.StopReason(), TStop::Stalled);
}

TEST_F(ElectionTest, KeepAliveStartedBeforeAFreezeDoesNotRenewPastIt) {
    // The round trip counts from when it was sent: the answer that was
    // waiting through a freeze does not make an old session new.
    BecomeActive();
    const auto sent = now;
    election.Step(true);
    EXPECT_EQ(election.ServeUntil(), sent + 5s);
}

struct RestartCase {
    const char *name;
    std::chrono::milliseconds down; // how long the database is away
    bool lockTakenMeanwhile;        // another node has it when this one is back
    TRole role;                     // what this node is afterwards
    TStop stop;
};

TEST_F(ElectionTest, DatabaseRestartWhileActive) {
    const RestartCase cases[] = {
        {"short restart: the lock is taken back", 3s, false, TRole::Active, TStop::None},
        {"restart near the grace", 9500ms, false, TRole::Active, TStop::None},
        {"longer than the grace", 12s, false, TRole::Stopped, TStop::DbUnreachable},
        {"another node holds it", 2s, true, TRole::Stopped, TStop::LostLock},
    };
    for (const RestartCase &c : cases) {
        FakeSession s;
        auto t = now;
        TElection e(settings, s, [&] { return t; });
        e.Step(false);
        ASSERT_EQ(e.Role(), TRole::Active) << c.name;
        for (int i = 0; i < 20; ++i) {
            t += 250ms;
            e.Step(true);
        }
        s.Drop();
        s.reachable = false;
        for (auto d = 0ms; d < c.down && e.Role() != TRole::Stopped; d += 250ms) {
            t += 250ms;
            e.Step(true);
            EXPECT_NE(e.Role(), TRole::Standby) << c.name;
        }
        s.reachable = true;
        s.lockFree = !c.lockTakenMeanwhile;
        for (int i = 0; i < 8 && e.Role() != TRole::Stopped; ++i) {
            t += 250ms;
            e.Step(true);
        }
        EXPECT_EQ(e.Role(), c.role) << c.name;
        EXPECT_EQ(e.StopReason(), c.stop) << c.name;
        if (c.role == TRole::Active) {
            EXPECT_EQ(e.ServeUntil(), t + 5s) << c.name << ": lease renewed";
        }
    }
}

TEST_F(ElectionTest, LoopThatStopsTurningDuringAnOutageStops) {
    // The grace holds only while the loop turns: without ticks the lease
    // ends a hang timeout after the last one, however long the grace is.
    BecomeActive();
    Run(2s, true, 250ms);
    session.Drop();
    session.reachable = false;
    Run(1s, true, 250ms);
    const auto lastTick = now;
    Run(5100ms, false, 100ms);
    EXPECT_EQ(election.Role(), TRole::Stopped);
    EXPECT_LE(now, lastTick + 5100ms);
    EXPECT_EQ(election.StopReason(), TStop::Stalled);
}

TEST_F(ElectionTest, PingFailureAfterTheLeaseLapsedIsAStallNotAnOutage) {
    BecomeActive();
    now += 6s; // the election thread itself was held up
    session.failNext = true;
    election.Step(true);
    EXPECT_EQ(election.Role(), TRole::Stopped);
    EXPECT_EQ(election.StopReason(), TStop::Stalled);
}

} // namespace
