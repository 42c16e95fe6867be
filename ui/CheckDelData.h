// The automatic deletion of expired history and of registrations without
// equipment, once a minute from its creation, and the manual deletion of a
// whole history table. History rows go in batches, each one its own turn of
// the event loop, so that a large deletion neither holds the event thread nor
// the data module lock for long; the links keep being served in between.
#pragma once

#include "PublicU.h"
#include "Retention.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <deque>
#include <functional>

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

    // One automatic run (the timer's event): the registration clean-up, then
    // the expired rows of QueryHistory, then of AlarmHistory. A failed
    // clean-up ends the run. A run still deleting when the next one is due
    // lets that one pass.
    void timCheckDelDataTimer();

    // Queues a deletion of one history table (Auto: the expired rows, else
    // every row); `done` gets true when every statement ran.
    void DelHistoryRecord(THistoryKind kind, bool Auto, std::function<void(bool)> done = {});

    // Nothing queued or deleting.
    bool Idle() const { return jobs_.empty(); }

    QTimer timCheckDelData;

signals:
    // A registration clean-up failed; the text says why.
    void RegisterOverdueDeleteFailed(const QString &text);
    // A timer run or a manual deletion has finished.
    void Finished();

private:
    struct Job {
        THistoryKind kind;
        bool Auto;
        std::function<void(bool)> done;
        std::optional<THistoryDeletion> plan;
        bool planned = false;
    };
    void Step();
    void FinishJob(bool ok);

    TdmNet &db_;
    TCommInfoHint log_;
    Settings settings_;
    std::deque<Job> jobs_;
    bool stepQueued_ = false;
};
