#include "SimParamTable.h"

#include "NetD.h"
#include "ParamDictionary.h"
#include "ValueConversion.h"

#include <stdexcept>

namespace {

constexpr int kMaxValueLen = 252; // a data item is at most 255 bytes, 3 of them header

struct BuiltInRow {
    const char *code;
    int type;
    const char *unit;
    bool canSet;
    int len;
    const char *raw;  // raw value hex; nullptr for a text value given in text
    const char *text; // text value (type 0x21)
    const char *name;
};

// The rows of ParamProperty in db/data.sql, in the same order, with the value
// a healthy repeater would report. Identity values (code, type, station and
// equipment number) and the device time are filled in by each unit.
constexpr BuiltInRow kBuiltIn[] = {
    {"0002", 0x21, "00", false, 20, nullptr, "SimWorks", "Manufacturer"},
    {"0003", 0x30, "00", false, 1, "01", nullptr, "Equipment Type"},
    {"0004", 0x21, "00", false, 20, nullptr, "EQSIM-1", "Equipment Model"},
    {"0005", 0x21, "00", false, 20, nullptr, "SN000001", "Serial Number"},
    {"000A", 0x21, "00", false, 20, nullptr, "V1.0.0", "Software Version"},
    {"0022", 0x21, "00", true, 20, nullptr, "", "Equipment Code"},
    {"0101", 0x10, "00", true, 4, "00000000", nullptr, "Station Number"},
    {"0102", 0x12, "00", true, 1, "01", nullptr, "Equipment Number"},
    {"0110", 0x23, "00", true, 4, "7F000001", nullptr, "Monitor Center IP Address"},
    {"0111", 0x16, "00", true, 2, "5A14", nullptr, "Monitor Center Port"},   // 5210
    {"0120", 0x16, "05", true, 2, "0A00", nullptr, "Heartbeat Interval"},    // 10 s
    {"0141", 0x31, "00", false, 1, "01", nullptr, "Report Type"},            // alarm report
    {"0150", 0x22, "00", true, 7, "20240101000000", nullptr, "Device Time"}, // replaced by now
    {"0201", 0x02, "00", true, 1, "01", nullptr, "Power Failure Alarm Enable"},
    {"0204", 0x02, "00", true, 1, "01", nullptr, "Over-Temperature Alarm Enable"},
    {"0213", 0x02, "00", true, 1, "01", nullptr, "Downlink VSWR Alarm Enable"},
    {"0301", 0x03, "00", false, 1, "00", nullptr, "Power Failure Alarm"},
    {"0302", 0x03, "00", false, 1, "00", nullptr, "Power Module Failure Alarm"},
    {"0304", 0x03, "00", false, 1, "00", nullptr, "Over-Temperature Alarm"},
    {"0305", 0x03, "00", false, 1, "00", nullptr, "Door Open Alarm"},
    {"0310", 0x03, "00", false, 1, "00", nullptr, "Downlink Input Overpower Alarm"},
    {"0311", 0x03, "00", false, 1, "00", nullptr, "Downlink Output Overpower Alarm"},
    {"0312", 0x03, "00", false, 1, "00", nullptr, "Downlink Output Underpower Alarm"},
    {"0313", 0x03, "00", false, 1, "00", nullptr, "Downlink VSWR Alarm"},
    {"0320", 0x03, "00", false, 1, "00", nullptr, "Uplink LNA Failure Alarm"},
    {"0321", 0x03, "00", false, 1, "00", nullptr, "Downlink LNA Failure Alarm"},
    {"0330", 0x03, "00", false, 1, "00", nullptr, "Self-Oscillation Alarm"},
    {"0401", 0x01, "00", true, 1, "01", nullptr, "RF Switch"},
    {"0402", 0x12, "02", true, 1, "0A", nullptr, "Uplink Attenuation"},                  // 10 dB
    {"0403", 0x12, "02", true, 1, "05", nullptr, "Downlink Attenuation"},                // 5 dB
    {"0410", 0x11, "03", true, 1, "46", nullptr, "Over-Temperature Threshold"},          // 70 degC
    {"0411", 0x14, "61", true, 2, "AE01", nullptr, "Downlink Output Power Upper Limit"}, // 43.0
    {"0420", 0x31, "00", true, 1, "00", nullptr, "Working Mode"},
    {"0421", 0x31, "00", true, 1, "03", nullptr, "Channel Bandwidth"},
    {"0501", 0x11, "03", false, 1, "19", nullptr, "Equipment Temperature"},       // 25 degC
    {"0502", 0x71, "01", false, 4, "00001642", nullptr, "Downlink Output Power"}, // 37.5
    {"0503", 0x14, "61", false, 2, "39FE", nullptr, "Downlink Input Power"},      // -45.5
    {"0504", 0x14, "62", false, 2, "5802", nullptr, "Uplink Gain"},               // 60.0
    {"0505", 0x14, "62", false, 2, "8A02", nullptr, "Downlink Gain"},             // 65.0
    {"0506", 0x16, "63", false, 2, "B004", nullptr, "Supply Voltage"},            // 12.00 V
};

QString ZeroBytes(int len) {
    return QString(2 * len, QLatin1Char('0'));
}

} // namespace

TSimParamTable::TSimParamTable(std::vector<TSimParam> params) : params_(std::move(params)) {}

TSimParamTable TSimParamTable::BuiltIn() {
    std::vector<TSimParam> params;
    params.reserve(std::size(kBuiltIn));
    for (const BuiltInRow &row : kBuiltIn) {
        TSimParam p;
        p.code = QLatin1String(row.code);
        p.type = row.type;
        p.unit = QLatin1String(row.unit);
        p.canSet = row.canSet;
        p.len = row.len;
        p.initialRaw = row.raw ? QString::fromLatin1(row.raw)
                               : FromNormalToASC(p.code, QLatin1String(row.text), 0x21, p.len,
                                                 QStringLiteral("00"));
        p.name = QLatin1String(row.name);
        params.push_back(std::move(p));
    }
    return TSimParamTable(std::move(params));
}

TSimParamTable TSimParamTable::FromDictionary(const QStringList &entries) {
    const TSimParamTable builtIn = BuiltIn();
    std::vector<TSimParam> params;
    for (const QString &entry : entries) {
        const qsizetype hash = entry.indexOf(QLatin1Char('#'));
        if (hash < 6 || entry.size() < hash + 5)
            continue;
        bool typeOk = false;
        bool lenOk = false;
        TSimParam p;
        p.type = entry.left(2).toInt(&typeOk, 16);
        p.unit = entry.mid(2, 2);
        p.canSet = entry.mid(4, 2) == QLatin1String("01");
        p.len = entry.mid(6, hash - 6).trimmed().toInt(&lenOk);
        p.code = entry.mid(hash + 1, 4).toUpper();
        p.name = EntryDisplayName(entry);
        if (!typeOk || !lenOk || p.len < 1 || p.len > kMaxValueLen ||
            p.code == QLatin1String("0009"))
            continue;
        // The first entry of a code wins, as in the server's lookups.
        bool seen = false;
        for (const TSimParam &q : params)
            seen = seen || q.code == p.code;
        if (seen)
            continue;
        const TSimParam *known = builtIn.Find(p.code);
        p.initialRaw = known && known->len == p.len && known->type == p.type ? known->initialRaw
                                                                             : ZeroBytes(p.len);
        params.push_back(std::move(p));
    }
    return TSimParamTable(std::move(params));
}

std::optional<TSimParamTable> TSimParamTable::LoadDatabase(const QString &path, QString *error) {
    DbTarget target;
    target.type = 1;
    target.driver = QStringLiteral("QSQLITE");
    target.databaseName = path;
    target.connectOptions = QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000");
    TdmNet db(target);
    try {
        TdmNet::Session(db)
            .Connection(); // an unreadable file is reported as such, not as an empty table
    } catch (const DbError &e) {
        if (error)
            *error = QString::fromStdString(e.what());
        return std::nullopt;
    }
    // The loader appends parameters to what the list holds; start afresh.
    lstParamProperty.clear();
    LoadParamProperyList(TableReaderFor(db));
    db.ReleaseThreadConnection();
    TSimParamTable loaded = FromDictionary(lstParamProperty);
    if (loaded.Params().empty()) {
        if (error)
            *error = QStringLiteral("no parameter in table ParamProperty of ") + path;
        return std::nullopt;
    }
    return loaded;
}

const TSimParam *TSimParamTable::Find(const QString &code) const {
    for (const TSimParam &p : params_)
        if (p.code == code)
            return &p;
    return nullptr;
}

QStringList TSimParamTable::AlarmCodes() const {
    QStringList codes;
    for (const TSimParam &p : params_)
        if (p.type == 0x03)
            codes.append(p.code);
    return codes;
}
