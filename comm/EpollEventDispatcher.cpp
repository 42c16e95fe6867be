#include "EpollEventDispatcher.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimerEvent>
#include <QtGlobal>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {
// Descriptors handed out per epoll_wait; more ready ones come on the next
// pass (the registrations are level-triggered).
constexpr int ReadyBatch = 1024;

constexpr std::uint32_t EventsFor[3] = {EPOLLIN, EPOLLOUT, EPOLLPRI};
} // namespace

TEpollEventDispatcher::TEpollEventDispatcher(QObject *parent)
    : QAbstractEventDispatcher(parent), ready_(ReadyBatch) {
    epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (epollFd_ < 0 || wakeFd_ < 0)
        qFatal("TEpollEventDispatcher: cannot create epoll or eventfd descriptors (errno %d)",
               errno);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = wakeFd_;
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &ev) != 0)
        qFatal("TEpollEventDispatcher: cannot watch the eventfd (errno %d)", errno);
}

TEpollEventDispatcher::~TEpollEventDispatcher() {
    ::close(wakeFd_);
    ::close(epollFd_);
}

std::unique_ptr<TEpollEventDispatcher> TEpollEventDispatcher::ForNewThread() {
    if (qEnvironmentVariable("MMS_EVENT_DISPATCHER")
            .compare(QLatin1String("glib"), Qt::CaseInsensitive) == 0)
        return nullptr;
    return std::make_unique<TEpollEventDispatcher>();
}

bool TEpollEventDispatcher::InstallForMainThread() {
    auto dispatcher = ForNewThread();
    if (!dispatcher)
        return false;
    // Qt owns the dispatcher from here and deletes it with the main thread's data.
    QCoreApplication::setEventDispatcher(dispatcher.release());
    return true;
}

void TEpollEventDispatcher::SetPassHook(std::function<bool(QEventLoop::ProcessEventsFlags)> hook) {
    passHook_ = std::move(hook);
}

TEpollEventDispatcher::Clock TEpollEventDispatcher::Now() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return Clock(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// ---- timers ----

void TEpollEventDispatcher::Schedule(int timerId, TTimer &timer, Clock due) {
    timer.due = due;
    timer.order = nextOrder_++;
    queue_.emplace(TQueueKey{timer.due, timer.order}, timerId);
}

void TEpollEventDispatcher::registerTimer(int timerId, qint64 interval, Qt::TimerType timerType,
                                          QObject *object) {
    if (timerId < 1 || interval < 0 || !object)
        return;
    TTimer timer;
    timer.object = object;
    timer.interval = interval;
    timer.type = timerType;
    Clock due = Now() + interval;
    if (timerType == Qt::VeryCoarseTimer && interval > 0) {
        // Whole seconds, as Qt's very coarse timers.
        timer.interval = std::max<qint64>(1000, (interval + 500) / 1000 * 1000);
        due = Now() + timer.interval;
    }
    unregisterTimer(timerId);
    auto [it, inserted] = timers_.emplace(timerId, timer);
    Q_UNUSED(inserted);
    Schedule(timerId, it->second, due);
}

bool TEpollEventDispatcher::unregisterTimer(int timerId) {
    const auto it = timers_.find(timerId);
    if (it == timers_.end())
        return false;
    queue_.erase(TQueueKey{it->second.due, it->second.order});
    timers_.erase(it);
    return true;
}

bool TEpollEventDispatcher::unregisterTimers(QObject *object) {
    bool any = false;
    for (auto it = timers_.begin(); it != timers_.end();) {
        if (it->second.object == object) {
            queue_.erase(TQueueKey{it->second.due, it->second.order});
            it = timers_.erase(it);
            any = true;
        } else {
            ++it;
        }
    }
    return any;
}

QList<QAbstractEventDispatcher::TimerInfo>
TEpollEventDispatcher::registeredTimers(QObject *object) const {
    QList<TimerInfo> list;
    // In firing order, so that a moved object's timers keep their order.
    for (const auto &[key, id] : queue_) {
        const TTimer &t = timers_.at(id);
        if (t.object == object)
            list.append(TimerInfo(id, int(t.interval), t.type));
    }
    return list;
}

int TEpollEventDispatcher::remainingTime(int timerId) {
    const auto it = timers_.find(timerId);
    if (it == timers_.end())
        return -1;
    return int(std::clamp<Clock>(it->second.due - Now(), 0, INT_MAX));
}

int TEpollEventDispatcher::WaitTimeout() const {
    if (alwaysReadyCount_ > 0 || !pending_.empty())
        return 0;
    for (const auto &[key, id] : queue_) {
        if (!timers_.at(id).inHandler)
            return int(std::clamp<Clock>(key.first - Now(), 0, INT_MAX));
    }
    return -1;
}

int TEpollEventDispatcher::ActivateTimers() {
    const Clock now = Now();
    // The timers due now, in order; each fires at most once in this pass, so
    // a 0 ms timer does not starve the rest of the loop.
    std::vector<std::pair<int, std::uint64_t>> due;
    for (const auto &[key, id] : queue_) {
        if (key.first > now)
            break;
        due.emplace_back(id, key.second);
    }
    int fired = 0;
    for (const auto &[id, order] : due) {
        auto it = timers_.find(id);
        // Stopped, restarted or still inside its own handler: skip.
        if (it == timers_.end() || it->second.order != order || it->second.inHandler)
            continue;
        TTimer &t = it->second;
        queue_.erase(TQueueKey{t.due, t.order});
        // The next expiry keeps the timer's rhythm; a timer that fell behind
        // does not catch up with a burst.
        Clock next = t.due + t.interval;
        if (next <= now)
            next = now + t.interval;
        Schedule(id, t, next);
        t.inHandler = true;
        QObject *object = t.object;
        QTimerEvent event(id);
        QCoreApplication::sendEvent(object, &event);
        ++fired;
        Progress();
        // The handler may have stopped the timer, or stopped it and started
        // another under the same id; only the same timer is released.
        it = timers_.find(id);
        if (it != timers_.end() && it->second.object == object)
            it->second.inHandler = false;
    }
    return fired;
}

// ---- socket notifiers ----

void TEpollEventDispatcher::UpdateWatch(int fd, TWatch &watch) {
    std::uint32_t events = 0;
    for (int type = 0; type < 3; ++type)
        if (watch.notifiers[type])
            events |= EventsFor[type];
    if (events == watch.events)
        return;
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    if (watch.alwaysReady) {
        watch.events = events;
        return;
    }
    if (events == 0) {
        // The descriptor may be closed already, which removed it from epoll.
        ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, &ev);
    } else if (watch.events == 0) {
        if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
            if (errno == EEXIST) {
                ::epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &ev);
            } else if (errno == EPERM) {
                // Regular files cannot be watched; like poll(), they are
                // always ready.
                watch.alwaysReady = true;
                ++alwaysReadyCount_;
            } else {
                qWarning("TEpollEventDispatcher: cannot watch descriptor %d (errno %d)", fd, errno);
            }
        }
    } else if (::epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &ev) != 0 && errno == ENOENT) {
        ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev);
    }
    watch.events = events;
}

void TEpollEventDispatcher::ApplyChanges() {
    for (const int fd : changed_) {
        const auto it = watches_.find(fd);
        if (it == watches_.end())
            continue;
        TWatch &watch = it->second;
        watch.dirty = false;
        const bool any = watch.notifiers[0] || watch.notifiers[1] || watch.notifiers[2];
        if (watch.emptied && any && watch.events != 0 && !watch.alwaysReady) {
            // Told again whatever epoll had: a MOD that finds nothing (the
            // descriptor was closed meanwhile) becomes an ADD.
            watch.events = ~std::uint32_t(0);
        }
        watch.emptied = false;
        UpdateWatch(fd, watch);
        if (!any) {
            if (watch.alwaysReady)
                --alwaysReadyCount_;
            watches_.erase(it);
        }
    }
    changed_.clear();
}

void TEpollEventDispatcher::registerSocketNotifier(QSocketNotifier *notifier) {
    const int fd = int(notifier->socket());
    const int type = int(notifier->type());
    if (fd < 0 || type < 0 || type > 2)
        return;
    const auto [it, added] = watches_.try_emplace(fd);
    TWatch &watch = it->second;
    if (watch.notifiers[type] && watch.notifiers[type] != notifier)
        qWarning("TEpollEventDispatcher: several notifiers of one type for descriptor %d", fd);
    watch.notifiers[type] = notifier;
    if (added) {
        // A new descriptor (perhaps the number of one closed a moment ago)
        // is handed to epoll at once.
        UpdateWatch(fd, watch);
    } else if (!watch.dirty) {
        watch.dirty = true;
        changed_.push_back(fd);
    }
}

void TEpollEventDispatcher::unregisterSocketNotifier(QSocketNotifier *notifier) {
    const int fd = int(notifier->socket());
    const int type = int(notifier->type());
    // A notifier switched off while its activation waits is not delivered.
    pending_.erase(std::remove(pending_.begin(), pending_.end(), notifier), pending_.end());
    const auto it = watches_.find(fd);
    if (it == watches_.end() || type < 0 || type > 2 || it->second.notifiers[type] != notifier)
        return;
    TWatch &watch = it->second;
    watch.notifiers[type] = nullptr;
    if (!(watch.notifiers[0] || watch.notifiers[1] || watch.notifiers[2]))
        watch.emptied = true;
    if (!watch.dirty) {
        watch.dirty = true;
        changed_.push_back(fd);
    }
}

void TEpollEventDispatcher::Collect(QSocketNotifier *notifier) {
    if (notifier && std::find(pending_.begin(), pending_.end(), notifier) == pending_.end())
        pending_.push_back(notifier);
}

int TEpollEventDispatcher::ActivateNotifiers() {
    int delivered = 0;
    while (!pending_.empty()) {
        QSocketNotifier *notifier = pending_.front();
        pending_.pop_front();
        QEvent event(QEvent::SockAct);
        QCoreApplication::sendEvent(notifier, &event);
        ++delivered;
        Progress();
    }
    return delivered;
}

void TEpollEventDispatcher::SetProgressHook(std::function<void()> hook,
                                            std::chrono::milliseconds every) {
    progress_ = std::move(hook);
    progressEveryMs_ = every.count();
    lastProgressMs_ = 0;
}

void TEpollEventDispatcher::Progress() {
    if (!progress_)
        return;
    // The coarse clock costs a few nanoseconds: it can be read per delivery.
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    const qint64 ms = qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    if (ms - lastProgressMs_ < progressEveryMs_)
        return;
    lastProgressMs_ = ms;
    progress_();
}

// ---- wake-up and the pass ----

void TEpollEventDispatcher::wakeUp() {
    if (wakeUpPending_.exchange(true))
        return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

void TEpollEventDispatcher::interrupt() {
    interrupted_.store(true);
    wakeUp();
}

void TEpollEventDispatcher::DrainWakeUp() {
    wakeUpPending_.store(false);
    std::uint64_t value = 0;
    [[maybe_unused]] const ssize_t n = ::read(wakeFd_, &value, sizeof value);
}

void TEpollEventDispatcher::SetGuard(std::function<void()> guard) {
    guard_ = std::move(guard);
}

bool TEpollEventDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags) {
    interrupted_.store(false);
    if (guard_)
        guard_();
    Progress();
    emit awake();
    QCoreApplication::sendPostedEvents();

    const bool withTimers = !(flags & QEventLoop::X11ExcludeTimers);
    const bool withNotifiers = !(flags & QEventLoop::ExcludeSocketNotifiers);
    const bool canWait = (flags & QEventLoop::WaitForMoreEvents) && !interrupted_.load();
    int timeout = 0;
    if (canWait) {
        timeout = withTimers ? WaitTimeout() : (pending_.empty() ? -1 : 0);
        emit aboutToBlock();
    }

    ApplyChanges();
    int n = ::epoll_wait(epollFd_, ready_.data(), int(ready_.size()), timeout);
    if (n < 0)
        n = 0; // EINTR: a signal; go round again
    if (guard_)
        guard_();
    int delivered = 0;
    for (int i = 0; i < n; ++i) {
        const int fd = ready_[i].data.fd;
        const std::uint32_t got = ready_[i].events;
        if (fd == wakeFd_) {
            DrainWakeUp();
            ++delivered;
            continue;
        }
        const auto it = watches_.find(fd);
        if (it == watches_.end())
            continue;
        QSocketNotifier *const *notifiers = it->second.notifiers;
        if (got & (EPOLLIN | EPOLLHUP | EPOLLERR))
            Collect(notifiers[0]);
        if (got & (EPOLLOUT | EPOLLHUP | EPOLLERR))
            Collect(notifiers[1]);
        if (got & EPOLLPRI)
            Collect(notifiers[2]);
    }
    if (alwaysReadyCount_ > 0) {
        for (const auto &[fd, watch] : watches_)
            if (watch.alwaysReady)
                for (QSocketNotifier *notifier : watch.notifiers)
                    Collect(notifier);
    }

    if (!interrupted_.load()) {
        if (withNotifiers)
            delivered += ActivateNotifiers();
        if (withTimers)
            delivered += ActivateTimers();
    }
    if (passHook_ && passHook_(flags))
        ++delivered;
    return delivered > 0;
}
