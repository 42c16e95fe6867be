// Start-up configuration: the ports and options of Set.ini, the database
// choice, and the runtime settings held in the NormalParam table.
#pragma once

#include "IniFile.h"
#include "NetD.h"

#include <QString>

#include <stdexcept>

// Options of Set.ini beyond the three ports; read once at start-up and handed
// to the objects that need them.
struct ExtraOptions {
    QString codePage =
        QStringLiteral("GB18030");       // [Set] CodePage: 8-bit client text and mail attachment
    QString emailCaFile;                 // [Set] EmailCaFile: CA bundle for SMTP TLS
    int maxEquipmentConnections = 20000; // [Set] MaxEquipmentConnections
    int maxClientConnections = 2000;     // [Set] MaxClientConnections
    QString dataBaseListen =
        QStringLiteral("127.0.0.1"); // [Set] DataBaseListen: remote data service address
    QString dataBaseToken; // [Set] DataBaseToken: remote data service login token (empty: none)
};

// Reads DeviceConnectPort, DataBasePort and ClientConnectPort of section Set
// into the globals (defaults 5210, 5211, 5212).
void ReadPorts(const IniFile &ini);
// Writes the three port globals to section Set (the file is saved).
bool WritePorts(IniFile &ini);
ExtraOptions ReadExtraOptions(const IniFile &ini);

// The database the server opens from the home folder: the SQLite file
// MonitorData.db when it exists (kind 1); otherwise the server database of
// section [Database]: SQL Server over ODBC (kind 2) unless Driver=QPSQL
// selects PostgreSQL (kind 3).
DbTarget ChooseDatabase(const QString &home, const IniFile &ini);

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
