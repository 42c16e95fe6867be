// The data provider of the remote data service on each database kind: rows
// as JSON, statements with their errors, and deltas applied in one
// transaction with quoted names and bound values.
#include "DataSetProvider1.h"
#include "StoreTestDb.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <future>
#include <thread>

using nlohmann::json;

namespace {

using storetest::BothKinds;

TRemoteDeltaRow Row(TRemoteDeltaRow::Op op, json oldValues, json newValues) {
    TRemoteDeltaRow row;
    row.op = op;
    for (auto &[k, v] : oldValues.items())
        row.oldValues.emplace_back(k, v);
    for (auto &[k, v] : newValues.items())
        row.newValues.emplace_back(k, v);
    return row;
}

constexpr auto Insert = TRemoteDeltaRow::Op::Insert;
constexpr auto Update = TRemoteDeltaRow::Op::Update;
constexpr auto Delete = TRemoteDeltaRow::Op::Delete;

class RemoteProvider : public BothKinds {
protected:
    bool WithData() const override { return false; }

    json Records(TDataSetProvider1 &p, const std::string &sql) {
        return json::parse(p.GetRecords(sql, std::size_t(64) << 20, {}));
    }
    // UserEquipment as sorted "user/code/name/type" lines.
    std::vector<std::string> Units() {
        std::vector<std::string> out;
        for (const QSqlRecord &r :
             Net().Select("select UserName, EquipmentCode, EquipmentName, EquipmentType from "
                          "UserEquipment order by UserName, EquipmentCode, EquipmentName")) {
            QStringList cells;
            for (int i = 0; i < r.count(); ++i)
                cells << (r.isNull(i) ? QStringLiteral("-") : r.value(i).toString());
            out.push_back(cells.join(u'/').toStdString());
        }
        return out;
    }
    void AddUnit(const char *user, const char *code, const char *name) {
        Net().Exec("insert into UserEquipment (UserName, EquipmentCode, EquipmentName) "
                   "values (?,?,?)",
                   {user, code, name});
    }
    void TearDown() override {
        if (db_) // not made when the case was skipped
            Net().ReleaseThreadConnection();
        BothKinds::TearDown();
    }
};

TEST_P(RemoteProvider, GetRecordsGivesFieldsAndRowsWithNullsNumbersAndIsoDates) {
    AddUnit("alice", "A001", "Hall 2");
    Net().Exec(
        "insert into QueryHistory (EquipmentName, EquipmentCode, QueryTime) values (?,?,?)",
        {"Hall 2", "A001", Dialect().DateTimeValue(QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5)))});
    TDataSetProvider1 p(Net());
    json r = Records(p, "select * from UserEquipment");
    ASSERT_EQ(r["fields"].size(), 4u);
    EXPECT_EQ(r["fields"][0]["type"], "string");
    EXPECT_EQ(QString::fromStdString(r["fields"][1]["name"]).toLower(), "equipmentcode");
    EXPECT_EQ(r["rows"], json::parse(R"([["alice","A001","Hall 2",null]])"));

    r = Records(p, "select EquipmentCode, QueryTime, 2 as n, 1.5 as f from QueryHistory");
    ASSERT_EQ(r["rows"].size(), 1u);
    const std::string time = r["rows"][0][1];
    // PostgreSQL hands back a timestamp (ISO 8601 with a T), SQLite the
    // stored ISO text.
    EXPECT_EQ(time, GetParam() == 3 ? "2026-01-02T03:04:05" : "2026-01-02 03:04:05");
    EXPECT_EQ(r["rows"][0][2], 2);
    EXPECT_EQ(r["rows"][0][3], 1.5);
    EXPECT_EQ(r["fields"][2]["type"], "integer");

    // A result over the bound ends the call (and the connection).
    try {
        p.GetRecords("select * from UserEquipment", 40, {});
        FAIL() << "no error";
    } catch (const TRemoteError &e) {
        EXPECT_EQ(e.Code(), RemoteErrorCode::ResultTooLarge);
        EXPECT_TRUE(e.CloseConnection());
    }
}

TEST_P(RemoteProvider, StatementErrorsCarryTheDatabaseMessage) {
    TDataSetProvider1 p(Net());
    for (const char *sql : {"select * from NoSuchTable", "this is not sql"}) {
        try {
            p.Execute(sql);
            FAIL() << sql;
        } catch (const TRemoteError &e) {
            EXPECT_EQ(e.Code(), RemoteErrorCode::DatabaseError);
            EXPECT_FALSE(e.CloseConnection());
            EXPECT_FALSE(std::string(e.what()).empty());
        }
    }
    EXPECT_EQ(p.Execute("insert into UserEquipment (UserName, EquipmentCode) values ('a','b')"), 1);
}

// A remote call holds the data module lock: one that runs on and on is
// stopped at the remote call limit, without counting the database as down,
// and the next call works on a connection opened anew.
TEST_P(RemoteProvider, ACallPastTheRemoteLimitIsStoppedAndTheDatabaseStaysUp) {
    TDbLimits limits;
    limits.remoteCallLimit = std::chrono::milliseconds(300);
    TdmNet db(Net().Target(), limits);
    TDataSetProvider1 p(db);
    const char *endless =
        "with recursive c(x) as (select 1 union all select x + 1 from c) select count(*) from c";
    try {
        Records(p, endless);
        FAIL() << "the endless query returned";
    } catch (const TRemoteError &e) {
        EXPECT_EQ(e.Code(), RemoteErrorCode::DatabaseError);
        EXPECT_NE(std::string(e.what()).find("ran longer than 300 ms"), std::string::npos)
            << e.what();
    }
    EXPECT_TRUE(db.IsUp());
    EXPECT_EQ(p.Execute("insert into UserEquipment (UserName, EquipmentCode) values ('a','b')"), 1);
    db.ReleaseThreadConnection();
}

TEST_P(RemoteProvider, InsertUpdateDeleteRoundTripOnTheTableLastRead) {
    AddUnit("alice", "A001", "Hall 2");
    TDataSetProvider1 p(Net());
    const json rows = Records(p, "select * from UserEquipment")["rows"];
    ASSERT_EQ(rows.size(), 1u);

    // Names as the client saw them in the fields (PostgreSQL's are lower case)
    // and as the schema spells them both work.
    EXPECT_EQ(
        p.ApplyUpdates(
            "", {Row(Insert, json::object(),
                     {{"UserName", "bob"}, {"EquipmentCode", "B001"}, {"EquipmentName", "O'Barn"}}),
                 Row(Update,
                     {{"UserName", "alice"},
                      {"EquipmentCode", "A001"},
                      {"EquipmentName", "Hall 2"},
                      {"EquipmentType", nullptr}},
                     {{"EquipmentName", "Hall 3"}, {"EquipmentType", "03"}})}),
        2);
    EXPECT_EQ(Units(), (std::vector<std::string>{"alice/A001/Hall 3/03", "bob/B001/O'Barn/-"}));

    EXPECT_EQ(p.ApplyUpdates(
                  "UserEquipment",
                  {Row(Delete, {{"UserName", "bob"}, {"EquipmentCode", "B001"}}, json::object())}),
              1);
    EXPECT_EQ(Units(), std::vector<std::string>{"alice/A001/Hall 3/03"});
}

TEST_P(RemoteProvider, RowThatMatchesNothingRollsTheWholeDeltaBack) {
    AddUnit("alice", "A001", "Hall 2");
    AddUnit("twin", "T001", "Same");
    AddUnit("twin", "T001", "Same");
    TDataSetProvider1 p(Net());
    const std::vector<std::vector<TRemoteDeltaRow>> failing = {
        // Changed by someone else since it was read.
        {Row(Insert, json::object(), {{"UserName", "bob"}, {"EquipmentCode", "B001"}}),
         Row(Update, {{"UserName", "alice"}, {"EquipmentName", "Old name"}},
             {{"EquipmentName", "X"}})},
        {Row(Delete, {{"UserName", "alice"}}, json::object()),
         Row(Delete, {{"UserName", "alice"}}, json::object())},
        // One of two identical rows would change both.
        {Row(Delete, {{"UserName", "twin"}, {"EquipmentCode", "T001"}}, json::object())},
        // A statement error in the middle.
        {Row(Insert, json::object(), {{"UserName", "carl"}, {"EquipmentCode", "C001"}}),
         Row(Insert, json::object(), {{"NoSuchColumn", 1}})},
    };
    const std::vector<std::string> before = Units();
    for (const auto &delta : failing) {
        EXPECT_THROW(p.ApplyUpdates("UserEquipment", delta), TRemoteError);
        EXPECT_EQ(Units(), before);
    }
    // Nothing read yet and no table named: refused.
    TDataSetProvider1 fresh(Net());
    EXPECT_THROW(fresh.ApplyUpdates("", {Row(Delete, {{"UserName", "alice"}}, json::object())}),
                 TRemoteError);
    EXPECT_EQ(Units(), before);
}

TEST_P(RemoteProvider, NamesCannotLeaveTheirQuotes) {
    AddUnit("alice", "A001", "Hall 2");
    TDataSetProvider1 p(Net());
    const std::vector<std::pair<std::string, std::vector<TRemoteDeltaRow>>> attacks = {
        {"UserEquipment", {Row(Delete, {{"UserName\" is not null or \"x", "y"}}, json::object())}},
        {"UserEquipment\" where 1=1; --", {Row(Delete, {{"UserName", "alice"}}, json::object())}},
        {"UserEquipment",
         {Row(Update, {{"UserName", "alice"}},
              {{"EquipmentName\" = 'x', \"UserName", "mallory"}})}},
    };
    for (const auto &[table, delta] : attacks)
        EXPECT_THROW(p.ApplyUpdates(table, delta), TRemoteError) << table;
    EXPECT_EQ(Units(), std::vector<std::string>{"alice/A001/Hall 2/-"});
}

TEST_P(RemoteProvider, TransactionAStatementLeavesOpenEndsWithTheCall) {
    TDataSetProvider1 p(Net());
    // Left open, the block would keep the row from everyone else and hold
    // the database's write lock against the links.
    for (const char *begin : {"begin", "begin transaction"}) {
        p.Execute(begin);
        p.Execute("insert into UserEquipment (UserName, EquipmentCode) values ('x', 'X1')");
        TdmNet other(db_->Target());
        EXPECT_EQ(other.Exec("delete from UserEquipment where UserName = 'x'"), 1) << begin;
        other.ReleaseThreadConnection();
    }
    p.GetRecords("begin", 1 << 20, {});
    EXPECT_EQ(p.Execute("insert into UserEquipment (UserName, EquipmentCode) values ('y', 'Y1')"),
              1);
    TdmNet other(db_->Target());
    EXPECT_EQ(other.Select("select * from UserEquipment where UserName = 'y'").size(), 1u);
    other.ReleaseThreadConnection();
}

TEST_P(RemoteProvider, TwoProvidersKeepTheirOwnTables) {
    AddUnit("alice", "A001", "Hall 2");
    Net().Exec("insert into NormalParam (SetItem, SetValue) values ('K', 'V')");
    TDataSetProvider1 first(Net()), second(Net());
    const json units = Records(first, "select * from UserEquipment");
    Records(second, "select * from NormalParam");
    // The second's statement leaves the first's result and table alone.
    second.Execute("delete from NormalParam");
    EXPECT_EQ(units["rows"].size(), 1u);
    EXPECT_EQ(first.ApplyUpdates("", {Row(Delete, {{"UserName", "alice"}}, json::object())}), 1);
    EXPECT_TRUE(Units().empty());
}

TEST_P(RemoteProvider, AReadDoesNotWaitForTheDataModuleLock) {
    AddUnit("alice", "A001", "Hall 2");
    // Another thread holds the lock as a long statement of the links would.
    std::promise<void> held, release;
    std::thread holder([&] {
        TdmNet::Session session(Net());
        held.set_value();
        release.get_future().wait();
    });
    held.get_future().wait();
    TDataSetProvider1 p(Net());
    const json read = Records(p, "select UserName from UserEquipment");
    release.set_value();
    holder.join();
    EXPECT_EQ(read["rows"], json::parse(R"([["alice"]])"));
}

TEST_P(RemoteProvider, SqliteStatementsCannotReachOtherFiles) {
    if (GetParam() != 1)
        GTEST_SKIP() << "SQLite only";
    TDataSetProvider1 p(Net());
    const QString copy = QDir::temp().filePath(
        QStringLiteral("mms-remote-copy-%1.db").arg(QCoreApplication::applicationPid()));
    QFile::remove(copy);
    const std::string target = copy.toStdString();
    for (const std::string &sql :
         {"attach '" + target + "' as x", "vacuum into '" + target + "'",
          std::string("detach main"), std::string("select load_extension('/nonexistent/ext')")}) {
        EXPECT_THROW(p.Execute(sql), TRemoteError) << sql;
        EXPECT_THROW(p.GetRecords(sql, 1 << 20, {}), TRemoteError) << sql;
    }
    EXPECT_FALSE(QFileInfo::exists(copy));
    // Everything else still runs.
    EXPECT_EQ(Records(p, "select count(*) from UserEquipment")["rows"], json::parse("[[0]]"));
}

TEST_P(RemoteProvider, SuperuserRoleIsToldOnPostgreSqlOnly) {
    // The test server's role is the superuser postgres.
    EXPECT_EQ(TRemoteDataSet::SuperuserRole(Net()).isEmpty(), GetParam() != 3);
    if (GetParam() != 3)
        return;
    Net().Exec(QStringLiteral("drop role if exists mms_plain"));
    Net().Exec(QStringLiteral("create role mms_plain login password 'pw'"));
    DbTarget plain = Net().Target();
    plain.user = QStringLiteral("mms_plain");
    plain.password = QStringLiteral("pw");
    TdmNet other(plain);
    EXPECT_TRUE(TRemoteDataSet::SuperuserRole(other).isEmpty());
    other.ReleaseThreadConnection();
    Net().Exec(QStringLiteral("drop role mms_plain"));
}

INSTANTIATE_TEST_SUITE_P(Kinds, RemoteProvider, testing::Values(quint8(1), quint8(3)),
                         storetest::KindParamName);

TEST(RemoteDataSetTable, TableOfACommandText) {
    const QSqlRecord none;
    const std::pair<const char *, const char *> cases[] = {
        {"select * from UserEquipment", "UserEquipment"},
        {"SELECT a FROM  \"User Equipment\" where x=1", "User Equipment"},
        {"select * from [UserEquipment] order by 1", "UserEquipment"},
        {"select * from dbo.UserEquipment", "dbo.UserEquipment"},
        {"select 1", ""},
        {"select fromage from T1", "T1"},
    };
    for (const auto &[sql, table] : cases)
        EXPECT_EQ(TRemoteDataSet::TableOf(QString::fromLatin1(sql), none),
                  QString::fromLatin1(table))
            << sql;
}

TEST(RemoteDataSetTable, IdentifiersAreQuotedPerKind) {
    const struct {
        quint8 kind;
        const char *name, *quoted;
    } cases[] = {
        {1, "UserEquipment", "\"UserEquipment\""},
        {1, "a\"b", "\"a\"\"b\""},
        {2, "UserEquipment", "[UserEquipment]"},
        {2, "a]b", "[a]]b]"},
        {2, "dbo.UserName", "[dbo].[UserName]"},
        {3, "UserEquipment", "\"userequipment\""},
        {3, "a\"B", "\"a\"\"b\""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(MakeSqlDialect(c.kind)->QuoteIdentifier(QString::fromLatin1(c.name)),
                  QString::fromLatin1(c.quoted))
            << int(c.kind) << " " << c.name;
}

} // namespace
