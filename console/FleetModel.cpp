#include "FleetModel.h"

#include "AlarmOutbox.h"
#include "HexText.h"
#include "ParamDictionary.h"
#include "PublicU.h"
#include "ReceivedFrame.h"
#include "UserEquipmentTable.h"

#include <QTimer>

#include <algorithm>
#include <limits>

namespace {

// Presence calls waiting beyond this are dropped: the model's thread is
// stuck, and the next heartbeat of each unit tells it again.
constexpr std::size_t MaxPending = 200000;

const QString kAlert = QStringLiteral("Alert");

// The dictionary data type of a parameter; -1 when unknown.
int DataTypeOf(const QString &ParamCode) {
    const QString entry = GetParamProperty(ParamCode);
    if (entry.size() < 2)
        return -1;
    try {
        return HexToInt(QStringView(entry).first(2));
    } catch (const std::exception &) {
        return -1;
    }
}

// Alarm parameters are those of the "Normal"/"Alert" state type.
bool IsAlarmParam(const QString &ParamCode) {
    return DataTypeOf(ParamCode) == 0x03;
}

QString TypeNameOf(const QString &EquipmentType) {
    if (EquipmentType.isEmpty())
        return {};
    try {
        return EquipmentTypeToName(HexToInt(EquipmentType));
    } catch (const std::exception &) {
        return {};
    }
}

QString JoinNames(const std::vector<TFleetOwner> &owners) {
    QStringList names;
    for (const TFleetOwner &o : owners) {
        const QString name = o.EquipmentName.trimmed();
        if (!name.isEmpty() && !names.contains(name))
            names.append(name);
    }
    return names.join(QStringLiteral(", "));
}

bool SameOwners(const std::vector<TFleetOwner> &a, const std::vector<TFleetOwner> &b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto &x, const auto &y) {
        return x.UserName == y.UserName && x.EquipmentName == y.EquipmentName;
    });
}

// The alarm states of one set of data items; the last alarm of the set is
// its first alert, or its last state when none is an alert.
struct TAlarmSummary {
    int active = 0;
    std::optional<TFleetAlarm> last;
};

TAlarmSummary Summarise(const QHash<QString, QString> &states,
                        const std::vector<TFleetAlarm> &latest) {
    TAlarmSummary s;
    for (const QString &state : states)
        if (state == kAlert)
            ++s.active;
    for (const TFleetAlarm &a : latest)
        if (a.State == kAlert) {
            s.last = a;
            break;
        }
    if (!s.last && !latest.empty())
        s.last = latest.back();
    return s;
}

} // namespace

// ---------------------------------------------------------------- subscription

TFleetSubscription::TFleetSubscription(TFleetModel &model, QObject *context, Handler handler,
                                       std::size_t most, bool heartbeats, std::uint64_t cursor)
    : model_(&model), context_(context), handler_(std::move(handler)),
      most_(std::max<std::size_t>(most, 1)), heartbeats_(heartbeats), cursor_(cursor) {}

std::uint64_t TFleetSubscription::Cursor() const {
    std::lock_guard guard(lock_);
    return cursor_;
}

void TFleetSubscription::Schedule() {
    {
        std::lock_guard guard(lock_);
        if (scheduled_)
            return;
        scheduled_ = true;
    }
    if (!context_)
        return;
    QMetaObject::invokeMethod(
        context_.data(),
        [weak = weak_from_this()] {
            if (const auto self = weak.lock())
                self->Turn();
        },
        Qt::QueuedConnection);
}

void TFleetSubscription::Turn() {
    TFleetChanges changes;
    {
        // Held while the model is read, so that the model's end waits for it.
        std::lock_guard guard(lock_);
        scheduled_ = false;
        if (!model_)
            return;
        changes = model_->ChangesSince(cursor_, most_, heartbeats_);
        cursor_ = changes.cursor;
    }
    if (!changes.rows.empty() || !changes.removed.isEmpty() || changes.reset)
        handler_(changes);
    // What is left beyond the bound comes at the next turn, so that other
    // work of the context's thread goes in between.
    if (changes.more)
        Schedule();
}

// ---------------------------------------------------------------- model

TFleetModel::TFleetModel(TdmNet &db, TCommInfoHintSink *sink, Settings settings)
    : db_(db), sink_(sink), settings_(settings) {
    worker_ = new QObject;
    worker_->moveToThread(&thread_);
    connect(&thread_, &QThread::finished, worker_, &QObject::deleteLater);
    thread_.setObjectName(QStringLiteral("fleet"));
    thread_.start();
}

TFleetModel::~TFleetModel() {
    {
        // A subscription that outlives the model delivers nothing more.
        std::lock_guard guard(subscribersLock_);
        for (const auto &weak : subscribers_)
            if (const auto s = weak.lock()) {
                std::lock_guard subscription(s->lock_);
                s->model_ = nullptr;
            }
    }
    QMetaObject::invokeMethod(
        worker_,
        [this] {
            events_.reset();
            db_.ReleaseThreadConnection();
        },
        Qt::BlockingQueuedConnection);
    thread_.quit();
    thread_.wait();
}

void TFleetModel::Start() {
    QMetaObject::invokeMethod(worker_, [this] {
        if (sink_)
            events_ = sink_->Subscribe(
                worker_, [this](const TLogEvent &event) { OnEvent(event); },
                settings_.eventCapacity);
        LoadAll();
        auto *timer = new QTimer(worker_);
        timer->setInterval(settings_.ownerReload);
        connect(timer, &QTimer::timeout, worker_, [this] { LoadOwners(); });
        timer->start();
    });
}

void TFleetModel::ReloadOwners() {
    QMetaObject::invokeMethod(worker_, [this] { LoadOwners(); });
}

void TFleetModel::Sync() {
    QMetaObject::invokeMethod(
        worker_,
        [this] {
            if (events_)
                events_->Flush();
            ApplyPending();
        },
        Qt::BlockingQueuedConnection);
}

void TFleetModel::LoadAll() {
    LoadOwners();
    std::vector<TAlarmAnalysisRow> analysis;
    try {
        analysis = TAlarmOutbox(db_).Analysis();
    } catch (const std::exception &e) {
        std::unique_lock guard(lock_);
        error_ = QString::fromUtf8(e.what());
        return;
    }
    // Per unit, its alarm parameters' states and the newest of them.
    QHash<QString, std::vector<TFleetAlarm>> byUnit;
    for (const TAlarmAnalysisRow &r : analysis) {
        if (!IsAlarmParam(r.ParamCode))
            continue;
        byUnit[r.EquipmentCode].push_back(
            {r.ParamCode, r.ParameterName, r.LastStatus, ParseDateTimeText(r.AlertTime)});
    }
    std::unique_lock guard(lock_);
    for (auto it = byUnit.cbegin(); it != byUnit.cend(); ++it) {
        const auto found = index_.constFind(it.key());
        if (found == index_.cend() || entries_[*found].removed)
            continue;
        Entry &e = entries_[*found];
        std::vector<TFleetAlarm> alarms = it.value();
        for (const TFleetAlarm &a : alarms)
            if (!e.alarmStates.contains(a.ParamCode))
                e.alarmStates.insert(a.ParamCode, a.State);
        // The newest state first; among those of one time, an alert.
        std::stable_sort(alarms.begin(), alarms.end(),
                         [](const auto &a, const auto &b) { return a.Time > b.Time; });
        const TAlarmSummary s = Summarise(e.alarmStates, alarms);
        if (!e.row.LastAlarm)
            e.row.LastAlarm = alarms.empty() ? std::nullopt : std::optional(alarms.front());
        e.row.AlarmsActive = s.active;
        Touch(e, true);
    }
    guard.unlock();
    NotifySubscribers();
}

void TFleetModel::LoadOwners() {
    std::vector<TUnitAssignment> rows;
    try {
        rows = TUserEquipmentTable(db_).AllRows();
    } catch (const std::exception &e) {
        std::unique_lock guard(lock_);
        error_ = QString::fromUtf8(e.what());
        return;
    }
    // Code -> owners and the assigned type, in table order.
    QHash<QString, std::pair<std::vector<TFleetOwner>, QString>> owners;
    for (const TUnitAssignment &r : rows) {
        auto &unit = owners[r.EquipmentCode];
        unit.first.push_back({r.UserName, r.EquipmentName});
        if (unit.second.isEmpty())
            unit.second = r.EquipmentType;
    }
    {
        std::unique_lock guard(lock_);
        // Units that lost every owner.
        for (Entry &e : entries_) {
            if (e.removed || e.row.Owners.empty() || owners.contains(e.row.EquipmentCode))
                continue;
            e.row.Owners.clear();
            e.row.EquipmentName.clear();
            Touch(e, true);
            Settle(e);
        }
        for (auto it = owners.cbegin(); it != owners.cend(); ++it) {
            Entry &e = EntryOf(it.key());
            TFleetRow &r = e.row;
            bool changed = false;
            if (!SameOwners(r.Owners, it->first)) {
                r.Owners = it->first;
                r.EquipmentName = JoinNames(r.Owners);
                changed = true;
            }
            // The type a unit reports wins over the assigned one.
            if (r.StationNo.isEmpty() && r.EquipmentType != it->second) {
                r.EquipmentType = it->second;
                r.TypeName = TypeNameOf(r.EquipmentType);
                changed = true;
            }
            if (changed || r.Revision == 0)
                Touch(e, true);
        }
        Compact();
        loaded_ = true;
        error_.clear();
    }
    NotifySubscribers();
}

TFleetModel::Entry &TFleetModel::EntryOf(const QString &code) {
    if (const auto it = index_.constFind(code); it != index_.cend()) {
        Entry &e = entries_[*it];
        if (e.removed) {
            e = Entry{};
            e.row.EquipmentCode = code;
            --removedCount_;
        }
        return e;
    }
    index_.insert(code, entries_.size());
    Entry &e = entries_.emplace_back();
    e.row.EquipmentCode = code;
    return e;
}

void TFleetModel::Touch(Entry &e, bool state) {
    e.row.Revision = ++revision_;
    if (state)
        e.row.StateRevision = e.row.Revision;
}

void TFleetModel::Settle(Entry &e) {
    if (e.row.Owners.empty() && !e.row.OnLine && !e.removed) {
        e.removed = true;
        ++removedCount_;
        Touch(e, true);
    }
}

void TFleetModel::Compact() {
    // Units that come and go without an owner (any code a connection
    // claims) would otherwise be remembered for ever.
    if (removedCount_ <= settings_.removedKept)
        return;
    std::vector<Entry> kept;
    kept.reserve(entries_.size() - removedCount_);
    index_.clear();
    for (Entry &e : entries_) {
        if (e.removed)
            continue;
        index_.insert(e.row.EquipmentCode, kept.size());
        kept.push_back(std::move(e));
    }
    entries_ = std::move(kept);
    removedCount_ = 0;
    forgottenUpTo_ = revision_;
}

void TFleetModel::UnitHeartbeat(const TEquipmentIdentity &id, const QString &address, int port,
                                bool registered) {
    Queue({false, id, address, port, registered, QDateTime::currentDateTimeUtc()});
}

void TFleetModel::UnitGone(const QString &EquipmentCode, const QString &address, int port) {
    Queue({true, {EquipmentCode, {}, {}}, address, port, false, QDateTime::currentDateTimeUtc()});
}

void TFleetModel::Queue(Presence p) {
    bool schedule = false;
    {
        std::lock_guard guard(pendingLock_);
        const QString &code = p.id.EquipmentCode;
        if (!p.gone) {
            // A unit's heartbeats since the last batch count as its newest one.
            if (const auto it = pendingBeat_.constFind(code); it != pendingBeat_.cend()) {
                pending_[*it] = std::move(p);
            } else if (pending_.size() < MaxPending) {
                pendingBeat_.insert(code, pending_.size());
                pending_.push_back(std::move(p));
            }
        } else if (pending_.size() < MaxPending) {
            // A heartbeat after this one comes after it in the batch.
            pendingBeat_.remove(code);
            pending_.push_back(std::move(p));
        }
        if (!applyScheduled_) {
            applyScheduled_ = true;
            schedule = true;
        }
    }
    if (schedule)
        QMetaObject::invokeMethod(
            worker_,
            [this] { QTimer::singleShot(settings_.gather, worker_, [this] { ApplyPending(); }); },
            Qt::QueuedConnection);
}

void TFleetModel::ApplyPending() {
    std::vector<Presence> batch;
    {
        std::lock_guard guard(pendingLock_);
        batch.swap(pending_);
        pendingBeat_.clear();
        applyScheduled_ = false;
    }
    if (batch.empty())
        return;
    {
        std::unique_lock guard(lock_);
        for (const Presence &p : batch)
            Apply(p);
        Compact();
    }
    NotifySubscribers();
}

void TFleetModel::Apply(const Presence &p) {
    const QString &code = p.id.EquipmentCode;
    if (p.gone) {
        const auto it = index_.constFind(code);
        if (it == index_.cend())
            return;
        Entry &e = entries_[*it];
        TFleetRow &r = e.row;
        // Only the connection the unit last heartbeat on takes it off line.
        if (e.removed || !r.OnLine || r.Address != p.address || r.Port != p.port)
            return;
        r.OnLine = false;
        r.Registered = false;
        r.Since = p.time;
        Touch(e, true);
        Settle(e);
        return;
    }
    Entry &e = EntryOf(code);
    TFleetRow &r = e.row;
    bool state = false;
    const auto set = [&state](auto &field, const auto &value) {
        if (field != value) {
            field = value;
            state = true;
        }
    };
    if (r.EquipmentType != p.id.EquipmentType) {
        r.EquipmentType = p.id.EquipmentType;
        r.TypeName = TypeNameOf(r.EquipmentType);
        state = true;
    }
    try {
        set(r.StationNo, p.id.SiteNum());
        set(r.EquipmentNo, int(p.id.EquipmentNum()));
    } catch (const std::exception &) {
        // A malformed station field leaves the last one shown.
    }
    set(r.Address, p.address);
    set(r.Port, p.port);
    set(r.Registered, p.registered);
    if (!r.OnLine) {
        r.OnLine = true;
        r.Since = p.time;
        state = true;
    }
    r.LastHeartbeat = p.time;
    Touch(e, state);
}

std::vector<TFleetAlarm> TFleetModel::AlarmsOf(const TLogEvent &event) {
    std::vector<TFleetAlarm> alarms;
    if (event.kind != TLogKind::Report || event.frame.isEmpty())
        return alarms;
    const TReceivedFrame frame = ResolveReceivedFrame(event.frame);
    if (!frame.Record || frame.Record->OperateFlag != u"01")
        return alarms;
    try {
        for (const TCommPackInfo &item : ResolveCommPack(frame.Record->ObjStr)) {
            const TCommPackRecord &b = item.Body;
            if (IsAlarmParam(b.ParamCode))
                alarms.push_back({b.ParamCode, b.Name, b.DestContent.trimmed(), event.time});
        }
    } catch (const std::exception &) {
        // The items decoded so far count.
    }
    return alarms;
}

void TFleetModel::OnEvent(const TLogEvent &event) {
    if (event.kind == TLogKind::Mail) {
        std::unique_lock guard(lock_);
        mail_.push_back(
            {event.time, event.user, event.text, event.text.contains(QLatin1String("finish"))});
        while (mail_.size() > settings_.mailResults)
            mail_.pop_front();
        return;
    }
    if (event.unit.isEmpty())
        return;
    const std::vector<TFleetAlarm> alarms = AlarmsOf(event);
    if (alarms.empty())
        return;
    {
        std::unique_lock guard(lock_);
        const auto it = index_.constFind(event.unit);
        if (it == index_.cend() || entries_[*it].removed)
            return;
        Entry &e = entries_[*it];
        for (const TFleetAlarm &a : alarms)
            e.alarmStates.insert(a.ParamCode, a.State);
        const TAlarmSummary s = Summarise(e.alarmStates, alarms);
        e.row.AlarmsActive = s.active;
        e.row.LastAlarm = s.last;
        Touch(e, true);
    }
    NotifySubscribers();
}

TFleetSnapshot TFleetModel::Snapshot() const {
    TFleetSnapshot snapshot;
    {
        std::shared_lock guard(lock_);
        snapshot.rows.reserve(entries_.size());
        for (const Entry &e : entries_)
            if (!e.removed)
                snapshot.rows.push_back(e.row);
        snapshot.cursor = revision_;
        snapshot.loaded = loaded_;
        snapshot.error = error_;
    }
    std::sort(snapshot.rows.begin(), snapshot.rows.end(),
              [](const auto &a, const auto &b) { return a.EquipmentCode < b.EquipmentCode; });
    return snapshot;
}

std::optional<TFleetRow> TFleetModel::Row(const QString &EquipmentCode) const {
    std::shared_lock guard(lock_);
    const auto it = index_.constFind(EquipmentCode);
    if (it == index_.cend() || entries_[*it].removed)
        return std::nullopt;
    return entries_[*it].row;
}

TFleetChanges TFleetModel::ChangesSince(std::uint64_t cursor, std::size_t most,
                                        bool heartbeats) const {
    if (most == 0)
        most = std::numeric_limits<std::size_t>::max();
    const auto revisionOf = [heartbeats](const Entry *e) {
        return heartbeats ? e->row.Revision : e->row.StateRevision;
    };
    TFleetChanges changes;
    std::shared_lock guard(lock_);
    if (cursor < forgottenUpTo_) {
        changes.reset = true;
        changes.cursor = revision_;
        for (const Entry &e : entries_)
            if (!e.removed)
                changes.rows.push_back(e.row);
        return changes;
    }
    std::vector<const Entry *> changed;
    for (const Entry &e : entries_)
        if (revisionOf(&e) > cursor)
            changed.push_back(&e);
    const auto older = [&](const Entry *a, const Entry *b) {
        return revisionOf(a) < revisionOf(b);
    };
    if (changed.size() > most) {
        std::partial_sort(changed.begin(), changed.begin() + std::ptrdiff_t(most), changed.end(),
                          older);
        changed.resize(most);
        changes.more = true;
        changes.cursor = revisionOf(changed.back());
    } else {
        std::sort(changed.begin(), changed.end(), older);
        changes.cursor = revision_;
    }
    for (const Entry *e : changed) {
        if (e->removed)
            changes.removed.append(e->row.EquipmentCode);
        else
            changes.rows.push_back(e->row);
    }
    return changes;
}

std::shared_ptr<TFleetSubscription> TFleetModel::Subscribe(QObject *context,
                                                           TFleetSubscription::Handler handler,
                                                           std::size_t most, bool heartbeats,
                                                           std::uint64_t cursor) {
    auto subscription = std::make_shared<TFleetSubscription>(*this, context, std::move(handler),
                                                             most, heartbeats, cursor);
    {
        std::lock_guard guard(subscribersLock_);
        std::erase_if(subscribers_, [](const auto &weak) { return weak.expired(); });
        subscribers_.push_back(subscription);
    }
    // Changes made since the cursor are delivered at the first turn.
    subscription->Schedule();
    return subscription;
}

void TFleetModel::NotifySubscribers() {
    std::vector<std::shared_ptr<TFleetSubscription>> live;
    {
        std::lock_guard guard(subscribersLock_);
        for (const auto &weak : subscribers_)
            if (auto s = weak.lock())
                live.push_back(std::move(s));
    }
    for (const auto &s : live)
        s->Schedule();
}

std::vector<TFleetModel::TMailResult> TFleetModel::MailResults() const {
    std::shared_lock guard(lock_);
    return {mail_.begin(), mail_.end()};
}
