// The server's start-up sequence, run state and confirmed exit, shared by the
// console (window) and headless modes.
#pragma once

#include "ClientTcp.h"
#include "CommInfoHintSink.h"
#include "Configuration.h"
#include "IniFile.h"
#include "NetD.h"

#include <QObject>
#include <QString>

#include <memory>

class TEquipmentTcp;
class TClientTcp;
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
    // Creates the equipment and client servers and writes Set.ini. False when
    // a server cannot listen (the message has been shown).
    bool FormShow();
    // Saves the counters and releases the equipment server. False when the
    // counters could not be saved (the message has been shown).
    bool ConfirmedExit();

    TCommInfoHintSink &Sink() { return sink_; }
    const Options &Opts() const { return options_; }
    const ExtraOptions &Extra() const { return extra_; }

    // Shows an error: a modal box with a window, standard error without.
    void ShowError(const QString &text) const;

private:
    Options options_;
    TCommInfoHintSink sink_;
    std::unique_ptr<IniFile> FParamIni;
    std::unique_ptr<TdmNet> db_;
    ExtraOptions extra_;
    // After db_, so that its connection threads end before the data module.
    std::unique_ptr<TServerContainer1> serverContainer_;
    // Declared after sink_ and db_ so that it goes before them: it logs through
    // sink_ and reads dmNet.
    std::unique_ptr<TEquipmentTcp> equipmentTcp_;
    // After the equipment server, so that it (and its workers, which call the
    // equipment server) goes before it.
    std::unique_ptr<TClientTcp> clientTcp_;
};

// Program entry: parses the command line and runs the server. Returns the
// process exit code.
// The client server's view of the real equipment server, which must outlive
// the client server's workers.
TClientTcp::EquipmentHooks EquipmentHooksFor(TEquipmentTcp &equipment);

// The program: arguments, signals, and the headless or window run.
int RunServer(int argc, char **argv);
