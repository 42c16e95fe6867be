// The operator service's reading calls for a second view, on both database
// kinds and without links: a unit's details and history, the alarm history
// of every unit, the alert mail lines, an account's units and the status.
// Each answers on the caller's thread.
#include "../store/StoreTestDb.h"

#include "AlarmOutbox.h"
#include "CheckDelData.h"
#include "HistoryTables.h"
#include "OperatorService.h"
#include "ParamDictionary.h"
#include "ParamListTable.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

using storetest::BothKinds;

const QDateTime T0(QDate(2026, 4, 1), QTime(8, 0, 0));

class UnitService : public BothKinds {
protected:
    void SetUp() override {
        BothKinds::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        LoadParamProperyList(TableReaderFor(Net()));
        TUserEquipmentTable units(Net());
        units.Assign({"anna", "U1", "Tower", "01"});
        units.Assign({"anna", "U2", "Hill", "01"});
        THistoryTables tables(Net());
        tables.InsertQuery({"Tower", "U1", "02", "General", "04010519", T0, T0.addSecs(1)});
        tables.InsertAlarm("U1", "04010301", T0.addSecs(30));
        tables.InsertAlarm("U2", "04010300", T0.addSecs(40));
        QString list = "01050103";
        TParamListTable(Net()).StorePage("U1", 1, list);
        TAlarmOutbox(Net()).SaveChanges({}, {{0, "U1", "Power Failure Alarm", "Alert", "t"}});

        check_ = std::make_unique<TCheckDelData>(Net(), nullptr);
        TOperatorLinks links;
        links.Status = [] {
            TServerStatus status;
            status.version = "test";
            status.ports.push_back({"equipment", "0.0.0.0", 1234});
            return status;
        };
        service_ = std::make_unique<TOperatorService>(Net(), *check_, links, QString());
    }
    void TearDown() override {
        service_.reset();
        check_.reset();
        BothKinds::TearDown();
    }

    // Calls a member and waits for its answer on this thread.
    template <class R, class Call> R Ask(Call call) {
        QObject context;
        std::optional<R> result;
        call(&context, [&](const R &r) { result = r; });
        EXPECT_TRUE(
            mmstest::PumpEventsUntil([&] { return result.has_value(); }, std::chrono::seconds(10)));
        return result.value_or(R{});
    }

    std::unique_ptr<TCheckDelData> check_;
    std::unique_ptr<TOperatorService> service_;
};

TEST_P(UnitService, DetailsAndHistoryOfAUnit) {
    const TUnitDetails details =
        Ask<TUnitDetails>([&](QObject *c, auto answer) { service_->UnitDetails("U1", c, answer); });
    EXPECT_TRUE(details.error.isEmpty()) << details.error.toStdString();
    EXPECT_TRUE(details.known);
    ASSERT_EQ(details.owners.size(), 1u);
    EXPECT_EQ(details.owners[0].EquipmentName, "Tower");
    EXPECT_FALSE(details.fleet); // no fleet model given
    ASSERT_EQ(details.params.size(), 2u);
    EXPECT_EQ(details.params[1].ParamCode, "0301");

    const TUnitDetails unknown = Ask<TUnitDetails>(
        [&](QObject *c, auto answer) { service_->UnitDetails("NONE", c, answer); });
    EXPECT_FALSE(unknown.known);
    EXPECT_TRUE(unknown.params.empty());

    const TUnitHistory history = Ask<TUnitHistory>([&](QObject *c, auto answer) {
        service_->UnitHistory({"U1", T0.addSecs(-60), T0.addSecs(60), 100}, c, answer);
    });
    EXPECT_TRUE(history.error.isEmpty()) << history.error.toStdString();
    ASSERT_EQ(history.entries.size(), 2u);
    EXPECT_EQ(history.entries[0].kind, TUnitHistoryEntry::Kind::Report);
    EXPECT_EQ(history.entries[0].items.at(0).Value, "Alert");
    ASSERT_EQ(history.series.size(), 1u);
    EXPECT_EQ(history.series[0].points.size(), 1u);
    EXPECT_FALSE(history.truncated);

    // One row of each table at most: cut short, and said so.
    const TUnitHistory cut = Ask<TUnitHistory>([&](QObject *c, auto answer) {
        service_->UnitHistory({"U1", T0.addSecs(-60), T0.addSecs(60), 1}, c, answer);
    });
    EXPECT_TRUE(cut.truncated);
    // A unit is required; a huge limit is held to the service's bound.
    const TUnitHistory refused = Ask<TUnitHistory>([&](QObject *c, auto answer) {
        service_->UnitHistory({"", T0.addSecs(-60), T0.addSecs(60), 100}, c, answer);
    });
    EXPECT_FALSE(refused.error.isEmpty());
    const TUnitHistory bounded = Ask<TUnitHistory>([&](QObject *c, auto answer) {
        service_->UnitHistory({"U1", T0.addSecs(-60), T0.addSecs(60), 1 << 30}, c, answer);
    });
    EXPECT_EQ(bounded.entries.size(), 2u);
}

TEST_P(UnitService, AlarmsMailLinesAccountUnitsAndStatus) {
    const TUnitHistory alarms = Ask<TUnitHistory>([&](QObject *c, auto answer) {
        service_->AlarmHistory({QString(), T0, T0.addSecs(3600), 100}, c, answer);
    });
    ASSERT_EQ(alarms.entries.size(), 2u);
    EXPECT_EQ(alarms.entries[0].EquipmentCode, "U2"); // newest first
    EXPECT_EQ(alarms.entries[1].EquipmentCode, "U1");

    const TAlarmMailState mail =
        Ask<TAlarmMailState>([&](QObject *c, auto answer) { service_->AlarmMail(c, answer); });
    EXPECT_TRUE(mail.error.isEmpty()) << mail.error.toStdString();
    ASSERT_EQ(mail.waiting.size(), 1u);
    EXPECT_EQ(mail.waiting[0].ParameterStatus, "Alert");

    const TAccountUnits units = Ask<TAccountUnits>(
        [&](QObject *c, auto answer) { service_->AccountUnits("anna", c, answer); });
    ASSERT_EQ(units.units.size(), 2u);

    const TServerStatus status =
        Ask<TServerStatus>([&](QObject *c, auto answer) { service_->Status(c, answer); });
    EXPECT_EQ(status.version, "test");
    ASSERT_EQ(status.ports.size(), 1u);
    EXPECT_EQ(status.databaseType, GetParam());
    EXPECT_TRUE(status.databaseUp);
    EXPECT_FALSE(status.lastRetention); // no run has ended yet
}

INSTANTIATE_TEST_SUITE_P(Kinds, UnitService, testing::Values(quint8{1}, quint8{3}),
                         storetest::KindParamName);

} // namespace
