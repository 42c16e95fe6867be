// One node of a cluster: runs its election on a thread of its own (the
// session's round trips never hold up an event loop), reports its row, and
// fences the node when it may serve no longer.
//
// Fencing: when the lock is lost, the database is unreachable beyond the
// grace, or the lease has lapsed, the node says why (standard error always,
// standard output as a log line when the log is on) and the process ends at
// once with exit code 3: its ports and connections close with it, and
// nothing more is sent on them. The link thread calls Guard() before it
// handles anything, so a node that resumes after being frozen past its
// lease stops before it answers a unit.
#pragma once

#include "ClusterSettings.h"
#include "ClusterStore.h"
#include "Election.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class TClusterNode {
public:
    struct Hooks {
        // The node won the lock (election thread): start serving.
        std::function<void()> becameActive;
        // Writes a line to the operator's log (election thread).
        std::function<void(const QString &)> log;
        // Ends the process (exit code 3); tests replace it.
        std::function<void()> exit;
    };

    TClusterNode(TClusterSettings settings, std::unique_ptr<TClusterSession> session,
                 QString address, Hooks hooks);
    // Ends the election thread and closes the session (the lock is free then).
    ~TClusterNode();
    TClusterNode(const TClusterNode &) = delete;
    TClusterNode &operator=(const TClusterNode &) = delete;

    // Says "standby, waiting for the lock" and starts the election.
    void Start();
    // Link thread: the loop turned; asks for a keep-alive.
    void Tick();
    // Link thread, before it handles anything: fences the node when it is
    // active and its lease has lapsed.
    void Guard();

    const TClusterSettings &Settings() const { return settings_; }
    bool Active() const { return active_.load(); }
    QString Role() const;
    // The rows of ClusterNode as last read.
    std::vector<TClusterNodeRow> Nodes() const;

    // The contract's lines.
    QString StandbyLine() const;
    QString ActiveLine() const;
    QString LostLockLine() const;
    QString UnreachableLine() const;

private:
    void Run();
    // Says why and ends the process (once; a second caller waits for the
    // end and does not return before it).
    void Fence(const QStringList &lines);
    // The lines that say why the election stopped.
    QStringList StopLines(TElection::TStop reason) const;

    TClusterSettings settings_;
    std::unique_ptr<TClusterSession> session_;
    QString address_;
    Hooks hooks_;
    TElection election_;
    std::atomic<bool> active_{false};
    // The lease for Guard(): nanoseconds of the monotonic clock.
    std::atomic<std::int64_t> serveUntil_{0};
    // While the session is lost: when the grace ends (0: not lost), so that
    // the guard says why it stops.
    std::atomic<std::int64_t> graceEnds_{0};
    // Held by the thread that fences until the process ends, so that a
    // thread that would fence as well (the links' guard) waits there rather
    // than go on to deliver what it found waiting.
    std::mutex fenceLock_;
    bool fenced_ = false; // under fenceLock_

    mutable std::mutex lock_;
    std::condition_variable wake_;
    bool tick_ = false;
    bool stopping_ = false;
    std::vector<TClusterNodeRow> nodes_;
    std::thread thread_;
};

// The process's end when a node is fenced: says nothing more and exits 3.
[[noreturn]] void ExitFenced();
