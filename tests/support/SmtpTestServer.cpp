#include "SmtpTestServer.h"

#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

namespace mmstest {

namespace {

QString ModeName(SmtpTestServer::Mode mode) {
    switch (mode) {
    case SmtpTestServer::Mode::Auth:
        return QStringLiteral("auth");
    case SmtpTestServer::Mode::PlainOnly:
        return QStringLiteral("plain-only");
    case SmtpTestServer::Mode::NoAuth:
        return QStringLiteral("noauth");
    case SmtpTestServer::Mode::StartTls:
        return QStringLiteral("starttls");
    case SmtpTestServer::Mode::ImplicitTls:
        return QStringLiteral("implicit");
    }
    return {};
}

SmtpTestServer::Message ReadMessage(const QByteArray &json) {
    SmtpTestServer::Message m;
    const QJsonObject o = QJsonDocument::fromJson(json).object();
    m.mailFrom = o.value(QLatin1String("mail_from")).toString();
    for (const QJsonValue &r : o.value(QLatin1String("rcpt_tos")).toArray())
        m.rcptTos.append(r.toString());
    m.authUser = o.value(QLatin1String("auth_user")).toString();
    m.authMechanism = o.value(QLatin1String("auth_mechanism")).toString();
    m.tls = o.value(QLatin1String("tls")).toBool();
    m.raw = QByteArray::fromBase64(o.value(QLatin1String("data_b64")).toString().toLatin1());
    for (const QJsonValue &h : o.value(QLatin1String("headers")).toArray()) {
        const QJsonArray pair = h.toArray();
        m.headers.emplace_back(pair.at(0).toString(), pair.at(1).toString());
    }
    m.subject = o.value(QLatin1String("subject")).toString();
    m.body = o.value(QLatin1String("body")).toString();
    for (const QJsonValue &a : o.value(QLatin1String("attachments")).toArray()) {
        const QJsonObject ao = a.toObject();
        SmtpTestServer::Attachment att;
        att.fileName = ao.value(QLatin1String("filename")).toString();
        att.contentType = ao.value(QLatin1String("content_type")).toString();
        att.charset = ao.value(QLatin1String("charset")).toString();
        att.data =
            QByteArray::fromBase64(ao.value(QLatin1String("data_b64")).toString().toLatin1());
        m.attachments.push_back(att);
    }
    return m;
}

QString Unfolded(QString value) {
    value.replace(QLatin1String("\r\n"), QString());
    value.replace(QLatin1Char('\n'), QString());
    return value;
}

} // namespace

std::optional<QString> SmtpTestServer::Message::Header(const QString &name) const {
    for (const auto &[key, value] : headers)
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return Unfolded(value);
    return std::nullopt;
}

int SmtpTestServer::Message::HeaderCount(const QString &name) const {
    int n = 0;
    for (const auto &[key, value] : headers)
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            ++n;
    return n;
}

SmtpTestServer::SmtpTestServer(Mode mode, QString user, QString password)
    : mode_(mode), user_(std::move(user)), password_(std::move(password)) {}

SmtpTestServer::~SmtpTestServer() {
    Stop();
}

QString SmtpTestServer::CaFile() const {
    return dir_.filePath(QStringLiteral("cert.pem"));
}

QString SmtpTestServer::MailboxDir() const {
    return dir_.filePath(QStringLiteral("mailbox"));
}

bool SmtpTestServer::MakeCertificate() {
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                   QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-days"),
                   QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/CN=localhost"),
                   QStringLiteral("-addext"),
                   QStringLiteral("subjectAltName=DNS:localhost,IP:127.0.0.1"),
                   QStringLiteral("-keyout"), dir_.filePath(QStringLiteral("key.pem")),
                   QStringLiteral("-out"), CaFile()});
    if (!openssl.waitForFinished(60000) || openssl.exitStatus() != QProcess::NormalExit ||
        openssl.exitCode() != 0) {
        error_ = QStringLiteral("openssl req failed: ") +
                 QString::fromUtf8(openssl.readAllStandardError());
        return false;
    }
    return true;
}

bool SmtpTestServer::Start(std::chrono::milliseconds timeout) {
    if (!dir_.isValid()) {
        error_ = QStringLiteral("no temporary folder");
        return false;
    }
    QDir().mkpath(MailboxDir());
    if (!MakeCertificate())
        return false;

    const QString script = SourceDir() + QStringLiteral("/tests/support/smtp_server.py");
    // A port found free may be taken before the server binds it: try a few.
    for (int attempt = 0; attempt < 3; ++attempt) {
        port_ = FreeTcpPort();
        process_.setProcessChannelMode(QProcess::SeparateChannels);
        process_.start(QStringLiteral("/usr/bin/python3"),
                       {script, QStringLiteral("--port"), QString::number(port_),
                        QStringLiteral("--mailbox"), MailboxDir(), QStringLiteral("--mode"),
                        ModeName(mode_), QStringLiteral("--cert"), CaFile(),
                        QStringLiteral("--key"), dir_.filePath(QStringLiteral("key.pem")),
                        QStringLiteral("--user"), user_, QStringLiteral("--password"), password_});
        if (!process_.waitForStarted(10000)) {
            error_ = QStringLiteral("cannot start /usr/bin/python3: ") + process_.errorString();
            return false;
        }
        QElapsedTimer timer;
        timer.start();
        QByteArray out;
        while (timer.elapsed() < timeout.count()) {
            if (process_.canReadLine() || process_.waitForReadyRead(100)) {
                while (process_.canReadLine()) {
                    const QByteArray line = process_.readLine().trimmed();
                    if (line.startsWith("READY"))
                        return true;
                    out += line + '\n';
                }
            }
            if (process_.state() == QProcess::NotRunning)
                break;
        }
        out += process_.readAllStandardOutput();
        error_ = QStringLiteral("SMTP test server did not start: ") + QString::fromUtf8(out) +
                 QString::fromUtf8(process_.readAllStandardError());
        Stop();
    }
    return false;
}

void SmtpTestServer::Stop() {
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.closeWriteChannel();
    if (process_.waitForFinished(5000))
        return;
    process_.terminate();
    if (process_.waitForFinished(5000))
        return;
    process_.kill();
    process_.waitForFinished(5000);
}

std::vector<SmtpTestServer::Message> SmtpTestServer::Messages() const {
    std::vector<Message> messages;
    const QDir mailbox(MailboxDir());
    for (const QString &name :
         mailbox.entryList({QStringLiteral("msg-*.json")}, QDir::Files, QDir::Name)) {
        QFile f(mailbox.filePath(name));
        if (f.open(QIODevice::ReadOnly))
            messages.push_back(ReadMessage(f.readAll()));
    }
    return messages;
}

std::vector<SmtpTestServer::Message>
SmtpTestServer::WaitForMessages(std::size_t count, std::chrono::milliseconds timeout) const {
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        std::vector<Message> messages = Messages();
        if (messages.size() >= count || timer.elapsed() >= timeout.count())
            return messages;
        QThread::msleep(20);
    }
}

} // namespace mmstest
