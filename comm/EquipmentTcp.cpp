#include "EquipmentTcp.h"
#include "ThreadCheck.h"

#include "BoundedWrite.h"
#include "FrameCodec.h"
#include "HexText.h"
#include "LogCategories.h"
#include "NetD.h"
#include "ServerMetrics.h"
#include "UserEquipmentTable.h"
#include "ValueConversion.h"

#include <QStringBuilder>
#include <QTcpSocket>
#include <QThread>

#include <algorithm>

TEquipmentTcp *EquipmentTcp = nullptr;

namespace {

// Connections accepted but not yet taken, and the kernel's queue of
// connections not yet accepted: large, because thousands of units may dial
// in at once after a network outage.
constexpr int MaxPendingConnections = 1024;
constexpr int ListenBacklog = 1024;
// Bytes taken from a socket per step of the read handler.
constexpr qint64 ReadChunkBytes = 64 * 1024;

// The frame as shown, followed by "(Truly ...)" with the other form when
// escaping changed it. Hex digits are compared without regard to case: a
// request written in lower-case hex comes back upper-case from the escaping
// without having changed.
QString FrameText(const QString &shown, const QString &other) {
    return shown.compare(other, Qt::CaseInsensitive) == 0
               ? shown
               : shown + QLatin1String("(Truly ") + other + QLatin1Char(')');
}

} // namespace

TEquipmentTcp::TEquipmentTcp(int DeviceConnectPort, TCommInfoHint CommInfoHint,
                             TBoosterConnectNumber BoosterConnectNumber, const TLinkPaces &paces,
                             QObject *parent)
    : TEquipmentBase(std::move(CommInfoHint), std::move(BoosterConnectNumber), paces, parent) {
    CommTypeFlag = QStringLiteral("03");
    CommChildTypeFlag = QStringLiteral("01");

    timConnectState.setInterval(paces_.livenessTick);
    connect(&timConnectState, &QTimer::timeout, this, &TEquipmentTcp::timConnectStateTimer);

    // A quarter of the descriptors stays free for the client port, the remote
    // data port and the database while the equipment port is full.
    acceptGuard_ = new TAcceptGuard(
        ServerSocket, QStringLiteral("Equipment"), [this](const QString &text, quint32 colour) {
            Hint(LogEvent(TLogKind::Error, PaneOfColour(colour), text, colour));
        });
    ServerSocket.setMaxPendingConnections(MaxPendingConnections);
    ServerSocket.setListenBacklogSize(ListenBacklog);
    connect(&ServerSocket, &QTcpServer::newConnection, this, &TEquipmentTcp::AcceptPending);

    if (DeviceConnectPort < 0 || DeviceConnectPort > 65535) {
        listenError_ = QStringLiteral("port %1 is out of range").arg(DeviceConnectPort);
        return;
    }
    if (!ServerSocket.listen(QHostAddress::AnyIPv4, static_cast<quint16>(DeviceConnectPort))) {
        listenError_ = ServerSocket.errorString();
        return;
    }
    acceptGuard_->Listening();
    StartQueueTimers();
    timConnectState.start();
}

TEquipmentTcp::~TEquipmentTcp() {
    timConnectState.stop();
    ServerSocket.close();
    proxyGate_.reset();
    // The connection objects are deleted with this object; cut their sockets
    // loose first so that no event reaches a server half torn down.
    for (TEquipmentConnection *conn : connections_)
        conn->Detach();
    connections_.clear();
    connectCount_ = 0;
    lstCheckConnectState.clear();
    connectStateByKey_.clear();
}

QStringList TEquipmentTcp::SiteIdRegistry() const {
    QStringList out;
    out.reserve(static_cast<qsizetype>(lstSiteId.size()));
    for (const auto &[code, siteId] : lstSiteId)
        out.append(code + QLatin1Char('#') + siteId);
    return out;
}

void TEquipmentTcp::SetAcceptProxy(bool on, TProxyGate::Settings settings) {
    MMS_ASSERT_THREAD(thread());
    if (!on) {
        proxyGate_.reset();
        return;
    }
    proxyGate_ = std::make_unique<TProxyGate>(
        QStringLiteral("Equipment"),
        [this](const QString &text, quint32 colour) {
            Hint(LogEvent(TLogKind::Error, PaneOfColour(colour), text, colour));
        },
        [this](QTcpSocket *socket, const TPeer &peer) { Admit(socket, peer); }, settings);
}

void TEquipmentTcp::AcceptPending() {
    while (QTcpSocket *socket = ServerSocket.nextPendingConnection()) {
        acceptGuard_->Accepted();
        // Connections still reading their header hold descriptors too.
        const std::size_t open = connections_.size() + (proxyGate_ ? proxyGate_->Waiting() : 0);
        if (!TAcceptGuard::MayKeep(socket->socketDescriptor(), open, maxConnections_, 4)) {
            socket->abort();
            delete socket;
            qCDebug(lcEquipment) << "closed a new connection at once:" << connections_.size()
                                 << "open";
            if (!refusing_)
                Hint(LogEvent(
                    TLogKind::Error, TLogPane::Events,
                    QStringLiteral("Equipment port: %1 connections open, new connections are "
                                   "closed at once")
                        .arg(connections_.size()),
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

void TEquipmentTcp::Admit(QTcpSocket *socket, const TPeer &peer) {
    // Owned by this server as a Qt child; deleted after it has closed.
    auto *conn = new TEquipmentConnection(*this, socket, peer);
    connections_.push_back(conn);
    connectCount_ = static_cast<int>(connections_.size());
    ServerSocketClientConnect(*conn);
    // Bytes that came behind a PROXY header wait in the socket's buffer
    // already: no further signal tells of them.
    if (socket->bytesAvailable() > 0)
        ServerSocketClientRead(*conn);
    if (!conn->Closed && socket->state() == QAbstractSocket::UnconnectedState)
        ServerSocketClientDisconnect(*conn);
}

void TEquipmentTcp::ServerSocketClientConnect(TEquipmentConnection &conn) {
    const QString &key = conn.Key();
    ForgetLiveness(key);
    lstCheckConnectState.push_back({0, key});
    connectStateByKey_.insert(key, std::prev(lstCheckConnectState.end()));

    Hint(LogEvent(TLogKind::Connect, TLogPane::Events,
                  QLatin1String("Equipment (IP:") + conn.RemoteAddress() +
                      QLatin1String("  Port:") + QString::number(conn.RemotePort()) +
                      QLatin1String(") already connected"),
                  clWhite)
             .WithPeer(conn.RemoteAddress(), conn.RemotePort()));
    if (FBoosterConnectNumber)
        FBoosterConnectNumber(GetEquipmentConnectCount());
}

void TEquipmentTcp::ServerSocketClientDisconnect(TEquipmentConnection &conn) {
    if (conn.Closed)
        return;
    conn.Closed = true;
    AnnounceLostConnection(conn, QLatin1String(") disconnect"));
    RemoveConnection(conn);
    if (FBoosterConnectNumber)
        FBoosterConnectNumber(GetEquipmentConnectCount());
}

void TEquipmentTcp::ServerSocketClientError(TEquipmentConnection &conn,
                                            QAbstractSocket::SocketError error) {
    // A peer that closes or resets its end is an ordinary disconnect: the
    // socket reports it next.
    if (conn.Closed || error == QAbstractSocket::RemoteHostClosedError)
        return;
    AnnounceLostConnection(conn, QLatin1String(") error"));
    CloseConnection(conn);
    if (FBoosterConnectNumber)
        FBoosterConnectNumber(GetEquipmentConnectCount());
}

void TEquipmentTcp::AnnounceLostConnection(TEquipmentConnection &conn, QLatin1String ending) {
    QString code;
    QString siteNum;
    quint8 equipmentNum = 0;
    if (conn.SocketData) {
        const TEquipmentIdentity id = *conn.SocketData;
        conn.SocketData.reset();
        try {
            code = id.EquipmentCode;
            siteNum = id.SiteNum();
            equipmentNum = id.EquipmentNum();
            EquipmentLineState(id.EquipmentCode, id.EquipmentType, siteNum, equipmentNum, false);
        } catch (const std::exception &e) {
            // The off-line notice is lost; the connection still goes.
            qCDebug(lcEquipment) << "off-line notice of" << id.EquipmentCode << "lost:" << e.what();
        }
    }
    // The socket's own error is an error; a peer that went is a disconnect.
    const TLogKind kind =
        ending == QLatin1String(") error") ? TLogKind::Error : TLogKind::Disconnect;
    Hint(LogEvent(kind, TLogPane::Events,
                  QLatin1String("Equipment (EquipmentCode:") + code + QLatin1String("  IP:") +
                      conn.RemoteAddress() + QLatin1String("  Port:") +
                      QString::number(conn.RemotePort()) + QLatin1String("  StationNo.:0x") +
                      siteNum + QLatin1String("  EquipmentNo.:") + QString::number(equipmentNum) +
                      ending,
                  clRed)
             .WithUnit(code)
             .WithPeer(conn.RemoteAddress(), conn.RemotePort()));
}

void TEquipmentTcp::CloseConnection(TEquipmentConnection &conn) {
    conn.Socket().abort();
    // abort() reports the disconnect itself when the socket was connected;
    // otherwise the closing is handled here. Either way it runs once.
    ServerSocketClientDisconnect(conn);
}

void TEquipmentTcp::RemoveConnection(TEquipmentConnection &conn) {
    std::erase(connections_, &conn);
    connectCount_ = static_cast<int>(connections_.size());
    if (presence_ && !conn.Heard.EquipmentCode.isEmpty())
        presence_->UnitGone(conn.Heard.EquipmentCode, conn.RemoteAddress(), conn.RemotePort());
    // Its liveness count serves nothing once it is gone; kept, the list
    // would hold every connection of the last nine ticks.
    ForgetLiveness(conn.Key());
    QObject::disconnect(&conn.Socket(), nullptr, &conn, nullptr);
    // Deleted once the event that closed it has unwound.
    conn.deleteLater();
}

void TEquipmentTcp::ServerSocketClientRead(TEquipmentConnection &conn) {
    QTcpSocket &socket = conn.Socket();
    while (!conn.Closed) {
        const QByteArray chunk = socket.read(ReadChunkBytes);
        if (chunk.isEmpty())
            break;
        try {
            conn.RecEquipmentPack.Append(chunk);
            conn.RecEquipmentPack.Cut([&](QByteArrayView frame) { HandleFrame(conn, frame); });
            if (conn.RecEquipmentPack.Size() > MaxReassemblyBytes) {
                conn.RecEquipmentPack.Clear();
                Hint(LogEvent(TLogKind::Error, TLogPane::Events,
                              QLatin1String("Equipment (IP:") + conn.RemoteAddress() +
                                  QLatin1String("  Port:") + QString::number(conn.RemotePort()) +
                                  QLatin1String(") sent more than 1 MiB without a complete frame: "
                                                "receive buffer emptied"),
                              clRed)
                         .WithPeer(conn.RemoteAddress(), conn.RemotePort()));
            }
        } catch (const std::exception &e) {
            // Whatever went wrong, the rest of the buffer is not trusted.
            qCDebug(lcEquipment) << "receive buffer of" << conn.Key() << "emptied:" << e.what();
            conn.RecEquipmentPack.Clear();
        }
    }
}

void TEquipmentTcp::HandleFrame(TEquipmentConnection &conn, QByteArrayView bytes) {
    CountMetric(&TServerMetrics::framesReceived);
    TReceivedFrame frame = ResolveReceivedFrame(bytes);
    if (const std::optional<THeartbeat> heartbeat = ResolveHeartbeat(frame)) {
        HandleHeartbeat(conn, bytes, frame, *heartbeat);
        return;
    }
    // Frames of a connection without identity are dropped; the operator's
    // log does not show them.
    if (!conn.SocketData) {
        qCDebug(lcEquipment) << "dropped a frame of unregistered connection" << conn.Key();
        CountMetric(&TServerMetrics::framesUnregistered);
        return;
    }
    AppendRecPackage(TRecPackage{conn.RemoteAddress(), conn.RemotePort(), conn.Key(),
                                 *conn.SocketData, std::move(frame)});
}

QString TEquipmentTcp::SendContent(TEquipmentConnection &conn, const QString &content) {
    const QString frame = BuildFrame(content);
    QByteArray bytes;
    const QString escaped = SendTransFormatBuf(frame, bytes);
    WriteBytes(conn, bytes);
    return FrameText(frame, escaped);
}

qint64 TEquipmentTcp::WriteBytes(TEquipmentConnection &conn, const QByteArray &bytes) {
    QTcpSocket &socket = conn.Socket();
    if (conn.Closed || socket.state() != QAbstractSocket::ConnectedState)
        return -1;
    // Past the bound the write would block, which counts as writing nothing:
    // each refusal is counted, and one red line tells of each episode.
    const qint64 written = WriteBounded(socket, bytes, MaxPendingWriteBytes);
    if (written >= 0) {
        conn.Drops.Written();
        return written;
    }
    qCDebug(lcEquipment) << "dropped a frame to" << conn.Key();
    if (conn.Drops.Dropped())
        Hint(LogEvent(
                 TLogKind::Error, TLogPane::Events,
                 QLatin1String("Equipment (IP:") + conn.RemoteAddress() + QLatin1String("  Port:") +
                     QString::number(conn.RemotePort()) +
                     QStringLiteral(") is not reading: %1 bytes waiting, frames to it are dropped "
                                    "until it reads again")
                         .arg(socket.bytesToWrite()),
                 clRed)
                 .WithPeer(conn.RemoteAddress(), conn.RemotePort()));
    return written;
}

void TEquipmentTcp::HandleHeartbeat(TEquipmentConnection &conn, QByteArrayView bytes,
                                    const TReceivedFrame &frame, const THeartbeat &beat) {
    const QString ip = conn.RemoteAddress();
    const QString port = QString::number(conn.RemotePort());

    if (!frame.CheckOk) {
        // No reply, no liveness reset, no registration.
        Hint(LogEvent(TLogKind::Error, TLogPane::Traffic,
                      QLatin1String("Equipment->Server HeartBeat (EquipmentIP:") % ip %
                          QLatin1String("  EquipmentPort:") % port % QLatin1Char(')') % QChar(13) %
                          FrameText(frame.SourcePackage, frame.TrulyPackage) %
                          QLatin1String(" Check code error"),
                      clYellow)
                 .WithPeer(ip, conn.RemotePort())
                 .WithFrame(bytes.toByteArray()));
        CountMetric(&TServerMetrics::framesBadCheck);
        return;
    }

    QString SiteId = beat.SiteId;
    const quint8 EquipmentNum = beat.EquipmentNum;
    const QString EquipmentCode =
        FromAscToNormal(QStringLiteral("0022"), beat.EquipmentCodeHex, 0x21, QStringLiteral("00"));
    const QString &EquipmentType = beat.EquipmentType;
    // Every heartbeat is answered and most are logged: the log's texts are
    // made only while the log is on, each in one allocation.
    const bool logOn = LogOn();
    // "  EquipmentIP:..  EquipmentPort:..": the part every heartbeat line shares.
    const QString where =
        QLatin1String("  EquipmentIP:") % ip % QLatin1String("  EquipmentPort:") % port;
    QString SiteNum = SiteNumText(beat.StationBytes);
    // "  StationNo.:0x..  EquipmentNo.:..)": the unit's place, in both lines.
    const QString place = logOn ? QString(QLatin1String("  StationNo.:0x") % SiteNum %
                                          QLatin1String("  EquipmentNo.:") %
                                          QString::number(EquipmentNum) % QLatin1Char(')'))
                                : QString();

    if (logOn)
        Hint(LogEvent(TLogKind::Heartbeat, TLogPane::Traffic,
                      QLatin1String("Equipment->Server HeartBeat (EquipmentCode:") % EquipmentCode %
                          where % place % QChar(13) %
                          FrameText(frame.SourcePackage, frame.TrulyPackage),
                      clYellow)
                 .WithUnit(EquipmentCode)
                 .WithPeer(ip, conn.RemotePort())
                 .WithFrame(bytes.toByteArray()));

    // Reply: AgreementType .. SerialId, "0001EE00", then both data items.
    const QString replyText = SendContent(conn, Concat({beat.ResHex, u"0001EE00", beat.Items}));
    CountMetric(&TServerMetrics::heartbeatsAnswered);
    if (logOn)
        Hint(LogEvent(TLogKind::Heartbeat, TLogPane::Events,
                      QLatin1String("Server->Equipment Reply HeartBeat (EquipmentCode:") %
                          EquipmentCode % where % place % QChar(13) % replyText,
                      clWhite)
                 .WithUnit(EquipmentCode)
                 .WithPeer(ip, conn.RemotePort()));

    ResetLiveness(conn.Key());

    if (conn.SocketData && conn.SocketData->EquipmentCode == EquipmentCode &&
        conn.SocketData->EquipmentType == EquipmentType && conn.SocketData->SiteId == SiteId) {
        Sighted(conn, *conn.SocketData);
        return; // registered already
    }

    if (SiteIdUsedByOther(EquipmentCode, SiteId)) {
        // Another unit has this station and equipment number: give this one a
        // new station number made from the time, "ddhhnnss" read as hex (or,
        // on a node of a cluster, one that no node has handed out).
        QString stationText;
        if (stations_) {
            try {
                stationText = stations_();
            } catch (const DbError &e) {
                conn.SocketData.reset();
                Hint(LogEvent(TLogKind::Error, TLogPane::Events,
                              QLatin1String("Equipment (EquipmentCode:") + EquipmentCode + where +
                                  QLatin1String(") has no new station number yet: ") +
                                  QString::fromStdString(e.what()),
                              clRed)
                         .WithUnit(EquipmentCode)
                         .WithPeer(conn.RemoteAddress(), conn.RemotePort()));
                return;
            }
        } else {
            stationText = clock_().toString(QStringLiteral("ddHHmmss"));
        }
        const QString newStation =
            FromNormalToASC(QStringLiteral("0101"), stationText, 0x10, 4, QStringLiteral("00"));
        const QString changeText = SendContent(
            conn, Concat({CopyText(beat.ResHex, 1, 14), u"0200800103FF070101", newStation}));
        const QString newSiteNum = SiteNumText(newStation);
        SiteId = newStation + IntToHexText(EquipmentNum, 2);
        Hint(LogEvent(TLogKind::Request, TLogPane::Events,
                      QLatin1String("Server->Equipment Modify StationNo. (EquipmentCode:") +
                          EquipmentCode + where + QLatin1String("  Old StationNo.:0x") + SiteNum +
                          QLatin1String("  New StationNo.:0x") + newSiteNum + QLatin1Char(')') +
                          QChar(13) + changeText,
                      clWhite)
                 .WithUnit(EquipmentCode)
                 .WithPeer(conn.RemoteAddress(), conn.RemotePort()));
        SiteNum = newSiteNum;
    }

    SetSiteId(EquipmentCode, SiteId);

    bool owned = false;
    try {
        owned = UserEquipment(EquipmentCode, EquipmentType);
    } catch (const DbError &e) {
        // Registration needs the database; the next heartbeat tries again.
        conn.SocketData.reset();
        Sighted(conn, {EquipmentCode, EquipmentType, SiteId});
        Hint(LogEvent(TLogKind::Error, TLogPane::Events,
                      QLatin1String("Equipment (EquipmentCode:") + EquipmentCode + where +
                          QLatin1String(") not registered: ") + QString::fromStdString(e.what()),
                      clRed)
                 .WithUnit(EquipmentCode)
                 .WithPeer(conn.RemoteAddress(), conn.RemotePort()));
        return;
    }
    if (owned) {
        conn.SocketData = TEquipmentIdentity{EquipmentCode, EquipmentType, SiteId};
        EquipmentLineState(EquipmentCode, EquipmentType, SiteNum, EquipmentNum, true);
    } else {
        // Nobody owns the unit: its frames are dropped from now on.
        conn.SocketData.reset();
    }
    Sighted(conn, {EquipmentCode, EquipmentType, SiteId});
}

void TEquipmentTcp::Sighted(TEquipmentConnection &conn, const TEquipmentIdentity &id) {
    if (conn.Heard.EquipmentCode != id.EquipmentCode) {
        // The connection speaks for another unit now: the one before is gone.
        if (presence_ && !conn.Heard.EquipmentCode.isEmpty())
            presence_->UnitGone(conn.Heard.EquipmentCode, conn.RemoteAddress(), conn.RemotePort());
    }
    conn.Heard = id;
    if (presence_)
        presence_->UnitHeartbeat(id, conn.RemoteAddress(), conn.RemotePort(),
                                 conn.SocketData.has_value());
}

bool TEquipmentTcp::RegisterHeard(const QString &EquipmentCode) {
    MMS_ASSERT_THREAD(thread());
    if (OnLineUnit(EquipmentCode))
        return false;
    for (auto it = connections_.rbegin(); it != connections_.rend(); ++it) {
        TEquipmentConnection &conn = **it;
        if (conn.Closed || conn.Heard.EquipmentCode != EquipmentCode)
            continue;
        // What its next heartbeat would do: the ownership look-up, then the
        // on-line notice to every entitled client.
        const TEquipmentIdentity id = conn.Heard;
        if (!UserEquipment(id.EquipmentCode, id.EquipmentType))
            return false;
        conn.SocketData = id;
        EquipmentLineState(id.EquipmentCode, id.EquipmentType, id.SiteNum(), id.EquipmentNum(),
                           true);
        return true;
    }
    return false;
}

std::optional<TEquipmentTcp::TOnLineUnit>
TEquipmentTcp::OnLineUnit(const QString &EquipmentCode) const {
    MMS_ASSERT_THREAD(thread());
    for (auto it = connections_.rbegin(); it != connections_.rend(); ++it) {
        const TEquipmentConnection &conn = **it;
        if (conn.SocketData && conn.SocketData->EquipmentCode == EquipmentCode)
            return TOnLineUnit{*conn.SocketData, conn.RemoteAddress(), conn.RemotePort()};
    }
    return std::nullopt;
}

bool TEquipmentTcp::UserEquipment(const QString &EquipmentCode, const QString &EquipmentType) {
    if (!dmNet)
        throw DbError("the data module is not open");
    return TUserEquipmentTable(*dmNet).RegisterUnit(EquipmentCode, EquipmentType);
}

void TEquipmentTcp::SetSiteId(const QString &EquipmentCode, const QString &SiteId) {
    if (auto it = siteIdByCode_.constFind(EquipmentCode); it != siteIdByCode_.cend()) {
        QString &current = lstSiteId[*it].second;
        if (current == SiteId)
            return;
        if (auto codes = codesBySiteId_.find(current); codes != codesBySiteId_.end()) {
            codes->remove(EquipmentCode);
            if (codes->isEmpty())
                codesBySiteId_.erase(codes);
        }
        current = SiteId;
    } else {
        siteIdByCode_.insert(EquipmentCode, lstSiteId.size());
        lstSiteId.emplace_back(EquipmentCode, SiteId);
    }
    codesBySiteId_[SiteId].insert(EquipmentCode);
}

bool TEquipmentTcp::SiteIdUsedByOther(const QString &EquipmentCode, const QString &SiteId) const {
    const auto it = codesBySiteId_.constFind(SiteId);
    if (it == codesBySiteId_.cend())
        return false;
    return it->size() > 1 || !it->contains(EquipmentCode);
}

void TEquipmentTcp::ForgetLiveness(const QString &key) {
    if (auto it = connectStateByKey_.find(key); it != connectStateByKey_.end()) {
        lstCheckConnectState.erase(*it);
        connectStateByKey_.erase(it);
    }
}

void TEquipmentTcp::ResetLiveness(const QString &key) {
    if (auto it = connectStateByKey_.constFind(key); it != connectStateByKey_.cend())
        (*it)->ticks = 0;
}

void TEquipmentTcp::timConnectStateTimer() {
    QSet<QString> stale;
    for (auto it = lstCheckConnectState.begin(); it != lstCheckConnectState.end();) {
        if (it->ticks < paces_.livenessTicks) {
            ++it->ticks;
            ++it;
        } else {
            stale.insert(it->key);
            connectStateByKey_.remove(it->key);
            it = lstCheckConnectState.erase(it);
        }
    }
    if (stale.isEmpty())
        return;

    // Closing removes connections from the list; walk the ones open now.
    const std::vector<TEquipmentConnection *> open = connections_;
    for (TEquipmentConnection *conn : open) {
        if (stale.isEmpty())
            break;
        if (!stale.contains(conn->Key()))
            continue;
        const QString ip = conn->RemoteAddress();
        const QString port = QString::number(conn->RemotePort());
        try {
            if (conn->SocketData) {
                const TEquipmentIdentity id = *conn->SocketData;
                conn->SocketData.reset();
                const QString siteNum = id.SiteNum();
                const quint8 equipmentNum = id.EquipmentNum();
                CloseConnection(*conn);
                EquipmentLineState(id.EquipmentCode, id.EquipmentType, siteNum, equipmentNum,
                                   false);
                Hint(LogEvent(TLogKind::Disconnect, TLogPane::Events,
                              QLatin1String("Equipment (EquipmentCode:") + id.EquipmentCode +
                                  QLatin1String("  EquipmentIP:") + ip +
                                  QLatin1String("  EquipmentPort:") + port +
                                  QLatin1String("  StationNo.:0x") + siteNum +
                                  QLatin1String("  EquipmentNo.:") + QString::number(equipmentNum) +
                                  QLatin1String(") abnormal"),
                              clRed)
                         .WithUnit(id.EquipmentCode)
                         .WithPeer(ip, conn->RemotePort()));
            } else {
                CloseConnection(*conn);
                Hint(LogEvent(TLogKind::Disconnect, TLogPane::Events,
                              QLatin1String("Equipment (EquipmentIP:") + ip +
                                  QLatin1String("  EquipmentPort:") + port +
                                  QLatin1String(") abnormal"),
                              clRed)
                         .WithPeer(ip, conn->RemotePort()));
            }
        } catch (const std::exception &e) {
            // The next connection is examined all the same.
            qCDebug(lcEquipment) << "liveness check of" << ip << port << ":" << e.what();
        }
        stale.remove(conn->Key());
    }
}

void TEquipmentTcp::SendToNet(const TSendBodyRecord &SendBody) {
    MMS_ASSERT_THREAD(thread());
    const QString subject = SendBody.EquipmentName.isEmpty()
                                ? QLatin1String("EquipmentCode:") + SendBody.EquipmentCode
                                : QLatin1String("Equipment:") + SendBody.EquipmentName;
    bool found = false;
    bool written = false;
    bool tooLong = false;
    QString unitIp;
    QString unitPort;
    QString where; // subject .. SerialId, shared by the log line and the notice
    QString frameText;
    try {
        // The newest connection of the unit gets the request.
        for (auto it = connections_.rbegin(); it != connections_.rend(); ++it) {
            TEquipmentConnection &conn = **it;
            if (!conn.SocketData || conn.SocketData->EquipmentCode != SendBody.EquipmentCode)
                continue;
            const TEquipmentIdentity &id = *conn.SocketData;
            unitIp = conn.RemoteAddress();
            unitPort = QString::number(conn.RemotePort());
            where = subject + QLatin1String("  EquipmentIP:") + unitIp +
                    QLatin1String("  EquipmentPort:") + unitPort +
                    QLatin1String("  StationNo.:0x") + id.SiteNum() +
                    QLatin1String("  EquipmentNo.:") + QString::number(id.EquipmentNum()) +
                    QLatin1String("  SerialId:") + QString::number(SendBody.SerialId);

            const QString frame =
                BuildFrame(CommTypeFlag + CommChildTypeFlag + id.SiteId + SendBody.SendPack);
            QByteArray bytes;
            const QString escaped = SendTransFormatBuf(frame, bytes);
            frameText = FrameText(frame, escaped);
            if (bytes.size() > MaxSendFrameBytes) {
                // Never cut a frame short: the unit would get a broken packet.
                tooLong = true;
                Hint(LogEvent(TLogKind::Error, TLogPane::Events,
                              QLatin1String("Data send equipment (") + where +
                                  QLatin1String(") fail: the frame has ") +
                                  QString::number(bytes.size()) +
                                  QLatin1String(" bytes after escaping, more than ") +
                                  QString::number(MaxSendFrameBytes),
                              clRed)
                         .WithUnit(SendBody.EquipmentCode)
                         .WithPeer(unitIp, conn.RemotePort()));
            } else {
                Hint(LogEvent(TLogKind::Request, TLogPane::Events,
                              QLatin1String("Server->Equipment (") + where + QLatin1Char(')') +
                                  QChar(13) + frameText,
                              clWhite)
                         .WithUnit(SendBody.EquipmentCode)
                         .WithPeer(unitIp, conn.RemotePort())
                         .WithFrame(bytes));
                written = WriteBytes(conn, bytes) > 0;
                if (written) {
                    TEquipmentBase::SendToNet(SendBody);
                    CountMetric(&TServerMetrics::requestsRelayed);
                } else
                    Hint(LogEvent(TLogKind::Error, TLogPane::Events,
                                  QLatin1String("Data send equipment (") + where +
                                      QLatin1String(") fail"),
                                  clRed)
                             .WithUnit(SendBody.EquipmentCode)
                             .WithPeer(unitIp, conn.RemotePort()));
            }
            found = true;
            break;
        }
    } catch (const std::exception &e) {
        // The search ends; the unit counts as found only if its send was handled.
        qCDebug(lcEquipment) << "request" << SendBody.SerialId << "for" << SendBody.EquipmentCode
                             << ":" << e.what();
    }
    if (!found)
        Hint(LogEvent(TLogKind::Error, TLogPane::Events, subject + QLatin1String(" not connect"),
                      clRed)
                 .WithUnit(SendBody.EquipmentCode));

    // The server's own requests have no client to tell.
    TClientLink *client = ClientLink();
    if (!client || SendBody.ClientIp.isEmpty())
        return;
    if (!found) {
        client->SendToClient(SendBody.ClientIp, SendBody.ClientPort,
                             QLatin1String("*21") + subject + QLatin1String(" not connect*"));
        return;
    }
    if (!tooLong)
        client->SendToClient(SendBody.ClientIp, SendBody.ClientPort,
                             QLatin1String("*21Send (") + where + QLatin1Char(')') + QChar(13) +
                                 frameText + QLatin1Char('*'));
    if (!written)
        client->SendToClient(
            SendBody.ClientIp, SendBody.ClientPort,
            QLatin1String("*21Send data equipment(") + subject + QLatin1String("  EquipmentIP:") +
                unitIp + QLatin1String("  EquipmentPort:") + unitPort + QLatin1String(") fail*"));
}

QString TEquipmentTcp::UserLineState(const QString &UserName, bool NoSuspend,
                                     QString &OnLineEquipmentStr) {
    if (!dmNet)
        throw DbError("the data module is not open");
    // EquipmentCode -> EquipmentName of the user's units, first row first.
    std::vector<std::pair<QString, QString>> units;
    for (const TOwnedUnit &unit : TUserEquipmentTable(*dmNet).UnitsOf(UserName))
        units.emplace_back(unit.EquipmentCode, unit.EquipmentName);

    QString sValue;
    OnLineEquipmentStr.clear();
    int count = 0;
    try {
        for (const TEquipmentConnection *conn : connections_) {
            if (!conn->SocketData)
                continue;
            const TEquipmentIdentity &id = *conn->SocketData;
            const QString entry =
                id.EquipmentCode + QLatin1Char('@') + id.EquipmentType + QLatin1String("&01,");
            if (!NoSuspend) {
                sValue += entry;
                continue;
            }
            const auto unit = std::find_if(units.begin(), units.end(), [&](const auto &u) {
                return u.first == id.EquipmentCode;
            });
            if (unit == units.end())
                continue;
            sValue += entry;
            OnLineEquipmentStr +=
                QLatin1String(" [Equipment:") + TrimBlanks(unit->second).toString() +
                QLatin1String("  SiteNo.:") + id.SiteNum() + QLatin1String("  EquipmentNo.:") +
                QString::number(id.EquipmentNum()) + QLatin1Char(']');
            ++count;
        }
    } catch (const std::exception &e) {
        // What was built so far remains.
        qCDebug(lcEquipment) << "on-line list of" << UserName << "cut short:" << e.what();
    }
    OnLineEquipmentStr = TrimBlanks(OnLineEquipmentStr).toString();
    if (count == 1)
        OnLineEquipmentStr = OnLineEquipmentStr.mid(1, OnLineEquipmentStr.size() - 2);
    return sValue;
}
