// The fleet as a view shows it: one row per unit the server knows (assigned
// to an account in UserEquipment, or connected and heartbeating), with its
// identity, owners, connection, last heartbeat and last alarm.
//
// Where the rows come from:
//   - at Start, UserEquipment (identity and owners) and the alarm analysis
//     state (the last state of each alarm parameter), read on the model's own
//     thread with its own connection; UserEquipment again every ownerReload
//     and when ReloadOwners is called (after an assignment changed);
//   - the equipment server's presence calls (TUnitPresence: heartbeats and
//     closed connections), made on the link thread whatever the log switch
//     says, which only queue what they were told;
//   - the event stream's reports, whose frames give the alarm states.
// Everything is applied on the model's thread, a gathered batch at a time.
//
// Threading: every public call may be made from any thread. Readers take a
// copy under a shared lock; the link thread never waits for a reader.
#pragma once

#include "CommInfoHintSink.h"
#include "EquipmentConnection.h"
#include "NetD.h"
#include "UnitPresence.h"

#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QThread>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <vector>

struct TFleetOwner {
    QString UserName;
    QString EquipmentName; // the account's name for the unit
};

// A state an alarm parameter of a unit was last reported in.
struct TFleetAlarm {
    QString ParamCode; // four hex digits, high byte first
    QString Parameter; // its dictionary name
    QString State;     // as decoded: "Alert", "Normal"
    QDateTime Time;
};

struct TFleetRow {
    QString EquipmentCode;
    QString EquipmentName; // the owners' names for it, distinct, joined by ", "
    QString EquipmentType; // two hex digits
    QString TypeName;      // the dictionary's name of the type; empty when unknown
    QString StationNo;     // as the log shows it; empty until heard
    int EquipmentNo = -1;  // -1 until heard
    std::vector<TFleetOwner> Owners;
    QString Address; // of its newest connection; empty until heard
    int Port = 0;
    bool OnLine = false;
    bool Registered = false; // on line with an owner: its frames are taken
    QDateTime Since;         // when it went on or off line; invalid: not since the start
    QDateTime LastHeartbeat; // invalid: none since the start
    std::optional<TFleetAlarm> LastAlarm;
    int AlarmsActive = 0; // alarm parameters whose last state is "Alert"
    // The model's change counter when the row last changed (any field), and
    // when a field other than LastHeartbeat last changed.
    std::uint64_t Revision = 0;
    std::uint64_t StateRevision = 0;
};

struct TFleetSnapshot {
    std::vector<TFleetRow> rows; // ordered by unit code
    std::uint64_t cursor = 0;    // for ChangesSince: every change up to here is in the rows
    bool loaded = false;         // the database rows are in
    QString error;               // why the last database read failed; empty when it did not
};

// The rows changed since a cursor, each once, in its latest state.
struct TFleetChanges {
    std::vector<TFleetRow> rows; // new or changed rows, oldest change first
    QStringList removed;         // units no longer known
    std::uint64_t cursor = 0;    // where the next call goes on from
    bool more = false;           // further changes wait beyond the bound
    // The model no longer remembers every removal since the cursor: rows
    // holds the whole fleet (whatever the bound), and a view drops the rows
    // it holds for them.
    bool reset = false;
};

class TFleetModel;

// One view's place in the change feed. Its handler runs on its context's
// thread with the rows changed since its last turn, at most `most` per turn;
// changes made meanwhile are coalesced into the next turn. Once the model is
// destroyed the handler is not called again.
class TFleetSubscription : public std::enable_shared_from_this<TFleetSubscription> {
public:
    using Handler = std::function<void(const TFleetChanges &)>;
    TFleetSubscription(TFleetModel &model, QObject *context, Handler handler, std::size_t most,
                       bool heartbeats, std::uint64_t cursor);
    std::uint64_t Cursor() const;

private:
    friend class TFleetModel;
    void Schedule();
    void Turn();

    TFleetModel *model_; // null once the model is gone; guarded by lock_
    QPointer<QObject> context_;
    Handler handler_;
    const std::size_t most_;
    const bool heartbeats_;
    mutable std::mutex lock_;
    std::uint64_t cursor_;
    bool scheduled_ = false;
};

class TFleetModel : public QObject, public TUnitPresence {
    Q_OBJECT
public:
    struct Settings {
        // How often UserEquipment is read again (changes made outside the
        // operator service: the remote data service, the account file).
        std::chrono::milliseconds ownerReload{60000};
        // How long presence calls are gathered before they are applied.
        std::chrono::milliseconds gather{100};
        // The event stream subscription's queue.
        std::size_t eventCapacity = 20000;
        // Mail results kept.
        std::size_t mailResults = 50;
        // Removed units remembered for the change feed; beyond it they are
        // forgotten and older cursors get a reset.
        std::size_t removedKept = 10000;
    };

    // `sink` may be null (no reports, no mail results).
    TFleetModel(TdmNet &db, TCommInfoHintSink *sink, Settings settings);
    TFleetModel(TdmNet &db, TCommInfoHintSink *sink) : TFleetModel(db, sink, Settings()) {}
    // Waits for the work in progress on the model's thread.
    ~TFleetModel() override;

    // Reads the database rows (on the model's thread) and subscribes to the
    // event stream. Any thread; once.
    void Start();
    // Reads UserEquipment again. Any thread.
    void ReloadOwners();
    // Applies everything told so far and waits until it is applied (tests;
    // never on the link thread).
    void Sync();

    TFleetSnapshot Snapshot() const;
    std::optional<TFleetRow> Row(const QString &EquipmentCode) const;
    // At most `most` rows changed since the cursor (0: every row). With
    // heartbeats false, a row whose only change is its heartbeat time is
    // left out.
    TFleetChanges ChangesSince(std::uint64_t cursor, std::size_t most,
                               bool heartbeats = true) const;
    // A change feed for a view, starting after `cursor` (a snapshot's). The
    // handler stops with the subscription or the context.
    std::shared_ptr<TFleetSubscription> Subscribe(QObject *context,
                                                  TFleetSubscription::Handler handler,
                                                  std::size_t most, bool heartbeats,
                                                  std::uint64_t cursor);

    // The last mail results of the event stream (alert mails and password
    // reminders; ok: the line says the mail was finished), oldest first.
    struct TMailResult {
        QDateTime time;
        QString user;
        QString text;
        bool ok = false;
    };
    std::vector<TMailResult> MailResults() const;

    // TUnitPresence (the link thread): queued, applied on the model's thread.
    void UnitHeartbeat(const TEquipmentIdentity &id, const QString &address, int port,
                       bool registered) override;
    void UnitGone(const QString &EquipmentCode, const QString &address, int port) override;

    // The alarm states an event carries: a report frame's alarm parameters
    // (dictionary type 0x03), decoded. Empty for any other event.
    static std::vector<TFleetAlarm> AlarmsOf(const TLogEvent &event);

private:
    struct Entry {
        TFleetRow row;
        bool removed = false;
        QHash<QString, QString> alarmStates; // ParamCode -> last state
    };
    struct Presence {
        bool gone = false;
        TEquipmentIdentity id;
        QString address;
        int port = 0;
        bool registered = false;
        QDateTime time;
    };

    void Queue(Presence p);
    void ApplyPending();
    void Apply(const Presence &p);
    void LoadAll();
    void LoadOwners();
    void OnEvent(const TLogEvent &event);
    // Under the write lock: the entry of the code, made (or revived) when missing.
    Entry &EntryOf(const QString &code);
    // Under the write lock: marks the entry changed (state: beyond the heartbeat time).
    void Touch(Entry &e, bool state);
    // Under the write lock: takes the entry out when the unit is no longer known.
    void Settle(Entry &e);
    // Under the write lock: forgets the removed entries once there are too many.
    void Compact();
    void NotifySubscribers();

    TdmNet &db_;
    TCommInfoHintSink *sink_;
    Settings settings_;

    mutable std::shared_mutex lock_; // guards everything below up to pendingLock_
    std::vector<Entry> entries_;
    QHash<QString, std::size_t> index_;
    std::uint64_t revision_ = 0;
    std::size_t removedCount_ = 0;    // removed entries still held
    std::uint64_t forgottenUpTo_ = 0; // removals up to this revision are forgotten
    bool loaded_ = false;
    QString error_;
    std::deque<TMailResult> mail_;

    std::mutex pendingLock_;
    std::vector<Presence> pending_;
    QHash<QString, std::size_t> pendingBeat_; // code -> its heartbeat in pending_
    bool applyScheduled_ = false;

    std::mutex subscribersLock_;
    std::vector<std::weak_ptr<TFleetSubscription>> subscribers_;

    std::shared_ptr<TLogSubscription> events_; // made and dropped on the model's thread
    QThread thread_;
    QObject *worker_ = nullptr; // lives on thread_, deleted when it ends
};
