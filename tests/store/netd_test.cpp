// The data module on SQLite and PostgreSQL: bound values, the setting update
// and lookup over NormalParam, and per-thread connections.
#include "StoreTestDb.h"

#include <QSqlRecord>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <thread>

using storetest::BothKinds;

namespace {

class DataModule : public BothKinds {
protected:
    bool WithData() const override { return false; }

    std::vector<QString> ValuesOf(const QString &item) {
        std::vector<QString> values;
        for (const auto &[key, value] : TNormalParamTable(Net()).ReadAll())
            if (key == item)
                values.push_back(value);
        return values;
    }
};

} // namespace

TEST_P(DataModule, OpenChecksTheStartupTables) {
    EXPECT_NO_THROW(Net().Open());
    Net().Exec("drop table CommunicateLog");
    EXPECT_THROW(Net().Open(), DbError);
}

TEST_P(DataModule, ValuesWithQuotesAndSqlTextAreStoredVerbatim) {
    const QStringList names = {"O'Brien", "x'); delete from UserRegister; --", "\"quoted\"",
                               "percent % and ? mark", QString::fromUtf8("Zoë 测试")};
    for (const QString &name : names)
        Net().Exec("insert into UserRegister values(?,?,?,?,?,?,?)",
                   {name, "it's", "a'b@example.com", "0'1", QVariant(), QVariant(), 0});
    EXPECT_EQ(Net().Select("select * from UserRegister").size(), std::size_t(names.size()));
    for (const QString &name : names) {
        const auto rows =
            Net().Select("select * from UserRegister where (UserName=?) and (Email=?)",
                         {name, "a'b@example.com"});
        ASSERT_EQ(rows.size(), 1u) << name.toStdString();
        EXPECT_EQ(rows[0].value("UserName").toString(), name);
        EXPECT_EQ(rows[0].value("UserPassword").toString(), "it's");
    }
    EXPECT_EQ(Net().Exec("update UserRegister set UseState=1 where UserName=?", {"O'Brien"}), 1);
    EXPECT_EQ(Net().Exec("delete from UserRegister where UserName=?", {"nobody'"}), 0);
}

TEST_P(DataModule, FailingStatementsThrowWithTheStatementText) {
    try {
        Net().Select("select * from NoSuchTable");
        FAIL() << "no error";
    } catch (const DbError &e) {
        EXPECT_NE(std::string(e.what()).find("NoSuchTable"), std::string::npos) << e.what();
    }
    EXPECT_THROW(Net().Exec("insert into NoSuchTable values (?)", {1}), DbError);
    // The module stays usable afterwards.
    EXPECT_NO_THROW(Net().Select("select * from NormalParam"));
}

TEST_P(DataModule, UpdateSettingsUpdatesEveryMatchingRowAndAppendsMissingKeys) {
    for (const char *value : {"5", "6"})
        Net().Exec("insert into NormalParam (SetItem, SetValue) values (?, ?)",
                   {"HandPackFlagNumber", value});
    Net().Exec("insert into NormalParam (SetItem, SetValue) values (?, ?)", {"ShowInfoHint", "1"});

    TNormalParamTable(Net()).Update(
        {{"HandPackFlagNumber", "24575"}, {"CirclePackFlagNumber", "24577"}});
    EXPECT_EQ(ValuesOf("HandPackFlagNumber"), (std::vector<QString>{"24575", "24575"}));
    EXPECT_EQ(ValuesOf("CirclePackFlagNumber"), (std::vector<QString>{"24577"}));
    EXPECT_EQ(ValuesOf("ShowInfoHint"), (std::vector<QString>{"1"}));

    // A second save updates the appended row instead of adding another.
    TNormalParamTable(Net()).Update({{"CirclePackFlagNumber", "24600"}});
    EXPECT_EQ(ValuesOf("CirclePackFlagNumber"), (std::vector<QString>{"24600"}));

    // Existing rows only (as for ShowInfoHint from the settings window).
    TNormalParamTable(Net()).Update({{"ShowInfoHint", "0"}, {"NotThere", "x"}}, false);
    EXPECT_EQ(ValuesOf("ShowInfoHint"), (std::vector<QString>{"0"}));
    EXPECT_TRUE(ValuesOf("NotThere").empty());

    // Keys are compared exactly; values are stored as given, empty included.
    TNormalParamTable(Net()).Update({{"showinfohint", "1"}, {"HistoryQuerySaveDay", ""}});
    EXPECT_EQ(ValuesOf("ShowInfoHint"), (std::vector<QString>{"0"}));
    EXPECT_EQ(ValuesOf("showinfohint"), (std::vector<QString>{"1"}));
    ASSERT_EQ(ValuesOf("HistoryQuerySaveDay").size(), 1u);
    EXPECT_TRUE(ValuesOf("HistoryQuerySaveDay")[0].isEmpty());
}

TEST_P(DataModule, LookupSettingReturnsTheFirstMatchingRow) {
    for (const auto &[item, value] :
         std::vector<std::pair<QString, QString>>{{"HistoryAlarmSaveDay", "7"},
                                                  {"HistoryQuerySaveDay", "10"},
                                                  {"HistoryQuerySaveDay", "20"},
                                                  {"Quote'Key", "it's"}})
        Net().Exec("insert into NormalParam (SetItem, SetValue) values (?, ?)", {item, value});
    EXPECT_EQ(TNormalParamTable(Net()).Lookup("HistoryQuerySaveDay"), std::optional<QString>("10"));
    EXPECT_EQ(TNormalParamTable(Net()).Lookup("HistoryAlarmSaveDay"), std::optional<QString>("7"));
    EXPECT_EQ(TNormalParamTable(Net()).Lookup("Quote'Key"), std::optional<QString>("it's"));
    EXPECT_EQ(TNormalParamTable(Net()).Lookup("historyquerysaveday"), std::nullopt);
    EXPECT_EQ(TNormalParamTable(Net()).Lookup("RegisterEmptyEquipmentHour"), std::nullopt);
}

TEST_P(DataModule, WorkerThreadsUseTheirOwnConnectionsAlongsideTheMainThread) {
    const QString mainName = [&] {
        TdmNet::Session session(Net());
        return session.Connection().connectionName();
    }();
    constexpr int kRows = 25;
    std::atomic<int> workerErrors{0};
    QString workerName;
    std::thread worker([&] {
        try {
            {
                TdmNet::Session session(Net());
                workerName = session.Connection().connectionName();
            }
            for (int i = 0; i < kRows; ++i) {
                Net().Exec("insert into AlarmHistory values(?,?,?)",
                           {"worker", QString::number(i), QVariant()});
                Net().Select("select * from AlarmHistory where EquipmentCode=?", {"main"});
            }
        } catch (const DbError &) {
            ++workerErrors;
        }
        Net().ReleaseThreadConnection();
    });
    for (int i = 0; i < kRows; ++i) {
        Net().Exec("insert into AlarmHistory values(?,?,?)",
                   {"main", QString::number(i), QVariant()});
        Net().Select("select * from AlarmHistory where EquipmentCode=?", {"worker"});
    }
    worker.join();
    EXPECT_EQ(workerErrors.load(), 0);
    EXPECT_NE(workerName, mainName);
    for (const char *who : {"main", "worker"})
        EXPECT_EQ(Net().Select("select * from AlarmHistory where EquipmentCode=?", {who}).size(),
                  std::size_t(kRows))
            << who;
}

// Threads that end without releasing their connection must not hand it on to
// a later thread (thread ids are reused): each later thread gets its own.
TEST_P(DataModule, LaterThreadsNeverInheritAnEndedThreadsConnection) {
    for (int i = 0; i < 6; ++i) {
        std::string error;
        std::thread t([&] {
            try {
                Net().Exec("insert into NormalParam (SetItem, SetValue) values (?, ?)",
                           {"Thread", QString::number(i)});
            } catch (const DbError &e) {
                error = e.what();
            }
        });
        t.join();
        EXPECT_TRUE(error.empty()) << "thread " << i << ": " << error;
    }
    EXPECT_EQ(ValuesOf("Thread").size(), 6u);
}

// A transaction is all or nothing: an error thrown anywhere inside it, a step
// that fails, or an inner transaction abandoned without Commit() leaves every
// table as it was; a committed one keeps every row.
TEST_P(DataModule, TransactionsCommitWholeOrLeaveTheTablesAsTheyWere) {
    Net().Exec("insert into UserRegister values(?,?,?,?,?,?,?)",
               {"alice", "pw", "a@example.com", "", QVariant(), QVariant(), 0});
    const auto rowsOf = [&](const char *table) {
        return Net().Select(QStringLiteral("select * from %1").arg(QLatin1String(table))).size();
    };
    const auto change = [&](TdmNet::Session &tx) {
        tx.Exec("insert into UserEquipment values(?,?,?,?)", {"alice", "C1", "one", "03"});
        tx.Exec("update UserRegister set UseState=1 where UserName=?", {"alice"});
    };
    struct Case {
        const char *name;
        std::function<void()> run;
    };
    const std::vector<Case> failing = {
        {"thrown by the caller",
         [&] {
             TdmNet::Transaction tx(Net());
             change(tx);
             throw std::runtime_error("caller gave up");
         }},
        {"failing statement",
         [&] {
             TdmNet::Transaction tx(Net());
             change(tx);
             tx.Exec("insert into NoSuchTable values (?)", {1});
             tx.Commit();
         }},
        {"inner transaction abandoned",
         [&] {
             TdmNet::Transaction tx(Net());
             change(tx);
             {
                 TdmNet::Transaction inner(Net());
                 inner.Exec("delete from UserRegister");
             }
             tx.Commit();
         }},
    };
    for (const Case &c : failing) {
        EXPECT_ANY_THROW(c.run()) << c.name;
        EXPECT_EQ(rowsOf("UserEquipment"), 0u) << c.name;
        ASSERT_EQ(rowsOf("UserRegister"), 1u) << c.name;
        EXPECT_EQ(Net().Select("select * from UserRegister")[0].value("UseState").toInt(), 0)
            << c.name;
    }
    {
        TdmNet::Transaction tx(Net());
        change(tx);
        {
            TdmNet::Transaction inner(Net());
            inner.Exec("insert into UserEquipment values(?,?,?,?)", {"alice", "C2", "two", "03"});
            inner.Commit();
        }
        tx.Commit();
    }
    EXPECT_EQ(rowsOf("UserEquipment"), 2u);
    EXPECT_EQ(Net().Select("select * from UserRegister")[0].value("UseState").toInt(), 1);
}

// Another thread's statement waits for a transaction to end, so it never sees
// or interleaves with half of a change.
TEST_P(DataModule, OtherThreadsWaitForTheTransactionToEnd) {
    std::atomic<bool> started{false};
    std::size_t seen = 99;
    std::thread reader;
    {
        TdmNet::Transaction tx(Net());
        tx.Exec("insert into AlarmHistory values(?,?,?)", {"A", "1", QVariant()});
        reader = std::thread([&] {
            started = true;
            seen = Net().Select("select * from AlarmHistory").size();
            Net().ReleaseThreadConnection();
        });
        while (!started)
            std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        tx.Exec("insert into AlarmHistory values(?,?,?)", {"A", "2", QVariant()});
        tx.Commit();
    }
    reader.join();
    EXPECT_EQ(seen, 2u);
}

// A long call of a worker (or of the remote data service) holds the lock:
// the event thread gives up at the statement limit instead of stalling the
// links, and the database still counts as up.
TEST_P(DataModule, TheEventThreadWaitsForTheLockNoLongerThanTheStatementLimit) {
    const auto limit = Net().Health().Limits().statementLimit;
    std::atomic<bool> holding{false};
    std::atomic<bool> release{false};
    std::thread worker([&] {
        TdmNet::Session session(Net());
        session.Select("select * from AlarmHistory");
        holding = true;
        while (!release)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    while (!holding)
        std::this_thread::yield();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(Net().Select("select * from AlarmHistory"), DbUnavailable);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, limit);
    EXPECT_TRUE(Net().IsUp());
    release = true;
    worker.join();
    EXPECT_NO_THROW(Net().Select("select * from AlarmHistory"));
}

INSTANTIATE_TEST_SUITE_P(STORE_KINDS, DataModule, testing::Values(quint8{1}, quint8{3}),
                         storetest::KindParamName);
