// The protocol packet resolver: takes one frame, given as hex text, apart
// into its access, network and application layers.
#pragma once

#include "PackResolveModel.h"

#include <QDialog>

class QPlainTextEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class TfrmMapDataResolve;

class TfrmResolve : public QDialog {
    Q_OBJECT
public:
    explicit TfrmResolve(QWidget *parent = nullptr);

    // "Agreements Analyzing" of the main window: puts the frame text into
    // the input field and shows the window modally.
    int ShowFrame(const QString &text);

    // "Analyzing": builds the tree of the input field's frame.
    void btnResolvePackClick();
    // "DataBody": the data-unit resolver with the last frame's data unit.
    void btnMapPackClick();

    QPlainTextEdit *mmoResolvePack = nullptr;
    QPushButton *btnResolvePack = nullptr;
    QPushButton *btnMapPack = nullptr;
    QTreeWidget *TreeView = nullptr;
    // The data unit of the last frame parsed.
    QString MapPackageStr;
    // The data-unit resolver this window hands on to (owned by it).
    TfrmMapDataResolve *frmMapDataResolve = nullptr;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void ResolveWindowTextDisplay();
    // Selects the hex characters of the node's field in the input field.
    void ShowNodeRange(QTreeWidgetItem *item);
};
