// The event thread's dispatcher on Linux epoll. Qt's default dispatcher hands
// the kernel every socket on each loop turn, so the cost of one heartbeat
// grows with the number of connected units; here each socket notifier is one
// epoll registration and a loop turn costs what is ready, not what is open.
//
// Socket notifiers are level-triggered registrations (read, write and
// exception share one registration per descriptor); timers run on the
// monotonic clock in order of expiry, timers of equal expiry in the order they
// were started; wakeUp() and interrupt() write an eventfd; posted events are
// sent at the start of every pass. A timer is not fired again while its own
// handler runs (a handler that opens a nested event loop).
//
// Built on Qt's public dispatcher interface only. Owned and used by the one
// thread it is installed for; wakeUp() and interrupt() may be called from any
// thread.
#pragma once

#include <QAbstractEventDispatcher>

#include <sys/epoll.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

class QSocketNotifier;

class TEpollEventDispatcher : public QAbstractEventDispatcher {
    Q_OBJECT
public:
    explicit TEpollEventDispatcher(QObject *parent = nullptr);
    ~TEpollEventDispatcher() override;

    // Installs a new instance as the main thread's dispatcher (Qt takes it
    // over), unless MMS_EVENT_DISPATCHER is "glib", which keeps Qt's default.
    // Must run before the application object exists. Returns whether it was
    // installed.
    static bool InstallForMainThread();
    // A new instance for a thread about to start, or null when
    // MMS_EVENT_DISPATCHER is "glib" (the thread keeps Qt's default).
    static std::unique_ptr<TEpollEventDispatcher> ForNewThread();

    // Called at the end of every pass with the pass's flags; returns whether
    // it delivered anything. The window mode hands window-system events on
    // here.
    void SetPassHook(std::function<bool(QEventLoop::ProcessEventsFlags)> hook);

    // Called at the start of every pass and again when the wait for events
    // ends, before anything is delivered: a check that may end the process
    // (a cluster node whose lease lapsed while it was stopped must not
    // answer what it finds waiting).
    void SetGuard(std::function<void()> guard);

    // Called between deliveries at most once per `every` while a pass runs,
    // and at its start: a pass that delivers a great many events (a whole
    // fleet reconnecting at once) still shows that the loop makes progress
    // (a cluster node's keep-alives go out from here), where a loop stuck
    // in one delivery shows nothing.
    void SetProgressHook(std::function<void()> hook, std::chrono::milliseconds every);

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;

    void registerSocketNotifier(QSocketNotifier *notifier) override;
    void unregisterSocketNotifier(QSocketNotifier *notifier) override;

    void registerTimer(int timerId, qint64 interval, Qt::TimerType timerType,
                       QObject *object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject *object) override;
    QList<TimerInfo> registeredTimers(QObject *object) const override;
    int remainingTime(int timerId) override;

    void wakeUp() override;
    void interrupt() override;

private:
    using Clock = std::int64_t; // monotonic milliseconds

    struct TTimer {
        QObject *object = nullptr;
        qint64 interval = 0;
        Qt::TimerType type = Qt::CoarseTimer;
        Clock due = 0;
        std::uint64_t order = 0; // position among timers of equal expiry
        bool inHandler = false;
    };
    struct TWatch {
        QSocketNotifier *notifiers[3] = {nullptr, nullptr, nullptr}; // read, write, exception
        std::uint32_t events = 0;                                    // what epoll is asked for
        bool alwaysReady = false; // a descriptor epoll refuses (a regular file)
        bool dirty = false;       // on the list of changes to hand to epoll
        // Every notifier went off during this pass: the descriptor may have
        // been closed and its number reused since, so epoll is told again.
        bool emptied = false;
    };
    // Timers in firing order: (expiry, order) -> timer id.
    using TQueueKey = std::pair<Clock, std::uint64_t>;

    static Clock Now();
    void Schedule(int timerId, TTimer &timer, Clock due);
    int WaitTimeout() const;
    int ActivateTimers();
    void UpdateWatch(int fd, TWatch &watch);
    void ApplyChanges();
    void Collect(QSocketNotifier *notifier);
    int ActivateNotifiers();
    void DrainWakeUp();

    int epollFd_ = -1;
    int wakeFd_ = -1;
    std::atomic<bool> wakeUpPending_{false};
    std::atomic<bool> interrupted_{false};

    std::unordered_map<int, TTimer> timers_;
    std::map<TQueueKey, int> queue_;
    std::uint64_t nextOrder_ = 0;

    std::unordered_map<int, TWatch> watches_;
    // Descriptors whose notifiers changed; epoll hears of them before it
    // waits next, so a notifier switched off and on again within one pass
    // (a socket's notifiers around a read or a reply) costs one system call
    // at most instead of two.
    std::vector<int> changed_;
    int alwaysReadyCount_ = 0;
    std::deque<QSocketNotifier *> pending_; // activated, not yet delivered
    std::vector<epoll_event> ready_;

    std::function<bool(QEventLoop::ProcessEventsFlags)> passHook_;
    std::function<void()> guard_;
    // Calls the progress hook when `every` has passed since it last ran.
    void Progress();
    std::function<void()> progress_;
    qint64 progressEveryMs_ = 0;
    qint64 lastProgressMs_ = 0;
};
