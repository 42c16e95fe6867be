// bench_client_load: the client port under a steady load.
//
// Starts the real server headless on a temporary home, connects C simulated
// units (one per client user) and C clients that log in through the client
// text protocol ("*00" + "00" + user) and each query their own unit every P
// seconds ("*01" code "@02" items "#" name), for the chosen duration.
// Reports the answer latency ("*01" reply), split at the moment the unit
// answered, and the send-notice latency ("*21"), each against the floor that
// the server's fixed paces impose, and the server's CPU time and resident
// memory.
#include "BenchServer.h"
#include "SimFleet.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <random>

namespace {

using Clock = std::chrono::steady_clock;

QString Fixed(double v, int decimals = 1) {
    return QString::number(v, 'f', decimals);
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// The server's paces. The send and receive ticks are precise timers; the
// server starts the receive tick half its period after the send tick.
constexpr double kChannelMs = 80, kSendMs = 600, kReceiveMs = 300, kReceiveAfterSendMs = 150,
                 kReplyMs = 100, kReplyPerEntryMs = 250;
constexpr double kNoticeMeanFloor = (kChannelMs + kSendMs) / 2;
constexpr double kNoticeMaxFloor = kChannelMs + kSendMs;

// One query as the run saw it, in ms since the start of the run.
struct TRunQuery {
    double sent = 0;
    int client = 0;
    // When its unit answered (infinity when it never did): answers to
    // requests that left on one send tick reach the server in this order.
    double unitAnswered = std::numeric_limits<double>::infinity();
};

// What the paces alone make of one query.
struct TPacedQuery {
    double toUnit = 0; // the send tick that took it to its unit
    double replied = 0;
};

struct TPacePhases {
    double channel, send, receive, reply; // a moment of each pace, ms
};

// The first tick of a pace at or after t.
double NextTick(double t, double origin, double period) {
    return origin + std::ceil((t - origin) / period) * period;
}

// The queries (sorted by sending time) run through the server's paces with
// no processing time at all, the unit answering at once:
//   channel worker: one request off its queue every 80 ms, in arrival order;
//   send tick (600 ms): walks the sub-queues in the order they were made, one
//     request from each, and drops a sub-queue found empty;
//   receive tick (300 ms): one received frame per tick for the whole server,
//     first come first served;
//   reply worker: a pass over the pending list (in sending order) every
//     100 ms; after each answer it handles it pauses 250 ms and goes on from
//     the next entry, so an answer that arrives meanwhile further up the list
//     waits for the next pass.
std::vector<TPacedQuery> RunPaces(const std::vector<TRunQuery> &queries, const TPacePhases &at) {
    const std::size_t n = queries.size();
    std::vector<TPacedQuery> out(n);
    if (n == 0)
        return out;

    // Channel worker and send ticks, with the sub-queues as the server keeps them.
    std::vector<double> taken(n);
    double channelFree = -std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < n; ++i) {
        taken[i] = std::max(NextTick(queries[i].sent, at.channel, kChannelMs), channelFree);
        channelFree = taken[i] + kChannelMs;
    }
    std::vector<std::size_t> listOrder; // the pending list: the order requests left
    listOrder.reserve(n);
    struct SubQueue {
        int client;
        std::deque<std::size_t> bodies;
    };
    std::vector<SubQueue> subQueues;
    std::size_t next = 0; // next request to be queued (taken is ascending)
    for (double tick = NextTick(taken[0], at.send, kSendMs); listOrder.size() < n;
         tick += kSendMs) {
        for (; next < n && taken[next] <= tick; ++next) {
            const auto sub = std::find_if(subQueues.begin(), subQueues.end(), [&](const auto &q) {
                return q.client == queries[next].client;
            });
            if (sub != subQueues.end())
                sub->bodies.push_back(next);
            else
                subQueues.push_back({queries[next].client, {next}});
        }
        for (std::size_t k = 0; k < subQueues.size();) {
            if (subQueues[k].bodies.empty()) {
                subQueues.erase(subQueues.begin() + std::ptrdiff_t(k));
                continue;
            }
            const std::size_t i = subQueues[k].bodies.front();
            subQueues[k].bodies.pop_front();
            out[i].toUnit = tick;
            listOrder.push_back(i);
            ++k;
        }
    }

    // Receive ticks: frames in arrival order, one per tick.
    std::vector<std::size_t> arrival = listOrder;
    std::stable_sort(arrival.begin(), arrival.end(), [&](std::size_t a, std::size_t b) {
        if (out[a].toUnit != out[b].toUnit)
            return out[a].toUnit < out[b].toUnit;
        return queries[a].unitAnswered < queries[b].unitAnswered;
    });
    std::vector<double> processed(n);
    double receiveFree = -std::numeric_limits<double>::infinity();
    for (std::size_t i : arrival) {
        // The frame arrives just after the send tick; a receive tick at that
        // very moment has gone by.
        processed[i] =
            std::max(NextTick(out[i].toUnit + 1e-6, at.receive, kReceiveMs), receiveFree);
        receiveFree = processed[i] + kReceiveMs;
    }

    // Reply worker.
    std::vector<bool> done(n, false);
    std::size_t left = n;
    std::size_t firstOpen = 0; // entries before it in listOrder are done
    double worker = NextTick(out[listOrder.front()].toUnit, at.reply, kReplyMs);
    while (left > 0) {
        while (done[listOrder[firstOpen]])
            ++firstOpen;
        for (std::size_t k = firstOpen; k < n; ++k) {
            const std::size_t i = listOrder[k];
            if (done[i] || processed[i] > worker)
                continue;
            out[i].replied = worker;
            done[i] = true;
            --left;
            worker += kReplyPerEntryMs;
        }
        worker += kReplyMs;
    }
    return out;
}

// The send tick's phase as the run saw it: each "*21" notice is written in a
// send tick and arrives a fraction of a millisecond later, never earlier.
double SendTickPhase(const std::vector<double> &notices) {
    if (notices.empty())
        return 0;
    const double origin = notices.front();
    std::vector<double> offsets;
    for (double t : notices) {
        double r = std::fmod(t - origin, kSendMs);
        if (r > kSendMs / 2)
            r -= kSendMs;
        offsets.push_back(r);
    }
    std::sort(offsets.begin(), offsets.end());
    const double median = offsets[offsets.size() / 2];
    double earliest = median;
    for (double r : offsets)
        if (r > median - kSendMs / 2)
            earliest = std::min(earliest, r);
    return origin + earliest;
}

struct TPaceFloor {
    std::vector<float> total, toUnit, fromUnit;
};

// The paces over `rounds` phasings of the channel and reply workers, whose
// threads keep no phase with the timers. sendPhase: the run's send tick; the
// receive tick follows it as the server starts it. Without it, every pace
// gets a random phase.
TPaceFloor PaceFloor(const std::vector<TRunQuery> &queries, std::optional<double> sendPhase,
                     int rounds) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> unit(0, 1);
    TPaceFloor floor;
    for (int round = 0; round < rounds; ++round) {
        TPacePhases at{};
        at.channel = unit(random) * kChannelMs;
        at.reply = unit(random) * kReplyMs;
        at.send = sendPhase ? *sendPhase : unit(random) * kSendMs;
        at.receive = sendPhase ? *sendPhase + kReceiveAfterSendMs : unit(random) * kReceiveMs;
        const std::vector<TPacedQuery> paced = RunPaces(queries, at);
        for (std::size_t i = 0; i < queries.size(); ++i) {
            floor.total.push_back(float(paced[i].replied - queries[i].sent));
            floor.toUnit.push_back(float(paced[i].toUnit - queries[i].sent));
            floor.fromUnit.push_back(float(paced[i].replied - paced[i].toUnit));
        }
    }
    return floor;
}

double Mean(const std::vector<float> &values) {
    double sum = 0;
    for (float v : values)
        sum += v;
    return values.empty() ? 0 : sum / double(values.size());
}

// p50 and p99 of the values, "p50 X ms, p99 Y ms".
QString Quantiles(const std::vector<float> &values) {
    return QStringLiteral("p50 %1 ms, p99 %2 ms")
        .arg(Fixed(SimPercentile(values, 0.5)), Fixed(SimPercentile(values, 0.99)));
}

// One client connection: logs in, queries its unit, matches the answers.
// Times are kept in ms since origin; a client has its queries answered in
// the order it sent them (its requests leave, and come back, in order).
class BenchClient {
public:
    BenchClient(int number, int port, Clock::time_point origin) : number_(number), origin_(origin) {
        QObject::connect(&socket_, &QTcpSocket::readyRead, [this] { Read(); });
        socket_.connectToHost(QHostAddress::LocalHost, quint16(port));
    }

    bool Connected() { return socket_.state() == QAbstractSocket::ConnectedState; }
    void Login() { Send(QStringLiteral("*0000client%1*").arg(number_)); }
    bool LoggedIn() const { return loggedIn_; }

    void Query() {
        // Query the unit's temperature (0x0501).
        Send(QStringLiteral("*01CLI%1@0204010500#Unit %1*").arg(number_));
        TTimes times;
        times.sent = Now();
        queries.push_back(times);
    }
    // Its unit has just answered a query.
    void UnitAnswered() {
        if (nextUnit_ < queries.size())
            queries[nextUnit_++].unitAnswered = Now();
    }

    struct TTimes {
        double sent = 0;
        double notice = -1;       // the "*21" send notice; -1: none
        double unitAnswered = -1; // -1: the unit never answered
        double replied = -1;      // the "*01" answer; -1: none
    };
    std::vector<TTimes> queries;
    qint64 Pending() const { return qint64(queries.size() - nextReply_); }
    qint64 failures = 0; // "*21 ... not connect" or "... fail"

private:
    double Now() const { return Ms(Clock::now() - origin_); }
    void Send(const QString &text) { socket_.write(text.toLatin1()); }

    void Read() {
        buffer_ += socket_.readAll();
        for (;;) {
            const qsizetype open = buffer_.indexOf('*');
            const qsizetype close = open < 0 ? -1 : buffer_.indexOf('*', open + 1);
            if (close < 0)
                break;
            const QByteArray message = buffer_.mid(open + 1, close - open - 1);
            buffer_.remove(0, close + 1);
            Handle(message);
        }
    }

    void Handle(const QByteArray &message) {
        const double now = Now();
        if (message.startsWith("12")) {
            loggedIn_ =
                loggedIn_ || message.contains(QStringLiteral("CLI%1@").arg(number_).toLatin1());
        } else if (message.startsWith("21")) {
            if (message.contains("not connect") || message.endsWith(") fail"))
                ++failures;
            else if (nextNotice_ < queries.size())
                queries[nextNotice_++].notice = now;
        } else if (message.startsWith("01") && nextReply_ < queries.size()) {
            queries[nextReply_++].replied = now;
        }
    }

    int number_;
    Clock::time_point origin_;
    QTcpSocket socket_;
    QByteArray buffer_;
    bool loggedIn_ = false;
    std::size_t nextNotice_ = 0;
    std::size_t nextUnit_ = 0;
    std::size_t nextReply_ = 0;
};

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Load benchmark of the client port: C clients each querying their own "
                       "simulated unit every P seconds through the real server."));
    parser.addHelpOption();
    const QCommandLineOption server = BenchServerOption();
    const QCommandLineOption clients(QStringLiteral("clients"),
                                     QStringLiteral("Clients, one unit each (default 10)."),
                                     QStringLiteral("C"), QStringLiteral("10"));
    const QCommandLineOption period(QStringLiteral("period"),
                                    QStringLiteral("Seconds between a client's queries (default "
                                                   "5)."),
                                    QStringLiteral("P"), QStringLiteral("5"));
    const QCommandLineOption duration(QStringLiteral("duration"),
                                      QStringLiteral("Length of the run, s (default 120)."),
                                      QStringLiteral("S"), QStringLiteral("120"));
    const QCommandLineOption serverLog(QStringLiteral("server-log"),
                                       QStringLiteral("Keep the server's operator log in this "
                                                      "file (default: thrown away)."),
                                       QStringLiteral("file"));
    parser.addOptions({server, clients, period, duration, serverLog});
    parser.process(app);
    const int count = parser.value(clients).toInt();
    const double periodSeconds = parser.value(period).toDouble();
    const double runSeconds = parser.value(duration).toDouble();
    if (count < 1 || periodSeconds <= 0 || runSeconds <= 0) {
        BenchPrint(QStringLiteral("--clients, --period and --duration must be positive"));
        return 2;
    }
    BenchRaiseDescriptorLimit();

    TBenchServer bench(parser.value(server));
    std::vector<TBenchOwner> owners;
    for (int i = 1; i <= count; ++i)
        owners.push_back({QStringLiteral("client%1").arg(i), QStringLiteral("CLI%1").arg(i),
                          QStringLiteral("Unit %1").arg(i)});
    if (!bench.Prepare(owners, true) || !bench.Start(parser.value(serverLog))) {
        BenchPrint(QStringLiteral("cannot run the server: ") + bench.Error());
        return 1;
    }
    BenchPrint(QStringLiteral("server pid %1, equipment port %2, client port %3")
                   .arg(bench.Pid())
                   .arg(bench.EquipmentPort())
                   .arg(bench.ClientPort()));

    TSimFleetConfig config;
    config.port = quint16(bench.EquipmentPort());
    config.count = count;
    config.codePrefix = QStringLiteral("CLI");
    config.connectRate = 0;
    TSimFleet fleet(config, nullptr, BenchPrint);
    const Clock::time_point origin = Clock::now();
    std::vector<std::unique_ptr<BenchClient>> links;
    // Unit i (code CLIi+1) is queried by client i only.
    fleet.SetEventObserver([&links](int index, const TSimEvent &event) {
        if (event.kind == TSimEvent::Kind::Query && index >= 0 && index < int(links.size()))
            links[std::size_t(index)]->UnitAnswered();
    });
    bool ok = fleet.Start() && RunUntil([&] { return fleet.AnsweredCount() == count; }, 30000);
    for (int i = 1; ok && i <= count; ++i)
        links.push_back(std::make_unique<BenchClient>(i, bench.ClientPort(), origin));
    ok = ok && ConnectAndLogIn(links, 10000, 10000);
    if (!ok) {
        BenchPrint(QStringLiteral("units or clients did not come up: ") + fleet.StatusLine());
        bench.Stop();
        return 1;
    }
    BenchPrint(QStringLiteral("%1 units registered, %1 clients logged in; querying every %2 s for "
                              "%3 s")
                   .arg(count)
                   .arg(periodSeconds)
                   .arg(runSeconds));

    const double cpuStart = bench.CpuSeconds();
    const qint64 rssStart = bench.ResidentKiB();
    QElapsedTimer clock;
    clock.start();
    // Each client on its own timer, their phases spread over the period.
    std::vector<std::unique_ptr<QTimer>> timers;
    for (int i = 0; i < count; ++i) {
        auto timer = std::make_unique<QTimer>();
        timer->setTimerType(Qt::PreciseTimer);
        timer->setInterval(int(periodSeconds * 1000));
        BenchClient *link = links[std::size_t(i)].get();
        QObject::connect(timer.get(), &QTimer::timeout, [link] { link->Query(); });
        QTimer *raw = timer.get();
        QTimer::singleShot(int(periodSeconds * 1000 * i / count), raw, [raw, link] {
            link->Query();
            raw->start();
        });
        timers.push_back(std::move(timer));
    }
    RunUntil([] { return false; }, qint64(runSeconds * 1000));
    for (auto &timer : timers)
        timer->stop();
    const double runCpu = bench.CpuSeconds() - cpuStart;
    const double elapsed = clock.elapsed() / 1000.0;
    // The last answers may take a few paces.
    RunUntil(
        [&] {
            return std::all_of(links.begin(), links.end(),
                               [](const auto &c) { return c->Pending() == 0; });
        },
        5000);
    const qint64 rssEnd = bench.ResidentKiB();

    // Measured: the whole answer latency, and its two halves: request to the
    // unit's answer (channel worker and send tick) and the unit's answer to
    // the "*01" reply (receive tick and reply worker).
    std::vector<float> answers, toUnit, fromUnit, notices;
    std::vector<double> noticeTimes;
    std::vector<TRunQuery> runQueries;
    qint64 sent = 0;
    qint64 failures = 0;
    for (std::size_t c = 0; c < links.size(); ++c) {
        for (const BenchClient::TTimes &q : links[c]->queries) {
            TRunQuery run{q.sent, int(c), std::numeric_limits<double>::infinity()};
            if (q.unitAnswered >= 0)
                run.unitAnswered = q.unitAnswered;
            runQueries.push_back(run);
            if (q.notice >= 0) {
                notices.push_back(float(q.notice - q.sent));
                noticeTimes.push_back(q.notice);
            }
            if (q.replied >= 0)
                answers.push_back(float(q.replied - q.sent));
            if (q.replied >= 0 && q.unitAnswered >= 0) {
                toUnit.push_back(float(q.unitAnswered - q.sent));
                fromUnit.push_back(float(q.replied - q.unitAnswered));
            }
        }
        sent += qint64(links[c]->queries.size());
        failures += links[c]->failures;
    }
    std::sort(runQueries.begin(), runQueries.end(),
              [](const auto &a, const auto &b) { return a.sent < b.sent; });
    std::sort(noticeTimes.begin(), noticeTimes.end());
    // The floor: the same queries through the paces alone, on this run's send
    // tick phase; and, for comparison, with every pace at a random phase.
    const TPaceFloor floor = PaceFloor(runQueries, SendTickPhase(noticeTimes), 200);
    const TPaceFloor randomFloor = PaceFloor(runQueries, std::nullopt, 200);
    const double a50 = SimPercentile(answers, 0.5);
    const double a99 = SimPercentile(answers, 0.99);
    const double f50 = SimPercentile(floor.total, 0.5);
    const double f99 = SimPercentile(floor.total, 0.99);

    BenchPrint(QStringLiteral("queries sent %1, answered %2, send notices %3, failure notices %4")
                   .arg(sent)
                   .arg(answers.size())
                   .arg(notices.size())
                   .arg(failures));
    BenchPrint(
        QStringLiteral("answer latency: p50 %1 ms, p99 %2 ms, mean %3 ms, max %4 ms")
            .arg(Fixed(a50), Fixed(a99), Fixed(Mean(answers)), Fixed(SimPercentile(answers, 1.0))));
    BenchPrint(QStringLiteral("  request to unit answer: %1; unit answer to *01: %2")
                   .arg(Quantiles(toUnit), Quantiles(fromUnit)));
    BenchPrint(QStringLiteral("  the paces alone (same send times, this run's send tick, answers "
                              "queued in the order the units gave them, no processing time; 200 "
                              "phasings of the worker threads): p50 %1 ms, p99 %2 ms, mean %3 ms")
                   .arg(Fixed(f50), Fixed(f99), Fixed(Mean(floor.total))));
    BenchPrint(QStringLiteral("    request to unit answer: %1; unit answer to *01: %2")
                   .arg(Quantiles(floor.toUnit), Quantiles(floor.fromUnit)));
    BenchPrint(
        QStringLiteral("  measured above the paces: p50 %1 ms, p99 %2 ms, mean %3 ms")
            .arg(Fixed(a50 - f50), Fixed(a99 - f99), Fixed(Mean(answers) - Mean(floor.total))));
    BenchPrint(QStringLiteral("  for comparison, the paces with every one at a random phase: %1, "
                              "mean %2 ms")
                   .arg(Quantiles(randomFloor.total), Fixed(Mean(randomFloor.total))));
    BenchPrint(QStringLiteral("send-notice (*21) latency: p50 %1 ms, p99 %2 ms; floor mean %3 ms, "
                              "worst %4 ms")
                   .arg(Fixed(SimPercentile(notices, 0.5)), Fixed(SimPercentile(notices, 0.99)),
                        Fixed(kNoticeMeanFloor), Fixed(kNoticeMaxFloor)));
    BenchPrint(QStringLiteral("server CPU time %1 s over %2 s (%3 % of one core); VmRSS %4 KiB at "
                              "the start, %5 KiB at the end")
                   .arg(Fixed(runCpu, 2), Fixed(elapsed))
                   .arg(Fixed(100.0 * runCpu / elapsed, 2))
                   .arg(rssStart)
                   .arg(rssEnd));
    fleet.Stop();
    const int rc = bench.Stop();
    const bool pass = sent > 0 && qint64(answers.size()) == sent && failures == 0;
    BenchPrint(QStringLiteral("server exit code %1; every query answered: %2")
                   .arg(rc)
                   .arg(pass ? QStringLiteral("PASS") : QStringLiteral("FAIL")));
    return pass ? 0 : 1;
}
