// The server's start-up sequence, run state and confirmed exit, shared by the
// console (window) and headless modes.
#pragma once

#include "ClientTcp.h"
#include "CommInfoHintSink.h"
#include "Configuration.h"
#include "IniFile.h"
#include "MetricsEndpoint.h"
#include "NetD.h"
#include "OperatorService.h"
#include "SystemdNotify.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

class TEquipmentTcp;
class TClientTcp;
class TCheckDelData;
class TServerContainer1;

class TServerApp : public QObject {
    Q_OBJECT
public:
    struct Options {
        QString home;          // folder of Set.ini, MonitorData.db and the alert files
        bool headless = false; // no window: log lines and messages go to the terminal
    };

    TServerApp(Options options, QObject *parent = nullptr);
    ~TServerApp() override;

    // Reads Set.ini, opens the database and loads NormalParam. On failure the
    // fatal message has been shown and false is returned.
    bool DataModuleCreate();
    // Creates the process-wide lists and loads the dictionaries.
    void FormCreate();
    // Creates the remote data service and starts it listening on
    // DataBasePort. When it cannot listen (or must not: beyond loopback
    // without a token) a red line and standard error say why, and start-up
    // goes on without it.
    void ServerContainerCreate();
    // Creates the equipment and client servers and writes Set.ini, then tells
    // the service manager the server is ready and starts the watchdog
    // keep-alives on the links' thread. False when a server cannot listen
    // (the message has been shown).
    bool FormShow();
    // Saves the counters and releases the equipment server. False when the
    // counters could not be saved (the message has been shown).
    bool ConfirmedExit();

    // After a completed import (the operator service's exit): saves the
    // counters, releases the servers and ends the event loop.
    void EndAfterImport();

    TCommInfoHintSink &Sink() { return sink_; }
    // The once-a-minute retention runs (made by FormCreate).
    TCheckDelData &CheckDelData() { return *checkDelData_; }
    // What every view acts and reads through (made by FormCreate).
    TOperatorService &Operator() { return *operator_; }
    const Options &Opts() const { return options_; }
    const ExtraOptions &Extra() const { return extra_; }

    // Shows an error: a modal box with a window, standard error without.
    void ShowError(const QString &text) const;

    // The start-up line: version, the ports and their addresses, the database.
    QString StartupText() const;

private:
    // Says, on standard error and as a red log line, each Set.ini value read
    // since the last call that could not be read.
    void ReportSettingProblems();
    // Starts the metrics endpoint when MetricsPort is set; a failure is said
    // and the server goes on without it.
    void StartMetrics();
    // What the operator service reaches of the servers.
    TOperatorLinks OperatorLinks();
    // Copies the event thread's figures for the endpoint.
    void SampleGauges();

    Options options_;
    TCommInfoHintSink sink_;
    std::unique_ptr<IniFile> FParamIni;
    std::unique_ptr<TdmNet> db_;
    DbTarget target_;
    ExtraOptions extra_;
    std::size_t reportedProblems_ = 0;
    // Before the servers, so that they outlive every thread that counts.
    TServerMetrics metrics_;
    TMetricsGauges gauges_;
    // After db_, so that its connection threads end before the data module.
    std::unique_ptr<TServerContainer1> serverContainer_;
    // The PostgreSQL role of the database connections when it is a superuser.
    QString superuserRole_;
    // Declared after sink_ and db_ so that it goes before them: it logs through
    // sink_ and reads dmNet.
    std::unique_ptr<TEquipmentTcp> equipmentTcp_;
    // After the equipment server, so that it (and its workers, which call the
    // equipment server) goes before it.
    std::unique_ptr<TClientTcp> clientTcp_;
    std::unique_ptr<TCheckDelData> checkDelData_;
    // Runs the deletions through checkDelData_ and reaches the servers: goes
    // before them.
    std::unique_ptr<TOperatorService> operator_;
    // Reads metrics_ and gauges_: goes first.
    std::unique_ptr<TMetricsEndpoint> metricsEndpoint_;
    QTimer gaugeTimer_;
    // Hands the heap's free pages back to the system once a minute.
    QTimer trimTimer_;
    // Readiness and watchdog keep-alives for systemd (made once every port
    // listens).
    std::unique_ptr<TSystemdNotify> notify_;
};

// Program entry: parses the command line and runs the server. Returns the
// process exit code.
// The client server's view of the real equipment server, which must outlive
// the client server's workers.
TClientTcp::EquipmentHooks EquipmentHooksFor(TEquipmentTcp &equipment);

// The program: arguments, signals, and the headless or window run.
int RunServer(int argc, char **argv);
