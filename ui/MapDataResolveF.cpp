#include "MapDataResolveF.h"

#include "PackResolveModel.h"
#include "WindowLayout.h"

#include <QHeaderView>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {
constexpr int kColumns = 6;
const int kWidths[kColumns] = {0, 200, 52, 55, 160, 150};
} // namespace

TfrmMapDataResolve::TfrmMapDataResolve(QWidget *parent) : QDialog(parent) {
    SetWindowFont(this);
    resize(646, 351);

    mmoMapPack = new QPlainTextEdit(this);
    TeThemeButton1 = new QPushButton(this);
    QWidget *top = InputStrip(this, mmoMapPack, 50, 72, {TeThemeButton1});

    StringGrid = new QTableWidget(1, kColumns, this);
    StringGrid->verticalHeader()->hide();
    StringGrid->setSelectionBehavior(QAbstractItemView::SelectRows);
    StringGrid->setSelectionMode(QAbstractItemView::SingleSelection);
    StringGrid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    StringGrid->setShowGrid(true);
    // Cells are cut at the column edge, as a plain grid does, without an
    // ellipsis eating the last characters of a code.
    StringGrid->setTextElideMode(Qt::ElideNone);
    StringGrid->verticalHeader()->setDefaultSectionSize(22);
    StringGrid->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    StringGrid->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    for (int c = 0; c < kColumns; ++c)
        StringGrid->setColumnWidth(c, kWidths[c]);
    StringGrid->setColumnHidden(0, true);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(top);
    layout->addWidget(StringGrid);

    connect(TeThemeButton1, &QPushButton::clicked, this, &TfrmMapDataResolve::TeThemeButton1Click);
    connect(StringGrid, &QTableWidget::cellDoubleClicked, this,
            [this](int row, int) { StringGridDblClick(row + 1); });
}

int TfrmMapDataResolve::ShowMapPack(const QString &text) {
    mmoMapPack->setPlainText(text);
    return exec();
}

void TfrmMapDataResolve::MapResolveWindowTextDisplay() {
    setWindowTitle(QStringLiteral("Analysis DataBody"));
    TeThemeButton1->setText(QStringLiteral("Analysis"));
    StringGrid->setHorizontalHeaderLabels({QString(), QStringLiteral("        Monitor Object"),
                                           QStringLiteral("Length"), QStringLiteral(" Code"),
                                           QStringLiteral("    Parameter Name"),
                                           QStringLiteral("      Content")});
}

void TfrmMapDataResolve::SetRowCount(int gridRows) {
    StringGrid->setRowCount(gridRows - 1);
}

void TfrmMapDataResolve::showEvent(QShowEvent *event) {
    MapResolveWindowTextDisplay();
    StringGrid->clearContents();
    SetRowCount(2);
    QDialog::showEvent(event);
}

void TfrmMapDataResolve::hideEvent(QHideEvent *event) {
    mmoMapPack->clear();
    QDialog::hideEvent(event);
}

void TfrmMapDataResolve::TeThemeButton1Click() {
    const std::vector<TMapDataRow> rows = MapDataRows(mmoMapPack->toPlainText());
    for (size_t i = 0; i < rows.size(); ++i) {
        const int row = static_cast<int>(i);
        SetRowCount(row + 2);
        const TMapDataRow &r = rows[i];
        const QString cells[] = {r.Value, r.Len, r.Code, r.Name, r.Content};
        for (int c = 0; c < 5; ++c) {
            // A long value is cut at the column edge; its tooltip shows it whole.
            auto *item = new QTableWidgetItem(cells[c]);
            item->setToolTip(cells[c]);
            StringGrid->setItem(row, c + 1, item);
        }
    }
}

void TfrmMapDataResolve::StringGridDblClick(int row) {
    if (row < 1)
        return;
    const QTableWidgetItem *item = StringGrid->item(row - 1, 3);
    if (!item)
        return;
    const std::optional<QString> text = ParamDescription(item->text());
    if (!text)
        return;
    // The description separates its parts by carriage returns; a label
    // breaks lines at line feeds.
    QString shown = *text;
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    QMessageBox::information(this, QStringLiteral("Information"), shown, QMessageBox::Ok);
}
