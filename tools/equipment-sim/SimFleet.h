// A fleet of simulated equipment units, each on its own TCP connection to the
// server, all driven by the one event loop of the calling thread.
//
// Thousands of units share one scheduler (a heap of due times behind a single
// timer) instead of a timer each: connects are spread at a fixed rate and
// every unit heartbeats at its own phase, so the load arrives evenly.
//
// Threading: a fleet and its sockets live on the thread that created it; call
// every method from that thread.
#pragma once

#include "SimUnit.h"

#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <queue>
#include <random>
#include <vector>

class QTcpSocket;

struct TSimFleetConfig {
    QString host = QStringLiteral("127.0.0.1");
    quint16 port = 5210;
    int count = 1;      // number of units
    int firstIndex = 1; // unit i (firstIndex ..) has the code codePrefix + i
    QString codePrefix = QStringLiteral("SIM");
    quint8 type = 1;
    quint32 stationBase = 0x10000; // unit i has the station stationBase + i
    quint8 equipmentNum = 1;
    double heartbeatSeconds = 10;
    int pages = 1;                  // pages of the parameter list
    double alarmRate = 0;           // alarm reports per second over the whole fleet
    double connectRate = 500;       // new connections per second
    double reconnectSeconds = 5;    // after a lost connection; 0: never
    double replyTimeoutSeconds = 5; // a heartbeat unanswered this long counts as lost
    // An alarm report without acknowledgement is sent again this often, as a
    // field unit does, across reconnections, until it is acknowledged (0:
    // never). A unit keeps at most kMaxUnackedAlarms; beyond, the oldest go.
    double alarmRepeatSeconds = 10;
    // Each unit heartbeats once on connecting (to register), then at its own
    // phase of the interval, so that units connected together do not
    // heartbeat together. Off: every S seconds after connecting.
    bool staggerHeartbeats = true;
    // Scheduling grid: the scheduler wakes on multiples of this many
    // milliseconds and sends everything due by then. Every event-loop turn
    // polls every socket, so with thousands of units fewer, fuller turns cost
    // far less (for the server too, whose replies then come in clusters).
    // 0: wake at each exact due time.
    int tickMillis = 0;
    // Traffic lines: every frame sent and received, with its reading.
    bool trace = false;
    // Event lines for programs that read the output (see TSimFleet::Event):
    // a unit answered on a new connection, a connection lost, an alarm report
    // acknowledged, a command received; each stamped with the wall clock.
    bool events = false;
};

struct TSimStats {
    qint64 connectAttempts = 0;
    qint64 connectFailures = 0;
    qint64 disconnects = 0;
    qint64 heartbeatsSent = 0;
    qint64 heartbeatReplies = 0; // matched to a heartbeat sent
    qint64 heartbeatsLost = 0;   // unanswered within the reply timeout or when the link dropped
    qint64 unmatchedReplies = 0; // replies to no pending heartbeat (late or foreign)
    qint64 alarmsSent = 0;
    qint64 alarmAcks = 0;      // reports acknowledged (each counted once)
    qint64 alarmsRepeated = 0; // reports sent again for want of an acknowledgement
    qint64 alarmsGivenUp = 0;  // unacknowledged reports dropped past the unit's bound
    qint64 queries = 0;
    qint64 sets = 0;
    qint64 stationChanges = 0;
    qint64 listPages = 0;
    qint64 unsupported = 0;
    qint64 rejected = 0;
    // Heartbeat reply latencies since the last reset (at most the newest two
    // million).
    std::vector<float> latencyMs;
};

// The q-quantile (0 .. 1) of the values, by nearest rank; 0 when empty.
double SimPercentile(std::vector<float> values, double q);

class TSimFleet : public QObject {
    Q_OBJECT

public:
    using Output = std::function<void(const QString &line)>;

    TSimFleet(TSimFleetConfig config, std::shared_ptr<const TSimParamTable> table, Output output,
              QObject *parent = nullptr);
    ~TSimFleet() override;

    // Resolves the host and starts connecting the units. False, with the
    // reason on the output, when the host cannot be resolved.
    bool Start();
    // Stops sending heartbeats and alarm reports; connections stay open and
    // replies still count. Used to let the last replies arrive before a tally.
    void PauseSending();
    // Closes every connection; no reconnection follows.
    void Stop();

    const TSimFleetConfig &Config() const { return config_; }
    const TSimStats &Stats() const { return stats_; }
    void ResetLatencies() { stats_.latencyMs.clear(); }
    int UnitCount() const { return int(slots_.size()); }
    int ConnectedCount() const { return connected_; }
    // Units that had at least one heartbeat answered.
    int AnsweredCount() const { return answered_; }
    // Heartbeats sent and not yet answered or counted lost.
    qint64 PendingHeartbeats() const;
    TSimUnit &Unit(int index) { return *slots_[std::size_t(index)].unit; }

    // The index of a unit given by its number (as in its code) or its code.
    std::optional<int> FindUnit(const QString &which) const;
    // Sends a heartbeat now; false when the unit is not connected.
    bool SendHeartbeat(int index);
    // Sends an alarm report; the error says why not.
    bool SendAlarm(int index, const QString &paramCode, bool alert, QString *error);
    // Alarm reports sent and not yet acknowledged, over the fleet.
    qint64 UnackedAlarms() const;
    static constexpr std::size_t kMaxUnackedAlarms = 4096;

    // Called for every frame a unit has handled, after its reply (if any) was
    // written: the unit's index and what it did. Null: nobody is told.
    using EventObserver = std::function<void(int index, const TSimEvent &event)>;
    void SetEventObserver(EventObserver observer) { observer_ = std::move(observer); }

    // Runs one operator command (see CommandHelp) and returns its answer.
    QString Execute(const QString &line);
    static QString CommandHelp();
    // One line with the connection, heartbeat, latency and traffic counts.
    QString StatusLine() const;

private:
    enum class Action { Connect, Heartbeat };
    using Clock = std::chrono::steady_clock;
    struct Due {
        Clock::time_point at;
        int index;
        quint32 generation;
        Action action;
        bool operator>(const Due &other) const { return at > other.at; }
    };
    enum class LinkState { Idle, Connecting, Up };
    struct Slot {
        std::unique_ptr<TSimUnit> unit;
        QTcpSocket *socket = nullptr; // child of the fleet
        quint32 generation = 0;       // bumped whenever a link is lost: stale due times die
        LinkState state = LinkState::Idle;
        bool answered = false;
        std::deque<std::pair<int, Clock::time_point>> pendingHeartbeats;
        bool registered = false; // a heartbeat was answered on this connection
        struct Report {
            TSimOutFrame frame;
            Clock::time_point sentAt;
        };
        std::deque<Report> pendingAlarms; // sent, not acknowledged; kept across links
    };

    void Schedule(Clock::time_point at, int index, Action action);
    void Arm();
    void RunDue();
    void Connect(int index);
    void OnConnected(int index);
    void OnDown(int index, const QString &why);
    void OnReadyRead(int index);
    void OnAlarmTick();
    // Sends again every report unacknowledged for alarmRepeatSeconds.
    void RepeatAlarms();
    void Write(int index, const TSimOutFrame &frame, const QString &what);
    void Trace(int index, const QString &text);
    // One event line: "event <ms since the epoch> <what> <code> <details>".
    void Event(int index, const QString &what, const QString &details = {});
    void ExpireHeartbeats(Slot &slot, Clock::time_point now);

    TSimFleetConfig config_;
    std::shared_ptr<const TSimParamTable> table_;
    Output output_;
    EventObserver observer_;
    QHostAddress address_;
    std::vector<Slot> slots_;
    std::priority_queue<Due, std::vector<Due>, std::greater<>> due_;
    QTimer scheduler_;
    Clock::time_point armedAt_;
    QStringList alarmCodes_;
    QString lastError_;
    QTimer alarmTimer_;
    QTimer repeatTimer_;
    Clock::time_point lastAlarmTick_;
    double alarmCredit_ = 0;
    std::mt19937 random_{20240611u};
    TSimStats stats_;
    int connected_ = 0;
    int answered_ = 0;
    bool sending_ = true;
    bool stopped_ = false;
};
