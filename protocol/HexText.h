// Small text helpers shared by the codec: trimming, 1-based copies, and the
// number readings and writings every packet field relies on.
//
// All of them are total: any input gives a result or a ConvertError, never an
// out-of-bounds read.
#pragma once

#include <QString>
#include <QStringView>

#include <initializer_list>

// The parts joined into one text.
QString Concat(std::initializer_list<QStringView> parts);

// Blanks and control characters, as trimmed at both ends of working texts.
constexpr bool IsBlank(QChar c) {
    return c.unicode() <= 0x20;
}

// The text without blanks and control characters at either end.
QStringView TrimBlanks(QStringView s);

// count characters of s from the 1-based position index, clipped to the text:
// a position past the end or a count of 0 or less gives the empty text, and a
// position before the first character counts from the first character.
QStringView CopyText(QStringView s, qsizetype index, qsizetype count);

// Value of one hexadecimal digit (either case), -1 for any other character.
constexpr int HexDigitValue(QChar c) {
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    return -1;
}

// "Read as hex": up to 8 significant hexadecimal digits (leading zeros are
// free) giving the 32-bit two's-complement value, so FFFFFFFF is -1. Throws
// ConvertError for an empty text, a character that is not a hex digit or more
// than 8 significant digits.
qint32 HexToInt(QStringView s);

// The unsigned 32-bit value of v in upper-case hex, padded with "0" on the
// left to at least minDigits digits (-2 gives FFFFFFFE).
QString IntToHexText(qint32 v, int minDigits);

// A decimal integer (optional sign, digits, surrounding blanks allowed) in
// -2147483648 .. 2147483647. Throws ConvertError otherwise.
qint32 DecimalToInt(QStringView s);

// A finite decimal number with "." as decimal separator and an optional
// exponent, surrounding blanks allowed. Throws ConvertError otherwise.
double TextToFloat(QStringView s);

// The decimal text of a number in the general form with 15 significant
// digits and no trailing zeros ("100.3", "2", "1e+20").
QString FloatToText(double v);

// Byte order reversal of a hex text: pairs are taken from the front (blanks
// and control characters at both ends of the rest are dropped after each
// pair) and written in the opposite order. An odd text ends with its last
// single character moved to the front.
QString ReverseHexBytes(QStringView s);
