#include "ParamListTable.h"

void TParamListTable::StorePage(const QString &EquipmentCode, int QueryNum,
                                QString &ListContentStr) {
    TdmNet::Transaction tx(db_);
    const std::vector<QSqlRecord> rows = tx.Select(
        QStringLiteral("select ListStr from ParamList where EquipmentCode=?"), {EquipmentCode});
    QString whole = ListContentStr;
    if (!rows.empty()) {
        if (QueryNum > 1)
            whole = rows.front().value(QStringLiteral("ListStr")).toString() + ListContentStr;
        tx.Exec(QStringLiteral("update ParamList set ListStr=? where EquipmentCode=?"),
                {whole, EquipmentCode});
    } else if (QueryNum == 1) {
        tx.Exec(QStringLiteral("insert into ParamList (EquipmentCode, ListStr) values (?, ?)"),
                {EquipmentCode, whole});
    }
    tx.Commit();
    ListContentStr = whole;
}

QString TParamListTable::ListOf(const QString &EquipmentCode) {
    const std::vector<QSqlRecord> rows = db_.Select(
        QStringLiteral("select ListStr from ParamList where EquipmentCode=?"), {EquipmentCode});
    return rows.empty() ? QString() : rows.front().value(0).toString();
}
