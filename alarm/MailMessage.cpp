#include "MailMessage.h"

#include <QUuid>

namespace mail {

namespace {

constexpr qsizetype kBase64LineLength = 76;
// An encoded word is at most 75 characters: "=?UTF-8?B?" + base64 + "?=".
// 45 bytes of UTF-8 give 60 characters of base64, 72 in all.
constexpr qsizetype kEncodedWordBytes = 45;
// Longer plain header texts are encoded (and so folded) to keep every line
// well below the 998-character limit.
constexpr qsizetype kPlainHeaderLimit = 900;
constexpr qsizetype kMaxLineLength = 998;

bool IsPrintableAscii(QChar c) {
    return c.unicode() >= 0x20 && c.unicode() <= 0x7E;
}

QString WithoutLineBreaks(QString text) {
    for (QChar &c : text)
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n') || c == QLatin1Char('\t'))
            c = QLatin1Char(' ');
    return text;
}

// Base64 in lines of 76 characters, each ended by CRLF.
QByteArray WrappedBase64(const QByteArray &data) {
    const QByteArray b64 = data.toBase64();
    QByteArray out;
    out.reserve(b64.size() + b64.size() / kBase64LineLength * 2 + 2);
    for (qsizetype i = 0; i < b64.size(); i += kBase64LineLength) {
        out += b64.mid(i, kBase64LineLength);
        out += "\r\n";
    }
    return out;
}

// Encoded words of at most kEncodedWordBytes UTF-8 bytes each, never
// splitting a character.
QList<QByteArray> EncodedWords(const QString &text) {
    QList<QByteArray> words;
    QByteArray chunk;
    auto flush = [&] {
        if (!chunk.isEmpty())
            words.append("=?UTF-8?B?" + chunk.toBase64() + "?=");
        chunk.clear();
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        qsizetype len = 1;
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            len = 2;
        const QByteArray bytes = text.mid(i, len).toUtf8();
        if (chunk.size() + bytes.size() > kEncodedWordBytes)
            flush();
        chunk += bytes;
        i += len - 1;
    }
    flush();
    return words;
}

// A quoted-string body: backslash before quote and backslash.
QByteArray Quoted(const QString &ascii) {
    QByteArray out = "\"";
    for (QChar c : ascii) {
        if (c == QLatin1Char('"') || c == QLatin1Char('\\'))
            out += '\\';
        out += static_cast<char>(c.unicode());
    }
    out += '"';
    return out;
}

// RFC 2231 value: UTF-8 with every byte outside attr-char percent-encoded.
QByteArray PercentEncoded2231(const QString &text) {
    static const QByteArray attrChars = "!#$&+-.^_`|~";
    QByteArray out;
    for (const char ch : text.toUtf8()) {
        const auto b = static_cast<unsigned char>(ch);
        const bool alnum =
            (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
        if (alnum || attrChars.contains(static_cast<char>(b))) {
            out += static_cast<char>(b);
        } else {
            out += '%';
            out += QByteArray::number(b, 16).rightJustified(2, '0').toUpper();
        }
    }
    return out;
}

// CRLF line ends whatever the text used.
QString CrlfText(QString text) {
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    text.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
    return text;
}

// The body part's headers and content: 7bit when it is plain ASCII in short
// lines, else base64 of UTF-8.
QByteArray TextPart(const QString &body) {
    const QString text = CrlfText(body);
    bool plain = true;
    qsizetype lineLength = 0;
    for (QChar c : text) {
        if (c == QLatin1Char('\r'))
            continue;
        if (c == QLatin1Char('\n')) {
            lineLength = 0;
            continue;
        }
        if (!IsPrintableAscii(c) && c != QLatin1Char('\t')) {
            plain = false;
            break;
        }
        if (++lineLength > kMaxLineLength) {
            plain = false;
            break;
        }
    }
    QByteArray out = "Content-Type: text/plain; charset=UTF-8\r\n";
    if (plain) {
        out += "Content-Transfer-Encoding: 7bit\r\n\r\n";
        out += text.toLatin1();
        if (!text.endsWith(QLatin1String("\r\n")))
            out += "\r\n";
    } else {
        out += "Content-Transfer-Encoding: base64\r\n\r\n";
        out += WrappedBase64(text.toUtf8());
    }
    return out;
}

QByteArray AddressHeader(const char *name, const QStringList &addresses) {
    QByteArray out = name;
    out += ": ";
    for (qsizetype i = 0; i < addresses.size(); ++i) {
        if (i > 0)
            out += ",\r\n ";
        out += addresses[i].toLatin1();
    }
    out += "\r\n";
    return out;
}

} // namespace

std::optional<SmtpEndpoint> ParseSmtpEndpoint(const QString &smtpHost, const QString &encryptType,
                                              const QByteArray &heloName) {
    QString host = smtpHost.trimmed();
    int port = 25;
    QByteArray scheme = "smtp";
    SmtpEndpoint endpoint;
    if (encryptType == QLatin1String("SSL")) {
        port = 465;
        scheme = "smtps";
        endpoint.tls = true;
    } else if (encryptType == QLatin1String("TLS")) {
        port = 587;
        endpoint.tls = true;
    }

    QString portText;
    if (host.startsWith(QLatin1Char('['))) {
        const qsizetype close = host.indexOf(QLatin1Char(']'));
        if (close < 0)
            return std::nullopt;
        const QString rest = host.mid(close + 1);
        if (!rest.isEmpty()) {
            if (!rest.startsWith(QLatin1Char(':')))
                return std::nullopt;
            portText = rest.mid(1);
        }
        host = host.left(close + 1);
        for (QChar c : host.mid(1, host.size() - 2))
            if (!(c.isDigit() ||
                  (c.toLower() >= QLatin1Char('a') && c.toLower() <= QLatin1Char('f')) ||
                  c == QLatin1Char(':') || c == QLatin1Char('.')))
                return std::nullopt;
        if (host.size() < 3)
            return std::nullopt;
    } else {
        const qsizetype colon = host.indexOf(QLatin1Char(':'));
        if (colon >= 0) {
            portText = host.mid(colon + 1);
            host = host.left(colon);
        }
        if (host.isEmpty())
            return std::nullopt;
        for (QChar c : host)
            if (!(c.isLetterOrNumber() || c == QLatin1Char('.') || c == QLatin1Char('-') ||
                  c == QLatin1Char('_')))
                return std::nullopt;
    }
    if (!portText.isNull()) {
        bool ok = false;
        port = portText.toInt(&ok);
        if (!ok || port < 1 || port > 65535)
            return std::nullopt;
    }

    endpoint.url = scheme + "://" + host.toUtf8() + ':' + QByteArray::number(port) + '/' + heloName;
    return endpoint;
}

QByteArray EncodeHeaderText(const QString &rawText) {
    const QString text = WithoutLineBreaks(rawText);
    bool plain = text.size() <= kPlainHeaderLimit && !text.contains(QLatin1String("=?"));
    for (QChar c : text)
        plain = plain && IsPrintableAscii(c);
    if (plain)
        return text.toLatin1();
    return EncodedWords(text).join("\r\n ");
}

QByteArray RfcDate(const QDateTime &when) {
    static const char *const days[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const QDate d = when.date();
    const QTime t = when.time();
    const int offsetMinutes = when.offsetFromUtc() / 60;
    const int absOffset = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    return QStringLiteral("%1, %2 %3 %4 %5:%6:%7 %8%9%10")
        .arg(QLatin1String(days[d.dayOfWeek() - 1]))
        .arg(d.day(), 2, 10, QLatin1Char('0'))
        .arg(QLatin1String(months[d.month() - 1]))
        .arg(d.year(), 4, 10, QLatin1Char('0'))
        .arg(t.hour(), 2, 10, QLatin1Char('0'))
        .arg(t.minute(), 2, 10, QLatin1Char('0'))
        .arg(t.second(), 2, 10, QLatin1Char('0'))
        .arg(offsetMinutes < 0 ? QLatin1Char('-') : QLatin1Char('+'))
        .arg(absOffset / 60, 2, 10, QLatin1Char('0'))
        .arg(absOffset % 60, 2, 10, QLatin1Char('0'))
        .toLatin1();
}

QByteArray AttachmentHeaders(const QString &fileName, const QByteArray &contentType) {
    bool plain = !fileName.isEmpty();
    for (QChar c : fileName)
        plain = plain && IsPrintableAscii(c);
    QByteArray out = "Content-Type: " + contentType + ";\r\n name=";
    if (plain) {
        out += Quoted(fileName);
        out += "\r\nContent-Transfer-Encoding: base64\r\n";
        out += "Content-Disposition: attachment;\r\n filename=" + Quoted(fileName) + "\r\n";
    } else {
        out += '"' + EncodedWords(WithoutLineBreaks(fileName)).join(' ') + '"';
        out += "\r\nContent-Transfer-Encoding: base64\r\n";
        out += "Content-Disposition: attachment;\r\n filename*=UTF-8''" +
               PercentEncoded2231(fileName) + "\r\n";
    }
    return out;
}

QStringList SplitAddressList(const QString &list) {
    QStringList out;
    for (const QString &part : list.split(QLatin1Char(','))) {
        const QString address = part.trimmed();
        if (!address.isEmpty())
            out.append(address);
    }
    return out;
}

bool IsSafeAddress(const QString &address) {
    static const QString forbidden = QStringLiteral("<>(),;:\"\\");
    if (address.isEmpty() || address.size() > 254)
        return false;
    for (QChar c : address)
        if (c.unicode() <= 0x20 || c.unicode() >= 0x7F || forbidden.contains(c))
            return false;
    return true;
}

QByteArray BuildMessage(const MailContent &content) {
    QByteArray head;
    if (!content.from.isEmpty())
        head += "From: " + content.from.toLatin1() + "\r\n";
    if (!content.to.isEmpty())
        head += AddressHeader("To", content.to);
    if (!content.cc.isEmpty())
        head += AddressHeader("Cc", content.cc);
    if (!content.subject.isEmpty())
        head += "Subject: " + EncodeHeaderText(content.subject) + "\r\n";
    head += "Date: " + RfcDate(content.date) + "\r\n";
    head += "Message-ID: <" + content.messageId.toLatin1() + ">\r\n";
    head += "X-Priority: 2\r\n";
    if (content.receipt && !content.from.isEmpty()) {
        head += "Disposition-Notification-To: " + content.from.toLatin1() + "\r\n";
        head += "Return-Receipt-To: " + content.from.toLatin1() + "\r\n";
    }
    head += "MIME-Version: 1.0\r\n";

    if (!content.attachment)
        return head + TextPart(content.body);

    QByteArray parts;
    if (!content.body.isEmpty())
        parts.append(TextPart(content.body));
    const MailAttachment &file = *content.attachment;
    QByteArray filePart = AttachmentHeaders(file.fileName, file.contentType);
    filePart += "\r\n";
    filePart += WrappedBase64(file.data);

    QByteArray boundary;
    do {
        boundary = "=_mms_" + QUuid::createUuid().toRfc4122().toHex();
    } while (parts.contains(boundary));

    QByteArray out = head;
    out += "Content-Type: multipart/mixed;\r\n boundary=\"" + boundary + "\"\r\n\r\n";
    out += "This is a multi-part message in MIME format.\r\n";
    if (!parts.isEmpty())
        out += "\r\n--" + boundary + "\r\n" + parts;
    out += "\r\n--" + boundary + "\r\n" + filePart;
    out += "\r\n--" + boundary + "--\r\n";
    return out;
}

} // namespace mail
