// The remote data service: listens on DataBasePort and gives each accepted
// connection its own server-method object on its own thread. Loopback only
// unless told otherwise, and beyond loopback only with a token, because the
// service runs any statement its clients send.
#pragma once

#include "NetD.h"
#include "PublicU.h"
#include "RemoteGuard.h"
#include "RemoteSession.h"
#include "ServerMethods1.h"

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTcpServer>

#include <map>
#include <memory>

class QThread;

struct TServerContainerSettings {
    quint16 port = 5211;
    QString listen = QStringLiteral("127.0.0.1"); // [Set] DataBaseListen
    QString token;                                // [Set] DataBaseToken
    int maxConnections = 64;
    std::size_t maxLineBytes = std::size_t(16) << 20;
    std::size_t maxResultBytes = std::size_t(64) << 20;
    TRemoteConnectionLimits limits;
    TLoginThrottleSettings throttle;

    // The shortest token accepted beyond loopback: one that can be guessed
    // or read over a shoulder would open the database to the network.
    static constexpr int MinTokenLength = 16;
};

class TServerContainer1 : public QObject {
    Q_OBJECT
public:
    TServerContainer1(TdmNet &db, TCommInfoHint log, TServerContainerSettings settings,
                      QObject *parent = nullptr);
    // Stops every call under way at once (its statement broken), closes
    // every connection and waits for its thread.
    ~TServerContainer1() override;

    // Starts listening. False, with the reason in ErrorString(), when the
    // address is not one, when it is beyond loopback and the token is empty
    // or shorter than MinTokenLength, or when the port cannot be bound.
    bool Start();
    QString ErrorString() const { return error_; }
    bool IsListening() const { return server_.isListening(); }
    quint16 Port() const { return server_.serverPort(); }
    int ConnectionCount() const { return int(connections_.size()); }

    // The address a DataBaseListen value names: dotted IPv4 or IPv6 text,
    // "localhost", or "0.0.0.0"/"*"/"any" for every IPv4 address. Null when it
    // names none.
    static QHostAddress ListenAddress(const QString &text);

private:
    class Listener : public QTcpServer {
    public:
        explicit Listener(TServerContainer1 &owner) : owner_(owner) {}

    protected:
        void incomingConnection(qintptr descriptor) override { owner_.Accept(descriptor); }

    private:
        TServerContainer1 &owner_;
    };

    struct Connection {
        std::unique_ptr<QThread> thread;
        std::unique_ptr<TServerMethods1> methods;
    };

    void Accept(qintptr descriptor);
    void Refuse(qintptr descriptor);
    void Reap(QThread *thread);

    TdmNet &db_;
    TCommInfoHint log_;
    TServerContainerSettings settings_;
    Listener server_{*this};
    QString error_;
    std::shared_ptr<TRemoteGuard> guard_;
    std::map<QThread *, Connection> connections_;
};
