// The database scripts: statement splitting, the compiled-in resources, the
// schema of every kind (tables, column orders for positional inserts), the
// shipped dictionary rows and the creation of the SQLite file.
#include "AlarmOutbox.h"
#include "StoreTestDb.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSqlRecord>

#include <gmock/gmock.h>

#include <map>
#include <set>

using storetest::BothKinds;
using testing::ElementsAreArray;
using testing::HasSubstr;

namespace {

// Every table with its columns in their declared order.
const std::map<QString, QStringList> &ExpectedTables() {
    static const std::map<QString, QStringList> tables = {
        {"NormalParam", {"SetItem", "SetValue"}},
        {"ParamProperty", {"ParamType", "ParamUnit", "CanSet", "Len", "ParamCode", "Name"}},
        {"MapCommFlag", {"KeyNum", "Name"}},
        {"ResponseFlag", {"KeyNum", "Name"}},
        {"CommError", {"KeyNum", "Name"}},
        {"EquipmentType", {"KeyNum", "Name"}},
        {"UnitName", {"Code", "Name"}},
        {"ProportionalName", {"Code", "Name"}},
        {"CodeName", {"Code", "KeyNum", "Name"}},
        {"UserRegister",
         {"UserName", "UserPassword", "Email", "UserPhone", "RegisterTime", "LoginTime",
          "UseState"}},
        {"UserEquipment", {"UserName", "EquipmentCode", "EquipmentName", "EquipmentType"}},
        {"RecycleUserEquipment", {"UserName", "EquipmentCode", "EquipmentName", "EquipmentType"}},
        {"ParamList", {"EquipmentCode", "ListStr"}},
        {"QueryHistory",
         {"EquipmentName", "EquipmentCode", "OperateFlag", "QueryMode", "DataBody", "QueryTime",
          "ReturnTime"}},
        {"AlarmHistory", {"EquipmentCode", "DataBody", "AlarmTime"}},
        {"CommunicateLog", {"LogTime", "EquipmentCode", "DataBody"}},
    };
    return tables;
}

QStringList FieldNames(const QSqlRecord &r) {
    QStringList names;
    for (int i = 0; i < r.count(); ++i)
        names << r.fieldName(i).toLower();
    return names;
}

QStringList Lower(QStringList l) {
    for (QString &s : l)
        s = s.toLower();
    return l;
}

// Table name -> column names, as declared by a schema script.
std::map<QString, QStringList> DeclaredTables(const QString &script) {
    std::map<QString, QStringList> tables;
    static const QRegularExpression create(QStringLiteral("^create table (\\w+) \\((.*)\\)$"),
                                           QRegularExpression::DotMatchesEverythingOption |
                                               QRegularExpression::CaseInsensitiveOption);
    for (const QString &statement : SplitSqlScript(script)) {
        const auto m = create.match(statement);
        if (!m.hasMatch())
            continue;
        QStringList columns;
        for (const QString &line : m.captured(2).split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            columns << line.trimmed().section(QLatin1Char(' '), 0, 0);
        tables[m.captured(1)] = columns;
    }
    return tables;
}

std::set<QString> DeclaredIndexes(const QString &script) {
    std::set<QString> indexes;
    static const QRegularExpression create(
        QStringLiteral("^create index (\\w+) on (\\w+) \\((\\w+)\\)$"));
    for (const QString &statement : SplitSqlScript(script)) {
        const auto m = create.match(statement);
        if (m.hasMatch())
            indexes.insert(m.captured(1) + '|' + m.captured(2) + '|' + m.captured(3));
    }
    return indexes;
}

QByteArray ReadAll(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

// --- statement splitting -------------------------------------------------------

TEST(SplitSqlScript, CutsAtLineEndSemicolonsAndSkipsComments) {
    struct Case {
        const char *name;
        QString script;
        QStringList statements;
    };
    const Case cases[] = {
        {"empty", "", {}},
        {"only comments and blanks", "-- a\n\n   -- b;\n\n", {}},
        {"one per line", "select 1;\nselect 2;\n", {"select 1", "select 2"}},
        {"multi-line statement",
         "create table T (\n  A TEXT,\n  B TEXT\n);\n",
         {"create table T (\nA TEXT,\nB TEXT\n)"}},
        {"comment inside a statement",
         "create table T (\n-- the key\nA TEXT\n);",
         {"create table T (\nA TEXT\n)"}},
        {"semicolon inside a line does not cut",
         "insert into T values ('a;b');\n",
         {"insert into T values ('a;b')"}},
        {"last statement without semicolon", "select 1;\nselect 2\n", {"select 1", "select 2"}},
        {"CRLF line ends and trailing blanks",
         "select 1;  \r\nselect 2;\r\n",
         {"select 1", "select 2"}},
        {"lone semicolon", "select 1\n;\n", {"select 1\n"}},
    };
    for (const Case &c : cases) {
        QStringList got = SplitSqlScript(c.script);
        for (QString &s : got)
            s = s.trimmed();
        QStringList want = c.statements;
        for (QString &s : want)
            s = s.trimmed();
        EXPECT_EQ(got, want) << c.name;
    }
}

// --- the compiled-in scripts ----------------------------------------------------

TEST(SchemaScripts, AreCompiledIntoTheProgramAndMatchTheFilesOfTheTree) {
    const std::pair<quint8, const char *> kinds[] = {{1, "db/sqlite/schema.sql"},
                                                     {2, "db/sqlserver/schema.sql"},
                                                     {3, "db/postgresql/schema.sql"}};
    for (const auto &[kind, file] : kinds) {
        const QString script = SchemaScript(kind);
        EXPECT_FALSE(script.isEmpty()) << "kind " << int(kind);
        EXPECT_EQ(script.toUtf8(), ReadAll(QDir(mmstest::SourceDir()).filePath(file))) << file;
    }
    EXPECT_FALSE(DataScript().isEmpty());
    EXPECT_EQ(DataScript().toUtf8(), ReadAll(QDir(mmstest::SourceDir()).filePath("db/data.sql")));
    EXPECT_TRUE(SchemaScript(0).isEmpty());
    EXPECT_TRUE(SchemaScript(4).isEmpty());
}

// The SQL Server script cannot be run here; it must at least declare the same
// tables, columns (in the same order) and indexes as the two that are run.
TEST(SchemaScripts, AllKindsDeclareTheSameTablesColumnsAndIndexes) {
    std::map<QString, QStringList> expected;
    for (const auto &[table, columns] : ExpectedTables())
        expected[table.toLower()] = Lower(columns);
    std::set<QString> sqliteIndexes;
    for (quint8 kind : {1, 2, 3}) {
        std::map<QString, QStringList> declared;
        for (const auto &[table, columns] : DeclaredTables(SchemaScript(kind)))
            declared[table.toLower()] = Lower(columns);
        EXPECT_EQ(declared, expected) << "kind " << int(kind);
        const std::set<QString> indexes = DeclaredIndexes(SchemaScript(kind));
        if (kind == 1)
            sqliteIndexes = indexes;
        else {
            EXPECT_EQ(indexes, sqliteIndexes) << "kind " << int(kind);
        }
        // Every statement is a table or an index: nothing that runs elsewhere
        // than on an empty catalogue.
        for (const QString &s : SplitSqlScript(SchemaScript(kind)))
            EXPECT_TRUE(s.startsWith("create table ") || s.startsWith("create index "))
                << s.toStdString();
    }
    const std::set<QString> mustHave = {
        "IX_UserEquipment_EquipmentCode|UserEquipment|EquipmentCode",
        "IX_UserEquipment_UserName|UserEquipment|UserName",
        "IX_QueryHistory_QueryTime|QueryHistory|QueryTime",
        "IX_AlarmHistory_AlarmTime|AlarmHistory|AlarmTime"};
    for (const QString &index : mustHave)
        EXPECT_TRUE(sqliteIndexes.count(index)) << index.toStdString();
}

// The alarm outbox tables, in every kind's script, with the same columns.
TEST(SchemaScripts, AlarmOutboxScriptsDeclareTheSameTables) {
    const std::map<QString, QStringList> expected = {
        {"alarmqueue", {"queueid", "equipmentcode", "databody", "alerttime"}},
        {"alarmanalysis",
         {"equipmentcode", "paramcode", "unitposition", "paramposition", "parametername",
          "priorstatus", "laststatus", "alerttime", "emailstatus", "sumtime", "primary"}},
        {"alarmmailline",
         {"lineid", "equipmentcode", "parametername", "parameterstatus", "alerttime"}},
        {"alarmmailprogress", {"username", "lastlineid"}},
    };
    for (quint8 kind : {1, 2, 3}) {
        std::map<QString, QStringList> declared;
        for (const auto &[table, columns] : DeclaredTables(AlarmOutboxScript(kind)))
            declared[table.toLower()] = Lower(columns);
        EXPECT_EQ(declared, expected) << "kind " << int(kind);
    }
    EXPECT_TRUE(AlarmOutboxScript(0).isEmpty());
}

// --- installed schema, on SQLite and PostgreSQL ----------------------------------

class InstalledSchema : public BothKinds {};

// A database made before the outbox gets its tables at start, once; they
// then keep a queued report.
TEST_P(InstalledSchema, AlarmOutboxIsMadeWhereItIsMissing) {
    TAlarmOutbox outbox(Net());
    EXPECT_FALSE(outbox.EnsureTables());
    for (const char *table : {"AlarmQueue", "AlarmAnalysis", "AlarmMailLine", "AlarmMailProgress"})
        Net().Exec(QStringLiteral("drop table ") + QLatin1String(table));
    EXPECT_TRUE(outbox.EnsureTables());
    EXPECT_FALSE(outbox.EnsureTables());
    outbox.Queue({{0, "U1", "04010301", "2024-03-05 08:30:15"}, {0, "U2", "04010300", "t"}});
    const auto first = outbox.First();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->EquipmentCode, "U1");
    outbox.Drop(first->QueueId);
    EXPECT_EQ(outbox.First()->EquipmentCode, "U2");
}

TEST_P(InstalledSchema, EveryTableIsReadableWithItsColumnsInOrder) {
    for (const auto &[table, columns] : ExpectedTables()) {
        QSqlRecord record;
        {
            TdmNet::Session session(Net());
            QSqlQuery q(session.Connection());
            ASSERT_TRUE(q.exec("select * from " + table)) << table.toStdString();
            record = q.record();
        }
        EXPECT_EQ(FieldNames(record), Lower(columns)) << table.toStdString();
    }
}

TEST_P(InstalledSchema, NamesAreFoundByRecordLookupWhateverTheirCaseInTheDatabase) {
    const auto rows = Net().Select("select * from NormalParam where SetItem=?", {"ShowInfoHint"});
    ASSERT_EQ(rows.size(), 1u);
    // PostgreSQL reports "setitem"; the lookup by the mixed-case name works.
    EXPECT_EQ(rows[0].value("SetItem").toString(), "ShowInfoHint");
    EXPECT_EQ(rows[0].value("SETVALUE").toString(), "1");
    if (GetParam() == 3) {
        EXPECT_EQ(rows[0].fieldName(0), "setitem");
    }
}

TEST_P(InstalledSchema, PositionalInsertsLandInTheNamedColumns) {
    const SqlDialect &d = Dialect();
    const QDateTime registered(QDate(2024, 2, 29), QTime(23, 59, 58));
    const QDateTime login(QDate(2024, 3, 1), QTime(0, 0, 1));
    Net().Exec(
        "insert into UserRegister values(?,?,?,?,?,?,?)",
        {"admin01", "secret", "@", "000", d.DateTimeValue(registered), d.DateTimeValue(login), 6});
    const QDateTime asked(QDate(2024, 3, 1), QTime(8, 0, 0));
    const QDateTime answered(QDate(2024, 3, 1), QTime(8, 0, 2));
    Net().Exec("insert into QueryHistory values(?,?,?,?,?,?,?)",
               {"Tower 7", "RPT0001", "02", "General", "0401010000", d.DateTimeValue(asked),
                d.DateTimeValue(answered)});
    Net().Exec("insert into AlarmHistory values(?,?,?)",
               {"RPT0001", "04010301", d.DateTimeValue(answered)});

    auto users = Net().Select("select * from UserRegister");
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].value("UserName").toString(), "admin01");
    EXPECT_EQ(users[0].value("UserPassword").toString(), "secret");
    EXPECT_EQ(users[0].value("Email").toString(), "@");
    EXPECT_EQ(users[0].value("UserPhone").toString(), "000");
    EXPECT_EQ(d.ReadDateTime(users[0].value("RegisterTime")), registered);
    EXPECT_EQ(d.ReadDateTime(users[0].value("LoginTime")), login);
    EXPECT_EQ(users[0].value("UseState").toInt(), 6);

    auto queries = Net().Select("select * from QueryHistory");
    ASSERT_EQ(queries.size(), 1u);
    EXPECT_EQ(queries[0].value("EquipmentName").toString(), "Tower 7");
    EXPECT_EQ(queries[0].value("EquipmentCode").toString(), "RPT0001");
    EXPECT_EQ(queries[0].value("OperateFlag").toString(), "02");
    EXPECT_EQ(queries[0].value("QueryMode").toString(), "General");
    EXPECT_EQ(queries[0].value("DataBody").toString(), "0401010000");
    EXPECT_EQ(d.ReadDateTime(queries[0].value("QueryTime")), asked);
    EXPECT_EQ(d.ReadDateTime(queries[0].value("ReturnTime")), answered);

    auto alarms = Net().Select("select * from AlarmHistory");
    ASSERT_EQ(alarms.size(), 1u);
    EXPECT_EQ(alarms[0].value("EquipmentCode").toString(), "RPT0001");
    EXPECT_EQ(alarms[0].value("DataBody").toString(), "04010301");
    EXPECT_EQ(d.ReadDateTime(alarms[0].value("AlarmTime")), answered);
}

TEST_P(InstalledSchema, LongTextColumnsKeepLongValues) {
    const QString list = QString("0101").repeated(20000); // a long parameter list
    Net().Exec("insert into ParamList (EquipmentCode, ListStr) values (?, ?)", {"RPT0001", list});
    const auto rows = Net().Select("select * from ParamList where EquipmentCode=?", {"RPT0001"});
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].value("ListStr").toString(), list);
}

TEST_P(InstalledSchema, NewRegistrationGetsTheCurrentTimeAndStateZero) {
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    Net().Exec("insert into UserRegister (UserName, UserPassword) values (?, ?)",
               {"client1", "pw"});
    const QDateTime after = QDateTime::currentDateTime().addSecs(1);
    const auto rows = Net().Select("select * from UserRegister");
    ASSERT_EQ(rows.size(), 1u);
    const QDateTime registered = Dialect().ReadDateTime(rows[0].value("RegisterTime"));
    EXPECT_GE(registered, before.addMSecs(-before.time().msec()));
    EXPECT_LE(registered, after);
    EXPECT_EQ(rows[0].value("UseState").toInt(), 0);
}

INSTANTIATE_TEST_SUITE_P(STORE_KINDS, InstalledSchema, testing::Values(quint8{1}, quint8{3}),
                         storetest::KindParamName);

// --- the shipped rows -------------------------------------------------------------

class ShippedRows : public BothKinds {
protected:
    std::vector<QSqlRecord> All(const QString &table) {
        return Net().Select("select * from " + table);
    }
};

TEST_P(ShippedRows, SettingsHoldTheDefaultsButNoSerialCounters) {
    std::map<QString, QString> settings;
    for (const auto &[item, value] : TNormalParamTable(Net()).ReadAll()) {
        EXPECT_FALSE(settings.count(item)) << "duplicate " << item.toStdString();
        settings[item] = value;
    }
    const std::map<QString, QString> expected = {
        {"SoftWareVerNumber", "V1.0.0"}, {"ShowInfoHint", "1"},
        {"MaxPackageLen", "2049"},       {"HistoryQuerySaveDay", "30"},
        {"HistoryAlarmSaveDay", "30"},   {"RegisterEmptyEquipmentHour", "72"},
        {"EmailPassword", ""},
    };
    for (const auto &[item, value] : expected) {
        ASSERT_TRUE(settings.count(item)) << item.toStdString();
        EXPECT_EQ(settings[item], value) << item.toStdString();
    }
    EXPECT_FALSE(settings["SoftWareNameEnglish"].isEmpty());
    EXPECT_FALSE(settings.count("HandPackFlagNumber"));
    EXPECT_FALSE(settings.count("CirclePackFlagNumber"));
    EXPECT_TRUE(All("UserRegister").empty());
}

TEST_P(ShippedRows, ParametersAreWellFormedAndCoverTheRepeater) {
    static const QRegularExpression hex2("^[0-9A-F]{2}$");
    static const QRegularExpression hex4("^[0-9A-F]{4}$");
    static const QRegularExpression decimal("^[0-9]+$");
    std::map<QString, QSqlRecord> byCode;
    int alarms = 0;
    for (const QSqlRecord &r : All("ParamProperty")) {
        const QString code = r.value("ParamCode").toString();
        SCOPED_TRACE(code.toStdString());
        EXPECT_TRUE(hex4.match(code).hasMatch());
        EXPECT_TRUE(hex2.match(r.value("ParamType").toString()).hasMatch());
        EXPECT_TRUE(hex2.match(r.value("ParamUnit").toString()).hasMatch());
        EXPECT_TRUE(r.value("CanSet").toString() == "00" || r.value("CanSet").toString() == "01");
        EXPECT_TRUE(decimal.match(r.value("Len").toString()).hasMatch());
        EXPECT_FALSE(r.value("Name").toString().section('&', 1).trimmed().isEmpty());
        EXPECT_TRUE(byCode.emplace(code, r).second) << "parameter code twice";
        if (r.value("ParamType").toString() == "03")
            ++alarms;
    }
    EXPECT_GE(alarms, 6);

    // Parameters the equipment link and the conversions rely on.
    const struct {
        const char *code, *type, *len;
    } required[] = {
        {"0022", "21", "20"},    {"0003", "30", nullptr}, {"0101", "10", "4"},
        {"0102", "12", nullptr}, {"0009", "00", nullptr},
    };
    for (const auto &req : required) {
        ASSERT_TRUE(byCode.count(req.code)) << req.code;
        EXPECT_EQ(byCode[req.code].value("ParamType").toString(), req.type) << req.code;
        if (req.len) {
            EXPECT_EQ(byCode[req.code].value("Len").toString(), req.len) << req.code;
        }
    }
    std::set<QString> types;
    for (const auto &[code, r] : byCode)
        types.insert(r.value("ParamType").toString());
    for (const char *type :
         {"01", "02", "03", "10", "11", "12", "14", "21", "22", "23", "30", "31", "71"})
        EXPECT_TRUE(types.count(type)) << "no parameter of type " << type;
}

TEST_P(ShippedRows, UnitsScaleFactorsAndEnumerationsBackEveryParameter) {
    std::map<QString, QString> units, factors;
    for (const QSqlRecord &r : All("UnitName"))
        units[r.value("Code").toString()] = r.value("Name").toString();
    for (const QSqlRecord &r : All("ProportionalName"))
        factors[r.value("Code").toString()] = r.value("Name").toString();
    std::map<QString, std::set<int>> enumerations;
    for (const QSqlRecord &r : All("CodeName")) {
        bool ok = false;
        const int key = r.value("KeyNum").toString().toInt(&ok);
        EXPECT_TRUE(ok) << r.value("KeyNum").toString().toStdString();
        EXPECT_TRUE(r.value("Name").toString().contains('&'));
        EXPECT_TRUE(enumerations[r.value("Code").toString()].insert(key).second)
            << "value twice for " << r.value("Code").toString().toStdString();
    }

    bool scaled = false;
    for (const QSqlRecord &r : All("ParamProperty")) {
        const QString code = r.value("ParamCode").toString();
        const QString unit = r.value("ParamUnit").toString();
        if (unit != "00") {
            EXPECT_TRUE(units.count(unit)) << code.toStdString() << " unit " << unit.toStdString();
        }
        if (unit.toInt(nullptr, 16) > 0x60) {
            scaled = true;
            ASSERT_TRUE(factors.count(unit)) << code.toStdString();
            bool ok = false;
            EXPECT_GT(factors[unit].toDouble(&ok), 0.0);
            EXPECT_TRUE(ok);
        }
        if (r.value("ParamType").toString() == "31") {
            EXPECT_FALSE(enumerations[code].empty()) << code.toStdString();
        }
    }
    EXPECT_TRUE(scaled);
    for (const auto &[code, name] : units)
        EXPECT_FALSE(name.section('&', 1).trimmed().isEmpty()) << code.toStdString();
}

TEST_P(ShippedRows, FlagsAndEquipmentTypesUseTheirKeyForms) {
    static const QRegularExpression hex2("^[0-9A-F]{2}$");
    static const QRegularExpression decimal("^[0-9]+$");
    const struct {
        const char *table;
        const QRegularExpression &key;
        std::set<QString> required;
    } tables[] = {
        {"MapCommFlag", hex2, {"01", "02", "03", "EE"}},
        {"ResponseFlag", hex2, {"00", "01", "02", "03", "04", "05", "FF"}},
        {"CommError", hex2, {}},
        {"EquipmentType", decimal, {"1", "2", "3"}},
    };
    for (const auto &t : tables) {
        std::set<QString> keys;
        for (const QSqlRecord &r : All(t.table)) {
            const QString key = r.value("KeyNum").toString();
            EXPECT_TRUE(t.key.match(key).hasMatch()) << t.table << " " << key.toStdString();
            EXPECT_FALSE(r.value("Name").toString().section('&', 1).trimmed().isEmpty()) << t.table;
            keys.insert(key);
        }
        EXPECT_FALSE(keys.empty()) << t.table;
        for (const QString &key : t.required)
            EXPECT_TRUE(keys.count(key)) << t.table << " " << key.toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(STORE_KINDS, ShippedRows, testing::Values(quint8{1}, quint8{3}),
                         storetest::KindParamName);

// --- installation failures ---------------------------------------------------------

class InstallFailure : public testing::TestWithParam<quint8> {};

TEST_P(InstallFailure, AFailingStatementIsNamedAndNothingIsLeftBehind) {
    if (GetParam() == 3)
        MMS_REQUIRE_PG_OR_SKIP();
    storetest::TestDatabase db(GetParam());
    // The last table of the script exists already, so its creation fails
    // after every other table was made.
    db.Net().Exec("create table CommunicateLog (X integer)");
    try {
        db.Install(true);
        FAIL() << "installation over an existing table succeeded";
    } catch (const DbError &e) {
        EXPECT_THAT(e.what(), HasSubstr("CommunicateLog"));
    }
    EXPECT_THROW(db.Net().Select("select * from NormalParam"), DbError);
    EXPECT_NO_THROW(db.Net().Select("select X from CommunicateLog"));
}

INSTANTIATE_TEST_SUITE_P(STORE_KINDS, InstallFailure, testing::Values(quint8{1}, quint8{3}),
                         storetest::KindParamName);

// --- the SQLite file ------------------------------------------------------------------

TEST(InitDatabaseFile, CreatesEveryTableWithOrWithoutTheShippedRows) {
    for (bool withData : {true, false}) {
        mmstest::TestHome home;
        const QString path = home.File("MonitorData.db");
        QString message;
        ASSERT_TRUE(InitDatabaseFile(path, withData, &message)) << message.toStdString();
        DbTarget target;
        target.driver = "QSQLITE";
        target.databaseName = path;
        TdmNet net(target);
        EXPECT_NO_THROW(net.Open());
        for (const auto &[table, columns] : ExpectedTables())
            EXPECT_NO_THROW(net.Select("select * from " + table)) << table.toStdString();
        EXPECT_EQ(net.Select("select * from ParamProperty").empty(), !withData);
        EXPECT_EQ(net.Select("select * from NormalParam").empty(), !withData);
    }
}

TEST(InitDatabaseFile, RefusesAnExistingFileAndLeavesItUntouched) {
    mmstest::TestHome home;
    const QString path = home.File("MonitorData.db");
    struct Case {
        const char *name;
        QByteArray content;
    };
    const Case cases[] = {
        {"empty file", QByteArray()},
        {"not a database", QByteArray("precious operator data\n\x01\x02\xff", 27)},
        {"a database made before", QByteArray()},
    };
    for (const Case &c : cases) {
        QFile::remove(path);
        if (QByteArray(c.name) == "a database made before") {
            QString message;
            ASSERT_TRUE(InitDatabaseFile(path, true, &message));
        } else {
            home.WriteFile("MonitorData.db", c.content);
        }
        const QByteArray before = ReadAll(path);
        const QDateTime modified = QFileInfo(path).lastModified();
        QString message;
        EXPECT_FALSE(InitDatabaseFile(path, true, &message)) << c.name;
        EXPECT_THAT(message.toStdString(), HasSubstr(path.toStdString())) << c.name;
        EXPECT_EQ(ReadAll(path), before) << c.name;
        EXPECT_EQ(QFileInfo(path).lastModified(), modified) << c.name;
        EXPECT_FALSE(QFile::exists(path + "-journal")) << c.name;
    }
}

TEST(InitDatabaseFile, RefusesADanglingLinkAndAMissingFolder) {
    mmstest::TestHome home;
    const QString target = home.File("elsewhere.db");
    const QString link = home.File("MonitorData.db");
    ASSERT_TRUE(QFile::link(target, link));
    QString message;
    EXPECT_FALSE(InitDatabaseFile(link, true, &message));
    EXPECT_THAT(message.toStdString(), HasSubstr(link.toStdString()));
    EXPECT_FALSE(QFile::exists(target));

    const QString inMissingFolder = home.File("no/such/folder/MonitorData.db");
    EXPECT_FALSE(InitDatabaseFile(inMissingFolder, true, &message));
    EXPECT_THAT(message.toStdString(), HasSubstr(inMissingFolder.toStdString()));
    EXPECT_FALSE(QFile::exists(inMissingFolder));
}
