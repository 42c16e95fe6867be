// The equipment side of the server: the TCP listener on the equipment port,
// the cutting of frames from each connection, heartbeats and their replies,
// registration with station numbers and ownership, liveness, and the sending
// of queued requests to the units.
//
// Threading contract: everything here runs on the event thread (socket
// events, the liveness timer, SendToNet, UserLineState,
// GetEquipmentConnectCount). The connection list, lstSiteId and
// lstCheckConnectState are used only there and need no lock. The database is
// reached through dmNet, which takes its own lock.
#pragma once

#include "AcceptGuard.h"
#include "EquipmentBase.h"
#include "EquipmentConnection.h"
#include "ProxyGate.h"
#include "UnitPresence.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QSet>
#include <QTcpServer>
#include <QTimer>

#include <atomic>
#include <functional>
#include <list>
#include <optional>
#include <vector>

class TEquipmentTcp : public TEquipmentBase {
    Q_OBJECT
public:
    // Listens on DeviceConnectPort (IPv4, every interface; 0 picks a free
    // port) and starts the queue and liveness timers. When listening fails,
    // IsListening() is false, ListenError() says why and no timer runs.
    TEquipmentTcp(int DeviceConnectPort, TCommInfoHint CommInfoHint,
                  TBoosterConnectNumber BoosterConnectNumber, const TLinkPaces &paces = {},
                  QObject *parent = nullptr);
    ~TEquipmentTcp() override;

    bool IsListening() const { return ServerSocket.isListening(); }
    QString ListenError() const { return listenError_; }
    quint16 ServerPort() const { return ServerSocket.serverPort(); }

    // Sends one queued request to the unit's newest connection, logs it, tells
    // the requesting client in "*21" notices and records it as pending once
    // at least one byte was written.
    void SendToNet(const TSendBodyRecord &SendBody) override;

    // The on-line units of a user, as the "*12" entries ("code@type&01,"
    // each); OnLineEquipmentStr gets the description for the log. With
    // NoSuspend false every registered connection is listed.
    QString UserLineState(const QString &UserName, bool NoSuspend, QString &OnLineEquipmentStr);

    // Number of open equipment connections. Any thread.
    int GetEquipmentConnectCount() const { return connectCount_.load(std::memory_order_relaxed); }

    // Liveness timer handler, public so that a test can drive it by hand.
    void timConnectStateTimer();

    // The station-number registry, code + "#" + SiteId per unit, in the order
    // the codes were first seen.
    QStringList SiteIdRegistry() const;

    // The most connections kept open at once; beyond it new ones are closed
    // at once (one red line per episode).
    void SetMaxConnections(std::size_t max) { maxConnections_ = max; }

    // With on, every new connection reads a PROXY protocol header first (the
    // port is behind a balancer) and is known by the address the header
    // names; one without a valid header is closed. Connections accepted
    // before keep what they had.
    void SetAcceptProxy(bool on, TProxyGate::Settings settings = {});
    // Connections closed for want of a valid PROXY header so far.
    quint64 ProxyHeadersRefused() const { return proxyGate_ ? proxyGate_->Refused() : 0; }

    // The observer told of heartbeats and closed connections of units; may
    // be null. Link thread.
    void SetUnitPresence(TUnitPresence *presence) { presence_ = presence; }

    // The identity of the unit's newest registered connection with its
    // peer address and port; nothing when the unit is not on line. Link
    // thread.
    struct TOnLineUnit {
        TEquipmentIdentity id;
        QString address;
        int port = 0;
    };
    std::optional<TOnLineUnit> OnLineUnit(const QString &EquipmentCode) const;
    // Registers a unit that heartbeats on an open connection but was not
    // registered (it had no owner then) as its next heartbeat would, now
    // that it has one: its owners are told it is on line. False when there
    // is no such connection or the unit still has no owner. Throws DbError
    // when the look-up fails. Link thread.
    bool RegisterHeard(const QString &EquipmentCode);

    // The clock that makes new station numbers (tests pin it).
    void SetClock(std::function<QDateTime()> clock) { clock_ = std::move(clock); }
    // Where new station numbers come from instead of the clock (a node of a
    // cluster: numbers no other node has handed out): eight hex digits.
    // Throws DbError when none can be had; the unit is then registered on a
    // later heartbeat.
    void SetStationSource(std::function<QString()> source) { stations_ = std::move(source); }

    // A connection's reassembly buffer beyond this size without a complete
    // frame is emptied.
    static constexpr qsizetype MaxReassemblyBytes = 1024 * 1024;
    // An outgoing frame may hold at most this many bytes after escaping.
    static constexpr qsizetype MaxSendFrameBytes = 2049;
    // Bytes a connection may have queued for sending; a write beyond it would
    // block and counts as writing nothing.
    static constexpr qint64 MaxPendingWriteBytes = 64 * 1024;

private:
    friend class TEquipmentConnection;

    // Socket events, forwarded by the connection objects.
    void ServerSocketClientConnect(TEquipmentConnection &conn);
    void ServerSocketClientDisconnect(TEquipmentConnection &conn);
    void ServerSocketClientRead(TEquipmentConnection &conn);
    void ServerSocketClientError(TEquipmentConnection &conn, QAbstractSocket::SocketError error);
    // Takes the identity off a lost connection, announces the unit off line
    // and logs the loss in red with the given ending.
    void AnnounceLostConnection(TEquipmentConnection &conn, QLatin1String ending);

    void AcceptPending();
    // Makes the connection of an accepted socket whose peer is known.
    void Admit(QTcpSocket *socket, const TPeer &peer);
    // Parses one cut frame once: a heartbeat is answered at once, any other
    // frame of a registered unit goes to the receive queue.
    void HandleFrame(TEquipmentConnection &conn, QByteArrayView bytes);
    void HandleHeartbeat(TEquipmentConnection &conn, QByteArrayView bytes,
                         const TReceivedFrame &frame, const THeartbeat &beat);
    // Frames, escapes and writes a content text; returns the frame text for
    // the log ("unescaped(Truly escaped)" when escaping changed it).
    QString SendContent(TEquipmentConnection &conn, const QString &content);
    // Writes without blocking: the number of bytes taken, or -1 when nothing
    // could be written.
    qint64 WriteBytes(TEquipmentConnection &conn, const QByteArray &bytes);
    // Closes a connection now and runs its closed-connection handling.
    void CloseConnection(TEquipmentConnection &conn);
    void RemoveConnection(TEquipmentConnection &conn);
    // Ownership lookup: true when the unit has a UserEquipment row; rows with
    // another type get the reported one.
    bool UserEquipment(const QString &EquipmentCode, const QString &EquipmentType);
    void SetSiteId(const QString &EquipmentCode, const QString &SiteId);
    bool SiteIdUsedByOther(const QString &EquipmentCode, const QString &SiteId) const;
    void ResetLiveness(const QString &key);
    void ForgetLiveness(const QString &key);
    // Tells the fleet observer of a valid heartbeat on the connection.
    void Sighted(TEquipmentConnection &conn, const TEquipmentIdentity &id);

    QTcpServer ServerSocket;
    QTimer timConnectState;
    QString listenError_;

    // Open connections in the order they were accepted.
    std::vector<TEquipmentConnection *> connections_;
    // Its size, for readers on other threads (the operator's views).
    std::atomic<int> connectCount_{0};

    // lstSiteId: code -> SiteId in first-seen order, with an index by SiteId
    // for the station conflict test.
    std::vector<std::pair<QString, QString>> lstSiteId;
    QHash<QString, std::size_t> siteIdByCode_;
    QHash<QString, QSet<QString>> codesBySiteId_;

    // lstCheckConnectState: ticks since the last valid heartbeat, per key.
    struct TConnectState {
        int ticks = 0;
        QString key;
    };
    std::list<TConnectState> lstCheckConnectState;
    QHash<QString, std::list<TConnectState>::iterator> connectStateByKey_;

    std::function<QDateTime()> clock_ = [] { return QDateTime::currentDateTime(); };
    std::function<QString()> stations_;
    std::size_t maxConnections_ = 20000;
    TUnitPresence *presence_ = nullptr;
    bool refusing_ = false;     // an episode of refused connections is on
    TAcceptGuard *acceptGuard_; // child of ServerSocket
    // Connections waiting for their PROXY header; null unless AcceptProxy.
    std::unique_ptr<TProxyGate> proxyGate_;
};

// The one equipment server, owned by the start-up code; null before it is
// created and after it is released.
extern TEquipmentTcp *EquipmentTcp;
