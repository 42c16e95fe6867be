#include "WebHttp.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QUrl>

TWebResponse TWebResponse::Json(const QJsonValue &value, int status) {
    TWebResponse r;
    r.status = status;
    r.contentType = QByteArrayLiteral("application/json");
    if (value.isObject())
        r.body = QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
    else if (value.isArray())
        r.body = QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact);
    else
        r.body = QByteArrayLiteral("null");
    return r;
}

TWebResponse TWebResponse::Error(int status, const QString &message) {
    return Json(QJsonObject{{QStringLiteral("error"), message}}, status);
}

QByteArray StatusText(int status) {
    switch (status) {
    case 101:
        return "Switching Protocols";
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 409:
        return "Conflict";
    case 413:
        return "Payload Too Large";
    case 414:
        return "URI Too Long";
    case 415:
        return "Unsupported Media Type";
    case 429:
        return "Too Many Requests";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Unknown";
    }
}

QByteArray ContentSecurityPolicy() {
    return QByteArrayLiteral("default-src 'self'; script-src 'self'; style-src 'self'; "
                             "img-src 'self' data:; connect-src 'self'; object-src 'none'; "
                             "base-uri 'none'; form-action 'self'; frame-ancestors 'none'");
}

QByteArray SerializeResponse(const TWebResponse &response, bool tls, bool head, bool close) {
    QByteArray out;
    out.reserve(512 + response.body.size());
    out += "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + StatusText(response.status) +
           "\r\n";
    const auto header = [&out](const QByteArray &name, const QByteArray &value) {
        out += name + ": " + value + "\r\n";
    };
    if (!response.contentType.isEmpty())
        header("Content-Type", response.contentType);
    header("Content-Length", QByteArray::number(response.body.size()));
    header("Content-Security-Policy", ContentSecurityPolicy());
    header("X-Content-Type-Options", "nosniff");
    header("Referrer-Policy", "no-referrer");
    header("X-Frame-Options", "DENY");
    header("Cross-Origin-Opener-Policy", "same-origin");
    header("Cross-Origin-Resource-Policy", "same-origin");
    if (tls)
        header("Strict-Transport-Security", "max-age=31536000");
    bool cacheSet = false;
    for (const auto &[name, value] : response.headers) {
        header(name, value);
        cacheSet = cacheSet || name.compare("Cache-Control", Qt::CaseInsensitive) == 0;
    }
    if (!cacheSet)
        header("Cache-Control", "no-store");
    if (close)
        header("Connection", "close");
    out += "\r\n";
    if (!head)
        out += response.body;
    return out;
}

QByteArray CookieValue(const QByteArray &cookieHeader, const QByteArray &name) {
    // "a=1; b=2": pairs split by ';', surrounding blanks ignored; the first
    // pair of that name wins.
    for (const QByteArray &part : cookieHeader.split(';')) {
        const QByteArray pair = part.trimmed();
        const qsizetype eq = pair.indexOf('=');
        if (eq <= 0)
            continue;
        if (pair.left(eq).trimmed() == name)
            return pair.mid(eq + 1).trimmed();
    }
    return {};
}

QByteArray SessionCookie(const QByteArray &name, const QByteArray &token, bool tls) {
    QByteArray cookie = name + '=' + token + "; Path=/; HttpOnly; SameSite=Strict";
    if (token.isEmpty())
        cookie += "; Max-Age=0";
    if (tls)
        cookie += "; Secure";
    return cookie;
}

bool SameOrigin(const QByteArray &origin, const QByteArray &host, bool tls) {
    if (origin.isEmpty() || host.isEmpty() || host.size() > 255)
        return false;
    const QUrl url(QString::fromLatin1(origin), QUrl::StrictMode);
    if (!url.isValid() || !url.path().isEmpty() || url.hasQuery() || url.hasFragment() ||
        !url.userInfo().isEmpty())
        return false;
    const QString scheme = tls ? QStringLiteral("https") : QStringLiteral("http");
    if (url.scheme() != scheme)
        return false;
    // The origin's host[:port] as the browser wrote it must be the Host header.
    const QString authority = url.authority(QUrl::FullyEncoded);
    return authority.compare(QString::fromLatin1(host), Qt::CaseInsensitive) == 0;
}

std::optional<QJsonObject> ParseJsonObject(const QByteArray &body, QString *error) {
    const auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return std::nullopt;
    };
    if (body.size() > TWebRequestLimits::MaxBody)
        return fail(QStringLiteral("the body is too large"));
    QJsonParseError parseError{};
    const QJsonDocument doc = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return fail(QStringLiteral("the body is not JSON: ") + parseError.errorString());
    if (!doc.isObject())
        return fail(QStringLiteral("the body is not a JSON object"));
    return doc.object();
}

std::optional<QString> TextMember(const QJsonObject &object, const QString &key) {
    const QJsonValue v = object.value(key);
    if (!v.isString())
        return std::nullopt;
    QString text = v.toString();
    if (text.size() > TWebRequestLimits::MaxText)
        return std::nullopt;
    return text;
}
