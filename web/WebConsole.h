// The web console as the program runs it: the settings of [Set] checked,
// the TLS files read, and the server run on a thread of its own (never the
// links' thread, never the window's), made and released there.
#pragma once

#include "WebServer.h"

#include <QThread>

#include <memory>

struct TWebConsoleSettings {
    int port = 5213;                              // [Set] WebPort; 0: off
    QString listen = QStringLiteral("127.0.0.1"); // [Set] WebListen
    QString certFile;                             // [Set] WebCertFile (PEM)
    QString keyFile;                              // [Set] WebKeyFile (PEM)
    int maxSessions = 32;                         // [Set] MaxWebSessions
    std::chrono::milliseconds idle = std::chrono::minutes(30);
    std::chrono::milliseconds requestDeadline = std::chrono::seconds(30);
};

class TWebConsole {
public:
    explicit TWebConsole(TWebBackend backend);
    // Stops the server (on its thread) and ends the thread.
    ~TWebConsole();
    TWebConsole(const TWebConsole &) = delete;
    TWebConsole &operator=(const TWebConsole &) = delete;

    // Checks the settings and starts listening. False with the reason in
    // `error`: an address that is not IPv4, beyond loopback without both TLS
    // files, files that cannot be read, a port that cannot be listened on.
    bool Start(const TWebConsoleSettings &settings, QString *error);
    void Stop();

    // Where a browser finds it, for example "http://127.0.0.1:5213/".
    QString Url() const { return url_; }
    quint16 Port() const { return port_; }
    QString Address() const { return address_; }

private:
    TWebBackend backend_;
    QThread thread_;
    QObject *context_ = nullptr;         // lives on thread_
    std::unique_ptr<TWebServer> server_; // made, used and released on thread_
    QString url_;
    QString address_;
    quint16 port_ = 0;
};

// The TLS configuration of a certificate chain and key in PEM files;
// nothing with the reason in `error` when they cannot be read or do not fit.
std::optional<QSslConfiguration> LoadTlsFiles(const QString &certFile, const QString &keyFile,
                                              QString *error);
