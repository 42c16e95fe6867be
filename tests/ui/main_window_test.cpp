// The main window's first show, its status line and the confirmed close.
#include "MainF.h"
#include "PublicU.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

// Answers the next modal question with the given button and records its text.
void AnswerNextQuestion(QMessageBox::StandardButton answer, QString *text) {
    QTimer::singleShot(0, [answer, text] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box) {
            AnswerNextQuestion(answer, text);
            return;
        }
        *text = box->text();
        box->button(answer)->click();
    });
}

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

} // namespace
