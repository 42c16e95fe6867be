// History retention and the clean-up of registrations without equipment: the
// statements behind the automatic deletion timer and the manual deletion
// buttons of the parameter settings window.
//
// A history deletion is planned once (the retention setting is read and the
// cutoff time fixed) and then carried out in batches, so that a run over a
// large table never holds the data module lock for long. The cutoff is an
// index-friendly "time column < cutoff" that selects exactly the rows whose
// calendar-day distance to now exceeds the kept days (the hour distance of a
// registration reaches the kept hours), counted on the local wall clock.
#pragma once

#include "NetD.h"

#include <QDateTime>

#include <functional>
#include <optional>

// One planned history deletion.
struct THistoryDeletion {
    QString table;
    QString column;
    // Rows whose time column is earlier go; nothing: every row goes.
    std::optional<QDateTime> before;
};

// Which history table a deletion is about.
enum class THistoryKind { Query, Alarm };

class TRetention {
public:
    // The local wall-clock time of a run. Empty: the database's own clock.
    using Clock = std::function<QDateTime()>;

    static constexpr int DefaultSaveDays = 30;

    explicit TRetention(TdmNet &db, Clock clock = {}) : db_(db), clock_(std::move(clock)) {}

    // Deletes every account that is not a super user (UseState 6), that no
    // UserEquipment and no RecycleUserEquipment row names, and whose
    // RegisterTime lies at least `hours` hour boundaries back. Returns the
    // number of accounts deleted. Throws DbError.
    int RegisterOverdueDelete(int hours);

    // Plans DelQueryHistoryRecord / DelAlarmHistoryRecord: with Auto the rows
    // older than the days of the first "HistoryQuerySaveDay" /
    // "HistoryAlarmSaveDay" row of NormalParam (30 without a row), without
    // Auto every row. Nothing when the setting is not a decimal integer or
    // cannot be read (the setting is read even without Auto).
    std::optional<THistoryDeletion> Plan(THistoryKind kind, bool Auto);
    // Deletes at most `limit` rows of the plan; returns how many went.
    // Throws DbError.
    int DeleteBatch(const THistoryDeletion &plan, int limit);

    // A whole deletion, batch after batch without a pause: true when every
    // statement ran.
    bool DelQueryHistoryRecord(bool Auto, int batchRows = 1000);
    bool DelAlarmHistoryRecord(bool Auto, int batchRows = 1000);

    // Creates the time-column indexes of the two history tables when a
    // database made by an older schema lacks them. Throws DbError.
    void EnsureHistoryIndexes();

    // "Now" of a run: the clock's, or the database's local time. Throws DbError.
    QDateTime Now();

    // The cutoffs: midnight starting the day `days` before now's day; the
    // start of the hour `hours` - 1 hour boundaries before now's hour
    // (wall-clock arithmetic, as the databases count).
    static QDateTime DaysCutoff(const QDateTime &now, int days);
    static QDateTime HoursCutoff(const QDateTime &now, int hours);

private:
    bool DeleteAll(THistoryKind kind, bool Auto, int batchRows);

    TdmNet &db_;
    Clock clock_;
};
