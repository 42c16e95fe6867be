// The three layers inside an equipment frame and the records a received
// frame is parsed into.
//
// Unescaped frame, offsets in bytes (N bytes in all, at least 17):
//   0 start flag 7E | 1 AgreementType | 2 ChildType |
//   3..6 SiteNum (LE) | 7 EquipmentNum | 8..9 SerialId (LE) | 10 NPEachFlag |
//   11 ApplyFlag | 12 OperateFlag | 13 ResponseFlag | 14..N-4 data items |
//   N-3..N-2 CRC (low byte first) | N-1 end flag 7E
// A data item is L (1 byte, the whole item's length), the parameter code
// (2 bytes LE) and L-3 value bytes.
#pragma once

#include "ConvertError.h"
#include "ParamDictionary.h"

#include <QString>
#include <QStringView>

#include <array>
#include <vector>

// The parse of one frame; every text is upper-case hex unless stated.
struct TOnePackRecord {
    QString StartFlag;
    QString AgreementType;
    QString ChildType;
    QString NetDataStr; // bytes 3 .. N-4
    QString SiteNum;    // station number, most significant first, no leading zeros
    quint8 EquipmentNum = 0;
    int SerialId = 0;
    QString NPEachFlag;
    QString ApplyFlag;
    QString MapDataStr; // bytes 12 .. N-4
    QString OperateFlag;
    QString AttributeName; // name of the command flag
    QString ResponseFlag;
    QString ObjStr;                    // the data items
    QString CrcCheckHex;               // CRC computed over bytes 1 .. N-4, high byte first
    std::array<quint8, 2> CheckCode{}; // CRC as received: low byte, high byte
    QString ResHex;                    // bytes 1 .. 9
    QString EndFlag;
};

// One data item.
struct TCommPackRecord {
    QString Value;         // the whole item
    QString Len;           // L in decimal
    QString ParamCode;     // four hex digits, high byte first
    QString Name;          // display name from the dictionary; empty when unknown
    QString SourceContent; // the value bytes
    QString DestContent;   // display value; SourceContent when the code is unknown
};

struct TCommPackInfo {
    TCommPackRecord Body;
};

using TCommPackList = std::vector<TCommPackInfo>;

struct TRecPackageResolve {
    TOnePackRecord OnePackRecord;
    TCommPackList Objlst;
};

// Parses an unescaped frame text. A text not starting with "7E" gives an
// empty record. Fields are cut at their fixed positions without a length
// check, so a short text gives empty or shortened fields; the CRC is computed
// but not compared (see CheckFrame). Throws ConvertError when EquipmentNum,
// SerialId or a CRC byte would be read from a missing or non-hex pair.
TOnePackRecord ResolveOnePackRecord(const QString &HexStr);

// Splits a sequence of data items and converts each value through the
// parameter dictionary. A length byte below 3 anywhere discards the whole
// list. An item that cannot be decoded (a pair that is not hex, a value that
// cannot be converted) ends the list: the items before it are kept.
TCommPackList ResolveCommPack(QStringView s);

// Text of an NP interaction flag: 00, 01 and 80 have names, any other value
// the empty text. Throws ConvertError when the key is not hex.
QString GetNpEachFlag(const QString &Key);

// GetMapCommFlag and GetResponseFlag are declared with the dictionaries.
