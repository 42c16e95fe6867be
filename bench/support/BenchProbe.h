// One more simulated unit on a thread and event loop of its own, heartbeating
// twice a second: its latencies are the server's (and the machine's), free of
// the load generator's own event-loop lag.
#pragma once

#include "BenchServer.h"
#include "SimFleet.h"

#include <QThread>

#include <atomic>
#include <memory>
#include <mutex>

// "p50 .. ms, p99 .. ms, max .. ms (N replies)" of a latency sample.
QString BenchLatencyText(const std::vector<float> &ms);

class TBenchProbe {
public:
    explicit TBenchProbe(int port);
    ~TBenchProbe() { Finish(); }
    TBenchProbe(const TBenchProbe &) = delete;
    TBenchProbe &operator=(const TBenchProbe &) = delete;

    void ResetLatencies() { reset_ = true; }
    // The latencies since the last reset, and a reset (waits for the probe's
    // thread, at most about 50 ms).
    std::vector<float> TakeLatencies();
    // Stops the probe and returns what it measured.
    const TSimStats &Finish();

private:
    std::unique_ptr<QThread> thread_;
    std::atomic<bool> reset_{false};
    std::atomic<bool> take_{false};
    std::atomic<bool> stop_{false};
    std::mutex takenLock_;
    std::vector<float> taken_;
    TSimStats stats_; // written by the probe thread before it ends
};

// Owners for units LOAD1 .. LOADn (a hundred to an account) and for the
// probe unit, so that their heartbeats need no database look-up once
// registered, as in the field.
std::vector<TBenchOwner> BenchOwnersWithProbe(int units);
