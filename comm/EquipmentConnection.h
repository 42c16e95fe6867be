// One equipment unit's TCP connection: its socket, its reassembly buffer and
// the identity a heartbeat gave it. The equipment server owns it (as a Qt
// child); the object forwards the socket's events to the server and is
// deleted later, once the server has handled its closing.
#pragma once

#include "BoundedWrite.h"
#include "FrameCutter.h"
#include "Peer.h"

#include <QAbstractSocket>
#include <QObject>
#include <QString>

#include <optional>

class QTcpSocket;
class TEquipmentTcp;

// The identity of a registered unit (SocketData): code, type (2 hex digits)
// and SiteId (the 4 station bytes in frame order and the equipment number,
// 10 hex digits).
struct TEquipmentIdentity {
    QString EquipmentCode;
    QString EquipmentType;
    QString SiteId;

    // EquipmentCode + "@" + EquipmentType + SiteId + "#".
    QString SocketData() const;
    // The station number as shown: most significant byte first, no leading zeros.
    QString SiteNum() const;
    // The equipment number byte. Throws ConvertError when SiteId is malformed.
    quint8 EquipmentNum() const;
};

// Station number of a 4-byte frame-order hex text, as shown in the log.
QString SiteNumText(QStringView stationBytes);

class TEquipmentConnection : public QObject {
    Q_OBJECT
public:
    // Takes the accepted socket as its child. The peer is the socket's own
    // or the one its PROXY header named, taken once: a socket forgets its
    // address when it closes.
    TEquipmentConnection(TEquipmentTcp &server, QTcpSocket *socket, TPeer peer);

    QTcpSocket &Socket() const { return *socket_; }
    const QString &RemoteAddress() const { return remoteAddress_; }
    quint16 RemotePort() const { return remotePort_; }
    // Remote address + "#" + remote port: the liveness key.
    const QString &Key() const { return key_; }

    // The identity attached by a heartbeat; empty while unregistered.
    std::optional<TEquipmentIdentity> SocketData;
    // The identity of the last valid heartbeat, registered or not (empty
    // code: none yet): whom the fleet observer is told of when the
    // connection closes, and what an assignment registers at once.
    TEquipmentIdentity Heard;
    // The reassembly buffer (RecEquipmentPackStr, kept as bytes).
    TFrameCutter RecEquipmentPack;
    // Frames refused because the unit stopped reading.
    TWriteDrops Drops;
    // Set once the closed-connection handling has run.
    bool Closed = false;

    // Cuts the socket loose from the server: no further event reaches it.
    void Detach();

private:
    TEquipmentTcp &server_;
    QTcpSocket *socket_; // child of this object
    QString remoteAddress_;
    quint16 remotePort_ = 0;
    QString key_;
};
