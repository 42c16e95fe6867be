// The user table window: ordinary accounts and super users of UserRegister,
// super user creation, suspension, deletion and password change, and the
// export and import of the account tables as a .hd file.
#pragma once

#include <QDialog>

#include <functional>

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QMenuBar;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;
class TdmNet;

class TfrmUserTable : public QDialog {
    Q_OBJECT
public:
    struct Hooks {
        // The client server: is someone logged in under the name; close every
        // connection logged in under it.
        std::function<bool(const QString &UserName)> CheckClientExist;
        std::function<void(const QString &UserName)> DisClientConnect;
        // Runs after a completed import: saves the request counters and ends
        // the program without the close confirmation.
        std::function<void()> ImportCompleted;
        // The file dialogs; an empty name is Cancel. Unset: the real dialogs.
        std::function<QString(QWidget *parent)> AskExportFile;
        std::function<QString(QWidget *parent)> AskImportFile;
        // The 8-bit code page of the .hd file.
        QString CodePage = QStringLiteral("GB18030");
    };

    TfrmUserTable(TdmNet &db, Hooks hooks, QWidget *parent = nullptr);

    void btnCreateClick();
    void btnAddClick();
    void PopupMenu1Popup();
    void miStopClick();
    void miDelClick();
    void PopupMenu2Popup();
    void miDisconnectClick();
    void miModifyPasswordClick();
    void miDelSuperClick();
    void miExportUserTableClick();
    void miImportUserTableClick();

    // Status text of a UseState value.
    static QString UseStateKeyToValue(int UseState);

    QMenuBar *mnuMain = nullptr;
    QMenu *miTool = nullptr;
    QAction *miExportUserTable = nullptr;
    QAction *miImportUserTable = nullptr;
    QTreeWidget *ListView1 = nullptr;
    QTreeWidget *ListView2 = nullptr;
    QLabel *lblSuperUser = nullptr;
    QPushButton *btnCreate = nullptr;
    QWidget *pnCreate = nullptr;
    QLabel *lblUserName = nullptr;
    QLineEdit *edtUserName = nullptr;
    QLabel *lblPassword = nullptr;
    QLineEdit *edtPassword = nullptr;
    QPushButton *btnAdd = nullptr;
    QMenu *PopupMenu1 = nullptr;
    QAction *miStop = nullptr;
    QAction *miDel = nullptr;
    QMenu *PopupMenu2 = nullptr;
    QAction *miDisconnect = nullptr;
    QAction *miModifyPassword = nullptr;
    QAction *miDelSuper = nullptr;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void RecycleEquipmentWindowTextDisplay();
    void FillLists();
    void SetStatus(QTreeWidgetItem *item, const QString &status);
    // Runs a change of the database; a failure shows its text and returns
    // false (the list is then left as it was).
    bool Run(const std::function<void()> &change);
    // Asks, removes the selected account with remove(name), closes its
    // connections and drops the row.
    void DeleteSelected(QTreeWidget *list, const std::function<void(const QString &)> &remove);

    TdmNet &db_;
    Hooks hooks_;
    QAction *popup1Separator_ = nullptr;
    QAction *popup2Separator1_ = nullptr;
    QAction *popup2Separator2_ = nullptr;
};
