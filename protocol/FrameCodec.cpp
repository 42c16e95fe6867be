#include "FrameCodec.h"

#include "HexText.h"

#include <algorithm>

static_assert(Crc16Tab[0] == 0x0000 && Crc16Tab[1] == 0x1021 && Crc16Tab[2] == 0x2042 &&
              Crc16Tab[16] == 0x1231 && Crc16Tab[128] == 0x9188 && Crc16Tab[255] == 0x1EF0);

namespace {

constexpr char16_t kHexDigits[] = u"0123456789ABCDEF";

void AppendByteHex(QChar *&out, unsigned byte) {
    *out++ = QChar(kHexDigits[(byte >> 4) & 0xF]);
    *out++ = QChar(kHexDigits[byte & 0xF]);
}

} // namespace

QString GetCRC16(QStringView HexStr) {
    qsizetype digits = 0;
    for (QChar c : HexStr)
        if (HexDigitValue(c) >= 0)
            ++digits;

    std::uint16_t crc = 0;
    // With an odd digit count the leading "0" makes the first digit a byte of its own.
    bool haveHigh = (digits % 2) != 0;
    unsigned high = 0;
    for (QChar c : HexStr) {
        const int d = HexDigitValue(c);
        if (d < 0)
            continue;
        if (!haveHigh) {
            high = unsigned(d);
            haveHigh = true;
            continue;
        }
        const unsigned b = (high << 4) | unsigned(d);
        haveHigh = false;
        high = 0;
        crc = static_cast<std::uint16_t>(Crc16Tab[((crc >> 8) ^ b) & 0xFF] ^ ((crc << 8) & 0xFFFF));
    }
    QString out(4, Qt::Uninitialized);
    QChar *p = out.data();
    AppendByteHex(p, crc >> 8);
    AppendByteHex(p, crc & 0xFF);
    return out;
}

QString SendTransFormatBuf(const QString &SourceStr, QByteArray &Buf) {
    Buf.clear();
    const qsizetype n = SourceStr.size() / 2;
    QByteArray bytes;
    bytes.reserve(std::max<qsizetype>(2, 2 * n));
    bytes.append(char(0x7E));
    for (qsizetype k = 1; k + 1 < n; ++k) {
        const int hi = HexDigitValue(SourceStr[2 * k]);
        const int lo = HexDigitValue(SourceStr[2 * k + 1]);
        if (hi < 0 || lo < 0)
            throw ConvertError(QStringLiteral("'%1' is not a valid hex value")
                                   .arg(QStringView(SourceStr).sliced(2 * k, 2)));
        // Escaping goes by byte value, so a lower-case "7e" can never slip
        // through as a bare flag byte.
        const unsigned b = unsigned(hi << 4 | lo);
        if (b == 0x5E) {
            bytes.append(char(0x5E));
            bytes.append(char(0x5D));
        } else if (b == 0x7E) {
            bytes.append(char(0x5E));
            bytes.append(char(0x7D));
        } else {
            bytes.append(char(b));
        }
    }
    bytes.append(char(0x7E));
    Buf = bytes;
    return BytesToHex(Buf);
}

QString ReceiveTransFormat(const QString &SourceStr) {
    const QStringView s(SourceStr);
    QString out;
    out.reserve(s.size());
    qsizetype begin = 0;
    qsizetype end = s.size();
    auto trim = [&] {
        while (begin < end && IsBlank(s[begin]))
            ++begin;
        while (end > begin && IsBlank(s[end - 1]))
            --end;
    };
    while (begin < end) {
        QStringView pair = s.sliced(begin, std::min<qsizetype>(2, end - begin));
        if (pair == u"5E") {
            begin += 2;
            trim();
            pair = s.sliced(begin, std::min<qsizetype>(2, end - begin));
            if (pair == u"7D")
                pair = u"7E";
            else if (pair == u"5D")
                pair = u"5E";
        }
        out += pair;
        begin += std::min<qsizetype>(2, end - begin);
        trim();
    }
    return out;
}

QString HexDelLeft0(const QString &HexStr) {
    const QStringView s(HexStr);
    for (qsizetype i = 0; i < s.size(); ++i)
        if (s[i] != u'0')
            return TrimBlanks(s.sliced(i)).toString();
    return QStringLiteral("0");
}

QString BuildFrame(const QString &content) {
    const QString crc = GetCRC16(content);
    QString frame;
    frame.reserve(content.size() + 10);
    frame += QLatin1String("7E");
    frame += content;
    frame += QStringView(crc).sliced(2, 2);
    frame += QStringView(crc).sliced(0, 2);
    frame += QLatin1String("7E");
    return frame;
}

bool CheckFrame(const QString &unescapedFrame) {
    const QStringView f(unescapedFrame);
    const qsizetype t = f.size();
    if (t < 8)
        return false;
    // Received CRC: bytes N-3 (low) and N-2 (high), written high byte first.
    QString received;
    received.reserve(4);
    received += f.sliced(t - 4, 2);
    received += f.sliced(t - 6, 2);
    return received == GetCRC16(f.sliced(2, t - 8));
}

QString BytesToHex(QByteArrayView bytes) {
    QString out(bytes.size() * 2, Qt::Uninitialized);
    QChar *p = out.data();
    for (char c : bytes)
        AppendByteHex(p, static_cast<unsigned char>(c));
    return out;
}

bool HexTextIs(QStringView text, QByteArrayView bytes) {
    if (text.size() != 2 * bytes.size())
        return false;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (text[2 * i] != QChar(kHexDigits[b >> 4]) ||
            text[2 * i + 1] != QChar(kHexDigits[b & 0xF]))
            return false;
    }
    return true;
}
