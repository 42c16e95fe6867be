// The HTTP pieces of the web console that know no socket: a response and
// its bytes with the headers every answer carries, the cookie and origin
// checks, and the defensive reading of a JSON body. Each function takes
// arbitrary input and never fails other than by its return value.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>
#include <utility>
#include <vector>

struct TWebResponse {
    int status = 200;
    QByteArray contentType;
    QByteArray body;
    std::vector<std::pair<QByteArray, QByteArray>> headers; // beyond the usual ones

    static TWebResponse Json(const QJsonValue &value, int status = 200);
    // {"error": message}
    static TWebResponse Error(int status, const QString &message);
};

// Limits of what a request may be.
struct TWebRequestLimits {
    static constexpr qsizetype MaxBody = 64 * 1024;      // an API body
    static constexpr qsizetype MaxRequest = 1024 * 1024; // a whole request on the wire
    static constexpr qsizetype MaxHeaders = 64;          // header lines
    static constexpr qsizetype MaxUrl = 4096;            // the request target
    static constexpr qsizetype MaxText = 256;            // a name or password in a body
    // The body of an account file import (the file in base64 within JSON).
    static constexpr qsizetype MaxImportBody = 768 * 1024;
};

// The reason phrase of a status code ("Unknown" for codes not listed).
QByteArray StatusText(int status);

// The response's bytes: status line, the security headers every answer
// carries (the content security policy, nosniff, no referrer, no framing,
// no caching of API answers), Content-Length, and the body unless `head`.
// `tls` adds Strict-Transport-Security; `close` asks the client to close.
QByteArray SerializeResponse(const TWebResponse &response, bool tls, bool head, bool close);

// The policy: the console's own files only, no inline script, no framing.
QByteArray ContentSecurityPolicy();

// The value of the named cookie in a Cookie header; empty when absent.
QByteArray CookieValue(const QByteArray &cookieHeader, const QByteArray &name);

// The Set-Cookie value of a session cookie (HttpOnly, SameSite=Strict,
// Path=/, Secure under TLS); an empty token clears the cookie.
QByteArray SessionCookie(const QByteArray &name, const QByteArray &token, bool tls);

// True when the Origin header names the scheme and host the request was
// sent to (the Host header): a page of this console, not of another site.
bool SameOrigin(const QByteArray &origin, const QByteArray &host, bool tls);

// The body as a JSON object; nothing (and the reason in `error`) when it is
// not one or is larger than MaxBody.
std::optional<QJsonObject> ParseJsonObject(const QByteArray &body, QString *error);

// A string member of at most MaxText characters; nothing when missing, of
// another type or too long.
std::optional<QString> TextMember(const QJsonObject &object, const QString &key);
