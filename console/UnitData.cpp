#include "UnitData.h"

#include "PackRecord.h"
#include "PackResolveModel.h"
#include "ParamDictionary.h"

#include <QMap>

#include <algorithm>

namespace {

// The parts of a parameter's dictionary entry that a view shows.
struct TParamInfo {
    int type = -1;
    QString unit;
    bool settable = false;
};

std::optional<TParamInfo> InfoOf(const QString &ParamCode) {
    const QString entry = GetParamProperty(ParamCode);
    if (entry.size() < 6)
        return std::nullopt;
    bool ok = false;
    TParamInfo info;
    info.type = entry.first(2).toInt(&ok, 16);
    if (!ok)
        info.type = -1;
    const QString unitCode = entry.mid(2, 2);
    if (unitCode != QLatin1String("00"))
        info.unit = GetUnit(unitCode);
    info.settable = entry.mid(4, 2) == QLatin1String("01");
    return info;
}

// Types whose shown value is a number: signed and unsigned integers of
// every width, channels, and floats.
bool NumericType(int type) {
    switch (type) {
    case 0x11:
    case 0x12:
    case 0x14:
    case 0x16:
    case 0x17:
    case 0x18:
    case 0x19:
    case 0x27:
    case 0x41:
    case 0x42:
    case 0x71:
        return true;
    default:
        return false;
    }
}

} // namespace

std::vector<TDecodedItem> DecodeItems(const QString &DataBody) {
    std::vector<TDecodedItem> items;
    TCommPackList list;
    try {
        list = ResolveCommPack(DataBody);
    } catch (const std::exception &) {
        return items;
    }
    for (const TCommPackInfo &info : list) {
        const TCommPackRecord &b = info.Body;
        TDecodedItem item{b.ParamCode, b.Name, b.DestContent.trimmed(), {}, std::nullopt};
        if (const std::optional<TParamInfo> param = InfoOf(b.ParamCode)) {
            item.Unit = param->unit;
            bool ok = false;
            const double number = item.Value.toDouble(&ok);
            if (NumericType(param->type) && ok)
                item.Number = number;
        }
        items.push_back(std::move(item));
    }
    return items;
}

TUnitHistory DecodeHistory(const std::vector<TQueryHistoryRow> &queries,
                           const std::vector<TAlarmHistoryRow> &alarms) {
    TUnitHistory history;
    history.entries.reserve(queries.size() + alarms.size());
    for (const TQueryHistoryRow &q : queries) {
        TUnitHistoryEntry e;
        e.kind = q.OperateFlag == QLatin1String("03") ? TUnitHistoryEntry::Kind::Set
                                                      : TUnitHistoryEntry::Kind::Query;
        e.EquipmentCode = q.EquipmentCode;
        e.EquipmentName = q.EquipmentName;
        e.QueryMode = q.QueryMode;
        e.time = q.QueryTime;
        e.returnTime = q.ReturnTime;
        e.items = DecodeItems(q.DataBody);
        history.entries.push_back(std::move(e));
    }
    for (const TAlarmHistoryRow &a : alarms) {
        TUnitHistoryEntry e;
        e.kind = TUnitHistoryEntry::Kind::Report;
        e.EquipmentCode = a.EquipmentCode;
        e.time = a.AlarmTime;
        e.items = DecodeItems(a.DataBody);
        history.entries.push_back(std::move(e));
    }
    std::stable_sort(history.entries.begin(), history.entries.end(),
                     [](const auto &a, const auto &b) { return a.time > b.time; });

    QMap<QString, TUnitSeries> series;
    // Oldest first: the entries are walked backwards.
    for (auto it = history.entries.rbegin(); it != history.entries.rend(); ++it)
        for (const TDecodedItem &item : it->items) {
            if (!item.Number)
                continue;
            TUnitSeries &s = series[item.ParamCode];
            if (s.ParamCode.isEmpty())
                s = {item.ParamCode, item.Name, item.Unit, {}};
            s.points.emplace_back(it->time, *item.Number);
        }
    for (TUnitSeries &s : series)
        history.series.push_back(std::move(s));
    return history;
}

std::vector<TUnitParam> DecodeParamList(const QString &ListStr) {
    std::vector<TUnitParam> params;
    const QString list = ListStr.trimmed();
    for (qsizetype i = 0; i + 4 <= list.size(); i += 4) {
        // Two bytes on the wire, low byte first.
        const QString code = (list.mid(i + 2, 2) + list.mid(i, 2)).toUpper();
        bool ok = false;
        code.toInt(&ok, 16);
        if (!ok)
            break;
        TUnitParam p;
        p.ParamCode = code;
        if (const std::optional<TParamInfo> info = InfoOf(code)) {
            p.Name = EntryDisplayName(GetParamProperty(code));
            p.Unit = info->unit;
            p.TypeHint = ParamTypeHint(info->type, code);
            p.settable = info->settable;
        }
        params.push_back(std::move(p));
    }
    return params;
}
