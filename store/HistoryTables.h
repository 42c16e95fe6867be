// The two history tables: QueryHistory (answered query and set requests) and
// AlarmHistory (reports that units sent of their own accord).
#pragma once

#include "NetD.h"

#include <QDateTime>

#include <variant>
#include <vector>

struct TAlarmHistoryRow {
    QString EquipmentCode;
    QString DataBody;
    QDateTime AlarmTime;
};

struct TQueryHistoryRow {
    QString EquipmentName;
    QString EquipmentCode;
    QString OperateFlag;
    QString QueryMode;
    QString DataBody;
    QDateTime QueryTime;
    QDateTime ReturnTime;
};

using THistoryRow = std::variant<TAlarmHistoryRow, TQueryHistoryRow>;

// Which rows a history read returns: one unit's (all units' when the code is
// empty) with a time in [from, to), the newest first, at most `limit`.
struct THistoryRange {
    QString EquipmentCode;
    QDateTime from;
    QDateTime to;
    int limit = 1000;
};

class THistoryTables {
public:
    explicit THistoryTables(TdmNet &db) : db_(db) {}

    // Appends one row each; date-times are bound in the database kind's form.
    // Throws DbError.
    void InsertAlarm(const QString &EquipmentCode, const QString &DataBody,
                     const QDateTime &AlarmTime);
    void InsertQuery(const TQueryHistoryRow &row);
    // Appends the alarm rows in one transaction: all are committed or none.
    // Throws DbUnavailable while the database cannot take them, DbError when
    // it refuses one of them.
    void InsertAlarms(const std::vector<TAlarmHistoryRow> &rows);
    // Appends the row to its table. Throws DbError.
    void Insert(const THistoryRow &row);

    // Reads rows by unit and time (AlarmTime, QueryTime: the columns with an index),
    // newest first. Throws DbError.
    std::vector<TAlarmHistoryRow> Alarms(const THistoryRange &range);
    std::vector<TQueryHistoryRow> Queries(const THistoryRange &range);

private:
    TdmNet &db_;
};
