// The parameter lists that units sent in pages, ParamList (EquipmentCode, ListStr).
#pragma once

#include "NetD.h"

class TParamListTable {
public:
    explicit TParamListTable(TdmNet &db) : db_(db) {}

    // Stores one page of a unit's parameter list. Page 1 replaces the stored
    // list (or adds the unit's row); a later page is appended to it, and
    // ListContentStr becomes the whole list so far. A later page for a unit
    // without a row is not stored. Every row with that code is written, since
    // the table has no unique key. One transaction. Throws DbError.
    void StorePage(const QString &EquipmentCode, int QueryNum, QString &ListContentStr);
    // The stored list of the unit (its first row); empty without one. Throws DbError.
    QString ListOf(const QString &EquipmentCode);

private:
    TdmNet &db_;
};
