#include "SimUnit.h"

#include "FrameCodec.h"
#include "HexText.h"
#include "PackRecord.h"
#include "ValueConversion.h"

#include <QDateTime>

#include <algorithm>

namespace {

constexpr char kFlag = 0x7E;
constexpr qsizetype kMinFrame = 17;             // bytes, flags and check code included
constexpr int kMaxCodesPerPage = (255 - 5) / 2; // a page is one data item

// One data item cut from a request, by structure only (no conversion).
struct RawItem {
    QString code;  // four hex digits, high byte first
    QString value; // the value bytes
};

QString HexByte(int v) {
    return IntToHexText(v & 0xFF, 2);
}
QString LittleEndian16(int v) {
    return ReverseHexBytes(IntToHexText(v & 0xFFFF, 4));
}
QString LittleEndian32(quint32 v) {
    return ReverseHexBytes(IntToHexText(qint32(v), 8));
}
QString CodeOnWire(const QString &code) {
    return ReverseHexBytes(code);
}

// The raw value cut or padded with zero bytes to len bytes.
QString FitLength(QString raw, int len) {
    const qsizetype digits = 2 * qsizetype(len);
    if (raw.size() > digits)
        raw.truncate(digits);
    while (raw.size() < digits)
        raw.append(QLatin1Char('0'));
    return raw;
}

bool IsHexText(QStringView s) {
    return std::all_of(s.begin(), s.end(), [](QChar c) { return HexDigitValue(c) >= 0; });
}

// Splits data items strictly: a length byte below 3, an item running past the
// end or a non-hex pair makes the whole sequence malformed.
std::optional<std::vector<RawItem>> SplitItems(QStringView s) {
    std::vector<RawItem> items;
    qsizetype pos = 0;
    while (pos < s.size()) {
        if (s.size() - pos < 6)
            return std::nullopt;
        const int l = HexDigitValue(s[pos]) * 16 + HexDigitValue(s[pos + 1]);
        if (HexDigitValue(s[pos]) < 0 || HexDigitValue(s[pos + 1]) < 0 || l < 3 ||
            pos + 2 * qsizetype(l) > s.size())
            return std::nullopt;
        const QStringView item = s.sliced(pos, 2 * qsizetype(l));
        if (!IsHexText(item))
            return std::nullopt;
        RawItem raw;
        raw.code = (item.sliced(4, 2).toString() + item.sliced(2, 2).toString()).toUpper();
        raw.value = item.sliced(6).toString().toUpper();
        items.push_back(std::move(raw));
        pos += 2 * qsizetype(l);
    }
    return items;
}

TSimOutFrame Pack(const QString &content, int serial) {
    TSimOutFrame out;
    out.frame = BuildFrame(content);
    SendTransFormatBuf(out.frame, out.bytes);
    out.serial = serial;
    return out;
}

QString StationText(quint32 station) {
    return QString::number(station, 16).toUpper();
}

} // namespace

QString SimEventKindName(TSimEvent::Kind kind) {
    switch (kind) {
    case TSimEvent::Kind::HeartbeatReply:
        return QStringLiteral("heartbeat reply");
    case TSimEvent::Kind::AlarmAck:
        return QStringLiteral("alarm acknowledgement");
    case TSimEvent::Kind::Query:
        return QStringLiteral("query");
    case TSimEvent::Kind::Set:
        return QStringLiteral("set");
    case TSimEvent::Kind::StationChange:
        return QStringLiteral("station-number change");
    case TSimEvent::Kind::ParamListPage:
        return QStringLiteral("parameter-list query");
    case TSimEvent::Kind::Unsupported:
        return QStringLiteral("unsupported command");
    case TSimEvent::Kind::Rejected:
        return QStringLiteral("rejected frame");
    }
    return {};
}

QString SimDescribeFrame(const QString &frame) {
    try {
        const TOnePackRecord r = ResolveOnePackRecord(frame);
        QString text = QStringLiteral("station 0x%1 equipment %2 serial %3 NP %4 command %5 "
                                      "response %6")
                           .arg(r.SiteNum)
                           .arg(r.EquipmentNum)
                           .arg(r.SerialId)
                           .arg(r.NPEachFlag, r.OperateFlag, r.ResponseFlag);
        for (const TCommPackInfo &info : ResolveCommPack(r.ObjStr)) {
            const TCommPackRecord &item = info.Body;
            text += QLatin1Char(' ') + item.ParamCode;
            if (!item.Name.isEmpty())
                text += QLatin1Char('[') + item.Name + QLatin1Char(']');
            text += QLatin1Char('=') + item.DestContent.trimmed();
        }
        return text;
    } catch (const std::exception &) {
        return QStringLiteral("(unparsable)");
    }
}

TSimUnit::TSimUnit(TSimIdentity identity, std::shared_ptr<const TSimParamTable> table, int pages)
    : identity_(std::move(identity)), table_(std::move(table)), pages_(std::max(1, pages)) {
    if (!table_)
        table_ = std::make_shared<const TSimParamTable>();
}

QString TSimUnit::SiteIdHex() const {
    return LittleEndian32(identity_.station) + HexByte(identity_.equipmentNum);
}

int TSimUnit::NextSerial() {
    const int serial = serial_;
    serial_ = serial_ >= 0x8FFF ? 0x8000 : serial_ + 1;
    return serial;
}

TSimOutFrame TSimUnit::MakeHeartbeat() {
    const int serial = NextSerial();
    QString content;
    content.reserve(96);
    content += QLatin1String("0301");
    content += SiteIdHex();
    content += LittleEndian16(serial);
    content += QLatin1String("8001EEFF1B2200");
    content += FitLength(
        FromNormalToASC(QStringLiteral("0022"), identity_.code, 0x21, 24, QStringLiteral("00")),
        24);
    content += QLatin1String("040300");
    content += HexByte(identity_.type);
    return Pack(content, serial);
}

std::optional<TSimOutFrame> TSimUnit::MakeAlarmReport(const QString &paramCode, bool alert) {
    const TSimParam *param = table_->Find(paramCode.toUpper());
    if (!param)
        return std::nullopt;
    QString raw;
    try {
        raw =
            FromNormalToASC(param->code, alert ? QStringLiteral("Alert") : QStringLiteral("Normal"),
                            param->type, param->len, param->unit);
    } catch (const ConvertError &) {
        raw.clear();
    }
    if (raw.size() != 2 * param->len || !IsHexText(raw))
        raw = FitLength(alert ? QStringLiteral("01") : QStringLiteral("00"), param->len);
    changed_.insert(param->code, raw);

    const int serial = NextSerial();
    QString content = QLatin1String("0301") + SiteIdHex() + LittleEndian16(serial) +
                      QLatin1String("800101FF") +
                      QLatin1String("04410101") // report type item 0x0141: alarm report
                      + Item(*param);
    TSimOutFrame out = Pack(content, serial);
    out.item = Item(*param);
    return out;
}

QString TSimUnit::RawValue(const QString &code) const {
    const TSimParam *param = table_->Find(code);
    if (!param)
        return {};
    if (code == QLatin1String("0022"))
        return FitLength(
            FromNormalToASC(code, identity_.code, 0x21, param->len, QStringLiteral("00")),
            param->len);
    if (code == QLatin1String("0101"))
        return FitLength(LittleEndian32(identity_.station), param->len);
    if (code == QLatin1String("0102"))
        return FitLength(HexByte(identity_.equipmentNum), param->len);
    if (code == QLatin1String("0003"))
        return FitLength(HexByte(identity_.type), param->len);
    if (code == QLatin1String("0150") && param->type == 0x22)
        return FitLength(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss")),
                         param->len);
    const auto changed = changed_.constFind(code);
    return changed != changed_.cend() ? *changed : param->initialRaw;
}

bool TSimUnit::SetRawValue(const QString &code, const QString &raw) {
    const TSimParam *param = table_->Find(code);
    if (!param || raw.size() != 2 * param->len || !IsHexText(raw))
        return false;
    const QString value = raw.toUpper();
    if (code == QLatin1String("0101")) {
        identity_.station = ReverseHexBytes(value.left(8)).toUInt(nullptr, 16);
    } else if (code == QLatin1String("0102")) {
        identity_.equipmentNum = quint8(value.left(2).toUInt(nullptr, 16));
    } else if (code == QLatin1String("0003")) {
        identity_.type = quint8(value.left(2).toUInt(nullptr, 16));
    } else if (code == QLatin1String("0022")) {
        const QString text = FromAscToNormal(code, value, 0x21, QStringLiteral("00"));
        if (text.isEmpty())
            return false;
        identity_.code = text;
    } else {
        changed_.insert(code, value);
    }
    return true;
}

QString TSimUnit::Item(const TSimParam &param) const {
    return HexByte(3 + param.len) + CodeOnWire(param.code) + RawValue(param.code);
}

std::vector<TSimEvent> TSimUnit::Feed(QByteArrayView bytes) {
    std::vector<TSimEvent> events;
    buffer_.append(bytes);
    qsizetype pos = 0;
    for (;;) {
        const qsizetype start = buffer_.indexOf(kFlag, pos);
        if (start < 0) {
            pos = buffer_.size(); // no frame begins here: nothing worth keeping
            break;
        }
        const qsizetype end = buffer_.indexOf(kFlag, start + 1);
        if (end < 0) {
            pos = start;
            break;
        }
        const qsizetype length = end - start + 1;
        if (length <= 4) {
            pos = end; // end flag of one frame, start flag of the next
            continue;
        }
        pos = end + 1;
        const QByteArrayView frame(buffer_.constData() + start, length);
        if (length < kMinFrame) {
            TSimEvent event;
            event.received = BytesToHex(frame);
            event.note = QStringLiteral("frame shorter than 17 bytes");
            events.push_back(std::move(event));
            continue;
        }
        events.push_back(HandleFrame(frame));
    }
    buffer_.remove(0, pos);
    if (buffer_.size() > kMaxBuffer)
        buffer_.clear();
    return events;
}

TSimEvent TSimUnit::HandleFrame(QByteArrayView frame) {
    TSimEvent event;
    try {
        event.received = ReceiveTransFormat(BytesToHex(frame));
        if (event.received.size() < 2 * kMinFrame) {
            event.note = QStringLiteral("frame shorter than 17 bytes after unescaping");
            return event;
        }
        if (!CheckFrame(event.received)) {
            event.note = QStringLiteral("check code error");
            return event;
        }
        const TOnePackRecord record = ResolveOnePackRecord(event.received);
        event.serial = record.SerialId;
        const QString &op = record.OperateFlag;
        const QString &np = record.NPEachFlag;
        if (op == QLatin1String("EE") && np == QLatin1String("00")) {
            event.kind = TSimEvent::Kind::HeartbeatReply;
            if (record.ResponseFlag != QLatin1String("00"))
                event.note = QStringLiteral("response flag ") + record.ResponseFlag;
            return event;
        }
        if (op == QLatin1String("01") && np == QLatin1String("00")) {
            event.kind = TSimEvent::Kind::AlarmAck;
            return event;
        }
        if (np != QLatin1String("80")) {
            event.note =
                QStringLiteral("not a command: NP flag ") + np + QStringLiteral(", command ") + op;
            return event;
        }
        const QString agreement = record.AgreementType + record.ChildType;
        if (op == QLatin1String("02")) {
            if (record.ObjStr.mid(2, 4) == QLatin1String("0900"))
                return HandleParamList(std::move(event), agreement, record.ObjStr);
            return HandleQuery(std::move(event), agreement, record.ObjStr);
        }
        if (op == QLatin1String("03"))
            return HandleSet(std::move(event), agreement, record.ObjStr);
        event.kind = TSimEvent::Kind::Unsupported;
        event.note = QStringLiteral("unknown command 0x") + op;
        // NP 0x01: unable to deal with the request; response 0x02: command number error.
        event.reply = MakeReply(agreement, record.SerialId, QStringLiteral("01"), op,
                                QStringLiteral("02"), {});
        return event;
    } catch (const std::exception &e) {
        event.kind = TSimEvent::Kind::Rejected;
        event.reply.reset();
        event.note = QStringLiteral("cannot parse: ") + QString::fromStdString(e.what());
        return event;
    }
}

TSimEvent TSimUnit::HandleQuery(TSimEvent event, const QString &agreement, const QString &items) {
    event.kind = TSimEvent::Kind::Query;
    const auto request = SplitItems(items);
    if (!request) {
        event.note = QStringLiteral("malformed data items");
        event.reply = MakeReply(agreement, event.serial, QStringLiteral("00"), QStringLiteral("02"),
                                QStringLiteral("03"), {});
        return event;
    }
    QString answer;
    QStringList asked;
    bool partial = false;
    for (const RawItem &item : *request) {
        if (const TSimParam *param = table_->Find(item.code)) {
            answer += Item(*param);
            asked.append(item.code);
        } else {
            answer += QLatin1String("03") + CodeOnWire(item.code); // no value: unknown
            asked.append(item.code + QStringLiteral("(unknown)"));
            partial = true;
        }
    }
    event.note = asked.join(QLatin1Char(' '));
    event.reply = MakeReply(agreement, event.serial, QStringLiteral("00"), QStringLiteral("02"),
                            partial ? QStringLiteral("01") : QStringLiteral("00"), answer);
    return event;
}

TSimEvent TSimUnit::HandleSet(TSimEvent event, const QString &agreement, const QString &items) {
    event.kind = TSimEvent::Kind::Set;
    const auto request = SplitItems(items);
    if (!request) {
        event.note = QStringLiteral("malformed data items");
        event.reply = MakeReply(agreement, event.serial, QStringLiteral("00"), QStringLiteral("03"),
                                QStringLiteral("03"), {});
        return event;
    }
    QString answer;
    QStringList changes;
    bool partial = false;
    for (const RawItem &item : *request) {
        const TSimParam *param = table_->Find(item.code);
        if (!param) {
            answer += QLatin1String("03") + CodeOnWire(item.code);
            changes.append(item.code + QStringLiteral("(unknown)"));
            partial = true;
            continue;
        }
        const quint32 oldStation = identity_.station;
        const bool settable = param->canSet || item.code == QLatin1String("0101");
        if (settable && SetRawValue(item.code, item.value)) {
            if (item.code == QLatin1String("0101")) {
                event.kind = TSimEvent::Kind::StationChange;
                changes.append(QStringLiteral("station 0x") + StationText(oldStation) +
                               QStringLiteral(" -> 0x") + StationText(identity_.station));
            } else {
                changes.append(item.code + QLatin1Char('=') + item.value);
            }
        } else {
            changes.append(item.code + QStringLiteral("(refused)"));
            partial = true;
        }
        answer += Item(*param);
    }
    event.note = changes.join(QLatin1Char(' '));
    event.reply = MakeReply(agreement, event.serial, QStringLiteral("00"), QStringLiteral("03"),
                            partial ? QStringLiteral("01") : QStringLiteral("00"), answer);
    return event;
}

TSimEvent TSimUnit::HandleParamList(TSimEvent event, const QString &agreement,
                                    const QString &items) {
    event.kind = TSimEvent::Kind::ParamListPage;
    // Only the first item matters: 0x0009 with the page count and the page asked for.
    const int firstLength = HexDigitValue(items[0]) * 16 + HexDigitValue(items[1]);
    const auto request = SplitItems(items.left(2 * qsizetype(std::max(0, firstLength))));
    int asked = 1;
    if (request && !request->empty() && request->front().value.size() >= 4)
        asked = request->front().value.mid(2, 2).toInt(nullptr, 16);
    if (asked < 1)
        asked = 1;

    QStringList codes;
    for (const TSimParam &p : table_->Params())
        codes.append(CodeOnWire(p.code));
    const int n = int(codes.size());
    int pages = std::max(pages_, (n + kMaxCodesPerPage - 1) / kMaxCodesPerPage);
    pages = std::min(pages, 255);
    const int perPage = std::max(1, (n + pages - 1) / pages);
    QString content;
    if (asked <= pages)
        for (int i = (asked - 1) * perPage; i < std::min(n, asked * perPage); ++i)
            content += codes[i];

    const QString answer = HexByte(5 + int(content.size() / 2)) + QLatin1String("0900") +
                           HexByte(pages) + HexByte(asked) + content;
    event.note = QStringLiteral("page %1 of %2").arg(asked).arg(pages);
    event.reply = MakeReply(agreement, event.serial, QStringLiteral("00"), QStringLiteral("02"),
                            QStringLiteral("00"), answer);
    return event;
}

TSimOutFrame TSimUnit::MakeReply(const QString &agreement, int serial, const QString &npFlag,
                                 const QString &operateFlag, const QString &responseFlag,
                                 const QString &items) const {
    const QString content = agreement + SiteIdHex() + LittleEndian16(serial) + npFlag +
                            QLatin1String("01") + operateFlag + responseFlag + items;
    return Pack(content, serial);
}
