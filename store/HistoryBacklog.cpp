#include "HistoryBacklog.h"

#include "PublicU.h"

#include <cstdio>

namespace {

// What a queued row costs in memory: its texts (two bytes a character) and
// a fixed share for the row, its date-times and the queue.
std::size_t RowBytes(const THistoryRow &row) {
    constexpr std::size_t fixed = 160;
    const auto text = [](const QString &s) { return std::size_t(s.size()) * 2; };
    if (const auto *a = std::get_if<TAlarmHistoryRow>(&row))
        return fixed + text(a->EquipmentCode) + text(a->DataBody);
    const auto &q = std::get<TQueryHistoryRow>(row);
    return fixed + text(q.EquipmentName) + text(q.EquipmentCode) + text(q.OperateFlag) +
           text(q.QueryMode) + text(q.DataBody);
}

QString RowText(const THistoryRow &row) {
    if (const auto *a = std::get_if<TAlarmHistoryRow>(&row))
        return QStringLiteral("AlarmHistory (EquipmentCode:") + a->EquipmentCode + u')';
    return QStringLiteral("QueryHistory (EquipmentCode:") +
           std::get<TQueryHistoryRow>(row).EquipmentCode + u')';
}

} // namespace

THistoryBacklog::THistoryBacklog(TdmNet &db, THint hint, TLimits limits)
    : db_(db), hint_(std::move(hint)), limits_(limits) {}

void THistoryBacklog::Hint(const QString &text, quint32 colour) const {
    // Everything the backlog tells of is a row that failed or was lost.
    if (hint_)
        hint_(LogEvent(TLogKind::Error, TLogPane::Events, text, colour));
}

void THistoryBacklog::Save(THistoryRow row) {
    if (!rows_.empty() || !db_.IsUp()) {
        Queue(std::move(row));
        return;
    }
    try {
        THistoryTables(db_).Insert(row);
    } catch (const DbUnavailable &) {
        Queue(std::move(row));
    }
}

void THistoryBacklog::Queue(THistoryRow row) {
    bytes_ += RowBytes(row);
    rows_.push_back(std::move(row));
    while (rows_.size() > 1 && (rows_.size() > limits_.rows || bytes_ > limits_.bytes)) {
        bytes_ -= RowBytes(rows_.front());
        rows_.pop_front();
        ++dropped_;
    }
}

std::size_t THistoryBacklog::Flush(std::size_t maxRows) {
    std::size_t written = 0;
    while (!rows_.empty() && written < maxRows && db_.IsUp()) {
        try {
            THistoryTables(db_).Insert(rows_.front());
            ++written;
        } catch (const DbUnavailable &) {
            break;
        } catch (const DbError &e) {
            Hint(QStringLiteral("Save history ") + RowText(rows_.front()) +
                     QStringLiteral(" failed: ") + QString::fromStdString(e.what()),
                 clRed);
        }
        bytes_ -= RowBytes(rows_.front());
        rows_.pop_front();
    }
    if (rows_.empty() && dropped_ > 0) {
        Hint(QStringLiteral("%1 history rows were lost: more than %2 rows or %3 MiB waited for "
                            "the database, and the oldest were dropped")
                 .arg(dropped_)
                 .arg(limits_.rows)
                 .arg(limits_.bytes >> 20),
             clRed);
        dropped_ = 0;
    }
    return written;
}

void THistoryBacklog::ReportLeft() {
    if (rows_.empty() && dropped_ == 0)
        return;
    const QString text =
        QStringLiteral(
            "%1 history rows were not written: the database is unavailable or its disk is full")
            .arg(rows_.size() + dropped_);
    Hint(text, clRed);
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}
