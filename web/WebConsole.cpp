#include "WebConsole.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslKey>

std::optional<QSslConfiguration> LoadTlsFiles(const QString &certFile, const QString &keyFile,
                                              QString *error) {
    const auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return std::nullopt;
    };
    const QList<QSslCertificate> chain = QSslCertificate::fromPath(certFile, QSsl::Pem);
    if (chain.isEmpty())
        return fail(QStringLiteral("[Set] WebCertFile=%1 holds no PEM certificate").arg(certFile));
    QFile file(keyFile);
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("[Set] WebKeyFile=%1 cannot be read: %2")
                        .arg(keyFile, file.errorString()));
    const QByteArray pem = file.read(1024 * 1024);
    QSslKey key(pem, QSsl::Rsa, QSsl::Pem);
    if (key.isNull())
        key = QSslKey(pem, QSsl::Ec, QSsl::Pem);
    if (key.isNull())
        return fail(QStringLiteral("[Set] WebKeyFile=%1 holds no unencrypted PEM RSA or EC key")
                        .arg(keyFile));
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificateChain(chain);
    tls.setPrivateKey(key);
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    tls.setProtocol(QSsl::TlsV1_2OrLater);
    return tls;
}

TWebConsole::TWebConsole(TWebBackend backend) : backend_(std::move(backend)) {
    thread_.setObjectName(QStringLiteral("web console"));
    context_ = new QObject;
    context_->moveToThread(&thread_);
    QObject::connect(&thread_, &QThread::finished, context_, &QObject::deleteLater);
    thread_.start();
}

TWebConsole::~TWebConsole() {
    Stop();
    thread_.quit();
    thread_.wait();
}

bool TWebConsole::Start(const TWebConsoleSettings &settings, QString *error) {
    const auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    QHostAddress address;
    if (!address.setAddress(settings.listen.trimmed()) ||
        address.protocol() != QAbstractSocket::IPv4Protocol)
        return fail(
            QStringLiteral("[Set] WebListen=%1 is not an IPv4 address").arg(settings.listen));
    const bool tls = !settings.certFile.isEmpty() && !settings.keyFile.isEmpty();
    if (!address.isLoopback() && !tls)
        return fail(QStringLiteral("[Set] WebListen=%1 is beyond loopback and [Set] WebCertFile "
                                   "and WebKeyFile are not both set: the console's logins and "
                                   "cookies would cross the network in clear. Set both TLS "
                                   "files, or listen on 127.0.0.1 and reach it through an SSH "
                                   "tunnel.")
                        .arg(settings.listen));
    TWebServerSettings s;
    s.address = address;
    s.port = quint16(settings.port);
    s.sessions.maxSessions = std::size_t(std::max(settings.maxSessions, 1));
    s.sessions.idle = settings.idle;
    s.requestDeadline = settings.requestDeadline;
    if (tls) {
        QString why;
        s.tls = LoadTlsFiles(settings.certFile, settings.keyFile, &why);
        if (!s.tls)
            return fail(why);
    }
    bool ok = false;
    QString why;
    QMetaObject::invokeMethod(
        context_,
        [&] {
            server_ = std::make_unique<TWebServer>(s, backend_);
            ok = server_->Listen(&why);
            if (ok)
                port_ = server_->Port();
            else
                server_.reset();
        },
        Qt::BlockingQueuedConnection);
    if (!ok)
        return fail(why);
    address_ = address.toString();
    url_ = QStringLiteral("%1://%2:%3/")
               .arg(tls ? QStringLiteral("https") : QStringLiteral("http"), address_)
               .arg(port_);
    return true;
}

void TWebConsole::Stop() {
    if (!server_ || !thread_.isRunning())
        return;
    // Released where it lives: its sockets and timers belong to that thread.
    QMetaObject::invokeMethod(
        context_, [this] { server_.reset(); }, Qt::BlockingQueuedConnection);
}
