// The operator's main window: two log panes (upper for events and errors,
// lower for equipment traffic), the status line with the connection counts,
// and the confirmed close.
#pragma once

#include <QDateTime>
#include <QMainWindow>

#include <functional>

class QAction;
class QMenu;
class QTextEdit;

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

    explicit TfrmMain(Hooks hooks, QWidget *parent = nullptr);

    // Log callback target (event thread): appends one line to a pane.
    void CommInfoHint(const QDateTime &time, const QString &text, quint32 colour);
    void OnUserConnectNumber(int count);
    void OnBoosterConnectNumber(int count);

    // The status line text (kept up to date even though the bar is hidden).
    QString StatusText() const { return statusText_; }
    QTextEdit *mmoCommInfo1 = nullptr;
    QTextEdit *mmoCommInfo2 = nullptr;
    QAction *miConnectCount = nullptr;

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
    QMenu *miTool = nullptr;
};
