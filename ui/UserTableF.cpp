#include "UserTableF.h"

#include "OperatorCall.h"
#include "OperatorService.h"
#include "PublicU.h"
#include "WindowLayout.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSplitter>

#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

namespace {

constexpr int kStatus1 = 6; // status column of ListView1
constexpr int kStatus2 = 4; // status column of ListView2
const QString kNormal = QStringLiteral("Normal");
const QString kSuspended = QStringLiteral("User Suspended");
const QString kLogin = QStringLiteral("Login");

QTreeWidget *MakeList(QWidget *parent, const std::vector<int> &widths) {
    auto *list = new QTreeWidget(parent);
    list->setRootIsDecorated(false);
    list->setItemsExpandable(false);
    list->setUniformRowHeights(true);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->setContextMenuPolicy(Qt::CustomContextMenu);
    list->setColumnCount(static_cast<int>(widths.size()));
    list->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    for (size_t i = 0; i < widths.size(); ++i)
        list->setColumnWidth(static_cast<int>(i), widths[i]);
    return list;
}

// Every cell shows its whole text: a column narrower than its longest text
// (a date with a two-digit day in a wide font) is widened to it, never
// narrowed below its designed width, and each cell carries its text as a
// tooltip.
void ShowWholeTexts(QTreeWidget *list) {
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        QTreeWidgetItem *item = list->topLevelItem(i);
        for (int c = 0; c < list->columnCount(); ++c)
            item->setToolTip(c, item->text(c));
    }
    const QAbstractItemView *view = list; // the size hint is public there
    for (int c = 0; c < list->columnCount(); ++c)
        list->setColumnWidth(c, std::max(list->columnWidth(c), view->sizeHintForColumn(c)));
}

int Confirm(QWidget *parent, const QString &text, QMessageBox::StandardButtons buttons) {
    QMessageBox box(QMessageBox::Question, QStringLiteral("Confirm"), text, buttons, parent);
    return box.exec();
}

// The .hd dialogs: title, default extension "hd" and the filter "*.hd".
// A modal box with the message and, below it, why (the reason a file
// operation failed, a warning about the file), as the command line prints
// them.
void ShowBox(QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &text,
             const QString &detail) {
    QMessageBox box(icon, title, text, QMessageBox::Ok, parent);
    if (!detail.isEmpty() && detail != text)
        box.setInformativeText(detail);
    box.exec();
}

QString AskFile(QWidget *parent, const QString &title, QFileDialog::AcceptMode mode) {
    QFileDialog dialog(parent, title, QString(), QStringLiteral("*.hd (*.hd)"));
    dialog.setAcceptMode(mode);
    dialog.setFileMode(mode == QFileDialog::AcceptSave ? QFileDialog::AnyFile
                                                       : QFileDialog::ExistingFile);
    dialog.setDefaultSuffix(QStringLiteral("hd"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}

// The file name with its extension replaced by ".hd" (added when it has none).
QString WithHdExtension(const QString &path) {
    const QFileInfo info(path);
    const QString name = info.fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString base = dot > 0 ? name.left(dot) : name;
    return info.dir().filePath(base + QStringLiteral(".hd"));
}

} // namespace

TfrmUserTable::TfrmUserTable(TOperatorService &service, Hooks hooks, QWidget *parent)
    : QDialog(parent), service_(service), hooks_(std::move(hooks)) {
    SetWindowFont(this);
    resize(927, 411);

    mnuMain = new QMenuBar(this);
    miTool = mnuMain->addMenu(QString());
    miExportUserTable = miTool->addAction(QString());
    miTool->addSeparator();
    miImportUserTable = miTool->addAction(QString());

    ListView1 = MakeList(this, {120, 100, 160, 120, 148, 148, 110});
    ListView2 = MakeList(this, {120, 100, 148, 148, 80});
    ListView2->setFixedHeight(90);

    lblSuperUser = new QLabel(this);
    btnCreate = new QPushButton(this);
    pnCreate = new QWidget(this);
    lblUserName = new QLabel(pnCreate);
    edtUserName = new QLineEdit(pnCreate);
    edtUserName->setMaxLength(15);
    lblPassword = new QLabel(pnCreate);
    edtPassword = new QLineEdit(pnCreate);
    edtPassword->setMaxLength(15);
    btnAdd = new QPushButton(pnCreate);
    auto *createLayout = new QHBoxLayout(pnCreate);
    createLayout->setContentsMargins(0, 0, 0, 0);
    createLayout->addWidget(lblUserName);
    createLayout->addWidget(edtUserName);
    createLayout->addWidget(lblPassword);
    createLayout->addWidget(edtPassword);
    createLayout->addWidget(btnAdd);
    pnCreate->hide();

    auto *lower = new QWidget(this);
    auto *row = new QHBoxLayout;
    row->setContentsMargins(6, 4, 6, 4);
    row->addWidget(lblSuperUser);
    row->addWidget(btnCreate);
    row->addWidget(pnCreate);
    row->addStretch();
    auto *lowerLayout = new QVBoxLayout(lower);
    lowerLayout->setContentsMargins(0, 0, 0, 0);
    lowerLayout->setSpacing(0);
    lowerLayout->addLayout(row);
    lowerLayout->addWidget(ListView2);
    lower->setFixedHeight(lower->sizeHint().height());

    auto *Splitter1 = new QSplitter(Qt::Vertical, this);
    Splitter1->setHandleWidth(5);
    Splitter1->setStyleSheet(QStringLiteral("QSplitter::handle { background: #C0DCC0; }"));
    Splitter1->addWidget(ListView1);
    Splitter1->addWidget(lower);
    Splitter1->setStretchFactor(0, 1);
    Splitter1->setStretchFactor(1, 0);
    Splitter1->setChildrenCollapsible(false);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->setMenuBar(mnuMain);
    layout->addWidget(Splitter1);

    PopupMenu1 = new QMenu(this);
    miStop = PopupMenu1->addAction(QString());
    popup1Separator_ = PopupMenu1->addSeparator();
    miDel = PopupMenu1->addAction(QString());
    PopupMenu2 = new QMenu(this);
    miDisconnect = PopupMenu2->addAction(QString());
    popup2Separator1_ = PopupMenu2->addSeparator();
    miModifyPassword = PopupMenu2->addAction(QString());
    popup2Separator2_ = PopupMenu2->addSeparator();
    miDelSuper = PopupMenu2->addAction(QString());

    connect(btnCreate, &QPushButton::clicked, this, &TfrmUserTable::btnCreateClick);
    connect(btnAdd, &QPushButton::clicked, this, &TfrmUserTable::btnAddClick);
    connect(miStop, &QAction::triggered, this, &TfrmUserTable::miStopClick);
    connect(miDel, &QAction::triggered, this, &TfrmUserTable::miDelClick);
    connect(miDisconnect, &QAction::triggered, this, &TfrmUserTable::miDisconnectClick);
    connect(miModifyPassword, &QAction::triggered, this, &TfrmUserTable::miModifyPasswordClick);
    connect(miDelSuper, &QAction::triggered, this, &TfrmUserTable::miDelSuperClick);
    connect(miExportUserTable, &QAction::triggered, this, &TfrmUserTable::miExportUserTableClick);
    connect(miImportUserTable, &QAction::triggered, this, &TfrmUserTable::miImportUserTableClick);
    connect(ListView1, &QWidget::customContextMenuRequested, this, [this](const QPoint &pos) {
        PopupMenu1Popup();
        if (miStop->isVisible())
            PopupMenu1->popup(ListView1->viewport()->mapToGlobal(pos));
    });
    connect(ListView2, &QWidget::customContextMenuRequested, this, [this](const QPoint &pos) {
        PopupMenu2Popup();
        if (miDelSuper->isVisible())
            PopupMenu2->popup(ListView2->viewport()->mapToGlobal(pos));
    });
}

QString TfrmUserTable::UseStateKeyToValue(int UseState) {
    switch (UseState) {
    case 0:
        return kNormal;
    case 1:
        return kSuspended;
    default:
        return {};
    }
}

void TfrmUserTable::RecycleEquipmentWindowTextDisplay() {
    setWindowTitle(QStringLiteral("User Table"));
    ListView1->setHeaderLabels({QStringLiteral("User Name"), QStringLiteral("Password"),
                                QStringLiteral("E-mail"), QStringLiteral("User Phone"),
                                QStringLiteral("Register Time"), QStringLiteral("Login Time"),
                                QStringLiteral("User Status")});
    ListView2->setHeaderLabels({QStringLiteral("User Name"), QStringLiteral("Password"),
                                QStringLiteral("Register Time"), QStringLiteral("Login Time"),
                                QStringLiteral("Status")});
    lblSuperUser->setText(QStringLiteral("Super User"));
    btnCreate->setText(QStringLiteral("Create"));
    lblUserName->setText(QStringLiteral("User Name"));
    lblPassword->setText(QStringLiteral("Password"));
    btnAdd->setText(QStringLiteral("Add"));
    miTool->setTitle(QStringLiteral("Tools"));
    miExportUserTable->setText(QStringLiteral("Export User Table"));
    miImportUserTable->setText(QStringLiteral("Import User Table"));
    miStop->setText(QStringLiteral("Suspend User"));
    miDel->setText(QStringLiteral("Delete"));
    miDisconnect->setText(QStringLiteral("Disconnect"));
    miModifyPassword->setText(QStringLiteral("Modify Password"));
    miDelSuper->setText(QStringLiteral("Delete"));
}

void TfrmUserTable::showEvent(QShowEvent *event) {
    RecycleEquipmentWindowTextDisplay();
    FillLists();
    QDialog::showEvent(event);
}

void TfrmUserTable::SetStatus(QTreeWidgetItem *item, const QString &status) {
    if (item->treeWidget() == ListView1) {
        item->setText(kStatus1, status);
        // Every account that is not in normal use is drawn red.
        for (int c = 0; c < ListView1->columnCount(); ++c) {
            if (status == kNormal)
                item->setData(c, Qt::ForegroundRole, QVariant());
            else
                item->setForeground(c, QColor(255, 0, 0));
        }
    } else {
        item->setText(kStatus2, status);
    }
}

void TfrmUserTable::FillLists() {
    ListView1->clear();
    ListView2->clear();
    const auto accounts = AwaitAnswer<TOperatorAccounts>(
        [&](auto answer) { service_.Accounts(this, std::move(answer)); });
    if (!Shown(accounts.error))
        return;
    for (const auto &[u, login] : accounts.rows) {
        if (u.UseState == 6) {
            new QTreeWidgetItem(ListView2, {u.UserName, u.UserPassword, u.RegisterTime, u.LoginTime,
                                            login ? kLogin : QString()});
        } else {
            auto *item = new QTreeWidgetItem(ListView1, {u.UserName, u.UserPassword, u.Email,
                                                         u.UserPhone, u.RegisterTime, u.LoginTime});
            SetStatus(item, UseStateKeyToValue(u.UseState));
        }
    }
    for (QTreeWidget *list : {ListView1, ListView2})
        ShowWholeTexts(list);
}

bool TfrmUserTable::Shown(const QString &error) {
    if (error.isEmpty())
        return true;
    QMessageBox::critical(this, QStringLiteral("Error"), error, QMessageBox::Ok);
    return false;
}

bool TfrmUserTable::Change(const QString &name, const AccountChange &change) {
    const auto result =
        AwaitAnswer<TOperatorResult>([&](auto answer) { change(name, std::move(answer)); });
    return Shown(result.error);
}

void TfrmUserTable::btnCreateClick() {
    if (ListView2->topLevelItemCount() < 2) {
        pnCreate->show();
        edtUserName->setFocus();
        return;
    }
    Confirm(this, QStringLiteral("Super users only can at most two accounts."), QMessageBox::Ok);
}

void TfrmUserTable::btnAddClick() {
    const auto refuse = [this](const QString &text, bool error, QLineEdit *focus) {
        if (error)
            QMessageBox::critical(this, QStringLiteral("Error"), text, QMessageBox::Ok);
        else
            QMessageBox::information(this, QStringLiteral("Information"), text, QMessageBox::Ok);
        focus->setFocus();
    };
    const QString name = edtUserName->text();
    const QString password = edtPassword->text();
    if (name.isEmpty())
        return refuse(QStringLiteral("Please enter username."), false, edtUserName);
    if (password.isEmpty())
        return refuse(QStringLiteral("Please enter password."), false, edtPassword);
    if (name.trimmed().size() < 6)
        return refuse(QStringLiteral("User name length can not less than 6."), false, edtUserName);
    if (password.trimmed().size() < 6)
        return refuse(QStringLiteral("Password length can not less than 6."), false, edtPassword);
    const auto added = AwaitAnswer<TAddSuperUserResult>(
        [&](auto answer) { service_.AddSuperUser(name, password, this, std::move(answer)); });
    if (!Shown(added.error))
        return;
    if (added.exists)
        return refuse(QStringLiteral("Exist same user name."), true, edtUserName);
    const QString nowText = DateTimeText(added.registered);
    new QTreeWidgetItem(ListView2, {name, password, nowText, nowText, QString()});
    ShowWholeTexts(ListView2);
    edtUserName->clear();
    edtPassword->clear();
    pnCreate->hide();
}

void TfrmUserTable::PopupMenu1Popup() {
    QTreeWidgetItem *item = ListView1->currentItem();
    const bool selected = item && item->isSelected();
    miStop->setVisible(selected);
    popup1Separator_->setVisible(selected);
    miDel->setVisible(selected);
    if (selected)
        miStop->setText(item->text(kStatus1) == kNormal ? QStringLiteral("Suspend User")
                                                        : QStringLiteral("Reinstate User"));
}

void TfrmUserTable::miStopClick() {
    QTreeWidgetItem *item = ListView1->currentItem();
    if (!item)
        return;
    const bool suspend = miStop->text() == QLatin1String("Suspend User");
    if (suspend && Confirm(this, QStringLiteral("Do you want to suspend this user?"),
                           QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
        return;
    // Suspending also closes the account's connections.
    if (!Change(item->text(0), [&](const QString &name, const Done &done) {
            service_.SetSuspended(name, suspend, this, done);
        }))
        return;
    SetStatus(item, suspend ? kSuspended : kNormal);
}

void TfrmUserTable::DeleteSelected(QTreeWidget *list, const AccountChange &remove) {
    QTreeWidgetItem *item = list->currentItem();
    if (!item)
        return;
    if (Confirm(this, QStringLiteral("Do you want to delete this user?"),
                QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
        return;
    if (!Change(item->text(0), remove))
        return;
    delete item;
}

void TfrmUserTable::miDelClick() {
    // With its equipment assignments, all or nothing.
    DeleteSelected(ListView1, [this](const QString &name, const Done &done) {
        service_.DeleteAccount(name, this, done);
    });
}

void TfrmUserTable::PopupMenu2Popup() {
    QTreeWidgetItem *item = ListView2->currentItem();
    const bool selected = item && item->isSelected();
    miDisconnect->setVisible(selected && item->text(kStatus2) == kLogin);
    popup2Separator1_->setVisible(miDisconnect->isVisible());
    miModifyPassword->setVisible(selected);
    popup2Separator2_->setVisible(selected);
    miDelSuper->setVisible(selected);
}

void TfrmUserTable::miDisconnectClick() {
    QTreeWidgetItem *item = ListView2->currentItem();
    if (!item)
        return;
    service_.Disconnect(item->text(0));
    SetStatus(item, QString());
}

void TfrmUserTable::miModifyPasswordClick() {
    QTreeWidgetItem *item = ListView2->currentItem();
    if (!item)
        return;
    bool ok = false;
    const QString password =
        QInputDialog::getText(this, QStringLiteral("Modify Password"),
                              QStringLiteral("New Password"), QLineEdit::Normal, QString(), &ok);
    if (!ok)
        return;
    // Also closes the account's connections.
    if (!Change(item->text(0), [&](const QString &name, const Done &done) {
            service_.SetPassword(name, password, this, done);
        }))
        return;
    item->setText(1, password);
    SetStatus(item, QString());
}

void TfrmUserTable::miDelSuperClick() {
    // A super user's equipment assignments stay.
    DeleteSelected(ListView2, [this](const QString &name, const Done &done) {
        service_.DeleteSuperUser(name, this, done);
    });
}

void TfrmUserTable::miExportUserTableClick() {
    const QString chosen = hooks_.AskExportFile
                               ? hooks_.AskExportFile(this)
                               : AskFile(this, QStringLiteral("Save"), QFileDialog::AcceptSave);
    if (chosen.isEmpty())
        return;
    const auto r = AwaitAnswer<TUserTableFileResult>([&](auto answer) {
        service_.ExportUserTable(WithHdExtension(chosen), this, std::move(answer));
    });
    if (!r.Ok()) {
        ShowBox(this, QMessageBox::Critical, QStringLiteral("Error"), r.Message, r.Detail);
        return;
    }
    QMessageBox::information(this, QStringLiteral("Information"),
                             QStringLiteral("The user table is exported successfully."),
                             QMessageBox::Ok);
}

void TfrmUserTable::miImportUserTableClick() {
    const QString chosen = hooks_.AskImportFile ? hooks_.AskImportFile(this)
                                                : AskFile(this, QStringLiteral("Import File"),
                                                          QFileDialog::AcceptOpen);
    if (chosen.isEmpty())
        return;
    const auto r = AwaitAnswer<TUserTableFileResult>(
        [&](auto answer) { service_.ImportUserTable(chosen, this, std::move(answer)); });
    if (!r.Ok()) {
        ShowBox(this, QMessageBox::Critical, QStringLiteral("Error"), r.Message, r.Detail);
        return;
    }
    ShowBox(this, QMessageBox::Information, QStringLiteral("Information"),
            QStringLiteral("The user table has been imported and the program will be closed to "
                           "complete the process."),
            r.Warning);
    service_.Exit();
}
