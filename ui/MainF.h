// The operator's main window: two log panes (upper for events and errors,
// lower for equipment traffic), the status line with the connection counts,
// the Tools menu, the panes' context menu and the confirmed close.
#pragma once

#include "LogEvent.h"
#include "PublicU.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QTimer>

#include <functional>

class QAction;
class QMenu;
class QPlainTextEdit;

class TfrmMain : public QMainWindow {
    Q_OBJECT
public:
    struct Hooks {
        // Runs once, when the window is first shown: creates the servers.
        // False ends the program (the hook has reported why).
        std::function<bool()> formShow;
        // Runs after the operator confirmed the exit: saves the counters and
        // releases the equipment server. False keeps the window open.
        std::function<bool()> confirmedClose;
    };

    // What the menus reach. The start-up code sets them; an entry whose hook
    // is missing does nothing (the resolver entry opens a plain window that
    // shows the packet text).
    struct MenuHooks {
        std::function<void()> OpenUserTable;
        std::function<void()> OpenParameterSet;
        std::function<void(const QString &frameText)> OpenResolver;
        std::function<int()> GetEquipmentConnectCount;
        std::function<int()> GetClientConnectCount;
        std::function<void()> ClearAnalysisAlertList;
    };
    MenuHooks menuHooks;

    explicit TfrmMain(Hooks hooks, QWidget *parent = nullptr);

    // The window's subscription to the event stream (GUI thread): appends
    // the event's line to the pane the event names.
    void ShowEvent(const TLogEvent &event);
    // A plain line, shown in the pane its colour has always chosen.
    void CommInfoHint(const QDateTime &time, const QString &text, quint32 colour);
    void OnUserConnectNumber(int count);
    void OnBoosterConnectNumber(int count);

    // The status line text (kept up to date even though the bar is hidden).
    QString StatusText() const { return statusText_; }
    QPlainTextEdit *mmoCommInfo1 = nullptr;
    QPlainTextEdit *mmoCommInfo2 = nullptr;
    QMenu *miTool = nullptr;
    QAction *miUserTable = nullptr;
    QAction *miParameterSet = nullptr;
    QAction *miConnectCount = nullptr;
    QAction *miClearAlarmList = nullptr;
    QMenu *PopupMenu1 = nullptr;
    QAction *miCommResolverPack = nullptr;
    QAction *miCommClearInfo = nullptr;

    // Prepares the context menu for the pane it opens on: "Agreements
    // Analyzing" for a selection that starts with "7E" and has at least 34
    // characters, "Clear Information" when the pane holds any text.
    void PopupMenu1Popup(QPlainTextEdit *pane);
    // The selected text of the pane, trimmed, to the resolver.
    void miCommResolverPackClick();
    void miCommClearInfoClick();
    // The connection count message (the text and the box).
    QString ConnectCountText() const;
    void miConnectCountClick();

    // Window and menu captions shown to the operator.
    void MainWindowTextDisplay();

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    Hooks hooks_;
    bool shown_ = false;
    bool closing_ = false;
    QString statusText_;
    // The pane the context menu was last prepared for.
    QPlainTextEdit *popupPane_ = nullptr;
    // Entries shown in each pane since it was last emptied.
    int entries_[2] = {0, 0};
    // Lines come hundreds a second under traffic: their time is formatted
    // once per second.
    TDateTimeTextCache stamps_;
    // Re-enables painting of the panes after a burst of lines.
    QTimer paintTimer_;
    QElapsedTimer sincePaint_; // since the panes were last painted
    static constexpr int PaintIntervalMs = 500;
};
