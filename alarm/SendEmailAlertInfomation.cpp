#include "SendEmailAlertInfomation.h"

#include "AlarmOutbox.h"
#include "LogCategories.h"
#include "NetD.h"
#include "PackRecord.h"
#include "ServerMetrics.h"
#include "UserEquipmentTable.h"
#include "UserRegisterTable.h"

#include <QDir>
#include <QFile>
#include <QSqlRecord>
#include <QStringEncoder>

#include <algorithm>
#include <stdexcept>

const QString TSendEmailAlertInfomation::AlertMailHeader =
    QStringLiteral("Equipment       Parameter                                Status     AlertTime");

namespace {

const QString kAlert = QStringLiteral("Alert");
const QString kNormal = QStringLiteral("Normal");
const QString kMailed = QStringLiteral("01");
const QString kNotMailed = QStringLiteral("00");

// A recovery is mailed once the counter reaches this: 150 passes of 10.
constexpr int kRecoverySum = 1500;
constexpr int kRecoveryStep = 10;

// The nightly window, as hhnnss numbers, both ends excluded.
constexpr int kClearAfter = 235910;
constexpr int kClearBefore = 235959;

// The text cut or padded with blanks to width characters, never splitting a
// surrogate pair.
QString Fit(const QString &text, qsizetype width) {
    QString out = text.left(width);
    if (out.size() == width && out.size() < text.size() && out.back().isHighSurrogate())
        out.chop(1);
    return out.leftJustified(width, QLatin1Char(' '));
}

// Deletes the attachment file however the mail pass ends.
class TemporaryFileGuard {
public:
    explicit TemporaryFileGuard(QString path) : path_(std::move(path)) {}
    ~TemporaryFileGuard() { QFile::remove(path_); }
    TemporaryFileGuard(const TemporaryFileGuard &) = delete;
    TemporaryFileGuard &operator=(const TemporaryFileGuard &) = delete;

private:
    QString path_;
};

// The analysis rows of one unit at its position.
std::vector<TAlarmAnalysisRow> RowsOf(const TAnalysisAlertInfo &unit, int position) {
    std::vector<TAlarmAnalysisRow> rows;
    int k = 0;
    for (const TChildAnalysisAlertInfo &c : unit.ParamList)
        rows.push_back({unit.EquipmentCode, c.ParamCode, position, k++, c.ParameterName,
                        c.PriorStatus, c.LastStatus, c.AlertTime, c.EmailStatus, c.SumTime});
    return rows;
}

bool SameState(const TChildAnalysisAlertInfo &a, const TChildAnalysisAlertInfo &b) {
    return a.PriorStatus == b.PriorStatus && a.LastStatus == b.LastStatus &&
           a.AlertTime == b.AlertTime && a.EmailStatus == b.EmailStatus && a.SumTime == b.SumTime;
}

// Mail lines grouped by unit in the order of each unit's first line; within a
// unit in the order they were produced.
std::vector<TSendAlertEmailInfo> GroupLines(const std::vector<TAlarmMailLineRow> &rows,
                                            std::vector<std::vector<qint64>> *ids = nullptr) {
    std::vector<TSendAlertEmailInfo> out;
    for (const TAlarmMailLineRow &r : rows) {
        auto s = std::find_if(out.begin(), out.end(),
                              [&](const auto &e) { return e.EquipmentCode == r.EquipmentCode; });
        if (s == out.end()) {
            out.push_back(TSendAlertEmailInfo{r.EquipmentCode, {}});
            s = std::prev(out.end());
            if (ids)
                ids->emplace_back();
        }
        s->ParamList.push_back({r.ParameterName, r.ParameterStatus, r.AlertTime});
        if (ids)
            (*ids)[std::size_t(s - out.begin())].push_back(r.LineId);
    }
    return out;
}

} // namespace

bool SendAlertEmail(const QString &address, const QString &subject, const QString &attachmentPath,
                    const MailOptions &options) {
    // The account globals are written at start-up, before any worker runs.
    return SendEmail(EmailSmtpHost, EmailEncryptType, EmailSendUserName, EmailSendPassword, address,
                     subject, QString(), attachmentPath, QString(), QString(), false, options);
}

TSendEmailAlertInfomation::TSendEmailAlertInfomation(TCommInfoHint commInfoHint,
                                                     TAlertMailConfig config)
    : FCommInfoHint(std::move(commInfoHint)), config_(std::move(config)) {
    if (!QStringEncoder(config_.codePage.toLatin1().constData()).isValid())
        config_.codePage = QStringLiteral("UTF-8");
    config_.mailOptions.attachmentCharset = config_.codePage;
    if (!config_.sendMail) {
        MailOptions options = config_.mailOptions;
        // A stop cuts a mail exchange under way off: the exit never waits on
        // a mail server.
        options.cancelled = [this] { return StopRequested(); };
        config_.sendMail = [options](const QString &address, const QString &subject,
                                     const QString &attachmentPath) {
            return SendAlertEmail(address, subject, attachmentPath, options);
        };
    }
}

TSendEmailAlertInfomation::~TSendEmailAlertInfomation() {
    if (thread_.joinable()) {
        RequestStop();
        thread_.join();
    }
}

void TSendEmailAlertInfomation::Start() {
    if (thread_.joinable())
        return;
    thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
}

bool TSendEmailAlertInfomation::StopRequested() const {
    return stopRequested_.load();
}

void TSendEmailAlertInfomation::RequestStop() {
    stopRequested_.store(true);
    thread_.request_stop();
}

void TSendEmailAlertInfomation::Run(std::stop_token stop) {
    stopToken_ = stop;
    while (!stop.stop_requested()) {
        Step();
        Pause(config_.stepPace);
    }
    if (dmNet)
        dmNet->ReleaseThreadConnection();
}

void TSendEmailAlertInfomation::Pause(std::chrono::milliseconds d) {
    if (config_.pause) {
        config_.pause(d);
        return;
    }
    std::unique_lock lock(waitLock_);
    waitCv_.wait_for(lock, stopToken_, d, [] { return false; });
}

QDateTime TSendEmailAlertInfomation::Now() const {
    return config_.clock ? config_.clock() : QDateTime::currentDateTime();
}

void TSendEmailAlertInfomation::Log(const QString &text, quint32 colour) const {
    if (FCommInfoHint)
        FCommInfoHint(text, colour);
}

void TSendEmailAlertInfomation::Step() {
    // A failing step ends early, but the cycle goes on: the counter moves
    // whatever happened, so a failed mail pass is tried again one cycle
    // (twenty seconds) later, not at every step.
    try {
        if (kCount >= 10) {
            kCount = 0;
            const QTime t = Now().time();
            const int checkTime = t.hour() * 10000 + t.minute() * 100 + t.second();
            if (checkTime > kClearAfter && checkTime < kClearBefore) {
                ClearState(true);
                Log(QStringLiteral("Clear Alert Email List."), clWhite);
            }
            DealSendEmail();
        } else if (kCount == 5) {
            AddAlertEmail();
        } else {
            AlertStringAnalysis();
        }
    } catch (const std::exception &e) {
        // The loop goes on at the next step.
        qCDebug(lcAlarm) << "alarm step" << kCount << "failed:" << e.what();
    }
    ++kCount;
}

void TSendEmailAlertInfomation::Load() {
    TAlarmOutbox outbox(*dmNet);
    std::vector<TAnalysisAlertInfo> analysis;
    for (const TAlarmAnalysisRow &r : outbox.Analysis()) {
        if (analysis.empty() || analysis.back().EquipmentCode != r.EquipmentCode)
            analysis.push_back(TAnalysisAlertInfo{r.EquipmentCode, {}});
        analysis.back().ParamList.push_back({r.ParamCode, r.ParameterName, r.PriorStatus,
                                             r.LastStatus, r.AlertTime, r.EmailStatus, r.SumTime});
    }
    std::vector<TSendAlertEmailInfo> pending = GroupLines(outbox.MailLines());
    {
        std::lock_guard lock(analysisLock_);
        lstAnalysisAlert = std::move(analysis);
    }
    std::lock_guard lock(pendingLock_);
    lstSendAlertEmail = std::move(pending);
}

void TSendEmailAlertInfomation::Prepare() {
    if (!dmNet)
        return;
    if (!loaded_) {
        Load();
        loaded_ = true;
        clearsApplied_ = clears_.load();
    }
    const std::uint64_t clears = clears_.load();
    if (clears != clearsApplied_) {
        TAlarmOutbox(*dmNet).Clear(false);
        clearsApplied_ = clears;
    }
}

void TSendEmailAlertInfomation::ClearState(bool mail) {
    {
        std::lock_guard lock(analysisLock_);
        lstAnalysisAlert.clear();
    }
    if (mail) {
        std::lock_guard lock(pendingLock_);
        lstSendAlertEmail.clear();
    }
    if (dmNet)
        TAlarmOutbox(*dmNet).Clear(mail);
}

void TSendEmailAlertInfomation::AlertStringAnalysis() {
    Prepare();
    QString equipmentCode, dataBody, alertTime;
    qint64 queueId = 0;
    QString line;
    {
        std::lock_guard lock(lstAlertStringLock);
        if (!lstAlertString.isEmpty())
            line = lstAlertString.takeFirst();
    }
    if (!line.isEmpty()) {
        // EquipmentCode "#" DataBody "@" AlertTime
        const qsizetype hash = line.indexOf(QLatin1Char('#'));
        const qsizetype at = line.indexOf(QLatin1Char('@'));
        if (hash < 0 || at < hash)
            throw std::invalid_argument("malformed alarm report line");
        equipmentCode = line.left(hash);
        dataBody = line.mid(hash + 1, at - hash - 1);
        alertTime = line.mid(at + 1).trimmed();
    } else {
        if (!dmNet)
            return;
        TAlarmOutbox outbox(*dmNet);
        const std::optional<TAlarmQueueRow> first = outbox.First();
        if (!first)
            return;
        queueId = first->QueueId;
        equipmentCode = first->EquipmentCode;
        dataBody = first->DataBody;
        alertTime = first->AlertTime.trimmed();
    }

    TCommPackList items;
    try {
        items = ResolveCommPack(dataBody);
    } catch (...) {
        // A report that cannot be read never will be: it leaves the queue.
        if (queueId > 0)
            TAlarmOutbox(*dmNet).Drop(queueId);
        throw;
    }

    // Work on a copy of the unit's state; it takes its place once stored.
    const std::uint64_t clears = clears_.load();
    TAnalysisAlertInfo unit{equipmentCode, {}};
    int position = 0;
    {
        std::lock_guard lock(analysisLock_);
        const auto it =
            std::find_if(lstAnalysisAlert.begin(), lstAnalysisAlert.end(),
                         [&](const auto &a) { return a.EquipmentCode == equipmentCode; });
        position = int(it - lstAnalysisAlert.begin());
        if (it != lstAnalysisAlert.end())
            unit = *it;
    }
    for (const TCommPackInfo &item : items) {
        const TCommPackRecord &body = item.Body;
        auto &params = unit.ParamList;
        auto param = std::find_if(params.begin(), params.end(),
                                  [&](const auto &c) { return c.ParamCode == body.ParamCode; });
        if (param != params.end()) {
            param->PriorStatus = param->LastStatus;
            param->LastStatus = body.DestContent.trimmed();
            param->AlertTime = alertTime;
        } else {
            TChildAnalysisAlertInfo child;
            child.ParamCode = body.ParamCode;
            child.ParameterName = body.Name;
            child.LastStatus = body.DestContent.trimmed();
            child.AlertTime = alertTime;
            params.push_back(std::move(child));
        }
    }

    if (dmNet) {
        try {
            TAlarmOutbox(*dmNet).SaveAnalysed(queueId, equipmentCode, RowsOf(unit, position));
        } catch (const DbError &e) {
            // A queued report stays queued and is analysed again later; the
            // state of a report that came without the database lives on in
            // memory only.
            if (queueId > 0)
                throw;
            qCDebug(lcAlarm) << "analysis state of" << equipmentCode << "not stored:" << e.what();
        }
    }

    std::lock_guard lock(analysisLock_);
    if (clears != clears_.load())
        return; // cleared meanwhile
    const auto it = std::find_if(lstAnalysisAlert.begin(), lstAnalysisAlert.end(),
                                 [&](const auto &a) { return a.EquipmentCode == equipmentCode; });
    if (it != lstAnalysisAlert.end())
        *it = std::move(unit);
    else
        lstAnalysisAlert.push_back(std::move(unit));
}

void TSendEmailAlertInfomation::AddAlertEmail() {
    Prepare();
    const std::uint64_t clears = clears_.load();
    std::vector<TAnalysisAlertInfo> analysis = AnalysisSnapshot();
    std::vector<TSendAlertEmailInfo> pending = PendingSnapshot();
    std::vector<TAlarmAnalysisRow> changed;
    std::vector<TAlarmMailLineRow> lines;
    int position = 0;
    for (TAnalysisAlertInfo &a : analysis) {
        auto s = std::find_if(pending.begin(), pending.end(),
                              [&](const auto &e) { return e.EquipmentCode == a.EquipmentCode; });
        if (s == pending.end()) {
            pending.push_back(TSendAlertEmailInfo{a.EquipmentCode, {}});
            s = std::prev(pending.end());
        }
        const auto addLine = [&](const TChildSendAlertEmailInfo &line) {
            s->ParamList.push_back(line);
            lines.push_back(
                {0, a.EquipmentCode, line.ParameterName, line.ParameterStatus, line.AlertTime});
        };
        int k = 0;
        for (TChildAnalysisAlertInfo &c : a.ParamList) {
            const TChildAnalysisAlertInfo before = c;
            if (c.PriorStatus == c.LastStatus) {
                ++k;
                continue;
            }
            if (c.LastStatus == kAlert) {
                if (c.EmailStatus == kNotMailed) {
                    addLine({c.ParameterName, c.LastStatus, c.AlertTime});
                    c.EmailStatus = kMailed;
                }
                c.SumTime = -1;
            } else if (c.LastStatus == kNormal) {
                if (c.SumTime == -1)
                    c.SumTime = 0;
                if (c.EmailStatus == kMailed) {
                    c.SumTime += kRecoveryStep;
                    if (c.SumTime >= kRecoverySum) {
                        addLine({c.ParameterName, kNormal, c.AlertTime});
                        c.EmailStatus = kNotMailed;
                        c.SumTime = -1;
                    }
                }
            }
            if (!SameState(before, c))
                changed.push_back({a.EquipmentCode, c.ParamCode, position, k, c.ParameterName,
                                   c.PriorStatus, c.LastStatus, c.AlertTime, c.EmailStatus,
                                   c.SumTime});
            ++k;
        }
        ++position;
    }
    // Stored first: a failure leaves everything as it was for the next pass.
    if (dmNet)
        TAlarmOutbox(*dmNet).SaveChanges(changed, lines);
    {
        std::lock_guard lock(analysisLock_);
        if (clears == clears_.load())
            lstAnalysisAlert = std::move(analysis);
    }
    std::lock_guard lock(pendingLock_);
    lstSendAlertEmail = std::move(pending);
}

QString TSendEmailAlertInfomation::AlertMailLine(const QString &equipmentName,
                                                 const QString &parameterName,
                                                 const QString &status, const QString &alertTime) {
    return Fit(equipmentName, 15) + QLatin1Char(' ') + Fit(parameterName, 40) + QLatin1Char(' ') +
           Fit(status, 10) + QLatin1Char(' ') + alertTime;
}

QByteArray TSendEmailAlertInfomation::Encode(const QString &text) const {
    QStringEncoder encoder(config_.codePage.toLatin1().constData());
    return encoder.encode(text);
}

bool TSendEmailAlertInfomation::SendOnce(const QString &address, const QString &attachmentPath) {
    const QString subject =
        Now().date().toString(sysShortDate) + QStringLiteral(" Alert Infomation");
    return config_.sendMail(address, subject, attachmentPath);
}

void TSendEmailAlertInfomation::DealSendEmail() {
    Prepare();
    if (!dmNet)
        throw DbError("no data module");
    TAlarmOutbox outbox(*dmNet);
    // The lines of this mailing, with their ids: a user whose mail server
    // accepted them is recorded, so that a restart does not mail him again.
    std::vector<std::vector<qint64>> ids;
    const std::vector<TAlarmMailLineRow> rows = outbox.MailLines();
    const std::vector<TSendAlertEmailInfo> pending = GroupLines(rows, &ids);
    if (pending.empty())
        return;
    const qint64 lastLine = rows.back().LineId;

    for (const TUserAddress &recipient : TUserRegisterTable(*dmNet).OrdinaryUsers()) {
        // A stop ends the pass between two users; the lines not mailed yet
        // wait in the outbox for the next start.
        if (StopRequested())
            return;
        const QString &userName = recipient.UserName;
        const QString &email = recipient.Email;
        const auto units = TUserEquipmentTable(*dmNet).UnitsOf(userName);
        const qint64 mailedUpTo = outbox.MailedUpTo(userName);

        QString text = AlertMailHeader + QLatin1String("\r\n");
        bool hasLines = false;
        for (const TOwnedUnit &unit : units) {
            const QString &code = unit.EquipmentCode;
            const QString &name = unit.EquipmentName;
            for (std::size_t u = 0; u < pending.size(); ++u) {
                const TSendAlertEmailInfo &s = pending[u];
                if (s.EquipmentCode != code)
                    continue;
                for (std::size_t k = 0; k < s.ParamList.size(); ++k) {
                    if (ids[u][k] <= mailedUpTo)
                        continue;
                    const TChildSendAlertEmailInfo &line = s.ParamList[k];
                    text += AlertMailLine(name, line.ParameterName, line.ParameterStatus,
                                          line.AlertTime) +
                            QLatin1String("\r\n");
                    hasLines = true;
                }
            }
        }
        if (!hasLines)
            continue;

        const QString path =
            QDir(config_.homeDir)
                .filePath(QStringLiteral("Alert") +
                          Now().time().toString(QStringLiteral("HHmmss")) + QStringLiteral(".txt"));
        const TemporaryFileGuard removeAfterwards(path);
        {
            QFile file(path);
            const QByteArray bytes = Encode(text);
            if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
                file.write(bytes) != bytes.size() || !file.flush())
                throw std::runtime_error("cannot write the alert attachment");
        }

        const QString who =
            QStringLiteral("Send User ") + userName + QLatin1Char('(') + email + QLatin1Char(')');
        bool sent = SendOnce(email, path);
        // A mail cut off by the stop is not tried again; it is logged as failed.
        if (!sent && !StopRequested()) {
            Pause(config_.retryPause);
            sent = SendOnce(email, path);
        }
        CountMetric(sent ? &TServerMetrics::mailsSent : &TServerMetrics::mailsFailed);
        FCommInfoHint(LogEvent(TLogKind::Mail, TLogPane::Events,
                               who + (sent ? QStringLiteral(" Email finish.")
                                           : QStringLiteral(" Email fail.")),
                               clWhite)
                          .WithUser(userName));
        if (sent)
            outbox.SetMailedUpTo(userName, lastLine);
    }

    outbox.FinishMailing(lastLine);
    std::lock_guard lock(pendingLock_);
    lstSendAlertEmail.clear();
}

void TSendEmailAlertInfomation::ClearAnalysisAlertList() {
    std::lock_guard lock(analysisLock_);
    lstAnalysisAlert.clear();
    // The tables are emptied by the stepping thread at its next step.
    ++clears_;
}

std::vector<TAnalysisAlertInfo> TSendEmailAlertInfomation::AnalysisSnapshot() const {
    std::lock_guard lock(analysisLock_);
    return lstAnalysisAlert;
}

std::vector<TSendAlertEmailInfo> TSendEmailAlertInfomation::PendingSnapshot() const {
    std::lock_guard lock(pendingLock_);
    return lstSendAlertEmail;
}
