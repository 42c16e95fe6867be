#include "ClientTcp.h"
#include "ThreadCheck.h"

#include "BoundedWrite.h"
#include "LogCategories.h"
#include "NetD.h"
#include "SendEmailAlertInfomation.h"
#include "UserEquipmentTable.h"
#include "UserRegisterTable.h"

#include <QHostAddress>
#include <QSqlRecord>
#include <QStringEncoder>
#include <QThread>

#include <algorithm>

TClientTcp *ClientTcp = nullptr;

namespace {

QString ConnectionText(const TClientConnection &conn) {
    return QStringLiteral("IP:") + conn.ClientIp + QStringLiteral("  Port:") +
           QString::number(conn.ClientPort);
}

QString UserConnectionText(const TClientConnection &conn) {
    return QStringLiteral("Client (UserName:") + conn.UserName + QStringLiteral("  ") +
           ConnectionText(conn);
}

// The data module; a failure like any other database failure when there is
// none.
TdmNet &Db() {
    if (!dmNet)
        throw DbError("no database");
    return *dmNet;
}

} // namespace

TClientTcp::TClientTcp(TCommInfoHint CommInfoHint, TUserConnectNumber UserConnectNumber,
                       EquipmentHooks hooks, Settings settings, QObject *parent)
    : QObject(parent), FCommInfoHint(std::move(CommInfoHint)),
      FUserConnectNumber(std::move(UserConnectNumber)), hooks_(std::move(hooks)),
      settings_(std::move(settings)) {
    // A code page Qt does not know would turn every message into
    // replacement characters; the default one is used instead.
    if (!QStringEncoder(settings_.codePage.toLatin1().constData()).isValid()) {
        Hint(LogEvent(TLogKind::Error, TLogPane::Events,
                      QStringLiteral("Unknown client code page \"") + settings_.codePage +
                          QStringLiteral("\": GB18030 is used"),
                      clRed));
        settings_.codePage = QStringLiteral("GB18030");
    }
    mailPool_.setMaxThreadCount(2);
    connect(&ServerSocket, &QTcpServer::newConnection, this,
            &TClientTcp::ServerSocketClientConnect);
}

TClientTcp::~TClientTcp() {
    // The exit never waits on a mail server: every mail exchange under way
    // is told to stop first, reminders not started yet are dropped, and the
    // joins below only wait for exchanges that are being cut off.
    if (SendEmailAlertInfomation)
        SendEmailAlertInfomation->RequestStop();
    {
        std::lock_guard guard(mailStopLock_);
        mailStopping_ = true;
    }
    mailStopSignal_.notify_all();
    mailPool_.clear();
    StopWorkers();
    mailPool_.waitForDone();
    ServerSocket.close();
    proxyGate_.reset();
    std::vector<TClientConnection *> open;
    {
        std::lock_guard guard(connectionsLock_);
        open.swap(connections_);
    }
    for (TClientConnection *conn : open) {
        conn->Socket()->disconnect();
        conn->Socket()->abort();
    }
    if (ClientTcp == this)
        ClientTcp = nullptr;
}

bool TClientTcp::Start(int port) {
    ServerSocket.close();
    ServerSocket.setListenBacklogSize(ListenBacklog);
    if (!acceptGuard_)
        acceptGuard_ = new TAcceptGuard(
            ServerSocket, QStringLiteral("Client"), [this](const QString &text, quint32 colour) {
                Hint(LogEvent(TLogKind::Error, PaneOfColour(colour), text, colour));
            });
    if (settings_.acceptProxy && !proxyGate_)
        proxyGate_ = std::make_unique<TProxyGate>(
            QStringLiteral("Client"),
            [this](const QString &text, quint32 colour) {
                Hint(LogEvent(TLogKind::Error, PaneOfColour(colour), text, colour));
            },
            [this](QTcpSocket *socket, const TPeer &peer) { Admit(socket, peer); },
            settings_.proxy);
    if (!ServerSocket.listen(QHostAddress::AnyIPv4, static_cast<quint16>(port)))
        return false;
    acceptGuard_->Listening();
    ChannelComm = std::make_unique<TChannelComm>(FCommInfoHint, hooks_.AddDataPackage,
                                                 settings_.paces.channelPace);
    SaveDataBaseSendClient =
        std::make_unique<TSaveDataBaseSendClient>(*this, FCommInfoHint, settings_.paces);
    ChannelComm->Start();
    SaveDataBaseSendClient->Start();
    TAlertMailConfig alarm;
    alarm.homeDir = settings_.homeFolder;
    alarm.codePage = settings_.codePage;
    alarm.mailOptions = settings_.mail;
    alarm.stepPace = settings_.paces.alarmStep;
    SendEmailAlertInfomation =
        std::make_unique<TSendEmailAlertInfomation>(FCommInfoHint, std::move(alarm));
    SendEmailAlertInfomation->Start();
    return true;
}

void TClientTcp::StopWorkers() {
    if (ChannelComm)
        ChannelComm->Stop();
    if (SaveDataBaseSendClient)
        SaveDataBaseSendClient->Stop();
    // The alarm worker stops when it is destroyed (a mail under way is cut
    // off).
    SendEmailAlertInfomation.reset();
}

void TClientTcp::Hint(const TLogEvent &event) const {
    if (FCommInfoHint)
        FCommInfoHint(event);
}

void TClientTcp::ReportCount() {
    if (FUserConnectNumber)
        FUserConnectNumber(static_cast<int>(connections_.size()));
}

// ---------------------------------------------------------------- events

void TClientTcp::ServerSocketClientConnect() {
    while (QTcpSocket *socket = ServerSocket.nextPendingConnection()) {
        acceptGuard_->Accepted();
        // A sixteenth of the descriptors stays free for the database.
        // Connections still reading their header hold descriptors too.
        const std::size_t open =
            std::size_t(GetClientConnectCount()) + (proxyGate_ ? proxyGate_->Waiting() : 0);
        if (!TAcceptGuard::MayKeep(socket->socketDescriptor(), open, settings_.maxConnections,
                                   16)) {
            socket->abort();
            delete socket;
            qCDebug(lcClient) << "closed a new connection at once";
            if (!refusing_)
                Hint(
                    LogEvent(TLogKind::Error, TLogPane::Events,
                             QStringLiteral("Client port: %1 connections open, new connections are "
                                            "closed at once")
                                 .arg(GetClientConnectCount()),
                             clRed));
            refusing_ = true;
            continue;
        }
        refusing_ = false;
        if (proxyGate_)
            proxyGate_->Take(socket);
        else
            Admit(socket, SocketPeer(*socket));
    }
}

void TClientTcp::Admit(QTcpSocket *socket, const TPeer &peer) {
    auto *conn = new TClientConnection(nextId_++, socket, peer, settings_.codePage, this);
    connect(socket, &QTcpSocket::readyRead, conn, [this, conn] { ServerSocketClientRead(conn); });
    connect(socket, &QTcpSocket::disconnected, conn,
            [this, conn] { ServerSocketClientDisconnect(conn); });
    connect(socket, &QTcpSocket::errorOccurred, conn,
            [this, conn](QAbstractSocket::SocketError e) { ServerSocketClientError(conn, e); });
    {
        std::lock_guard guard(connectionsLock_);
        connections_.push_back(conn);
    }
    Hint(
        LogEvent(TLogKind::Connect, TLogPane::Events,
                 QStringLiteral("Client (") + ConnectionText(*conn) + QStringLiteral(") connected"),
                 clWhite)
            .WithUser(conn->UserName)
            .WithPeer(conn->ClientIp, conn->ClientPort));
    ReportCount();
    // Bytes that arrived together with the connection, or behind its
    // PROXY header.
    if (socket->bytesAvailable() > 0)
        ServerSocketClientRead(conn);
    if (IsOpen(conn) && socket->state() == QAbstractSocket::UnconnectedState)
        ServerSocketClientDisconnect(conn);
}

void TClientTcp::ServerSocketClientDisconnect(TClientConnection *conn) {
    if (!IsOpen(conn))
        return; // closed by the server, which has done the bookkeeping
    Forget(conn);
    Hint(LogEvent(TLogKind::Disconnect, TLogPane::Events,
                  UserConnectionText(*conn) + QStringLiteral(") disconnected"), clWhite)
             .WithUser(conn->UserName)
             .WithPeer(conn->ClientIp, conn->ClientPort));
    ReportCount();
}

void TClientTcp::ServerSocketClientError(TClientConnection *conn,
                                         QAbstractSocket::SocketError error) {
    // The peer closing its end is an ordinary disconnect, reported by the
    // disconnected signal that follows.
    if (error == QAbstractSocket::RemoteHostClosedError || !IsOpen(conn))
        return;
    Forget(conn);
    Hint(LogEvent(TLogKind::Error, TLogPane::Events,
                  UserConnectionText(*conn) + QStringLiteral(") error"), clRed)
             .WithUser(conn->UserName)
             .WithPeer(conn->ClientIp, conn->ClientPort));
    conn->Socket()->abort();
    ReportCount();
}

void TClientTcp::ServerSocketClientRead(TClientConnection *conn) {
    if (!IsOpen(conn))
        return;
    conn->RecClientPackStr.Append(conn->Decode(conn->Socket()->readAll()));
    try {
        while (const auto message = conn->RecClientPackStr.Take()) {
            bool open = true;
            try {
                open = HandleMessage(conn, *message);
            } catch (const DbError &e) {
                // Only this message fails; the rest of the read is handled.
                Hint(LogEvent(TLogKind::Error, TLogPane::Events,
                              UserConnectionText(*conn) + QStringLiteral(") message *") +
                                  message->KeyFlag + QStringLiteral(" failed: ") +
                                  QString::fromStdString(e.what()),
                              clRed)
                         .WithUser(conn->UserName)
                         .WithPeer(conn->ClientIp, conn->ClientPort));
                open = IsOpen(conn);
            }
            if (!open)
                return; // the connection is closed; its buffer goes with it
        }
    } catch (const std::exception &e) {
        // The rest of what was received is lost; the connection stays open.
        qCDebug(lcClient) << "dropped the rest of a read from" << conn->ClientIp << conn->ClientPort
                          << ":" << e.what();
        conn->RecClientPackStr.Clear();
        return;
    }
    conn->RecClientPackStr.Compact();
    if (conn->RecClientPackStr.PendingSize() > MaxReceiveChars) {
        conn->RecClientPackStr.Clear();
        Hint(LogEvent(
                 TLogKind::Error, TLogPane::Events,
                 UserConnectionText(*conn) +
                     QStringLiteral(") sent more than %1 characters without a complete message: "
                                    "receive buffer emptied")
                         .arg(MaxReceiveChars),
                 clRed)
                 .WithUser(conn->UserName)
                 .WithPeer(conn->ClientIp, conn->ClientPort));
    }
}

// ---------------------------------------------------------------- messages

bool TClientTcp::HandleMessage(TClientConnection *conn, const TClientMessage &message) {
    if (message.KeyFlag == u"00") {
        Login(conn, message.Body);
    } else if (message.KeyFlag == u"01") {
        EquipmentRequest(conn, message.Body);
    } else if (message.KeyFlag == u"02") {
        AccountState(message.Body);
    } else if (message.KeyFlag == u"03") {
        const TReminderBody reminder = SplitReminderBody(message.Body);
        FindUserPassword(reminder.UserName, reminder.UserEmail, conn->Id);
    }
    // Any other code is consumed and ignored.
    return IsOpen(conn);
}

void TClientTcp::Login(TClientConnection *conn, const QString &body) {
    const TSuspendBody login = SplitSuspendBody(body);
    if (login.sSuspend == u"01" && CheckClientExist(login.UserName)) {
        // That name is connected already: the new connection is refused.
        CloseSilently(conn);
        return;
    }
    {
        std::lock_guard guard(connectionsLock_);
        conn->UserName = login.UserName;
    }
    QString OnLineEquipmentStr;
    QString sValue;
    try {
        if (hooks_.UserLineState)
            sValue =
                hooks_.UserLineState(login.UserName, login.sSuspend == u"00", OnLineEquipmentStr);
    } catch (const DbError &e) {
        // The client is told the login failed instead of waiting for an
        // answer that never comes; the red line follows as for any message.
        SendText(conn, dynamic_cast<const DbUnavailable *>(&e) ? LoginUnavailableReply
                                                               : LoginFailedReply);
        throw;
    }
    if (sValue.isEmpty())
        return;
    Hint(LogEvent(TLogKind::Reply, TLogPane::Traffic,
                  QStringLiteral("Server->Client (UserName:") + login.UserName +
                      QStringLiteral("  ClientIP:") + conn->ClientIp +
                      QStringLiteral("  ClientPort:") + QString::number(conn->ClientPort) +
                      QStringLiteral("  ") + OnLineEquipmentStr + QStringLiteral(") OnLine"),
                  clYellow)
             .WithUser(login.UserName)
             .WithPeer(conn->ClientIp, conn->ClientPort));
    SendText(conn, QStringLiteral("*12") + sValue + u'#' + QString::number(MaxPackageLen) + u'*');
}

void TClientTcp::EquipmentRequest(TClientConnection *conn, const QString &body) {
    const TRequestLogParts parts = SplitRequestForLog(body);
    ChannelComm->AddClientPack(
        conn->ClientIp + u':' + QString::number(conn->ClientPort),
        ChannelEntry(conn->UserName, conn->ClientIp, conn->ClientPort, body));
    Hint(LogEvent(TLogKind::Request, TLogPane::Events,
                  QStringLiteral("Client->Server (Equipment:") + parts.EquipmentName +
                      QStringLiteral("  UserName:") + conn->UserName +
                      QStringLiteral("  ClientIP:") + conn->ClientIp +
                      QStringLiteral("  ClientPort:") + QString::number(conn->ClientPort) + u')' +
                      u'\r' + parts.Dictate,
                  clWhite)
             .WithUnit(parts.EquipmentCode)
             .WithUser(conn->UserName)
             .WithPeer(conn->ClientIp, conn->ClientPort));
}

void TClientTcp::AccountState(const QString &body) {
    const TSuspendBody state = SplitSuspendBody(body);
    if (state.sSuspend == u"00") {
        TUserRegisterTable(Db()).SetUseState(state.UserName, 0);
    } else {
        TUserRegisterTable(Db()).SetUseState(state.UserName, 1);
        DisClientConnect(state.UserName);
    }
}

// ---------------------------------------------------------------- password reminder

void TClientTcp::FindUserPassword(const QString &UserName, const QString &UserEmail,
                                  quint64 replyTo) {
    const std::optional<QString> found = TUserRegisterTable(Db()).PasswordFor(UserName, UserEmail);
    if (!found) {
        PostText(replyTo, QStringLiteral("*13") + UserName + QStringLiteral("%2*"));
        return;
    }
    const QString password = *found;

    if (pendingReminders_.fetch_add(1) >= MaxPendingReminders) {
        pendingReminders_.fetch_sub(1);
        Hint(LogEvent(
                 TLogKind::Error, TLogPane::Events,
                 QStringLiteral("Send User ") + UserName + u'(' + UserEmail +
                     QStringLiteral(") find password refused: too many reminders are being sent."),
                 clRed)
                 .WithUser(UserName));
        PostText(replyTo, QStringLiteral("*13") + UserName + QStringLiteral("%1*"));
        return;
    }
    // The mail exchange, with its pause before the second attempt, runs off
    // the event thread; the reply is queued back when it is over.
    mailPool_.start([this, UserName, UserEmail, password, replyTo] {
        const int result = SendPasswordMail(UserName, UserEmail, password);
        pendingReminders_.fetch_sub(1);
        PostText(replyTo, QStringLiteral("*13") + UserName + u'%' + QString::number(result) + u'*');
    });
}

bool TClientTcp::MailPause(std::chrono::milliseconds time) {
    std::unique_lock guard(mailStopLock_);
    return !mailStopSignal_.wait_for(guard, time, [this] { return mailStopping_; });
}

int TClientTcp::SendPasswordMail(const QString &UserName, const QString &UserEmail,
                                 const QString &password) {
    const QString subject = QStringLiteral("Quelto User Name/Password");
    const QString content =
        QStringLiteral("UserName:") + UserName + QStringLiteral("   Password:") + password;
    MailOptions options = settings_.mail;
    options.cancelled = [this] {
        std::lock_guard guard(mailStopLock_);
        return mailStopping_;
    };
    const auto send = [&] {
        return SendEmail(EmailSmtpHost, EmailEncryptType, EmailSendUserName, EmailSendPassword,
                         UserEmail, subject, content, QString(), QString(), QString(), false,
                         options);
    };
    const QString who = QStringLiteral("Send User ") + UserName + u'(' + UserEmail + u')';
    if (send()) {
        Hint(LogEvent(TLogKind::Mail, TLogPane::Events,
                      who + QStringLiteral(" find password finish."), clWhite)
                 .WithUser(UserName));
        return 0;
    }
    if (MailPause(std::chrono::seconds(1)) && send()) {
        Hint(LogEvent(TLogKind::Mail, TLogPane::Events,
                      who + QStringLiteral(" again find password finish."), clWhite)
                 .WithUser(UserName));
        return 0;
    }
    Hint(LogEvent(TLogKind::Mail, TLogPane::Events,
                  who + QStringLiteral(" again find password fail."), clWhite)
             .WithUser(UserName));
    return 1;
}

// ---------------------------------------------------------------- broadcast and sends

QString TClientTcp::EquipmentBroadcast(const QString &EquipmentCode, const QString &message) {
    struct Pair {
        QString user;
        QString name;
    };
    std::vector<Pair> pairs;
    QStringList ownerNames;
    for (const TOwnedUnit &owner : TUserEquipmentTable(Db()).OwnersOf(EquipmentCode)) {
        pairs.push_back({owner.UserName, owner.EquipmentName});
        ownerNames.append(owner.EquipmentName);
    }
    const QString EquipmentNameStr = ownerNames.join(u',');
    for (const QString &superUser : TUserRegisterTable(Db()).SuperUserNames())
        pairs.push_back({superUser, EquipmentNameStr});

    struct Send {
        quint64 id;
        QString text;
    };
    std::vector<Send> sends;
    QString EquipmentClientStr;
    int kCount = 0;
    {
        std::lock_guard guard(connectionsLock_);
        for (const TClientConnection *conn : connections_) {
            if (conn->UserName.isEmpty())
                continue;
            const auto pair = std::find_if(pairs.begin(), pairs.end(), [conn](const Pair &p) {
                return p.user == conn->UserName;
            });
            if (pair == pairs.end())
                continue;
            sends.push_back({conn->Id, BroadcastTextFor(message, pair->name)});
            EquipmentClientStr +=
                BroadcastReceiverText(pair->name, pair->user, conn->ClientIp, conn->ClientPort);
            ++kCount;
        }
    }
    for (const Send &s : sends)
        PostText(s.id, s.text);
    return FinishReceiverText(EquipmentClientStr, kCount);
}

QString TClientTcp::UserBroadcast(const QString &UserName, const QString &EquipmentName,
                                  const QString &message) {
    std::vector<quint64> ids;
    QString EquipmentClientStr;
    {
        std::lock_guard guard(connectionsLock_);
        for (const TClientConnection *conn : connections_) {
            if (conn->UserName.isEmpty() || conn->UserName != UserName)
                continue;
            ids.push_back(conn->Id);
            EquipmentClientStr +=
                BroadcastReceiverText(EquipmentName, UserName, conn->ClientIp, conn->ClientPort);
        }
    }
    const QString text = BroadcastTextFor(message, EquipmentName);
    for (const quint64 id : ids)
        PostText(id, text);
    return FinishReceiverText(EquipmentClientStr, int(ids.size()));
}

bool TClientTcp::SendToClient(const QString &clientIp, int clientPort, const QString &text) {
    quint64 id = 0;
    {
        std::lock_guard guard(connectionsLock_);
        const auto it =
            std::find_if(connections_.begin(), connections_.end(), [&](const TClientConnection *c) {
                return c->ClientIp == clientIp && c->ClientPort == clientPort;
            });
        if (it == connections_.end())
            return false;
        id = (*it)->Id;
    }
    PostText(id, text);
    return true;
}

void TClientTcp::PostText(quint64 id, const QString &text) {
    if (QThread::currentThread() == thread()) {
        if (TClientConnection *conn = FindById(id))
            SendText(conn, text);
        return;
    }
    QMetaObject::invokeMethod(
        this,
        [this, id, text] {
            if (TClientConnection *conn = FindById(id))
                SendText(conn, text);
        },
        Qt::QueuedConnection);
}

void TClientTcp::SendText(TClientConnection *conn, const QString &text) {
    MMS_ASSERT_THREAD(thread());
    QTcpSocket *socket = conn->Socket();
    if (socket->state() != QAbstractSocket::ConnectedState)
        return;
    QStringEncoder encoder(settings_.codePage.toLatin1().constData());
    const QByteArray bytes = encoder.encode(text);
    // Past the bound (a client that stopped reading) the message is dropped:
    // each one is counted, and one red line tells of each episode.
    if (WriteBounded(*socket, bytes, MaxPendingWriteBytes) >= 0) {
        conn->Drops.Written();
        return;
    }
    qCDebug(lcClient) << "dropped a message to" << conn->ClientIp << conn->ClientPort;
    if (conn->Drops.Dropped())
        Hint(LogEvent(TLogKind::Error, TLogPane::Events,
                      UserConnectionText(*conn) +
                          QStringLiteral(
                              ") is not reading: %1 bytes waiting, messages to it are dropped "
                              "until it reads again")
                              .arg(socket->bytesToWrite()),
                      clRed)
                 .WithUser(conn->UserName)
                 .WithPeer(conn->ClientIp, conn->ClientPort));
}

// ---------------------------------------------------------------- connection list

bool TClientTcp::IsOpen(const TClientConnection *conn) const {
    return std::find(connections_.begin(), connections_.end(), conn) != connections_.end();
}

TClientConnection *TClientTcp::FindById(quint64 id) const {
    const auto it = std::find_if(connections_.begin(), connections_.end(),
                                 [id](const TClientConnection *c) { return c->Id == id; });
    return it == connections_.end() ? nullptr : *it;
}

void TClientTcp::Forget(TClientConnection *conn) {
    {
        std::lock_guard guard(connectionsLock_);
        std::erase(connections_, conn);
    }
    conn->deleteLater();
}

void TClientTcp::CloseSilently(TClientConnection *conn) {
    Forget(conn);
    conn->Socket()->abort();
    // No log line, but the count stays true.
    ReportCount();
}

bool TClientTcp::CheckClientExist(const QString &UserName) const {
    std::lock_guard guard(connectionsLock_);
    return std::any_of(connections_.begin(), connections_.end(),
                       [&](const TClientConnection *c) { return c->UserName == UserName; });
}

void TClientTcp::DisClientConnect(const QString &UserName) {
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(this, [this, UserName] { DisClientConnect(UserName); });
        return;
    }
    std::vector<TClientConnection *> matching;
    std::copy_if(connections_.begin(), connections_.end(), std::back_inserter(matching),
                 [&](const TClientConnection *c) { return c->UserName == UserName; });
    for (TClientConnection *conn : matching)
        CloseSilently(conn);
}

int TClientTcp::GetClientConnectCount() const {
    std::lock_guard guard(connectionsLock_);
    return static_cast<int>(connections_.size());
}

quint64 TClientTcp::DroppedMessages(const QString &clientIp, int clientPort) const {
    std::lock_guard guard(connectionsLock_);
    for (const TClientConnection *c : connections_)
        if (c->ClientIp == clientIp && c->ClientPort == clientPort)
            return c->Drops.Count;
    return 0;
}

void TClientTcp::ClearAnalysisAlertList() {
    if (SendEmailAlertInfomation)
        SendEmailAlertInfomation->ClearAnalysisAlertList();
    Hint(QStringLiteral("Clear Analysis Alert List"), clWhite);
}
