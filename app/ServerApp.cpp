#include "ServerApp.h"

#include "AlarmOutbox.h"
#include "CheckDelData.h"
#include "ClientTcp.h"
#include "ClusterStore.h"
#include "EpollEventDispatcher.h"
#include "EquipmentTcp.h"
#include "HomeLock.h"
#include "LinkPaces.h"
#include "ModelFleet.h"
#include "NormalParamTable.h"
#include "ParamDictionary.h"
#include "PublicU.h"
#include "RemoteDataSet.h"
#include "Retention.h"
#include "SchemaInstaller.h"
#include "ServerContainer1.h"
#include "TempHistory.h"
#include "ThreadCheck.h"
#include "UserTableCommand.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostInfo>
#include <QJsonObject>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <cstdio>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char *UsageText =
    "Usage: mms-server [--home DIR] [--init-db] [--headless] [--version] [--help]\n"
    "       mms-server [--home DIR] --export-users FILE.hd | --import-users FILE.hd\n"
    "       mms-server [--home DIR] --add-super-user NAME < password\n"
    "\n"
    "Network management server for field radio equipment.\n"
    "\n"
    "  --home DIR   folder of Set.ini, MonitorData.db and the temporary alert files\n"
    "               (default: the folder of the executable)\n"
    "  --init-db    create DIR/MonitorData.db with every table and the dictionary rows,\n"
    "               then exit; an existing file is left untouched (exit code 1)\n"
    "  --headless   run without a window; log lines go to standard output\n"
    "  --export-users FILE.hd, --import-users FILE.hd\n"
    "               write the accounts and their equipment assignments to the file, or\n"
    "               replace them from it (in the [Set] CodePage), then exit; refused\n"
    "               while a server runs on DIR\n"
    "  --add-super-user NAME\n"
    "               add a super user (who may log in to the web console) with the\n"
    "               password given as the first line of standard input, then exit;\n"
    "               refused while a server runs on DIR\n"
    "  --version    print the version and exit\n"
    "  --help       show this text\n"
    "\n"
    "Environment: MMS_SHORT_DATE sets the date layout of every date-time text\n"
    "(for example yyyy-MM-dd); without it the system locale's short date is used.\n";

// SIGINT, SIGTERM and SIGHUP are turned into a byte on this socket pair;
// the event loop reads it and runs the confirmed exit.
int signalPipe[2] = {-1, -1};

extern "C" void OnTerminateSignal(int) {
    const char b = 1;
    [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &b, 1);
}

void PrintErr(const QString &text) {
    std::fputs(text.toLocal8Bit().constData(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

bool HasDisplay() {
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (!platform.isEmpty())
        return true;
    return !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

struct CommandLine {
    QString home;
    bool initDb = false;
    bool headless = false;
    bool help = false;
    TUserTableCommand userTable;
    bool version = false;
    QString error;
};

CommandLine ParseCommandLine(int argc, char **argv) {
    CommandLine c;
    for (int i = 1; i < argc; ++i) {
        const QString a = QString::fromLocal8Bit(argv[i]);
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            c.help = true;
        } else if (a == QLatin1String("--version")) {
            c.version = true;
        } else if (a == QLatin1String("--init-db")) {
            c.initDb = true;
        } else if (a == QLatin1String("--headless")) {
            c.headless = true;
        } else if (a == QLatin1String("--home")) {
            if (i + 1 >= argc) {
                c.error = QStringLiteral("--home needs a folder");
                return c;
            }
            c.home = QString::fromLocal8Bit(argv[++i]);
        } else if (a.startsWith(QLatin1String("--home="))) {
            c.home = a.mid(7);
        } else if (ParseUserTableOption(argc, argv, i, c.userTable, c.error)) {
            if (!c.error.isEmpty())
                return c;
        } else {
            c.error = QStringLiteral("unknown option: ") + a;
            return c;
        }
    }
    return c;
}

QString ExecutableFolder(const char *argv0) {
    const QFileInfo self(QStringLiteral("/proc/self/exe"));
    if (self.exists())
        return QFileInfo(self.symLinkTarget()).absolutePath();
    return QFileInfo(QString::fromLocal8Bit(argv0)).absolutePath();
}

} // namespace

TServerApp::TServerApp(Options options, QObject *parent)
    : QObject(parent), options_(std::move(options)) {
    // Connection churn frees what it allocates, but freed memory between
    // live blocks stays resident with glibc: after a burst of thousands of
    // short connections the resident size would stay at the burst's peak.
    // Handing the free pages back once a minute keeps it near what is used;
    // it runs here, off the links' thread.
    connect(&trimTimer_, &QTimer::timeout, this, [] {
#ifdef __GLIBC__
        malloc_trim(0);
#endif
    });
    trimTimer_.start(60000);
}

TServerApp::~TServerApp() {
    StopLinks();
    // The operator service's worker uses the retention scheduler and dmNet.
    exitProgress_->step = "releasing the operator service";
    operator_.reset();
    fleet_.reset();
    exitProgress_->step = "releasing the retention scheduler";
    checkDelData_.reset();
    serverContainer_.reset();
    exitProgress_->step = "closing the database and ending the link thread";
    dmNet = nullptr;
}

void TServerApp::ShowError(const QString &text) const {
    if (options_.showError && !options_.headless)
        options_.showError(text);
    else
        PrintErr(text);
}

bool TServerApp::DataModuleCreate() {
    const QDir home(options_.home);
    FParamIni = std::make_unique<IniFile>(home.filePath(QStringLiteral("Set.ini")));
    ReadPorts(*FParamIni);
    extra_ = ReadExtraOptions(*FParamIni);
    cluster_ = ReadClusterSettings(*FParamIni);
    target_ = ChooseDatabase(options_.home, *FParamIni);
    ReportSettingProblems();
    if (const QString refusal = ClusterRefusal(cluster_, target_); !refusal.isEmpty()) {
        PrintErr(refusal);
        return false;
    }
    DataBaseType = target_.type;
    db_ = std::make_unique<TdmNet>(target_);
    db_->SetEventThread(links_.Thread());
    dmNet = db_.get();
    dmNet->Health().SetHint(sink_.CommInfoHint());
    try {
        dmNet->Open();
        ApplyNormalParam(TNormalParamTable(*dmNet).ReadAll());
    } catch (const std::exception &e) {
        // The reason goes to standard error as well, for the operator's logs.
        PrintErr(QString::fromStdString(e.what()));
        ShowError(QString::fromLatin1(OpenDatabaseErrorText));
        return false;
    }
    try {
        // Databases made by an older schema lack the history time indexes
        // that keep the retention runs short.
        TRetention(*dmNet).EnsureHistoryIndexes();
    } catch (const std::exception &e) {
        PrintErr(QStringLiteral("The history indexes could not be created: ") +
                 QString::fromStdString(e.what()));
    }
    try {
        // Databases made by an older schema lack the alarm outbox.
        if (TAlarmOutbox(*dmNet).EnsureTables())
            PrintErr(QStringLiteral("Created the alarm outbox tables (AlarmQueue, AlarmAnalysis, "
                                    "AlarmMailLine, AlarmMailProgress)."));
    } catch (const std::exception &e) {
        PrintErr(QStringLiteral("The alarm outbox tables could not be created: ") +
                 QString::fromStdString(e.what()));
    }
    if (cluster_.Enabled()) {
        // The nodes' rows and the sequences of serial and station numbers:
        // a node cannot run without them.
        try {
            EnsureClusterTables(*dmNet);
        } catch (const std::exception &e) {
            PrintErr(QStringLiteral("The cluster tables could not be created: ") +
                     QString::fromStdString(e.what()));
            return false;
        }
    }
    return true;
}

void TServerApp::FormCreate() {
    {
        std::lock_guard guard(lstAlertStringLock);
        lstAlertString.clear();
    }
    // The dictionaries are read once, before any server or worker exists.
    LoadParamProperyList(TableReaderFor(*dmNet));
    // The retention timer runs from here on, with or without a window.
    // MMS_RETENTION_INTERVAL_MS shortens its period (tests, benchmarks).
    TCheckDelData::Settings retention;
    bool ok = false;
    const int intervalMs = qEnvironmentVariableIntValue("MMS_RETENTION_INTERVAL_MS", &ok);
    if (ok && intervalMs > 0)
        retention.interval = std::chrono::milliseconds(intervalMs);
    checkDelData_ = std::make_unique<TCheckDelData>(*dmNet, sink_.CommInfoHint(), retention);
    // A node of a cluster deletes only while it is the active one.
    if (cluster_.Enabled())
        checkDelData_->timCheckDelData.stop();
    // Its timer and the sequencing of its steps run beside the links.
    checkDelData_->moveToThread(links_.Thread());
    operator_ = std::make_unique<TOperatorService>(*dmNet, *checkDelData_, OperatorLinks(),
                                                   extra_.codePage);
    // Subscribed and loading before the links start, so that it misses no unit.
    fleet_ = std::make_unique<TFleetModel>(*dmNet, &sink_);
    fleet_->Start();
    operator_->SetFleetModel(fleet_.get());
}

TOperatorLinks TServerApp::OperatorLinks() {
    // The servers are made and released on the link thread; these run on the
    // callers' threads and reach them under serversLock_.
    TOperatorLinks links;
    links.CheckClientExist = [this](const QString &UserName) {
        std::lock_guard guard(serversLock_);
        return clientTcp_ && clientTcp_->CheckClientExist(UserName);
    };
    links.DisClientConnect = [this](const QString &UserName) {
        std::lock_guard guard(serversLock_);
        if (clientTcp_)
            clientTcp_->DisClientConnect(UserName);
    };
    links.GetEquipmentConnectCount = [this] {
        std::lock_guard guard(serversLock_);
        return equipmentTcp_ ? equipmentTcp_->GetEquipmentConnectCount() : 0;
    };
    links.GetClientConnectCount = [this] {
        std::lock_guard guard(serversLock_);
        return clientTcp_ ? clientTcp_->GetClientConnectCount() : 0;
    };
    links.ClearAnalysisAlertList = [this] {
        links_.Post([this] {
            if (clientTcp_)
                clientTcp_->ClearAnalysisAlertList();
        });
    };
    links.UnitAssignmentChanged = [this](const QString &UserName, const QString &EquipmentName,
                                         const QString &EquipmentCode, bool assigned) {
        // As the equipment server tells the owners of a unit that comes or
        // goes, from its own thread, with the identity the unit registered.
        links_.Post([this, UserName, EquipmentName, EquipmentCode, assigned] {
            if (!equipmentTcp_)
                return;
            try {
                const auto unit = equipmentTcp_->OnLineUnit(EquipmentCode);
                if (unit)
                    equipmentTcp_->OwnerLineState(UserName, EquipmentName, EquipmentCode,
                                                  unit->id.EquipmentType, unit->id.SiteNum(),
                                                  unit->id.EquipmentNum(), assigned);
                else if (assigned)
                    // Connected without an owner until now: registered at
                    // once, which tells every owner (the new one among them).
                    equipmentTcp_->RegisterHeard(EquipmentCode);
            } catch (const std::exception &e) {
                sink_.Post(LogEvent(TLogKind::Error, TLogPane::Events,
                                    QStringLiteral("Line state of %1 not sent to %2: %3")
                                        .arg(EquipmentCode, UserName, QString::fromUtf8(e.what())),
                                    clRed)
                               .WithUnit(EquipmentCode)
                               .WithUser(UserName));
            }
        });
    };
    links.Status = [this] { return Status(); };
    links.Start = [this] { return FormShow(); };
    links.ConfirmedExit = [this] { return ConfirmedExit(); };
    links.Exit = [this] { EndAfterImport(); };
    return links;
}

void TServerApp::ServerContainerCreate() {
    TServerContainerSettings settings;
    settings.port = quint16(DataBasePort);
    settings.listen = extra_.dataBaseListen;
    settings.token = extra_.dataBaseToken;
    // Tests shorten the login deadline and the time a client may leave its
    // replies untaken.
    for (const auto &[name, limit] :
         {std::pair{"MMS_REMOTE_LOGIN_MS", &settings.limits.loginDeadline},
          std::pair{"MMS_REMOTE_STALL_MS", &settings.limits.stallLimit}}) {
        bool ok = false;
        const int ms = qEnvironmentVariableIntValue(name, &ok);
        if (ok && ms > 0)
            *limit = std::chrono::milliseconds(ms);
    }
    serverContainer_ =
        std::make_unique<TServerContainer1>(*dmNet, sink_.CommInfoHint(), std::move(settings));
    if (!serverContainer_->Start()) {
        const QString text =
            QStringLiteral("DataBase service not started: ") + serverContainer_->ErrorString();
        serverContainer_.reset();
        sink_.Post(LogEvent(TLogKind::Error, TLogPane::Events, text, clRed));
        PrintErr(text);
        return;
    }
    try {
        superuserRole_ = TRemoteDataSet::SuperuserRole(*dmNet);
    } catch (const DbError &) {
        // Not known: the start-up line says nothing of it.
    }
}

bool TServerApp::FormShow() {
    // The event stream hands events on from the link thread from here on, so
    // that a view that stalls holds up no other view. Until now it stayed on
    // this thread, whose loop had not run: what start-up logged waits in it
    // for the views that subscribed before the servers start.
    if (sink_.thread() != links_.Thread()) {
        sink_.moveToThread(links_.Thread());
        sink_.DeliverDirectly(true);
    }
    for (const QString &problem : extra_.problems)
        sink_.Post(LogEvent(TLogKind::Error, TLogPane::Events, problem, clRed));
    const TLinkPaces paces = ApplyPaceOptions(TLinkPaces::FromEnvironment(), extra_);
    if (extra_.metricsPort > 0)
        ServerMetrics = &metrics_;
    QString failure;
    links_.Run([&] { failure = StartLinks(paces); });
    if (!failure.isEmpty()) {
        ShowError(failure);
        return false;
    }
    links_.Run([this] { StartGauges(); });
    if (!WritePorts(*FParamIni))
        sink_.Post(LogEvent(TLogKind::Error, TLogPane::Events,
                            QStringLiteral("Set.ini could not be written: ") + FParamIni->Path(),
                            clRed));
    ReportSettingProblems();
    if (!metricsEndpoint_)
        StartMetrics();
    StartWeb();
    // Every port listens now. The keep-alives go out from the turns of the
    // loop that runs the links, so a hung loop stops them.
    links_.Run([this] {
        if (notify_)
            return; // a standby that took over said it was ready already
        notify_ = std::make_unique<TSystemdNotify>(TSystemdNotify::Settings::FromEnvironment());
        notify_->Ready();
    });
    serving_ = true;
    return true;
}

void TServerApp::StartStandby() {
    if (extra_.metricsPort > 0)
        ServerMetrics = &metrics_;
    StartMetrics();
    // The service manager hears the standby is up: it runs as it should.
    links_.Run([this] {
        notify_ = std::make_unique<TSystemdNotify>(TSystemdNotify::Settings::FromEnvironment());
        notify_->Ready();
    });
    // The row says where the node's units come in.
    const QString address =
        QStringLiteral("%1:%2").arg(QHostInfo::localHostName()).arg(DeviceConnectPort);
    // A round trip that takes longer than the hang timeout cannot renew the
    // lease anyway; connecting gets as long, at least a second.
    const auto deadline = std::max(cluster_.hangTimeout, std::chrono::milliseconds(1000));
    auto session = std::make_unique<TClusterLockSession>(
        target_, cluster_.lockKey, cluster_.hangTimeout, deadline,
        QStringLiteral("mms-server cluster node ") + cluster_.nodeName);
    TClusterNode::Hooks hooks;
    hooks.becameActive = [this] {
        QMetaObject::invokeMethod(
            this, [this] { TakeOver(); }, Qt::QueuedConnection);
    };
    hooks.log = [this](const QString &text) {
        sink_.Post(LogEvent(TLogKind::Note, TLogPane::Events, text, clWhite));
    };
    clusterNode_ =
        std::make_unique<TClusterNode>(cluster_, std::move(session), address, std::move(hooks));
    links_.Run([this] { StartClusterTicks(); });
    clusterNode_->Start();
}

void TServerApp::StartClusterTicks() {
    MMS_ASSERT_THREAD(links_.Thread());
    TClusterNode *const node = clusterNode_.get();
    // Before the loop hands anything on, a node whose lease has lapsed (it
    // was frozen, or the loop stood still) ends: what waits is not answered.
    // A pass that delivers a great many events (a whole fleet registering
    // after a takeover) ticks between them, so a busy loop keeps its lease
    // and a loop stuck in one delivery loses it.
    if (auto *dispatcher =
            qobject_cast<TEpollEventDispatcher *>(QThread::currentThread()->eventDispatcher())) {
        dispatcher->SetGuard([node] { node->Guard(); });
        dispatcher->SetProgressHook(
            [node] {
                node->Guard();
                node->Tick();
            },
            cluster_.TickPace());
    }
    clusterTick_ = std::make_unique<QTimer>();
    clusterTick_->setTimerType(Qt::PreciseTimer);
    connect(clusterTick_.get(), &QTimer::timeout, links_.Context(), [node] {
        node->Guard();
        node->Tick();
    });
    clusterTick_->start(cluster_.TickPace());
}

void TServerApp::RereadSettings(int retries) {
    try {
        ApplyNormalParam(TNormalParamTable(*dmNet).ReadAll());
    } catch (const std::exception &e) {
        if (retries > 0 && !linksStopped_) {
            QTimer::singleShot(1000, this, [this, retries] { RereadSettings(retries - 1); });
            return;
        }
        const QString text = QStringLiteral("The settings could not be read again: ") +
                             QString::fromStdString(e.what());
        PrintErr(text);
        sink_.Post(LogEvent(TLogKind::Error, TLogPane::Events, text, clRed));
    }
}

void TServerApp::TakeOver() {
    if (linksStopped_ || serving_)
        return;
    // The active node before this one may have changed the settings and
    // the owners since this one started. Right after PostgreSQL restarted
    // the first statement may fail: tried again each second for a while.
    RereadSettings(30);
    fleet_->ReloadOwners();
    links_.Post([this] { checkDelData_->timCheckDelData.start(); });
    if (!FormShow()) {
        QCoreApplication::exit(1);
        return;
    }
    const QString line = clusterNode_->ActiveLine();
    sink_.Post(LogEvent(TLogKind::Note, TLogPane::Events, line, clWhite));
    PrintErr(line);
    PrintErr(StartupText());
}

QString TServerApp::StartLinks(const TLinkPaces &paces) {
    MMS_ASSERT_THREAD(links_.Thread());
    auto equipment = std::make_unique<TEquipmentTcp>(DeviceConnectPort, sink_.CommInfoHint(),
                                                     sink_.BoosterConnectNumber(), paces);
    if (!equipment->IsListening()) {
        PrintErr(QStringLiteral("Equipment port %1: %2")
                     .arg(DeviceConnectPort)
                     .arg(equipment->ListenError()));
        return QStringLiteral("Open listen equipment server failed.");
    }
    equipment->SetMaxConnections(static_cast<std::size_t>(extra_.maxEquipmentConnections));
    if (cluster_.Enabled()) {
        // Numbers that no node repeats: serial blocks and station numbers
        // come from the database's sequences (nextval never hands the same
        // value to two sessions, whatever a node that was frozen still
        // writes), instead of blocks reserved in NormalParam, which a stale
        // node could overwrite after another had taken over.
        equipment->SetSerialBlockSource(
            [](const QString &key) { return TClusterSequences(*dmNet).NextSerialBlock(key); });
        equipment->SetStationSource([] {
            return QStringLiteral("%1")
                .arg(TClusterSequences(*dmNet).NextStation(), 8, 16, QLatin1Char('0'))
                .toUpper();
        });
    }
    equipment->SetAcceptProxy(extra_.acceptProxy);
    equipment->SetUnitPresence(fleet_.get());

    TClientTcp::Settings clientSettings;
    clientSettings.codePage = extra_.codePage;
    clientSettings.homeFolder = options_.home;
    clientSettings.mail.caFile = extra_.emailCaFile;
    clientSettings.paces = paces;
    clientSettings.maxConnections = static_cast<std::size_t>(extra_.maxClientConnections);
    clientSettings.acceptProxy = extra_.acceptProxy;
    auto client =
        std::make_unique<TClientTcp>(sink_.CommInfoHint(), sink_.UserConnectNumber(),
                                     EquipmentHooksFor(*equipment), std::move(clientSettings));
    if (!client->Start(ClientConnectPort)) {
        PrintErr(
            QStringLiteral("Client port %1: %2").arg(ClientConnectPort).arg(client->ErrorString()));
        return QStringLiteral("Open listen client server failed.");
    }
    equipment->SetClientLink(client.get());
    std::lock_guard guard(serversLock_);
    equipmentTcp_ = std::move(equipment);
    clientTcp_ = std::move(client);
    EquipmentTcp = equipmentTcp_.get();
    ClientTcp = clientTcp_.get();
    return {};
}

void TServerApp::StartMetrics() {
    if (extra_.metricsPort <= 0)
        return;
    metricsEndpoint_ = std::make_unique<TMetricsEndpoint>(metrics_, gauges_);
    if (cluster_.Enabled()) {
        // The node made before the endpoint and released after it.
        metricsEndpoint_->SetCluster({[this] { return serving_.load(); },
                                      [this] {
                                          return clusterNode_ ? clusterNode_->Nodes()
                                                              : std::vector<TClusterNodeRow>{};
                                      }});
    }
    if (!metricsEndpoint_->Start(extra_.metricsListen, extra_.metricsPort)) {
        const QString text = QStringLiteral("Metrics endpoint %1:%2 not started: %3")
                                 .arg(extra_.metricsListen)
                                 .arg(extra_.metricsPort)
                                 .arg(metricsEndpoint_->ErrorString());
        metricsEndpoint_.reset();
        ServerMetrics = nullptr;
        PrintErr(text);
        sink_.Post(LogEvent(TLogKind::Error, TLogPane::Events, text, clRed));
        return;
    }
}

void TServerApp::StartGauges() {
    MMS_ASSERT_THREAD(links_.Thread());
    if (gaugeTimer_)
        return;
    SampleGauges();
    gaugeTimer_ = std::make_unique<QTimer>();
    connect(gaugeTimer_.get(), &QTimer::timeout, links_.Context(), [this] { SampleGauges(); });
    gaugeTimer_->start(1000);
}

void TServerApp::StartWeb() {
    if (extra_.webPort <= 0)
        return;
    TWebBackend backend;
    backend.operatorService = operator_.get();
    backend.sink = &sink_;
    // The fleet model outlives the web console (StopLinks ends the console).
    backend.makeFleet = [this]() -> std::unique_ptr<TWebFleet> {
        return std::make_unique<TModelFleet>(*fleet_);
    };
    const QJsonObject fixed{
        {QStringLiteral("version"), ServerVersion()},
        {QStringLiteral("database"), DescribeDatabase(target_)},
        {QStringLiteral("databaseKind"), target_.type == 1   ? QStringLiteral("SQLite")
                                         : target_.type == 3 ? QStringLiteral("PostgreSQL")
                                                             : QStringLiteral("SQL Server")},
        {QStringLiteral("ports"),
         QJsonObject{
             {QStringLiteral("equipment"), DeviceConnectPort},
             {QStringLiteral("clients"), ClientConnectPort},
             {QStringLiteral("remoteData"), serverContainer_ ? int(serverContainer_->Port()) : 0},
             {QStringLiteral("metrics"), metricsEndpoint_ ? int(metricsEndpoint_->Port()) : 0},
             {QStringLiteral("web"), extra_.webPort}}}};
    backend.status = [fixed] { return fixed; };
    TWebConsoleSettings settings;
    settings.port = extra_.webPort;
    settings.listen = extra_.webListen;
    settings.certFile = extra_.webCertFile;
    settings.keyFile = extra_.webKeyFile;
    settings.maxSessions = extra_.maxWebSessions;
    // Tests shorten the idle time after which a session ends and the time a
    // request may take to arrive.
    for (const auto &[name, limit] : {std::pair{"MMS_WEB_IDLE_MS", &settings.idle},
                                      std::pair{"MMS_WEB_REQUEST_MS", &settings.requestDeadline}}) {
        bool ok = false;
        const int ms = qEnvironmentVariableIntValue(name, &ok);
        if (ok && ms > 0)
            *limit = std::chrono::milliseconds(ms);
    }
    web_ = std::make_unique<TWebConsole>(std::move(backend));
    QString error;
    if (!web_->Start(settings, &error)) {
        web_.reset();
        const QString text = QStringLiteral("Web console not started: ") + error;
        PrintErr(text);
        sink_.Post(LogEvent(TLogKind::Error, TLogPane::Events, text, clRed));
        return;
    }
    sink_.Post(LogEvent(
        TLogKind::Note, TLogPane::Events,
        QStringLiteral("Web console at %1 (log in with a super user account)").arg(web_->Url()),
        clWhite));
}

void TServerApp::SampleGauges() {
    MMS_ASSERT_THREAD(links_.Thread());
    const auto set = [](std::atomic<std::int64_t> &gauge, std::size_t value) {
        gauge.store(static_cast<std::int64_t>(value), std::memory_order_relaxed);
    };
    set(gauges_.unitsConnected, equipmentTcp_ ? equipmentTcp_->GetEquipmentConnectCount() : 0);
    set(gauges_.sendQueue, equipmentTcp_ ? equipmentTcp_->SendPackageCount() : 0);
    set(gauges_.receiveQueue, equipmentTcp_ ? equipmentTcp_->RecPackageCount() : 0);
    set(gauges_.clientsConnected, clientTcp_ ? clientTcp_->GetClientConnectCount() : 0);
    set(gauges_.channelQueue, clientTcp_ ? clientTcp_->Channel().Count() : 0);
    {
        std::lock_guard guard(lstTempHistoryLock);
        set(gauges_.tempHistory, lstTempHistory.size());
    }
    set(gauges_.logSinkQueue, sink_.Queued());
}

void TServerApp::ReportSettingProblems() {
    if (!FParamIni)
        return;
    const std::vector<TIniProblem> &problems = FParamIni->Problems();
    for (; reportedProblems_ < problems.size(); ++reportedProblems_) {
        const QString text = DescribeIniProblem(problems[reportedProblems_]);
        PrintErr(text);
        sink_.Post(LogEvent(TLogKind::Error, TLogPane::Events, text, clRed));
    }
}

QString TServerApp::StartupText() const {
    QString text = StartupLine(ListenPoints(), target_);
    if (web_)
        text += QStringLiteral("; web console ") + web_->Url();
    if (cluster_.Enabled())
        text += QStringLiteral("; cluster node %1 (%2)")
                    .arg(cluster_.nodeName,
                         serving_ ? QStringLiteral("active") : QStringLiteral("standby"));
    if (!superuserRole_.isEmpty())
        text += QStringLiteral("; warning: the database role %1 is a superuser, and every "
                               "remote data statement runs with its rights: give the server a "
                               "role of its own")
                    .arg(superuserRole_);
    return text;
}

TServerStatus TServerApp::Status() const {
    TServerStatus status;
    status.version = ServerVersion();
    status.started = started_;
    status.uptimeSeconds = started_.secsTo(QDateTime::currentDateTime());
    {
        std::lock_guard guard(serversLock_);
        for (const TListenPoint &p : ListenPoints())
            status.ports.push_back({p.name, p.address, p.port});
    }
    status.database = DescribeDatabase(target_);
    const auto read = [](const std::atomic<std::int64_t> &gauge) {
        return gauge.load(std::memory_order_relaxed);
    };
    status.unitsConnected = int(read(gauges_.unitsConnected));
    status.clientsConnected = int(read(gauges_.clientsConnected));
    status.sendQueue = read(gauges_.sendQueue);
    status.receiveQueue = read(gauges_.receiveQueue);
    status.channelQueue = read(gauges_.channelQueue);
    status.tempHistory = read(gauges_.tempHistory);
    status.logQueue = read(gauges_.logSinkQueue);
    return status;
}

std::vector<TListenPoint> TServerApp::ListenPoints() const {
    // Both links listen on every IPv4 interface.
    const QString any = QStringLiteral("0.0.0.0");
    std::vector<TListenPoint> listens;
    listens.push_back({QStringLiteral("equipment"), equipmentTcp_ ? any : QString(),
                       equipmentTcp_ ? equipmentTcp_->ServerPort() : DeviceConnectPort});
    listens.push_back({QStringLiteral("remote data"),
                       serverContainer_ ? extra_.dataBaseListen : QString(),
                       serverContainer_ ? serverContainer_->Port() : quint16(DataBasePort)});
    listens.push_back({QStringLiteral("clients"), clientTcp_ ? any : QString(),
                       clientTcp_ ? clientTcp_->ServerPort() : ClientConnectPort});
    if (metricsEndpoint_)
        listens.push_back(
            {QStringLiteral("metrics"), extra_.metricsListen, metricsEndpoint_->Port()});
    return listens;
}

bool TServerApp::ConfirmedExit() {
    if (linksStopped_)
        return true;
    StopCallers();
    exitProgress_->step = "saving the counters";
    QString failure;
    // A standby has drawn no numbers: the counters it read at start are the
    // active node's, and writing them back would move that node's back.
    if (!cluster_.Enabled() || serving_) {
        links_.Run([&] {
            try {
                const auto save = [] { SaveHandPackageCount(*dmNet); };
                if (equipmentTcp_)
                    equipmentTcp_->SaveExactSerials(save);
                else
                    save();
            } catch (const std::exception &e) {
                failure = QStringLiteral("The request counters could not be saved: ") +
                          QString::fromStdString(e.what());
            }
        });
    }
    if (!failure.isEmpty()) {
        ShowError(failure);
        return false;
    }
    exitProgress_->countersSaved = true;
    FParamIni.reset();
    StopLinks();
    return true;
}

void TServerApp::StopCallers() {
    // The operator service's worker no longer reaches the servers.
    if (operator_)
        operator_->Stop();
    // Remote calls stop at once: one under way may hold the data module lock
    // the counters need, and the program must not wait on remote clients.
    exitProgress_->step = "stopping the remote data service";
    serverContainer_.reset();
}

void TServerApp::StopLinks() {
    if (linksStopped_)
        return;
    linksStopped_ = true;
    // The web console acts through the operator service and reads the event
    // stream: it goes before both, its thread with it.
    exitProgress_->step = "stopping the web console";
    web_.reset();
    exitProgress_->step = "releasing the links";
    ServerMetrics = nullptr;
    metricsEndpoint_.reset();
    StopCallers();
    exitProgress_->step = "releasing the links";
    QThread *const home = thread();
    links_.Run([this, home] {
        if (notify_)
            notify_->Stopping();
        notify_.reset();
        gaugeTimer_.reset();
        std::unique_ptr<TEquipmentTcp> equipment;
        std::unique_ptr<TClientTcp> client;
        {
            std::lock_guard guard(serversLock_);
            equipment = std::move(equipmentTcp_);
            client = std::move(clientTcp_);
            ClientTcp = nullptr;
            EquipmentTcp = nullptr;
        }
        // The client server and its workers call the equipment server: they
        // go first.
        if (equipment) {
            equipment->SetClientLink(nullptr);
            equipment->SetUnitPresence(nullptr);
        }
        client.reset();
        equipment.reset();
        // What stays for the rest of the program's life comes back here.
        if (checkDelData_)
            checkDelData_->moveToThread(home);
        if (sink_.thread() == links_.Thread()) {
            sink_.DeliverDirectly(false);
            sink_.moveToThread(home);
        }
    });
    if (db_)
        db_->SetEventThread(home);
    // Nothing is served any more: the keep-alives end, and the session's end
    // frees the lock.
    if (clusterNode_) {
        links_.Run([this] {
            clusterTick_.reset();
            if (auto *dispatcher = qobject_cast<TEpollEventDispatcher *>(
                    QThread::currentThread()->eventDispatcher())) {
                dispatcher->SetGuard({});
                dispatcher->SetProgressHook({}, {});
            }
        });
        serving_ = false;
        clusterNode_.reset();
    }
}

void TServerApp::EndAfterImport() {
    // The counters are saved as on a confirmed exit, so that no serial
    // number is handed out twice after the restart; the program ends even
    // when they could not be (the message has been shown).
    QCoreApplication::exit(ConfirmedExit() ? 0 : 1);
}

TClientTcp::EquipmentHooks EquipmentHooksFor(TEquipmentTcp &equipment) {
    TClientTcp::EquipmentHooks hooks;
    hooks.UserLineState = [&equipment](const QString &UserName, bool NoSuspend,
                                       QString &OnLineEquipmentStr) {
        return equipment.UserLineState(UserName, NoSuspend, OnLineEquipmentStr);
    };
    hooks.AddDataPackage = [&equipment](const TChannelRequest &r) {
        equipment.AddDataPackage(r.UserName, r.EquipmentName, r.EquipmentCode, r.OperateFlag,
                                 r.SendMode, r.ClientIp, r.ClientPort, r.Dictate);
    };
    return hooks;
}

namespace {

// Every equipment unit holds a connection: allow as many open files as the
// system lets this process have.
void RaiseOpenFileLimit() {
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
}

// Without TZ the C library reads the zone file again (a stat at least) each
// time local time is asked for, and every log line asks: named once, the zone
// is read once. A change of the system's zone then needs a restart, as it
// does for most services.
void PinLocalTimeZone() {
    if (qEnvironmentVariableIsSet("TZ") || !QFileInfo::exists(QStringLiteral("/etc/localtime")))
        return;
    qputenv("TZ", ":/etc/localtime");
}

// --init-db: creates the SQLite file of the home folder and exits.
int RunInitDb(int argc, char **argv, const QString &home) {
    QCoreApplication app(argc, argv);
    const QString path = QDir(home).filePath(QStringLiteral("MonitorData.db"));
    if (!QDir().mkpath(home)) {
        PrintErr(QStringLiteral("Cannot create the folder ") + home);
        return 1;
    }
    QString message;
    if (!InitDatabaseFile(path, true, &message)) {
        PrintErr(message);
        return 1;
    }
    std::printf("Created %s\n", path.toLocal8Bit().constData());
    return 0;
}

// An exit asked for by a signal without a window must end the process (the
// service manager waits on it): if it has not ended
// ExitWatchMs after it began, the step it hangs in is said on standard error
// and the process ends at once, with 0 when the counters had been saved (all
// that an exit must keep) and 1 otherwise.
constexpr int ExitWatchMs = 6000;

void WatchTheExit(std::shared_ptr<TServerApp::TExitProgress> progress) {
    std::thread([progress = std::move(progress)] {
        std::this_thread::sleep_for(std::chrono::milliseconds(ExitWatchMs));
        std::fprintf(stderr, "The exit did not end within %d ms (%s): ending the process now.\n",
                     ExitWatchMs, progress->step.load());
        std::fflush(stderr);
        ::_exit(progress->countersSaved ? 0 : 1);
    }).detach();
}

// The one way a signal reaches the server: SIGINT, SIGTERM and SIGHUP write
// a byte to a socket pair (all a signal handler may safely do), and the event
// loop reads it and runs the confirmed exit without asking. Exits 0 when the
// counters were saved; otherwise the headless server exits 1 and the window
// stays open with its error message shown.
class TSignalRelay {
public:
    bool Install() {
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
            return false;
        struct sigaction sa = {};
        sa.sa_handler = OnTerminateSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        for (int sig : {SIGINT, SIGTERM, SIGHUP})
            sigaction(sig, &sa, nullptr);
        std::signal(SIGPIPE, SIG_IGN);
        return true;
    }

    void Connect(TServerApp &server, bool headless) {
        notifier_ = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this, &server, headless] {
            char b;
            [[maybe_unused]] ssize_t n = ::read(signalPipe[0], &b, 1);
            // Headless, nobody is there to see a hang; the window stays open
            // when the counters could not be saved.
            if (headless)
                WatchTheExit(server.ExitProgress());
            const bool saved = server.ConfirmedExit();
            if (saved || headless) {
                notifier_->setEnabled(false);
                QCoreApplication::exit(saved ? 0 : 1);
            }
        });
    }

private:
    std::unique_ptr<QSocketNotifier> notifier_;
};

// Without a window: log lines go to standard output, gated like the panes.
int RunHeadless(QCoreApplication &app, TServerApp &server) {
    // Under traffic the lines of 50 ms are gathered and written with one
    // flush (one write to the journal) once the batch has been handed over,
    // not one per line.
    QObject flusher; // the posted flushes go with it
    bool flushPosted = false;
    TDateTimeTextCache stamps;
    const auto log = server.Sink().Subscribe(
        &app,
        [&](const TLogEvent &event) {
            if (!ShowInfoHint)
                return;
            const QByteArray line = FormatLogLine(stamps.Text(event.time), event.text).toUtf8();
            std::fwrite(line.constData(), 1, line.size(), stdout);
            std::fputc('\n', stdout);
            if (!std::exchange(flushPosted, true))
                QMetaObject::invokeMethod(
                    &flusher,
                    [&] {
                        flushPosted = false;
                        std::fflush(stdout);
                    },
                    Qt::QueuedConnection);
        },
        TCommInfoHintSink::MaxQueued, std::chrono::milliseconds(50));
    // What the window shows in a box goes to standard error, whatever the
    // log switch says: a red line alone is lost when the log is off.
    QObject::connect(&server.CheckDelData(), &TCheckDelData::RegisterOverdueDeleteFailed,
                     [](const QString &text) { PrintErr(text); });
    QMetaObject::invokeMethod(
        &app,
        [&] {
            if (server.IsClusterNode()) {
                server.StartStandby();
                PrintErr(server.StartupText());
                return;
            }
            if (!server.FormShow()) {
                QCoreApplication::exit(1);
                return;
            }
            // For the service manager's journal, not the operator's log.
            PrintErr(server.StartupText());
        },
        Qt::QueuedConnection);
    const int exitCode = app.exec();
    server.StopLinks();
    server.Sink().Flush();
    log->Flush();
    std::fflush(stdout);
    return exitCode;
}

// Hands the process over to the window program installed beside this one,
// with the same arguments. Returns only when it cannot (the reason is said).
void ExecWindowProgram(char **argv) {
    const QString path = QDir(ExecutableFolder(argv[0])).filePath(QLatin1String(WindowProgramName));
    const QByteArray file = QFile::encodeName(path);
    if (::access(file.constData(), X_OK) != 0) {
        PrintErr(
            QStringLiteral("The window program %1 is not installed: running headless.").arg(path));
        return;
    }
    ::execv(file.constData(), argv);
    PrintErr(QStringLiteral("The window program %1 could not be started (%2): running headless.")
                 .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
}

} // namespace

int RunServer(int argc, char **argv, const TServerView *window) {
    RaiseOpenFileLimit();
    PinLocalTimeZone();
    CommandLine cmd = ParseCommandLine(argc, argv);
    if (!cmd.error.isEmpty()) {
        PrintErr(cmd.error);
        std::fputs(UsageText, stderr);
        return 2;
    }
    if (cmd.help) {
        std::fputs(UsageText, stdout);
        return 0;
    }
    if (cmd.version) {
        std::printf("mms-server %s\n", ServerVersion().toLatin1().constData());
        return 0;
    }
    if (cmd.home.isEmpty())
        cmd.home = ExecutableFolder(argv[0]);
    cmd.home = QDir(cmd.home).absolutePath();

    if (cmd.userTable.kind != TUserTableCommand::Kind::None) {
        QCoreApplication app(argc, argv);
        return RunUserTableCommand(cmd.home, cmd.userTable);
    }
    if (cmd.initDb)
        return RunInitDb(argc, argv, cmd.home);

    if (!cmd.headless && !HasDisplay()) {
        PrintErr(QStringLiteral("No display available: running headless."));
        cmd.headless = true;
    }
    if (!cmd.headless && !window) {
        ExecWindowProgram(argv);
        cmd.headless = true;
    }
    std::unique_ptr<QCoreApplication> app;
    if (cmd.headless) {
        // The main thread only hears the signals and writes the log lines;
        // the links have their own thread and dispatcher either way.
        TEpollEventDispatcher::InstallForMainThread();
        app = std::make_unique<QCoreApplication>(argc, argv);
    } else {
        app = window->makeApplication(argc, argv);
    }
    // The log writes a batch of lines and flushes it once (see RunHeadless):
    // fully buffered, a batch reaches the journal in one write.
    std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);

    TSignalRelay signalRelay;
    if (!signalRelay.Install()) {
        PrintErr(QStringLiteral("Cannot set up signal handling"));
        return 1;
    }
    CheckDateSetTimeFormat();
    // Held for the server's life: the account file commands refuse a home
    // that a server runs on.
    THomeLock homeLock;
    if (!homeLock.TryLock(cmd.home))
        PrintErr(QStringLiteral("The home folder lock could not be taken: ") +
                 THomeLock::LockFile(cmd.home));
    TServerApp::Options options{cmd.home, cmd.headless, {}};
    if (!cmd.headless)
        options.showError = window->showError;
    TServerApp server(std::move(options));
    if (!server.DataModuleCreate())
        return 1;
    server.FormCreate();
    if (server.IsClusterNode() && !cmd.headless) {
        PrintErr(QStringLiteral("A node of a cluster ([Cluster] NodeName) runs headless only: "
                                "start it with --headless."));
        return 1;
    }
    server.ServerContainerCreate();
    signalRelay.Connect(server, cmd.headless);
    if (cmd.headless)
        return RunHeadless(*app, server);
    return window->run(*app, server);
}
