// Counters of what the server does, read by the metrics endpoint. Start-up
// owns the one instance and points ServerMetrics at it before any server or
// worker exists, and clears it once they are gone; without it (tests, the
// simulator) nothing is counted. Counting is one relaxed atomic add.
#pragma once

#include <atomic>
#include <cstdint>

struct TServerMetrics {
    using Counter = std::atomic<std::uint64_t>;

    // Equipment link.
    Counter framesReceived{0};     // every frame cut from a unit's bytes
    Counter heartbeatsAnswered{0}; // heartbeat replies written
    // Frames dropped, by cause.
    Counter framesBadCheck{0};     // heartbeat with a bad check code
    Counter framesUnregistered{0}; // frame of a connection without an owned unit
    Counter framesQueueFull{0};    // receive queue full
    Counter framesUnparsed{0};     // frame that cannot be parsed
    Counter framesUnknownFlag{0};  // command flag the server does not handle
    // Equipment and client connections closed for want of a valid PROXY
    // header (AcceptProxy on).
    Counter proxyHeadersRefused{0};
    // Requests of clients.
    Counter requestsRelayed{0}; // written to their unit
    Counter requestsExpired{0}; // dropped unanswered after the expiry time
    // Alert mails.
    Counter mailsSent{0};
    Counter mailsFailed{0};
    // History rows written, and deleted by retention.
    Counter historyRowsWritten{0};
    Counter historyRowsDeleted{0};
    // Statements that failed, an outage's included.
    Counter databaseErrors{0};
};

extern std::atomic<TServerMetrics *> ServerMetrics;

// Adds n to one counter when metrics are on.
inline void CountMetric(TServerMetrics::Counter TServerMetrics::*counter, std::uint64_t n = 1) {
    if (TServerMetrics *m = ServerMetrics.load(std::memory_order_relaxed))
        (m->*counter).fetch_add(n, std::memory_order_relaxed);
}
