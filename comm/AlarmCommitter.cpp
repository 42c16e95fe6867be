#include "AlarmCommitter.h"

#include "AlarmOutbox.h"
#include "LogCategories.h"
#include "NetD.h"

#include <vector>

TAlarmCommitter::TAlarmCommitter(TAcknowledge acknowledge, TCommInfoHint hint,
                                 std::chrono::milliseconds retryPause)
    : acknowledge_(std::move(acknowledge)), hint_(std::move(hint)), retryPause_(retryPause) {}

TAlarmCommitter::~TAlarmCommitter() {
    Stop();
}

QString TAlarmCommitter::Key(const TAlarmReport &report) {
    return report.EquipmentCode + QLatin1Char('#') + QString::number(report.SerialId) +
           QLatin1Char('#') + report.DataBody;
}

bool TAlarmCommitter::Submit(TAlarmReport report) {
    const QString key = Key(report);
    {
        std::lock_guard guard(lock_);
        if (waitingKeys_.contains(key))
            return false;
        if (waiting_.size() >= MaxWaiting) {
            if (!fullReported_ && hint_)
                hint_(LogEvent(
                    TLogKind::Error, TLogPane::Events,
                    QStringLiteral("%1 alarm reports wait for the database: further reports "
                                   "are not acknowledged until they are stored")
                        .arg(waiting_.size()),
                    clRed));
            fullReported_ = true;
            return false;
        }
        waitingKeys_.insert(key);
        waiting_.push_back(std::move(report));
    }
    wake_.notify_one();
    return true;
}

std::size_t TAlarmCommitter::Waiting() const {
    std::lock_guard guard(lock_);
    return waiting_.size();
}

std::size_t TAlarmCommitter::CommitWaiting() {
    std::deque<TAlarmReport> group;
    {
        std::lock_guard guard(lock_);
        const std::size_t n = std::min(waiting_.size(), MaxGroup);
        group.assign(waiting_.begin(), waiting_.begin() + static_cast<std::ptrdiff_t>(n));
    }
    if (group.empty() || !dmNet || !dmNet->IsUp())
        return 0;

    std::size_t stored = 0;
    try {
        Store(group);
        stored = group.size();
    } catch (const DbUnavailable &e) {
        qCDebug(lcEquipment) << group.size() << "reports wait for the database:" << e.what();
        return 0;
    } catch (const DbError &) {
        // One row the database refuses fails the whole group.
        try {
            StoreOneByOne(group, stored);
        } catch (const DbUnavailable &) {
            return 0;
        }
    }

    {
        std::lock_guard guard(lock_);
        for (const TAlarmReport &r : group) {
            waitingKeys_.remove(Key(r));
            waiting_.pop_front();
        }
        if (waiting_.size() < MaxWaiting / 2)
            fullReported_ = false;
    }
    for (const TAlarmReport &r : group) {
        try {
            if (acknowledge_ && r.Acknowledge)
                acknowledge_(r);
        } catch (const std::exception &e) {
            qCDebug(lcEquipment) << "acknowledgement of" << r.EquipmentCode << r.SerialId
                                 << "not queued:" << e.what();
        }
    }
    return group.size();
}

void TAlarmCommitter::Store(const std::deque<TAlarmReport> &group) {
    std::vector<TAlarmHistoryRow> rows;
    std::vector<TAlarmQueueRow> lines;
    for (const TAlarmReport &r : group) {
        if (r.Store)
            rows.push_back({r.EquipmentCode, r.DataBody, r.AlarmTime});
        lines.push_back({0, r.EquipmentCode, r.DataBody, DateTimeText(r.AlarmTime)});
    }
    TdmNet::Transaction tx(*dmNet);
    THistoryTables(*dmNet).InsertAlarms(rows);
    TAlarmOutbox(*dmNet).Queue(lines);
    tx.Commit();
}

void TAlarmCommitter::StoreOneByOne(const std::deque<TAlarmReport> &group, std::size_t &stored) {
    for (const TAlarmReport &r : group) {
        try {
            Store({r});
            ++stored;
        } catch (const DbUnavailable &) {
            throw;
        } catch (const DbError &e) {
            if (hint_)
                hint_(LogEvent(TLogKind::Error, TLogPane::Events,
                               QStringLiteral("Save history AlarmHistory (EquipmentCode:") +
                                   r.EquipmentCode + QStringLiteral("  SerialId:") +
                                   QString::number(r.SerialId) + QStringLiteral(") failed: ") +
                                   QString::fromStdString(e.what()),
                               clRed)
                          .WithUnit(r.EquipmentCode));
        }
    }
}

void TAlarmCommitter::Start() {
    if (thread_.joinable())
        return;
    thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
}

void TAlarmCommitter::Stop() {
    if (!thread_.joinable())
        return;
    thread_.request_stop();
    wake_.notify_all();
    thread_.join();
    // Said once, so that reports left at the exit do not go unnoticed.
    const std::size_t left = Waiting();
    if (left > 0 && hint_)
        hint_(LogEvent(
            TLogKind::Error, TLogPane::Events,
            QStringLiteral("%1 reports were not stored: the database is unavailable; their "
                           "units had no acknowledgement and will report them again")
                .arg(left),
            clRed));
}

void TAlarmCommitter::Run(std::stop_token stop) {
    while (!stop.stop_requested()) {
        {
            std::unique_lock guard(lock_);
            wake_.wait(guard, stop, [this] { return !waiting_.empty(); });
        }
        if (stop.stop_requested())
            break;
        std::size_t done = 0;
        try {
            done = CommitWaiting();
        } catch (const std::exception &e) {
            qCDebug(lcEquipment) << "alarm commit failed:" << e.what();
        }
        if (done == 0) {
            // The database is unavailable: try again after the pause.
            std::unique_lock guard(lock_);
            wake_.wait_for(guard, stop, retryPause_, [] { return false; });
        }
    }
    if (dmNet)
        dmNet->ReleaseThreadConnection();
}
