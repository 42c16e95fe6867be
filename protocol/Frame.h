// An equipment frame as bytes with typed fields.
//
// On the wire (escaped) a frame runs from one flag byte 0x7E to the next;
// between them 0x7E is sent as 5E 7D and 0x5E as 5E 5D. Unescaped it is:
//   0 flag 7E | 1 AgreementType | 2 ChildType | 3..6 SiteNum (LE) |
//   7 EquipmentNum | 8..9 SerialId (LE) | 10 NPEachFlag | 11 ApplyFlag |
//   12 OperateFlag | 13 ResponseFlag | 14..N-4 data items |
//   N-3..N-2 check code (CRC-16 of bytes 1..N-4, low byte first) | N-1 flag 7E
// A data item is its length L (one byte, itself included), the parameter
// code (2 bytes LE) and L-3 value bytes.
//
// TFrame::Decode unescapes and checks a cut frame once; Encode computes the
// check code and escapes once. Hex text is made from a frame only where it is
// shown (the log, the client wire, the history).
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <cstdint>
#include <optional>

// CRC-16 (polynomial 0x1021, initial 0, no reflection, no final XOR) of bytes.
std::uint16_t Crc16(QByteArrayView bytes);

// The escaped wire form of an unescaped frame: the first and last bytes
// become flags whatever they were, every byte between them is escaped.
QByteArray EscapeFrame(QByteArrayView plain);

// Unescapes a frame as received, flags included: 5E 7D gives 7E, 5E 5D gives
// 5E, 5E followed by any other byte gives that byte and a 5E at the very end
// gives nothing. escapesOk (when given) is set to whether every 5E was
// followed by 7D or 5D.
QByteArray UnescapeFrame(QByteArrayView wire, bool *escapesOk = nullptr);

// True when the check code carried before the end flag of an unescaped frame
// (low byte first) is the CRC of the bytes between the start flag and it.
// Fewer than 4 bytes are never valid.
bool CheckCodeOk(QByteArrayView plain);

// One data item inside a frame's data; the value may be shorter than the
// length byte says when the data ends early.
struct TFrameItem {
    quint8 Length = 0;
    quint16 Code = 0;
    QByteArrayView Value;
};

// The item that starts offset bytes into data; nothing when fewer than its
// three head bytes are there.
std::optional<TFrameItem> FrameItemAt(QByteArrayView data, qsizetype offset);

enum class TFrameFault {
    None,
    Oversize,  // more bytes on the wire than Decode takes
    NoFlags,   // the unescaped bytes do not start and end with 0x7E
    Truncated, // fewer than MinBytes unescaped bytes
};

struct TDecodedFrame;

struct TFrame {
    // Flags, header, check code and flag: a frame without data items.
    static constexpr qsizetype MinBytes = 17;
    // The most bytes Decode takes off the wire; above anything the equipment
    // link's reassembly bound lets through.
    static constexpr qsizetype MaxWireBytes = 2 * 1024 * 1024;

    quint8 AgreementType = 0x03; // this server sends 03
    quint8 ChildType = 0x01;     // this server sends 01
    quint32 SiteNum = 0;         // station number
    quint8 EquipmentNum = 0;
    quint16 SerialId = 0;
    quint8 NPEachFlag = 0x80;  // 80 request or report, 00 executed, 01 refused
    quint8 ApplyFlag = 0x01;   // always 01
    quint8 OperateFlag = 0x00; // the command unit
    quint8 ResponseFlag = 0xFF;
    QByteArray Data; // the data items back to back, as they stand

    // Unescapes, checks the flags and the length, reads the fields and
    // compares the check code. A frame with a wrong check code or a stray
    // escape is still read (its handlers decide); only a fault leaves no
    // frame.
    static TDecodedFrame Decode(QByteArrayView wire);

    // The unescaped frame: flags, header, data and the check code.
    QByteArray Plain() const;
    // The frame as it goes on the wire: check code computed, bytes escaped.
    QByteArray Encode() const;

    friend bool operator==(const TFrame &, const TFrame &) = default;
};

struct TDecodedFrame {
    TFrameFault Fault = TFrameFault::None;
    TFrame Frame;           // read only when Fault is None
    QByteArray Plain;       // the unescaped bytes (empty when Oversize)
    bool CheckOk = false;   // the carried check code matches the content
    bool EscapesOk = false; // every 5E on the wire was a proper escape

    bool Ok() const { return Fault == TFrameFault::None && CheckOk && EscapesOk; }
};

// Station number as shown in the log: upper-case hex without leading zeros.
QString SiteNumText(quint32 siteNum);

// A unit's heartbeat, read from its frame: a request (NP 80, apply 01) with
// command EE and response FF whose data are the equipment code item (length
// 0x1B, code 0x0022, 24 text bytes) and the equipment type item (length 4,
// code 0x0003, one byte).
struct THeartbeat {
    QByteArrayView CodeBytes;            // the code item's 24 value bytes
    std::optional<quint8> EquipmentType; // absent when the data end before it

    // The heartbeat a frame carries; nothing when it is not one. The check
    // code is not looked at. The views point into frame.Data.
    static std::optional<THeartbeat> Of(const TFrame &frame);
    // The equipment code: the 24 bytes as characters, blanks and control
    // characters at both ends removed.
    QString EquipmentCode() const;
    // The type as 2 upper-case hex digits; empty when absent.
    QString EquipmentTypeText() const;
};

// The frames the server sends of its own accord.
namespace frames {
// The reply to a heartbeat: its header up to the serial number, flags
// 00 01 EE 00, and its first 31 data bytes (both items) echoed.
TFrame HeartbeatReply(const TFrame &heartbeat);
// A new station number for the unit of a heartbeat: its header up to the
// equipment number, serial 0x0002, a set command (80 01 03 FF) with one item
// 0x0101 holding the new number.
TFrame StationNumberChange(const TFrame &heartbeat, quint32 newSiteNum);
// The acknowledgement of a unit's report: the report's serial number, flags
// 00 01 01 00, no data.
TFrame ReportAcknowledgement(quint32 siteNum, quint8 equipmentNum, quint16 serialId);
// A request for one page of a unit's parameter list: a query (80 01 02 FF)
// with the item 0x0009 holding the page count and the page wanted.
TFrame ParamListRequest(quint32 siteNum, quint8 equipmentNum, quint16 serialId, quint8 pageCount,
                        quint8 page);
} // namespace frames
