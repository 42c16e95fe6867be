// Conversion between the raw bytes of a parameter value (hex text, as carried
// in a data item) and the text shown to operators, stored in the history and
// sent to clients. The data type code and unit code come from the parameter
// dictionary.
//
// The conversions keep no state; they read the dictionaries and sysShortDate,
// which do not change after start-up, so any thread may call them.
// Every failure is a ConvertError raised to the caller.
#pragma once

#include "ConvertError.h"

#include <QString>

// Display text of the raw value hex ParamSetValue of parameter Code (four hex
// digits) with the given data type code and unit code (Proportional, two hex
// digits; above 0x60 the value is divided by the unit's scale factor and
// rounded to two decimals). A type without a rule gives the raw hex back.
QString FromAscToNormal(const QString &Code, const QString &ParamSetValue, int DataType,
                        const QString &Proportional);

// Raw value hex of the display text ParamSetValue for a value of Len bytes.
// With a unit code above 0x60 the text is first multiplied by the scale
// factor and truncated toward zero. A type without a rule gives the empty
// text. Len is taken within 0 .. 255, the most a data item can carry.
QString FromNormalToASC(const QString &Code, const QString &ParamSetValue, int DataType, int Len,
                        const QString &Proportional);

// The first k bytes (1 .. 4) of the IEEE-754 single f in memory order
// (least significant first), written in the opposite order as upper-case hex:
// 1.5 with k = 4 gives 3FC00000.
QString FloatToHex(float f, int k);

// The single whose bit pattern is the hex text s (most significant byte
// first), as decimal text cut to p decimals with the last one rounded half
// away from zero ("0.10", "1.24"; "2" for 2.0). An odd-length text gives the
// empty text; a text that is not hex or longer than 8 significant digits is
// a ConvertError.
QString HexToFloat(const QString &s, int p);

// The 8 digits yyyymmdd laid out as sysShortDate asks; yyyy-mm-dd when the
// layout is not one of the known ones.
QString StrConversionDate(const QString &s);

// Name and display value of one data item. Name is empty and DestContent is
// SourceContent when the code is empty or not in lstParamProperty. Throws
// ConvertError when the value cannot be converted.
void SearchNameAndContent(const QString &ParamCode, const QString &SourceContent, QString &Name,
                          QString &DestContent);
