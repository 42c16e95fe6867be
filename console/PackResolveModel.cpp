#include "PackResolveModel.h"

#include "FrameCodec.h"
#include "PackRecord.h"
#include "ParamDictionary.h"

namespace {

QString Hex2(quint8 b) {
    return QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0')).toUpper();
}

// A hex text read as a number; throws ConvertError when it is not one.
quint64 HexValue(const QString &hex) {
    bool ok = false;
    const quint64 v = hex.toULongLong(&ok, 16);
    if (!ok || hex.isEmpty())
        throw ConvertError(QStringLiteral("'%1' is not a valid integer value").arg(hex));
    return v;
}

TResolveNode Node(const QString &text, int offset = -1, int length = 0) {
    TResolveNode n;
    n.Text = text;
    n.Offset = offset;
    n.Length = length < 0 ? 0 : length;
    return n;
}

TResolveNode &Add(TResolveNode &parent, const QString &text, int offset = -1, int length = 0) {
    return parent.Children.emplace_back(Node(text, offset, length));
}

} // namespace

bool SerialIdInRange(const QString &OperateFlag, int SerialId) {
    if (OperateFlag == QLatin1String("01"))
        return SerialId >= 0x8000 && SerialId <= 0x8FFF;
    return SerialId >= 0 && SerialId <= 0x7FFF;
}

TResolveTree BuildResolveTree(const QString &text) {
    TResolveTree tree;
    const int T = static_cast<int>(text.size());
    try {
        const TOnePackRecord R = ResolveOnePackRecord(text);
        if (R.StartFlag.isEmpty()) {
            tree.ErrorMessage = QString::fromLatin1(IllegalInstructionText);
            return tree;
        }

        // Access layer.
        TResolveNode &ap = tree.Nodes.emplace_back(Node(QStringLiteral("Access layer(AP)")));
        Add(Add(ap, QStringLiteral("Start signs: ") + R.StartFlag, 0, 2),
            QStringLiteral("Lenght: 1"));
        Add(Add(ap, QStringLiteral("Type of agreement: ") + R.AgreementType, 2, 2),
            QStringLiteral("Length: 1"));
        Add(Add(ap, QStringLiteral("Bearing type agreement: ") + R.ChildType, 4, 2),
            QStringLiteral("Length: 1"));
        Add(Add(ap, QStringLiteral("Data unit: ") + R.NetDataStr, 6, T - 12),
            QStringLiteral("Results: wait for deal..."));
        const QString C = Hex2(R.CheckCode[1]) + Hex2(R.CheckCode[0]);
        {
            TResolveNode &check = Add(ap, QStringLiteral("Check unit: ") + C, T - 6, 4);
            Add(check, QStringLiteral("Value: ") + QString::number(HexValue(C)));
            Add(check, QStringLiteral("Length: 2"));
            if (R.CrcCheckHex == C) {
                Add(check, QStringLiteral("Results: OK"));
            } else {
                Add(check, QStringLiteral("Results: Error(Reference value ") + R.CrcCheckHex +
                               QStringLiteral(")"))
                    .Error = true;
                check.Error = true;
                check.Expanded = true;
            }
        }
        Add(Add(ap, QStringLiteral("End signs: ") + R.EndFlag, T - 2, 2),
            QStringLiteral("Length: 1"));
        ap.Expanded = true;

        // Network layer.
        TResolveNode &np = tree.Nodes.emplace_back(Node(QStringLiteral("Network layer(NP)")));
        {
            TResolveNode &site = Add(np, QStringLiteral("Site No.: ") + R.SiteNum, 6, 8);
            Add(site, QStringLiteral("Value: ") + QString::number(HexValue(R.SiteNum)));
            Add(site, QStringLiteral("Length: 4"));
        }
        {
            const QString equipment = QString::number(R.EquipmentNum);
            TResolveNode &unit = Add(np, QStringLiteral("Equipment No.: ") + equipment, 14, 2);
            Add(unit, QStringLiteral("Value: ") + equipment);
            Add(unit, QStringLiteral("Length: 1"));
        }
        {
            TResolveNode &serial =
                Add(np,
                    QStringLiteral(" Package serial number:") +
                        QStringLiteral("%1").arg(R.SerialId, 4, 16, QLatin1Char('0')).toUpper(),
                    16, 4);
            Add(serial, QStringLiteral("Value: ") + QString::number(R.SerialId));
            Add(serial, QStringLiteral("Length: 2"));
            if (SerialIdInRange(R.OperateFlag, R.SerialId)) {
                Add(serial, QStringLiteral("Results: OK"));
            } else {
                Add(serial, QStringLiteral("Results: Error")).Error = true;
                serial.Error = true;
                serial.Expanded = true;
            }
        }
        {
            TResolveNode &each =
                Add(np, QStringLiteral("NP signs of interaction: ") + R.NPEachFlag, 20, 2);
            Add(each, QStringLiteral("Length: 1"));
            Add(each, QStringLiteral("Results: ") + GetNpEachFlag(R.NPEachFlag));
        }
        Add(Add(np, QStringLiteral("Application Protocol logo: ") + R.ApplyFlag, 22, 2),
            QStringLiteral("Length: 1"));
        Add(Add(np, QStringLiteral("Data Unit: ") + R.MapDataStr, 24, T - 30),
            QStringLiteral("Results: Wait for Deal..."));
        np.Expanded = true;

        // Application layer.
        TResolveNode &map = tree.Nodes.emplace_back(Node(QStringLiteral("Application Layer(MAP)")));
        {
            TResolveNode &command =
                Add(map, QStringLiteral("Command logo: ") + R.OperateFlag, 24, 2);
            Add(command, QStringLiteral("Length: 1"));
            Add(command, QStringLiteral("Results: ") + R.AttributeName);
        }
        {
            TResolveNode &response =
                Add(map, QStringLiteral("Responses signs: ") + R.ResponseFlag, 26, 2);
            Add(response, QStringLiteral("Length: 1"));
            Add(response, QStringLiteral("Results: ") + GetResponseFlag(R.ResponseFlag));
        }
        Add(Add(map, QStringLiteral("Data Unit: ") + R.ObjStr, 28, T - 34),
            QStringLiteral("Results: Wait for Deal..."));
        map.Expanded = true;

        tree.MapPackageStr = R.ObjStr;
    } catch (const std::exception &) {
        tree.ErrorMessage = QString::fromLatin1(AnalyzingFailedText);
    }
    return tree;
}

std::vector<TMapDataRow> MapDataRows(const QString &text) {
    std::vector<TMapDataRow> rows;
    try {
        for (const TCommPackInfo &item : ResolveCommPack(text)) {
            const TCommPackRecord &b = item.Body;
            rows.push_back({b.Value, b.Len, QStringLiteral("0x") + b.ParamCode, b.Name,
                            b.DestContent.trimmed()});
        }
    } catch (const std::exception &) {
        // The rows decoded so far stay.
    }
    return rows;
}

QString ParamTypeHint(int typeCode, const QString &ParamCode) {
    if (typeCode >= 0x01 && typeCode <= 0x09)
        return QStringLiteral("uint1");
    switch (typeCode) {
    case 0x00:
        return QStringLiteral("Source Data");
    case 0x10:
        return QStringLiteral("Head tail Replace(Example 12FF56->56FF12)");
    case 0x11:
        return QStringLiteral("sint1 -127～127");
    case 0x12:
        return QStringLiteral("uint1 0～255");
    case 0x14:
        return QStringLiteral("sint2 -32767～32767");
    case 0x16:
    case 0x17:
    case 0x18:
    case 0x27:
        return QStringLiteral("uint2 0～65535  17:Work Channel 18:shift Frequency Channel");
    case 0x19:
        return QStringLiteral("uint4 0～4294967295");
    case 0x21:
        return QStringLiteral("String");
    case 0x22:
        return QStringLiteral("Date Time yyyy-mm-dd hh:mm:ss");
    case 0x23:
        return QStringLiteral("Ip Address");
    case 0x24:
        return QStringLiteral("MAC Address");
    case 0x30:
        return QStringLiteral("Equipment type");
    case 0x31: {
        QString names;
        for (const TCodeNameInfo &info : lstCodeNameParam) {
            if (info.Body.Code != ParamCode)
                continue;
            for (const QString &entry : info.Body.Name)
                names += QLatin1Char(' ') + EntryDisplayName(entry);
            break;
        }
        return names;
    }
    case 0x41:
        return QStringLiteral("sint4 -2147483648～2147483647");
    case 0x42:
        return QStringLiteral("uint8 -2^63～2^63-1");
    case 0x71:
        return QStringLiteral("Float number");
    default:
        return {};
    }
}

std::optional<QString> ParamDescription(const QString &Code) {
    if (Code.isEmpty())
        return std::nullopt;
    for (const QString &entry : lstParamProperty) {
        const qsizetype hash = entry.indexOf(QLatin1Char('#'));
        if (hash < 0)
            continue;
        const QString paramCode = entry.mid(hash + 1, 4);
        if (QStringLiteral("0x") + paramCode != Code)
            continue;
        const QString typeCode = entry.mid(0, 2);
        const QString unitCode = entry.mid(2, 2);
        const QString setCode = entry.mid(4, 2);
        bool ok = false;
        const int type = typeCode.toInt(&ok, 16);
        if (!ok)
            return std::nullopt;
        const qsizetype amp = entry.indexOf(QLatin1Char('&'));
        const QString name = entry.mid(amp + 1);
        const QString sep = QStringLiteral("\r\r");
        return QStringLiteral("Code String: ") + entry.left(hash + 5) + sep +
               QStringLiteral("Type(") + typeCode + QStringLiteral("): ") +
               ParamTypeHint(type, paramCode) + sep + QStringLiteral("Unit(") + unitCode +
               QStringLiteral("): ") + GetUnit(unitCode) + sep + QStringLiteral("Set(") + setCode +
               QStringLiteral("): ") +
               (setCode == QLatin1String("01") ? QStringLiteral("Yes") : QStringLiteral("No")) +
               sep + QStringLiteral("Flag: ") + QStringLiteral("0x") + paramCode + sep +
               QStringLiteral("Name: ") + name;
    }
    return std::nullopt;
}
