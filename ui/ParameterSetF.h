// The parameter settings window: the two history retention periods with
// their manual deletion buttons, and the switch of the main window's log.
#pragma once

#include "CheckDelData.h"

#include <QDialog>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class TOperatorService;

class TfrmParameterSet : public QDialog {
    Q_OBJECT
public:
    // Reads and saves the settings and runs the manual deletions through
    // `service`.
    TfrmParameterSet(TOperatorService &service, QWidget *parent = nullptr);

    // Fills the day fields from NormalParam (30 without a row), disables Save
    // and Cancel and sets the log switch from ShowInfoHint.
    void ReadDayIni();
    void HistroyRecordSetWindowTextDisplay();

    QGroupBox *grpKeepTime = nullptr;
    QLabel *lblQueryKeep = nullptr;
    QLineEdit *edtQueryDay = nullptr;
    QLabel *lblQueryDay = nullptr;
    QPushButton *btnHandDelQuery = nullptr;
    QLabel *lblAlarmKeep = nullptr;
    QLineEdit *edtAlarmDay = nullptr;
    QLabel *lblAlarmDay = nullptr;
    QPushButton *btnHandDelAlarm = nullptr;
    QPushButton *btnSaveDay = nullptr;
    QPushButton *btnSaveCancel = nullptr;
    QCheckBox *chkShowInfoHint = nullptr;

protected:
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void btnSaveDayClick();
    void chkShowInfoHintClick(bool checked);
    void HandDelete(THistoryKind kind);
    void SetSaveEnabled(bool enabled);
    // Shows a failed call's error after `what`; true when there is none.
    bool Shown(const QString &what, const QString &error);

    TOperatorService &service_;
};
