// A real SMTP server on 127.0.0.1 for the mail tests: tests/support/smtp_server.py
// (aiosmtpd under /usr/bin/python3) as a child process, on a free port, with a
// self-signed certificate for localhost and 127.0.0.1 made at start.
//
// Usage:
//   mmstest::SmtpTestServer smtp(mmstest::SmtpTestServer::Mode::Auth);
//   ASSERT_TRUE(smtp.Start()) << smtp.Error();
//   SendEmail(smtp.HostPort(), "Auto", smtp.User(), smtp.Password(), ...);
//   auto mails = smtp.WaitForMessages(1);
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <optional>
#include <utility>
#include <vector>

namespace mmstest {

class SmtpTestServer {
public:
    enum class Mode {
        Auth,       // plain connection, AUTH LOGIN and AUTH PLAIN offered
        PlainOnly,  // plain connection, only AUTH PLAIN offered
        NoAuth,     // plain connection, no AUTH offered
        StartTls,   // STARTTLS offered and required; AUTH after it
        ImplicitTls // TLS from the first byte; AUTH LOGIN and PLAIN offered
    };

    struct Attachment {
        QString fileName;    // as the reader decodes it (RFC 2231 / 2047 applied)
        QString contentType; // e.g. "text/plain"
        QString charset;     // the charset parameter, empty when absent
        QByteArray data;     // decoded bytes
    };

    // One accepted message, as the server saw it and as Python's email
    // package decodes it.
    struct Message {
        QString mailFrom;
        QStringList rcptTos;
        QString authUser;      // empty without login
        QString authMechanism; // "LOGIN", "PLAIN" or empty
        bool tls = false;
        QByteArray raw;
        std::vector<std::pair<QString, QString>> headers; // raw header values, in order
        QString subject;                                  // decoded
        QString body;                                     // decoded text/plain part
        std::vector<Attachment> attachments;

        // First header of that name (case-insensitive), unfolded; nullopt when absent.
        std::optional<QString> Header(const QString &name) const;
        int HeaderCount(const QString &name) const;
    };

    explicit SmtpTestServer(Mode mode, QString user = QStringLiteral("alert@example.com"),
                            QString password = QStringLiteral("s3cret&pass"));
    ~SmtpTestServer();
    SmtpTestServer(const SmtpTestServer &) = delete;
    SmtpTestServer &operator=(const SmtpTestServer &) = delete;

    // Makes the certificate, starts the server and waits until it accepts
    // connections. False (with Error()) when it could not start.
    bool Start(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Stops the server (standard input closed, then SIGTERM, then kill).
    void Stop();

    QString Error() const { return error_; }
    int Port() const { return port_; }
    QString HostPort() const { return QStringLiteral("127.0.0.1:%1").arg(port_); }
    QString User() const { return user_; }
    QString Password() const { return password_; }
    // The server's self-signed certificate: the CA file a client must trust.
    QString CaFile() const;
    QString MailboxDir() const;

    // Every message received so far, in arrival order.
    std::vector<Message> Messages() const;
    // Waits until at least count messages have arrived; returns them all
    // (fewer on timeout).
    std::vector<Message>
    WaitForMessages(std::size_t count,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
    bool MakeCertificate();

    Mode mode_;
    QString user_;
    QString password_;
    QTemporaryDir dir_;
    QProcess process_;
    int port_ = 0;
    QString error_;
};

} // namespace mmstest
