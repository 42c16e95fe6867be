#include "UserEquipmentTable.h"

namespace {

std::vector<TOwnedUnit> ReadUnits(const std::vector<QSqlRecord> &rows) {
    std::vector<TOwnedUnit> units;
    units.reserve(rows.size());
    for (const QSqlRecord &r : rows)
        units.push_back({r.value(QStringLiteral("UserName")).toString(),
                         r.value(QStringLiteral("EquipmentCode")).toString(),
                         r.value(QStringLiteral("EquipmentName")).toString()});
    return units;
}

} // namespace

std::vector<TOwnedUnit> TUserEquipmentTable::OwnersOf(const QString &EquipmentCode) {
    return ReadUnits(db_.Select(QStringLiteral("select * from UserEquipment where EquipmentCode=?"),
                                {EquipmentCode}));
}

std::vector<TOwnedUnit> TUserEquipmentTable::UnitsOf(const QString &UserName) {
    return ReadUnits(
        db_.Select(QStringLiteral("select * from UserEquipment where UserName=?"), {UserName}));
}

bool TUserEquipmentTable::RegisterUnit(const QString &EquipmentCode, const QString &EquipmentType) {
    TdmNet::Transaction tx(db_);
    const std::vector<QSqlRecord> rows = tx.Select(
        QStringLiteral("select * from UserEquipment where EquipmentCode=?"), {EquipmentCode});
    bool typeDiffers = false;
    for (const QSqlRecord &row : rows)
        if (row.value(QStringLiteral("EquipmentType")).toString() != EquipmentType)
            typeDiffers = true;
    if (typeDiffers)
        tx.Exec(QStringLiteral("update UserEquipment set EquipmentType=? where EquipmentCode=? "
                               "and (EquipmentType is null or EquipmentType<>?)"),
                {EquipmentType, EquipmentCode, EquipmentType});
    tx.Commit();
    return !rows.empty();
}

void TUserEquipmentTable::DeleteUser(const QString &UserName) {
    db_.Exec(QStringLiteral("delete from UserEquipment where UserName=?"), {UserName});
}

std::vector<TUnitAssignment> TUserEquipmentTable::AllRows() {
    std::vector<TUnitAssignment> rows;
    TdmNet::Session session(db_);
    QSqlQuery q = session.Query(QStringLiteral(
        "select UserName, EquipmentCode, EquipmentName, EquipmentType from UserEquipment "
        "order by EquipmentCode"));
    while (q.next())
        rows.push_back({q.value(0).toString(), q.value(1).toString(), q.value(2).toString(),
                        q.value(3).toString()});
    return rows;
}

bool TUserEquipmentTable::Assign(const TUnitAssignment &row) {
    TdmNet::Transaction tx(db_);
    const std::vector<QSqlRecord> existing =
        tx.Select(QStringLiteral("select EquipmentCode from UserEquipment where UserName=? and "
                                 "EquipmentCode=?"),
                  {row.UserName, row.EquipmentCode});
    if (!existing.empty())
        return false;
    tx.Exec(QStringLiteral("insert into UserEquipment (UserName, EquipmentCode, EquipmentName, "
                           "EquipmentType) values (?, ?, ?, ?)"),
            {row.UserName, row.EquipmentCode, row.EquipmentName, row.EquipmentType});
    tx.Commit();
    return true;
}

int TUserEquipmentTable::Unassign(const QString &UserName, const QString &EquipmentCode) {
    return db_.Exec(
        QStringLiteral("delete from UserEquipment where UserName=? and EquipmentCode=?"),
        {UserName, EquipmentCode});
}
