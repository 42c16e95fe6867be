// The automatic deletion of expired history and of registrations without
// equipment, once a minute from its creation, and the manual deletion of a
// whole history table.
//
// The statements run on a worker thread of their own, history rows in
// batches with the data module lock released between them, so that a large
// deletion neither stalls the event thread (and the links it serves) nor
// keeps the other database users waiting for long. The event thread only
// sequences the steps: the timer, the order of the steps and every report
// stay on it.
#pragma once

#include "PublicU.h"
#include "Retention.h"

#include <QDateTime>
#include <QObject>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <variant>

// What the last automatic run did.
struct TRetentionRun {
    QDateTime started;
    QDateTime finished;
    bool ok = true;
    int rowsDeleted = 0; // history rows and registrations
    QString error;       // why it failed; empty when it did not
};

class TCheckDelData : public QObject {
    Q_OBJECT
public:
    struct Settings {
        std::chrono::milliseconds interval{60000};
        int batchRows = 1000;
        // "Now" of each run; empty: the database's clock.
        TRetention::Clock clock;
        // The hours an account without equipment may stay (read at start-up).
        std::function<int()> registerHours = [] { return RegisterEmptyEquipmentHour; };
    };

    // The timer starts at once. `log` receives the failure of a registration
    // clean-up as a red line.
    TCheckDelData(TdmNet &db, TCommInfoHint log, Settings settings, QObject *parent = nullptr);
    TCheckDelData(TdmNet &db, TCommInfoHint log, QObject *parent = nullptr)
        : TCheckDelData(db, std::move(log), Settings(), parent) {}
    // Waits for the statement in progress, if any.
    ~TCheckDelData() override;

    // One automatic run (the timer's event): the registration clean-up, then
    // the expired rows of QueryHistory, then of AlarmHistory. A failed
    // clean-up ends the run; manual deletions queued behind it still run. A
    // run still deleting when the next one is due lets that one pass.
    void timCheckDelDataTimer();

    // Queues a deletion of one history table (Auto: the expired rows, else
    // every row); `done` gets, on the event thread, true when every
    // statement ran and false when one failed. Every queued deletion gets
    // its answer, whatever happens to the runs around it.
    void DelHistoryRecord(THistoryKind kind, bool Auto, std::function<void(bool)> done = {});

    // Nothing queued or deleting.
    bool Idle() const { return jobs_.empty(); }

    // The last automatic run that has ended; nothing before the first. Any thread.
    std::optional<TRetentionRun> LastRun() const;

    QTimer timCheckDelData;

signals:
    // A registration clean-up failed; the text says why.
    void RegisterOverdueDeleteFailed(const QString &text);
    // A timer run or a manual deletion has finished.
    void Finished();

private:
    struct RegisterJob {};
    struct HistoryJob {
        THistoryKind kind;
        bool Auto;
        // Part of a timer run (dropped with it when its clean-up fails).
        bool timerRun;
        std::function<void(bool)> done;
        std::optional<THistoryDeletion> plan;
        bool planned = false;
    };
    using Job = std::variant<RegisterJob, HistoryJob>;
    // What one step on the worker came back with: rows deleted (or planned),
    // or the error text.
    struct StepResult {
        bool ok = true;
        int rows = 0;
        std::optional<THistoryDeletion> plan;
        QString error;
    };

    void Queue(Job job);
    void Step();
    void StepDone(const StepResult &result);
    StepResult RunStep(const Job &job) const;
    void FinishHistoryJob(bool ok);
    // Records the timer run once none of its steps is left.
    void CloseRunIfDone();

    TdmNet &db_;
    TCommInfoHint log_;
    Settings settings_;
    std::deque<Job> jobs_;
    bool stepRunning_ = false;
    std::optional<TRetentionRun> run_; // the timer run under way
    mutable std::mutex lastRunLock_;
    std::optional<TRetentionRun> lastRun_;
    QThread thread_;
    QObject *worker_ = nullptr; // lives on thread_, deleted when it ends
};
