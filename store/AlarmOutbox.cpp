#include "AlarmOutbox.h"

#include "SchemaInstaller.h"

#include <QFile>

QString AlarmOutboxScript(quint8 dataBaseType) {
    const char *kind = dataBaseType == 1   ? "sqlite"
                       : dataBaseType == 2 ? "sqlserver"
                       : dataBaseType == 3 ? "postgresql"
                                           : nullptr;
    if (!kind)
        return {};
    QFile f(QStringLiteral(":/db/%1/alarm-outbox.sql").arg(QLatin1String(kind)));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

bool TAlarmOutbox::EnsureTables() {
    try {
        db_.Select(QStringLiteral("select count(*) from AlarmQueue where 1=0"));
        return false;
    } catch (const DbUnavailable &) {
        throw;
    } catch (const DbError &) {
        // Missing: made below.
    }
    const QString script = AlarmOutboxScript(db_.DataBaseType());
    if (script.isEmpty())
        throw DbError("no alarm outbox script for this database kind");
    TdmNet::Transaction tx(db_);
    for (const QString &statement : SplitSqlScript(script))
        tx.Exec(statement);
    tx.Commit();
    return true;
}

void TAlarmOutbox::Queue(const std::vector<TAlarmQueueRow> &rows) {
    if (rows.empty())
        return;
    TdmNet::Transaction tx(db_);
    for (const TAlarmQueueRow &r : rows)
        tx.Exec(QStringLiteral(
                    "insert into AlarmQueue (EquipmentCode, DataBody, AlertTime) values (?, ?, ?)"),
                {r.EquipmentCode, r.DataBody, r.AlertTime});
    tx.Commit();
}

std::optional<TAlarmQueueRow> TAlarmOutbox::First() {
    const auto rows = db_.Select(
        QStringLiteral("select QueueId, EquipmentCode, DataBody, AlertTime from AlarmQueue "
                       "where QueueId = (select min(QueueId) from AlarmQueue)"));
    if (rows.empty())
        return std::nullopt;
    const QSqlRecord &r = rows.front();
    return TAlarmQueueRow{r.value(0).toLongLong(), r.value(1).toString(), r.value(2).toString(),
                          r.value(3).toString()};
}

void TAlarmOutbox::Drop(qint64 queueId) {
    db_.Exec(QStringLiteral("delete from AlarmQueue where QueueId=?"), {queueId});
}

namespace {

void ReplaceAnalysisRow(TdmNet::Session &s, const TAlarmAnalysisRow &r) {
    s.Exec(QStringLiteral("delete from AlarmAnalysis where EquipmentCode=? and ParamCode=?"),
           {r.EquipmentCode, r.ParamCode});
    s.Exec(QStringLiteral("insert into AlarmAnalysis (EquipmentCode, ParamCode, UnitPosition, "
                          "ParamPosition, ParameterName, PriorStatus, LastStatus, AlertTime, "
                          "EmailStatus, SumTime) values (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
           {r.EquipmentCode, r.ParamCode, r.UnitPosition, r.ParamPosition, r.ParameterName,
            r.PriorStatus, r.LastStatus, r.AlertTime, r.EmailStatus, r.SumTime});
}

} // namespace

void TAlarmOutbox::SaveAnalysed(qint64 queueId, const QString &EquipmentCode,
                                const std::vector<TAlarmAnalysisRow> &rows) {
    TdmNet::Transaction tx(db_);
    if (queueId > 0)
        tx.Exec(QStringLiteral("delete from AlarmQueue where QueueId=?"), {queueId});
    tx.Exec(QStringLiteral("delete from AlarmAnalysis where EquipmentCode=?"), {EquipmentCode});
    for (const TAlarmAnalysisRow &r : rows)
        ReplaceAnalysisRow(tx, r);
    tx.Commit();
}

void TAlarmOutbox::SaveChanges(const std::vector<TAlarmAnalysisRow> &rows,
                               const std::vector<TAlarmMailLineRow> &lines) {
    if (rows.empty() && lines.empty())
        return;
    TdmNet::Transaction tx(db_);
    for (const TAlarmAnalysisRow &r : rows)
        ReplaceAnalysisRow(tx, r);
    for (const TAlarmMailLineRow &l : lines)
        tx.Exec(QStringLiteral("insert into AlarmMailLine (EquipmentCode, ParameterName, "
                               "ParameterStatus, AlertTime) values (?, ?, ?, ?)"),
                {l.EquipmentCode, l.ParameterName, l.ParameterStatus, l.AlertTime});
    tx.Commit();
}

std::vector<TAlarmAnalysisRow> TAlarmOutbox::Analysis() {
    std::vector<TAlarmAnalysisRow> out;
    for (const QSqlRecord &r : db_.Select(QStringLiteral(
             "select EquipmentCode, ParamCode, UnitPosition, ParamPosition, ParameterName, "
             "PriorStatus, LastStatus, AlertTime, EmailStatus, SumTime from AlarmAnalysis "
             "order by UnitPosition, ParamPosition")))
        out.push_back({r.value(0).toString(), r.value(1).toString(), r.value(2).toInt(),
                       r.value(3).toInt(), r.value(4).toString(), r.value(5).toString(),
                       r.value(6).toString(), r.value(7).toString(), r.value(8).toString(),
                       r.value(9).toInt()});
    return out;
}

std::vector<TAlarmMailLineRow> TAlarmOutbox::MailLines() {
    std::vector<TAlarmMailLineRow> out;
    for (const QSqlRecord &r :
         db_.Select(QStringLiteral("select LineId, EquipmentCode, ParameterName, ParameterStatus, "
                                   "AlertTime from AlarmMailLine order by LineId")))
        out.push_back({r.value(0).toLongLong(), r.value(1).toString(), r.value(2).toString(),
                       r.value(3).toString(), r.value(4).toString()});
    return out;
}

qint64 TAlarmOutbox::MailedUpTo(const QString &UserName) {
    const auto rows = db_.Select(
        QStringLiteral("select LastLineId from AlarmMailProgress where UserName=?"), {UserName});
    return rows.empty() ? 0 : rows.front().value(0).toLongLong();
}

void TAlarmOutbox::SetMailedUpTo(const QString &UserName, qint64 LineId) {
    TdmNet::Transaction tx(db_);
    tx.Exec(QStringLiteral("delete from AlarmMailProgress where UserName=?"), {UserName});
    tx.Exec(QStringLiteral("insert into AlarmMailProgress (UserName, LastLineId) values (?, ?)"),
            {UserName, LineId});
    tx.Commit();
}

void TAlarmOutbox::FinishMailing(qint64 LineId) {
    TdmNet::Transaction tx(db_);
    tx.Exec(QStringLiteral("delete from AlarmMailLine where LineId<=?"), {LineId});
    tx.Exec(QStringLiteral("delete from AlarmMailProgress"));
    tx.Commit();
}

void TAlarmOutbox::Clear(bool mail) {
    TdmNet::Transaction tx(db_);
    tx.Exec(QStringLiteral("delete from AlarmAnalysis"));
    if (mail) {
        tx.Exec(QStringLiteral("delete from AlarmMailLine"));
        tx.Exec(QStringLiteral("delete from AlarmMailProgress"));
    }
    tx.Commit();
}
