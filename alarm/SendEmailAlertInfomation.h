// The alarm e-mail worker: analyses the alarm reports that the equipment
// link queues in the AlarmQueue table (and, without a database, in
// lstAlertString), keeps per unit and per parameter the last two reported
// states, turns state changes into mail lines and mails every ordinary user
// the lines of his units as a text attachment.
//
// The analysis state and the pending mail lines are kept in the alarm outbox
// tables as well as in memory: each step writes what it changed in one
// transaction before it counts as done, and the worker loads them back when
// it starts, so after a crash it goes on where it was. A user is recorded as
// mailed once his mail server has accepted the mail; the lines go once every
// user has been handled. At most the mail in flight at a crash is sent twice.
//
// Threading contract:
// - The worker's own thread (Start()) runs Step() every stepPace; tests call
//   Step() or the three step functions directly instead, never both at once.
// - lstAlertString is shared with the event thread; it is only touched under
//   lstAlertStringLock.
// - lstAnalysisAlert is shared with the event thread (ClearAnalysisAlertList);
//   it is only touched under analysisLock_, which is never held while using
//   the database: the stepping thread works on a copy, stores it, then puts
//   it in place unless a clear came meanwhile (clears_ counts them).
// - lstSendAlertEmail belongs to the stepping thread; pendingLock_ guards it
//   so that snapshots may be read from any thread.
// - Database access goes through dmNet (its own lock); the stepping thread
//   releases its connection when the loop ends.
// - The log callback is called from the stepping thread.
#pragma once

#include "PublicU.h"
#include "SendEmail.h"

#include <QDateTime>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

// Analysis state of one alarm parameter of one unit.
struct TChildAnalysisAlertInfo {
    QString ParamCode;
    QString ParameterName;                          // dictionary name when first seen
    QString PriorStatus = QStringLiteral("Normal"); // state before the last report
    QString LastStatus;                             // state in the last report, trimmed
    QString AlertTime;                              // AlertTime of the last report
    QString EmailStatus = QStringLiteral("00");     // "01": alert mailed, no recovery yet
    int SumTime = -1;                               // recovery counter; -1 when not counting
};

// Analysis state of one unit: one entry per parameter, in order of first appearance.
struct TAnalysisAlertInfo {
    QString EquipmentCode;
    std::vector<TChildAnalysisAlertInfo> ParamList;
};

// One mail line waiting to be sent.
struct TChildSendAlertEmailInfo {
    QString ParameterName;
    QString ParameterStatus; // "Alert" or "Normal"
    QString AlertTime;
};

// Mail lines of one unit, in the order they were produced.
struct TSendAlertEmailInfo {
    QString EquipmentCode;
    std::vector<TChildSendAlertEmailInfo> ParamList;
};

// How the worker mails, writes its attachments and keeps time. Every field
// has a working default; tests replace the clock, the paces and the sender.
struct TAlertMailConfig {
    // Folder of the temporary attachment files ("Alert" + hhnnss + ".txt").
    QString homeDir;
    // 8-bit code page of the attachment text; UTF-8 when Qt does not know it.
    QString codePage = QStringLiteral("GB18030");
    // CA file and timeouts for SendEmail (the charset is set from codePage).
    MailOptions mailOptions;
    // The current local time: time of day for the nightly window, the
    // attachment file name and the subject date.
    std::function<QDateTime()> clock;
    // Pause after each step of the loop.
    std::chrono::milliseconds stepPace{2000};
    // Pause before the second attempt at a failed mail.
    std::chrono::milliseconds retryPause{1000};
    // How pauses are taken; default: a wait that ends early when the worker stops.
    std::function<void(std::chrono::milliseconds)> pause;
    // Sends one alert mail; default: SendAlertEmail with mailOptions.
    std::function<bool(const QString &address, const QString &subject,
                       const QString &attachmentPath)>
        sendMail;
};

// The worker's default sender: SendEmail with the account globals
// EmailSmtpHost, EmailEncryptType, EmailSendUserName and EmailSendPassword,
// the one recipient, an empty body, no copies and no read receipt.
bool SendAlertEmail(const QString &address, const QString &subject, const QString &attachmentPath,
                    const MailOptions &options);

class TSendEmailAlertInfomation {
public:
    // The first line of every attachment.
    static const QString AlertMailHeader;

    explicit TSendEmailAlertInfomation(TCommInfoHint commInfoHint, TAlertMailConfig config = {});
    // Stops the loop and joins the thread; an SMTP exchange under way is cut
    // off (logged as failed), the users not mailed yet are left.
    ~TSendEmailAlertInfomation();
    TSendEmailAlertInfomation(const TSendEmailAlertInfomation &) = delete;
    TSendEmailAlertInfomation &operator=(const TSendEmailAlertInfomation &) = delete;

    // Starts the worker thread; a second call does nothing.
    void Start();

    // One step of the loop, failures swallowed. A cycle is ten steps:
    // DealSendEmail (after the nightly window check) when the step counter
    // has reached 10, AddAlertEmail at 5, AlertStringAnalysis otherwise.
    // The counter starts at 0, so the first cycle has nine analysis steps.
    void Step();

    // Takes the first line of lstAlertString and records its states.
    // Throws on a malformed line (the line is gone either way).
    void AlertStringAnalysis();
    // Turns state changes into mail lines; one recovery-counting pass.
    void AddAlertEmail();
    // Mails every ordinary user the pending lines of his units, then drops
    // all pending lines. Throws on a query or file failure; the pending lines
    // then stay for the next pass.
    void DealSendEmail();

    // Asks the loop to stop, from any thread: the pass ends between two users
    // and a mail exchange under way is cut off. The destructor joins.
    void RequestStop();
    bool StopRequested() const;

    // Forgets the analysis state (event thread, from the client server).
    void ClearAnalysisAlertList();

    // Reads the analysis state and the pending lines from the outbox tables
    // (the steps do it on their first use). Throws DbError.
    void Load();

    // Copies of the two lists, for inspection.
    std::vector<TAnalysisAlertInfo> AnalysisSnapshot() const;
    std::vector<TSendAlertEmailInfo> PendingSnapshot() const;

    // One attachment line: unit name in 15 characters, a blank, parameter
    // name in 40, a blank, status in 10, a blank, the time as it is.
    static QString AlertMailLine(const QString &equipmentName, const QString &parameterName,
                                 const QString &status, const QString &alertTime);

private:
    void Run(std::stop_token stop);
    void Pause(std::chrono::milliseconds d);
    QDateTime Now() const;
    bool SendOnce(const QString &address, const QString &attachmentPath);
    void Log(const QString &text, quint32 colour) const;
    QByteArray Encode(const QString &text) const;
    // Loads once; applies a clear asked for by the event thread to the tables.
    void Prepare();
    // Empties the analysis state (and with mail the pending lines), in
    // memory and in the tables.
    void ClearState(bool mail);

    TCommInfoHint FCommInfoHint;
    TAlertMailConfig config_;
    quint8 kCount = 0;

    mutable std::mutex analysisLock_;
    std::vector<TAnalysisAlertInfo> lstAnalysisAlert; // guarded by analysisLock_
    mutable std::mutex pendingLock_;
    std::vector<TSendAlertEmailInfo> lstSendAlertEmail; // guarded by pendingLock_

    bool loaded_ = false;                  // stepping thread
    std::atomic<std::uint64_t> clears_{0}; // ClearAnalysisAlertList calls
    std::uint64_t clearsApplied_ = 0;      // stepping thread: clears written to the tables

    std::mutex waitLock_;
    std::condition_variable_any waitCv_;
    std::stop_token stopToken_;
    std::atomic<bool> stopRequested_{false};
    std::jthread thread_; // last: stopped and joined before the rest is destroyed
};
