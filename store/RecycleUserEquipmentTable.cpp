#include "RecycleUserEquipmentTable.h"

void TRecycleUserEquipmentTable::DeleteUser(const QString &UserName) {
    db_.Exec(QStringLiteral("delete from RecycleUserEquipment where UserName=?"), {UserName});
}
