#include "CheckDelData.h"

TCheckDelData::TCheckDelData(TdmNet &db, TCommInfoHint log, Settings settings, QObject *parent)
    : QObject(parent), db_(db), log_(std::move(log)), settings_(std::move(settings)) {
    timCheckDelData.setParent(this);
    timCheckDelData.setInterval(settings_.interval);
    connect(&timCheckDelData, &QTimer::timeout, this, &TCheckDelData::timCheckDelDataTimer);
    timCheckDelData.start();
}

void TCheckDelData::timCheckDelDataTimer() {
    if (!jobs_.empty())
        return;
    try {
        TRetention(db_, settings_.clock).RegisterOverdueDelete(settings_.registerHours());
    } catch (const std::exception &e) {
        const QString text =
            QStringLiteral("Delete overdue registrations fail: ") + QString::fromUtf8(e.what());
        if (log_)
            log_(text, clRed);
        emit RegisterOverdueDeleteFailed(text);
        emit Finished();
        return;
    }
    DelHistoryRecord(THistoryKind::Query, true);
    DelHistoryRecord(THistoryKind::Alarm, true);
}

void TCheckDelData::DelHistoryRecord(THistoryKind kind, bool Auto, std::function<void(bool)> done) {
    jobs_.push_back({kind, Auto, std::move(done), std::nullopt});
    if (!stepQueued_) {
        stepQueued_ = true;
        QTimer::singleShot(0, this, &TCheckDelData::Step);
    }
}

void TCheckDelData::FinishJob(bool ok) {
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    if (job.done)
        job.done(ok);
    if (jobs_.empty())
        emit Finished();
}

void TCheckDelData::Step() {
    stepQueued_ = false;
    if (jobs_.empty())
        return;
    Job &job = jobs_.front();
    TRetention retention(db_, settings_.clock);
    if (!job.planned) {
        // The setting and the cutoff are fixed once per deletion.
        job.planned = true;
        job.plan = retention.Plan(job.kind, job.Auto);
        if (!job.plan)
            FinishJob(false);
    } else {
        try {
            if (retention.DeleteBatch(*job.plan, settings_.batchRows) < settings_.batchRows)
                FinishJob(true);
        } catch (const std::exception &) {
            FinishJob(false);
        }
    }
    if (!jobs_.empty() && !stepQueued_) {
        stepQueued_ = true;
        QTimer::singleShot(0, this, &TCheckDelData::Step);
    }
}
