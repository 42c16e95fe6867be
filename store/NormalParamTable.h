// The settings table NormalParam (SetItem, SetValue): read at start-up, written
// by the counters at exit and by the parameter settings window.
#pragma once

#include "NetD.h"

#include <optional>

class TNormalParamTable {
public:
    explicit TNormalParamTable(TdmNet &db) : db_(db) {}

    // Every row in table order (SetItem, SetValue). Throws DbError.
    SettingItems ReadAll();
    // Each row whose SetItem is one of the keys gets the new value; keys met
    // in no row are appended when appendMissing is set. One transaction: on a
    // failure no value has changed. Throws DbError.
    void Update(const SettingItems &items, bool appendMissing = true);
    // The value of the first row with that key (exact case). Throws DbError.
    std::optional<QString> Lookup(const QString &key);

private:
    TdmNet &db_;
};
