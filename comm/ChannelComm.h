// The channel worker: takes the clients' equipment requests off the event
// thread and hands them, one every pace (80 ms), to the equipment link.
#pragma once

#include "FairQueue.h"
#include "PacedThread.h"

#include "PublicU.h"

#include <QSet>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

// One client request as the equipment link's AddDataPackage takes it.
struct TChannelRequest {
    QString UserName;
    QString EquipmentName;
    QString EquipmentCode;
    QString OperateFlag;
    int SendMode = 0;
    QString ClientIp;
    int ClientPort = 0;
    QString Dictate;
};

// Splits a queue entry UserName "%" ClientIp "^" ClientPort "&"
// EquipmentCode "@" OperateFlag Dictate "#" EquipmentName, each separator
// found by its first occurrence. A parameter-list request ("05") carries no
// equipment name. Returns nullopt when a separator is missing or out of
// order, or the port is not a number.
std::optional<TChannelRequest> SplitChannelEntry(const QString &entry);

// Hands one request to the equipment link; called on the worker thread, so it
// must be thread-safe (AddDataPackage is).
using TAddDataPackage = std::function<void(const TChannelRequest &)>;

// Threading: the event thread appends (AddClientPack); the worker thread
// takes entries and calls the TAddDataPackage hook. lstClientPack,
// overflowReported_ and floods_ are guarded by lock_. The worker
// thread owns nothing else.
class TChannelComm {
public:
    // The queue holds at most this many entries; beyond it requests are
    // dropped (at 12 requests a second the queue is then minutes long).
    static constexpr std::size_t MaxQueued = 10000;
    // One connection's share of the queue: beyond it that connection's new
    // requests are dropped (one red line per episode) until half of its share
    // has been handed on; the connections are served in turn.
    static constexpr std::size_t MaxQueuedPerConnection = 1000;

    TChannelComm(TCommInfoHint CommInfoHint, TAddDataPackage addDataPackage,
                 std::chrono::milliseconds pace);
    ~TChannelComm();
    TChannelComm(const TChannelComm &) = delete;
    TChannelComm &operator=(const TChannelComm &) = delete;

    // Starts the worker thread (once).
    void Start();
    // Stops and joins the worker thread; queued entries stay queued.
    void Stop();

    // Appends an entry of the client connection named connection (its
    // address and port) to that connection's turn of the queue. Any thread.
    void AddClientPack(const QString &connection, const QString &entry);
    // The same, the connection read from the entry's own address and port.
    void AddClientPack(const QString &entry);
    std::size_t Count() const;

    // Takes the first entry and hands it on; a malformed entry, or a failure
    // inside the hook, drops it. False when the queue was empty. The thread
    // runs this once per pace; tests call it directly.
    bool Step();

private:
    void Run();
    // Sleeps for the pace; false when asked to stop.
    bool Pause();

    TCommInfoHint FCommInfoHint;
    TAddDataPackage addDataPackage_;
    std::chrono::milliseconds pace_;

    mutable std::mutex lock_;
    TFairQueue<QString> lstClientPack{MaxQueuedPerConnection};
    bool overflowReported_ = false;
    QSet<QString> floods_; // connections told that their share is full

    TPacedThread worker_; // last: stopped before the rest is destroyed
};
