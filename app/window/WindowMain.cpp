// The window program: the server with its operator console. The service
// program (mms-server) hands over to it when a window is asked for, so that
// the service itself needs no GUI library.
#include "MainF.h"
#include "OperatorService.h"
#include "ParameterSetF.h"
#include "ResolveF.h"
#include "ServerApp.h"
#include "UserTableF.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

#include <cstdio>

namespace {

// A failed retention run reaches the operator as a box that does not stop
// the event loop; while one is open, later failures only update its text.
void ShowRunError(QWidget *parent, const QString &text) {
    static QPointer<QMessageBox> open;
    if (open) {
        open->setText(text);
        return;
    }
    open = new QMessageBox(QMessageBox::Critical, QStringLiteral("Error"), text, QMessageBox::Ok,
                           parent);
    open->setAttribute(Qt::WA_DeleteOnClose);
    open->show();
}

// MMS_OPEN_MODAL opens one modal window as the console starts and leaves it
// open, for measuring the links while an operator has one open: "usertable"
// (the user table), "import" (the user table's import file dialog) or "exit"
// (the "Exit Software?" question).
void OpenModalFromEnvironment(TfrmMain &frmMain, TfrmUserTable &frmUserTable) {
    const QString which = qEnvironmentVariable("MMS_OPEN_MODAL");
    if (which == QLatin1String("usertable")) {
        QTimer::singleShot(0, &frmMain, [&] { frmUserTable.exec(); });
    } else if (which == QLatin1String("import")) {
        QTimer::singleShot(0, &frmMain, [&] {
            QTimer::singleShot(0, &frmUserTable, [&] { frmUserTable.miImportUserTableClick(); });
            frmUserTable.exec();
        });
    } else if (which == QLatin1String("exit")) {
        QTimer::singleShot(0, &frmMain, [&] { frmMain.close(); });
    } else if (!which.isEmpty()) {
        std::fprintf(stderr, "MMS_OPEN_MODAL: unknown window %s\n", qPrintable(which));
    }
}

void ShowErrorBox(const QString &text) {
    QMessageBox::critical(nullptr, QStringLiteral("Error"), text, QMessageBox::Ok);
}

// The console: the main window and the windows its menus open, all acting
// through the operator service and reading the event stream.
int RunWindow(QCoreApplication &app, TServerApp &server) {
    TOperatorService &service = server.Operator();
    TfrmMain::Hooks hooks;
    hooks.formShow = [&] { return service.Start(); };
    hooks.confirmedClose = [&] { return service.ConfirmedExit(); };
    TfrmMain frmMain(hooks);
    // Created hidden after the main window; shown modally from its menu.
    TfrmParameterSet frmParameterSet(service, &frmMain);
    frmMain.menuHooks.OpenParameterSet = [&] { frmParameterSet.exec(); };
    TfrmResolve frmResolve(&frmMain); // owns the data-unit resolver window
    frmMain.menuHooks.OpenResolver = [&](const QString &frameText) {
        frmResolve.ShowFrame(frameText.trimmed());
    };
    TfrmUserTable frmUserTable(service, {}, &frmMain);
    frmMain.menuHooks.OpenUserTable = [&] { frmUserTable.exec(); };
    frmMain.menuHooks.GetEquipmentConnectCount = [&] { return service.GetEquipmentConnectCount(); };
    frmMain.menuHooks.GetClientConnectCount = [&] { return service.GetClientConnectCount(); };
    frmMain.menuHooks.ClearAnalysisAlertList = [&] { service.ClearAnalysisAlertList(); };
    QObject::connect(&server.CheckDelData(), &TCheckDelData::RegisterOverdueDeleteFailed, &frmMain,
                     [&frmMain](const QString &text) { ShowRunError(&frmMain, text); });
    // Both log panes are one view: each event goes to the pane it names.
    // The panes are painted a few times a second: their thread is woken for
    // the events of 50 ms at a time.
    const auto panes = server.Sink().Subscribe(
        &frmMain, [&frmMain](const TLogEvent &event) { frmMain.ShowEvent(event); },
        TCommInfoHintSink::MaxQueued, std::chrono::milliseconds(50));
    QObject::connect(&server.Sink(), &TCommInfoHintSink::UserCountChanged, &frmMain,
                     &TfrmMain::OnUserConnectNumber);
    QObject::connect(&server.Sink(), &TCommInfoHintSink::BoosterCountChanged, &frmMain,
                     &TfrmMain::OnBoosterConnectNumber);
    frmMain.showMaximized();
    OpenModalFromEnvironment(frmMain, frmUserTable);
    const int exitCode = app.exec();
    // The links go before the windows that subscribe to them.
    server.StopLinks();
    return exitCode;
}

} // namespace

int main(int argc, char **argv) {
    TServerView window;
    window.makeApplication = [](int &argc, char **argv) -> std::unique_ptr<QCoreApplication> {
        return std::make_unique<QApplication>(argc, argv);
    };
    window.showError = ShowErrorBox;
    window.run = RunWindow;
    return RunServer(argc, argv, &window);
}
