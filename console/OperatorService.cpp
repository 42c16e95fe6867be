#include "OperatorService.h"

#include "NormalParamTable.h"
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
        context, [this, path] { return ImportUserTableFile(db_, path, codePage_); },
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
