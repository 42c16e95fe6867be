// The assignment of equipment units to accounts, UserEquipment (UserName,
// EquipmentCode, EquipmentName, EquipmentType). A unit may have several owners,
// each with a name of their own for it.
#pragma once

#include "NetD.h"

struct TOwnedUnit {
    QString UserName;
    QString EquipmentCode;
    QString EquipmentName;
};

class TUserEquipmentTable {
public:
    explicit TUserEquipmentTable(TdmNet &db) : db_(db) {}

    // The owners of a unit with their names for it, in table order. Throws DbError.
    std::vector<TOwnedUnit> OwnersOf(const QString &EquipmentCode);
    // A user's units, in table order. Throws DbError.
    std::vector<TOwnedUnit> UnitsOf(const QString &UserName);
    // Registration of a unit that heartbeats: true when it has an owner. The
    // rows whose type differs from the reported one get it, in the same
    // transaction as the look-up. Throws DbError.
    bool RegisterUnit(const QString &EquipmentCode, const QString &EquipmentType);
    // Deletes every assignment of that user. Throws DbError.
    void DeleteUser(const QString &UserName);

private:
    TdmNet &db_;
};
