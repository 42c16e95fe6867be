#include "HexText.h"

#include "ConvertError.h"

#include <QLocale>

#include <cmath>
#include <vector>

QString Concat(std::initializer_list<QStringView> parts) {
    qsizetype size = 0;
    for (QStringView p : parts)
        size += p.size();
    QString out;
    out.reserve(size);
    for (QStringView p : parts)
        out += p;
    return out;
}

QStringView TrimBlanks(QStringView s) {
    qsizetype begin = 0;
    qsizetype end = s.size();
    while (begin < end && IsBlank(s[begin]))
        ++begin;
    while (end > begin && IsBlank(s[end - 1]))
        --end;
    return s.sliced(begin, end - begin);
}

QStringView CopyText(QStringView s, qsizetype index, qsizetype count) {
    qsizetype start = index < 1 ? 0 : index - 1;
    if (start >= s.size() || count <= 0)
        return {};
    if (count > s.size() - start)
        count = s.size() - start;
    return s.sliced(start, count);
}

qint32 HexToInt(QStringView s) {
    if (s.isEmpty())
        throw ConvertError(QStringLiteral("'' is not a valid hex value"));
    quint32 value = 0;
    int significant = 0;
    for (QChar c : s) {
        const int digit = HexDigitValue(c);
        if (digit < 0)
            throw ConvertError(QStringLiteral("'%1' is not a valid hex value").arg(s));
        if (significant == 0 && digit == 0)
            continue;
        if (++significant > 8)
            throw ConvertError(QStringLiteral("'%1' is too large for a 32-bit value").arg(s));
        value = (value << 4) | quint32(digit);
    }
    return static_cast<qint32>(value);
}

QString IntToHexText(qint32 v, int minDigits) {
    QString text = QString::number(static_cast<quint32>(v), 16).toUpper();
    if (text.size() < minDigits)
        text.prepend(QString(minDigits - text.size(), QLatin1Char('0')));
    return text;
}

qint32 DecimalToInt(QStringView s) {
    const QStringView t = TrimBlanks(s);
    qsizetype i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == u'+' || t[i] == u'-')) {
        negative = t[i] == u'-';
        ++i;
    }
    if (i == t.size())
        throw ConvertError(QStringLiteral("'%1' is not a valid integer value").arg(s));
    qint64 value = 0;
    for (; i < t.size(); ++i) {
        const char16_t u = t[i].unicode();
        if (u < u'0' || u > u'9')
            throw ConvertError(QStringLiteral("'%1' is not a valid integer value").arg(s));
        value = value * 10 + (u - u'0');
        if (value > qint64(1) << 31)
            throw ConvertError(QStringLiteral("'%1' is not a valid integer value").arg(s));
    }
    if (negative)
        value = -value;
    if (value > 2147483647)
        throw ConvertError(QStringLiteral("'%1' is not a valid integer value").arg(s));
    return static_cast<qint32>(value);
}

double TextToFloat(QStringView s) {
    const QStringView t = TrimBlanks(s);
    // Only plain decimal notation: no "inf", "nan", hex floats or group separators.
    for (QChar c : t) {
        const char16_t u = c.unicode();
        if (!((u >= u'0' && u <= u'9') || u == u'.' || u == u'-' || u == u'+' || u == u'e' ||
              u == u'E'))
            throw ConvertError(QStringLiteral("'%1' is not a valid floating point value").arg(s));
    }
    bool ok = false;
    const double value = QLocale::c().toDouble(t, &ok);
    if (!ok || !std::isfinite(value))
        throw ConvertError(QStringLiteral("'%1' is not a valid floating point value").arg(s));
    return value;
}

QString FloatToText(double v) {
    if (v == 0.0)
        v = 0.0; // no "-0"
    return QString::number(v, 'g', 15);
}

QString ReverseHexBytes(QStringView s) {
    // Collect the pairs front to back with the same trimming the working-text
    // loop would do, then write them back to front.
    std::vector<QStringView> pairs;
    pairs.reserve(static_cast<size_t>(s.size() / 2 + 1));
    qsizetype begin = 0;
    qsizetype end = s.size();
    while (begin < end) {
        const qsizetype n = std::min<qsizetype>(2, end - begin);
        pairs.push_back(s.sliced(begin, n));
        begin += n;
        while (begin < end && IsBlank(s[begin]))
            ++begin;
        while (end > begin && IsBlank(s[end - 1]))
            --end;
    }
    QString out;
    out.reserve(s.size());
    for (auto it = pairs.rbegin(); it != pairs.rend(); ++it)
        out += *it;
    return out;
}
