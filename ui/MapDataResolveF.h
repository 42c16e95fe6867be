// The data-unit resolver: lists the data items of a data unit in a grid and
// shows a parameter's dictionary description on double-click.
#pragma once

#include <QDialog>

class QPlainTextEdit;
class QPushButton;
class QTableWidget;

class TfrmMapDataResolve : public QDialog {
    Q_OBJECT
public:
    explicit TfrmMapDataResolve(QWidget *parent = nullptr);

    // Puts the data unit into the input field and shows the window modally.
    int ShowMapPack(const QString &text);

    // "Analysis": fills the grid from the input field.
    void TeThemeButton1Click();
    // Double-click on a grid row: the description of its parameter.
    void StringGridDblClick(int row);

    QPlainTextEdit *mmoMapPack = nullptr;
    QPushButton *TeThemeButton1 = nullptr;
    // Row 0 of the grid is its header; data row i is table row i - 1.
    QTableWidget *StringGrid = nullptr;

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void MapResolveWindowTextDisplay();
    void SetRowCount(int gridRows);
};
