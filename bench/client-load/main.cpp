// bench_client_load: the client port under a steady load.
//
// Starts the real server headless on a temporary home, connects C simulated
// units (one per client user) and C clients that log in through the client
// text protocol ("*00" + "00" + user) and each query their own unit every P
// seconds ("*01" code "@02" items "#" name), for the chosen duration.
// Reports the answer latency ("*01" reply) and the send-notice latency
// ("*21"), each against the floor that the server's fixed paces impose, and
// the server's CPU time and resident memory.
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
#include <map>
#include <memory>
#include <random>

namespace {

using Clock = std::chrono::steady_clock;

bool RunUntil(const std::function<bool()> &condition, qint64 timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer poll;
    bool held = condition();
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        held = condition();
        if (held || clock.elapsed() >= timeoutMs)
            loop.quit();
    });
    if (!held) {
        poll.start(20);
        loop.exec();
    }
    return held;
}

QString Fixed(double v, int decimals = 1) {
    return QString::number(v, 'f', decimals);
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// The paces the request path waits on, with a request arriving at a random
// moment: channel worker 80 ms, send tick 600 ms, receive tick 300 ms, reply
// worker pass 100 ms. Their mean waits add up to the floor of the mean
// latency; their full periods to the floor of the worst case.
constexpr double kChannelMs = 80, kSendMs = 600, kReceiveMs = 300, kReplyMs = 100,
                 kReplyPerEntryMs = 250;
constexpr double kAnswerMeanFloor = (kChannelMs + kSendMs + kReceiveMs + kReplyMs) / 2;
constexpr double kAnswerMaxFloor = kChannelMs + kSendMs + kReceiveMs + kReplyMs;
constexpr double kNoticeMeanFloor = (kChannelMs + kSendMs) / 2;
constexpr double kNoticeMaxFloor = kChannelMs + kSendMs;

// The paces alone: the requests, at the times they were really sent, run
// through the server's fixed paces with no processing time at all, each pace
// at a random phase. What this gives is the latency the design imposes; the
// measured latency can only lie above it.
//   channel worker: takes one request every 80 ms;
//   send tick (600 ms): one request per client connection per tick;
//   the unit answers at once; receive tick (300 ms): one frame per tick for
//   the whole server;
//   reply worker: a pass every 100 ms; 250 ms pause after each answer it sends.
struct SentQuery {
    double at; // ms since the start of the run
    int client;
};

std::vector<float> PaceModel(std::vector<SentQuery> sent, int rounds) {
    std::sort(sent.begin(), sent.end(), [](const auto &a, const auto &b) { return a.at < b.at; });
    std::mt19937 random(7);
    std::uniform_real_distribution<double> phase(0, 1);
    auto nextTick = [](double t, double origin, double period) {
        return origin + std::ceil((t - origin) / period) * period;
    };
    std::vector<float> latencies;
    const std::size_t n = sent.size();
    for (int round = 0; round < rounds; ++round) {
        const double channelPhase = phase(random) * kChannelMs - 1000;
        const double sendPhase = phase(random) * kSendMs - 1000;
        const double receivePhase = phase(random) * kReceiveMs - 1000;
        std::vector<double> toUnit(n);
        double channelFree = -1e9;
        std::map<int, double> lastSendOfClient;
        for (std::size_t i = 0; i < n; ++i) {
            const double taken =
                std::max(nextTick(sent[i].at, channelPhase, kChannelMs), channelFree);
            channelFree = taken + kChannelMs;
            double tick = nextTick(taken, sendPhase, kSendMs);
            const auto last = lastSendOfClient.find(sent[i].client);
            if (last != lastSendOfClient.end())
                tick = std::max(tick, last->second + kSendMs);
            lastSendOfClient[sent[i].client] = tick;
            toUnit[i] = tick;
        }
        // Received frames, one per receive tick, in arrival order.
        std::vector<std::size_t> order(n);
        for (std::size_t i = 0; i < n; ++i)
            order[i] = i;
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return toUnit[a] < toUnit[b]; });
        std::vector<double> answered(n);
        double receiveFree = -1e9;
        for (std::size_t i : order) {
            answered[i] = std::max(nextTick(toUnit[i], receivePhase, kReceiveMs), receiveFree);
            receiveFree = answered[i] + kReceiveMs;
        }
        // The reply worker walks the list (in sending order) pass after pass.
        std::vector<bool> done(n, false);
        std::size_t left = n;
        double worker = phase(random) * kReplyMs - 1000;
        while (left > 0) {
            bool handled = true;
            while (handled) {
                handled = false;
                for (std::size_t i : order) {
                    if (!done[i] && answered[i] <= worker) {
                        latencies.push_back(float(worker - sent[i].at));
                        done[i] = true;
                        --left;
                        worker += kReplyPerEntryMs;
                        handled = true;
                    }
                }
            }
            worker += kReplyMs;
        }
    }
    return latencies;
}

// One client connection: logs in, queries its unit, matches the answers.
class BenchClient {
public:
    BenchClient(int number, int port) : number_(number) {
        QObject::connect(&socket_, &QTcpSocket::readyRead, [this] { Read(); });
        socket_.connectToHost(QHostAddress::LocalHost, quint16(port));
    }

    bool Connected() { return socket_.state() == QAbstractSocket::ConnectedState; }
    void Login() { Send(QStringLiteral("*0000client%1*").arg(number_)); }
    bool LoggedIn() const { return loggedIn_; }

    void Query(double atMs) {
        sentAt.push_back(atMs);
        // Query the unit's temperature (0x0501).
        Send(QStringLiteral("*01CLI%1@0204010500#Unit %1*").arg(number_));
        const auto now = Clock::now();
        pendingAnswers_.push_back(now);
        pendingNotices_.push_back(now);
        ++sent_;
    }

    std::vector<float> answerMs;
    std::vector<float> noticeMs;
    std::vector<double> sentAt; // ms since the start of the run
    qint64 Sent() const { return sent_; }
    qint64 Pending() const { return qint64(pendingAnswers_.size()); }
    qint64 failures = 0; // "*21 ... not connect" or "... fail"

private:
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
        const auto now = Clock::now();
        if (message.startsWith("12")) {
            loggedIn_ =
                loggedIn_ || message.contains(QStringLiteral("CLI%1@").arg(number_).toLatin1());
        } else if (message.startsWith("21")) {
            if (message.contains("not connect") || message.endsWith(") fail"))
                ++failures;
            else if (!pendingNotices_.empty()) {
                noticeMs.push_back(float(Ms(now - pendingNotices_.front())));
                pendingNotices_.pop_front();
            }
        } else if (message.startsWith("01") && !pendingAnswers_.empty()) {
            answerMs.push_back(float(Ms(now - pendingAnswers_.front())));
            pendingAnswers_.pop_front();
        }
    }

    int number_;
    QTcpSocket socket_;
    QByteArray buffer_;
    bool loggedIn_ = false;
    std::deque<Clock::time_point> pendingAnswers_;
    std::deque<Clock::time_point> pendingNotices_;
    qint64 sent_ = 0;
};

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Load benchmark of the client port: C clients each querying their own "
                       "simulated unit every P seconds through the real server."));
    parser.addHelpOption();
    const QCommandLineOption server(QStringLiteral("server"),
                                    QStringLiteral("The server program (default: mms-server "
                                                   "beside this program)."),
                                    QStringLiteral("path"));
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

    TBenchServer bench(parser.isSet(server) ? parser.value(server)
                                            : QCoreApplication::applicationDirPath() +
                                                  QStringLiteral("/mms-server"));
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
    bool ok = fleet.Start() && RunUntil([&] { return fleet.AnsweredCount() == count; }, 30000);
    std::vector<std::unique_ptr<BenchClient>> links;
    for (int i = 1; ok && i <= count; ++i)
        links.push_back(std::make_unique<BenchClient>(i, bench.ClientPort()));
    ok = ok && RunUntil(
                   [&] {
                       return std::all_of(links.begin(), links.end(),
                                          [](const auto &c) { return c->Connected(); });
                   },
                   10000);
    for (auto &link : links)
        link->Login();
    ok = ok && RunUntil(
                   [&] {
                       return std::all_of(links.begin(), links.end(),
                                          [](const auto &c) { return c->LoggedIn(); });
                   },
                   10000);
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
        QObject::connect(timer.get(), &QTimer::timeout,
                         [link, &clock] { link->Query(double(clock.elapsed())); });
        QTimer *raw = timer.get();
        QTimer::singleShot(int(periodSeconds * 1000 * i / count), raw, [raw, link, &clock] {
            link->Query(double(clock.elapsed()));
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

    std::vector<float> answers;
    std::vector<float> notices;
    std::vector<SentQuery> sentQueries;
    qint64 sent = 0;
    qint64 failures = 0;
    for (std::size_t c = 0; c < links.size(); ++c)
        for (double at : links[c]->sentAt)
            sentQueries.push_back({at, int(c)});
    const std::vector<float> floor = PaceModel(sentQueries, 200);
    double floorMean = 0;
    for (float v : floor)
        floorMean += v;
    floorMean = floor.empty() ? 0 : floorMean / double(floor.size());
    for (const auto &link : links) {
        answers.insert(answers.end(), link->answerMs.begin(), link->answerMs.end());
        notices.insert(notices.end(), link->noticeMs.begin(), link->noticeMs.end());
        sent += link->Sent();
        failures += link->failures;
    }
    const double a50 = SimPercentile(answers, 0.5);
    const double a99 = SimPercentile(answers, 0.99);
    const double n50 = SimPercentile(notices, 0.5);
    const double n99 = SimPercentile(notices, 0.99);
    double mean = 0;
    for (float v : answers)
        mean += v;
    mean = answers.empty() ? 0 : mean / double(answers.size());

    BenchPrint(QStringLiteral("queries sent %1, answered %2, send notices %3, failure notices %4")
                   .arg(sent)
                   .arg(answers.size())
                   .arg(notices.size())
                   .arg(failures));
    BenchPrint(QStringLiteral("answer latency: p50 %1 ms, p99 %2 ms, mean %3 ms, max %4 ms")
                   .arg(Fixed(a50), Fixed(a99), Fixed(mean), Fixed(SimPercentile(answers, 1.0))));
    BenchPrint(QStringLiteral("  the paces alone, same send times, no processing time (200 "
                              "random phasings): p50 %1 ms, p99 %2 ms, mean %3 ms")
                   .arg(Fixed(SimPercentile(floor, 0.5)), Fixed(SimPercentile(floor, 0.99)),
                        Fixed(floorMean)));
    BenchPrint(QStringLiteral("  measured above the paces: p50 %1 ms, p99 %2 ms, mean %3 ms "
                              "(pace waits with empty queues: mean %4 ms, at most %5 ms)")
                   .arg(Fixed(a50 - SimPercentile(floor, 0.5)),
                        Fixed(a99 - SimPercentile(floor, 0.99)), Fixed(mean - floorMean),
                        Fixed(kAnswerMeanFloor), Fixed(kAnswerMaxFloor)));
    BenchPrint(QStringLiteral("send-notice (*21) latency: p50 %1 ms, p99 %2 ms; floor mean %3 ms, "
                              "worst %4 ms")
                   .arg(Fixed(n50), Fixed(n99), Fixed(kNoticeMeanFloor), Fixed(kNoticeMaxFloor)));
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
