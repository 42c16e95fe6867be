// Start-up configuration: the ports and options of Set.ini, the database
// choice, and the runtime settings held in the NormalParam table.
#pragma once

#include "ClusterSettings.h"
#include "IniFile.h"
#include "LinkPaces.h"
#include "NetD.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <stdexcept>
#include <vector>

// Options of Set.ini beyond the three ports; read once at start-up and handed
// to the objects that need them.
struct ExtraOptions {
    QString codePage =
        QStringLiteral("GB18030");       // [Set] CodePage: 8-bit client text and mail attachment
    QString emailCaFile;                 // [Set] EmailCaFile: CA bundle for SMTP TLS
    int maxEquipmentConnections = 20000; // [Set] MaxEquipmentConnections
    int maxClientConnections = 2000;     // [Set] MaxClientConnections
    // Paces for large fleets; unset when the key is absent (the link's own
    // default applies). A value that is not an integer of 0 or more is unset
    // and described in problems.
    std::optional<int> receiveFramesPerTick; // [Set] ReceiveFramesPerTick, 0: all waiting
    std::optional<int> sendFramesPerTick;    // [Set] SendFramesPerTick, 0: all waiting
    std::optional<int> replyEntryPauseMs;    // [Set] ReplyEntryPauseMs, 0: no pause
    QStringList problems;                    // one log line per unreadable value
    int metricsPort = 0;                     // [Set] MetricsPort: Prometheus endpoint (0: off)
    QString metricsListen = QStringLiteral("127.0.0.1"); // [Set] MetricsListen: its IPv4 address
    QString dataBaseListen =
        QStringLiteral("127.0.0.1"); // [Set] DataBaseListen: remote data service address
    QString dataBaseToken; // [Set] DataBaseToken: remote data service login token (empty: none)
    int webPort = 5213;    // [Set] WebPort: the web console (0: off)
    QString webListen = QStringLiteral("127.0.0.1"); // [Set] WebListen: its IPv4 address
    QString webCertFile;     // [Set] WebCertFile: its TLS certificate chain (PEM)
    QString webKeyFile;      // [Set] WebKeyFile: its TLS private key (PEM)
    int maxWebSessions = 32; // [Set] MaxWebSessions: logged-in browsers at most
    // [Cluster] AcceptProxy: the equipment and client ports read a PROXY
    // protocol header first (behind a balancer); 0 or 1.
    bool acceptProxy = false;
};

// A TCP port setting (0 .. 65535; 0 picks a free port). Anything else gives
// the default and is noted as a problem of the file.
int ReadPort(const IniFile &ini, const QString &section, const QString &key, int defaultPort);
// Reads DeviceConnectPort, DataBasePort and ClientConnectPort of section Set
// into the globals (defaults 5210, 5211, 5212).
void ReadPorts(const IniFile &ini);
// Writes the three port globals to section Set (the file is saved).
bool WritePorts(IniFile &ini);
ExtraOptions ReadExtraOptions(const IniFile &ini);
// The link paces with the Set.ini paces of the options applied.
TLinkPaces ApplyPaceOptions(TLinkPaces paces, const ExtraOptions &options);

// Reads section [Cluster]. A value that cannot be read gives the default and
// is noted as a problem of the file (a NodeName that is not a plain name
// leaves the server standalone).
TClusterSettings ReadClusterSettings(const IniFile &ini);
// Why cluster mode cannot run on the chosen database (empty: it can).
QString ClusterRefusal(const TClusterSettings &settings, const DbTarget &target);

// The database the server opens from the home folder: the SQLite file
// MonitorData.db when it exists (kind 1); otherwise the server database of
// section [Database]: SQL Server over ODBC (kind 2) unless Driver=QPSQL
// selects PostgreSQL (kind 3).
DbTarget ChooseDatabase(const QString &home, const IniFile &ini);

// The program's version, as --version prints it.
QString ServerVersion();

// One listening socket of the server for the start-up line; an empty address
// means nothing listens there.
struct TListenPoint {
    QString name;
    QString address;
    int port = 0;
};
// Where the database is, without its password: the SQLite file, PostgreSQL's
// user@host:port/name, or the ODBC connection string.
QString DescribeDatabase(const DbTarget &target);
// The line the headless server writes on standard error once it listens:
// version, each port with its address, the database kind and where it is.
QString StartupLine(const std::vector<TListenPoint> &listens, const DbTarget &target);

// A NormalParam value that cannot be read in the form its key requires.
class SettingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Applies every NormalParam row, in table order (so the last row of a key
// wins), to the settings globals after resetting the counters to their
// defaults. Throws SettingError for an unreadable integer or date-time.
void ApplyNormalParam(const SettingItems &rows);

// Splits an EmailPassword value "host*mode^user&password" into the four
// e-mail globals.
void SplitEmailPassword(const QString &value);

// Stores the two request serial counters in NormalParam, appending missing rows.
void SaveHandPackageCount(TdmNet &db);

// Reads sysShortDate (MMS_SHORT_DATE, else the system locale's short date
// pattern), sysLongDate and sysTimeFormat; the time part of every date-time
// text stays "HH:mm:ss" whatever the locale says.
void CheckDateSetTimeFormat();

// The fatal start-up message.
inline constexpr const char *OpenDatabaseErrorText =
    "Open the database error, please check the integrity of the database table, the program will "
    "now exit.";
