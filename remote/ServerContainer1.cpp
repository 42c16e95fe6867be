#include "ServerContainer1.h"

#include <QDeadlineTimer>
#include <QTcpSocket>
#include <QThread>

TServerContainer1::TServerContainer1(TdmNet &db, TCommInfoHint log,
                                     TServerContainerSettings settings, QObject *parent)
    : QObject(parent), db_(db), log_(std::move(log)), settings_(std::move(settings)),
      guard_(std::make_shared<TRemoteGuard>(settings_.throttle)) {}

TServerContainer1::~TServerContainer1() {
    server_.close();
    // A call under way sees the stop at its next row or reply part, and its
    // statement is broken; Stop then ends the connection, whose end quits its
    // thread. A thread whose connection has already ended is quitting by
    // itself.
    guard_->stopping = true;
    db_.Health().StopCalls();
    for (auto &[thread, c] : connections_)
        QMetaObject::invokeMethod(c.methods.get(), &TServerMethods1::Stop, Qt::QueuedConnection);
    for (auto &[thread, c] : connections_)
        // A call that began just as the stop was given is broken too.
        while (!thread->wait(QDeadlineTimer(20)))
            db_.Health().StopCalls();
    connections_.clear();
}

QHostAddress TServerContainer1::ListenAddress(const QString &text) {
    const QString t = text.trimmed();
    if (t.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return QHostAddress(QHostAddress::LocalHost);
    if (t == QLatin1String("*") || t.compare(QLatin1String("any"), Qt::CaseInsensitive) == 0)
        return QHostAddress(QHostAddress::AnyIPv4);
    QHostAddress address;
    if (!address.setAddress(t))
        return {};
    return address;
}

bool TServerContainer1::Start() {
    error_.clear();
    const QHostAddress address = ListenAddress(settings_.listen);
    if (address.isNull()) {
        error_ =
            QStringLiteral("[Set] DataBaseListen=%1 is not an IP address").arg(settings_.listen);
        return false;
    }
    if (!address.isLoopback() && settings_.token.isEmpty()) {
        error_ = QStringLiteral("[Set] DataBaseListen=%1 is beyond loopback and [Set] "
                                "DataBaseToken is empty: the remote data service would run any "
                                "statement for anyone on the network. Set DataBaseToken, or "
                                "listen on 127.0.0.1 and reach it through an SSH tunnel.")
                     .arg(settings_.listen);
        return false;
    }
    if (!address.isLoopback() &&
        settings_.token.size() < TServerContainerSettings::MinTokenLength) {
        error_ = QStringLiteral("[Set] DataBaseListen=%1 is beyond loopback and [Set] "
                                "DataBaseToken has %2 characters: at least %3 are needed there, "
                                "so that the token cannot be guessed.")
                     .arg(settings_.listen)
                     .arg(settings_.token.size())
                     .arg(TServerContainerSettings::MinTokenLength);
        return false;
    }
    // Stop, set the port, start again.
    server_.close();
    // Connections waiting in the kernel to be accepted, as on the other ports.
    server_.setListenBacklogSize(1024);
    if (!server_.listen(address, settings_.port)) {
        error_ = QStringLiteral("cannot listen on %1 port %2: %3")
                     .arg(address.toString())
                     .arg(settings_.port)
                     .arg(server_.errorString());
        return false;
    }
    return true;
}

void TServerContainer1::Accept(qintptr descriptor) {
    if (int(connections_.size()) >= settings_.maxConnections) {
        Refuse(descriptor);
        return;
    }
    TRemoteSessionOptions options;
    options.token = settings_.token.toStdString();
    options.maxLineBytes = settings_.maxLineBytes;
    options.maxResultBytes = settings_.maxResultBytes;
    Connection c;
    c.thread = std::make_unique<QThread>();
    c.methods =
        std::make_unique<TServerMethods1>(descriptor, db_, options, log_, guard_, settings_.limits);
    QThread *thread = c.thread.get();
    c.methods->moveToThread(thread);
    connect(c.methods.get(), &TServerMethods1::Finished, thread, &QThread::quit,
            Qt::DirectConnection);
    connect(thread, &QThread::started, c.methods.get(), &TServerMethods1::Start);
    connect(
        thread, &QThread::finished, this, [this, thread] { Reap(thread); }, Qt::QueuedConnection);
    connections_.emplace(thread, std::move(c));
    thread->start();
}

void TServerContainer1::Refuse(qintptr descriptor) {
    // The socket lives on this thread only for the one reply line; the write
    // goes into an empty send buffer and never waits.
    auto *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    socket->write(R"({"jsonrpc":"2.0","id":null,"error":{"code":-32000,"message":)"
                  R"("too many connections to the remote data service"}})"
                  "\n");
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    socket->disconnectFromHost();
}

void TServerContainer1::Reap(QThread *thread) {
    const auto it = connections_.find(thread);
    if (it == connections_.end())
        return;
    thread->wait();
    connections_.erase(it);
}
