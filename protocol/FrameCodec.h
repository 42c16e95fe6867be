// The equipment frame envelope: flag bytes 0x7E at both ends, escaping of
// 0x7E and 0x5E in between, and a CRC-16 over the content.
//
// Inside the server a frame is upper-case hex text, two digits per byte. Bytes
// exist only at the socket: the receive side turns bytes into that text with
// BytesToHex, the send side turns an escaped frame text into bytes with
// SendTransFormatBuf.
#pragma once

#include "ConvertError.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <array>
#include <cstdint>

namespace detail {
constexpr std::array<std::uint16_t, 256> MakeCrc16Tab() {
    std::array<std::uint16_t, 256> tab{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned c = i << 8;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 0x8000) ? ((c << 1) ^ 0x1021) : (c << 1);
        tab[i] = static_cast<std::uint16_t>(c & 0xFFFF);
    }
    return tab;
}
} // namespace detail

// CRC of each single byte for the polynomial 0x1021, most significant bit first.
inline constexpr std::array<std::uint16_t, 256> Crc16Tab = detail::MakeCrc16Tab();

// CRC-16 (polynomial 0x1021, initial 0, no reflection, no final XOR) of the
// bytes written in hex. Characters other than hex digits are dropped first; an
// odd number of digits gets one "0" in front. Returns four upper-case hex
// digits, high byte first. Never fails; the empty text gives "0000".
QString GetCRC16(QStringView HexStr);

// Escapes a complete unescaped frame ("7E" ... "7E") for sending. Every byte
// between the first and the last is escaped (0x5E -> 5E 5D, 0x7E -> 5E 7D);
// the first and last bytes are replaced by the flag whatever they were. Buf
// receives the escaped bytes (its size is the byte count). Returns the escaped
// frame as upper-case hex text for the log. Throws ConvertError when a byte of
// the frame is not hexadecimal; Buf is then left empty.
QString SendTransFormatBuf(const QString &SourceStr, QByteArray &Buf);

// Unescapes a received frame text (flags included) and returns it. Never
// fails; it checks no flag, length or CRC.
QString ReceiveTransFormat(const QString &SourceStr);

// Removes leading "0" characters; "0" when nothing else remains.
QString HexDelLeft0(const QString &HexStr);

// "7E" + content + CRC low byte + CRC high byte + "7E", unescaped.
QString BuildFrame(const QString &content);

// True when the CRC carried in an unescaped frame (low byte first, just before
// the end flag) matches the CRC of its content (the bytes between the start
// flag and the CRC). Texts shorter than flags and CRC are never valid.
bool CheckFrame(const QString &unescapedFrame);

// Upper-case hex text of raw bytes, two digits per byte.
QString BytesToHex(QByteArrayView bytes);

// True when text is BytesToHex(bytes), found without making that text.
bool HexTextIs(QStringView text, QByteArrayView bytes);
