#include "MetricsEndpoint.h"

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>
#include <prometheus/text_serializer.h>

#include <QDateTime>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <initializer_list>
#include <sstream>
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
            counter("mms_proxy_headers_refused_total",
                    "Connections closed for want of a valid PROXY header",
                    Read(c_.proxyHeadersRefused)),
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

// The listening socket and its connections, on the endpoint's thread.
class TMetricsEndpoint::Server : public QObject {
public:
    Server(const TMetricsEndpoint &owner, std::chrono::milliseconds deadline)
        : owner_(owner), deadline_(deadline) {
        QObject::connect(&listener_, &QTcpServer::newConnection, this, [this] { Accept(); });
    }

    // Runs on the endpoint's thread. The error text when it cannot listen.
    QString Listen(const QString &address, int port) {
        if (!listener_.listen(QHostAddress(address), quint16(port)))
            return listener_.errorString();
        return {};
    }
    quint16 Port() const { return listener_.serverPort(); }
    // Runs on the endpoint's thread: closes everything it owns there.
    void Close() {
        listener_.close();
        qDeleteAll(findChildren<QTcpSocket *>(Qt::FindDirectChildrenOnly));
    }

private:
    void Accept() {
        while (QTcpSocket *socket = listener_.nextPendingConnection()) {
            socket->setParent(this);
            // Qt takes no more from the kernel than a request head may hold.
            socket->setReadBufferSize(MaxRequestBytes + 1);
            auto *timer = new QTimer(socket);
            timer->setSingleShot(true);
            QObject::connect(timer, &QTimer::timeout, socket, [socket] {
                socket->abort();
                socket->deleteLater();
            });
            timer->start(deadline_);
            auto head = std::make_shared<QByteArray>();
            QObject::connect(socket, &QTcpSocket::readyRead, socket,
                             [this, socket, head] { Read(socket, *head); });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    }

    void Read(QTcpSocket *socket, QByteArray &head) {
        head += socket->readAll();
        const qsizetype end = head.indexOf("\r\n\r\n");
        if (end < 0 && head.size() <= MaxRequestBytes)
            return; // the rest of the head is still to come
        const QByteArray requestLine = head.left(head.indexOf("\r\n"));
        QObject::disconnect(socket, &QTcpSocket::readyRead, socket, nullptr);
        QByteArray status = "200 OK";
        std::string body;
        const auto isPath = [&](const char *path) {
            return requestLine.startsWith(QByteArray("GET ") + path + ' ') ||
                   requestLine.startsWith(QByteArray("GET ") + path + '?');
        };
        if (end < 0) {
            status = "431 Request Header Fields Too Large";
        } else if (isPath("/health/active")) {
            const bool active = owner_.Active();
            status = active ? "200 OK" : "503 Service Unavailable";
            body = active ? "active\n" : "standby\n";
        } else if (!requestLine.startsWith("GET /metrics ") &&
                   !requestLine.startsWith("GET /metrics?")) {
            status = "404 Not Found";
        } else {
            body = owner_.Page();
        }
        socket->write("HTTP/1.0 " + status +
                      "\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
                      "Content-Length: " +
                      QByteArray::number(qsizetype(body.size())) + "\r\nConnection: close\r\n\r\n");
        socket->write(body.data(), qint64(body.size()));
        // Closed once sent; the deadline still ends a client that does not
        // take the answer.
        socket->disconnectFromHost();
    }

    const TMetricsEndpoint &owner_;
    std::chrono::milliseconds deadline_;
    QTcpServer listener_{this};
};

TMetricsEndpoint::TMetricsEndpoint(const TServerMetrics &counters, const TMetricsGauges &gauges,
                                   std::chrono::milliseconds deadline)
    : collector_(std::make_shared<Collector>(counters, gauges)), deadline_(deadline) {}

TMetricsEndpoint::~TMetricsEndpoint() {
    if (!thread_)
        return;
    QMetaObject::invokeMethod(
        server_.get(), [this] { server_->Close(); }, Qt::BlockingQueuedConnection);
    thread_->quit();
    thread_->wait();
    server_.reset();
}

void TMetricsEndpoint::SetCluster(TClusterView view) {
    cluster_ = std::move(view);
}

std::string TMetricsEndpoint::Page() const {
    std::vector<MetricFamily> families = collector_->Collect();
    if (cluster_.active) {
        families.push_back({"mms_cluster_active",
                            "1 on the node that holds the lock, else 0",
                            MetricType::Gauge,
                            {Sample(MetricType::Gauge, cluster_.active() ? 1 : 0)}});
        MetricFamily nodes{"mms_cluster_node_last_seen_seconds",
                           "When each node of the cluster last wrote its row, by node and role",
                           MetricType::Gauge,
                           {}};
        if (cluster_.nodes)
            for (const TClusterNodeRow &row : cluster_.nodes()) {
                ClientMetric m =
                    Sample(MetricType::Gauge, row.lastSeen, "node", row.name.toStdString());
                m.label.push_back({"role", row.role.toStdString()});
                nodes.metric.push_back(std::move(m));
            }
        families.push_back(std::move(nodes));
    }
    std::ostringstream out;
    prometheus::TextSerializer().Serialize(out, families);
    return out.str();
}

bool TMetricsEndpoint::Start(const QString &address, int port) {
    QHostAddress host;
    if (!host.setAddress(address)) {
        error_ = QStringLiteral("%1 is not an IP address").arg(address);
        return false;
    }
    thread_ = std::make_unique<QThread>();
    thread_->setObjectName(QStringLiteral("metrics"));
    server_ = std::make_unique<Server>(*this, deadline_);
    server_->moveToThread(thread_.get());
    thread_->start();
    QMetaObject::invokeMethod(
        server_.get(),
        [&] {
            error_ = server_->Listen(address, port);
            port_ = server_->Port();
        },
        Qt::BlockingQueuedConnection);
    if (error_.isEmpty())
        return true;
    QMetaObject::invokeMethod(
        server_.get(), [this] { server_->Close(); }, Qt::BlockingQueuedConnection);
    thread_->quit();
    thread_->wait();
    server_.reset();
    thread_.reset();
    return false;
}
