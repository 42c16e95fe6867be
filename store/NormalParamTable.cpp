#include "NormalParamTable.h"

namespace {

SettingItems ReadRows(TdmNet::Session &session) {
    SettingItems items;
    for (const QSqlRecord &r : session.Select(QStringLiteral("select * from NormalParam")))
        items.emplace_back(r.value(QStringLiteral("SetItem")).toString(),
                           r.value(QStringLiteral("SetValue")).toString());
    return items;
}

} // namespace

SettingItems TNormalParamTable::ReadAll() {
    TdmNet::Session session(db_);
    return ReadRows(session);
}

void TNormalParamTable::Update(const SettingItems &items, bool appendMissing) {
    TdmNet::Transaction tx(db_);
    // Walk the rows once and remember which keys were met; rows are addressed
    // by key because NormalParam has no row id.
    std::vector<bool> found(items.size(), false);
    for (const auto &[item, value] : ReadRows(tx)) {
        for (std::size_t i = 0; i < items.size(); ++i)
            if (item == items[i].first)
                found[i] = true;
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (found[i])
            tx.Exec(QStringLiteral("update NormalParam set SetValue=? where SetItem=?"),
                    {items[i].second, items[i].first});
        else if (appendMissing)
            tx.Exec(QStringLiteral("insert into NormalParam (SetItem, SetValue) values (?, ?)"),
                    {items[i].first, items[i].second});
    }
    tx.Commit();
}

std::optional<QString> TNormalParamTable::Lookup(const QString &key) {
    for (const auto &[item, value] : ReadAll())
        if (item == key)
            return value;
    return std::nullopt;
}
