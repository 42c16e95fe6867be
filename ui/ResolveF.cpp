#include "ResolveF.h"

#include "MapDataResolveF.h"
#include "WindowLayout.h"

#include <QHeaderView>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

constexpr int RangeRole = Qt::UserRole;

QTreeWidgetItem *MakeItem(const TResolveNode &node) {
    auto *item = new QTreeWidgetItem({node.Text});
    item->setToolTip(0, node.Text);
    if (node.Offset >= 0)
        item->setData(0, RangeRole, QPoint(node.Offset, node.Length));
    if (node.Error)
        item->setForeground(0, QColor(255, 0, 0));
    for (const TResolveNode &child : node.Children)
        item->addChild(MakeItem(child));
    return item;
}

// Expansion is applied once the items are in the tree.
void Expand(QTreeWidgetItem *item, const TResolveNode &node) {
    for (int i = 0; i < item->childCount(); ++i)
        Expand(item->child(i), node.Children[static_cast<size_t>(i)]);
    item->setExpanded(node.Expanded);
}

} // namespace

TfrmResolve::TfrmResolve(QWidget *parent) : QDialog(parent) {
    SetWindowFont(this);
    resize(544, 446);

    mmoResolvePack = new QPlainTextEdit(this);
    btnResolvePack = new QPushButton(this);
    btnMapPack = new QPushButton(this);
    QWidget *top = InputStrip(this, mmoResolvePack, 70, 103, {btnResolvePack, btnMapPack});

    TreeView = new QTreeWidget(this);
    TreeView->setHeaderHidden(true);
    TreeView->setIndentation(19);
    TreeView->setColumnCount(1);
    // A line longer than the window (a long data unit) is shown whole, with a
    // horizontal scroll bar, not cut with an ellipsis.
    TreeView->header()->setStretchLastSection(false);
    TreeView->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    TreeView->setTextElideMode(Qt::ElideNone);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(top);
    layout->addWidget(TreeView);

    frmMapDataResolve = new TfrmMapDataResolve(this);

    connect(btnResolvePack, &QPushButton::clicked, this, &TfrmResolve::btnResolvePackClick);
    connect(btnMapPack, &QPushButton::clicked, this, &TfrmResolve::btnMapPackClick);
    connect(TreeView, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem *current) { ShowNodeRange(current); });
}

int TfrmResolve::ShowFrame(const QString &text) {
    mmoResolvePack->setPlainText(text);
    return exec();
}

void TfrmResolve::ResolveWindowTextDisplay() {
    setWindowTitle(QStringLiteral("Agreements Analyzing"));
    btnResolvePack->setText(QStringLiteral("Analyzing"));
    btnMapPack->setText(QStringLiteral("DataBody"));
}

void TfrmResolve::showEvent(QShowEvent *event) {
    ResolveWindowTextDisplay();
    TreeView->clear();
    btnMapPack->setEnabled(false);
    QDialog::showEvent(event);
}

void TfrmResolve::btnResolvePackClick() {
    TreeView->clear();
    const TResolveTree tree = BuildResolveTree(mmoResolvePack->toPlainText());
    for (const TResolveNode &node : tree.Nodes) {
        QTreeWidgetItem *item = MakeItem(node);
        TreeView->addTopLevelItem(item);
        Expand(item, node);
    }
    if (!tree.ErrorMessage.isEmpty()) {
        QMessageBox::critical(this, QStringLiteral("Error"), tree.ErrorMessage, QMessageBox::Ok);
        return;
    }
    MapPackageStr = tree.MapPackageStr;
    btnMapPack->setEnabled(!MapPackageStr.isEmpty());
}

void TfrmResolve::btnMapPackClick() {
    if (!MapPackageStr.isEmpty())
        frmMapDataResolve->ShowMapPack(MapPackageStr);
}

void TfrmResolve::ShowNodeRange(QTreeWidgetItem *item) {
    if (!item)
        return;
    const QVariant range = item->data(0, RangeRole);
    if (!range.isValid())
        return;
    // The input is one line of hex; a range past its end is cut to it.
    const QPoint r = range.toPoint();
    QTextCursor cursor(mmoResolvePack->document());
    const int end = mmoResolvePack->document()->characterCount() - 1;
    cursor.setPosition(std::min(r.x(), end));
    cursor.setPosition(std::min(r.x() + r.y(), end), QTextCursor::KeepAnchor);
    mmoResolvePack->setTextCursor(cursor);
}
