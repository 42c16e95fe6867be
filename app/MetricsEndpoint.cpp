#include "MetricsEndpoint.h"

#include <prometheus/collectable.h>
#include <prometheus/exposer.h>
#include <prometheus/metric_family.h>

#include <QDateTime>

#include <initializer_list>
#include <utility>

namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

// One sample with an optional label.
ClientMetric Sample(MetricType type, double value, std::string label = {},
                    std::string labelValue = {}) {
    ClientMetric m;
    if (!label.empty())
        m.label.push_back({std::move(label), std::move(labelValue)});
    if (type == MetricType::Counter)
        m.counter.value = value;
    else
        m.gauge.value = value;
    return m;
}

double Read(const std::atomic<std::uint64_t> &c) {
    return static_cast<double>(c.load(std::memory_order_relaxed));
}

double Read(const std::atomic<std::int64_t> &g) {
    return static_cast<double>(g.load(std::memory_order_relaxed));
}

} // namespace

class TMetricsEndpoint::Collector : public prometheus::Collectable {
public:
    Collector(const TServerMetrics &c, const TMetricsGauges &g)
        : c_(c), g_(g), startTime_(static_cast<double>(QDateTime::currentSecsSinceEpoch())) {}

    std::vector<MetricFamily> Collect() const override {
        const auto counter = [](const char *name, const char *help, double value) {
            return MetricFamily{
                name, help, MetricType::Counter, {Sample(MetricType::Counter, value)}};
        };
        const auto gauge = [](const char *name, const char *help, double value) {
            return MetricFamily{name, help, MetricType::Gauge, {Sample(MetricType::Gauge, value)}};
        };
        // One family of samples told apart by one label.
        const auto labelled = [](const char *name, const char *help, MetricType type,
                                 const char *label,
                                 std::initializer_list<std::pair<const char *, double>> samples) {
            MetricFamily f{name, help, type, {}};
            for (const auto &[value, figure] : samples)
                f.metric.push_back(Sample(type, figure, label, value));
            return f;
        };
        const MetricType C = MetricType::Counter;
        return {
            gauge("mms_units_connected", "Equipment connections open", Read(g_.unitsConnected)),
            gauge("mms_clients_connected", "Client connections open", Read(g_.clientsConnected)),
            counter("mms_frames_received_total", "Frames cut from the equipment's bytes",
                    Read(c_.framesReceived)),
            counter("mms_heartbeats_answered_total", "Heartbeat replies written",
                    Read(c_.heartbeatsAnswered)),
            labelled("mms_frames_dropped_total", "Equipment frames dropped, by cause", C, "cause",
                     {{"bad_check", Read(c_.framesBadCheck)},
                      {"unregistered", Read(c_.framesUnregistered)},
                      {"queue_full", Read(c_.framesQueueFull)},
                      {"unparsed", Read(c_.framesUnparsed)},
                      {"unknown_flag", Read(c_.framesUnknownFlag)}}),
            counter("mms_requests_relayed_total", "Client requests written to their unit",
                    Read(c_.requestsRelayed)),
            counter("mms_requests_expired_total", "Client requests dropped unanswered",
                    Read(c_.requestsExpired)),
            labelled("mms_queue_length", "Entries waiting, by queue (sampled once a second)",
                     MetricType::Gauge, "queue",
                     {{"send", Read(g_.sendQueue)},
                      {"receive", Read(g_.receiveQueue)},
                      {"channel", Read(g_.channelQueue)},
                      {"temp_history", Read(g_.tempHistory)},
                      {"log_sink", Read(g_.logSinkQueue)}}),
            labelled("mms_alert_mails_total", "Alert mails, by result", C, "result",
                     {{"sent", Read(c_.mailsSent)}, {"failed", Read(c_.mailsFailed)}}),
            counter("mms_history_rows_written_total", "Query and alarm history rows written",
                    Read(c_.historyRowsWritten)),
            counter("mms_history_rows_deleted_total",
                    "Query and alarm history rows deleted by retention",
                    Read(c_.historyRowsDeleted)),
            counter("mms_database_errors_total", "Database statements that failed",
                    Read(c_.databaseErrors)),
            gauge("process_start_time_seconds", "Start time of the process since the epoch",
                  startTime_),
        };
    }

private:
    const TServerMetrics &c_;
    const TMetricsGauges &g_;
    const double startTime_;
};

TMetricsEndpoint::TMetricsEndpoint(const TServerMetrics &counters, const TMetricsGauges &gauges)
    : collector_(std::make_shared<Collector>(counters, gauges)) {}

TMetricsEndpoint::~TMetricsEndpoint() = default;

bool TMetricsEndpoint::Start(const QString &address, int port) {
    try {
        exposer_ = std::make_unique<prometheus::Exposer>(
            QStringLiteral("%1:%2").arg(address).arg(port).toStdString(), 1);
        exposer_->RegisterCollectable(collector_);
        const std::vector<int> ports = exposer_->GetListeningPorts();
        port_ = ports.empty() ? port : ports.front();
        return true;
    } catch (const std::exception &e) {
        exposer_.reset();
        error_ = QString::fromStdString(e.what());
        return false;
    }
}
