#include "ReceivedFrame.h"

#include "FrameCodec.h"
#include "HexText.h"

namespace {

// The heartbeat's flags (NP, apply, command, response) and the head of its
// first data item: length 0x1B, parameter code 0x0022.
constexpr QStringView HeartbeatFlags = u"8001EEFF";
constexpr QStringView HeartbeatCodeItem = u"1B2200";
// The type item: length 4, parameter code 0x0003; it starts 27 bytes into the data.
constexpr QStringView HeartbeatTypeItem = u"040300";
constexpr qsizetype TypeItemAt = 55; // 1-based character position in the data
constexpr qsizetype ItemsChars = 62; // both items: 27 + 4 bytes

} // namespace

qsizetype TReceivedFrame::Chars() const {
    qsizetype n = SourcePackage.size() + TrulyPackage.size();
    if (Record)
        n += Record->NetDataStr.size() + Record->MapDataStr.size() + Record->ObjStr.size();
    return n;
}

TReceivedFrame ResolveReceivedFrame(QByteArrayView bytes) {
    TReceivedFrame f;
    f.SourcePackage = BytesToHex(bytes);
    f.TrulyPackage = ReceiveTransFormat(f.SourcePackage);
    f.CheckOk = CheckFrame(f.TrulyPackage);
    try {
        TOnePackRecord rec = ResolveOnePackRecord(f.TrulyPackage);
        if (!rec.StartFlag.isEmpty())
            f.Record = std::move(rec);
    } catch (const ConvertError &) {
        // Too short to hold every field: no record.
    }
    return f;
}

std::optional<TTextHeartbeat> ResolveHeartbeat(const TReceivedFrame &frame) {
    if (!frame.Record)
        return std::nullopt;
    const TOnePackRecord &r = *frame.Record;
    const QStringView data(r.ObjStr);
    if (Concat({r.NPEachFlag, r.ApplyFlag, r.OperateFlag, r.ResponseFlag}) != HeartbeatFlags ||
        !data.startsWith(HeartbeatCodeItem) ||
        CopyText(data, TypeItemAt, HeartbeatTypeItem.size()) != HeartbeatTypeItem)
        return std::nullopt;
    TTextHeartbeat h;
    h.SiteId = CopyText(r.NetDataStr, 1, 10).toString();
    h.StationBytes = CopyText(r.NetDataStr, 1, 8).toString();
    h.EquipmentNum = r.EquipmentNum;
    h.EquipmentCodeHex = CopyText(data, 7, 48).toString();
    h.EquipmentType = CopyText(data, TypeItemAt + HeartbeatTypeItem.size(), 2).toString();
    h.ResHex = r.ResHex;
    h.Items = CopyText(data, 1, ItemsChars).toString();
    return h;
}
