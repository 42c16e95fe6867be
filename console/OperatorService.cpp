#include "OperatorService.h"

#include "HistoryTables.h"
#include "NormalParamTable.h"
#include "ParamListTable.h"
#include "PublicU.h"
#include "RecycleUserEquipmentTable.h"
#include "UserEquipmentTable.h"

namespace {

const QString kQueryKey = QStringLiteral("HistoryQuerySaveDay");
const QString kAlarmKey = QStringLiteral("HistoryAlarmSaveDay");

// Hands `result` to `answer` on the context's thread, through its event loop.
template <class R>
void Deliver(const QPointer<QObject> &context, TOperatorService::Answer<R> answer, R result) {
    if (!context || !answer)
        return;
    QMetaObject::invokeMethod(
        context.data(),
        [answer = std::move(answer), result = std::move(result)] { answer(result); },
        Qt::QueuedConnection);
}

QString ErrorText(const std::exception &e) {
    return QString::fromUtf8(e.what());
}

} // namespace

TOperatorService::TOperatorService(TdmNet &db, TCheckDelData &checkDelData, TOperatorLinks links,
                                   QString codePage, QObject *parent)
    : QObject(parent), db_(db), checkDelData_(checkDelData), links_(std::move(links)),
      codePage_(std::move(codePage)) {
    worker_ = new QObject;
    worker_->moveToThread(&thread_);
    connect(&thread_, &QThread::finished, worker_, &QObject::deleteLater);
    thread_.setObjectName(QStringLiteral("operator"));
    thread_.start();
}

TOperatorService::~TOperatorService() {
    // Runs after the call in progress: the worker's connection goes with it.
    QMetaObject::invokeMethod(
        worker_, [this] { db_.ReleaseThreadConnection(); }, Qt::BlockingQueuedConnection);
    thread_.quit();
    thread_.wait();
}

void TOperatorService::Stop() {
    // Queued behind every call made so far.
    QMetaObject::invokeMethod(
        worker_, [this] { linksStopped_ = true; }, Qt::BlockingQueuedConnection);
}

template <class R>
void TOperatorService::Run(QObject *context, std::function<R()> work, Answer<R> answer) {
    QMetaObject::invokeMethod(
        worker_,
        [work = std::move(work), answer = std::move(answer), context = QPointer(context)] {
            R result;
            try {
                result = work();
            } catch (const std::exception &e) {
                if constexpr (requires { result.error; })
                    result.error = ErrorText(e);
                else
                    result.Message = ErrorText(e);
            }
            Deliver(context, answer, std::move(result));
        },
        Qt::QueuedConnection);
}

TOperatorResult TOperatorService::Change(const std::function<void()> &change,
                                         const QString &disconnect) {
    change();
    if (!disconnect.isEmpty())
        Disconnect(disconnect);
    return {};
}

void TOperatorService::Accounts(QObject *context, Answer<TOperatorAccounts> answer) {
    Run<TOperatorAccounts>(
        context,
        [this] {
            TOperatorAccounts result;
            for (TUserRegisterRow &row : TUserRegisterTable(db_).AllRows()) {
                const bool super = row.UseState == 6;
                const bool login = super && !linksStopped_ && links_.CheckClientExist &&
                                   links_.CheckClientExist(row.UserName);
                result.rows.push_back({std::move(row), login});
            }
            return result;
        },
        std::move(answer));
}

void TOperatorService::AddSuperUser(const QString &UserName, const QString &password,
                                    QObject *context, Answer<TAddSuperUserResult> answer) {
    Run<TAddSuperUserResult>(
        context,
        [this, UserName, password] {
            TAddSuperUserResult result;
            TUserRegisterTable users(db_);
            result.exists = users.Exists(UserName);
            if (result.exists)
                return result;
            result.registered = NowToSecond();
            users.AddSuperUser(UserName, password, result.registered);
            return result;
        },
        std::move(answer));
}

void TOperatorService::SetSuspended(const QString &UserName, bool suspended, QObject *context,
                                    Answer<TOperatorResult> answer) {
    Run<TOperatorResult>(
        context,
        [this, UserName, suspended] {
            return Change([&] { TUserRegisterTable(db_).SetUseState(UserName, suspended ? 1 : 0); },
                          suspended ? UserName : QString());
        },
        std::move(answer));
}

void TOperatorService::DeleteAccount(const QString &UserName, QObject *context,
                                     Answer<TOperatorResult> answer) {
    Run<TOperatorResult>(
        context,
        [this, UserName] {
            // The assignments go first, the account last, all or nothing.
            return Change(
                [&] {
                    TdmNet::Transaction tx(db_);
                    TRecycleUserEquipmentTable(db_).DeleteUser(UserName);
                    TUserEquipmentTable(db_).DeleteUser(UserName);
                    TUserRegisterTable(db_).DeleteUser(UserName);
                    tx.Commit();
                    AssignmentsChanged();
                },
                UserName);
        },
        std::move(answer));
}

void TOperatorService::DeleteSuperUser(const QString &UserName, QObject *context,
                                       Answer<TOperatorResult> answer) {
    Run<TOperatorResult>(
        context,
        [this, UserName] {
            return Change([&] { TUserRegisterTable(db_).DeleteUser(UserName); }, UserName);
        },
        std::move(answer));
}

void TOperatorService::SetPassword(const QString &UserName, const QString &password,
                                   QObject *context, Answer<TOperatorResult> answer) {
    Run<TOperatorResult>(
        context,
        [this, UserName, password] {
            return Change([&] { TUserRegisterTable(db_).SetPassword(UserName, password); },
                          UserName);
        },
        std::move(answer));
}

void TOperatorService::Disconnect(const QString &UserName) {
    if (!linksStopped_ && links_.DisClientConnect)
        links_.DisClientConnect(UserName);
}

void TOperatorService::ExportUserTable(const QString &path, QObject *context,
                                       Answer<TUserTableFileResult> answer) {
    Run<TUserTableFileResult>(
        context, [this, path] { return ExportUserTableFile(db_, path, codePage_); },
        std::move(answer));
}

void TOperatorService::ImportUserTable(const QString &path, QObject *context,
                                       Answer<TUserTableFileResult> answer) {
    Run<TUserTableFileResult>(
        context,
        [this, path] {
            TUserTableFileResult result = ImportUserTableFile(db_, path, codePage_);
            AssignmentsChanged();
            return result;
        },
        std::move(answer));
}

void TOperatorService::ReadRetentionDays(QObject *context, Answer<TRetentionDays> answer) {
    Run<TRetentionDays>(
        context,
        [this] {
            TRetentionDays days;
            for (const auto &[item, value] : TNormalParamTable(db_).ReadAll()) {
                if (item == kQueryKey)
                    days.query = value;
                else if (item == kAlarmKey)
                    days.alarm = value;
            }
            return days;
        },
        std::move(answer));
}

void TOperatorService::SaveRetentionDays(const QString &queryDays, const QString &alarmDays,
                                         QObject *context, Answer<TOperatorResult> answer) {
    Run<TOperatorResult>(
        context,
        [this, queryDays, alarmDays] {
            return Change([&] {
                TNormalParamTable(db_).Update({{kQueryKey, queryDays}, {kAlarmKey, alarmDays}});
            });
        },
        std::move(answer));
}

void TOperatorService::SetShowInfoHint(bool on, QObject *context, Answer<TOperatorResult> answer) {
    ShowInfoHint = on;
    Run<TOperatorResult>(
        context,
        [this, on] {
            return Change([&] {
                TNormalParamTable(db_).Update({{QStringLiteral("ShowInfoHint"),
                                                on ? QStringLiteral("1") : QStringLiteral("0")}},
                                              false);
            });
        },
        std::move(answer));
}

void TOperatorService::DeleteHistory(THistoryKind kind, QObject *context, Answer<bool> answer) {
    // The retention scheduler sequences its deletions on its own thread
    // (queued there at once when called on it).
    QMetaObject::invokeMethod(
        &checkDelData_, [this, kind, answer = std::move(answer), context = QPointer(context)] {
            checkDelData_.DelHistoryRecord(
                kind, false, [answer, context](bool ok) { Deliver(context, answer, ok); });
        });
}

int TOperatorService::GetEquipmentConnectCount() const {
    return links_.GetEquipmentConnectCount ? links_.GetEquipmentConnectCount() : 0;
}

int TOperatorService::GetClientConnectCount() const {
    return links_.GetClientConnectCount ? links_.GetClientConnectCount() : 0;
}

void TOperatorService::ClearAnalysisAlertList() {
    if (links_.ClearAnalysisAlertList)
        links_.ClearAnalysisAlertList();
}

bool TOperatorService::Start() {
    return !links_.Start || links_.Start();
}

bool TOperatorService::ConfirmedExit() {
    return !links_.ConfirmedExit || links_.ConfirmedExit();
}

void TOperatorService::Exit() {
    // On the service's own thread: directly when called there.
    if (links_.Exit)
        QMetaObject::invokeMethod(this, [this] { links_.Exit(); });
}

void TOperatorService::AssignmentsChanged() {
    if (TFleetModel *fleet = fleet_)
        fleet->ReloadOwners();
}

void TOperatorService::UnitDetails(const QString &EquipmentCode, QObject *context,
                                   Answer<TUnitDetails> answer) {
    Run<TUnitDetails>(
        context,
        [this, EquipmentCode] {
            TUnitDetails details;
            details.EquipmentCode = EquipmentCode;
            details.owners = TUserEquipmentTable(db_).OwnersOf(EquipmentCode);
            if (TFleetModel *fleet = fleet_)
                details.fleet = fleet->Row(EquipmentCode);
            details.params = DecodeParamList(TParamListTable(db_).ListOf(EquipmentCode));
            details.known = !details.owners.empty() || details.fleet.has_value();
            return details;
        },
        std::move(answer));
}

namespace {

// The range with its limit kept within what one answer may carry.
THistoryRange Bounded(THistoryRange range) {
    range.limit = std::clamp(range.limit, 0, TOperatorService::MaxHistoryRows);
    return range;
}

} // namespace

void TOperatorService::UnitHistory(THistoryRange range, QObject *context,
                                   Answer<TUnitHistory> answer) {
    Run<TUnitHistory>(
        context,
        [this, range = Bounded(std::move(range))] {
            if (range.EquipmentCode.isEmpty()) {
                TUnitHistory refused;
                refused.error = QStringLiteral("no unit given");
                return refused;
            }
            THistoryTables tables(db_);
            const std::vector<TQueryHistoryRow> queries = tables.Queries(range);
            const std::vector<TAlarmHistoryRow> alarms = tables.Alarms(range);
            TUnitHistory history = DecodeHistory(queries, alarms);
            history.truncated =
                int(queries.size()) >= range.limit || int(alarms.size()) >= range.limit;
            return history;
        },
        std::move(answer));
}

void TOperatorService::AlarmHistory(THistoryRange range, QObject *context,
                                    Answer<TUnitHistory> answer) {
    Run<TUnitHistory>(
        context,
        [this, range = Bounded(std::move(range))] {
            const std::vector<TAlarmHistoryRow> alarms = THistoryTables(db_).Alarms(range);
            TUnitHistory history = DecodeHistory({}, alarms);
            history.truncated = int(alarms.size()) >= range.limit;
            return history;
        },
        std::move(answer));
}

void TOperatorService::AlarmMail(QObject *context, Answer<TAlarmMailState> answer) {
    Run<TAlarmMailState>(
        context,
        [this] {
            TAlarmMailState state;
            if (TFleetModel *fleet = fleet_)
                state.results = fleet->MailResults();
            state.waiting = TAlarmOutbox(db_).MailLines();
            return state;
        },
        std::move(answer));
}

void TOperatorService::AccountUnits(const QString &UserName, QObject *context,
                                    Answer<TAccountUnits> answer) {
    Run<TAccountUnits>(
        context,
        [this, UserName] {
            TAccountUnits result;
            result.units = TUserEquipmentTable(db_).UnitsOf(UserName);
            return result;
        },
        std::move(answer));
}

void TOperatorService::AssignUnit(TUnitAssignment row, QObject *context,
                                  Answer<TOperatorResult> answer) {
    Run<TOperatorResult>(
        context,
        [this, row = std::move(row)]() mutable {
            TOperatorResult result;
            row.UserName = row.UserName.trimmed();
            row.EquipmentCode = row.EquipmentCode.trimmed();
            if (row.UserName.isEmpty() || row.EquipmentCode.isEmpty()) {
                result.error = QStringLiteral("an account and a unit code are needed");
                return result;
            }
            TUserRegisterTable users(db_);
            if (!users.Exists(row.UserName)) {
                result.error = QStringLiteral("no account named %1").arg(row.UserName);
                return result;
            }
            if (row.EquipmentType.isEmpty())
                if (TFleetModel *fleet = fleet_)
                    if (const std::optional<TFleetRow> unit = fleet->Row(row.EquipmentCode))
                        row.EquipmentType = unit->EquipmentType;
            if (!TUserEquipmentTable(db_).Assign(row)) {
                result.error = QStringLiteral("%1 has the unit %2 already")
                                   .arg(row.UserName, row.EquipmentCode);
                return result;
            }
            AssignmentsChanged();
            // A super user is told of every unit anyway.
            if (!linksStopped_ && links_.UnitAssignmentChanged &&
                !users.SuperUserNames().contains(row.UserName))
                links_.UnitAssignmentChanged(row.UserName, row.EquipmentName, row.EquipmentCode,
                                             true);
            return result;
        },
        std::move(answer));
}

void TOperatorService::UnassignUnit(const QString &UserName, const QString &EquipmentCode,
                                    QObject *context, Answer<TOperatorResult> answer) {
    Run<TOperatorResult>(
        context,
        [this, UserName, EquipmentCode] {
            TOperatorResult result;
            TUserEquipmentTable units(db_);
            // The account's name for the unit, for the notice's log line.
            QString name;
            for (const TOwnedUnit &owner : units.OwnersOf(EquipmentCode))
                if (owner.UserName == UserName) {
                    name = owner.EquipmentName;
                    break;
                }
            if (units.Unassign(UserName, EquipmentCode) == 0) {
                result.error =
                    QStringLiteral("%1 does not have the unit %2").arg(UserName, EquipmentCode);
                return result;
            }
            AssignmentsChanged();
            if (!linksStopped_ && links_.UnitAssignmentChanged &&
                !TUserRegisterTable(db_).SuperUserNames().contains(UserName))
                links_.UnitAssignmentChanged(UserName, name, EquipmentCode, false);
            return result;
        },
        std::move(answer));
}

void TOperatorService::Status(QObject *context, Answer<TServerStatus> answer) {
    Run<TServerStatus>(
        context,
        [this] {
            TServerStatus status;
            if (!linksStopped_ && links_.Status)
                status = links_.Status();
            status.databaseType = db_.DataBaseType();
            status.databaseUp = db_.IsUp();
            status.showInfoHint = ShowInfoHint;
            status.lastRetention = checkDelData_.LastRun();
            return status;
        },
        std::move(answer));
}
