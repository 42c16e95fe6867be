// The parameter settings window on a real SQLite database: the day fields,
// Save and Cancel, the key filter, Escape, the log switch and the manual
// deletions; and the retention timer runs behind it.
#include "CheckDelData.h"
#include "HistoryTables.h"
#include "NormalParamTable.h"
#include "OperatorService.h"
#include "ParameterSetF.h"
#include "PublicU.h"
#include "TestSupport.h"
#include "UiTestUtil.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

namespace {

using uitest::AnswerNextQuestion;

class ParameterSet : public testing::Test {
protected:
    void SetUp() override {
        home_ = mmstest::MakeSqliteHome(false);
        db_ = std::make_unique<TdmNet>(home_->SqliteTarget());
        check_ = std::make_unique<TCheckDelData>(*db_, nullptr);
        service_ = std::make_unique<TOperatorService>(*db_, *check_, TOperatorLinks(), QString());
        window_ = std::make_unique<TfrmParameterSet>(*service_);
    }
    void TearDown() override { ShowInfoHint = savedHint_; }

    SettingItems Rows() { return TNormalParamTable(*db_).ReadAll(); }
    void AddQueryRows(int n) {
        for (int i = 0; i < n; ++i)
            THistoryTables(*db_).InsertQuery({"n", "E", "02", "General", "",
                                              QDateTime::currentDateTime(),
                                              QDateTime::currentDateTime()});
    }
    int QueryRows() { return db_->Select("select count(*) from QueryHistory")[0].value(0).toInt(); }
    // Clicks a manual deletion button, answers the question and returns the
    // text of the message that follows (empty when none came).
    QString HandDelete(QPushButton *button, QMessageBox::StandardButton answer) {
        QString question, result;
        AnswerNextQuestion(answer, &question);
        if (answer == QMessageBox::Yes)
            AnswerNextQuestion(QMessageBox::Ok, &result);
        button->click();
        EXPECT_TRUE(QTest::qWaitFor([&] { return check_->Idle(); }, 5000));
        if (answer == QMessageBox::Yes) {
            EXPECT_TRUE(QTest::qWaitFor([&] { return !result.isEmpty(); }, 5000));
        }
        EXPECT_TRUE(question.startsWith("Delete "));
        return result;
    }

    bool savedHint_ = ShowInfoHint;
    std::unique_ptr<mmstest::TestHome> home_;
    std::unique_ptr<TdmNet> db_;
    std::unique_ptr<TCheckDelData> check_;
    std::unique_ptr<TOperatorService> service_;
    std::unique_ptr<TfrmParameterSet> window_;
};

TEST_F(ParameterSet, WithoutRowsShows30AndSaveAppendsBothRows) {
    window_->show();
    EXPECT_EQ(window_->windowTitle(), "Parameter Setting");
    EXPECT_EQ(window_->edtQueryDay->text(), "30");
    EXPECT_EQ(window_->edtAlarmDay->text(), "30");
    EXPECT_FALSE(window_->btnSaveDay->isEnabled());
    EXPECT_FALSE(window_->btnSaveCancel->isEnabled());

    window_->edtAlarmDay->setText("7");
    EXPECT_TRUE(window_->btnSaveDay->isEnabled());
    EXPECT_TRUE(window_->btnSaveCancel->isEnabled());
    window_->btnSaveDay->click();
    EXPECT_EQ(Rows(), (SettingItems{{"HistoryQuerySaveDay", "30"}, {"HistoryAlarmSaveDay", "7"}}));
    EXPECT_FALSE(window_->btnSaveDay->isEnabled());

    // Saved again: the rows are edited, none appended; an empty field is
    // stored as it is.
    window_->edtQueryDay->clear();
    window_->btnSaveDay->click();
    EXPECT_EQ(Rows(), (SettingItems{{"HistoryQuerySaveDay", ""}, {"HistoryAlarmSaveDay", "7"}}));
}

TEST_F(ParameterSet, TypedKeysAreFilteredToThreeDigitsAndPastedTextIsKept) {
    window_->show();
    window_->edtQueryDay->clear();
    QTest::keyClicks(window_->edtQueryDay, "1a-2 .34");
    EXPECT_EQ(window_->edtQueryDay->text(), "123");
    QTest::keyClick(window_->edtQueryDay, Qt::Key_Backspace);
    EXPECT_EQ(window_->edtQueryDay->text(), "12");
    window_->edtAlarmDay->clear();
    window_->edtAlarmDay->insert("x9"); // as a paste does
    EXPECT_EQ(window_->edtAlarmDay->text(), "x9");
}

TEST_F(ParameterSet, CancelAndEscapeDropUnsavedChanges) {
    TNormalParamTable(*db_).Update({{"HistoryQuerySaveDay", "5"}, {"HistoryAlarmSaveDay", "6"}});
    window_->show();
    EXPECT_EQ(window_->edtQueryDay->text(), "5");
    window_->edtQueryDay->setText("99");
    window_->btnSaveCancel->click();
    EXPECT_EQ(window_->edtQueryDay->text(), "5");
    EXPECT_FALSE(window_->btnSaveCancel->isEnabled());

    window_->edtAlarmDay->setText("44");
    QTest::keyClick(window_->edtAlarmDay, Qt::Key_Escape);
    EXPECT_FALSE(window_->isVisible());
    EXPECT_EQ(Rows(), (SettingItems{{"HistoryQuerySaveDay", "5"}, {"HistoryAlarmSaveDay", "6"}}));
    window_->show();
    EXPECT_EQ(window_->edtAlarmDay->text(), "6");
}

TEST_F(ParameterSet, TheLogSwitchActsAtOnceAndIsStoredOnlyWhereItsRowExists) {
    ShowInfoHint = true;
    window_->show();
    EXPECT_TRUE(window_->chkShowInfoHint->isChecked());
    window_->chkShowInfoHint->click();
    EXPECT_FALSE(ShowInfoHint);
    EXPECT_TRUE(Rows().empty()); // no row: nothing stored

    TNormalParamTable(*db_).Update({{"ShowInfoHint", "0"}});
    window_->chkShowInfoHint->click();
    EXPECT_TRUE(ShowInfoHint);
    EXPECT_EQ(Rows(), (SettingItems{{"ShowInfoHint", "1"}}));
}

TEST_F(ParameterSet, ManualDeletionAsksAndReportsTheOutcome) {
    window_->show();
    AddQueryRows(3);
    EXPECT_EQ(HandDelete(window_->btnHandDelQuery, QMessageBox::No), "");
    EXPECT_EQ(QueryRows(), 3);
    EXPECT_EQ(HandDelete(window_->btnHandDelQuery, QMessageBox::Yes),
              "Delete query records success.");
    EXPECT_EQ(QueryRows(), 0);

    TNormalParamTable(*db_).Update({{"HistoryAlarmSaveDay", "many"}});
    EXPECT_EQ(HandDelete(window_->btnHandDelAlarm, QMessageBox::Yes), "Delete alert records fail.");
    EXPECT_TRUE(window_->btnHandDelAlarm->isEnabled());
}

TEST_F(ParameterSet, AManualDeletionQueuedBehindAFailingCleanUpStillRunsAndAnswers) {
    // The clean-up of a timer run fails while a manual deletion waits behind
    // it: the deletion must still run and answer (the window's buttons wait
    // for that answer).
    db_->Exec("insert into UserRegister values(?,?,?,?,?,?,?)",
              {"idle", "", "", "",
               db_->Dialect().DateTimeValue(QDateTime::currentDateTime().addDays(-30)), QVariant(),
               0});
    db_->Exec("drop table RecycleUserEquipment");
    window_.reset();
    TCheckDelData::Settings settings;
    settings.registerHours = [] { return 1; };
    check_ = std::make_unique<TCheckDelData>(*db_, nullptr, settings);
    int failures = 0;
    QObject::connect(check_.get(), &TCheckDelData::RegisterOverdueDeleteFailed,
                     [&] { ++failures; });
    AddQueryRows(2);

    std::optional<bool> answer;
    check_->timCheckDelDataTimer();
    check_->DelHistoryRecord(THistoryKind::Query, false, [&](bool ok) { answer = ok; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return answer.has_value(); }, 5000));
    EXPECT_TRUE(*answer);
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(QueryRows(), 0);
    EXPECT_TRUE(check_->Idle());
}

TEST(CheckDelData, AFailedCleanUpIsLoggedRedSkipsTheHistoryAndTheNextRunComesAsUsual) {
    auto home = mmstest::MakeSqliteHome(false);
    TdmNet db(home->SqliteTarget());
    const QDateTime now(QDate(2024, 6, 1), QTime(12, 0));
    THistoryTables(db).InsertAlarm("old", "", now.addDays(-40));
    db.Exec("insert into UserRegister values(?,?,?,?,?,?,?)",
            {"idle", "", "", "", db.Dialect().DateTimeValue(now.addDays(-2)), QVariant(), 0});
    db.Exec("drop table RecycleUserEquipment");

    std::vector<std::pair<QString, quint32>> log;
    TCheckDelData::Settings settings;
    settings.interval = std::chrono::milliseconds(20);
    settings.clock = [now] { return now; };
    settings.registerHours = [] { return 24; };
    TCheckDelData check(
        db, [&](const QString &t, quint32 c) { log.emplace_back(t, c); }, settings);
    int failures = 0, runs = 0, deleted = 0;
    EXPECT_FALSE(check.LastRun());
    QObject::connect(&check, &TCheckDelData::RegisterOverdueDeleteFailed, [&] { ++failures; });
    // Each run is on record by the time it is over.
    QObject::connect(&check, &TCheckDelData::Finished, [&] {
        ++runs;
        const std::optional<TRetentionRun> last = check.LastRun();
        ASSERT_TRUE(last);
        EXPECT_LE(last->started, last->finished);
        if (last->ok)
            deleted += last->rowsDeleted;
    });

    ASSERT_TRUE(QTest::qWaitFor([&] { return runs >= 1; }, 5000));
    check.timCheckDelData.stop();
    EXPECT_EQ(failures, runs);
    ASSERT_TRUE(check.LastRun());
    EXPECT_FALSE(check.LastRun()->ok);
    EXPECT_FALSE(check.LastRun()->error.isEmpty());
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0].second, clRed);
    EXPECT_TRUE(log[0].first.startsWith("Delete overdue registrations fail: "));
    EXPECT_EQ(db.Select("select * from AlarmHistory").size(), 1u); // skipped

    db.Exec("create table RecycleUserEquipment (UserName TEXT not null, EquipmentCode TEXT, "
            "EquipmentName TEXT, EquipmentType TEXT)");
    const int before = runs;
    check.timCheckDelData.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return runs > before && check.Idle(); }, 5000));
    check.timCheckDelData.stop();
    EXPECT_TRUE(db.Select("select * from AlarmHistory").empty());
    EXPECT_TRUE(db.Select("select * from UserRegister").empty());
    EXPECT_TRUE(check.LastRun()->ok);
    EXPECT_EQ(deleted, 2); // the expired alarm and the idle registration
}

} // namespace
