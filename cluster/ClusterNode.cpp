#include "ClusterNode.h"

#include "CommInfoHintSink.h"
#include "PublicU.h"

#include <QDateTime>

#include <cstdio>
#include <unistd.h>
#include <utility>

namespace {

using SteadyClock = std::chrono::steady_clock;

std::int64_t Nanos(SteadyClock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// How often the node's row is written and the rows read.
constexpr std::chrono::milliseconds ReportPace{1000};
// The election thread looks at the clock at least this often.
constexpr std::chrono::milliseconds LongestWait{100};

} // namespace

void ExitFenced() {
    std::fflush(stdout);
    std::fflush(stderr);
    ::_exit(3);
}

TClusterNode::TClusterNode(TClusterSettings settings, std::unique_ptr<TClusterSession> session,
                           QString address, Hooks hooks)
    : settings_(std::move(settings)), session_(std::move(session)), address_(std::move(address)),
      hooks_(std::move(hooks)), election_(settings_, *session_, [] { return SteadyClock::now(); }) {
    if (!hooks_.exit)
        hooks_.exit = [] { ExitFenced(); };
}

TClusterNode::~TClusterNode() {
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
    session_->Close();
}

QString TClusterNode::StandbyLine() const {
    return QStringLiteral("Cluster node %1: standby, waiting for the lock").arg(settings_.nodeName);
}

QString TClusterNode::ActiveLine() const {
    return QStringLiteral("Cluster node %1: active, holding the lock").arg(settings_.nodeName);
}

QString TClusterNode::LostLockLine() const {
    return QStringLiteral("Cluster node %1: lost the lock, stopping").arg(settings_.nodeName);
}

QString TClusterNode::UnreachableLine() const {
    const auto seconds = std::chrono::duration<double>(settings_.dbLossGrace).count();
    return QStringLiteral("Cluster node %1: database unreachable for %2 s, stopping")
        .arg(settings_.nodeName)
        .arg(seconds);
}

QString TClusterNode::Role() const {
    return Active() ? QStringLiteral("active") : QStringLiteral("standby");
}

std::vector<TClusterNodeRow> TClusterNode::Nodes() const {
    std::lock_guard guard(lock_);
    return nodes_;
}

void TClusterNode::Start() {
    if (hooks_.log)
        hooks_.log(StandbyLine());
    std::fprintf(stderr, "%s\n", StandbyLine().toLocal8Bit().constData());
    std::fflush(stderr);
    thread_ = std::thread([this] { Run(); });
}

void TClusterNode::Tick() {
    {
        std::lock_guard guard(lock_);
        tick_ = true;
    }
    wake_.notify_one();
}

void TClusterNode::Guard() {
    if (!active_.load(std::memory_order_acquire))
        return;
    const std::int64_t now = Nanos(SteadyClock::now());
    const std::int64_t until = serveUntil_.load(std::memory_order_acquire);
    if (now < until)
        return;
    const std::int64_t graceEnds = graceEnds_.load(std::memory_order_acquire);
    if (graceEnds != 0 && now >= graceEnds) {
        Fence({UnreachableLine()});
        return;
    }
    Fence({QStringLiteral("Cluster node %1: the lease lapsed %2 ms ago (the node was held up); "
                          "nothing more is sent")
               .arg(settings_.nodeName)
               .arg((now - until) / 1000000),
           LostLockLine()});
}

QStringList TClusterNode::StopLines(TElection::TStop reason) const {
    switch (reason) {
    case TElection::TStop::DbUnreachable:
        return {UnreachableLine()};
    case TElection::TStop::Stalled:
        return {QStringLiteral("Cluster node %1: no keep-alive confirmed within %2 ms (the node "
                               "was held up); nothing more is sent")
                    .arg(settings_.nodeName)
                    .arg(settings_.hangTimeout.count()),
                LostLockLine()};
    default:
        return {LostLockLine()};
    }
}

void TClusterNode::Fence(const QStringList &lines) {
    std::lock_guard fence(fenceLock_);
    if (std::exchange(fenced_, true))
        return; // only when the exit is the tests' (which returns)
    // Straight to the terminal: the log's own queue would not be written
    // before the process ends.
    const QDateTime now = QDateTime::currentDateTime();
    for (const QString &line : lines) {
        std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
        if (ShowInfoHint) {
            const QByteArray text = FormatLogLine(now, line).toUtf8();
            std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
            std::fputc('\n', stdout);
        }
    }
    std::fflush(stdout);
    std::fflush(stderr);
    hooks_.exit();
}

void TClusterNode::Run() {
    auto nextReport = SteadyClock::now();
    std::unique_lock guard(lock_);
    for (;;) {
        wake_.wait_for(guard, LongestWait, [this] { return stopping_ || tick_; });
        if (stopping_)
            return;
        const bool tick = std::exchange(tick_, false);
        guard.unlock();

        const bool wasActive = election_.Role() == TElection::TRole::Active;
        election_.Step(tick);
        switch (election_.Role()) {
        case TElection::TRole::Active:
            graceEnds_.store(election_.DbLostSince()
                                 ? Nanos(*election_.DbLostSince() + settings_.dbLossGrace)
                                 : 0,
                             std::memory_order_release);
            serveUntil_.store(Nanos(election_.ServeUntil()), std::memory_order_release);
            if (!wasActive) {
                active_.store(true, std::memory_order_release);
                if (hooks_.becameActive)
                    hooks_.becameActive();
            }
            break;
        case TElection::TRole::Stopped:
            Fence(StopLines(election_.StopReason()));
            guard.lock();
            stopping_ = true;
            return;
        case TElection::TRole::Standby:
            break;
        }

        const auto now = SteadyClock::now();
        std::optional<std::vector<TClusterNodeRow>> rows;
        if (now >= nextReport && session_->IsOpen() && !election_.DbLostSince()) {
            nextReport = now + ReportPace;
            rows = session_->Report(settings_.nodeName, address_, Role());
        }
        guard.lock();
        if (rows)
            nodes_ = std::move(*rows);
    }
}
