// Reports on their way from the receive queue to the database and, for alarm
// reports, back to their unit as an acknowledgement. Every report is queued
// for the alarm analysis (AlarmQueue) in the same transaction. A unit forgets an alarm report once
// it is acknowledged, so the acknowledgement leaves only after the report's AlarmHistory row is
// committed: whatever ends the process after that, the row is on disk, and whatever ends it before,
// the unit still holds the report and sends it again.
//
// Reports are committed in groups: everything waiting goes into one
// transaction, on a thread of its own, so a storm costs one commit per group
// instead of one per report and the event thread never waits on the
// database. The acknowledgements of a group are handed on in the order the
// reports came, so each unit gets them in the order of its reports.
//
// While the database is unavailable the reports wait here (bounded; a report
// already waiting is not queued twice when its unit repeats it) and nothing
// is acknowledged; the group is tried again every retryPause.
//
// Threading contract: Submit() may be called from any thread (the event thread
// does); the committing thread (Start()) or a test calling CommitWaiting()
// takes groups off the queue, never both at once. waiting_ and its index are
// guarded by lock_, which is never held while using the database or calling
// the acknowledge callback.
#pragma once

#include "HistoryTables.h"
#include "PublicU.h"

#include <QDateTime>
#include <QSet>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>

// One report waiting for its rows and, for an alarm report, its acknowledgement.
struct TAlarmReport {
    QString EquipmentCode;
    int SerialId = 0;
    QString DataBody;
    QDateTime AlarmTime;
    bool Store = true;       // an AlarmHistory row (not for a faulty frame)
    bool Acknowledge = true; // an alarm report: acknowledged once committed
    QString AckDictate;      // what the acknowledgement carries (the report's serial bytes)
};

class TAlarmCommitter {
public:
    // Called for each committed report, in report order, on the committing thread.
    using TAcknowledge = std::function<void(const TAlarmReport &)>;

    static constexpr std::size_t MaxWaiting = 100000; // reports waiting at most
    static constexpr std::size_t MaxGroup = 5000;     // reports per transaction at most

    TAlarmCommitter(TAcknowledge acknowledge, TCommInfoHint hint,
                    std::chrono::milliseconds retryPause = std::chrono::milliseconds(500));
    ~TAlarmCommitter();
    TAlarmCommitter(const TAlarmCommitter &) = delete;
    TAlarmCommitter &operator=(const TAlarmCommitter &) = delete;

    // Queues one report. False when it is not queued: the same report (unit,
    // serial number, data) already waits, or the queue is full. Either way
    // the unit has no acknowledgement for it yet and will send it again.
    bool Submit(TAlarmReport report);

    // Commits the reports waiting now (at most MaxGroup) in one transaction
    // and acknowledges them. Returns how many were committed; 0 when none
    // waited or the database is unavailable (they stay queued then). No data
    // module counts as unavailable.
    std::size_t CommitWaiting();

    // Starts the committing thread (once); Stop() ends and joins it. Reports
    // still waiting at the stop are not acknowledged; one red line counts
    // them.
    void Start();
    void Stop();

    std::size_t Waiting() const;

private:
    void Run(std::stop_token stop);
    static QString Key(const TAlarmReport &report);
    // Writes the rows of the group in one transaction. Throws DbError.
    static void Store(const std::deque<TAlarmReport> &group);
    // Stores a group that the database refused as a whole row by row: a row
    // refused for itself is reported and acknowledged all the same (it would
    // be refused again each time the unit repeats it).
    void StoreOneByOne(const std::deque<TAlarmReport> &group, std::size_t &stored);

    TAcknowledge acknowledge_;
    TCommInfoHint hint_;
    std::chrono::milliseconds retryPause_;

    mutable std::mutex lock_;
    std::condition_variable_any wake_;
    std::deque<TAlarmReport> waiting_; // guarded by lock_
    QSet<QString> waitingKeys_;        // guarded by lock_
    bool fullReported_ = false;        // guarded by lock_
    std::jthread thread_;              // last: joined before the rest goes
};
