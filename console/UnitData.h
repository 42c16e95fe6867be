// What a view shows of one unit's data, decoded through the dictionaries:
// the items of a history row (name, value, unit, and the number a chart can
// draw), the history rows of a time range with one series per numeric
// parameter, and the unit's parameter list. Pure functions of their input
// and of the dictionaries (loaded once at start-up): any thread.
#pragma once

#include "HistoryTables.h"

#include <QDateTime>
#include <QString>

#include <optional>
#include <vector>

// One data item.
struct TDecodedItem {
    QString ParamCode; // four hex digits, high byte first
    QString Name;      // dictionary name; empty when the code is unknown
    QString Value;     // the value as shown (the raw hex when the code is unknown)
    QString Unit;      // unit name; empty when none
    // The value as a number, for parameters of a numeric type whose value
    // reads as one.
    std::optional<double> Number;
};

// The items of a data body (a history row's DataBody), as many as decode.
std::vector<TDecodedItem> DecodeItems(const QString &DataBody);

// One history row of a unit.
struct TUnitHistoryEntry {
    enum class Kind { Report, Query, Set };
    Kind kind = Kind::Report;
    QString EquipmentCode;
    QString EquipmentName; // as the requesting account named it (answers only)
    QString QueryMode;     // "General" or "Poll" (answers only)
    QDateTime time;        // AlarmTime, or the request's QueryTime
    QDateTime returnTime;  // when the answer came (answers only)
    std::vector<TDecodedItem> items;
};

// The points of one numeric parameter, oldest first.
struct TUnitSeries {
    QString ParamCode;
    QString Name;
    QString Unit;
    std::vector<std::pair<QDateTime, double>> points;
};

struct TUnitHistory {
    QString error;
    std::vector<TUnitHistoryEntry> entries; // newest first
    std::vector<TUnitSeries> series;        // ordered by parameter code
    bool truncated = false;                 // the limit cut the rows short
};

// Decodes history rows (each list newest first, as read) into one list,
// newest first, and the series of every numeric parameter.
TUnitHistory DecodeHistory(const std::vector<TQueryHistoryRow> &queries,
                           const std::vector<TAlarmHistoryRow> &alarms);

// One parameter of a unit's parameter list.
struct TUnitParam {
    QString ParamCode;
    QString Name;
    QString Unit;
    QString TypeHint; // what values of its type look like
    bool settable = false;
};

// A unit's stored list (ParamList.ListStr: two bytes per parameter code, low
// byte first), decoded; codes the dictionary does not know have no name.
std::vector<TUnitParam> DecodeParamList(const QString &ListStr);
