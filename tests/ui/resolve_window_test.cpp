// The resolver windows driven through their widgets, offscreen: the tree and
// its opened nodes, "DataBody", the grid, the description on double-click,
// Escape and what survives closing.
#include "FrameCodec.h"
#include "MapDataResolveF.h"
#include "ModalAnswer.h"
#include "ParamDictionary.h"
#include "ResolveF.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTableWidget>
#include <QTest>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>

#include <gtest/gtest.h>

namespace {

using uitest::AnswerNextBox;
using uitest::BoxSeen;

class ResolveWindows : public ::testing::Test {
protected:
    void SetUp() override {
        lstParamProperty = {"1200011#0101&Power Switch"};
        lstUnitNameParam = {"00#&"};
    }
    void TearDown() override {
        lstParamProperty.clear();
        lstUnitNameParam.clear();
    }
};

TEST_F(ResolveWindows, TreeShowsTheLayersAndDataBodyFollowsTheItems) {
    TfrmResolve w;
    w.mmoResolvePack->setPlainText(BuildFrame("030101000000050200800102FF04010100"));
    w.show();
    EXPECT_EQ(w.windowTitle(), "Agreements Analyzing");
    EXPECT_FALSE(w.btnMapPack->isEnabled());
    w.btnResolvePack->click();
    ASSERT_EQ(w.TreeView->topLevelItemCount(), 3);
    EXPECT_EQ(w.TreeView->topLevelItem(0)->text(0), "Access layer(AP)");
    EXPECT_TRUE(w.TreeView->topLevelItem(0)->isExpanded());
    EXPECT_FALSE(w.TreeView->topLevelItem(0)->child(4)->isExpanded()); // check unit OK
    EXPECT_EQ(w.TreeView->indentation(), 19);
    EXPECT_EQ(w.MapPackageStr, "04010100");
    EXPECT_TRUE(w.btnMapPack->isEnabled());

    // A frame with a wrong check unit: that node is open.
    QString bad = w.mmoResolvePack->toPlainText();
    bad.replace(14, 2, "06");
    w.mmoResolvePack->setPlainText(bad);
    w.btnResolvePack->click();
    QTreeWidgetItem *check = w.TreeView->topLevelItem(0)->child(4);
    EXPECT_TRUE(check->isExpanded());
    EXPECT_TRUE(check->child(2)->text(0).startsWith("Results: Error(Reference value "));

    // Shown again: tree emptied, "DataBody" disabled, the input kept.
    w.hide();
    w.show();
    EXPECT_EQ(w.TreeView->topLevelItemCount(), 0);
    EXPECT_FALSE(w.btnMapPack->isEnabled());
    EXPECT_EQ(w.mmoResolvePack->toPlainText(), bad);

    // A frame without items leaves "DataBody" disabled.
    w.mmoResolvePack->setPlainText("7E030101000000050100800102FF04BA7E");
    w.btnResolvePack->click();
    EXPECT_FALSE(w.btnMapPack->isEnabled());

    QTest::keyClick(&w, Qt::Key_Escape);
    EXPECT_FALSE(w.isVisible());
}

TEST_F(ResolveWindows, ALineLongerThanTheWindowIsShownWholeWithAScrollBarAndATooltip) {
    TfrmResolve w;
    QString items;
    for (int i = 0; i < 40; ++i)
        items += "04010100";
    w.mmoResolvePack->setPlainText(BuildFrame("030101000000050200800102FF" + items));
    w.resize(300, 300);
    w.show();
    w.btnResolvePack->click();
    QTreeWidgetItem *longest = nullptr;
    for (QTreeWidgetItemIterator it(w.TreeView); *it; ++it) {
        (*it)->setExpanded(true);
        if (!longest || (*it)->text(0).size() > longest->text(0).size())
            longest = *it;
    }
    ASSERT_TRUE(longest);
    ASSERT_GT(longest->text(0).size(), 300);
    EXPECT_EQ(longest->toolTip(0), longest->text(0));
    QTest::qWait(50);
    EXPECT_GE(w.TreeView->columnWidth(0),
              w.TreeView->fontMetrics().horizontalAdvance(longest->text(0)));
    EXPECT_GT(w.TreeView->horizontalScrollBar()->maximum(), 0);
}

TEST_F(ResolveWindows, FailuresShowTheirMessagesAndKeepWhatWasBuilt) {
    TfrmResolve w;
    w.show();
    BoxSeen box;
    w.mmoResolvePack->setPlainText("  7E0301");
    AnswerNextBox(QMessageBox::Ok, &box);
    w.btnResolvePack->click();
    EXPECT_EQ(box.text, "Illegal instructions,analyzing failed. Please check the start & end "
                        "grades of instructions.");
    EXPECT_EQ(box.icon, QMessageBox::Critical);

    w.mmoResolvePack->setPlainText("7E0301XX000000050100800102FF04BA7E");
    AnswerNextBox(QMessageBox::Ok, &box);
    w.btnResolvePack->click();
    EXPECT_EQ(box.text, "Agreements analyzing failed.");
    EXPECT_EQ(w.TreeView->topLevelItemCount(), 2);
}

TEST_F(ResolveWindows, GridRowsDescriptionAndClosing) {
    TfrmMapDataResolve w;
    w.show();
    EXPECT_EQ(w.windowTitle(), "Analysis DataBody");
    EXPECT_EQ(w.StringGrid->horizontalHeaderItem(1)->text(), "        Monitor Object");
    EXPECT_EQ(w.StringGrid->horizontalHeaderItem(3)->text(), " Code");
    EXPECT_TRUE(w.StringGrid->isColumnHidden(0));
    EXPECT_EQ(w.StringGrid->columnWidth(4), 160);
    w.mmoMapPack->setPlainText("04010101040101000400FF00");
    w.TeThemeButton1->click();
    ASSERT_EQ(w.StringGrid->rowCount(), 3);
    EXPECT_EQ(w.StringGrid->item(0, 1)->text(), "04010101");
    EXPECT_EQ(w.StringGrid->item(0, 2)->text(), "4");
    EXPECT_EQ(w.StringGrid->item(0, 3)->text(), "0x0101");
    EXPECT_EQ(w.StringGrid->item(0, 4)->text(), "Power Switch");
    EXPECT_EQ(w.StringGrid->item(0, 5)->text(), "1");
    EXPECT_EQ(w.StringGrid->item(2, 3)->text(), "0xFF00");

    // A shorter list drops the rows past it; an empty one keeps them.
    w.mmoMapPack->setPlainText("04010100");
    w.TeThemeButton1->click();
    EXPECT_EQ(w.StringGrid->rowCount(), 1);
    w.mmoMapPack->setPlainText("00");
    w.TeThemeButton1->click();
    EXPECT_EQ(w.StringGrid->rowCount(), 1);
    EXPECT_EQ(w.StringGrid->item(0, 5)->text(), "0");

    BoxSeen box;
    AnswerNextBox(QMessageBox::Ok, &box);
    w.StringGridDblClick(1);
    EXPECT_EQ(box.text, "Code String: 1200011#0101\n\nType(12): uint1 0～255\n\nUnit(00): \n\n"
                        "Set(01): Yes\n\nFlag: 0x0101\n\nName: Power Switch");
    // The header row and unknown codes do nothing.
    // (A box that came anyway would be answered, not hang the test.)
    box = {};
    AnswerNextBox(QMessageBox::Ok, &box);
    w.StringGridDblClick(0);
    w.mmoMapPack->setPlainText("04FF0000");
    w.TeThemeButton1->click();
    w.StringGridDblClick(1);
    QTest::qWait(50);
    EXPECT_FALSE(box.seen);

    QTest::keyClick(&w, Qt::Key_Escape);
    EXPECT_FALSE(w.isVisible());
    EXPECT_TRUE(w.mmoMapPack->toPlainText().isEmpty());
    w.show();
    EXPECT_EQ(w.StringGrid->rowCount(), 1);
    EXPECT_FALSE(w.StringGrid->item(0, 1));
}

} // namespace
