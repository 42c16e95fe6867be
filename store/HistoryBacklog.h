// History rows waiting for the database. A row that cannot be written
// because the database is unavailable is kept here, and every later row
// queues behind it, so that rows reach their tables in the order they came
// once the database takes them again (a full disk counts as unavailable
// here: the rows wait for room). The queue is bounded in rows and in
// memory; past either bound the oldest rows go, counted in one red line when
// the queue has been written out.
//
// Threading: used by one thread (the reply worker).
#pragma once

#include "HistoryTables.h"
#include "LogEvent.h"

#include <cstddef>
#include <deque>
#include <functional>

struct THistoryBacklogLimits {
    std::size_t rows = 100000;
    std::size_t bytes = 64u << 20;
};

class THistoryBacklog {
public:
    using TLimits = THistoryBacklogLimits;
    using THint = TCommInfoHint;

    THistoryBacklog(TdmNet &db, THint hint, TLimits limits = {});

    // Writes the row now when none waits before it and the database takes
    // it; queues it when the database is unavailable. Throws DbError for a row
    // the database refuses for itself (it is not kept).
    void Save(THistoryRow row);
    // Writes waiting rows in order, at most maxRows, until the database is
    // unavailable again. A row the database refuses for itself is dropped
    // with a red line. Returns the number of rows written.
    std::size_t Flush(std::size_t maxRows);
    // Counts what is left unwritten (the process is ending) in a red line and
    // on standard error, which outlives the operator's log and is read
    // whatever the log switch says.
    void ReportLeft();

    std::size_t Size() const { return rows_.size(); }
    std::size_t Bytes() const { return bytes_; }
    std::size_t Dropped() const { return dropped_; }
    TdmNet &Db() const { return db_; }

private:
    void Queue(THistoryRow row);
    void Hint(const QString &text, quint32 colour) const;

    TdmNet &db_;
    THint hint_;
    TLimits limits_;
    std::deque<THistoryRow> rows_;
    std::size_t bytes_ = 0;
    std::size_t dropped_ = 0; // oldest rows dropped since the queue was last empty
};
