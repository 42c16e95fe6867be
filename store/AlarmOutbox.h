// The alarm outbox: the tables that keep the alarm worker's work across a
// crash. AlarmQueue holds the reports waiting for the analysis (written in
// the transaction that stores their AlarmHistory rows), AlarmAnalysis the
// per-unit analysis state, AlarmMailLine the mail lines not yet mailed and
// AlarmMailProgress, per user, the last line his mail server accepted in the
// mailing under way.
//
// Threading: any thread, through the data module (its own lock).
#pragma once

#include "NetD.h"

#include <optional>
#include <vector>

struct TAlarmQueueRow {
    qint64 QueueId = 0; // given by the database
    QString EquipmentCode;
    QString DataBody;
    QString AlertTime;
};

struct TAlarmAnalysisRow {
    QString EquipmentCode;
    QString ParamCode;
    int UnitPosition = 0;
    int ParamPosition = 0;
    QString ParameterName;
    QString PriorStatus;
    QString LastStatus;
    QString AlertTime;
    QString EmailStatus;
    int SumTime = -1;
};

struct TAlarmMailLineRow {
    qint64 LineId = 0; // given by the database
    QString EquipmentCode;
    QString ParameterName;
    QString ParameterStatus;
    QString AlertTime;
};

class TAlarmOutbox {
public:
    explicit TAlarmOutbox(TdmNet &db) : db_(db) {}

    // Creates the four tables when the database lacks them (one made by an
    // older schema). True when they were created. Throws DbError.
    bool EnsureTables();

    // Appends reports to the queue (joins the caller's transaction, if any).
    // Throws DbError.
    void Queue(const std::vector<TAlarmQueueRow> &rows);
    // The oldest queued report, if any. Throws DbError.
    std::optional<TAlarmQueueRow> First();
    // Removes a queued report that cannot be analysed. Throws DbError.
    void Drop(qint64 queueId);

    // In one transaction: removes the analysed report from the queue (none
    // for 0) and replaces the analysis rows of the unit. Throws DbError.
    void SaveAnalysed(qint64 queueId, const QString &EquipmentCode,
                      const std::vector<TAlarmAnalysisRow> &rows);
    // In one transaction: replaces the given analysis rows and appends the
    // mail lines. Throws DbError.
    void SaveChanges(const std::vector<TAlarmAnalysisRow> &rows,
                     const std::vector<TAlarmMailLineRow> &lines);

    // The analysis state in order of units and parameters. Throws DbError.
    std::vector<TAlarmAnalysisRow> Analysis();
    // The mail lines in the order they were produced. Throws DbError.
    std::vector<TAlarmMailLineRow> MailLines();

    // The last line the user's mail server accepted in the mailing under
    // way (0: none). Throws DbError.
    qint64 MailedUpTo(const QString &UserName);
    void SetMailedUpTo(const QString &UserName, qint64 LineId);
    // Ends a mailing: removes its lines (up to LineId) and the progress.
    void FinishMailing(qint64 LineId);

    // Empties the analysis state; with mail, the lines and the progress too.
    void Clear(bool mail);

private:
    TdmNet &db_;
};

// The table script of the outbox for a database kind (1 SQLite, 2 SQL Server,
// 3 PostgreSQL); empty for an unknown kind.
QString AlarmOutboxScript(quint8 dataBaseType);
