#include "ValueConversion.h"

#include "FrameCodec.h"
#include "HexText.h"
#include "ParamDictionary.h"
#include "PublicU.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>

namespace {

// Names of the two-valued states 0x01 .. 0x08: the name of raw "00", the name
// of anything else, and the display text that encodes as 0.
struct StateNames {
    QLatin1String zero;
    QLatin1String other;
    QLatin1String encodesZero;
};

const StateNames *StateNamesOf(int dataType) {
    static const StateNames names[] = {
        {QLatin1String("OFF"), QLatin1String("ON"), QLatin1String("OFF")},
        {QLatin1String("Disable"), QLatin1String("Enable"), QLatin1String("Disable")},
        {QLatin1String("      Normal"), QLatin1String("      Alert"), QLatin1String("Normal")},
        {QLatin1String("Normal"), QLatin1String("Bypass"), QLatin1String("Normal")},
        {QLatin1String("Normal"), QLatin1String("Abnormal"), QLatin1String("Normal")},
        {QLatin1String("Normal"), QLatin1String("Saturation"), QLatin1String("Normal")},
        {QLatin1String("Locking"), QLatin1String("Losinglock"), QLatin1String("Locking")},
        {QLatin1String("Success"), QLatin1String("Failure"), QLatin1String("Success")},
    };
    if (dataType < 0x01 || dataType > 0x08)
        return nullptr;
    return &names[dataType - 1];
}

// The scale factor of a unit code as a number; never 0.
double ScaleFactor(const QString &unitCode) {
    const double factor = TextToFloat(GetProportional(unitCode));
    if (factor == 0.0)
        throw ConvertError(QStringLiteral("scale factor of unit %1 is 0").arg(unitCode));
    return factor;
}

QString ScaleDown(const QString &display, const QString &unitCode) {
    const double value = TextToFloat(display) / ScaleFactor(unitCode);
    // Two decimals, ties to the even neighbour (the default rounding mode).
    const double rounded = std::nearbyint(value * 100.0) / 100.0;
    if (!std::isfinite(rounded))
        throw ConvertError(QStringLiteral("'%1' is out of range after scaling").arg(display));
    return FloatToText(rounded);
}

QString ScaleUp(const QString &text, const QString &unitCode) {
    const double product = std::trunc(TextToFloat(text) * ScaleFactor(unitCode));
    if (!std::isfinite(product) || std::fabs(product) >= 9.2e18)
        throw ConvertError(QStringLiteral("'%1' is out of range after scaling").arg(text));
    return QString::number(static_cast<qint64>(product));
}

// Text type: one character per byte, at most 51 of them.
QString DecodeText(QStringView raw) {
    QString out;
    qsizetype begin = 0;
    qsizetype end = raw.size();
    while (begin < end) {
        const qsizetype n = std::min<qsizetype>(2, end - begin);
        out += QChar(static_cast<char16_t>(HexToInt(raw.sliced(begin, n))));
        // Only the next 100 characters are carried on.
        begin += n;
        end = std::min(end, begin + 100);
        while (begin < end && IsBlank(raw[begin]))
            ++begin;
        while (end > begin && IsBlank(raw[end - 1]))
            --end;
    }
    return TrimBlanks(out).toString();
}

QString DecodeDateTime(QStringView raw) {
    const QString date = StrConversionDate(CopyText(raw, 1, 8).toString());
    return Concat(
        {date, u" ", CopyText(raw, 9, 2), u":", CopyText(raw, 11, 2), u":", CopyText(raw, 13, 2)});
}

QString DecodeIpAddress(QStringView raw) {
    QString out;
    for (int i = 0; i < 4; ++i) {
        if (i > 0)
            out += QLatin1Char('.');
        out += QString::number(HexToInt(CopyText(raw, 1 + 2 * i, 2)));
    }
    return out;
}

QString DecodeMacAddress(QStringView raw) {
    QString out;
    for (int i = 0; i < 6; ++i) {
        if (i > 0)
            out += QLatin1Char(':');
        out += CopyText(raw, 1 + 2 * i, 2);
    }
    return out;
}

QString EncodeText(QString text, int digits) {
    if (text == QLatin1String("NULL"))
        text.clear();
    QString hex;
    hex.reserve(digits + 4);
    for (qsizetype i = 0; i < text.size() && hex.size() < digits; ++i)
        hex += IntToHexText(text[i].unicode(), 2);
    hex += QString(128, QLatin1Char('0'));
    return hex.left(digits);
}

QString EncodeDateTime(QStringView text) {
    return Concat({CopyText(text, 1, 4), CopyText(text, 6, 2), CopyText(text, 9, 2),
                   CopyText(text, 12, 2), CopyText(text, 15, 2), CopyText(text, 18, 2)});
}

QString EncodeIpAddress(const QString &text) {
    const QString withEnd = text + QLatin1Char('.');
    QStringView working(withEnd);
    QString out;
    for (qsizetype dot = working.indexOf(u'.'); dot >= 0; dot = working.indexOf(u'.')) {
        out += IntToHexText(DecimalToInt(working.first(dot)), 2);
        working = TrimBlanks(CopyText(working, dot + 2, 15));
    }
    return out;
}

QString EncodeMacAddress(const QString &text) {
    const QString withEnd = text + QLatin1Char(':');
    QStringView working(withEnd);
    QString out;
    for (qsizetype colon = working.indexOf(u':'); colon >= 0; colon = working.indexOf(u':')) {
        out += working.first(colon);
        working = TrimBlanks(working.sliced(colon + 1));
    }
    return out;
}

} // namespace

QString FromAscToNormal(const QString &Code, const QString &ParamSetValue, int DataType,
                        const QString &Proportional) {
    const QStringView raw(ParamSetValue);
    QString result = ParamSetValue;
    QString display;
    if (const StateNames *names = StateNamesOf(DataType)) {
        display = raw == u"00" ? names->zero : names->other;
    } else {
        switch (DataType) {
        case 0x09:
            display = raw == u"00"   ? QStringLiteral("Active")
                      : raw == u"01" ? QStringLiteral("Sleep")
                                     : QStringLiteral("OFF");
            break;
        case 0x10:
            display = HexDelLeft0(ReverseHexBytes(raw));
            break;
        case 0x11:
            display = QString::number(static_cast<qint8>(HexToInt(ReverseHexBytes(raw)) & 0xFF));
            break;
        case 0x12:
            display = QString::number(HexToInt(ReverseHexBytes(raw)) & 0xFF);
            break;
        case 0x14:
            display = QString::number(static_cast<qint16>(HexToInt(ReverseHexBytes(raw)) & 0xFFFF));
            break;
        case 0x16:
        case 0x17:
        case 0x18:
        case 0x27:
            display = QString::number(HexToInt(ReverseHexBytes(raw)) & 0xFFFF);
            break;
        case 0x19:
            display = QString::number(static_cast<quint32>(HexToInt(ReverseHexBytes(raw))));
            break;
        case 0x41:
        case 0x42:
            display = QString::number(HexToInt(ReverseHexBytes(raw)));
            break;
        case 0x21:
            display = DecodeText(raw);
            break;
        case 0x22:
            display = DecodeDateTime(raw);
            break;
        case 0x23:
            display = DecodeIpAddress(raw);
            break;
        case 0x24:
            display = DecodeMacAddress(raw);
            break;
        case 0x30:
            // The looked-up name is the result even when it is empty.
            result = EquipmentTypeToName(HexToInt(raw));
            break;
        case 0x31:
            result = CodeToParamName(Code, HexToInt(raw));
            break;
        case 0x71:
            display = HexToFloat(ReverseHexBytes(raw), 2);
            break;
        default:
            break;
        }
    }
    if (!display.isEmpty() || DataType == 0x21) {
        if (HexToInt(Proportional) > 0x60)
            display = ScaleDown(display, Proportional);
        result = display;
    }
    return result;
}

QString FromNormalToASC(const QString &Code, const QString &ParamSetValue, int DataType, int Len,
                        const QString &Proportional) {
    const int digits = 2 * std::clamp(Len, 0, 255);
    QString value = ParamSetValue;
    if (HexToInt(Proportional) > 0x60)
        value = ScaleUp(value, Proportional);

    if (const StateNames *names = StateNamesOf(DataType))
        return IntToHexText(value == names->encodesZero ? 0 : 1, digits);
    switch (DataType) {
    case 0x09:
        return IntToHexText(value == QLatin1String("Active")  ? 0
                            : value == QLatin1String("Sleep") ? 1
                                                              : 2,
                            digits);
    case 0x10:
        return ReverseHexBytes((QString(15, QLatin1Char('0')) + value).right(digits));
    case 0x11:
    case 0x12:
        return IntToHexText(DecimalToInt(value), digits).right(2);
    case 0x14:
    case 0x16:
    case 0x17:
    case 0x18:
    case 0x27:
        return ReverseHexBytes(IntToHexText(DecimalToInt(value), digits).right(4));
    case 0x19:
    case 0x41:
        return ReverseHexBytes(IntToHexText(DecimalToInt(value), digits).right(8));
    case 0x42:
        return ReverseHexBytes(IntToHexText(DecimalToInt(value), digits).right(16));
    case 0x21:
        return EncodeText(value, digits);
    case 0x22:
        return EncodeDateTime(value);
    case 0x23:
        return EncodeIpAddress(value);
    case 0x24:
        return EncodeMacAddress(value);
    case 0x30:
        return IntToHexText(NameToEquipmentType(value), 2);
    case 0x31:
        return IntToHexText(ParamNameToCode(Code, value), 2);
    case 0x71: {
        const double number = TextToFloat(value);
        if (std::fabs(number) > FLT_MAX)
            throw ConvertError(QStringLiteral("'%1' is out of range for a float").arg(value));
        return ReverseHexBytes(FloatToHex(static_cast<float>(number), Len));
    }
    default:
        return {};
    }
}

QString FloatToHex(float f, int k) {
    const auto bits = std::bit_cast<std::uint32_t>(f);
    QString out;
    for (int i = std::clamp(k, 0, 4) - 1; i >= 0; --i)
        out += IntToHexText(static_cast<qint32>((bits >> (8 * i)) & 0xFF), 2);
    return out;
}

QString HexToFloat(const QString &s, int p) {
    if (s.size() % 2 != 0)
        return {};
    const auto f = std::bit_cast<float>(static_cast<std::uint32_t>(HexToInt(s)));
    QString str = FloatToText(static_cast<double>(f));
    // Exponent forms ("1.5e-05") and nan/inf are returned whole: cutting them
    // at a decimal position would change their value.
    const qsizetype dot = str.indexOf(QLatin1Char('.'));
    if (dot < 0 || str.contains(QLatin1Char('e')))
        return str;
    const qsizetype d = dot + 1 + std::max(p, 0); // 1-based "." position + decimals
    str.truncate(d + 1);
    if (str.size() == d + 1 && str.back() >= QLatin1Char('5') && str.back() <= QLatin1Char('9')) {
        // Round the last kept decimal away from zero.
        const double step = std::pow(10.0, -std::max(p, 0));
        const double v = TextToFloat(str);
        str = FloatToText(v < 0 ? v - step : v + step);
    }
    str.truncate(d);
    return str;
}

QString StrConversionDate(const QString &s) {
    const QStringView t(s);
    const QString yyyy = CopyText(t, 1, 4).toString();
    const QString mm = CopyText(t, 5, 2).toString();
    const QString dd = CopyText(t, 7, 2).toString();
    const QString yy = CopyText(t, 3, 2).toString();
    const QString m = HexDelLeft0(mm);
    const QString d = HexDelLeft0(dd);
    const QString &f = sysShortDate;
    auto join = [](const QString &a, QChar sep, const QString &b, const QString &c) {
        return a + sep + b + sep + c;
    };
    if (f == QLatin1String("yyyy/M/d"))
        return join(yyyy, u'/', m, d);
    if (f == QLatin1String("yyyy-M-d"))
        return join(yyyy, u'-', m, d);
    if (f == QLatin1String("yyyy.M.d"))
        return join(yyyy, u'.', m, d);
    if (f == QLatin1String("yyyy/MM/dd"))
        return join(yyyy, u'/', mm, dd);
    if (f == QLatin1String("yyyy.MM.dd"))
        return join(yyyy, u'.', mm, dd);
    if (f == QLatin1String("yy/M/d"))
        return join(yy, u'/', m, d);
    if (f == QLatin1String("yy-M-d"))
        return join(yy, u'-', m, d);
    if (f == QLatin1String("yy.M.d"))
        return join(yy, u'.', m, d);
    if (f == QLatin1String("yy/MM/dd"))
        return join(yy, u'/', mm, dd);
    if (f == QLatin1String("M/d/yyyy"))
        return join(m, u'/', d, yyyy);
    if (f == QLatin1String("M/d/yy"))
        return join(m, u'/', d, yy);
    if (f == QLatin1String("MM/dd/yy"))
        return join(mm, u'/', dd, yy);
    if (f == QLatin1String("MM/dd/yyyy"))
        return join(mm, u'/', dd, yyyy);
    if (f == QLatin1String("dd-MMM-yy"))
        return dd + QLatin1String("-0") + mm + QLatin1Char('-') + yy;
    return join(yyyy, u'-', mm, dd);
}

void SearchNameAndContent(const QString &ParamCode, const QString &SourceContent, QString &Name,
                          QString &DestContent) {
    Name.clear();
    DestContent = SourceContent;
    const QString entry = GetParamProperty(ParamCode);
    if (entry.isEmpty())
        return;
    const QStringView e(entry);
    Name = EntryDisplayName(e);
    const int dataType = HexToInt(CopyText(e, 1, 2));
    DestContent = FromAscToNormal(ParamCode, SourceContent, dataType, CopyText(e, 3, 2).toString());
}
