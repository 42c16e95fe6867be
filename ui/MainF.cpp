#include "MainF.h"

#include "PublicU.h"

#include <QApplication>
#include <QCloseEvent>
#include <QMenuBar>
#include <QMessageBox>
#include <QScrollBar>
#include <QSplitter>
#include <QStatusBar>
#include <QTextEdit>

namespace {

QTextEdit *MakePane(QWidget *parent) {
    auto *pane = new QTextEdit(parent);
    pane->setReadOnly(true);
    pane->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    pane->setLineWrapMode(QTextEdit::NoWrap);
    return pane;
}

// The console's colour values are blue-green-red.
QColor FromBgr(quint32 bgr) {
    return QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF);
}

} // namespace

TfrmMain::TfrmMain(Hooks hooks, QWidget *parent) : QMainWindow(parent), hooks_(std::move(hooks)) {
    setWindowTitle(QStringLiteral("网管服务端"));
    resize(1043, 508);
    auto *splitter = new QSplitter(Qt::Vertical, this);
    mmoCommInfo1 = MakePane(splitter);
    mmoCommInfo2 = MakePane(splitter);
    splitter->addWidget(mmoCommInfo1);
    splitter->addWidget(mmoCommInfo2);
    splitter->setSizes({328, 180});
    setCentralWidget(splitter);

    miTool = menuBar()->addMenu(QStringLiteral("工具"));
    miConnectCount = miTool->addAction(QStringLiteral("连接数"));
    miConnectCount->setVisible(SoftWareVerNumber.size() > 4);

    statusBar()->hide();
}

void TfrmMain::MainWindowTextDisplay() {
    QApplication::setApplicationDisplayName(QString());
    QApplication::setApplicationName(QStringLiteral("Monitoring Management System Server"));
    setWindowTitle(QStringLiteral("Monitoring Management System Server(") + SoftWareVerNumber +
                   QLatin1Char(')'));
    miTool->setTitle(QStringLiteral("Tools"));
    miConnectCount->setText(QStringLiteral("Connect Count"));
}

void TfrmMain::showEvent(QShowEvent *event) {
    QMainWindow::showEvent(event);
    MainWindowTextDisplay();
    if (shown_)
        return;
    shown_ = true;
    statusText_ = QStringLiteral(" LoginTime:") + NowText() +
                  QStringLiteral("   UserConnectNumber:0   BoosterConnectNumber:0");
    statusBar()->showMessage(statusText_);
    if (hooks_.formShow && !hooks_.formShow())
        QApplication::exit(1);
}

void TfrmMain::closeEvent(QCloseEvent *event) {
    if (closing_) {
        event->accept();
        return;
    }
    const auto answer = QMessageBox::question(this, windowTitle(), QStringLiteral("Exit Software?"),
                                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes) {
        event->ignore();
        return;
    }
    if (hooks_.confirmedClose && !hooks_.confirmedClose()) {
        event->ignore();
        return;
    }
    closing_ = true;
    event->accept();
}

void TfrmMain::CommInfoHint(const QDateTime &time, const QString &text, quint32 colour) {
    if (!ShowInfoHint)
        return;
    QTextEdit *pane = colour == clYellow ? mmoCommInfo2 : mmoCommInfo1;
    if (pane->document()->lineCount() > 1000)
        pane->clear();
    const int lines = pane->document()->isEmpty() ? 0 : pane->document()->lineCount();
    quint32 shown = colour;
    if (colour == clYellow || colour == clWhite)
        shown = (lines % 2 == 1) ? 0x000000 : clBlue;
    pane->setTextColor(FromBgr(shown));
    QString body = text;
    body.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    body.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    pane->append(DateTimeText(time) + QLatin1String("->") + body);
    pane->verticalScrollBar()->setValue(pane->verticalScrollBar()->maximum());
}

void TfrmMain::OnUserConnectNumber(int count) {
    const qsizetype from = statusText_.indexOf(QLatin1String("   UserConnectNumber"));
    const qsizetype to = statusText_.indexOf(QLatin1String("   BoosterConnectNumber"));
    if (from < 0 || to < from)
        return;
    statusText_ = statusText_.left(from) + QStringLiteral("   UserConnectNumber:") +
                  QString::number(count) + statusText_.mid(to);
    statusBar()->showMessage(statusText_);
}

void TfrmMain::OnBoosterConnectNumber(int count) {
    const qsizetype from = statusText_.indexOf(QLatin1String("   BoosterConnectNumber"));
    if (from < 0)
        return;
    statusText_ = statusText_.left(from) + QStringLiteral("   BoosterConnectNumber:") +
                  QString::number(count);
    statusBar()->showMessage(statusText_);
}
