// Alert and password e-mail over SMTP (libcurl on OpenSSL).
//
// SendEmail blocks its caller for the whole SMTP exchange and may be called
// from any thread at the same time; it keeps no state between calls.
#pragma once

#include <QString>

#include <chrono>
#include <functional>

// Settings of one send that the SMTP account settings do not carry.
struct MailOptions {
    // PEM file of the certificate authorities to trust instead of the system
    // store. Server certificates are always verified, host name included.
    QString caFile;
    // Name of the 8-bit code page a text attachment (".txt") is written in;
    // declared as its charset. Empty: no charset is declared.
    QString attachmentCharset;
    // Time allowed to open the TCP connection (and the TLS handshake of "SSL").
    std::chrono::seconds connectTimeout{10};
    // Time allowed for each server reply, and for a stalled upload.
    std::chrono::seconds replyTimeout{30};
    // When set, receives a short reason whenever the result is false (for
    // logs and tests; never holds the password).
    QString *failureReason = nullptr;
    // When set, asked about every 100 ms during the exchange; true cuts the
    // exchange off at once and the send fails ("cancelled").
    std::function<bool()> cancelled;
};

// Sends one mail and returns true when the server accepted it.
//
// SmtpHost is a host name or address, optionally followed by ":port"
// ("[v6-address]:port" for IPv6); without a port the security mode picks it.
// EncryptType, compared exactly:
//   "SSL"  port 465, TLS from the first byte (smtps);
//   "TLS"  port 587, STARTTLS required (nothing is sent when the server does
//          not offer it);
//   else   port 25, no TLS ("Auto" and anything else).
// When SendUsername is not empty and the server lists LOGIN among its AUTH
// mechanisms the client logs in with AUTH LOGIN; otherwise it sends without
// logging in. SendUsername is also the sender address.
// RecUsername, EmailCcList and EmailBCcList are comma-separated addresses;
// blind copies go to the envelope only. AttachmentPath, when not empty, names
// a file attached under its own name; a file that cannot be read fails the
// send. Receipt asks for a read receipt to SendUsername. The mail carries
// "X-Priority: 2".
//
// Never throws; any failure (bad address or host text, no connection, TLS
// failure, refused login, sender or recipient) gives false.
bool SendEmail(const QString &SmtpHost, const QString &EncryptType, const QString &SendUsername,
               const QString &SendPassword, const QString &RecUsername, const QString &EmailSubject,
               const QString &EmailContent, const QString &AttachmentPath,
               const QString &EmailCcList, const QString &EmailBCcList, bool Receipt,
               const MailOptions &options = {});
