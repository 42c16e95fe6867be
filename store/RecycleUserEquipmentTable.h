// RecycleUserEquipment: the assignments set aside when a unit was taken away
// from its owners (UserName, EquipmentCode, EquipmentName, EquipmentType).
#pragma once

#include "NetD.h"

class TRecycleUserEquipmentTable {
public:
    explicit TRecycleUserEquipmentTable(TdmNet &db) : db_(db) {}

    // Deletes every row of that user. Throws DbError.
    void DeleteUser(const QString &UserName);

private:
    TdmNet &db_;
};
