// A small fixed dictionary for the fuzz targets: one parameter of every data
// type code, plain and scaled units (including a zero and a broken factor),
// flag names, enumerations and equipment types, so that every lookup path
// is exercised.
#pragma once

#include "ParamDictionary.h"

#include <QString>
#include <QStringList>

#include <array>

namespace fuzzdict {

// Every data type code with a rule, plus codes without one.
inline constexpr std::array<int, 29> kDataTypes = {
    0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x10, 0x11, 0x12, 0x14, 0x16,
    0x17, 0x18, 0x19, 0x21, 0x22, 0x23, 0x24, 0x27, 0x30, 0x31, 0x41, 0x42, 0x71, 0x50};

// Unit codes: plain, scaled by 10, scaled by 0, scaled by a text, unknown, not hex.
inline const QStringList kUnits = {QStringLiteral("00"), QStringLiteral("61"),
                                   QStringLiteral("62"), QStringLiteral("63"),
                                   QStringLiteral("7F"), QStringLiteral("ZZ")};

inline void Load() {
    lstParamProperty.clear();
    // Parameter code 0x01TT has type TT with a plain unit, 0x02TT the same
    // type scaled by 10, so item codes "TT01" and "TT02" on the wire.
    for (int type : kDataTypes) {
        const QString t = QStringLiteral("%1").arg(type, 2, 16, QLatin1Char('0')).toUpper();
        lstParamProperty.append(t + QStringLiteral("000104#01") + t + QStringLiteral("P&Plain ") +
                                t);
        lstParamProperty.append(t + QStringLiteral("610104#02") + t + QStringLiteral("S&Scaled ") +
                                t);
    }
    lstParamProperty.append(QStringLiteral("XY000101#0300Bad&Bad type"));
    lstParamProperty.append(QStringLiteral("0300NoHash"));
    lstUnitNameParam = {QStringLiteral("61#TenthdBm&dBm")};
    lstProportionalNameParam = {QStringLiteral("61#10"), QStringLiteral("62#0"),
                                QStringLiteral("63#abc")};
    lstMapCommFlag = {QStringLiteral("01#Report&Alarm Report"), QStringLiteral("02#Query&Query"),
                      QStringLiteral("EE#Heartbeat")};
    lstResponseFlag = {QStringLiteral("00#Success&Success")};
    lstCommError = {QStringLiteral("01#Timeout&Timeout")};
    lstEquipmentType = {QStringLiteral("3#Rep&Repeater"), QStringLiteral("x#Bad&Bad")};
    lstCodeNameParam.clear();
    lstCodeNameParam.push_back(TCodeNameInfo{TCodeNameRecord{
        QStringLiteral("3101"),
        {QStringLiteral("0#A&Auto"), QStringLiteral("1#M&Manual"), QStringLiteral("z#Bad&Bad")}}});
}

} // namespace fuzzdict
