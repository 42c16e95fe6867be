// The database-save and reply worker: closes the loop of every equipment
// request. It watches lstTempHistory; an answered entry is sent to the client
// that asked for it (or broadcast, for alarm reports and parameter lists),
// logged, stored in QueryHistory or AlarmHistory and removed; an entry left
// unanswered for the expiry time (one minute) is removed without trace.
#pragma once

#include "PacedThread.h"

#include "ClientLink.h"
#include "HistoryBacklog.h"
#include "LinkPaces.h"
#include "PublicU.h"
#include "TempHistory.h"

#include <QDateTime>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

// Threading: the worker thread runs Pass() every replyPass. lstTempHistory and
// its entries are read and removed under lstTempHistoryLock, which is never
// held while sending, logging or using the database (the event thread takes
// the data-module lock and lstTempHistoryLock in its own order). Only this
// worker removes entries, so an entry found under the lock stays where it is
// while the worker handles a copy of it. Sends go through the TClientLink,
// whose implementation marshals them to the event thread; the database is
// reached through dmNet (this thread's own connection, the data-module lock).
class TSaveDataBaseSendClient {
public:
    using TClock = std::function<QDateTime()>;

    // clock gives the current local time; the default is the system clock.
    TSaveDataBaseSendClient(TClientLink &ClientTcp, TCommInfoHint CommInfoHint, TLinkPaces paces,
                            TClock clock = {});
    ~TSaveDataBaseSendClient();
    TSaveDataBaseSendClient(const TSaveDataBaseSendClient &) = delete;
    TSaveDataBaseSendClient &operator=(const TSaveDataBaseSendClient &) = delete;

    // Starts the worker thread (once).
    void Start();
    // Stops and joins the worker thread.
    void Stop();

    // One pass over lstTempHistory: first writes history rows that waited
    // for the database (when it takes them again), then handles every
    // answered entry and drops every expired one, pausing replyPerEntry after
    // each. A failure while sending ends the pass and leaves that entry for
    // the next one; a broadcast that cannot look up the owners because the
    // database is unavailable is logged and skipped, and the row is stored
    // all the same. The thread runs this once per replyPass; tests call it
    // directly.
    void Pass();

private:
    void Run();
    // Sleeps for the given time; false when asked to stop.
    bool Pause(std::chrono::milliseconds time);
    // Sends and logs one answered entry (may throw).
    void SendAnswer(const TTempHistoryInfo &E);
    // Stores one answered entry in its history table, if it is stored at all;
    // while the database is unavailable the row waits in the backlog.
    void SaveHistory(const TTempHistoryInfo &E);
    // The backlog of rows for dmNet (nothing without a data module).
    THistoryBacklog *Backlog();

    TClientLink &FClientTcp;
    TCommInfoHint FCommInfoHint;
    TLinkPaces paces_;
    TClock clock_;
    std::unique_ptr<THistoryBacklog> backlog_;

    TPacedThread worker_; // last: stopped before the rest is destroyed
};
