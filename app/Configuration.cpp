#include "Configuration.h"

#include "NormalParamTable.h"
#include "PublicU.h"

#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QLocale>
#include <QRegularExpression>
#include <QStringEncoder>

namespace {

const QString SetSection = QStringLiteral("Set");
const QString DbSection = QStringLiteral("Database");

int ReadInteger(const QString &key, const QString &text) {
    // Decimal with an optional sign, as the settings are stored; surrounding
    // blanks are tolerated.
    bool ok = false;
    const int v = text.trimmed().toInt(&ok, 10);
    if (!ok)
        throw SettingError(QStringLiteral("NormalParam %1: \"%2\" is not an integer")
                               .arg(key, text)
                               .toStdString());
    return v;
}

QDateTime ReadDateTime(const QString &key, const QString &text) {
    const QString t = text.trimmed();
    for (const QString &format :
         {sysShortDate + QStringLiteral(" HH:mm:ss"), sysShortDate,
          QStringLiteral("yyyy-MM-dd HH:mm:ss"), QStringLiteral("yyyy-MM-dd")}) {
        const QDateTime dt = QDateTime::fromString(t, format);
        if (dt.isValid())
            return dt;
    }
    throw SettingError(
        QStringLiteral("NormalParam %1: \"%2\" is not a date-time").arg(key, text).toStdString());
}

QString StripControls(const QString &s) {
    // Blanks and control characters (code 32 and below) at both ends.
    qsizetype b = 0, e = s.size();
    while (b < e && s[b].unicode() <= 32)
        ++b;
    while (e > b && s[e - 1].unicode() <= 32)
        --e;
    return s.mid(b, e - b);
}

} // namespace

int ReadPort(const IniFile &ini, const QString &section, const QString &key, int defaultPort) {
    const int port = ini.IntValue(section, key, defaultPort);
    if (port >= 0 && port <= 65535)
        return port;
    // A number no TCP port has would be cut to 16 bits and listen elsewhere.
    ini.NoteProblem(section, key, ini.Value(section, key).value_or(QString()),
                    QString::number(defaultPort));
    return defaultPort;
}

void ReadPorts(const IniFile &ini) {
    DeviceConnectPort = ReadPort(ini, SetSection, QStringLiteral("DeviceConnectPort"), 5210);
    DataBasePort = ReadPort(ini, SetSection, QStringLiteral("DataBasePort"), 5211);
    ClientConnectPort = ReadPort(ini, SetSection, QStringLiteral("ClientConnectPort"), 5212);
}

bool WritePorts(IniFile &ini) {
    ini.SetValue(SetSection, QStringLiteral("DeviceConnectPort"),
                 QString::number(DeviceConnectPort));
    ini.SetValue(SetSection, QStringLiteral("DataBasePort"), QString::number(DataBasePort));
    ini.SetValue(SetSection, QStringLiteral("ClientConnectPort"),
                 QString::number(ClientConnectPort));
    return ini.Save();
}

ExtraOptions ReadExtraOptions(const IniFile &ini) {
    ExtraOptions o;
    const QString codePageKey = QStringLiteral("CodePage");
    if (auto v = ini.Value(SetSection, codePageKey); v && !v->isEmpty()) {
        if (QStringEncoder(v->toLatin1().constData()).isValid())
            o.codePage = *v;
        else
            ini.NoteProblem(SetSection, codePageKey, *v, o.codePage);
    }
    const QString caFileKey = QStringLiteral("EmailCaFile");
    if (auto v = ini.Value(SetSection, caFileKey); v && !v->isEmpty()) {
        // A CA file that is not there would fail every TLS mail; the system's
        // store still verifies the server.
        if (QFileInfo(*v).isFile())
            o.emailCaFile = *v;
        else
            ini.NoteProblem(SetSection, caFileKey, *v, QStringLiteral("the system's CA store"));
    }
    // A count below one would refuse every connection: the default holds then.
    const auto positive = [&](const char *key, int def) {
        const int v = ini.IntValue(SetSection, QLatin1String(key), def);
        if (v > 0)
            return v;
        ini.NoteProblem(SetSection, QLatin1String(key),
                        ini.Value(SetSection, QLatin1String(key)).value_or(QString()),
                        QString::number(def));
        return def;
    };
    o.maxEquipmentConnections = positive("MaxEquipmentConnections", o.maxEquipmentConnections);
    o.maxClientConnections = positive("MaxClientConnections", o.maxClientConnections);
    o.maxWebSessions = positive("MaxWebSessions", o.maxWebSessions);
    const auto pace = [&](const char *key, int fallback, std::optional<int> &into) {
        const std::optional<QString> v = ini.Value(SetSection, QLatin1String(key));
        if (!v)
            return;
        const std::optional<int> n = ParseIniInt(v->trimmed());
        if (n && *n >= 0) {
            into = *n;
            return;
        }
        o.problems << QStringLiteral("Set.ini [Set] %1=%2 is not a whole number of 0 or more: "
                                     "%3 is used")
                          .arg(QLatin1String(key), *v)
                          .arg(fallback);
    };
    const TLinkPaces defaults;
    pace("ReceiveFramesPerTick", defaults.receiveFramesPerTick, o.receiveFramesPerTick);
    pace("SendFramesPerTick", defaults.sendFramesPerTick, o.sendFramesPerTick);
    pace("ReplyEntryPauseMs", int(defaults.replyPerEntry.count()), o.replyEntryPauseMs);
    o.metricsPort = ReadPort(ini, SetSection, QStringLiteral("MetricsPort"), 0);
    const QString listenKey = QStringLiteral("MetricsListen");
    if (auto v = ini.Value(SetSection, listenKey); v && !v->isEmpty()) {
        QHostAddress address;
        if (address.setAddress(*v) && address.protocol() == QAbstractSocket::IPv4Protocol)
            o.metricsListen = address.toString();
        else
            ini.NoteProblem(SetSection, listenKey, *v, o.metricsListen);
    }
    if (auto v = ini.Value(SetSection, QStringLiteral("DataBaseListen"));
        v && !v->trimmed().isEmpty())
        o.dataBaseListen = v->trimmed();
    if (auto v = ini.TextValue(SetSection, QStringLiteral("DataBaseToken"), true); v)
        o.dataBaseToken = *v;
    o.webPort = ReadPort(ini, SetSection, QStringLiteral("WebPort"), o.webPort);
    // Any address is taken as written: the web console says at start what
    // is wrong with it (not IPv4, beyond loopback without TLS).
    if (auto v = ini.Value(SetSection, QStringLiteral("WebListen")); v && !v->trimmed().isEmpty())
        o.webListen = v->trimmed();
    if (auto v = ini.Value(SetSection, QStringLiteral("WebCertFile")); v)
        o.webCertFile = v->trimmed();
    if (auto v = ini.Value(SetSection, QStringLiteral("WebKeyFile")); v)
        o.webKeyFile = v->trimmed();
    const QString clusterSection = QStringLiteral("Cluster");
    const QString acceptProxyKey = QStringLiteral("AcceptProxy");
    if (auto v = ini.Value(clusterSection, acceptProxyKey); v && !v->trimmed().isEmpty()) {
        const std::optional<int> n = ParseIniInt(v->trimmed());
        if (n && (*n == 0 || *n == 1))
            o.acceptProxy = *n == 1;
        else
            ini.NoteProblem(clusterSection, acceptProxyKey, *v, QStringLiteral("0"));
    }
    return o;
}

TLinkPaces ApplyPaceOptions(TLinkPaces paces, const ExtraOptions &options) {
    if (options.receiveFramesPerTick)
        paces.receiveFramesPerTick = *options.receiveFramesPerTick;
    if (options.sendFramesPerTick)
        paces.sendFramesPerTick = *options.sendFramesPerTick;
    if (options.replyEntryPauseMs)
        paces.replyPerEntry = std::chrono::milliseconds(*options.replyEntryPauseMs);
    return paces;
}

TClusterSettings ReadClusterSettings(const IniFile &ini) {
    const QString section = QStringLiteral("Cluster");
    TClusterSettings c;
    if (auto v = ini.TextValue(section, QStringLiteral("NodeName")); v) {
        const QString name = v->trimmed();
        // The name goes into log lines, metric labels and a table row: plain
        // letters, digits, '.', '_' and '-', at most 64 of them.
        static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9._-]{1,64}$"));
        if (name.isEmpty() || plain.match(name).hasMatch())
            c.nodeName = name;
        else
            ini.NoteProblem(section, QStringLiteral("NodeName"), *v,
                            QStringLiteral("none (a standalone server)"));
    }
    if (auto v = ini.Value(section, QStringLiteral("LockKey")); v && !v->trimmed().isEmpty()) {
        bool ok = false;
        const qlonglong key = v->trimmed().toLongLong(&ok, 10);
        if (ok)
            c.lockKey = key;
        else
            ini.NoteProblem(section, QStringLiteral("LockKey"), *v, QString::number(c.lockKey));
    }
    // Seconds, fractions allowed (tests shorten every pace), within limits
    // that keep the election meaningful.
    const auto seconds = [&](const char *key, std::chrono::milliseconds &into, double least,
                             double most) {
        const std::optional<QString> v = ini.Value(section, QLatin1String(key));
        if (!v || v->trimmed().isEmpty())
            return;
        bool ok = false;
        const double s = v->trimmed().toDouble(&ok);
        if (ok && s >= least && s <= most) {
            into = std::chrono::milliseconds(qRound64(s * 1000));
            return;
        }
        ini.NoteProblem(section, QLatin1String(key), *v,
                        QString::number(std::chrono::duration<double>(into).count()));
    };
    seconds("HangTimeout", c.hangTimeout, 0.2, 3600);
    seconds("TakeoverDelay", c.takeoverDelay, 0, 3600);
    seconds("DbLossGrace", c.dbLossGrace, 0.2, 3600);
    if (auto v = ini.Value(section, QStringLiteral("AcceptProxy")); v && !v->trimmed().isEmpty()) {
        const QString t = v->trimmed();
        if (t == QLatin1String("0") || t == QLatin1String("1"))
            c.acceptProxy = t == QLatin1String("1");
        else
            ini.NoteProblem(section, QStringLiteral("AcceptProxy"), *v, QStringLiteral("0"));
    }
    return c;
}

QString ClusterRefusal(const TClusterSettings &settings, const DbTarget &target) {
    if (!settings.Enabled() || target.type == 3)
        return {};
    const QString why =
        target.type == 1
            ? QStringLiteral("the home folder holds the SQLite file %1").arg(target.databaseName)
            : QStringLiteral("the database is SQL Server");
    return QStringLiteral("Cluster mode ([Cluster] NodeName=%1) runs only on PostgreSQL, but %2: "
                          "set [Database] Driver=QPSQL (and move MonitorData.db away), or "
                          "remove NodeName to run standalone.")
        .arg(settings.nodeName, why);
}

DbTarget ChooseDatabase(const QString &home, const IniFile &ini) {
    DbTarget t;
    const QString file = QDir(home).filePath(QStringLiteral("MonitorData.db"));
    if (QFileInfo::exists(file)) {
        t.type = 1;
        t.driver = QStringLiteral("QSQLITE");
        t.databaseName = file;
        return t;
    }
    auto value = [&](const char *key, const QString &def) {
        const QLatin1String name(key);
        const bool secret =
            name == QLatin1String("Password") || name == QLatin1String("ConnectionString");
        const std::optional<QString> v = ini.TextValue(DbSection, name, secret);
        return v && !v->isEmpty() ? *v : def;
    };
    const std::optional<QString> driverValue = ini.Value(DbSection, QStringLiteral("Driver"));
    const QString driverText =
        driverValue && !driverValue->isEmpty() ? *driverValue : QStringLiteral("QODBC");
    const QString driver = driverText.toUpper();
    if (driver != QLatin1String("QPSQL") && driver != QLatin1String("QODBC"))
        ini.NoteProblem(DbSection, QStringLiteral("Driver"), driverText, QStringLiteral("QODBC"));
    if (driver == QLatin1String("QPSQL")) {
        t.type = 3;
        t.driver = QStringLiteral("QPSQL");
        t.host = value("Host", QStringLiteral("127.0.0.1"));
        t.port = ReadPort(ini, DbSection, QStringLiteral("Port"), 5432);
        t.databaseName = value("Name", QStringLiteral("MonitorData"));
        t.user = value("User", QStringLiteral("postgres"));
        t.password = value("Password", QString());
        return t;
    }
    // SQL Server through ODBC: the local default instance, catalogue
    // MonitorData, user sa, as the server has always connected.
    t.type = 2;
    t.driver = QStringLiteral("QODBC");
    const QString odbcDriver = value("OdbcDriver", QStringLiteral("ODBC Driver 18 for SQL Server"));
    const QString server = value("Host", QStringLiteral("localhost"));
    const QString name = value("Name", QStringLiteral("MonitorData"));
    const QString user = value("User", QStringLiteral("sa"));
    const QString password = value("Password", QStringLiteral("vakt"));
    t.databaseName =
        value("ConnectionString", QStringLiteral("DRIVER={%1};SERVER=%2;DATABASE=%3;UID=%4;PWD=%5;"
                                                 "TrustServerCertificate=yes;")
                                      .arg(odbcDriver, server, name, user, password));
    return t;
}

QString ServerVersion() {
    return QLatin1String(MMS_VERSION);
}

QString DescribeDatabase(const DbTarget &target) {
    switch (target.type) {
    case 1:
        return QStringLiteral("SQLite ") + target.databaseName;
    case 3:
        return QStringLiteral("PostgreSQL %1@%2:%3/%4")
            .arg(target.user, target.host, QString::number(target.port), target.databaseName);
    default: {
        // The ODBC connection string without its password.
        QStringList kept;
        for (const QString &part :
             target.databaseName.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
            const QString name = part.section(QLatin1Char('='), 0, 0).trimmed();
            if (name.compare(QLatin1String("PWD"), Qt::CaseInsensitive) != 0 &&
                name.compare(QLatin1String("Password"), Qt::CaseInsensitive) != 0)
                kept << part;
        }
        return QStringLiteral("SQL Server (ODBC) ") + kept.join(QLatin1Char(';'));
    }
    }
}

QString StartupLine(const std::vector<TListenPoint> &listens, const DbTarget &target) {
    QStringList parts;
    for (const TListenPoint &l : listens)
        parts << (l.address.isEmpty()
                      ? QStringLiteral("%1 port %2 not served").arg(l.name).arg(l.port)
                      : QStringLiteral("%1 %2:%3").arg(l.name, l.address).arg(l.port));
    parts << QStringLiteral("database ") + DescribeDatabase(target);
    return QStringLiteral("mms-server %1: ").arg(ServerVersion()) +
           parts.join(QStringLiteral(", "));
}

void SplitEmailPassword(const QString &value) {
    // Positions are 1-based, 0 when absent; a copy of a count of 0 or less is
    // empty.
    const auto pos = [&](QChar c) { return static_cast<int>(value.indexOf(c)) + 1; };
    const int p1 = pos(QLatin1Char('*'));
    const int p2 = pos(QLatin1Char('^'));
    const int p3 = pos(QLatin1Char('&'));
    const auto copy = [&](int from1, int count) {
        if (count <= 0 || from1 < 1)
            return QString();
        return value.mid(from1 - 1, count);
    };
    EmailSmtpHost = copy(1, p1 - 1);
    EmailEncryptType = copy(p1 + 1, p2 - p1 - 1);
    EmailSendUserName = copy(p2 + 1, p3 - p2 - 1);
    EmailSendPassword = StripControls(value.mid(p3));
}

void ApplyNormalParam(const SettingItems &rows) {
    HandPackFlagNumber = 0;
    CirclePackFlagNumber = 0x6000;
    NowCircleDay = QDateTime();
    for (const auto &[item, value] : rows) {
        if (item == QLatin1String("SoftWareNameChinese"))
            SoftWareNameChinese = value;
        else if (item == QLatin1String("SoftWareNameEnglish"))
            SoftWareNameEnglish = value;
        else if (item == QLatin1String("SoftWareVerNumber"))
            SoftWareVerNumber = value;
        else if (item == QLatin1String("CompanyHintCaption"))
            CompanyHintCaption = value;
        else if (item == QLatin1String("HandPackFlagNumber"))
            HandPackFlagNumber = ReadInteger(item, value);
        else if (item == QLatin1String("CirclePackFlagNumber"))
            CirclePackFlagNumber = ReadInteger(item, value);
        else if (item == QLatin1String("CircleNowDay"))
            NowCircleDay = ReadDateTime(item, value);
        else if (item == QLatin1String("MaxPackageLen"))
            MaxPackageLen = ReadInteger(item, value);
        else if (item == QLatin1String("RegisterEmptyEquipmentHour"))
            RegisterEmptyEquipmentHour = ReadInteger(item, value);
        else if (item == QLatin1String("EmailPassword"))
            SplitEmailPassword(value);
        else if (item == QLatin1String("ShowInfoHint"))
            ShowInfoHint = (value == QLatin1String("1"));
    }
}

void SaveHandPackageCount(TdmNet &db) {
    TNormalParamTable(db).Update(
        {{QStringLiteral("HandPackFlagNumber"), QString::number(HandPackFlagNumber.load())},
         {QStringLiteral("CirclePackFlagNumber"), QString::number(CirclePackFlagNumber.load())}},
        true);
}

void CheckDateSetTimeFormat() {
    const QLocale locale = QLocale::system();
    const QString fromEnv = qEnvironmentVariable("MMS_SHORT_DATE");
    sysShortDate = fromEnv.isEmpty() ? locale.dateFormat(QLocale::ShortFormat) : fromEnv;
    sysLongDate = locale.dateFormat(QLocale::LongFormat);
    sysTimeFormat = locale.timeFormat(QLocale::LongFormat);
}
