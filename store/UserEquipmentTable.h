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

// One whole row of the table.
struct TUnitAssignment {
    QString UserName;
    QString EquipmentCode;
    QString EquipmentName;
    QString EquipmentType;
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

    // Every row, ordered by unit code (then table order). Throws DbError.
    std::vector<TUnitAssignment> AllRows();
    // Assigns the unit to the user under that name and type; false (nothing
    // written) when the user has it already. One transaction. Throws DbError.
    bool Assign(const TUnitAssignment &row);
    // Removes the unit from the user; the number of rows removed. Throws DbError.
    int Unassign(const QString &UserName, const QString &EquipmentCode);

private:
    TdmNet &db_;
};
