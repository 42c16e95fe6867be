// The fleet model: its rows loaded from the database of either kind, kept
// live by the equipment server's presence calls and the event stream's
// reports, and handed to views as a bounded, coalesced change feed.
#include "../comm/EquipmentFrames.h"
#include "../store/StoreTestDb.h"

#include "AlarmOutbox.h"
#include "CommInfoHintSink.h"
#include "FleetModel.h"
#include "ParamDictionary.h"
#include "PublicU.h"
#include "TestSupport.h"
#include "UserEquipmentTable.h"

#include <QCoreApplication>
#include <QSet>

#include <gtest/gtest.h>

namespace {

using storetest::BothKinds;

TEquipmentIdentity Unit(const QString &code, const QString &station = "01010101") {
    return {code, QStringLiteral("01"), station + QStringLiteral("02")};
}

// A report frame of the unit as it comes over the wire: the report-type item
// (alarm report) and one state item of parameter 0x0301.
QByteArray AlarmReport(bool alert) {
    return eqtest::Frame(eqtest::Bytes(QStringLiteral("03 01 01010101 02 0180 80 01 01 FF "
                                                      "04 4101 01 04 0103 %1")
                                           .arg(alert ? "01" : "00")));
}

TLogEvent ReportEvent(const QString &code, bool alert) {
    return LogEvent(TLogKind::Report, TLogPane::Traffic, QStringLiteral("report"), clYellow)
        .WithUnit(code)
        .WithFrame(AlarmReport(alert));
}

// When U1's door alarm was reported, as the alarm analysis writes it and reads it back.
QDateTime AlarmTime() {
    return QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5));
}

class Fleet : public BothKinds {
protected:
    void SetUp() override {
        BothKinds::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        LoadParamProperyList(TableReaderFor(Net()));
        TUserEquipmentTable units(Net());
        units.Assign({"anna", "U1", "Tower", "01"});
        units.Assign({"bert", "U1", "Hill", "01"});
        units.Assign({"bert", "U2", "Valley", "02"});
        ASSERT_NO_THROW(TAlarmOutbox(Net()).EnsureTables());
        // U1's door alarm was last reported in alert, its temperature plainly.
        TAlarmOutbox(Net()).SaveAnalysed(0, "U1",
                                         {{"U1", "0305", 0, 0, "Door Open Alarm", "Normal", "Alert",
                                           DateTimeText(AlarmTime()), "01", -1},
                                          {"U1", "0501", 0, 1, "Equipment Temperature", "", "25",
                                           DateTimeText(AlarmTime().addSecs(1)), "00", -1}});
    }
    void TearDown() override {
        model_.reset();
        BothKinds::TearDown();
    }

    TFleetModel &Model(TCommInfoHintSink *sink = nullptr) {
        TFleetModel::Settings settings;
        settings.gather = std::chrono::milliseconds(0);
        model_ = std::make_unique<TFleetModel>(Net(), sink, settings);
        model_->Start();
        model_->Sync();
        return *model_;
    }

    std::unique_ptr<TFleetModel> model_;
};

TEST_P(Fleet, LoadsOwnersAndAlarmStatesFromTheDatabase) {
    TFleetModel &model = Model();
    const TFleetSnapshot snapshot = model.Snapshot();
    EXPECT_TRUE(snapshot.loaded);
    EXPECT_TRUE(snapshot.error.isEmpty()) << snapshot.error.toStdString();
    ASSERT_EQ(snapshot.rows.size(), 2u);
    const TFleetRow &u1 = snapshot.rows[0];
    EXPECT_EQ(u1.EquipmentCode, "U1");
    EXPECT_EQ(u1.EquipmentName, "Tower, Hill");
    ASSERT_EQ(u1.Owners.size(), 2u);
    EXPECT_EQ(u1.Owners[0].UserName, "anna");
    EXPECT_EQ(u1.Owners[1].UserName, "bert");
    EXPECT_EQ(u1.EquipmentType, "01");
    EXPECT_FALSE(u1.OnLine);
    EXPECT_FALSE(u1.LastHeartbeat.isValid());
    // Only the alarm parameter counts, not the temperature.
    EXPECT_EQ(u1.AlarmsActive, 1);
    ASSERT_TRUE(u1.LastAlarm);
    EXPECT_EQ(u1.LastAlarm->ParamCode, "0305");
    EXPECT_EQ(u1.LastAlarm->State, "Alert");
    EXPECT_EQ(u1.LastAlarm->Time, ParseDateTimeText(DateTimeText(AlarmTime())));
    const TFleetRow &u2 = snapshot.rows[1];
    EXPECT_EQ(u2.EquipmentCode, "U2");
    EXPECT_EQ(u2.EquipmentType, "02");
    EXPECT_EQ(u2.AlarmsActive, 0);
    EXPECT_FALSE(u2.LastAlarm);
}

TEST_P(Fleet, PresenceTakesUnitsOnAndOffLine) {
    TFleetModel &model = Model();
    // An owned unit heartbeats, then a stranger that nobody owns.
    model.UnitHeartbeat(Unit("U1"), "10.0.0.1", 4001, true);
    model.UnitHeartbeat(Unit("X9", "05060708"), "10.0.0.9", 4009, false);
    model.Sync();
    std::optional<TFleetRow> u1 = model.Row("U1");
    ASSERT_TRUE(u1);
    EXPECT_TRUE(u1->OnLine);
    EXPECT_TRUE(u1->Registered);
    EXPECT_EQ(u1->Address, "10.0.0.1");
    EXPECT_EQ(u1->Port, 4001);
    EXPECT_EQ(u1->StationNo, "1010101");
    EXPECT_EQ(u1->EquipmentNo, 2);
    EXPECT_TRUE(u1->Since.isValid());
    EXPECT_EQ(u1->LastHeartbeat, u1->Since);
    std::optional<TFleetRow> x9 = model.Row("X9");
    ASSERT_TRUE(x9);
    EXPECT_TRUE(x9->OnLine);
    EXPECT_FALSE(x9->Registered);
    EXPECT_TRUE(x9->Owners.empty());
    EXPECT_EQ(model.Snapshot().rows.size(), 3u);

    // U1 has reconnected meanwhile: the old connection's end changes nothing.
    model.UnitHeartbeat(Unit("U1"), "10.0.0.1", 4002, true);
    model.UnitGone("U1", "10.0.0.1", 4001);
    model.Sync();
    u1 = model.Row("U1");
    EXPECT_TRUE(u1->OnLine);
    EXPECT_EQ(u1->Port, 4002);

    // Gone for good: the owned unit stays, off line; the stranger is forgotten.
    model.UnitGone("U1", "10.0.0.1", 4002);
    model.UnitGone("X9", "10.0.0.9", 4009);
    model.Sync();
    u1 = model.Row("U1");
    EXPECT_FALSE(u1->OnLine);
    EXPECT_FALSE(u1->Registered);
    EXPECT_GE(u1->Since, u1->LastHeartbeat);
    EXPECT_FALSE(model.Row("X9"));
    const TFleetSnapshot after = model.Snapshot();
    EXPECT_EQ(after.rows.size(), 2u);
}

TEST_P(Fleet, ChangeFeedIsBoundedAndCoalesced) {
    TFleetModel &model = Model();
    const std::uint64_t start = model.Snapshot().cursor;
    constexpr int Units = 25;
    // Every unit heartbeats three times before the model's next turn: each
    // comes once, in its latest state.
    for (int beat = 0; beat < 3; ++beat)
        for (int i = 0; i < Units; ++i)
            model.UnitHeartbeat(Unit(QStringLiteral("S%1").arg(i)), "10.1.0.1", 5000 + beat, false);
    model.Sync();

    QSet<QString> seen;
    std::uint64_t cursor = start;
    int calls = 0;
    for (bool more = true; more; ++calls) {
        const TFleetChanges changes = model.ChangesSince(cursor, 10);
        EXPECT_LE(changes.rows.size(), 10u);
        for (const TFleetRow &row : changes.rows) {
            EXPECT_FALSE(seen.contains(row.EquipmentCode)) << row.EquipmentCode.toStdString();
            seen.insert(row.EquipmentCode);
            EXPECT_EQ(row.Port, 5002);
        }
        EXPECT_GT(changes.cursor, cursor);
        cursor = changes.cursor;
        more = changes.more;
        ASSERT_LT(calls, 10);
    }
    EXPECT_EQ(seen.size(), Units);
    EXPECT_EQ(calls, 3);
    EXPECT_TRUE(model.ChangesSince(cursor, 10).rows.empty());

    // A heartbeat that changes nothing else is a change only for a feed that
    // asked for heartbeats.
    model.UnitHeartbeat(Unit("S3"), "10.1.0.1", 5002, false);
    model.Sync();
    EXPECT_TRUE(model.ChangesSince(cursor, 10, false).rows.empty());
    ASSERT_EQ(model.ChangesSince(cursor, 10, true).rows.size(), 1u);

    // The subscription gets the same in bounded turns on its context's thread.
    QObject view;
    std::vector<std::size_t> batches;
    QSet<QString> delivered;
    QStringList removed;
    const auto subscription = model.Subscribe(
        &view,
        [&](const TFleetChanges &changes) {
            batches.push_back(changes.rows.size());
            for (const TFleetRow &row : changes.rows)
                delivered.insert(row.EquipmentCode);
            removed += changes.removed;
        },
        7, false, start);
    EXPECT_TRUE(mmstest::PumpEventsUntil([&] { return delivered.size() == Units; },
                                         std::chrono::seconds(10)));
    for (const std::size_t batch : batches)
        EXPECT_LE(batch, 7u);
    // A unit that goes is told as removed.
    model.UnitGone("S4", "10.1.0.1", 5002);
    model.Sync();
    EXPECT_TRUE(
        mmstest::PumpEventsUntil([&] { return removed.contains("S4"); }, std::chrono::seconds(10)));
}

TEST_P(Fleet, ReportsGiveTheLastAlarm) {
    TCommInfoHintSink sink;
    TFleetModel &model = Model(&sink);
    model.UnitHeartbeat(Unit("U2"), "10.0.0.2", 4100, true);
    model.Sync();
    ASSERT_EQ(TFleetModel::AlarmsOf(ReportEvent("U2", true)).size(), 1u);

    sink.Post(ReportEvent("U2", true));
    sink.Flush();
    model.Sync();
    std::optional<TFleetRow> u2 = model.Row("U2");
    ASSERT_TRUE(u2);
    EXPECT_EQ(u2->AlarmsActive, 1);
    ASSERT_TRUE(u2->LastAlarm);
    EXPECT_EQ(u2->LastAlarm->ParamCode, "0301");
    EXPECT_EQ(u2->LastAlarm->State, "Alert");
    EXPECT_FALSE(u2->LastAlarm->Parameter.isEmpty());

    sink.Post(ReportEvent("U2", false));
    // A report of a unit the fleet does not know is ignored.
    sink.Post(ReportEvent("NOBODY", true));
    sink.Flush();
    model.Sync();
    u2 = model.Row("U2");
    EXPECT_EQ(u2->AlarmsActive, 0);
    EXPECT_EQ(u2->LastAlarm->State, "Normal");
    EXPECT_FALSE(model.Row("NOBODY"));
}

TEST_P(Fleet, OwnerChangesAreReadAgain) {
    TFleetModel &model = Model();
    TUserEquipmentTable units(Net());
    units.Assign({"carl", "U3", "Lake", "01"});
    EXPECT_EQ(units.Unassign("bert", "U2"), 1);
    EXPECT_EQ(units.Unassign("bert", "U2"), 0);
    const std::uint64_t cursor = model.Snapshot().cursor;
    model.ReloadOwners();
    model.Sync();
    const TFleetChanges changes = model.ChangesSince(cursor, 0);
    ASSERT_EQ(changes.rows.size(), 1u);
    EXPECT_EQ(changes.rows[0].EquipmentCode, "U3");
    EXPECT_EQ(changes.rows[0].EquipmentName, "Lake");
    EXPECT_EQ(changes.removed, QStringList{"U2"});
    // Assigned twice to one account: refused, nothing written.
    EXPECT_FALSE(units.Assign({"carl", "U3", "Other", "01"}));
    EXPECT_EQ(units.OwnersOf("U3").size(), 1u);
}

TEST_P(Fleet, UnitsThatComeAndGoAreForgottenBeyondABound) {
    TFleetModel::Settings settings;
    settings.gather = std::chrono::milliseconds(0);
    settings.removedKept = 10;
    model_ = std::make_unique<TFleetModel>(Net(), nullptr, settings);
    TFleetModel &model = *model_;
    model.Start();
    model.Sync();
    const std::uint64_t before = model.Snapshot().cursor;
    // Strangers claiming ever new codes, each gone again.
    for (int i = 0; i < 25; ++i) {
        const QString code = QStringLiteral("R%1").arg(i);
        model.UnitHeartbeat(Unit(code), "10.2.0.1", 6000 + i, false);
        model.Sync();
        model.UnitGone(code, "10.2.0.1", 6000 + i);
        model.Sync();
    }
    // A cursor from before what was forgotten gets the whole fleet again.
    const TFleetChanges changes = model.ChangesSince(before, 5);
    EXPECT_TRUE(changes.reset);
    EXPECT_EQ(changes.rows.size(), 2u); // U1 and U2
    EXPECT_TRUE(changes.removed.isEmpty());
    EXPECT_FALSE(model.ChangesSince(changes.cursor, 5).reset);
    EXPECT_EQ(model.Snapshot().rows.size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, Fleet, testing::Values(quint8{1}, quint8{3}),
                         storetest::KindParamName);

} // namespace
