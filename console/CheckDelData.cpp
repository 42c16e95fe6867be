#include "CheckDelData.h"

#include <algorithm>

#include <sys/resource.h>
#include <unistd.h>

TCheckDelData::TCheckDelData(TdmNet &db, TCommInfoHint log, Settings settings, QObject *parent)
    : QObject(parent), db_(db), log_(std::move(log)), settings_(std::move(settings)) {
    worker_ = new QObject;
    worker_->moveToThread(&thread_);
    connect(&thread_, &QThread::finished, worker_, &QObject::deleteLater);
    thread_.setObjectName(QStringLiteral("retention"));
    thread_.start();
    // Deleting can wait: the worker yields the processor to the event
    // thread and the link workers (a nicer thread, Linux per-thread nice).
    QMetaObject::invokeMethod(worker_, [] { ::setpriority(PRIO_PROCESS, ::gettid(), 10); });

    timCheckDelData.setParent(this);
    timCheckDelData.setInterval(settings_.interval);
    connect(&timCheckDelData, &QTimer::timeout, this, &TCheckDelData::timCheckDelDataTimer);
    timCheckDelData.start();
}

TCheckDelData::~TCheckDelData() {
    timCheckDelData.stop();
    // Runs after the step in progress: the worker's connection goes with it.
    QMetaObject::invokeMethod(
        worker_, [this] { db_.ReleaseThreadConnection(); }, Qt::BlockingQueuedConnection);
    thread_.quit();
    thread_.wait();
}

void TCheckDelData::timCheckDelDataTimer() {
    if (!jobs_.empty())
        return;
    run_ = TRetentionRun{QDateTime::currentDateTime(), {}, true, 0, {}};
    Queue(RegisterJob{});
    Queue(HistoryJob{THistoryKind::Query, true, true, {}, std::nullopt});
    Queue(HistoryJob{THistoryKind::Alarm, true, true, {}, std::nullopt});
}

void TCheckDelData::DelHistoryRecord(THistoryKind kind, bool Auto, std::function<void(bool)> done) {
    Queue(HistoryJob{kind, Auto, false, std::move(done), std::nullopt});
}

void TCheckDelData::Queue(Job job) {
    jobs_.push_back(std::move(job));
    Step();
}

void TCheckDelData::Step() {
    if (stepRunning_ || jobs_.empty())
        return;
    stepRunning_ = true;
    // The job is copied to the worker; the queue stays on this thread.
    QMetaObject::invokeMethod(worker_, [this, job = jobs_.front()] {
        const StepResult result = RunStep(job);
        QMetaObject::invokeMethod(this, [this, result] { StepDone(result); });
    });
}

TCheckDelData::StepResult TCheckDelData::RunStep(const Job &job) const {
    StepResult result;
    TRetention retention(db_, settings_.clock);
    try {
        if (std::holds_alternative<RegisterJob>(job)) {
            result.rows = retention.RegisterOverdueDelete(settings_.registerHours());
        } else if (const auto &history = std::get<HistoryJob>(job); !history.planned) {
            // The setting and the cutoff are fixed once per deletion.
            result.plan = retention.Plan(history.kind, history.Auto);
            result.ok = result.plan.has_value();
        } else {
            result.rows = retention.DeleteBatch(*history.plan, settings_.batchRows);
        }
    } catch (const std::exception &e) {
        result.ok = false;
        result.error = QString::fromUtf8(e.what());
    }
    return result;
}

void TCheckDelData::StepDone(const StepResult &result) {
    stepRunning_ = false;
    const bool timerStep = std::holds_alternative<RegisterJob>(jobs_.front()) ||
                           std::get<HistoryJob>(jobs_.front()).timerRun;
    if (run_ && timerStep) {
        if (result.ok) {
            run_->rowsDeleted += result.rows;
        } else {
            run_->ok = false;
            run_->error = result.error;
        }
    }
    if (std::holds_alternative<RegisterJob>(jobs_.front())) {
        jobs_.pop_front();
        if (!result.ok) {
            // The run ends here: its own history deletions are skipped, the
            // manual ones queued behind it run as asked.
            std::erase_if(jobs_, [](const Job &job) {
                const auto *history = std::get_if<HistoryJob>(&job);
                return history && history->timerRun;
            });
            const QString text =
                QStringLiteral("Delete overdue registrations fail: ") + result.error;
            if (log_)
                log_(LogEvent(TLogKind::Error, TLogPane::Events, text, clRed));
            emit RegisterOverdueDeleteFailed(text);
            CloseRunIfDone();
            if (jobs_.empty()) {
                emit Finished();
                return;
            }
        }
    } else {
        auto &history = std::get<HistoryJob>(jobs_.front());
        if (!history.planned) {
            history.planned = true;
            history.plan = result.plan;
            if (!result.ok)
                FinishHistoryJob(false);
        } else if (!result.ok) {
            FinishHistoryJob(false);
        } else if (result.rows < settings_.batchRows) {
            FinishHistoryJob(true);
        }
    }
    CloseRunIfDone();
    Step();
}

void TCheckDelData::CloseRunIfDone() {
    if (!run_)
        return;
    const bool left = std::any_of(jobs_.begin(), jobs_.end(), [](const Job &job) {
        const auto *history = std::get_if<HistoryJob>(&job);
        return !history || history->timerRun;
    });
    if (left)
        return;
    run_->finished = QDateTime::currentDateTime();
    std::lock_guard guard(lastRunLock_);
    lastRun_ = std::move(run_);
    run_.reset();
}

std::optional<TRetentionRun> TCheckDelData::LastRun() const {
    std::lock_guard guard(lastRunLock_);
    return lastRun_;
}

void TCheckDelData::FinishHistoryJob(bool ok) {
    HistoryJob job = std::move(std::get<HistoryJob>(jobs_.front()));
    jobs_.pop_front();
    CloseRunIfDone();
    if (job.done)
        job.done(ok);
    if (jobs_.empty())
        emit Finished();
}
