// Dictionary loading from real databases: SQLite and PostgreSQL, through the
// data module, with hand-made tables and with the shipped schema and rows.
#include "NetD.h"
#include "PackRecord.h"
#include "ProtocolTestUtil.h"
#include "SchemaInstaller.h"
#include "ValueConversion.h"
#include "TestSupport.h"

#include "EpollEventDispatcher.h"

#include <QCoreApplication>
#include <QSqlQuery>
#include <QSqlRecord>

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using prototest::DictionaryScope;

std::string Str(const QString &s) {
    return s.toStdString();
}

class DictionaryDbTest : public ::testing::TestWithParam<quint8> {
protected:
    void SetUp() override {
        DbTarget target;
        if (GetParam() == 1) {
            home_ = std::make_unique<mmstest::TestHome>();
            target.type = 1;
            target.driver = QStringLiteral("QSQLITE");
            target.databaseName = home_->File(QStringLiteral("MonitorData.db"));
        } else {
            MMS_REQUIRE_PG_OR_SKIP();
            target = mmstest::CreatePgDatabase(QStringLiteral("mms_proto"));
            pgName_ = target.databaseName;
        }
        net_ = std::make_unique<TdmNet>(target);
    }
    void TearDown() override {
        net_.reset();
        if (!pgName_.isEmpty())
            mmstest::DropPgDatabase(pgName_);
    }

    void Exec(const QString &sql, const QVariantList &values = {}) { net_->Exec(sql, values); }

    // The eight dictionary tables with a few rows each; CommError only when asked.
    void CreateSmallDictionary(bool withCommError) {
        Exec("create table ParamProperty (ParamType varchar(10), ParamUnit varchar(10), "
             "CanSet varchar(10), Len varchar(10), ParamCode varchar(10), Name varchar(100))");
        const QString insertParam = "insert into ParamProperty (ParamType, ParamUnit, CanSet, "
                                    "Len, ParamCode, Name) values (?, ?, ?, ?, ?, ?)";
        Exec(insertParam, {"21", "00", "01", "18", "0022", "Code&Code"});
        Exec(insertParam, {"14", "61", "01", "2", "0401", "Power&Output Power"});
        Exec(insertParam, {"10", "00", "01", "4", "0022", "Again&Second Row"});
        for (const char *table : {"MapCommFlag", "ResponseFlag", "CommError", "EquipmentType"}) {
            if (!withCommError && QLatin1String(table) == QLatin1String("CommError"))
                continue;
            Exec(QStringLiteral("create table %1 (KeyNum varchar(10), Name varchar(100))")
                     .arg(QLatin1String(table)));
        }
        for (const char *table : {"UnitName", "ProportionalName"})
            Exec(QStringLiteral("create table %1 (Code varchar(10), Name varchar(100))")
                     .arg(QLatin1String(table)));
        Exec("create table CodeName (Code varchar(10), KeyNum varchar(10), Name varchar(100))");

        Exec("insert into MapCommFlag (KeyNum, Name) values (?, ?)", {"2", "Two&Two"});
        Exec("insert into MapCommFlag (KeyNum, Name) values (?, ?)", {"02", "Query&Query"});
        Exec("insert into ResponseFlag (KeyNum, Name) values (?, ?)", {"00", "Success&Success"});
        Exec("insert into UnitName (Code, Name) values (?, ?)", {"61", "TenthdBm&dBm"});
        Exec("insert into ProportionalName (Code, Name) values (?, ?)", {"61", "10"});
        if (withCommError)
            Exec("insert into CommError (KeyNum, Name) values (?, ?)", {"01", "Timeout&Timeout"});
        const QString insertCode = "insert into CodeName (Code, KeyNum, Name) values (?, ?, ?)";
        Exec(insertCode, {"0420", "0", "Auto&Automatic"});
        Exec(insertCode, {"0421", "0", "Bw5&5 MHz"});
        Exec(insertCode, {"0420", "1", "Manual&Manual"});
        Exec("insert into EquipmentType (KeyNum, Name) values (?, ?)", {"3", "Rep&Repeater"});
    }

    DictionaryScope dictionaries_;
    std::unique_ptr<mmstest::TestHome> home_;
    QString pgName_;
    std::unique_ptr<TdmNet> net_;
};

TEST_P(DictionaryDbTest, LoadsHandMadeTables) {
    CreateSmallDictionary(true);
    LoadParamProperyList(TableReaderFor(*net_));

    EXPECT_EQ(lstParamProperty,
              QStringList({"21000118#0022Code&Code", "1461012#0401Power&Output Power",
                           "1000014#0022Again&Second Row"}));
    EXPECT_EQ(lstMapCommFlag, QStringList({"2#Two&Two", "02#Query&Query"}));
    EXPECT_EQ(lstCommError, QStringList({"01#Timeout&Timeout"}));
    EXPECT_EQ(lstEquipmentType, QStringList({"3#Rep&Repeater"}));
    ASSERT_EQ(lstCodeNameParam.size(), 2u);
    EXPECT_EQ(lstCodeNameParam[0].Body.Name, QStringList({"0#Auto&Automatic", "1#Manual&Manual"}));

    EXPECT_EQ(Str(GetMapCommFlag(QStringLiteral("02"))), "Query");
    EXPECT_EQ(Str(GetResponseFlag(QStringLiteral("00"))), "Success");
    EXPECT_EQ(Str(CodeToParamName(QStringLiteral("0420"), 1)), "Manual");
    EXPECT_EQ(EquipmentTypeToName(3), QStringLiteral("Repeater"));

    QString name, dest;
    SearchNameAndContent(QStringLiteral("0022"), QStringLiteral("414243"), name, dest);
    EXPECT_EQ(Str(name), "Code");
    EXPECT_EQ(Str(dest), "ABC");
    SearchNameAndContent(QStringLiteral("0401"), QStringLiteral("EB03"), name, dest);
    EXPECT_EQ(Str(dest), "100.3");
}

TEST_P(DictionaryDbTest, MissingCommErrorTableLeavesLaterListsEmpty) {
    CreateSmallDictionary(false);
    LoadParamProperyList(TableReaderFor(*net_));
    EXPECT_EQ(lstParamProperty.size(), 3);
    EXPECT_EQ(lstMapCommFlag.size(), 2);
    EXPECT_EQ(lstResponseFlag.size(), 1);
    EXPECT_EQ(lstUnitNameParam.size(), 1);
    EXPECT_EQ(lstProportionalNameParam.size(), 1);
    EXPECT_TRUE(lstCommError.isEmpty());
    EXPECT_TRUE(lstCodeNameParam.empty());
    EXPECT_TRUE(lstEquipmentType.isEmpty());
    // The lists loaded before the gap still work.
    EXPECT_EQ(Str(GetMapCommFlag(QStringLiteral("02"))), "Query");
}

TEST_P(DictionaryDbTest, LoadsTheShippedDictionary) {
    {
        TdmNet::Session session(*net_);
        InstallSchema(session.Connection(), net_->DataBaseType(), true);
    }
    LoadParamProperyList(TableReaderFor(*net_));
    EXPECT_FALSE(lstParamProperty.isEmpty());
    EXPECT_FALSE(lstMapCommFlag.isEmpty());
    EXPECT_FALSE(lstResponseFlag.isEmpty());
    EXPECT_FALSE(lstUnitNameParam.isEmpty());
    EXPECT_FALSE(lstProportionalNameParam.isEmpty());
    EXPECT_FALSE(lstCommError.isEmpty());
    EXPECT_FALSE(lstCodeNameParam.empty());
    EXPECT_FALSE(lstEquipmentType.isEmpty());

    // The equipment code (0x0022) of a heartbeat is text; the station number
    // (0x0101) is byte-reversed hex.
    const TCommPackList items = ResolveCommPack(u"092200414243000000"
                                                u"07010125301409");
    ASSERT_EQ(items.size(), 2u);
    EXPECT_FALSE(items[0].Body.Name.isEmpty());
    EXPECT_EQ(Str(items[0].Body.DestContent), "ABC");
    EXPECT_FALSE(items[1].Body.Name.isEmpty());
    EXPECT_EQ(Str(items[1].Body.DestContent), "9143025");
    EXPECT_EQ(Str(GetMapCommFlag(QStringLiteral("02"))), "Query");
    EXPECT_EQ(Str(GetResponseFlag(QStringLiteral("7F"))), "Other Error");
}

INSTANTIATE_TEST_SUITE_P(Kinds, DictionaryDbTest, ::testing::Values(quint8(1), quint8(3)),
                         [](const ::testing::TestParamInfo<quint8> &info) {
                             return std::string(info.param == 1 ? "SQLite" : "PostgreSQL");
                         });

} // namespace

int main(int argc, char **argv) {
    TEpollEventDispatcher::InstallForMainThread();
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
