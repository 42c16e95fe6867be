#include "PublicU.h"

int DeviceConnectPort = 5210;
int DataBasePort = 5211;
int ClientConnectPort = 5212;

quint8 DataBaseType = 1;

QString SoftWareNameChinese;
QString SoftWareNameEnglish;
QString SoftWareVerNumber;
QString CompanyHintCaption;
std::atomic<int> HandPackFlagNumber{0};
std::atomic<int> CirclePackFlagNumber{0x6000};
QDateTime NowCircleDay;
int MaxPackageLen = 0;
int RegisterEmptyEquipmentHour = 0;
QString EmailSmtpHost;
QString EmailEncryptType;
QString EmailSendUserName;
QString EmailSendPassword;
std::atomic<bool> ShowInfoHint{false};

QString sysShortDate = QStringLiteral("yyyy-MM-dd");
QString sysLongDate;
QString sysTimeFormat = QStringLiteral("HH:mm:ss");

QStringList lstAlertString;
std::mutex lstAlertStringLock;

QString DateTimeText(const QDateTime &t) {
    return t.toString(sysShortDate + QStringLiteral(" HH:mm:ss"));
}

const QString &TDateTimeTextCache::Text(const QDateTime &t) {
    const qint64 second = t.toMSecsSinceEpoch() / 1000;
    if (second != second_ || sysShortDate != format_) {
        second_ = second;
        format_ = sysShortDate;
        text_ = DateTimeText(t);
    }
    return text_;
}

QString NowText() {
    return DateTimeText(QDateTime::currentDateTime());
}

QDateTime ParseDateTimeText(const QString &text) {
    return QDateTime::fromString(text.trimmed(), sysShortDate + QStringLiteral(" HH:mm:ss"));
}

QDateTime NowToSecond() {
    QDateTime now = QDateTime::currentDateTime();
    now.setTime(QTime(now.time().hour(), now.time().minute(), now.time().second()));
    return now;
}
