#include "ParameterSetF.h"

#include "OperatorCall.h"
#include "OperatorService.h"
#include "PublicU.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

namespace {

QLineEdit *MakeDayField(QWidget *parent, const QRect &geometry) {
    auto *edit = new QLineEdit(parent);
    edit->setGeometry(geometry);
    edit->setMaxLength(3);
    edit->setAlignment(Qt::AlignRight);
    return edit;
}

QLabel *MakeLabel(QWidget *parent, const QString &text, const QRect &geometry,
                  Qt::Alignment align) {
    auto *label = new QLabel(text, parent);
    label->setGeometry(geometry);
    label->setAlignment(align | Qt::AlignVCenter);
    return label;
}

QPushButton *MakeButton(QWidget *parent, const QString &text, const QRect &geometry) {
    auto *button = new QPushButton(text, parent);
    button->setGeometry(geometry);
    button->setAutoDefault(false);
    return button;
}

} // namespace

TfrmParameterSet::TfrmParameterSet(TOperatorService &service, QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      service_(service) {
    setWindowTitle(QStringLiteral("参数设置"));
    QFont f(QStringLiteral("Tahoma"));
    f.setPixelSize(13);
    setFont(f);
    // The form's 313 x 167 with room for the longer shown captions.
    setFixedSize(362, 178);

    grpKeepTime = new QGroupBox(QStringLiteral("历史数据保留时间　"), this);
    grpKeepTime->setGeometry(8, 6, 346, 128);
    const Qt::Alignment right = Qt::AlignRight;
    lblQueryKeep = MakeLabel(grpKeepTime, QStringLiteral("查询记录保留"), {6, 26, 140, 24}, right);
    edtQueryDay = MakeDayField(grpKeepTime, {152, 26, 36, 24});
    lblQueryDay = MakeLabel(grpKeepTime, QStringLiteral("天"), {194, 26, 32, 24}, Qt::AlignLeft);
    btnHandDelQuery = MakeButton(grpKeepTime, QStringLiteral("手动删除"), {228, 24, 110, 27});
    lblAlarmKeep = MakeLabel(grpKeepTime, QStringLiteral("告警记录保留"), {6, 58, 140, 24}, right);
    edtAlarmDay = MakeDayField(grpKeepTime, {152, 58, 36, 24});
    lblAlarmDay = MakeLabel(grpKeepTime, QStringLiteral("天"), {194, 58, 32, 24}, Qt::AlignLeft);
    btnHandDelAlarm = MakeButton(grpKeepTime, QStringLiteral("手动删除"), {228, 56, 110, 27});
    btnSaveDay = MakeButton(grpKeepTime, QStringLiteral("保存"), {152, 92, 88, 27});
    btnSaveCancel = MakeButton(grpKeepTime, QStringLiteral("取消"), {250, 92, 88, 27});
    chkShowInfoHint = new QCheckBox(QStringLiteral("显示通信指令提示"), this);
    chkShowInfoHint->setGeometry(12, 144, 340, 24);

    setTabOrder(edtQueryDay, btnHandDelQuery);
    setTabOrder(btnHandDelQuery, edtAlarmDay);
    setTabOrder(edtAlarmDay, btnHandDelAlarm);
    setTabOrder(btnHandDelAlarm, btnSaveDay);
    setTabOrder(btnSaveDay, btnSaveCancel);
    setTabOrder(btnSaveCancel, chkShowInfoHint);

    for (QLineEdit *edit : {edtQueryDay, edtAlarmDay}) {
        edit->installEventFilter(this);
        connect(edit, &QLineEdit::textChanged, this, [this] { SetSaveEnabled(true); });
    }
    connect(btnSaveDay, &QPushButton::clicked, this, &TfrmParameterSet::btnSaveDayClick);
    connect(btnSaveCancel, &QPushButton::clicked, this, &TfrmParameterSet::ReadDayIni);
    connect(btnHandDelQuery, &QPushButton::clicked, this,
            [this] { HandDelete(THistoryKind::Query); });
    connect(btnHandDelAlarm, &QPushButton::clicked, this,
            [this] { HandDelete(THistoryKind::Alarm); });
    connect(chkShowInfoHint, &QCheckBox::toggled, this, &TfrmParameterSet::chkShowInfoHintClick);
    SetSaveEnabled(false);
}

void TfrmParameterSet::HistroyRecordSetWindowTextDisplay() {
    setWindowTitle(QStringLiteral("Parameter Setting"));
    grpKeepTime->setTitle(QStringLiteral("History Data Store Time"));
    lblQueryKeep->setText(QStringLiteral("Query Record Store"));
    lblQueryDay->setText(QStringLiteral("Day"));
    btnHandDelQuery->setText(QStringLiteral("Delete Record"));
    lblAlarmKeep->setText(QStringLiteral("Alert Record Store"));
    lblAlarmDay->setText(QStringLiteral("Day"));
    btnHandDelAlarm->setText(QStringLiteral("Delete Record"));
    btnSaveDay->setText(QStringLiteral("Save"));
    btnSaveCancel->setText(QStringLiteral("Cancel"));
    chkShowInfoHint->setText(QStringLiteral("Show communication command hint"));
}

void TfrmParameterSet::showEvent(QShowEvent *event) {
    QDialog::showEvent(event);
    HistroyRecordSetWindowTextDisplay();
    ReadDayIni();
    edtQueryDay->setFocus();
}

void TfrmParameterSet::SetSaveEnabled(bool enabled) {
    btnSaveDay->setEnabled(enabled);
    btnSaveCancel->setEnabled(enabled);
}

bool TfrmParameterSet::Shown(const QString &what, const QString &error) {
    if (error.isEmpty())
        return true;
    QMessageBox::critical(this, windowTitle(), what + QStringLiteral(": ") + error,
                          QMessageBox::Ok);
    return false;
}

void TfrmParameterSet::ReadDayIni() {
    TRetentionDays days = AwaitAnswer<TRetentionDays>(
        [&](auto answer) { service_.ReadRetentionDays(this, std::move(answer)); });
    if (!Shown(QStringLiteral("The settings could not be read"), days.error))
        days = {};
    edtQueryDay->setText(days.query);
    edtAlarmDay->setText(days.alarm);
    SetSaveEnabled(false);
    chkShowInfoHint->setChecked(ShowInfoHint);
}

void TfrmParameterSet::btnSaveDayClick() {
    const auto saved = AwaitAnswer<TOperatorResult>([&](auto answer) {
        service_.SaveRetentionDays(edtQueryDay->text(), edtAlarmDay->text(), this,
                                   std::move(answer));
    });
    if (Shown(QStringLiteral("The settings could not be saved"), saved.error))
        SetSaveEnabled(false);
}

void TfrmParameterSet::chkShowInfoHintClick(bool checked) {
    const auto saved = AwaitAnswer<TOperatorResult>(
        [&](auto answer) { service_.SetShowInfoHint(checked, this, std::move(answer)); });
    Shown(QStringLiteral("The log switch could not be saved"), saved.error);
}

void TfrmParameterSet::HandDelete(THistoryKind kind) {
    const bool query = kind == THistoryKind::Query;
    const QString question =
        query ? QStringLiteral("Delete query record,will history query data loss,really want to "
                               "delete?")
              : QStringLiteral("Delete alert record,will history alert data loss,really want to "
                               "delete?");
    if (QMessageBox::question(this, windowTitle(), question, QMessageBox::Yes | QMessageBox::No,
                              QMessageBox::No) != QMessageBox::Yes)
        return;
    btnHandDelQuery->setEnabled(false);
    btnHandDelAlarm->setEnabled(false);
    // No answer comes once the window is gone (at exit).
    service_.DeleteHistory(kind, this, [this, query](bool ok) {
        btnHandDelQuery->setEnabled(true);
        btnHandDelAlarm->setEnabled(true);
        const QString what = query ? QStringLiteral("query") : QStringLiteral("alert");
        if (ok)
            QMessageBox::information(this, windowTitle(),
                                     QStringLiteral("Delete %1 records success.").arg(what),
                                     QMessageBox::Ok);
        else
            QMessageBox::critical(this, windowTitle(),
                                  QStringLiteral("Delete %1 records fail.").arg(what),
                                  QMessageBox::Ok);
    });
}

bool TfrmParameterSet::eventFilter(QObject *watched, QEvent *event) {
    if (event->type() == QEvent::KeyPress && (watched == edtQueryDay || watched == edtAlarmDay)) {
        // Typed characters: digits and backspace only. Keys without a
        // printable character (arrows, Delete, shortcuts such as paste) pass.
        const QString text = static_cast<QKeyEvent *>(event)->text();
        if (text.size() == 1 && text[0].isPrint() && !(text[0] >= u'0' && text[0] <= u'9'))
            return true;
    }
    return QDialog::eventFilter(watched, event);
}
