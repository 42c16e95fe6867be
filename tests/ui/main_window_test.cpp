// The main window: first show, status line, confirmed close, the log panes,
// the Tools menu and the panes' context menu.
#include "MainF.h"
#include "PublicU.h"

#include "UiTestUtil.h"

#include <QAction>
#include <QMenu>
#include <QPlainTextEdit>
#include <QTest>
#include <QTextBlock>

#include <gtest/gtest.h>

namespace {

using uitest::AnswerNextQuestion;

TEST(MainWindow, CloseAsksAndOnlyYesRunsTheExit) {
    int shows = 0, exits = 0;
    bool saveWorks = true;
    TfrmMain w({[&] {
                    ++shows;
                    return true;
                },
                [&] {
                    ++exits;
                    return saveWorks;
                }});
    w.show();
    w.hide();
    w.show();
    EXPECT_EQ(shows, 1);
    EXPECT_TRUE(w.StatusText().startsWith(QStringLiteral(" LoginTime:")));
    EXPECT_TRUE(
        w.StatusText().endsWith(QStringLiteral("   UserConnectNumber:0   BoosterConnectNumber:0")));

    QString asked;
    AnswerNextQuestion(QMessageBox::No, &asked);
    EXPECT_FALSE(w.close());
    EXPECT_EQ(asked, QStringLiteral("Exit Software?"));
    EXPECT_EQ(exits, 0);
    EXPECT_TRUE(w.isVisible());

    saveWorks = false; // the counters could not be saved: the window stays
    AnswerNextQuestion(QMessageBox::Yes, &asked);
    EXPECT_FALSE(w.close());
    EXPECT_EQ(exits, 1);
    EXPECT_TRUE(w.isVisible());

    saveWorks = true;
    AnswerNextQuestion(QMessageBox::Yes, &asked);
    EXPECT_TRUE(w.close());
    EXPECT_EQ(exits, 2);
}

TEST(MainWindow, ConnectCountEntryNeedsAVersionLongerThanFourAndCountsUpdateTheStatusLine) {
    SoftWareVerNumber = QStringLiteral("V1.0");
    TfrmMain four({});
    EXPECT_FALSE(four.miConnectCount->isVisible());
    SoftWareVerNumber = QStringLiteral("V1.00");
    TfrmMain five({});
    EXPECT_TRUE(five.miConnectCount->isVisible());

    five.show();
    five.OnBoosterConnectNumber(12);
    five.OnUserConnectNumber(3);
    EXPECT_TRUE(five.StatusText().endsWith(
        QStringLiteral("   UserConnectNumber:3   BoosterConnectNumber:12")));
    EXPECT_EQ(five.windowTitle(), QStringLiteral("Monitoring Management System Server(V1.00)"));
}

// Restores the log switch and the version text after a test.
struct GlobalsGuard {
    bool hint = ShowInfoHint;
    QString version = SoftWareVerNumber;
    ~GlobalsGuard() {
        ShowInfoHint = hint;
        SoftWareVerNumber = version;
    }
};

// The colour of a pane's line (block), as a blue-green-red value.
quint32 LineColour(QPlainTextEdit *pane, int line) {
    const QColor c = pane->document()
                         ->findBlockByNumber(line)
                         .begin()
                         .fragment()
                         .charFormat()
                         .foreground()
                         .color();
    return quint32(c.red()) | quint32(c.green()) << 8 | quint32(c.blue()) << 16;
}

const QDateTime kTime(QDate(2024, 5, 6), QTime(7, 8, 9));

TEST(MainWindowLog, TheSwitchGatesLinesAndColoursPickThePaneAndAlternate) {
    GlobalsGuard guard;
    TfrmMain w({});
    ShowInfoHint = false;
    w.CommInfoHint(kTime, "quiet", clWhite);
    w.CommInfoHint(kTime, "quiet", clYellow);
    EXPECT_TRUE(w.mmoCommInfo1->document()->isEmpty());
    EXPECT_TRUE(w.mmoCommInfo2->document()->isEmpty());

    ShowInfoHint = true; // earlier lines are not replayed
    w.CommInfoHint(kTime, "one", clWhite);
    w.CommInfoHint(kTime, "error", clRed);
    w.CommInfoHint(kTime, "three", clWhite);
    w.CommInfoHint(kTime, "green", 0x00FF00);
    w.CommInfoHint(kTime, "hb", clYellow);
    w.CommInfoHint(kTime, "two\rlines", clYellow);
    EXPECT_EQ(w.mmoCommInfo1->document()->blockCount(), 4);
    EXPECT_TRUE(w.mmoCommInfo1->document()->firstBlock().text().endsWith("->one"));
    // Blue for an even count before the line, black for odd; a red line
    // counts but keeps its own colour.
    EXPECT_EQ(LineColour(w.mmoCommInfo1, 0), clBlue);
    EXPECT_EQ(LineColour(w.mmoCommInfo1, 1), clRed);
    EXPECT_EQ(LineColour(w.mmoCommInfo1, 2), clBlue);
    EXPECT_EQ(LineColour(w.mmoCommInfo1, 3), 0x00FF00u);
    EXPECT_EQ(w.mmoCommInfo2->toPlainText().count("->"), 2);
    EXPECT_EQ(w.mmoCommInfo2->document()->blockCount(), 3);
    EXPECT_EQ(LineColour(w.mmoCommInfo2, 1), 0u);
    EXPECT_EQ(LineColour(w.mmoCommInfo2, 2), 0u); // continuation of the black line
    // Colours alternate per entry: the entry after a two-line one is blue.
    w.CommInfoHint(kTime, "next", clYellow);
    EXPECT_EQ(LineColour(w.mmoCommInfo2, 3), clBlue);
    // Markup in a received text is shown as it is.
    w.CommInfoHint(kTime, "<b>bold</b>", clWhite);
    EXPECT_TRUE(w.mmoCommInfo1->document()->lastBlock().text().endsWith("-><b>bold</b>"));
}

// The pane is the one the event names; its colour only paints the line.
TEST(MainWindowLog, AnEventGoesToThePaneItNames) {
    GlobalsGuard guard;
    TfrmMain w({});
    ShowInfoHint = true;
    TLogEvent traffic = LogEvent(TLogKind::Reply, TLogPane::Traffic, "white below", clWhite);
    traffic.time = kTime;
    TLogEvent events = LogEvent(TLogKind::Note, TLogPane::Events, "yellow above", clYellow);
    events.time = kTime;
    w.ShowEvent(traffic);
    w.ShowEvent(events);
    EXPECT_EQ(w.mmoCommInfo1->toPlainText(), DateTimeText(kTime) + "->yellow above");
    EXPECT_EQ(w.mmoCommInfo2->toPlainText(), DateTimeText(kTime) + "->white below");
}

TEST(MainWindowLog, APaneIsClearedOnlyByTheLineAfterItsThousandAndFirst) {
    GlobalsGuard guard;
    ShowInfoHint = true;
    TfrmMain w({});
    for (int i = 1; i <= 1001; ++i)
        w.CommInfoHint(kTime, QString::number(i), clYellow);
    EXPECT_EQ(w.mmoCommInfo2->document()->blockCount(), 1001);
    w.CommInfoHint(kTime, "1002", clYellow);
    EXPECT_EQ(w.mmoCommInfo2->document()->blockCount(), 1);
    EXPECT_TRUE(w.mmoCommInfo2->toPlainText().endsWith("->1002"));
    EXPECT_EQ(LineColour(w.mmoCommInfo2, 0), clBlue);
}

// Puts text into a pane and selects `selected` within it.
void SelectIn(QPlainTextEdit *pane, const QString &text, const QString &selected) {
    pane->setPlainText(text);
    QTextCursor c(pane->document());
    c.setPosition(int(text.indexOf(selected)));
    c.setPosition(int(text.indexOf(selected) + selected.size()), QTextCursor::KeepAnchor);
    pane->setTextCursor(c);
}

TEST(MainWindowLog, NewLinesLeaveTheSelectionAloneAndWrapWithoutAHorizontalBar) {
    GlobalsGuard guard;
    ShowInfoHint = true;
    TfrmMain w({});
    w.resize(400, 300);
    w.show();
    const QString frame = "7E" + QString(200, 'A') + "7E";
    w.CommInfoHint(kTime, "Equipment frame\r" + frame, clYellow);
    // The operator double-clicks the newest frame, which ends the pane.
    QPlainTextEdit *pane = w.mmoCommInfo2;
    const QString text = pane->toPlainText();
    QTextCursor c(pane->document());
    c.setPosition(int(text.indexOf(frame)));
    c.setPosition(int(text.size()), QTextCursor::KeepAnchor);
    pane->setTextCursor(c);
    for (int i = 0; i < 5; ++i)
        w.CommInfoHint(kTime, "next\r7E0102", clYellow);
    EXPECT_EQ(pane->textCursor().selectedText(), frame);
    EXPECT_EQ(pane->document()->blockCount(), 2 + 5 * 2);

    EXPECT_NE(pane->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_EQ(pane->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QTest::qWait(300); // painted and laid out again
    EXPECT_GT(pane->document()->findBlock(int(text.indexOf(frame))).lineCount(), 1);
}

TEST(MainWindowMenus, ResolverEntryNeedsA7ESelectionOfAtLeast34Characters) {
    TfrmMain w({});
    QString resolved;
    w.menuHooks.OpenResolver = [&](const QString &text) { resolved = text; };
    const QString frame34 = "7E" + QString(32, 'A');
    struct Case {
        const char *name;
        QString selected;
        bool visible;
    };
    const Case cases[] = {
        {"34 characters", frame34, true},
        {"33 characters", frame34.left(33), false},
        {"lower case 7e", "7e" + QString(32, 'A'), false},
        {"not a frame", "AB" + QString(40, 'A'), false},
        {"nothing selected", "", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SelectIn(w.mmoCommInfo2, "time->" + c.selected + " \n", c.selected);
        w.PopupMenu1Popup(w.mmoCommInfo2);
        EXPECT_EQ(w.miCommResolverPack->isVisible(), c.visible);
        EXPECT_TRUE(w.miCommClearInfo->isVisible());
    }
    // The selection goes to the resolver without surrounding blanks and breaks.
    SelectIn(w.mmoCommInfo2, "x->  " + frame34 + " \nnext", "  " + frame34 + " \n");
    w.PopupMenu1Popup(w.mmoCommInfo2);
    EXPECT_TRUE(w.miCommResolverPack->isVisible() == false); // begins with blanks
    SelectIn(w.mmoCommInfo2, "x->" + frame34 + " \nnext", frame34 + " \n");
    w.PopupMenu1Popup(w.mmoCommInfo2);
    ASSERT_TRUE(w.miCommResolverPack->isVisible());
    w.miCommResolverPack->trigger();
    EXPECT_EQ(resolved, frame34);
}

TEST(MainWindowMenus, ClearInformationShowsOnAPaneWithTextAndClearsOnlyThatPane) {
    TfrmMain w({});
    w.PopupMenu1Popup(w.mmoCommInfo1);
    EXPECT_FALSE(w.miCommClearInfo->isVisible());
    w.mmoCommInfo1->setPlainText("upper");
    w.mmoCommInfo2->setPlainText("lower");
    w.PopupMenu1Popup(w.mmoCommInfo2);
    EXPECT_TRUE(w.miCommClearInfo->isVisible());
    w.miCommClearInfo->trigger();
    EXPECT_TRUE(w.mmoCommInfo2->document()->isEmpty());
    EXPECT_EQ(w.mmoCommInfo1->toPlainText(), "upper");
}

TEST(MainWindowMenus, ToolsEntriesReachTheirHooksWithTheShownCaptions) {
    GlobalsGuard guard;
    SoftWareVerNumber = "V1.00";
    TfrmMain w({});
    int userTable = 0, parameterSet = 0, cleared = 0;
    w.menuHooks.OpenUserTable = [&] { ++userTable; };
    w.menuHooks.OpenParameterSet = [&] { ++parameterSet; };
    w.menuHooks.ClearAnalysisAlertList = [&] { ++cleared; };
    w.menuHooks.GetEquipmentConnectCount = [] { return 2000; };
    w.menuHooks.GetClientConnectCount = [] { return 7; };
    w.show();
    QStringList captions;
    for (QAction *a : w.miTool->actions())
        if (!a->isSeparator())
            captions << a->text();
    EXPECT_EQ(captions, QStringList({"User Table", "Parameter Set", "Connect Count",
                                     "Empty Alert Mail List"}));
    EXPECT_EQ(w.miTool->title(), "Tools");
    EXPECT_EQ(w.miCommResolverPack->text(), "Agreements Analyzing");
    EXPECT_EQ(w.miCommClearInfo->text(), "Clear Information");

    w.miUserTable->trigger();
    w.miParameterSet->trigger();
    w.miClearAlarmList->trigger();
    EXPECT_EQ(userTable, 1);
    EXPECT_EQ(parameterSet, 1);
    EXPECT_EQ(cleared, 1);

    QString text;
    AnswerNextQuestion(QMessageBox::Ok, &text);
    w.miConnectCount->trigger();
    EXPECT_EQ(text, "Equipment Connect:2000\n\r       Client Connect:7");
}

} // namespace
