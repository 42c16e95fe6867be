// Process-wide settings, callbacks and shared lists of the server.
//
// Threading contract: every settings global below is written on the event
// thread during start-up, before any server or worker thread exists, and is
// only read afterwards. The exceptions are named where they are declared:
// the two request serial counters (guarded by the equipment link's queue lock)
// and ShowInfoHint (atomic, because the settings window may switch it while
// workers log).
#pragma once

#include "LogEvent.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

// Log colours, blue-green-red byte order as the operator console expects.
constexpr quint32 clWhite = 0xFFFFFF;  // ordinary events, upper pane
constexpr quint32 clRed = 0x0000FF;    // errors and lost connections, upper pane
constexpr quint32 clYellow = 0x00FFFF; // equipment traffic and client replies, lower pane
constexpr quint32 clBlue = 0xFF0000;

// Connection count callbacks of the client and equipment servers.
using TUserConnectNumber = std::function<void(int count)>;
using TBoosterConnectNumber = std::function<void(int count)>;

// Set.ini, section Set.
extern int DeviceConnectPort;
extern int DataBasePort;
extern int ClientConnectPort;

// 1 SQLite file, 2 SQL Server (ODBC), 3 PostgreSQL.
extern quint8 DataBaseType;

// NormalParam settings.
extern QString SoftWareNameChinese;
extern QString SoftWareNameEnglish;
extern QString SoftWareVerNumber;
extern QString CompanyHintCaption;
// The request serial counters: allocated under the equipment link's queue
// lock (test, wrap and increment as one step); atomic so that the exit can read
// them from any thread.
extern std::atomic<int> HandPackFlagNumber;
extern std::atomic<int> CirclePackFlagNumber;
extern QDateTime NowCircleDay;
extern int MaxPackageLen;
extern int RegisterEmptyEquipmentHour;
extern QString EmailSmtpHost;
extern QString EmailEncryptType;
extern QString EmailSendUserName;
extern QString EmailSendPassword;
extern std::atomic<bool> ShowInfoHint;

// Locale: sysShortDate is the date part of every date-time text the server
// writes; the time part is always "HH:mm:ss".
extern QString sysShortDate;
extern QString sysLongDate;
extern QString sysTimeFormat;

// Received alarm reports awaiting analysis, with the lock that guards them.
extern QStringList lstAlertString;
extern std::mutex lstAlertStringLock;

// sysShortDate + " HH:mm:ss" of the given time (the server's date-time text).
QString DateTimeText(const QDateTime &t);
// The current local time as that text.
QString NowText();

// DateTimeText of times that mostly fall within the second of the one
// before (log lines under traffic): formatted once per second. Not shared
// between threads.
class TDateTimeTextCache {
public:
    const QString &Text(const QDateTime &t);

private:
    qint64 second_ = -1;
    QString format_; // sysShortDate when text_ was made
    QString text_;
};
// Parses a text written by DateTimeText back; invalid QDateTime when it does not fit.
QDateTime ParseDateTimeText(const QString &text);
// The current local time cut to the whole second, as written and read back.
QDateTime NowToSecond();
