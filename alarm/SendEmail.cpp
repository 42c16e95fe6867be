#include "SendEmail.h"

#include "MailMessage.h"

#include <QFile>
#include <QFileInfo>
#include <QSysInfo>
#include <QUuid>

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/socket.h>

namespace {

// libcurl's global set-up runs once per process, whichever thread mails first.
bool EnsureCurlGlobal() {
    static std::once_flag once;
    static CURLcode result = CURLE_FAILED_INIT;
    std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
    return result == CURLE_OK;
}

struct CurlEasyDeleter {
    void operator()(CURL *h) const { curl_easy_cleanup(h); }
};
struct CurlListDeleter {
    void operator()(curl_slist *l) const { curl_slist_free_all(l); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;
using CurlList = std::unique_ptr<curl_slist, CurlListDeleter>;

// The name we greet the server with (EHLO): this machine's host name when it
// is a plain DNS name.
QByteArray HeloName() {
    QByteArray helo = QSysInfo::machineHostName().toLatin1();
    for (const char c : helo) {
        const bool alnum =
            (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (!alnum && c != '.' && c != '-')
            return "localhost";
    }
    return helo.isEmpty() ? QByteArray("localhost") : helo;
}

// What one transfer learnt from the server, through the debug callback.
struct Exchange {
    bool authListed = false;  // the last EHLO reply carried an AUTH line
    bool loginListed = false; // ... and it named LOGIN
    QByteArray lastReply;     // the last reply line, for the failure reason
};

void NoteReplyLine(Exchange &ex, QByteArray line) {
    line = line.trimmed();
    if (line.isEmpty())
        return;
    ex.lastReply = line;
    // EHLO capability lines: "250-AUTH LOGIN PLAIN", "250 AUTH=LOGIN".
    if (line.size() < 4 || !line.startsWith("250") || (line[3] != '-' && line[3] != ' '))
        return;
    const QByteArray cap = line.mid(4).trimmed().toUpper();
    if (!cap.startsWith("AUTH") || (cap.size() > 4 && cap[4] != ' ' && cap[4] != '='))
        return;
    ex.authListed = true;
    for (const QByteArray &mech : cap.mid(5).simplified().split(' '))
        if (mech == "LOGIN")
            ex.loginListed = true;
}

int DebugCallback(CURL *, curl_infotype type, char *data, size_t size, void *user) {
    auto &ex = *static_cast<Exchange *>(user);
    const QByteArray text(data, static_cast<qsizetype>(size));
    if (type == CURLINFO_HEADER_OUT) {
        // A new greeting starts a new capability list (again after STARTTLS).
        if (text.startsWith("EHLO ")) {
            ex.authListed = false;
            ex.loginListed = false;
        }
    } else if (type == CURLINFO_HEADER_IN) {
        for (const QByteArray &line : text.split('\n'))
            NoteReplyLine(ex, line);
    }
    return 0;
}

struct Upload {
    const QByteArray *data = nullptr;
    qsizetype offset = 0;
};

size_t ReadCallback(char *buffer, size_t size, size_t count, void *user) {
    auto &up = *static_cast<Upload *>(user);
    const qsizetype room = static_cast<qsizetype>(size * count);
    const qsizetype n = std::min(room, up.data->size() - up.offset);
    if (n > 0) {
        std::memcpy(buffer, up.data->constData() + up.offset, static_cast<size_t>(n));
        up.offset += n;
    }
    return static_cast<size_t>(n);
}

struct Envelope {
    QByteArray from;
    QStringList recipients;
};

struct Outcome {
    CURLcode code = CURLE_FAILED_INIT;
    Exchange exchange;
    QByteArray error;
};

// The socket libcurl opened last for the exchange (CURLOPT_SOCKOPTFUNCTION).
int NoteSocket(void *user, curl_socket_t fd, curlsocktype) {
    *static_cast<curl_socket_t *>(user) = fd;
    return CURL_SOCKOPT_OK;
}

// Asked by libcurl while the exchange runs; non-zero aborts it.
int CancelCallback(void *user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto &options = *static_cast<const MailOptions *>(user);
    return options.cancelled() ? 1 : 0;
}

// Runs the exchange of the handle to its end. With a cancel check, it runs
// on a multi handle polled at most 100 ms at a time. A cancel is handed to
// libcurl through its progress callback, and the socket is shut down as
// well: libcurl then ends the exchange as failed at once, without the
// closing exchange (end of data, QUIT) that would wait for a server that
// does not answer.
CURLcode Perform(CURL *h, const MailOptions &options, const curl_socket_t &socket) {
    if (!options.cancelled)
        return curl_easy_perform(h);
    const std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)> multi(curl_multi_init(),
                                                                      curl_multi_cleanup);
    if (!multi || curl_multi_add_handle(multi.get(), h) != CURLM_OK)
        return CURLE_FAILED_INIT;
    CURLcode result = CURLE_OK;
    bool cut = false;
    int running = 1;
    while (running) {
        if (!cut && options.cancelled()) {
            cut = true;
            result = CURLE_ABORTED_BY_CALLBACK;
            if (socket != CURL_SOCKET_BAD)
                ::shutdown(socket, SHUT_RDWR);
        }
        if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
            result = CURLE_FAILED_INIT;
            break;
        }
        if (running && curl_multi_poll(multi.get(), nullptr, 0, 100, nullptr) != CURLM_OK) {
            result = CURLE_FAILED_INIT;
            break;
        }
    }
    int left = 0;
    while (CURLMsg *msg = curl_multi_info_read(multi.get(), &left))
        if (msg->msg == CURLMSG_DONE && msg->easy_handle == h && !cut)
            result = msg->data.result;
    curl_multi_remove_handle(multi.get(), h);
    return result;
}

// One SMTP session: connect, optionally log in, send, close.
Outcome Transfer(const mail::SmtpEndpoint &endpoint, const Envelope &envelope,
                 const QByteArray &message, const QString *user, const QString *password,
                 const MailOptions &options) {
    // Everything the handle points to is declared before it, so that the
    // handle is cleaned up first.
    Outcome out;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    Upload upload{&message, 0};
    const QByteArray from = '<' + envelope.from + '>';
    const QByteArray userBytes = user ? user->toUtf8() : QByteArray();
    const QByteArray passwordBytes = password ? password->toUtf8() : QByteArray();
    const QByteArray caFile = QFile::encodeName(options.caFile);

    CurlList rcpt;
    for (const QString &r : envelope.recipients) {
        curl_slist *next = curl_slist_append(rcpt.get(), ('<' + r.toLatin1() + '>').constData());
        if (!next) {
            out.error = "out of memory";
            return out;
        }
        (void)rcpt.release();
        rcpt.reset(next);
    }

    CurlEasy curl(curl_easy_init());
    if (!curl) {
        out.error = "curl_easy_init failed";
        return out;
    }
    CURL *h = curl.get();

    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_URL, endpoint.url.constData());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, static_cast<long>(options.connectTimeout.count()));
    curl_easy_setopt(h, CURLOPT_SERVER_RESPONSE_TIMEOUT,
                     static_cast<long>(options.replyTimeout.count()));
    // A stalled upload counts as a server that stopped answering.
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, static_cast<long>(options.replyTimeout.count()));

    curl_easy_setopt(h, CURLOPT_USE_SSL, endpoint.tls ? CURLUSESSL_ALL : CURLUSESSL_NONE);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    if (!caFile.isEmpty())
        curl_easy_setopt(h, CURLOPT_CAINFO, caFile.constData());

    if (user) {
        curl_easy_setopt(h, CURLOPT_USERNAME, userBytes.constData());
        curl_easy_setopt(h, CURLOPT_PASSWORD, passwordBytes.constData());
        curl_easy_setopt(h, CURLOPT_LOGIN_OPTIONS, "AUTH=LOGIN");
    }

    curl_easy_setopt(h, CURLOPT_MAIL_FROM, from.constData());
    curl_easy_setopt(h, CURLOPT_MAIL_RCPT, rcpt.get());
    curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(h, CURLOPT_READFUNCTION, ReadCallback);
    curl_easy_setopt(h, CURLOPT_READDATA, &upload);
    curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(message.size()));

    // The debug callback is how the server's EHLO reply is seen; verbose
    // output goes to it and nowhere else.
    curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, DebugCallback);
    curl_easy_setopt(h, CURLOPT_DEBUGDATA, &out.exchange);
    curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);

    curl_socket_t socket = CURL_SOCKET_BAD;
    if (options.cancelled) {
        curl_easy_setopt(h, CURLOPT_SOCKOPTFUNCTION, NoteSocket);
        curl_easy_setopt(h, CURLOPT_SOCKOPTDATA, &socket);
        curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, CancelCallback);
        curl_easy_setopt(h, CURLOPT_XFERINFODATA, &options);
        curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    }
    out.code = Perform(h, options, socket);
    if (out.code != CURLE_OK) {
        out.error =
            errorBuffer[0] ? QByteArray(errorBuffer) : QByteArray(curl_easy_strerror(out.code));
        if (!out.exchange.lastReply.isEmpty())
            out.error += " (server: " + out.exchange.lastReply + ')';
    }
    return out;
}

bool Fail(const MailOptions &options, const QString &reason) {
    if (options.failureReason)
        *options.failureReason = reason;
    return false;
}

QByteArray AttachmentType(const QString &fileName, const QString &charset) {
    if (QFileInfo(fileName).suffix().compare(QLatin1String("txt"), Qt::CaseInsensitive) != 0)
        return "application/octet-stream";
    QByteArray type = "text/plain";
    bool safe = !charset.isEmpty();
    for (QChar c : charset)
        safe = safe && (c.isLetterOrNumber() || c == QLatin1Char('-') || c == QLatin1Char('_')) &&
               c.unicode() < 0x80;
    if (safe)
        type += "; charset=" + charset.toLatin1();
    return type;
}

bool SendEmailImpl(const QString &SmtpHost, const QString &EncryptType, const QString &SendUsername,
                   const QString &SendPassword, const QString &RecUsername,
                   const QString &EmailSubject, const QString &EmailContent,
                   const QString &AttachmentPath, const QString &EmailCcList,
                   const QString &EmailBCcList, bool Receipt, const MailOptions &options) {
    if (!EnsureCurlGlobal())
        return Fail(options, QStringLiteral("libcurl could not be initialised"));
    const std::optional<mail::SmtpEndpoint> endpoint =
        mail::ParseSmtpEndpoint(SmtpHost, EncryptType, HeloName());
    if (!endpoint)
        return Fail(options, QStringLiteral("unusable SMTP host: ") + SmtpHost);

    const QString sender = SendUsername.trimmed();
    if (!sender.isEmpty() && !mail::IsSafeAddress(sender))
        return Fail(options, QStringLiteral("unusable sender address: ") + sender);

    const QStringList to = mail::SplitAddressList(RecUsername);
    const QStringList cc = mail::SplitAddressList(EmailCcList);
    const QStringList bcc = mail::SplitAddressList(EmailBCcList);
    Envelope envelope;
    envelope.from = sender.toLatin1();
    for (const QStringList *list : {&to, &cc, &bcc})
        for (const QString &address : *list) {
            if (!mail::IsSafeAddress(address))
                return Fail(options, QStringLiteral("unusable recipient address: ") + address);
            if (!envelope.recipients.contains(address, Qt::CaseInsensitive))
                envelope.recipients.append(address);
        }
    if (envelope.recipients.isEmpty())
        return Fail(options, QStringLiteral("no recipient"));

    mail::MailContent content;
    content.from = sender;
    content.to = to;
    content.cc = cc;
    content.subject = EmailSubject;
    content.body = EmailContent;
    content.receipt = Receipt;
    content.date = QDateTime::currentDateTime();
    const qsizetype at = sender.lastIndexOf(QLatin1Char('@'));
    QString domain = at >= 0 ? sender.mid(at + 1) : QString();
    if (domain.isEmpty())
        domain = QStringLiteral("localhost");
    content.messageId =
        QUuid::createUuid().toString(QUuid::WithoutBraces) + QLatin1Char('@') + domain;

    if (!AttachmentPath.isEmpty()) {
        QFile file(AttachmentPath);
        if (!file.open(QIODevice::ReadOnly))
            return Fail(options, QStringLiteral("cannot read attachment ") + AttachmentPath);
        mail::MailAttachment attachment;
        attachment.fileName = QFileInfo(AttachmentPath).fileName();
        if (attachment.fileName.isEmpty())
            attachment.fileName = QStringLiteral("attachment");
        attachment.data = file.readAll();
        if (file.error() != QFileDevice::NoError)
            return Fail(options, QStringLiteral("cannot read attachment ") + AttachmentPath);
        attachment.contentType = AttachmentType(attachment.fileName, options.attachmentCharset);
        content.attachment = std::move(attachment);
    }
    const QByteArray message = mail::BuildMessage(content);

    const bool login = !sender.isEmpty();
    Outcome outcome = login
                          ? Transfer(*endpoint, envelope, message, &sender, &SendPassword, options)
                          : Transfer(*endpoint, envelope, message, nullptr, nullptr, options);
    // libcurl refuses to go on when the server offers AUTH but not LOGIN;
    // such a server gets the mail without a login, as one with no AUTH does.
    if (login && outcome.code == CURLE_LOGIN_DENIED && outcome.exchange.authListed &&
        !outcome.exchange.loginListed)
        outcome = Transfer(*endpoint, envelope, message, nullptr, nullptr, options);
    if (outcome.code != CURLE_OK)
        return Fail(options, QString::fromUtf8(outcome.error));
    return true;
}

} // namespace

bool SendEmail(const QString &SmtpHost, const QString &EncryptType, const QString &SendUsername,
               const QString &SendPassword, const QString &RecUsername, const QString &EmailSubject,
               const QString &EmailContent, const QString &AttachmentPath,
               const QString &EmailCcList, const QString &EmailBCcList, bool Receipt,
               const MailOptions &options) {
    try {
        return SendEmailImpl(SmtpHost, EncryptType, SendUsername, SendPassword, RecUsername,
                             EmailSubject, EmailContent, AttachmentPath, EmailCcList, EmailBCcList,
                             Receipt, options);
    } catch (const std::exception &e) {
        return Fail(options, QString::fromUtf8(e.what()));
    } catch (...) {
        return Fail(options, QStringLiteral("unexpected failure"));
    }
}
