// The metrics endpoint: the server's counters and a few sampled figures in
// the Prometheus text format at http://ADDRESS:PORT/metrics.
#pragma once

#include "ServerMetrics.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>

namespace prometheus {
class Exposer;
}

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
    TMetricsEndpoint(const TServerMetrics &counters, const TMetricsGauges &gauges);
    ~TMetricsEndpoint();
    TMetricsEndpoint(const TMetricsEndpoint &) = delete;
    TMetricsEndpoint &operator=(const TMetricsEndpoint &) = delete;

    // Listens on the IPv4 address and port (0 picks a free port). False when
    // it cannot (ErrorString() says why).
    bool Start(const QString &address, int port);
    QString ErrorString() const { return error_; }
    int Port() const { return port_; }

private:
    class Collector;
    std::shared_ptr<Collector> collector_;
    std::unique_ptr<prometheus::Exposer> exposer_;
    QString error_;
    int port_ = 0;
};
