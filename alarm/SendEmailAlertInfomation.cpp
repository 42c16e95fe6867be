#include "SendEmailAlertInfomation.h"

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
                {
                    std::lock_guard lock(analysisLock_);
                    lstAnalysisAlert.clear();
                }
                {
                    std::lock_guard lock(pendingLock_);
                    lstSendAlertEmail.clear();
                }
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

void TSendEmailAlertInfomation::AlertStringAnalysis() {
    QString line;
    {
        std::lock_guard lock(lstAlertStringLock);
        if (lstAlertString.isEmpty())
            return;
        line = lstAlertString.takeFirst();
    }

    // EquipmentCode "#" DataBody "@" AlertTime
    const qsizetype hash = line.indexOf(QLatin1Char('#'));
    const qsizetype at = line.indexOf(QLatin1Char('@'));
    if (hash < 0 || at < hash)
        throw std::invalid_argument("malformed alarm report line");
    const QString equipmentCode = line.left(hash);
    const QString dataBody = line.mid(hash + 1, at - hash - 1);
    const QString alertTime = line.mid(at + 1).trimmed();

    const TCommPackList items = ResolveCommPack(dataBody);

    std::lock_guard lock(analysisLock_);
    auto unit = std::find_if(lstAnalysisAlert.begin(), lstAnalysisAlert.end(),
                             [&](const auto &a) { return a.EquipmentCode == equipmentCode; });
    if (unit == lstAnalysisAlert.end()) {
        lstAnalysisAlert.push_back(TAnalysisAlertInfo{equipmentCode, {}});
        unit = std::prev(lstAnalysisAlert.end());
    }
    for (const TCommPackInfo &item : items) {
        const TCommPackRecord &body = item.Body;
        auto &params = unit->ParamList;
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
}

void TSendEmailAlertInfomation::AddAlertEmail() {
    std::lock_guard analysis(analysisLock_);
    std::lock_guard pending(pendingLock_);
    for (TAnalysisAlertInfo &a : lstAnalysisAlert) {
        auto s = std::find_if(lstSendAlertEmail.begin(), lstSendAlertEmail.end(),
                              [&](const auto &e) { return e.EquipmentCode == a.EquipmentCode; });
        if (s == lstSendAlertEmail.end()) {
            lstSendAlertEmail.push_back(TSendAlertEmailInfo{a.EquipmentCode, {}});
            s = std::prev(lstSendAlertEmail.end());
        }
        for (TChildAnalysisAlertInfo &c : a.ParamList) {
            if (c.PriorStatus == c.LastStatus)
                continue;
            if (c.LastStatus == kAlert) {
                if (c.EmailStatus == kNotMailed) {
                    s->ParamList.push_back({c.ParameterName, c.LastStatus, c.AlertTime});
                    c.EmailStatus = kMailed;
                }
                c.SumTime = -1;
            } else if (c.LastStatus == kNormal) {
                if (c.SumTime == -1)
                    c.SumTime = 0;
                if (c.EmailStatus == kMailed) {
                    c.SumTime += kRecoveryStep;
                    if (c.SumTime >= kRecoverySum) {
                        s->ParamList.push_back({c.ParameterName, kNormal, c.AlertTime});
                        c.EmailStatus = kNotMailed;
                        c.SumTime = -1;
                    }
                }
            }
        }
    }
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
    std::vector<TSendAlertEmailInfo> pending;
    {
        std::lock_guard lock(pendingLock_);
        if (lstSendAlertEmail.empty())
            return;
        pending = lstSendAlertEmail;
    }
    if (!dmNet)
        throw DbError("no data module");

    for (const TUserAddress &recipient : TUserRegisterTable(*dmNet).OrdinaryUsers()) {
        // A stop ends the pass between two users; the lines not mailed yet
        // die with the process.
        if (StopRequested())
            return;
        const QString &userName = recipient.UserName;
        const QString &email = recipient.Email;
        const auto units = TUserEquipmentTable(*dmNet).UnitsOf(userName);

        QString text = AlertMailHeader + QLatin1String("\r\n");
        bool hasLines = false;
        for (const TOwnedUnit &unit : units) {
            const QString &code = unit.EquipmentCode;
            const QString &name = unit.EquipmentName;
            for (const TSendAlertEmailInfo &s : pending) {
                if (s.EquipmentCode != code)
                    continue;
                for (const TChildSendAlertEmailInfo &line : s.ParamList) {
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
        Log(who + (sent ? QStringLiteral(" Email finish.") : QStringLiteral(" Email fail.")),
            clWhite);
    }

    std::lock_guard lock(pendingLock_);
    lstSendAlertEmail.clear();
}

void TSendEmailAlertInfomation::ClearAnalysisAlertList() {
    std::lock_guard lock(analysisLock_);
    lstAnalysisAlert.clear();
}

std::vector<TAnalysisAlertInfo> TSendEmailAlertInfomation::AnalysisSnapshot() const {
    std::lock_guard lock(analysisLock_);
    return lstAnalysisAlert;
}

std::vector<TSendAlertEmailInfo> TSendEmailAlertInfomation::PendingSnapshot() const {
    std::lock_guard lock(pendingLock_);
    return lstSendAlertEmail;
}
