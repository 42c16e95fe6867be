// Equipment frames built for the tests from the byte layout alone (CRC-16
// polynomial 0x1021 bit by bit, escaping of 0x7E and 0x5E), independent of
// the server's own codec.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

namespace eqtest {

// Bytes of a hex text; blanks are ignored.
inline QByteArray Bytes(const QString &hex) {
    QString digits = hex;
    digits.remove(QLatin1Char(' '));
    return QByteArray::fromHex(digits.toLatin1());
}

// Upper-case hex text of bytes.
inline QString Hex(const QByteArray &bytes) {
    return QString::fromLatin1(bytes.toHex().toUpper());
}

inline std::uint16_t Crc16(const QByteArray &data) {
    std::uint16_t crc = 0;
    for (char c : data) {
        crc ^= static_cast<std::uint16_t>(static_cast<unsigned char>(c) << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<std::uint16_t>(crc << 1);
    }
    return crc;
}

// Content + the given check code (low byte first), unescaped, between flags.
inline QByteArray WithCrc(const QByteArray &content, std::uint16_t crc) {
    QByteArray out;
    out.append(char(0x7E));
    out.append(content);
    out.append(char(crc & 0xFF));
    out.append(char(crc >> 8));
    out.append(char(0x7E));
    return out;
}

// Content + its CRC, unescaped, between flags.
inline QByteArray Unescaped(const QByteArray &content) {
    return WithCrc(content, Crc16(content));
}

// An unescaped frame as it goes over the wire: every byte between the flags escaped.
inline QByteArray Escape(const QByteArray &plain) {
    QByteArray out;
    out.append(char(0x7E));
    for (qsizetype i = 1; i + 1 < plain.size(); ++i) {
        const auto b = static_cast<unsigned char>(plain[i]);
        if (b == 0x7E)
            out.append("\x5E\x7D", 2);
        else if (b == 0x5E)
            out.append("\x5E\x5D", 2);
        else
            out.append(char(b));
    }
    out.append(char(0x7E));
    return out;
}

// The frame of a content as it goes over the wire.
inline QByteArray Frame(const QByteArray &content) {
    return Escape(Unescaped(content));
}

// The frame as the server's log shows it: the wire text, followed by
// "(Truly " + the other form + ")" when escaping changed it.
inline QString FrameText(const QString &shown, const QString &other) {
    return shown == other ? shown : shown + QStringLiteral("(Truly ") + other + QLatin1Char(')');
}

inline QByteArray Le32(std::uint32_t v) {
    QByteArray b;
    for (int i = 0; i < 4; ++i)
        b.append(char((v >> (8 * i)) & 0xFF));
    return b;
}

inline QByteArray Le16(std::uint16_t v) {
    QByteArray b;
    b.append(char(v & 0xFF));
    b.append(char(v >> 8));
    return b;
}

// Bytes 1 .. N-4 of a frame: AgreementType 03, ChildType 01, station,
// equipment number, serial, NP flag, ApplyFlag 01, command unit, response
// flag, data items.
inline QByteArray Content(std::uint32_t station, std::uint8_t equipmentNum, std::uint16_t serial,
                          std::uint8_t np, std::uint8_t command, std::uint8_t response,
                          const QByteArray &items) {
    QByteArray c;
    c.append(char(0x03));
    c.append(char(0x01));
    c.append(Le32(station));
    c.append(char(equipmentNum));
    c.append(Le16(serial));
    c.append(char(np));
    c.append(char(0x01));
    c.append(char(command));
    c.append(char(response));
    c.append(items);
    return c;
}

// Heartbeat content: code item (length 27, code 0x0022, 24 text bytes
// padded with NUL) and type item (length 4, code 0x0003, one byte).
inline QByteArray HeartbeatContent(const QByteArray &code, std::uint32_t station,
                                   std::uint8_t equipmentNum, std::uint8_t type,
                                   std::uint16_t serial = 1) {
    QByteArray items;
    items.append(char(0x1B));
    items.append("\x22\x00", 2);
    items.append(code.left(24).leftJustified(24, '\0'));
    items.append(char(0x04));
    items.append("\x03\x00", 2);
    items.append(char(type));
    return Content(station, equipmentNum, serial, 0x80, 0xEE, 0xFF, items);
}

inline QByteArray Heartbeat(const QByteArray &code, std::uint32_t station,
                            std::uint8_t equipmentNum, std::uint8_t type,
                            std::uint16_t serial = 1) {
    return Frame(HeartbeatContent(code, station, equipmentNum, type, serial));
}

// The content of the reply the server owes a heartbeat: bytes 1..9 of it,
// 00 01 EE 00, then its bytes 14..44 (both data items).
inline QByteArray HeartbeatReplyContent(const QByteArray &heartbeatContent) {
    // heartbeatContent starts at frame byte 1.
    QByteArray c = heartbeatContent.mid(0, 9);
    c.append(Bytes(QStringLiteral("0001EE00")));
    c.append(heartbeatContent.mid(13, 31));
    return c;
}

inline QByteArray HeartbeatReply(const QByteArray &heartbeatContent) {
    return Frame(HeartbeatReplyContent(heartbeatContent));
}

} // namespace eqtest
