// The one interface through which a view (the window, a later web console)
// acts on the running server and reads it: the accounts and super users, the
// account file export and import, the retention settings and the manual
// deletions, the counts, the clearing of the alert list, the frame resolver
// model, and the start and the exit.
//
// Threading contract:
//   - Every call may be made from any thread. A call that needs the database
//     runs on the service's worker thread (one connection of its own) and
//     answers by calling `answer` on the thread of `context`, through its
//     event loop; nothing is answered once `context` has been destroyed. The
//     context must be destroyed on its own thread.
//   - Calls are run one at a time in the order they were made, so that a
//     view sees its own changes in order.
//   - The fleet model, when one is set, is read by any thread and told of
//     the assignments the service changes.
//   - The links are reached only through TOperatorLinks, whose members are
//     callable from any thread (the client server queues the closing of
//     connections to its own thread); Stop() ends the worker's use of them
//     before they go.
#pragma once

#include "AlarmOutbox.h"
#include "CheckDelData.h"
#include "FleetModel.h"
#include "NetD.h"
#include "PackResolveModel.h"
#include "UnitData.h"
#include "UserEquipmentTable.h"
#include "UserRegisterTable.h"
#include "UserTableTransfer.h"

#include <QObject>
#include <QPointer>
#include <QThread>

#include <atomic>
#include <functional>
#include <optional>
#include <vector>

// One listening port of the server; an empty address: not listening.
struct TListenPort {
    QString name;
    QString address;
    int port = 0;
};

// The running server's figures, as a status view shows them.
struct TServerStatus {
    QString error;
    QString version;
    QDateTime started;
    qint64 uptimeSeconds = 0;
    std::vector<TListenPort> ports;
    int databaseType = 0; // 1 SQLite, 2 SQL Server, 3 PostgreSQL
    QString database;     // where it is, without a password
    bool databaseUp = false;
    int unitsConnected = 0;
    int clientsConnected = 0;
    // Queue lengths, as last sampled on the link thread (once a second).
    qint64 sendQueue = 0;    // requests waiting for their unit
    qint64 receiveQueue = 0; // frames waiting to be processed
    qint64 channelQueue = 0; // client requests waiting for the channel worker
    qint64 tempHistory = 0;  // requests waiting for an answer, answers waiting to be stored
    qint64 logQueue = 0;     // events waiting for the event stream
    bool showInfoHint = false;
    std::optional<TRetentionRun> lastRetention;
};

// What the service needs of the running server. Unset members do nothing
// (and CheckClientExist answers false).
struct TOperatorLinks {
    // Is someone logged in under the name; closes every connection logged
    // in under it. Any thread.
    std::function<bool(const QString &UserName)> CheckClientExist;
    std::function<void(const QString &UserName)> DisClientConnect;
    // Open connections of equipment and of clients. Any thread.
    std::function<int()> GetEquipmentConnectCount;
    std::function<int()> GetClientConnectCount;
    // Clears the alert analysis list (and logs that it did). Any thread.
    std::function<void()> ClearAnalysisAlertList;
    // Starts the links (once, when the view is first shown); false when a
    // server could not listen (the operator has been told). The view's thread.
    std::function<bool()> Start;
    // After the operator confirmed the exit: saves the counters and releases
    // the links; false when the counters could not be saved (the operator
    // has been told) and the links go on. The view's thread.
    std::function<bool()> ConfirmedExit;
    // Saves the counters and ends the program without the close
    // confirmation. Run on the service's own thread.
    std::function<void()> Exit;
    // The unit was assigned to the account (or taken from it): when the unit
    // is on line, the account's connected clients get the on-line (off-line)
    // notice the client server sends the owners of a unit that comes (goes).
    // Any thread; the notice is sent on the link thread.
    std::function<void(const QString &UserName, const QString &EquipmentName,
                       const QString &EquipmentCode, bool assigned)>
        UnitAssignmentChanged;
    // The figures of the running server that need no database. Any thread.
    std::function<TServerStatus()> Status;
};

// The end of a change: an empty error is success.
struct TOperatorResult {
    QString error;
    bool Ok() const { return error.isEmpty(); }
};

// One row of the account list, with whether someone is logged in under it.
struct TOperatorAccount {
    TUserRegisterRow row;
    bool loggedIn = false;
};

struct TOperatorAccounts {
    QString error;
    std::vector<TOperatorAccount> rows;
};

struct TAddSuperUserResult {
    QString error;
    bool exists = false;  // the name is taken (by any account)
    QDateTime registered; // the time stored as register and login time
};

// One unit: its owners with their names for it, its fleet row (identity,
// connection, last heartbeat and alarm) and its parameter list.
struct TUnitDetails {
    QString error;
    QString EquipmentCode;
    bool known = false; // assigned or seen since the start
    std::vector<TOwnedUnit> owners;
    std::optional<TFleetRow> fleet;
    std::vector<TUnitParam> params;
};

// The units assigned to one account, with its names for them.
struct TAccountUnits {
    QString error;
    std::vector<TOwnedUnit> units;
};

// The alert mail lines waiting for the next mailing, and the last mail results.
struct TAlarmMailState {
    QString error;
    std::vector<TAlarmMailLineRow> waiting;
    std::vector<TFleetModel::TMailResult> results;
};

// The two retention periods as NormalParam holds them (30 without a row).
struct TRetentionDays {
    QString error;
    QString query = QStringLiteral("30");
    QString alarm = QStringLiteral("30");
};

class TOperatorService : public QObject {
    Q_OBJECT
public:
    template <class R> using Answer = std::function<void(const R &)>;

    // `checkDelData` runs the manual deletions; it lives on this object's
    // thread. `codePage` is the 8-bit code page of the account file.
    TOperatorService(TdmNet &db, TCheckDelData &checkDelData, TOperatorLinks links,
                     QString codePage, QObject *parent = nullptr);
    // Waits for the call in progress; calls not yet begun are not answered.
    ~TOperatorService() override;

    // Before the links go: waits for the calls made so far; the calls made
    // later still run and answer, but the worker no longer reaches the links.
    void Stop();

    // Accounts and super users (UseState 6).
    void Accounts(QObject *context, Answer<TOperatorAccounts> answer);
    // Refused with exists=true when the name is taken.
    void AddSuperUser(const QString &UserName, const QString &password, QObject *context,
                      Answer<TAddSuperUserResult> answer);
    // Suspends (and closes the account's connections) or reinstates.
    void SetSuspended(const QString &UserName, bool suspended, QObject *context,
                      Answer<TOperatorResult> answer);
    // An ordinary account with its equipment assignments, all or nothing,
    // then its connections are closed.
    void DeleteAccount(const QString &UserName, QObject *context, Answer<TOperatorResult> answer);
    // A super user; its equipment assignments stay. Its connections close.
    void DeleteSuperUser(const QString &UserName, QObject *context, Answer<TOperatorResult> answer);
    // Sets the password and closes the account's connections.
    void SetPassword(const QString &UserName, const QString &password, QObject *context,
                     Answer<TOperatorResult> answer);
    // Closes the account's connections (no database).
    void Disconnect(const QString &UserName);
    void ExportUserTable(const QString &path, QObject *context,
                         Answer<TUserTableFileResult> answer);
    // After a completed import the program ends (TOperatorLinks::Exit) once
    // the answer has been given.
    void ImportUserTable(const QString &path, QObject *context,
                         Answer<TUserTableFileResult> answer);

    // The retention periods and the log switch of NormalParam.
    void ReadRetentionDays(QObject *context, Answer<TRetentionDays> answer);
    void SaveRetentionDays(const QString &queryDays, const QString &alarmDays, QObject *context,
                           Answer<TOperatorResult> answer);
    // Sets the log switch at once and stores it (only where its row exists;
    // without it the switch lasts until the program ends).
    void SetShowInfoHint(bool on, QObject *context, Answer<TOperatorResult> answer);
    // Deletes every row of one history table; `answer` gets true when every
    // statement ran.
    void DeleteHistory(THistoryKind kind, QObject *context, Answer<bool> answer);

    int GetEquipmentConnectCount() const;
    int GetClientConnectCount() const;
    void ClearAnalysisAlertList();
    // The frame resolver model: a frame's layer tree, a data unit's rows and
    // a parameter's description. No database and no link: answered at once,
    // on any thread.
    TResolveTree ResolveFrame(const QString &frameText) const {
        return BuildResolveTree(frameText);
    }
    std::vector<TMapDataRow> ResolveDataUnit(const QString &text) const {
        return MapDataRows(text);
    }
    std::optional<QString> DescribeParameter(const QString &Code) const {
        return ParamDescription(Code);
    }

    // The fleet model the views read and the service tells of assignment
    // changes; may be null. Set before the views use the service.
    void SetFleetModel(TFleetModel *fleet) { fleet_ = fleet; }
    TFleetModel *Fleet() const { return fleet_; }

    // One unit's owners, fleet row and parameter list.
    void UnitDetails(const QString &EquipmentCode, QObject *context, Answer<TUnitDetails> answer);
    // A unit's answers and reports of a time range (range.EquipmentCode
    // required), decoded, with a series per numeric parameter. At most
    // MaxHistoryRows of each table.
    void UnitHistory(THistoryRange range, QObject *context, Answer<TUnitHistory> answer);
    // The reports of a time range, of one unit or (empty code) of all.
    void AlarmHistory(THistoryRange range, QObject *context, Answer<TUnitHistory> answer);
    // The alert mail lines waiting and the last mail results.
    void AlarmMail(QObject *context, Answer<TAlarmMailState> answer);
    // The units assigned to an account.
    void AccountUnits(const QString &UserName, QObject *context, Answer<TAccountUnits> answer);
    // Assigns a unit to an account (UserEquipment) under the account's name
    // for it; without a type, the one the unit reported, if any. Refused for
    // an unknown account, an empty code or one the account has already. When
    // the unit is on line, the account's connected clients are told.
    void AssignUnit(TUnitAssignment row, QObject *context, Answer<TOperatorResult> answer);
    // Takes a unit from an account; refused when the account does not have
    // it. When the unit is on line and the account is no longer entitled to
    // it, the account's connected clients are told it is off line.
    void UnassignUnit(const QString &UserName, const QString &EquipmentCode, QObject *context,
                      Answer<TOperatorResult> answer);
    // The server's figures with the database's state.
    void Status(QObject *context, Answer<TServerStatus> answer);

    static constexpr int MaxHistoryRows = 10000;

    // The view's start and confirmed exit (TOperatorLinks::Start and
    // ConfirmedExit); without a link to run they succeed.
    bool Start();
    bool ConfirmedExit();
    // Ends the program as after a completed import.
    void Exit();

    const QString &CodePage() const { return codePage_; }

private:
    // Runs `work` on the worker; its result goes to `answer` on the
    // context's thread. An exception of `work` becomes the result's error.
    template <class R> void Run(QObject *context, std::function<R()> work, Answer<R> answer);
    // Runs on the worker: a change that then closes the account's connections.
    TOperatorResult Change(const std::function<void()> &change, const QString &disconnect = {});

    TdmNet &db_;
    TCheckDelData &checkDelData_;
    // Tells the fleet model that assignments changed (worker).
    void AssignmentsChanged();

    TOperatorLinks links_;
    std::atomic<TFleetModel *> fleet_{nullptr};
    QString codePage_;
    std::atomic<bool> linksStopped_{false};
    QThread thread_;
    QObject *worker_ = nullptr; // lives on thread_, deleted when it ends
};
