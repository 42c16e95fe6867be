// The parameter table a simulated equipment unit answers from: for every
// parameter its data type, unit code, whether it can be set, its value length
// and the raw value a fresh unit starts with.
//
// The table is shared, read-only, by every unit of a fleet; each unit keeps
// only the values that differ from it (see TSimUnit).
#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

struct TSimParam {
    QString code; // four upper-case hex digits, high byte first ("0101")
    int type = 0; // data type code of the value conversion (0x21 text, 0x03 alarm state, ...)
    QString unit; // unit code, two hex digits
    bool canSet = false;
    int len = 0;        // value length in bytes, 1 .. 252
    QString initialRaw; // raw value hex, 2 * len digits, as carried in a data item
    QString name;       // display name, for the operator's listing only
};

class TSimParamTable {
public:
    TSimParamTable() = default;
    explicit TSimParamTable(std::vector<TSimParam> params);

    // The table of the shipped dictionary (db/data.sql), with plausible values
    // of a working repeater.
    static TSimParamTable BuiltIn();

    // The table of dictionary entries as the protocol library keeps them
    // (ParamType + ParamUnit + CanSet + Len + "#" + ParamCode + Name). The
    // parameter list (0x0009) and entries whose length is not a number from
    // 1 to 252 are left out. Values the built-in table knows for the same code
    // and length are kept; the others start as zero bytes.
    static TSimParamTable FromDictionary(const QStringList &entries);

    // Reads the dictionary of a MonitorData SQLite file into the protocol
    // library's lists (LoadParamProperyList) and returns the table made from
    // them. std::nullopt, with the reason in error, when the file cannot be
    // opened or holds no parameter.
    static std::optional<TSimParamTable> LoadDatabase(const QString &path, QString *error);

    const std::vector<TSimParam> &Params() const { return params_; }
    // The parameter of a code, nullptr when the table has none.
    const TSimParam *Find(const QString &code) const;
    // The codes of the alarm-state parameters (type 0x03), in table order.
    QStringList AlarmCodes() const;

private:
    std::vector<TSimParam> params_;
};
