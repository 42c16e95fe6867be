// Set.ini reading and writing, the database choice and the NormalParam rules.
#include "Configuration.h"
#include "PublicU.h"
#include "TestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

#include <csignal>

#include <sys/resource.h>

namespace {

IniFile IniWith(const mmstest::TestHome &home, const QByteArray &content) {
    home.WriteFile(QStringLiteral("Set.ini"), content);
    return IniFile(home.File(QStringLiteral("Set.ini")));
}

struct PortCase {
    const char *name;
    QByteArray content;
    int device, database, client;
};

TEST(SetIni, PortsAcceptDecimalAndHexAndFallBackToDefaults) {
    const PortCase cases[] = {
        {"no file", QByteArray(), 5210, 5211, 5212},
        {"all three",
         "[Set]\r\nDeviceConnectPort=6000\r\nDataBasePort=6001\r\nClientConnectPort=6002\r\n", 6000,
         6001, 6002},
        {"hex", "[Set]\nDeviceConnectPort=0x1770\nClientConnectPort=0X1771\n", 6000, 5211, 6001},
        {"case of section and keys", "[set]\ndeviceconnectport = 7000\n", 7000, 5211, 5212},
        {"not integers", "[Set]\nDeviceConnectPort=abc\nDataBasePort=12.5\nClientConnectPort=0x\n",
         5210, 5211, 5212},
        {"key in another section", "[Other]\nDeviceConnectPort=7000\n[Set]\n", 5210, 5211, 5212},
        {"garbage", QByteArray("\x00\xff[[[=\n==\n[Set\nDeviceConnectPort=7001\n", 38), 7001, 5211,
         5212},
        {"out of int range", "[Set]\nDeviceConnectPort=99999999999\n", 5210, 5211, 5212},
    };
    for (const PortCase &c : cases) {
        mmstest::TestHome home;
        if (!c.content.isNull())
            home.WriteFile(QStringLiteral("Set.ini"), c.content);
        IniFile ini(home.File(QStringLiteral("Set.ini")));
        ReadPorts(ini);
        EXPECT_EQ(DeviceConnectPort, c.device) << c.name;
        EXPECT_EQ(DataBasePort, c.database) << c.name;
        EXPECT_EQ(ClientConnectPort, c.client) << c.name;
    }
}

struct PaceCase {
    const char *name;
    QByteArray content;
    int receive, send, replyPauseMs; // the paces that result
    int problems;                    // red lines
};

TEST(SetIni, PacesForLargeFleetsFallBackWithAProblemLine) {
    const PaceCase cases[] = {
        {"absent: the link's defaults", "[Set]\n", 1, 1, 250, 0},
        {"all waiting, no pause",
         "[Set]\nReceiveFramesPerTick=0\nSendFramesPerTick=0\nReplyEntryPauseMs=0\n", 0, 0, 0, 0},
        {"numbers and hex", "[Set]\nReceiveFramesPerTick=20\nSendFramesPerTick=0x4\n", 20, 4, 250,
         0},
        {"unreadable values",
         "[Set]\nReceiveFramesPerTick=-1\nSendFramesPerTick=many\nReplyEntryPauseMs=\n", 1, 1, 250,
         3},
        {"one bad, one good", "[Set]\nReceiveFramesPerTick=2.5\nReplyEntryPauseMs=100\n", 1, 1, 100,
         1},
    };
    for (const PaceCase &c : cases) {
        mmstest::TestHome home;
        const ExtraOptions options = ReadExtraOptions(IniWith(home, c.content));
        TLinkPaces base;
        base.replyPerEntry = std::chrono::milliseconds(250);
        const TLinkPaces paces = ApplyPaceOptions(base, options);
        EXPECT_EQ(paces.receiveFramesPerTick, c.receive) << c.name;
        EXPECT_EQ(paces.sendFramesPerTick, c.send) << c.name;
        EXPECT_EQ(paces.replyPerEntry.count(), c.replyPauseMs) << c.name;
        EXPECT_EQ(options.problems.size(), c.problems) << c.name;
    }
    mmstest::TestHome home;
    const ExtraOptions bad = ReadExtraOptions(IniWith(home, "[Set]\nSendFramesPerTick=many\n"));
    EXPECT_EQ(bad.problems,
              QStringList{"Set.ini [Set] SendFramesPerTick=many is not a whole number of 0 or "
                          "more: 1 is used"});
}

TEST(SetIni, WritingPortsKeepsOtherContentAndAddsMissingKeys) {
    mmstest::TestHome home;
    IniFile ini =
        IniWith(home, "; operator notes\n[Database]\nDriver=QPSQL\n[Set]\nDataBasePort=0x1000\n");
    ReadPorts(ini);
    ASSERT_TRUE(WritePorts(ini));
    IniFile again(home.File(QStringLiteral("Set.ini")));
    EXPECT_EQ(again.Value(QStringLiteral("Database"), QStringLiteral("Driver")),
              QStringLiteral("QPSQL"));
    EXPECT_EQ(again.Value(QStringLiteral("Set"), QStringLiteral("DeviceConnectPort")),
              QStringLiteral("5210"));
    EXPECT_EQ(again.Value(QStringLiteral("Set"), QStringLiteral("DataBasePort")),
              QStringLiteral("4096"));
    EXPECT_EQ(again.Value(QStringLiteral("Set"), QStringLiteral("ClientConnectPort")),
              QStringLiteral("5212"));
    QFile f(home.File(QStringLiteral("Set.ini")));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(f.readAll().startsWith("; operator notes\r\n"));
}

// A write that cannot go through whole (here a file size limit; a full disk
// alike) leaves Set.ini as it was, instead of an empty or cut file.
TEST(SetIni, AFailedWriteKeepsTheOldFile) {
    mmstest::TestHome home;
    const QByteArray before = "[Set]\nDeviceConnectPort=56201\n";
    IniFile ini = IniWith(home, before);
    ini.SetValue(QStringLiteral("Set"), QStringLiteral("Notes"), QString(4096, u'x'));
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto savedSignal = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 100;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool written = ini.Save();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, savedSignal);
    EXPECT_FALSE(written);
    QFile f(home.File(QStringLiteral("Set.ini")));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), before);
}

struct ProblemCase {
    const char *name;
    QByteArray content;
    std::vector<TIniProblem> expected; // section, key, text found, value used
};

TEST(SetIni, UnreadableValuesAreReportedWithWhatIsUsedInstead) {
    const QString caStore = QStringLiteral("the system's CA store");
    const ProblemCase cases[] = {
        {"readable values say nothing",
         "[Set]\nDeviceConnectPort=0x1770\nDataBasePort=0\nClientConnectPort=65535\n"
         "CodePage=UTF-8\nEmailCaFile=\nMetricsPort=9100\nMetricsListen=0.0.0.0\n"
         "WebPort=0\nWebListen=10.0.0.1\nMaxWebSessions=4\n"
         "; a comment line\n[Database]\nDriver=qpsql\nPort=6543\n[Cluster]\nAcceptProxy=1\n",
         {}},
        {"comment after a port",
         "[Set]\nDeviceConnectPort=5300     ; equipment units\n",
         {{"Set", "DeviceConnectPort", "5300     ; equipment units", "5210"}}},
        {"ports no TCP port has",
         "[Set]\nDataBasePort=70000\nClientConnectPort=-1\nDeviceConnectPort=port\n",
         {{"Set", "DeviceConnectPort", "port", "5210"},
          {"Set", "DataBasePort", "70000", "5211"},
          {"Set", "ClientConnectPort", "-1", "5212"}}},
        {"unknown code page and one with a comment",
         "[Set]\nCodePage=GB18030 ; client text\n",
         {{"Set", "CodePage", "GB18030 ; client text", "GB18030"}}},
        {"CA file that is a comment",
         "[Set]\nEmailCaFile=   ; optional CA bundle\n",
         {{"Set", "EmailCaFile", "; optional CA bundle", caStore}}},
        {"CA file that is not there",
         "[Set]\nEmailCaFile=/nonexistent/ca.pem\n",
         {{"Set", "EmailCaFile", "/nonexistent/ca.pem", caStore}}},
        {"driver with a comment still means SQL Server",
         "[Database]\nDriver=QPSQL ; PostgreSQL\n",
         {{"Database", "Driver", "QPSQL ; PostgreSQL", "QODBC"}}},
        {"database port",
         "[Database]\nDriver=QPSQL\nPort=5432 ; server\n",
         {{"Database", "Port", "5432 ; server", "5432"}}},
        {"metrics port and address",
         "[Set]\nMetricsPort=70000\nMetricsListen=localhost\n",
         {{"Set", "MetricsPort", "70000", "0"},
          {"Set", "MetricsListen", "localhost", "127.0.0.1"}}},
        {"web port and session cap",
         "[Set]\nWebPort=99999\nMaxWebSessions=0\n",
         {{"Set", "MaxWebSessions", "0", "32"}, {"Set", "WebPort", "99999", "5213"}}},
        {"connection cap below one",
         "[Set]\nMaxClientConnections=0\n",
         {{"Set", "MaxClientConnections", "0", "2000"}}},
        {"a comment after a text value is part of it, and a secret is not repeated",
         "[Set]\nDataBaseToken=   ; when set, clients log in\n[Database]\nDriver=QPSQL\n"
         "User=mms #role\nPassword=pw ; x\nHost=db;1\n",
         {{"Set", "DataBaseToken", "26 characters, not shown", "26 characters, not shown"},
          {"Database", "User", "mms #role", "mms #role"},
          {"Database", "Password", "6 characters, not shown", "6 characters, not shown"}}},
        {"accept proxy other than 0 or 1",
         "[Cluster]\nAcceptProxy=yes\n",
         {{"Cluster", "AcceptProxy", "yes", "0"}}},
        {"metrics address that is not IPv4",
         "[Set]\nMetricsListen=::1\n",
         {{"Set", "MetricsListen", "::1", "127.0.0.1"}}},
    };
    for (const ProblemCase &c : cases) {
        mmstest::TestHome home;
        IniFile ini = IniWith(home, c.content);
        ReadPorts(ini);
        ReadExtraOptions(ini);
        ChooseDatabase(home.Path(), ini);
        // Reading again reports nothing twice.
        ReadPorts(ini);
        const std::vector<TIniProblem> &got = ini.Problems();
        ASSERT_EQ(got.size(), c.expected.size()) << c.name;
        for (std::size_t i = 0; i < got.size(); ++i) {
            const auto text = [](const TIniProblem &p) {
                return QStringList{p.section, p.key, p.found, p.used}
                    .join(QLatin1Char('|'))
                    .toStdString();
            };
            EXPECT_EQ(text(got[i]), text(c.expected[i])) << c.name;
        }
    }
}

TEST(SetIni, UnreadableValuesKeepTheirMeaning) {
    mmstest::TestHome home;
    IniFile ini = IniWith(home, "[Set]\nDeviceConnectPort=5300 ; units\nCodePage=NOPE\n"
                                "EmailCaFile=/nonexistent\n[Database]\nDriver=QPSQL ; pg\n");
    ReadPorts(ini);
    EXPECT_EQ(DeviceConnectPort, 5210);
    const ExtraOptions extra = ReadExtraOptions(ini);
    EXPECT_EQ(extra.codePage, QStringLiteral("GB18030"));
    EXPECT_TRUE(extra.emailCaFile.isEmpty());
    EXPECT_EQ(ChooseDatabase(home.Path(), ini).type, 2);
    EXPECT_EQ(DescribeIniProblem(ini.Problems().front()),
              QStringLiteral("Set.ini [Set] DeviceConnectPort: \"5300 ; units\" cannot be read; "
                             "using 5210 (a \"; comment\" belongs on a line of its own)"));
    EXPECT_EQ(DescribeIniProblem(ini.Problems()[1]),
              QStringLiteral("Set.ini [Set] CodePage: \"NOPE\" cannot be read; using GB18030"));
    IniFile token = IniWith(home, "[Set]\nDataBaseToken=abc # mine\n");
    EXPECT_EQ(ReadExtraOptions(token).dataBaseToken, QStringLiteral("abc # mine"));
    EXPECT_EQ(DescribeIniProblem(token.Problems().front()),
              QStringLiteral("Set.ini [Set] DataBaseToken: \"10 characters, not shown\" is used "
                             "as it stands, \" ;\" or \" #\" and all after it included (a "
                             "comment belongs on a line of its own)"));
    // A fresh read of the file starts a fresh list.
    ini.Load();
    EXPECT_TRUE(ini.Problems().empty());
}

TEST(SetIni, WebConsoleSettingsAndTheirDefaults) {
    mmstest::TestHome home;
    const ExtraOptions defaults = ReadExtraOptions(IniWith(home, "[Set]\n"));
    EXPECT_EQ(defaults.webPort, 5213);
    EXPECT_EQ(defaults.webListen, QStringLiteral("127.0.0.1"));
    EXPECT_TRUE(defaults.webCertFile.isEmpty() && defaults.webKeyFile.isEmpty());
    EXPECT_EQ(defaults.maxWebSessions, 32);
    const ExtraOptions set = ReadExtraOptions(
        IniWith(home, "[Set]\nWebPort=8443\nWebListen= 0.0.0.0 \nWebCertFile=/etc/mms/cert.pem\n"
                      "WebKeyFile=/etc/mms/key.pem\nMaxWebSessions=5\n"));
    EXPECT_EQ(set.webPort, 8443);
    // Checked when the console starts, where a refusal is said.
    EXPECT_EQ(set.webListen, QStringLiteral("0.0.0.0"));
    EXPECT_EQ(set.webCertFile, QStringLiteral("/etc/mms/cert.pem"));
    EXPECT_EQ(set.webKeyFile, QStringLiteral("/etc/mms/key.pem"));
    EXPECT_EQ(set.maxWebSessions, 5);
}

TEST(SetIni, AcceptProxyIsOnOnlyWhenSetToOne) {
    mmstest::TestHome home;
    const std::pair<const char *, bool> cases[] = {
        {"[Set]\n", false},
        {"[Cluster]\nAcceptProxy=1\n", true},
        {"[Cluster]\nAcceptProxy= 1 \n", true},
        {"[Cluster]\nAcceptProxy=0\n", false},
        {"[Cluster]\nAcceptProxy=2\n", false},
        {"[Cluster]\nAcceptProxy=on\n", false},
        {"[Set]\nAcceptProxy=1\n", false}, // only [Cluster] has it
    };
    for (const auto &[content, on] : cases)
        EXPECT_EQ(ReadExtraOptions(IniWith(home, content)).acceptProxy, on) << content;
}

TEST(StartupLine, NamesVersionPortsAndTheDatabaseWithoutPassword) {
    DbTarget sqlite;
    sqlite.type = 1;
    sqlite.databaseName = QStringLiteral("/var/lib/mms-server/MonitorData.db");
    EXPECT_EQ(StartupLine({{QStringLiteral("equipment"), QStringLiteral("0.0.0.0"), 5210},
                           {QStringLiteral("remote data"), QString(), 5211}},
                          sqlite),
              QStringLiteral("mms-server %1: equipment 0.0.0.0:5210, remote data port 5211 not "
                             "served, database SQLite /var/lib/mms-server/MonitorData.db")
                  .arg(ServerVersion()));
    DbTarget pg;
    pg.type = 3;
    pg.host = QStringLiteral("db.local");
    pg.port = 6543;
    pg.databaseName = QStringLiteral("mms");
    pg.user = QStringLiteral("u");
    pg.password = QStringLiteral("secret");
    EXPECT_EQ(DescribeDatabase(pg), QStringLiteral("PostgreSQL u@db.local:6543/mms"));
    DbTarget odbc;
    odbc.type = 2;
    odbc.databaseName = QStringLiteral("DRIVER={x};SERVER=h;UID=sa;PWD=secret;password=s2;");
    EXPECT_EQ(DescribeDatabase(odbc),
              QStringLiteral("SQL Server (ODBC) DRIVER={x};SERVER=h;UID=sa"));
}

TEST(DatabaseChoice, FileFirstThenServerDatabaseOfSetIni) {
    mmstest::TestHome home;
    IniFile none = IniWith(home, "");
    DbTarget t = ChooseDatabase(home.Path(), none);
    EXPECT_EQ(t.type, 2);
    EXPECT_EQ(t.driver, QStringLiteral("QODBC"));
    EXPECT_TRUE(t.databaseName.contains(QStringLiteral("DATABASE=MonitorData")));
    EXPECT_TRUE(t.databaseName.contains(QStringLiteral("UID=sa")));

    IniFile pg = IniWith(
        home, "[Database]\nDriver=QPSQL\nHost=db.local\nPort=6543\nName=mms\nUser=u\nPassword=p\n");
    t = ChooseDatabase(home.Path(), pg);
    EXPECT_EQ(t.type, 3);
    EXPECT_EQ(t.host, QStringLiteral("db.local"));
    EXPECT_EQ(t.port, 6543);
    EXPECT_EQ(t.databaseName, QStringLiteral("mms"));

    home.WriteFile(QStringLiteral("MonitorData.db"), "");
    t = ChooseDatabase(home.Path(), pg); // the file wins even when a server is configured
    EXPECT_EQ(t.type, 1);
    EXPECT_EQ(t.driver, QStringLiteral("QSQLITE"));
    EXPECT_EQ(t.databaseName, home.File(QStringLiteral("MonitorData.db")));
}

TEST(NormalParam, LastRowWinsDefaultsApplyAndFlagsParse) {
    ApplyNormalParam({{QStringLiteral("SoftWareVerNumber"), QStringLiteral("V1")},
                      {QStringLiteral("SoftWareVerNumber"), QStringLiteral("V2.0")},
                      {QStringLiteral("MaxPackageLen"), QStringLiteral(" 2049 ")},
                      {QStringLiteral("UnknownKey"), QStringLiteral("x")},
                      {QStringLiteral("ShowInfoHint"), QStringLiteral("1")}});
    EXPECT_EQ(SoftWareVerNumber, QStringLiteral("V2.0"));
    EXPECT_EQ(MaxPackageLen, 2049);
    EXPECT_EQ(HandPackFlagNumber, 0);
    EXPECT_EQ(CirclePackFlagNumber, 0x6000);
    EXPECT_TRUE(ShowInfoHint);

    for (const char *off : {"0", "true", "", " 1"}) {
        ApplyNormalParam({{QStringLiteral("ShowInfoHint"), QString::fromLatin1(off)}});
        EXPECT_FALSE(ShowInfoHint) << off;
    }

    ApplyNormalParam({{QStringLiteral("HandPackFlagNumber"), QStringLiteral("24575")},
                      {QStringLiteral("CirclePackFlagNumber"), QStringLiteral("30000")}});
    EXPECT_EQ(HandPackFlagNumber, 24575);
    EXPECT_EQ(CirclePackFlagNumber, 30000);
}

TEST(NormalParam, UnreadableValuesAreErrors) {
    const char *keys[] = {"HandPackFlagNumber", "CirclePackFlagNumber", "MaxPackageLen",
                          "RegisterEmptyEquipmentHour", "CircleNowDay"};
    for (const char *key : keys)
        for (const char *value : {"abc", "", "12x"})
            EXPECT_THROW(ApplyNormalParam({{QString::fromLatin1(key), QString::fromLatin1(value)}}),
                         SettingError)
                << key << "=" << value;
    sysShortDate = QStringLiteral("yyyy-MM-dd");
    EXPECT_NO_THROW(ApplyNormalParam(
        {{QStringLiteral("CircleNowDay"), QStringLiteral("2024-03-01 10:00:00")}}));
    EXPECT_EQ(NowCircleDay, QDateTime(QDate(2024, 3, 1), QTime(10, 0)));
}

struct EmailCase {
    const char *value;
    const char *host, *mode, *user, *password;
};

TEST(NormalParam, EmailPasswordSplit) {
    const EmailCase cases[] = {
        {"smtp.example.net*SSL^alerts@example.net&secret", "smtp.example.net", "SSL",
         "alerts@example.net", "secret"},
        {"mail.host*TLS^user&pa&ss^w*rd", "mail.host", "TLS", "user", "pa&ss^w*rd"},
        {"mail.host*Auto^user&  secret \t", "mail.host", "Auto", "user", "secret"},
        {"", "", "", "", ""},
        // Without an "&" the password is everything after position 0: the
        // whole value, as the stored form has always been read.
        {"hostonly", "", "", "", "hostonly"},
        {"host*SSL", "host", "", "", "host*SSL"},
        {"host*SSL^user", "host", "SSL", "", "host*SSL^user"},
    };
    for (const EmailCase &c : cases) {
        ApplyNormalParam({{QStringLiteral("EmailPassword"), QString::fromLatin1(c.value)}});
        EXPECT_EQ(EmailSmtpHost, QLatin1String(c.host)) << c.value;
        EXPECT_EQ(EmailEncryptType, QLatin1String(c.mode)) << c.value;
        EXPECT_EQ(EmailSendUserName, QLatin1String(c.user)) << c.value;
        EXPECT_EQ(EmailSendPassword, QLatin1String(c.password)) << c.value;
    }
}

} // namespace

namespace {

struct ClusterCase {
    const char *name;
    QByteArray content;
    QString node;
    std::int64_t lockKey;
    int hangMs, takeoverMs, graceMs;
    bool proxy;
    int problems;
};

} // namespace

TEST(SetIni, ClusterSection) {
    using C = ClusterCase;
    const C cases[] = {
        {"absent: standalone with the defaults", "", "", 5210, 5000, 10000, 10000, false, 0},
        {"every key",
         "[Cluster]\nNodeName=node-a\nLockKey=-77\nHangTimeout=1.5\n"
         "TakeoverDelay=3\nDbLossGrace=2.25\nAcceptProxy=1\n",
         "node-a", -77, 1500, 3000, 2250, true, 0},
        {"case and blanks", "[cluster]\nnodename =  n_1.x \nacceptproxy= 0\n", "n_1.x", 5210, 5000,
         10000, 10000, false, 0},
        {"AcceptProxy alone (standalone)", "[Cluster]\nAcceptProxy=1\n", "", 5210, 5000, 10000,
         10000, true, 0},
        {"a name that is no plain name", "[Cluster]\nNodeName=a b;c\n", "", 5210, 5000, 10000,
         10000, false, 1},
        {"unreadable values keep the defaults",
         "[Cluster]\nNodeName=n\nLockKey=12x\nHangTimeout=fast\nTakeoverDelay=-1\n"
         "DbLossGrace=0\nAcceptProxy=yes\n",
         "n", 5210, 5000, 10000, 10000, false, 5},
        {"a hang timeout too short to mean anything", "[Cluster]\nNodeName=n\nHangTimeout=0.01\n",
         "n", 5210, 5000, 10000, 10000, false, 1},
        {"no delay is a valid delay", "[Cluster]\nNodeName=n\nTakeoverDelay=0\n", "n", 5210, 5000,
         0, 10000, false, 0},
        {"64-bit lock key", "[Cluster]\nNodeName=n\nLockKey=9007199254740993\n", "n",
         9007199254740993LL, 5000, 10000, 10000, false, 0},
    };
    for (const C &c : cases) {
        mmstest::TestHome home;
        const IniFile ini = IniWith(home, c.content);
        const TClusterSettings s = ReadClusterSettings(ini);
        EXPECT_EQ(s.nodeName, c.node) << c.name;
        EXPECT_EQ(s.Enabled(), !c.node.isEmpty()) << c.name;
        EXPECT_EQ(s.lockKey, c.lockKey) << c.name;
        EXPECT_EQ(s.hangTimeout.count(), c.hangMs) << c.name;
        EXPECT_EQ(s.takeoverDelay.count(), c.takeoverMs) << c.name;
        EXPECT_EQ(s.dbLossGrace.count(), c.graceMs) << c.name;
        EXPECT_EQ(s.acceptProxy, c.proxy) << c.name;
        EXPECT_EQ(int(ini.Problems().size()), c.problems) << c.name;
        // The paces stay well inside the hang timeout.
        EXPECT_LT(s.TryPace(), s.hangTimeout) << c.name;
        EXPECT_LT(s.TickPace(), s.hangTimeout) << c.name;
    }
}

TEST(SetIni, ClusterModeRunsOnlyOnPostgreSql) {
    TClusterSettings node;
    node.nodeName = QStringLiteral("n1");
    DbTarget target;
    for (quint8 type : {quint8(1), quint8(2), quint8(3)}) {
        target.type = type;
        target.databaseName = QStringLiteral("/home/x/MonitorData.db");
        const QString refusal = ClusterRefusal(node, target);
        EXPECT_EQ(refusal.isEmpty(), type == 3) << int(type);
        if (type == 1)
            EXPECT_TRUE(refusal.contains(QStringLiteral("MonitorData.db")))
                << refusal.toStdString();
        EXPECT_TRUE(ClusterRefusal(TClusterSettings{}, target).isEmpty()) << int(type);
    }
}
