#include "MainF.h"

#include "PublicU.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QDialogButtonBox>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSplitter>
#include <QStatusBar>
#include <QStringBuilder>
#include <QTextCursor>
#include <QVBoxLayout>

#include <algorithm>

namespace {

QPlainTextEdit *MakePane(QWidget *parent) {
    auto *pane = new QPlainTextEdit(parent);
    pane->setReadOnly(true);
    // A log is never undone: without the undo stack an appended line is not
    // also kept as an undo step.
    pane->setUndoRedoEnabled(false);
    pane->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Long lines (an event with its unit, a frame in hexadecimal) wrap at
    // the pane's width: the panes have no horizontal scroll bar.
    pane->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    pane->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    pane->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    QFont font(QStringLiteral("宋体"));
    font.setStyleHint(QFont::TypeWriter);
    font.setPixelSize(12);
    pane->setFont(font);
    pane->setContextMenuPolicy(Qt::CustomContextMenu);
    return pane;
}

// Until the resolver window exists: a plain window showing the packet text.
void ShowPacketText(QWidget *parent, const QString &text) {
    QDialog dialog(parent);
    dialog.setWindowTitle(QStringLiteral("Agreements Analyzing"));
    auto *layout = new QVBoxLayout(&dialog);
    auto *edit = new QPlainTextEdit(text, &dialog);
    edit->setObjectName(QStringLiteral("mmoResolvePack"));
    layout->addWidget(edit);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    dialog.resize(520, 240);
    dialog.exec();
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

    QFont formFont(QStringLiteral("Tahoma"));
    formFont.setPixelSize(13);
    menuBar()->setFont(formFont);

    miTool = menuBar()->addMenu(QStringLiteral("工具"));
    miUserTable = miTool->addAction(QStringLiteral("用户表"));
    miTool->addSeparator();
    miParameterSet = miTool->addAction(QStringLiteral("参数设置"));
    miTool->addSeparator();
    miConnectCount = miTool->addAction(QStringLiteral("连接数"));
    // The separator belongs to the entry above it: hidden with it.
    QAction *countSeparator = miTool->addSeparator();
    miClearAlarmList = miTool->addAction(QStringLiteral("清除告警邮件列表"));
    miConnectCount->setVisible(SoftWareVerNumber.size() > 4);
    countSeparator->setVisible(miConnectCount->isVisible());
    connect(miUserTable, &QAction::triggered, this, [this] {
        if (menuHooks.OpenUserTable)
            menuHooks.OpenUserTable();
    });
    connect(miParameterSet, &QAction::triggered, this, [this] {
        if (menuHooks.OpenParameterSet)
            menuHooks.OpenParameterSet();
    });
    connect(miConnectCount, &QAction::triggered, this, &TfrmMain::miConnectCountClick);
    connect(miClearAlarmList, &QAction::triggered, this, [this] {
        if (menuHooks.ClearAnalysisAlertList)
            menuHooks.ClearAnalysisAlertList();
    });

    PopupMenu1 = new QMenu(this);
    miCommResolverPack = PopupMenu1->addAction(QStringLiteral("解析协议包"));
    PopupMenu1->addSeparator();
    miCommClearInfo = PopupMenu1->addAction(QStringLiteral("清除信息"));
    connect(miCommResolverPack, &QAction::triggered, this, &TfrmMain::miCommResolverPackClick);
    connect(miCommClearInfo, &QAction::triggered, this, &TfrmMain::miCommClearInfoClick);
    for (QPlainTextEdit *pane : {mmoCommInfo1, mmoCommInfo2})
        connect(pane, &QWidget::customContextMenuRequested, this, [this, pane](const QPoint &at) {
            PopupMenu1Popup(pane);
            PopupMenu1->exec(pane->viewport()->mapToGlobal(at));
        });

    statusBar()->hide();

    paintTimer_.setSingleShot(true);
    connect(&paintTimer_, &QTimer::timeout, this, [this] {
        sincePaint_.start();
        for (QPlainTextEdit *pane : {mmoCommInfo1, mmoCommInfo2}) {
            if (pane->updatesEnabled())
                continue;
            // The size the pane's scroll range follows, once for every line
            // appended since the last paint.
            QAbstractTextDocumentLayout *layout = pane->document()->documentLayout();
            layout->blockSignals(false);
            emit layout->documentSizeChanged(layout->documentSize());
            pane->verticalScrollBar()->setValue(pane->verticalScrollBar()->maximum());
            pane->setUpdatesEnabled(true);
        }
    });
}

void TfrmMain::MainWindowTextDisplay() {
    QApplication::setApplicationDisplayName(QString());
    QApplication::setApplicationName(QStringLiteral("Monitoring Management System Server"));
    setWindowTitle(QStringLiteral("Monitoring Management System Server(") + SoftWareVerNumber +
                   QLatin1Char(')'));
    miTool->setTitle(QStringLiteral("Tools"));
    miUserTable->setText(QStringLiteral("User Table"));
    miParameterSet->setText(QStringLiteral("Parameter Set"));
    miConnectCount->setText(QStringLiteral("Connect Count"));
    miClearAlarmList->setText(QStringLiteral("Empty Alert Mail List"));
    miCommResolverPack->setText(QStringLiteral("Agreements Analyzing"));
    miCommClearInfo->setText(QStringLiteral("Clear Information"));
}

QString TfrmMain::ConnectCountText() const {
    const int equipment =
        menuHooks.GetEquipmentConnectCount ? menuHooks.GetEquipmentConnectCount() : 0;
    const int clients = menuHooks.GetClientConnectCount ? menuHooks.GetClientConnectCount() : 0;
    return QStringLiteral("Equipment Connect:") + QString::number(equipment) +
           QStringLiteral("\n\r       Client Connect:") + QString::number(clients);
}

void TfrmMain::miConnectCountClick() {
    QMessageBox::information(this, windowTitle(), ConnectCountText(), QMessageBox::Ok);
}

namespace {

// The selection as plain text (Qt marks paragraph ends with U+2029).
QString SelectedText(const QPlainTextEdit *pane) {
    QString text = pane->textCursor().selectedText();
    text.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    text.replace(QChar::LineSeparator, QLatin1Char('\n'));
    return text;
}

} // namespace

void TfrmMain::PopupMenu1Popup(QPlainTextEdit *pane) {
    popupPane_ = pane;
    const QString selected = SelectedText(pane);
    miCommResolverPack->setVisible(selected.startsWith(QLatin1String("7E")) &&
                                   selected.size() >= 34);
    miCommClearInfo->setVisible(!pane->document()->isEmpty());
}

void TfrmMain::miCommResolverPackClick() {
    if (!popupPane_)
        return;
    const QString text = SelectedText(popupPane_).trimmed();
    if (menuHooks.OpenResolver)
        menuHooks.OpenResolver(text);
    else
        ShowPacketText(this, text);
}

void TfrmMain::miCommClearInfoClick() {
    if (popupPane_)
        popupPane_->clear();
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
    TLogEvent event = NoteEvent(text, colour);
    event.time = time;
    ShowEvent(event);
}

void TfrmMain::ShowEvent(const TLogEvent &event) {
    if (!ShowInfoHint)
        return;
    const QDateTime &time = event.time;
    const QString &text = event.text;
    const quint32 colour = event.colour;
    QPlainTextEdit *pane = event.pane == TLogPane::Traffic ? mmoCommInfo2 : mmoCommInfo1;
    // Lines are counted as text blocks: every appended line (and every line
    // of a text with carriage returns) is one block.
    int &entries = pane == mmoCommInfo1 ? entries_[0] : entries_[1];
    if (pane->document()->blockCount() > 1000) {
        pane->clear();
        entries = 0;
    }
    if (pane->document()->isEmpty())
        entries = 0;
    // Blue and black alternate per entry: most entries are two lines (a
    // description and its frame), so alternating by line count would paint
    // every entry blue. A red entry counts, so the next one takes the other
    // colour all the same.
    quint32 shown = colour;
    if (colour == clYellow || colour == clWhite)
        shown = (entries % 2 == 1) ? 0x000000 : clBlue;
    ++entries;
    QString body = text;
    if (body.contains(QLatin1Char('\r'))) {
        body.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        body.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    }
    // Inserted as plain text: a line received from the network that looks
    // like markup is shown as it is, never interpreted.
    QTextCharFormat format;
    format.setForeground(FromBgr(shown));
    // The operator's selection stays as it is: text inserted where it ends
    // (a selection that reaches the newest line) would otherwise extend it.
    const int anchor = pane->textCursor().anchor();
    const int position = pane->textCursor().position();
    // One edit: the new block and its text reach the layout as one change
    // that adds a block, which it lays out only when the block comes into
    // view; text typed into an existing block would be laid out at once.
    // Moved to the end inside the edit as well: outside one, a cursor works
    // out its x position, which lays out the line it lands on.
    QTextCursor cursor(pane->document());
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::End);
    if (!pane->document()->isEmpty())
        cursor.insertBlock();
    cursor.insertText(stamps_.Text(time) % QLatin1String("->") % body, format);
    cursor.endEditBlock();
    if (anchor != position &&
        (pane->textCursor().anchor() != anchor || pane->textCursor().position() != position)) {
        QTextCursor kept(pane->document());
        kept.setPosition(anchor);
        kept.setPosition(position, QTextCursor::KeepAnchor);
        pane->setTextCursor(kept);
    }
    // Under heavy traffic the panes are painted and scrolled to their newest
    // line a few times a second, not once per line. The pane works out its
    // scroll range from the size of its newest lines, which lays them out
    // (shapes their glyphs): told of the new size once per paint rather than
    // once per line, it lays out the lines on screen, not every line that
    // passed. Painting is what costs the display server.
    if (pane->updatesEnabled()) {
        pane->setUpdatesEnabled(false);
        pane->document()->documentLayout()->blockSignals(true);
        // A line after a quiet spell is painted at once; under traffic the
        // panes are painted at most every PaintIntervalMs.
        if (!paintTimer_.isActive())
            paintTimer_.start(
                sincePaint_.isValid()
                    ? int(std::max<qint64>(0, PaintIntervalMs - sincePaint_.elapsed()))
                    : 0);
    }
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
