// The parameter dictionaries: parameter properties, units, scale factors,
// command and response flag names, communication errors, enumeration names
// and equipment types, read once from the database at start-up.
//
// Entries are texts: the key ends at the first "#", the display name starts
// after the first "&". The lists are filled on the event thread before any
// server or worker thread exists and are only read afterwards, so readers
// need no lock. Lookups give the first match in list order.
//
// The hot lookups (parameter code, flags, units, scale factors) go through an
// index that is rebuilt automatically whenever one of those lists has changed
// since the index was built, so tests may fill the lists directly.
#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <functional>
#include <vector>

// The enumeration names of one parameter: Name holds KeyNum + "#" + Name per
// enumeration value, in table order.
struct TCodeNameRecord {
    QString Code; // parameter code, four hex digits, high byte first
    QStringList Name;
};

struct TCodeNameInfo {
    TCodeNameRecord Body;
};

// ParamType + ParamUnit + CanSet + Len + "#" + ParamCode + Name per row.
extern QStringList lstParamProperty;
// Code + "#" + Name.
extern QStringList lstUnitNameParam;
// Code + "#" + scale factor.
extern QStringList lstProportionalNameParam;
// KeyNum + "#" + Name.
extern QStringList lstMapCommFlag;
extern QStringList lstResponseFlag;
extern QStringList lstCommError;
extern QStringList lstEquipmentType;
// One entry per distinct parameter code of the CodeName table.
extern std::vector<TCodeNameInfo> lstCodeNameParam;

// One row of a dictionary table: column name -> value as text.
using TableRow = QMap<QString, QString>;
// Runs a statement such as "select * from ParamProperty" and returns its rows
// in table order; throws on any failure (missing table, lost connection).
using TableReader = std::function<std::vector<TableRow>(const QString &statement)>;

// Fills every dictionary list from the tables ParamProperty, MapCommFlag,
// ResponseFlag, UnitName, ProportionalName, CommError, CodeName and
// EquipmentType, in that order. Column names are matched without regard to
// case. Any failure ends the loading silently at that table: the lists
// filled so far keep their entries, the rest stay empty. lstParamProperty is
// appended to as it is (it is empty at start-up); every other list is emptied
// before its table is read.
void LoadParamProperyList(const TableReader &reader);

// The text before the first "#" of an entry; empty when there is none.
QString EntryKey(QStringView entry);
// The text after the first "&" of an entry without blanks and control
// characters at its ends; the whole trimmed entry when there is no "&".
QString EntryDisplayName(QStringView entry);

// The first lstParamProperty entry of a parameter code; empty when the code
// is empty or unknown.
QString GetParamProperty(const QString &ParamCode);
// Unit name of a unit code; empty when unknown.
QString GetUnit(const QString &Key);
// Scale factor text of a unit code; empty when unknown.
QString GetProportional(const QString &Key);

// Enumeration value of the name s of parameter Code; -1 when unknown.
// Throws ConvertError when the matching KeyNum is not a decimal integer.
int ParamNameToCode(const QString &Code, const QString &s);
// Enumeration name of value Key of parameter Code; "Unknown Name" when unknown.
// Throws ConvertError when a KeyNum met before the match is not a decimal integer.
QString CodeToParamName(const QString &Code, int Key);
// Equipment type number of a type name; 0 when unknown.
// Throws ConvertError when the matching KeyNum is not a decimal integer.
int NameToEquipmentType(const QString &Key);
// Type name of an equipment type number; empty when unknown.
// Throws ConvertError when a KeyNum met before the match is not a decimal integer.
QString EquipmentTypeToName(int Key);

// Name of a command flag (two hex characters, compared exactly); empty when unknown.
QString GetMapCommFlag(const QString &Key);
// Name of a response flag (two hex characters, compared exactly); "Other Error" when unknown.
QString GetResponseFlag(const QString &Key);
