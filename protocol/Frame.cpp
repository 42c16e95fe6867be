#include "Frame.h"

#include "FrameCodec.h"

#include <array>

namespace {

constexpr char Flag = 0x7E;
constexpr char Escape = 0x5E;
constexpr qsizetype HeaderBytes = 13; // AgreementType .. ResponseFlag

std::uint16_t CrcStep(std::uint16_t crc, unsigned char b) {
    return static_cast<std::uint16_t>(Crc16Tab[((crc >> 8) ^ b) & 0xFF] ^ ((crc << 8) & 0xFFFF));
}

void AppendEscaped(QByteArray &out, char b) {
    if (b == Flag || b == Escape) {
        out.append(Escape);
        out.append(b == Flag ? char(0x7D) : char(0x5D));
    } else {
        out.append(b);
    }
}

std::array<char, HeaderBytes> Header(const TFrame &f) {
    return {char(f.AgreementType),
            char(f.ChildType),
            char(f.SiteNum & 0xFF),
            char((f.SiteNum >> 8) & 0xFF),
            char((f.SiteNum >> 16) & 0xFF),
            char((f.SiteNum >> 24) & 0xFF),
            char(f.EquipmentNum),
            char(f.SerialId & 0xFF),
            char(f.SerialId >> 8),
            char(f.NPEachFlag),
            char(f.ApplyFlag),
            char(f.OperateFlag),
            char(f.ResponseFlag)};
}

quint8 Byte(QByteArrayView b, qsizetype i) {
    return static_cast<quint8>(b[i]);
}

// The heartbeat's fixed bytes: flags 80 01 EE FF, then the heads of its two
// items, the second 27 bytes into the data.
constexpr quint8 HeartbeatFlags[] = {0x80, 0x01, 0xEE, 0xFF};
constexpr qsizetype CodeItemBytes = 27;
constexpr qsizetype EchoedDataBytes = 31; // both items

} // namespace

std::uint16_t Crc16(QByteArrayView bytes) {
    std::uint16_t crc = 0;
    for (char c : bytes)
        crc = CrcStep(crc, static_cast<unsigned char>(c));
    return crc;
}

QByteArray EscapeFrame(QByteArrayView plain) {
    QByteArray out;
    out.reserve(2 * plain.size() + 2);
    out.append(Flag);
    for (qsizetype i = 1; i + 1 < plain.size(); ++i)
        AppendEscaped(out, plain[i]);
    out.append(Flag);
    return out;
}

QByteArray UnescapeFrame(QByteArrayView wire, bool *escapesOk) {
    QByteArray out;
    out.reserve(wire.size());
    bool ok = true;
    for (qsizetype i = 0; i < wire.size(); ++i) {
        char b = wire[i];
        if (b == Escape) {
            if (++i == wire.size()) {
                ok = false;
                break;
            }
            b = wire[i];
            if (b == char(0x7D))
                b = Flag;
            else if (b == char(0x5D))
                b = Escape;
            else
                ok = false;
        }
        out.append(b);
    }
    if (escapesOk)
        *escapesOk = ok;
    return out;
}

bool CheckCodeOk(QByteArrayView plain) {
    const qsizetype n = plain.size();
    if (n < 4)
        return false;
    const std::uint16_t carried =
        static_cast<std::uint16_t>(Byte(plain, n - 3) | (Byte(plain, n - 2) << 8));
    return Crc16(plain.sliced(1, n - 4)) == carried;
}

std::optional<TFrameItem> FrameItemAt(QByteArrayView data, qsizetype offset) {
    if (offset < 0 || data.size() - offset < 3)
        return std::nullopt;
    TFrameItem item;
    item.Length = Byte(data, offset);
    item.Code = static_cast<quint16>(Byte(data, offset + 1) | (Byte(data, offset + 2) << 8));
    const qsizetype valueBytes = std::max<qsizetype>(0, item.Length - 3);
    item.Value = data.sliced(offset + 3, std::min(valueBytes, data.size() - offset - 3));
    return item;
}

TDecodedFrame TFrame::Decode(QByteArrayView wire) {
    TDecodedFrame d;
    if (wire.size() > MaxWireBytes) {
        d.Fault = TFrameFault::Oversize;
        return d;
    }
    d.Plain = UnescapeFrame(wire, &d.EscapesOk);
    d.CheckOk = CheckCodeOk(d.Plain);
    const QByteArrayView p(d.Plain);
    const qsizetype n = p.size();
    if (n < 2 || p.front() != Flag || p.back() != Flag) {
        d.Fault = TFrameFault::NoFlags;
        return d;
    }
    if (n < MinBytes) {
        d.Fault = TFrameFault::Truncated;
        return d;
    }
    TFrame &f = d.Frame;
    f.AgreementType = Byte(p, 1);
    f.ChildType = Byte(p, 2);
    f.SiteNum = quint32(Byte(p, 3)) | quint32(Byte(p, 4)) << 8 | quint32(Byte(p, 5)) << 16 |
                quint32(Byte(p, 6)) << 24;
    f.EquipmentNum = Byte(p, 7);
    f.SerialId = static_cast<quint16>(Byte(p, 8) | Byte(p, 9) << 8);
    f.NPEachFlag = Byte(p, 10);
    f.ApplyFlag = Byte(p, 11);
    f.OperateFlag = Byte(p, 12);
    f.ResponseFlag = Byte(p, 13);
    f.Data = p.sliced(14, n - MinBytes).toByteArray();
    return d;
}

QByteArray TFrame::Plain() const {
    const auto header = Header(*this);
    QByteArray out;
    out.reserve(MinBytes + Data.size());
    out.append(Flag);
    out.append(header.data(), HeaderBytes);
    out.append(Data);
    const std::uint16_t crc = Crc16(QByteArrayView(out).sliced(1));
    out.append(char(crc & 0xFF));
    out.append(char(crc >> 8));
    out.append(Flag);
    return out;
}

QByteArray TFrame::Encode() const {
    const auto header = Header(*this);
    QByteArray out;
    out.reserve(2 * (MinBytes + Data.size()));
    out.append(Flag);
    std::uint16_t crc = 0;
    for (char b : header) {
        crc = CrcStep(crc, static_cast<unsigned char>(b));
        AppendEscaped(out, b);
    }
    for (char b : Data) {
        crc = CrcStep(crc, static_cast<unsigned char>(b));
        AppendEscaped(out, b);
    }
    AppendEscaped(out, char(crc & 0xFF));
    AppendEscaped(out, char(crc >> 8));
    out.append(Flag);
    return out;
}

QString SiteNumText(quint32 siteNum) {
    return QString::number(siteNum, 16).toUpper();
}

std::optional<THeartbeat> THeartbeat::Of(const TFrame &frame) {
    if (frame.NPEachFlag != HeartbeatFlags[0] || frame.ApplyFlag != HeartbeatFlags[1] ||
        frame.OperateFlag != HeartbeatFlags[2] || frame.ResponseFlag != HeartbeatFlags[3])
        return std::nullopt;
    const QByteArrayView data(frame.Data);
    const auto code = FrameItemAt(data, 0);
    const auto type = FrameItemAt(data, CodeItemBytes);
    if (!code || code->Length != CodeItemBytes || code->Code != 0x0022 || !type ||
        type->Length != 4 || type->Code != 0x0003)
        return std::nullopt;
    THeartbeat h;
    h.CodeBytes = code->Value; // the type item follows, so all 24 bytes are there
    if (!type->Value.isEmpty())
        h.EquipmentType = Byte(type->Value, 0);
    return h;
}

QString THeartbeat::EquipmentCode() const {
    QByteArrayView s = CodeBytes;
    while (!s.isEmpty() && Byte(s, 0) <= 0x20)
        s = s.sliced(1);
    while (!s.isEmpty() && Byte(s, s.size() - 1) <= 0x20)
        s.chop(1);
    return QString::fromLatin1(s);
}

QString THeartbeat::EquipmentTypeText() const {
    if (!EquipmentType)
        return {};
    return BytesToHex(QByteArrayView(reinterpret_cast<const char *>(&*EquipmentType), 1));
}

namespace frames {

TFrame HeartbeatReply(const TFrame &heartbeat) {
    TFrame reply = heartbeat;
    reply.NPEachFlag = 0x00;
    reply.ApplyFlag = 0x01;
    reply.OperateFlag = 0xEE;
    reply.ResponseFlag = 0x00;
    reply.Data = heartbeat.Data.first(std::min(EchoedDataBytes, heartbeat.Data.size()));
    return reply;
}

TFrame StationNumberChange(const TFrame &heartbeat, quint32 newSiteNum) {
    TFrame change;
    change.AgreementType = heartbeat.AgreementType;
    change.ChildType = heartbeat.ChildType;
    change.SiteNum = heartbeat.SiteNum;
    change.EquipmentNum = heartbeat.EquipmentNum;
    change.SerialId = 0x0002;
    change.NPEachFlag = 0x80;
    change.ApplyFlag = 0x01;
    change.OperateFlag = 0x03;
    change.ResponseFlag = 0xFF;
    const char item[] = {0x07,
                         0x01,
                         0x01,
                         char(newSiteNum & 0xFF),
                         char((newSiteNum >> 8) & 0xFF),
                         char((newSiteNum >> 16) & 0xFF),
                         char((newSiteNum >> 24) & 0xFF)};
    change.Data = QByteArray(item, sizeof item);
    return change;
}

TFrame ReportAcknowledgement(quint32 siteNum, quint8 equipmentNum, quint16 serialId) {
    TFrame ack;
    ack.SiteNum = siteNum;
    ack.EquipmentNum = equipmentNum;
    ack.SerialId = serialId;
    ack.NPEachFlag = 0x00;
    ack.ApplyFlag = 0x01;
    ack.OperateFlag = 0x01;
    ack.ResponseFlag = 0x00;
    return ack;
}

TFrame ParamListRequest(quint32 siteNum, quint8 equipmentNum, quint16 serialId, quint8 pageCount,
                        quint8 page) {
    TFrame request;
    request.SiteNum = siteNum;
    request.EquipmentNum = equipmentNum;
    request.SerialId = serialId;
    request.NPEachFlag = 0x80;
    request.ApplyFlag = 0x01;
    request.OperateFlag = 0x02;
    request.ResponseFlag = 0xFF;
    const char item[] = {0x05, 0x09, 0x00, char(pageCount), char(page)};
    request.Data = QByteArray(item, sizeof item);
    return request;
}

} // namespace frames
