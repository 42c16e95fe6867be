// The user table window driven through its real widgets, offscreen, on a
// SQLite home: the lists, Add's checks, the super user limit, the context
// menus, suspension against a real client server, the order of deletion and
// the file operations.
#include "ClientTcp.h"
#include "ModalAnswer.h"
#include "NetD.h"
#include "OperatorService.h"
#include "PublicU.h"
#include "TestSupport.h"
#include "UserRegisterTable.h"
#include "UserTableF.h"
#include "UserTableFile.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTcpSocket>
#include <QThread>
#include <QTreeWidget>

#include <gtest/gtest.h>

namespace {

using uitest::AnswerNextBox;
using uitest::BoxSeen;

bool WaitUntil(const std::function<bool()> &done) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > 10000)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

class UserTableWindow : public ::testing::Test {
protected:
    void SetUp() override {
        home_ = mmstest::MakeSqliteHome();
        db_ = std::make_unique<TdmNet>(home_->SqliteTarget());
        AddUser("normal01", 0);
        AddUser("stopped1", 1);
        AddUser("super001", 6);
        links_.CheckClientExist = [this](const QString &name) { return loggedIn_.contains(name); };
        links_.DisClientConnect = [this](const QString &name) { disconnected_.append(name); };
        links_.Exit = [this] { ++importsCompleted_; };
    }
    void TearDown() override {
        window_.reset();
        service_.reset();
        check_.reset();
        db_.reset();
    }
    void AddUser(const QString &name, int state) {
        db_->Exec("insert into UserRegister (UserName,UserPassword,Email,UserPhone,RegisterTime,"
                  "UseState) values (?,'pw','e@x','1','2024-03-05 08:09:10',?)",
                  {name, state});
    }
    TfrmUserTable &Open() {
        check_ = std::make_unique<TCheckDelData>(*db_, nullptr);
        service_ = std::make_unique<TOperatorService>(*db_, *check_, links_, codePage_);
        window_ = std::make_unique<TfrmUserTable>(*service_, hooks_);
        window_->show();
        return *window_;
    }
    static QTreeWidgetItem *Row(QTreeWidget *list, const QString &name) {
        const auto found = list->findItems(name, Qt::MatchExactly, 0);
        return found.isEmpty() ? nullptr : found.first();
    }
    static void Select(QTreeWidget *list, const QString &name) {
        QTreeWidgetItem *item = Row(list, name);
        ASSERT_TRUE(item);
        list->setCurrentItem(item);
    }
    int UseState(const QString &name) {
        const auto rows = db_->Select("select UseState from UserRegister where UserName=?", {name});
        return rows.empty() ? -1 : rows.front().value(0).toInt();
    }

    std::unique_ptr<mmstest::TestHome> home_;
    std::unique_ptr<TdmNet> db_;
    TOperatorLinks links_;
    QString codePage_ = QStringLiteral("GB18030");
    TfrmUserTable::Hooks hooks_;
    QStringList loggedIn_;
    QStringList disconnected_;
    int importsCompleted_ = 0;
    std::unique_ptr<TCheckDelData> check_;
    std::unique_ptr<TOperatorService> service_;
    std::unique_ptr<TfrmUserTable> window_;
};

TEST_F(UserTableWindow, ShowListsAccountsApartWithStatusColourAndLogin) {
    loggedIn_ << "super001";
    TfrmUserTable &w = Open();
    EXPECT_EQ(w.windowTitle(), "User Table");
    ASSERT_EQ(w.ListView1->topLevelItemCount(), 2);
    ASSERT_EQ(w.ListView2->topLevelItemCount(), 1);
    QTreeWidgetItem *normal = Row(w.ListView1, "normal01");
    QTreeWidgetItem *stopped = Row(w.ListView1, "stopped1");
    EXPECT_EQ(normal->text(6), "Normal");
    EXPECT_EQ(stopped->text(6), "User Suspended");
    EXPECT_EQ(stopped->foreground(0).color(), QColor(255, 0, 0));
    EXPECT_NE(normal->foreground(0).color(), QColor(255, 0, 0));
    EXPECT_EQ(Row(w.ListView2, "super001")->text(4), "Login");
    EXPECT_EQ(w.ListView1->headerItem()->text(6), "User Status");
    EXPECT_EQ(w.ListView1->columnWidth(2), 160);
    EXPECT_EQ(w.ListView2->headerItem()->text(4), "Status");
}

TEST_F(UserTableWindow, AddChecksInOrderWithTheirMessagesAndFocus) {
    TfrmUserTable &w = Open();
    w.btnCreate->click();
    ASSERT_TRUE(w.pnCreate->isVisibleTo(&w));
    struct Case {
        QString name, password, message;
        QMessageBox::Icon icon;
        QLineEdit *TfrmUserTable::*focus;
    } cases[] = {
        {"", "", "Please enter username.", QMessageBox::Information, &TfrmUserTable::edtUserName},
        {"abcdef", "", "Please enter password.", QMessageBox::Information,
         &TfrmUserTable::edtPassword},
        {"  abcde ", "x", "User name length can not less than 6.", QMessageBox::Information,
         &TfrmUserTable::edtUserName},
        {"abcdef", " 12345 ", "Password length can not less than 6.", QMessageBox::Information,
         &TfrmUserTable::edtPassword},
        // Also an ordinary account's name is taken.
        {"normal01", "123456", "Exist same user name.", QMessageBox::Critical,
         &TfrmUserTable::edtUserName},
        {"super001", "123456", "Exist same user name.", QMessageBox::Critical,
         &TfrmUserTable::edtUserName},
    };
    for (const Case &c : cases) {
        w.edtUserName->setText(c.name);
        w.edtPassword->setText(c.password);
        BoxSeen box;
        AnswerNextBox(QMessageBox::Ok, &box);
        w.btnAdd->click();
        EXPECT_EQ(box.text, c.message) << c.name.toStdString();
        EXPECT_EQ(box.icon, c.icon) << c.message.toStdString();
        EXPECT_EQ(w.focusWidget(), w.*c.focus) << c.message.toStdString();
        EXPECT_TRUE(w.pnCreate->isVisibleTo(&w));
    }
    EXPECT_EQ(w.ListView2->topLevelItemCount(), 1);

    w.edtUserName->setText("admin02");
    w.edtPassword->setText("secret2");
    w.btnAdd->click();
    EXPECT_FALSE(w.pnCreate->isVisibleTo(&w));
    EXPECT_TRUE(w.edtUserName->text().isEmpty());
    QTreeWidgetItem *row = Row(w.ListView2, "admin02");
    ASSERT_TRUE(row);
    EXPECT_EQ(row->text(2), row->text(3));
    const auto rows = db_->Select("select * from UserRegister where UserName='admin02'");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].value("UserPassword").toString(), "secret2");
    EXPECT_EQ(rows[0].value("Email").toString(), "@");
    EXPECT_EQ(rows[0].value("UserPhone").toString(), "000");
    EXPECT_EQ(rows[0].value("RegisterTime"), rows[0].value("LoginTime"));
    EXPECT_EQ(rows[0].value("UseState").toInt(), 6);
    EXPECT_EQ(row->text(2), DateTimeText(db_->Dialect().ReadDateTime(rows[0].value("LoginTime"))));

    // Two super users now: Create refuses and the panel stays hidden.
    BoxSeen box;
    AnswerNextBox(QMessageBox::Ok, &box);
    w.btnCreate->click();
    EXPECT_EQ(box.text, "Super users only can at most two accounts.");
    EXPECT_FALSE(w.pnCreate->isVisibleTo(&w));
}

TEST_F(UserTableWindow, SuspendClosesTheClientsConnectionsAndReinstateDoesNot) {
    TClientTcp::EquipmentHooks equipment;
    equipment.UserLineState = [](const QString &, bool, QString &) { return QString(); };
    equipment.AddDataPackage = [](const TChannelRequest &) {};
    TClientTcp server({}, {}, equipment, {});
    ASSERT_TRUE(server.Start(0));
    links_.CheckClientExist = [&](const QString &n) { return server.CheckClientExist(n); };
    links_.DisClientConnect = [&](const QString &n) { server.DisClientConnect(n); };
    QTcpSocket client;
    client.connectToHost("127.0.0.1", server.ServerPort());
    ASSERT_TRUE(client.waitForConnected(5000));
    client.write("*0000normal01*");
    ASSERT_TRUE(WaitUntil([&] { return server.CheckClientExist("normal01"); }));

    TfrmUserTable &w = Open();
    Select(w.ListView1, "normal01");
    w.PopupMenu1Popup();
    ASSERT_TRUE(w.miStop->isVisible());
    EXPECT_EQ(w.miStop->text(), "Suspend User");
    // No: nothing happens.
    BoxSeen box;
    AnswerNextBox(QMessageBox::No, &box);
    w.miStop->trigger();
    EXPECT_EQ(box.text, "Do you want to suspend this user?");
    EXPECT_EQ(UseState("normal01"), 0);
    EXPECT_TRUE(server.CheckClientExist("normal01"));

    AnswerNextBox(QMessageBox::Yes, &box);
    w.miStop->trigger();
    EXPECT_EQ(UseState("normal01"), 1);
    EXPECT_FALSE(server.CheckClientExist("normal01"));
    EXPECT_TRUE(WaitUntil([&] { return client.state() == QAbstractSocket::UnconnectedState; }));
    QTreeWidgetItem *row = Row(w.ListView1, "normal01");
    EXPECT_EQ(row->text(6), "User Suspended");
    EXPECT_EQ(row->foreground(0).color(), QColor(255, 0, 0));

    // Reinstate: no question, and a connection of that name stays open.
    QTcpSocket again;
    again.connectToHost("127.0.0.1", server.ServerPort());
    ASSERT_TRUE(again.waitForConnected(5000));
    again.write("*0000normal01*");
    ASSERT_TRUE(WaitUntil([&] { return server.CheckClientExist("normal01"); }));
    w.PopupMenu1Popup();
    EXPECT_EQ(w.miStop->text(), "Reinstate User");
    w.miStop->trigger();
    EXPECT_EQ(UseState("normal01"), 0);
    EXPECT_EQ(row->text(6), "Normal");
    EXPECT_NE(row->foreground(0).color(), QColor(255, 0, 0));
    EXPECT_TRUE(server.CheckClientExist("normal01"));
}

TEST_F(UserTableWindow, MenusShowOnlyWhatTheSelectionAllows) {
    loggedIn_ << "super001";
    TfrmUserTable &w = Open();
    w.PopupMenu1Popup();
    EXPECT_FALSE(w.miStop->isVisible());
    EXPECT_FALSE(w.miDel->isVisible());
    w.PopupMenu2Popup();
    EXPECT_FALSE(w.miDisconnect->isVisible());
    EXPECT_FALSE(w.miModifyPassword->isVisible());
    EXPECT_FALSE(w.miDelSuper->isVisible());

    Select(w.ListView2, "super001");
    w.PopupMenu2Popup();
    EXPECT_TRUE(w.miDisconnect->isVisible());
    EXPECT_TRUE(w.miModifyPassword->isVisible());
    EXPECT_TRUE(w.miDelSuper->isVisible());
    w.miDisconnect->trigger();
    EXPECT_EQ(disconnected_, QStringList{"super001"});
    EXPECT_EQ(Row(w.ListView2, "super001")->text(4), "");
    w.PopupMenu2Popup();
    EXPECT_FALSE(w.miDisconnect->isVisible());
    EXPECT_TRUE(w.miDelSuper->isVisible());
}

TEST_F(UserTableWindow, ModifyPasswordTakesAnyTextAndCancelChangesNothing) {
    TfrmUserTable &w = Open();
    Select(w.ListView2, "super001");
    QString label;
    uitest::AnswerNextInput("ignored", false, &label);
    w.miModifyPassword->trigger();
    EXPECT_EQ(label, "Modify Password|New Password");
    EXPECT_TRUE(disconnected_.isEmpty());

    uitest::AnswerNextInput("", true, &label);
    w.miModifyPassword->trigger();
    const auto rows =
        db_->Select("select UserPassword from UserRegister where UserName='super001'");
    EXPECT_EQ(rows.at(0).value(0).toString(), "");
    EXPECT_EQ(Row(w.ListView2, "super001")->text(1), "");
    EXPECT_EQ(disconnected_, QStringList{"super001"});
}

TEST_F(UserTableWindow, DeletingAnAccountEmptiesItsTablesInOrder) {
    db_->Exec("create table DelLog (n integer primary key autoincrement, t text)");
    for (const char *table : {"RecycleUserEquipment", "UserEquipment", "UserRegister"})
        db_->Exec(QStringLiteral("create trigger Log%1 after delete on %1 begin insert into "
                                 "DelLog (t) values ('%1'); end")
                      .arg(table));
    db_->Exec("insert into UserEquipment (UserName,EquipmentCode) values ('normal01','A1')");
    db_->Exec("insert into RecycleUserEquipment (UserName,EquipmentCode) values ('normal01','A2')");
    db_->Exec("insert into UserEquipment (UserName,EquipmentCode) values ('super001','A3')");
    TfrmUserTable &w = Open();
    Select(w.ListView1, "normal01");
    BoxSeen box;
    AnswerNextBox(QMessageBox::Yes, &box);
    w.miDel->trigger();
    EXPECT_EQ(box.text, "Do you want to delete this user?");
    QStringList order;
    for (const QSqlRecord &r : db_->Select("select t from DelLog order by n"))
        order << r.value(0).toString();
    EXPECT_EQ(order, QStringList({"RecycleUserEquipment", "UserEquipment", "UserRegister"}));
    EXPECT_EQ(disconnected_, QStringList{"normal01"});
    EXPECT_FALSE(Row(w.ListView1, "normal01"));
    EXPECT_EQ(UseState("normal01"), -1);

    // A super user's assignments stay.
    Select(w.ListView2, "super001");
    AnswerNextBox(QMessageBox::Yes, &box);
    w.miDelSuper->trigger();
    EXPECT_FALSE(Row(w.ListView2, "super001"));
    EXPECT_EQ(db_->Select("select * from UserEquipment where UserName='super001'").size(), 1u);
}

TEST_F(UserTableWindow, ExportThenImportEndsTheProgramAndAFailedImportDoesNot) {
    QTemporaryDir dir;
    hooks_.AskExportFile = [&](QWidget *) { return dir.filePath("users.txt"); };
    hooks_.AskImportFile = [&](QWidget *) { return dir.filePath("users.hd"); };
    TfrmUserTable &w = Open();
    BoxSeen box;
    AnswerNextBox(QMessageBox::Ok, &box);
    w.miExportUserTable->trigger();
    EXPECT_EQ(box.text, "The user table is exported successfully.");
    ASSERT_TRUE(QFile::exists(dir.filePath("users.hd")));

    db_->Exec("delete from UserRegister where UserName='normal01'");
    AnswerNextBox(QMessageBox::Ok, &box);
    w.miImportUserTable->trigger();
    EXPECT_EQ(box.text, "The user table has been imported and the program will be closed to "
                        "complete the process.");
    EXPECT_EQ(importsCompleted_, 1);
    EXPECT_EQ(UseState("normal01"), 0);

    QFile bad(dir.filePath("users.hd"));
    ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
    bad.write("Table:UserRegister#@5\r\nField:UserName#@\r\n");
    bad.close();
    AnswerNextBox(QMessageBox::Ok, &box);
    w.miImportUserTable->trigger();
    EXPECT_EQ(box.text, "Import the table fail.");
    EXPECT_FALSE(box.informativeText.isEmpty()); // the reason, as the command line prints it
    EXPECT_EQ(box.icon, QMessageBox::Critical);
    EXPECT_EQ(importsCompleted_, 1);
    EXPECT_EQ(UseState("normal01"), 0);
}

TEST_F(UserTableWindow, AUtf8FileWithoutAMarkIsReadInTheCodePageWithAWarning) {
    QTemporaryDir dir;
    codePage_ = QStringLiteral("GB18030");
    hooks_.AskExportFile = [&](QWidget *) { return dir.filePath("users.hd"); };
    hooks_.AskImportFile = [&](QWidget *) { return dir.filePath("users.hd"); };
    AddUser(QStringLiteral("张三"), 0);
    TfrmUserTable &w = Open();
    BoxSeen box;
    AnswerNextBox(QMessageBox::Ok, &box);
    w.miExportUserTable->trigger();
    ASSERT_EQ(box.text, "The user table is exported successfully.");

    // The file saved again as an editor would: UTF-8 without a mark.
    QFile file(dir.filePath("users.hd"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString text = QStringDecoder("GB18030").decode(file.readAll());
    file.close();
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text.toUtf8());
    file.close();
    AnswerNextBox(QMessageBox::Ok, &box);
    w.miImportUserTable->trigger();
    EXPECT_EQ(box.icon, QMessageBox::Information);
    EXPECT_TRUE(box.informativeText.contains("read in GB18030, but it looks like UTF-8"))
        << box.informativeText.toStdString();
    EXPECT_EQ(UseState(QStringLiteral("张三")), -1); // read as the code page says

    const struct {
        QByteArray bytes;
        const char *codePage;
        bool warned;
    } cases[] = {
        {"plain ASCII", "GB18030", false},
        {QStringLiteral("张三").toUtf8(), "GB18030", true},
        {QStringLiteral("张三").toUtf8(), "UTF-8", false},
        {"\xEF\xBB\xBF" + QStringLiteral("张三").toUtf8(), "GB18030", false},
        {QStringEncoder("GB18030").encode(QStringLiteral("张三")), "GB18030", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(LikelyOtherEncoding(c.bytes, QString::fromLatin1(c.codePage)).has_value(),
                  c.warned)
            << c.bytes.toHex().toStdString() << " " << c.codePage;
}

TEST_F(UserTableWindow, EveryColumnFitsItsLongestTextAndEveryCellHasItsTooltip) {
    db_->Exec("update UserRegister set RegisterTime='2024-12-28 23:58:59', "
              "LoginTime='2024-11-30 22:59:58'");
    TfrmUserTable &w = Open();
    for (QTreeWidget *list : {w.ListView1, w.ListView2}) {
        ASSERT_GT(list->topLevelItemCount(), 0);
        for (int c = 0; c < list->columnCount(); ++c) {
            EXPECT_GE(list->columnWidth(c),
                      static_cast<const QAbstractItemView *>(list)->sizeHintForColumn(c))
                << c;
            EXPECT_EQ(list->topLevelItem(0)->toolTip(c), list->topLevelItem(0)->text(c)) << c;
        }
    }
}

} // namespace
