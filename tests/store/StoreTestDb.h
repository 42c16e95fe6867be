// A fresh MonitorData database of one kind for a test: SQLite in a temporary
// home folder (kind 1) or a new PostgreSQL database (kind 3), with the schema
// and, optionally, the shipped rows installed; dropped again afterwards.
#pragma once

#include "NetD.h"
#include "NormalParamTable.h"
#include "SchemaInstaller.h"
#include "TestSupport.h"

#include <QSqlDatabase>
#include <QSqlQuery>

#include <gtest/gtest.h>

#include <memory>

// The suites built again for another time zone get other test names, so the
// two runs stay apart in ctest.
#ifdef MMS_TEST_TZ
#define STORE_KINDS KindsAwayFromUtc
#else
#define STORE_KINDS Kinds
#endif

namespace storetest {

inline const char *KindName(quint8 kind) {
    return kind == 1 ? "SQLite" : "PostgreSQL";
}

inline std::string KindParamName(const testing::TestParamInfo<quint8> &info) {
    return KindName(info.param);
}

class TestDatabase {
public:
    // Empty database of the kind; Ready() tells whether it could be made.
    explicit TestDatabase(quint8 kind) : kind_(kind) {
        if (kind == 1) {
            home_ = std::make_unique<mmstest::TestHome>();
            target_.type = 1;
            target_.driver = QStringLiteral("QSQLITE");
            target_.databaseName = home_->File(QStringLiteral("MonitorData.db"));
        } else {
            target_ = mmstest::CreatePgDatabase(QStringLiteral("mms_store"));
            pgName_ = target_.databaseName;
        }
        net_ = std::make_unique<TdmNet>(target_);
    }
    ~TestDatabase() {
        net_.reset();
        if (!pgName_.isEmpty())
            mmstest::DropPgDatabase(pgName_);
    }
    TestDatabase(const TestDatabase &) = delete;
    TestDatabase &operator=(const TestDatabase &) = delete;

    void Install(bool withData) {
        TdmNet::Session session(*net_);
        InstallSchema(session.Connection(), kind_, withData);
    }

    TdmNet &Net() { return *net_; }
    const DbTarget &Target() const { return target_; }
    quint8 Kind() const { return kind_; }

private:
    quint8 kind_;
    std::unique_ptr<mmstest::TestHome> home_;
    DbTarget target_;
    QString pgName_;
    std::unique_ptr<TdmNet> net_;
};

// Fixture for tests run on both kinds; PostgreSQL cases are skipped when no
// server is reachable.
class BothKinds : public testing::TestWithParam<quint8> {
protected:
    void SetUp() override {
        if (GetParam() == 3)
            MMS_REQUIRE_PG_OR_SKIP();
        db_ = std::make_unique<TestDatabase>(GetParam());
        ASSERT_NO_THROW(db_->Install(WithData()));
    }
    void TearDown() override { db_.reset(); }
    virtual bool WithData() const { return true; }

    TdmNet &Net() { return db_->Net(); }
    const SqlDialect &Dialect() { return db_->Net().Dialect(); }

    std::unique_ptr<TestDatabase> db_;
};

} // namespace storetest
