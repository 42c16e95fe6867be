#include "PackRecord.h"

#include "FrameCodec.h"
#include "HexText.h"
#include "ValueConversion.h"

TOnePackRecord ResolveOnePackRecord(const QString &HexStr) {
    const QStringView s(HexStr);
    if (!s.startsWith(u"7E"))
        return {};
    const qsizetype t = s.size();
    auto copy = [s](qsizetype index, qsizetype count) { return CopyText(s, index, count); };

    TOnePackRecord r;
    r.StartFlag = copy(1, 2).toString();
    r.AgreementType = copy(3, 2).toString();
    r.ChildType = copy(5, 2).toString();
    r.NetDataStr = copy(7, t - 12).toString();
    // Site bytes 3..6 are little-endian: write them most significant first.
    r.SiteNum = HexDelLeft0(Concat({copy(13, 2), copy(11, 2), copy(9, 2), copy(7, 2)}));
    r.EquipmentNum = static_cast<quint8>(HexToInt(copy(15, 2)));
    r.SerialId = HexToInt(Concat({copy(19, 2), copy(17, 2)}));
    r.NPEachFlag = copy(21, 2).toString();
    r.ApplyFlag = copy(23, 2).toString();
    r.MapDataStr = copy(25, t - 30).toString();
    r.OperateFlag = copy(25, 2).toString();
    r.AttributeName = GetMapCommFlag(r.OperateFlag);
    r.ResponseFlag = copy(27, 2).toString();
    r.ObjStr = copy(29, t - 34).toString();
    r.CrcCheckHex = GetCRC16(copy(3, t - 8));
    r.CheckCode[0] = static_cast<quint8>(HexToInt(copy(t - 5, 2)));
    r.CheckCode[1] = static_cast<quint8>(HexToInt(copy(t - 3, 2)));
    r.ResHex = copy(3, 18).toString();
    r.EndFlag = copy(t - 1, 2).toString();
    return r;
}

TCommPackList ResolveCommPack(QStringView s) {
    TCommPackList list;
    qsizetype pos = 0;
    while (pos < s.size()) {
        try {
            const int l = HexToInt(s.sliced(pos, std::min<qsizetype>(2, s.size() - pos)));
            if (l < 3)
                return {};
            const QStringView item = s.sliced(pos, std::min<qsizetype>(2 * l, s.size() - pos));
            TCommPackInfo info;
            TCommPackRecord &body = info.Body;
            body.Value = item.toString();
            body.Len = QString::number(l);
            body.ParamCode = Concat({CopyText(item, 5, 2), CopyText(item, 3, 2)});
            body.SourceContent = TrimBlanks(CopyText(item, 7, item.size())).toString();
            SearchNameAndContent(body.ParamCode, body.SourceContent, body.Name, body.DestContent);
            list.push_back(std::move(info));
            pos += 2 * l;
        } catch (const ConvertError &) {
            break;
        }
    }
    return list;
}

QString GetNpEachFlag(const QString &Key) {
    switch (HexToInt(Key)) {
    case 0x00:
        return QStringLiteral("Normal Execute Result");
    case 0x01:
        return QStringLiteral("Unable Deal Command Request");
    case 0x80:
        return QStringLiteral("Normal Command Request");
    default:
        return {};
    }
}
