// Building blocks of SendEmail: the server URL and the Internet message
// text (RFC 5322 with MIME). Pure text work: no network, no files.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>

namespace mail {

struct SmtpEndpoint {
    QByteArray url;   // scheme://host:port/helo-name, for libcurl
    bool tls = false; // TLS required (implicit for smtps, STARTTLS for smtp)
};

// The server URL for a host text and a security mode. The host text is a
// name or address with an optional ":port" ("[v6]:port" for IPv6); the mode
// ("SSL" 465 smtps, "TLS" 587 STARTTLS, anything else 25 plain) gives the
// default port. nullopt when the host text holds anything that could change
// the URL's meaning (paths, user parts, blanks) or a bad port.
std::optional<SmtpEndpoint> ParseSmtpEndpoint(const QString &smtpHost, const QString &encryptType,
                                              const QByteArray &heloName);

struct MailAttachment {
    QString fileName;       // shown to the reader; may hold any characters
    QByteArray contentType; // e.g. "text/plain; charset=GB18030"
    QByteArray data;        // sent byte for byte (base64)
};

struct MailContent {
    QString from;    // sender address; no From header when empty
    QStringList to;  // plain addresses, already checked with IsSafeAddress
    QStringList cc;  // plain addresses, already checked with IsSafeAddress
    QString subject; // any text; line breaks become blanks
    QString body;    // any text; sent as text/plain in UTF-8
    std::optional<MailAttachment> attachment;
    bool receipt = false; // read receipt requested to `from`
    QDateTime date;       // the Date header
    QString messageId;    // without angle brackets, e.g. "uuid@example.com"
};

// The whole message, CRLF line ends, ready for the SMTP DATA phase (the
// transport adds dot-stuffing). Bcc never appears in it.
QByteArray BuildMessage(const MailContent &content);

// A header value: the text itself when it is short printable ASCII,
// otherwise RFC 2047 encoded words (UTF-8, base64) of at most 75 characters,
// folded onto continuation lines. Line breaks in the text become blanks.
QByteArray EncodeHeaderText(const QString &text);

// The RFC 5322 date text, English names whatever the locale, e.g.
// "Tue, 05 Mar 2024 08:30:15 +0100".
QByteArray RfcDate(const QDateTime &when);

// Content-Type name and Content-Disposition filename parameters for a file
// name: quoted ASCII when possible, else RFC 2231 (filename*=UTF-8''...) plus
// an RFC 2047 name for older readers.
QByteArray AttachmentHeaders(const QString &fileName, const QByteArray &contentType);

// Splits a comma-separated address list, trims the parts and drops empty
// ones. The parts are taken as they are (no "Name <addr>" forms).
QStringList SplitAddressList(const QString &list);

// True for an address that can stand in an SMTP envelope and a header as it
// is: printable ASCII, no blanks, no angle brackets, commas, quotes or
// semicolons, at most 254 characters.
bool IsSafeAddress(const QString &address);

} // namespace mail
