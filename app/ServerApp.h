// The server's start-up sequence, run state and confirmed exit, shared by the
// console (window) and headless modes.
//
// Threads: the links (the equipment and client servers, their timers, the
// retention scheduler's sequencing, the event stream's fan-out and the
// service manager's keep-alives) run on a thread of their own with the epoll
// dispatcher, in both modes. The thread that makes this object (the main
// thread) runs the start-up, the signals, the confirmed exit and whatever
// view there is: in the window mode it only draws.
#pragma once

#include "ClientTcp.h"
#include "ClusterNode.h"
#include "CommInfoHintSink.h"
#include "Configuration.h"
#include "FleetModel.h"
#include "IniFile.h"
#include "LinkThread.h"
#include "MetricsEndpoint.h"
#include "NetD.h"
#include "OperatorService.h"
#include "SystemdNotify.h"
#include "WebConsole.h"

#include <QCoreApplication>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

class TEquipmentTcp;
class TClientTcp;
class TCheckDelData;
class TServerContainer1;
struct TLinkPaces;

class TServerApp : public QObject {
    Q_OBJECT
public:
    struct Options {
        QString home;          // folder of Set.ini, MonitorData.db and the alert files
        bool headless = false; // no window: log lines and messages go to the terminal
        // Shows an error to the operator (the window's modal box); unset:
        // standard error.
        std::function<void(const QString &)> showError;
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
    // A node of a cluster ([Cluster] NodeName set): instead of FormShow,
    // serves /metrics as a standby, starts the election and says so; the
    // node takes over (TakeOver) once it holds the lock.
    bool IsClusterNode() const { return cluster_.Enabled(); }
    const TClusterSettings &Cluster() const { return cluster_; }
    void StartStandby();
    // Whether the node serves the equipment and client ports (a standalone
    // server once FormShow has run).
    bool Serving() const { return serving_.load(); }

    // Saves the counters and releases the links. False when the counters
    // could not be saved (the message has been shown): the links go on.
    bool ConfirmedExit();

    // After a completed import (the operator service's exit): saves the
    // counters, releases the servers and ends the event loop.
    void EndAfterImport();

    TCommInfoHintSink &Sink() { return sink_; }
    // The once-a-minute retention runs (made by FormCreate).
    TCheckDelData &CheckDelData() { return *checkDelData_; }
    // What every view acts and reads through (made by FormCreate).
    TOperatorService &Operator() { return *operator_; }
    // The fleet as the views show it (made and started by FormCreate).
    TFleetModel &Fleet() { return *fleet_; }
    const Options &Opts() const { return options_; }
    const ExtraOptions &Extra() const { return extra_; }

    // Shows an error: a modal box with a window, standard error without.
    void ShowError(const QString &text) const;

    // The thread that runs the links.
    TLinkThread &Links() { return links_; }

    // How far an exit has gone, for a watchdog that outlives this object: the
    // step under way, and whether the counters have been saved.
    struct TExitProgress {
        std::atomic<const char *> step{"starting the exit"};
        std::atomic<bool> countersSaved{false};
    };
    std::shared_ptr<TExitProgress> ExitProgress() const { return exitProgress_; }

    // The one place the running server is taken apart, in this order: the
    // web console, the metrics endpoint, the operator service's use of the
    // links, the remote
    // data service, then on the link thread the keep-alives, the servers (the
    // client server first: its workers call the equipment server), and the
    // objects that stay (the event stream, the retention scheduler) come back
    // to this thread before the link thread ends. Runs once; later calls do
    // nothing.
    void StopLinks();

    // The start-up line: version, the ports and their addresses, the database.
    QString StartupText() const;
    // The ports the server listens on, with their addresses (empty: not listening).
    std::vector<TListenPoint> ListenPoints() const;

private:
    // The first steps of every teardown, before the counters are saved and
    // the links go: the callers of the links stop (the operator service's
    // worker, the remote data service). Idempotent.
    void StopCallers();
    // Says, on standard error and as a red log line, each Set.ini value read
    // since the last call that could not be read.
    void ReportSettingProblems();
    // Starts the metrics endpoint when MetricsPort is set; a failure is said
    // and the server goes on without it.
    void StartMetrics();
    // Starts the web console when WebPort is set, on its own thread; a
    // refusal or failure is said (a red line and standard error) and the
    // server goes on without it.
    void StartWeb();
    // The node won the lock: reads again what a standby may hold stale,
    // starts the retention runs and the links as FormShow does, and says
    // it is active. Ends the program (exit code 1) when the ports cannot
    // listen.
    void TakeOver();
    // Reads NormalParam into the settings again; a failure is tried again
    // each second, `retries` times, before it is said.
    void RereadSettings(int retries);
    // On the link thread: the cluster's keep-alive ticks and the guard on
    // the link thread's loop.
    void StartClusterTicks();
    // What the operator service reaches of the servers.
    TOperatorLinks OperatorLinks();
    // The figures of the status view that need no database (any thread).
    TServerStatus Status() const;
    // Samples the gauges once a second from now on (link thread).
    void StartGauges();
    // Copies the links' figures for the endpoint (on the link thread).
    void SampleGauges();
    // On the link thread: creates and starts the servers. An empty text is
    // success; otherwise what to show the operator (standard error has the
    // reason).
    QString StartLinks(const TLinkPaces &paces);

    Options options_;
    QDateTime started_ = QDateTime::currentDateTime();
    std::shared_ptr<TExitProgress> exitProgress_ = std::make_shared<TExitProgress>();
    // First made, last gone: every object on it is released by StopLinks.
    TLinkThread links_;
    bool linksStopped_ = false;
    TCommInfoHintSink sink_;
    std::unique_ptr<IniFile> FParamIni;
    std::unique_ptr<TdmNet> db_;
    DbTarget target_;
    ExtraOptions extra_;
    TClusterSettings cluster_;
    std::atomic<bool> serving_{false};
    std::size_t reportedProblems_ = 0;
    // Before the servers, so that they outlive every thread that counts.
    TServerMetrics metrics_;
    TMetricsGauges gauges_;
    // After db_, so that its connection threads end before the data module.
    std::unique_ptr<TServerContainer1> serverContainer_;
    // The PostgreSQL role of the database connections when it is a superuser.
    QString superuserRole_;
    // The servers live on the link thread; they are made and released there.
    // Other threads read them (the operator service's counts and account
    // actions) under serversLock_.
    mutable std::mutex serversLock_;
    std::unique_ptr<TEquipmentTcp> equipmentTcp_;
    std::unique_ptr<TClientTcp> clientTcp_;
    std::unique_ptr<TCheckDelData> checkDelData_;
    // Told by the equipment server of units coming and going: outlives it.
    std::unique_ptr<TFleetModel> fleet_;
    // Runs the deletions through checkDelData_ and reaches the servers: goes
    // before them.
    std::unique_ptr<TOperatorService> operator_;
    // Reads metrics_ and gauges_: goes first.
    std::unique_ptr<TMetricsEndpoint> metricsEndpoint_;
    // Acts through operator_ and reads sink_: stopped before either.
    std::unique_ptr<TWebConsole> web_;
    // On the link thread, with the servers.
    std::unique_ptr<QTimer> gaugeTimer_;
    // Hands the heap's free pages back to the system once a minute.
    QTimer trimTimer_;
    // Readiness and watchdog keep-alives for systemd (made on the link thread
    // once every port listens).
    std::unique_ptr<TSystemdNotify> notify_;
    // The election of a node of a cluster; released after the links (its
    // session's end frees the lock only when nothing is served any more).
    std::unique_ptr<TClusterNode> clusterNode_;
    // On the link thread: hands the election a tick while the loop turns.
    std::unique_ptr<QTimer> clusterTick_;
};

// The client server's view of the real equipment server, which must outlive
// the client server's workers.
TClientTcp::EquipmentHooks EquipmentHooksFor(TEquipmentTcp &equipment);

// A view that the program runs instead of the terminal: the window program
// passes one. The service program has none; asked for a window, it hands over
// to the window program installed beside it.
struct TServerView {
    // Makes the application object the view needs (a QApplication).
    std::function<std::unique_ptr<QCoreApplication>(int &argc, char **argv)> makeApplication;
    // Shows an error in a modal box.
    std::function<void(const QString &)> showError;
    // Runs the view until the program ends; returns the exit code.
    std::function<int(QCoreApplication &, TServerApp &)> run;
};

// The name of the window program, looked for beside the service program.
inline constexpr const char *WindowProgramName = "mms-server-window";

// The program: arguments, signals, and the headless or window run. Returns
// the process exit code.
int RunServer(int argc, char **argv, const TServerView *window = nullptr);
