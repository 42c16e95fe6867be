// The metrics endpoint: the server's counters and a few sampled figures in
// the Prometheus text format at http://ADDRESS:PORT/metrics.
//
// It serves on a thread of its own with non-blocking sockets, so a client
// that sends slowly or never reads its answer holds up no other scrape; each
// connection has a deadline for the whole exchange and a bound on its
// request.
//
// GET /health/active answers 200 "active" on the node that serves (and on a
// standalone server) and 503 "standby" on the others, for a balancer's
// health check.
#pragma once

#include "ClusterStore.h"
#include "ServerMetrics.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class QThread;

// Figures that live on the event thread, sampled there (TServerApp does it
// once a second) for the endpoint's thread to read.
struct TMetricsGauges {
    std::atomic<std::int64_t> unitsConnected{0};
    std::atomic<std::int64_t> clientsConnected{0};
    std::atomic<std::int64_t> sendQueue{0};
    std::atomic<std::int64_t> receiveQueue{0};
    std::atomic<std::int64_t> channelQueue{0};
    std::atomic<std::int64_t> tempHistory{0};
    std::atomic<std::int64_t> logSinkQueue{0};
};

class TMetricsEndpoint {
public:
    // A connection still open this long after it was accepted is closed.
    static constexpr std::chrono::milliseconds Deadline{3000};
    // The longest request head taken.
    static constexpr qsizetype MaxRequestBytes = 8192;

    TMetricsEndpoint(const TServerMetrics &counters, const TMetricsGauges &gauges,
                     std::chrono::milliseconds deadline = Deadline);
    ~TMetricsEndpoint();
    TMetricsEndpoint(const TMetricsEndpoint &) = delete;
    TMetricsEndpoint &operator=(const TMetricsEndpoint &) = delete;

    // What a node of a cluster tells: whether it serves now, and the
    // cluster's rows (shown as one gauge per node). Unset: a standalone
    // server, always active. Set before Start; called on the endpoint's
    // thread.
    struct TClusterView {
        std::function<bool()> active;
        std::function<std::vector<TClusterNodeRow>()> nodes;
    };
    void SetCluster(TClusterView view);

    // Listens on the IPv4 address and port (0 picks a free port). False when
    // it cannot (ErrorString() says why).
    bool Start(const QString &address, int port);
    QString ErrorString() const { return error_; }
    int Port() const { return port_; }

    // The page a scrape gets.
    std::string Page() const;
    // Whether /health/active says active.
    bool Active() const { return !cluster_.active || cluster_.active(); }

private:
    class Collector;
    class Server;
    std::shared_ptr<Collector> collector_;
    std::chrono::milliseconds deadline_;
    TClusterView cluster_;
    std::unique_ptr<QThread> thread_;
    std::unique_ptr<Server> server_; // lives on thread_
    QString error_;
    int port_ = 0;
};
