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
class TOperatorService;
struct TOperatorResult;

class TfrmUserTable : public QDialog {
    Q_OBJECT
public:
    struct Hooks {
        // The file dialogs; an empty name is Cancel. Unset: the real dialogs.
        std::function<QString(QWidget *parent)> AskExportFile;
        std::function<QString(QWidget *parent)> AskImportFile;
    };

    // Every read and change goes through `service`; a completed import ends
    // the program through it.
    TfrmUserTable(TOperatorService &service, Hooks hooks = {}, QWidget *parent = nullptr);

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
    // Shows the error of a failed call; true when it succeeded (the list is
    // otherwise left as it was).
    bool Shown(const QString &error);
    // The answer of a change made through the service.
    using Done = std::function<void(const TOperatorResult &)>;
    // Starts a change on the account `name` with its answer `done`.
    using AccountChange = std::function<void(const QString &name, const Done &done)>;
    // Waits for the change of the account; see Shown.
    bool Change(const QString &name, const AccountChange &change);
    // Asks, removes the selected account with remove (which also closes its
    // connections) and drops the row.
    void DeleteSelected(QTreeWidget *list, const AccountChange &remove);

    TOperatorService &service_;
    Hooks hooks_;
    QAction *popup1Separator_ = nullptr;
    QAction *popup2Separator1_ = nullptr;
    QAction *popup2Separator2_ = nullptr;
};
