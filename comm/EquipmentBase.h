// The transport-independent half of the equipment link: the send queue of
// requests waiting for their unit, the receive queue of frames waiting for
// processing, the timers that drain both, the building of request packets
// with their serial numbers, and the processing of received packets.
//
// Threading contract:
//   - The object lives on the event thread. The timers, SendToNet,
//     ComPackShow and EquipmentLineState run there, as does everything that
//     touches lstRecPackage and the client link.
//   - AddDataPackage may be called from any thread (the channel worker calls
//     it on its own thread). The send queue is guarded by sendLock_. The
//     allocation of serial numbers from HandPackFlagNumber /
//     CirclePackFlagNumber is guarded by serialLock_, held for the whole
//     test-wrap-increment step and for the reservation of a new block.
//   - Alarm reports go to the alarm committer; their acknowledgements come
//     back from its thread through AddDataPackage once their rows are stored.
//   - lstTempHistory is touched only under lstTempHistoryLock, the database
//     only through dmNet.
#pragma once

#include "AlarmCommitter.h"
#include "ClientLink.h"
#include "EquipmentConnection.h"
#include "FairQueue.h"
#include "LinkPaces.h"
#include "PublicU.h"
#include "ReceivedFrame.h"

#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

// One request ready to be sent to a unit.
struct TSendBodyRecord {
    QString UserName; // empty for the server's own requests
    QString ClientIp; // empty for the server's own requests
    int ClientPort = 0;
    QString EquipmentName;
    QString EquipmentCode;
    int SerialId = 0;
    QString OperateFlag; // as the caller gave it: "01", "02", "03", "05"
    int PackAllCount = 1;
    int PackNum = 1;
    QString SendPack;  // serial number .. data items, hex
    QString QueryMode; // "General" or "Poll"
};

struct TSendBodyInfo {
    TSendBodyRecord Body;
};

// The sub-queue of one requesting client connection, oldest first. All
// requests the server makes itself share the pair ("", 0).
struct TSendPackageInfo {
    QString ClientIp;
    int ClientPort = 0;
    std::deque<TSendBodyInfo> lstBody;
};

// One receive-queue entry: a frame of a registered unit, parsed once when it
// was cut, with where it came from.
struct TRecPackage {
    QString EquipmentIp;
    int EquipmentPort = 0;
    QString ConnectionKey;       // the connection's liveness key (address#port)
    TEquipmentIdentity Identity; // what the unit's heartbeat registered
    TReceivedFrame Frame;

    // Characters held, for the queue's bound.
    qsizetype Chars() const;
};

class TEquipmentBase : public QObject {
    Q_OBJECT
public:
    TEquipmentBase(TCommInfoHint CommInfoHint, TBoosterConnectNumber BoosterConnectNumber,
                   const TLinkPaces &paces, QObject *parent = nullptr);
    ~TEquipmentBase() override;
    TEquipmentBase(const TEquipmentBase &) = delete;
    TEquipmentBase &operator=(const TEquipmentBase &) = delete;

    // Builds a request body with a fresh serial number (or, for an
    // acknowledgement "01", the serial number in the first two bytes of
    // Dictate) and appends it to the sub-queue of (ClientIp, ClientPort).
    // SendMode 1 draws from the polling counter, any other value from the
    // ordinary one. Any thread. Throws ConvertError when an acknowledgement's
    // Dictate does not start with two hex bytes.
    void AddDataPackage(const QString &UserName, const QString &EquipmentName,
                        const QString &EquipmentCode, const QString &OperateFlag, int SendMode,
                        const QString &ClientIp, int ClientPort, const QString &Dictate);

    // Sends one body. The base sends nothing: it records the request as
    // pending in lstTempHistory unless it is an acknowledgement ("01") or a
    // parameter-list request ("05").
    virtual void SendToNet(const TSendBodyRecord &SendBody);

    // Processes one receive-queue entry: checks the frame and hands it to
    // the handler of its command flag (report, parameter-list page, answer).
    // Never throws: a failing entry is dropped with a debug line. Event thread.
    void ComPackShow(const TRecPackage &entry);

    // Tells the clients entitled to the unit that it went on or off line.
    // Failures of the broadcast reach the caller.
    void EquipmentLineState(const QString &EquipmentCode, const QString &EquipmentType,
                            const QString &SiteNum, quint8 EquipmentNum, bool OnLine);
    // The same notice for one account's clients only (its name for the unit
    // is EquipmentName): what they are told when the unit is assigned to the
    // account, or taken from it, while the unit is on line.
    void OwnerLineState(const QString &UserName, const QString &EquipmentName,
                        const QString &EquipmentCode, const QString &EquipmentType,
                        const QString &SiteNum, quint8 EquipmentNum, bool OnLine);

    // Serial numbers are reserved in blocks before they are used: the last
    // number of the block is stored under the counter's own NormalParam key
    // ("HandPackFlagNumber", "CirclePackFlagNumber"), so a restart after any
    // kind of exit starts past every number that may have been used.
    static constexpr int SerialBlock = 256;
    // Stores the last reserved number of a counter; throws DbError when it
    // cannot. The default writes NormalParam through dmNet (nothing without
    // a data module).
    using TReserveSerials = std::function<void(const QString &key, int last)>;
    void SetSerialReserver(TReserveSerials reserve);
    // Where a node of a cluster takes its blocks from instead: the index of
    // a block no other node has been given (block k of a counter holds the
    // numbers first+1+k*SerialBlock on). Nothing is stored then; throws
    // DbError when no block can be had.
    using TSerialBlocks = std::function<int(const QString &key)>;
    void SetSerialBlockSource(TSerialBlocks blocks);
    // Runs save, which stores the exact counters (a clean exit), under the
    // serial lock, then closes the reserved blocks at the numbers in use: a
    // number drawn after the save (a request still on its way while the exit
    // goes on) is reserved on disk before it is used, so the next start never
    // repeats it. Whatever save throws passes through, the blocks unchanged.
    void SaveExactSerials(const std::function<void()> &save);

    // The alarm reports waiting for their rows and acknowledgements.
    TAlarmCommitter &AlarmCommitter() { return *alarms_; }

    // The client server that receives line states and send notices; may be
    // null (nobody receives them). Event thread.
    void SetClientLink(TClientLink *link) { clientLink_ = link; }
    TClientLink *ClientLink() const { return clientLink_; }

    // Timer handlers, public so that a test can drive the pace by hand.
    // timSendDataPackTimer sends sendFramesPerTick requests per sub-queue
    // (by default one; 0: all); timRecDataPackTimer processes
    // receiveFramesPerTick received frames (by default one; 0: all waiting).
    void timSendDataPackTimer();
    void timRecDataPackTimer();

    // The receive queue in the order the ticks will take it (event thread).
    std::vector<TRecPackage> RecPackage() const { return lstRecPackage.InServiceOrder(); }
    std::size_t RecPackageCount() const { return lstRecPackage.Size(); }
    // Requests waiting in the send queue (any thread).
    std::size_t SendPackageCount();

    // Bounds of the receive queue: beyond them newly cut frames are dropped
    // (one red line per overflow) until the queue has drained to half.
    static constexpr std::size_t MaxRecPackageEntries = 100000;
    static constexpr qsizetype MaxRecPackageChars = 32 * 1024 * 1024;
    // One connection's share of the receive queue: beyond it that
    // connection's new frames are dropped (one red line per episode) until
    // half of its share has been served; the others are served in turn.
    static constexpr std::size_t MaxRecPackagePerConnection = 1000;

protected:
    // Starts both queue timers (the transport calls it once it listens): the
    // send tick at once, the receive tick half a receive period later.
    void StartQueueTimers();
    // Appends one entry to the receive queue, within its bounds.
    void AppendRecPackage(TRecPackage entry);
    // Logs one event when logging is on and a log callback was given.
    // Whether Hint passes events on (a callback and the log switch on): the
    // per-frame events of the hot path are built only then.
    bool LogOn() const;
    void Hint(const TLogEvent &event) const;
    void Hint(const QString &text, quint32 colour) const { Hint(NoteEvent(text, colour)); }

    QString CommTypeFlag;
    QString CommChildTypeFlag;
    TCommInfoHint FCommInfoHint;
    TBoosterConnectNumber FBoosterConnectNumber;
    TLinkPaces paces_;

private:
    // Takes the oldest received frame off the queue and processes it.
    void TakeRecPackage();

    // What ComPackShow found wrong with a frame (the last failing check), or
    // the empty text.
    static QString FrameErrorValue(const TOnePackRecord &rec, bool checkOk);
    // Logs a line-state notice sent to the receivers (nothing when none).
    void LineStateSent(const QString &receivers, const QString &EquipmentCode,
                       const QString &SiteNum, quint8 EquipmentNum, bool OnLine);
    // The handlers of the three kinds of frames a unit sends.
    void HandleReport(const TRecPackage &entry, const TOnePackRecord &rec,
                      const QString &ErrorValue);
    QString HandleParamListPage(const TRecPackage &entry, const TOnePackRecord &rec);
    QString HandleAnswer(const TRecPackage &entry, const TOnePackRecord &rec,
                         const QString &ErrorValue);
    void StoreParamListPage(const QString &EquipmentCode, int QueryNum,
                            QString &ListContentStr) const;

    // One request counter: its range and the block of it reserved on disk.
    struct TSerialSpace {
        std::atomic<int> &counter;
        const char *key;
        int first, last; // numbers first+1 .. last
        int blockFirst = -1, blockLast = -1;
        // From a block source: the block taken ahead, not yet in use.
        int aheadFirst = -1;
    };
    // The next serial number of the space, reserving its block first when
    // it lies outside the reserved one. Throws DbError when the block cannot
    // be reserved (no number is taken then). Holds serialLock_.
    int NextSerial(TSerialSpace &space);
    // The same from the block source: the next number of the block in use,
    // or the first of a new block. Holds serialLock_.
    int NextBlockSerial(TSerialSpace &space);
    // The first number of a new block of the space. Throws DbError.
    int TakeBlock(TSerialSpace &space);
    // Stores the end of a block starting at from (or extends the block that
    // holds from). Throws DbError. Holds serialLock_.
    void Reserve(TSerialSpace &space, int from);
    // Reserves the first block of each space (failures are left for the
    // first request).
    void ReserveFirstSerials();

    std::mutex serialLock_; // guards the serial spaces and the counters
    TSerialSpace handSerials_;
    TSerialSpace circleSerials_;
    TReserveSerials reserveSerials_;
    TSerialBlocks serialBlocks_;
    std::mutex sendLock_; // guards lstSendPackage
    std::vector<std::unique_ptr<TSendPackageInfo>> lstSendPackage;
    QTimer timSendDataPack;
    QTimer timRecDataPack;
    // Served one connection at a time, in turn.
    TFairQueue<TRecPackage> lstRecPackage{MaxRecPackagePerConnection};
    QSet<QString> recPackageFloods_; // connections told of an overflow
    qsizetype recPackageChars_ = 0;
    bool recPackageFull_ = false;
    TClientLink *clientLink_ = nullptr;
    std::unique_ptr<TAlarmCommitter> alarms_; // last: its thread stops first
};
