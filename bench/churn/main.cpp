// bench_churn: the server's resident memory under connection churn.
//
// Short equipment connections, as from units that reconnect for every report:
// connect, one heartbeat, wait for its reply, close. A few threads of
// blocking sockets keep the rate as high as the machine allows (the units
// come from a pool of registered codes, each with its own station number, so
// that no station conflict adds traffic). Every 100,000 connections (or
// --every) it prints the connections per second over that stretch and the
// server's resident size; at the end, the growth since the first 10,000.
#include "BenchServer.h"
#include "SimUnit.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

struct Counters {
    std::atomic<qint64> done{0};   // connections that got their reply
    std::atomic<qint64> failed{0}; // connect, write or read failed or timed out
    std::atomic<qint64> next{0};   // connections handed out
};

// Closes the descriptor when it goes out of scope.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
};

// One short connection: true when the heartbeat's reply (a whole frame,
// 0x7E to 0x7E) came back.
bool OneConnection(int port, const QByteArray &heartbeat) {
    Fd s{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    if (s.fd < 0)
        return false;
    timeval timeout{5, 0};
    ::setsockopt(s.fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const int one = 1;
    ::setsockopt(s.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(quint16(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s.fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0)
        return false;
    if (::send(s.fd, heartbeat.constData(), size_t(heartbeat.size()), MSG_NOSIGNAL) !=
        heartbeat.size())
        return false;
    char buffer[512];
    int flags = 0;
    for (;;) {
        const ssize_t n = ::recv(s.fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return false;
        for (ssize_t i = 0; i < n; ++i)
            if (buffer[i] == 0x7E && ++flags == 2)
                return true;
    }
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Server memory under connection churn"));
    parser.addHelpOption();
    const QCommandLineOption total(QStringLiteral("connections"),
                                   QStringLiteral("Short connections in all."), QStringLiteral("n"),
                                   QStringLiteral("1000000"));
    const QCommandLineOption every(QStringLiteral("every"),
                                   QStringLiteral("Print a line every n connections."),
                                   QStringLiteral("n"), QStringLiteral("100000"));
    const QCommandLineOption threads(QStringLiteral("threads"),
                                     QStringLiteral("Connecting threads."), QStringLiteral("n"),
                                     QStringLiteral("8"));
    const QCommandLineOption pool(QStringLiteral("units"),
                                  QStringLiteral("Registered unit codes to cycle through."),
                                  QStringLiteral("n"), QStringLiteral("1000"));
    const QCommandLineOption server = BenchServerOption();
    parser.addOptions({total, every, threads, pool, server});
    parser.process(app);
    const QString binary = parser.value(server);
    const qint64 connections = std::max(1LL, parser.value(total).toLongLong());
    const qint64 step = std::max(1LL, parser.value(every).toLongLong());
    const int workers = std::max(1, parser.value(threads).toInt());
    const int units = std::max(1, parser.value(pool).toInt());

    BenchRaiseDescriptorLimit();
    std::vector<TBenchOwner> owners;
    std::vector<QByteArray> heartbeats;
    const auto table = std::make_shared<const TSimParamTable>(TSimParamTable::BuiltIn());
    for (int i = 1; i <= units; ++i) {
        const QString code = QStringLiteral("CH%1").arg(i);
        owners.push_back({QStringLiteral("u%1").arg(i), code, QStringLiteral("Unit %1").arg(i)});
        TSimUnit unit(TSimIdentity{code, 0x03, quint32(0x2000 + i), 1}, table, 1);
        heartbeats.push_back(unit.MakeHeartbeat().bytes);
    }
    TBenchServer real(binary);
    if (!real.Prepare(owners, false) || !real.Start(QString())) {
        BenchPrint(QStringLiteral("server did not start: ") + real.Error());
        return 1;
    }
    BenchPrint(QStringLiteral("churn: %1 short connections (connect, heartbeat, reply, close), "
                              "%2 threads, %3 unit codes, %4 cores, load %5")
                   .arg(connections)
                   .arg(workers)
                   .arg(units)
                   .arg(QThread::idealThreadCount())
                   .arg(BenchLoadAverage()));
    BenchPrint(QStringLiteral("  start: resident %1 MiB")
                   .arg(QString::number(real.ResidentKiB() / 1024.0, 'f', 1)));

    Counters counters;
    const int port = real.EquipmentPort();
    std::vector<std::thread> connecting;
    for (int w = 0; w < workers; ++w)
        connecting.emplace_back([&] {
            for (;;) {
                const qint64 n = counters.next.fetch_add(1);
                if (n >= connections)
                    return;
                if (OneConnection(port, heartbeats[std::size_t(n % units)]))
                    ++counters.done;
                else
                    ++counters.failed;
            }
        });

    // Where to print: after the first 10,000 (the reference point), every
    // step, and at the end.
    std::vector<qint64> marks{std::min<qint64>(10000, connections)};
    for (qint64 m = step; m < connections; m += step)
        if (m > marks.front())
            marks.push_back(m);
    if (marks.back() != connections)
        marks.push_back(connections);

    QElapsedTimer clock;
    clock.start();
    qint64 lastCount = 0;
    qint64 lastMs = 0;
    double firstMiB = -1;
    for (const qint64 mark : marks) {
        while (counters.done + counters.failed < mark)
            QThread::msleep(5);
        const qint64 now = clock.elapsed();
        const qint64 count = counters.done + counters.failed;
        const double mib = real.ResidentKiB() / 1024.0;
        if (firstMiB < 0)
            firstMiB = mib;
        BenchPrint(QStringLiteral("  %1 connections (%2 failed): %3 connections/s, resident "
                                  "%4 MiB")
                       .arg(count)
                       .arg(counters.failed.load())
                       .arg(QString::number((count - lastCount) * 1000.0 /
                                                double(std::max<qint64>(1, now - lastMs)),
                                            'f', 0))
                       .arg(QString::number(mib, 'f', 1)));
        lastCount = count;
        lastMs = now;
    }
    for (std::thread &t : connecting)
        t.join();
    // The server closes its side of the last connections on its own time.
    QThread::msleep(1000);
    const double endMiB = real.ResidentKiB() / 1024.0;
    BenchPrint(QStringLiteral("  end: %1 connections in %2 s, %3 failed; resident %4 MiB, %5 MiB "
                              "more than after the first 10,000")
                   .arg(counters.done.load())
                   .arg(QString::number(clock.elapsed() / 1000.0, 'f', 1))
                   .arg(counters.failed.load())
                   .arg(QString::number(endMiB, 'f', 1))
                   .arg(QString::number(endMiB - firstMiB, 'f', 1)));
    const int code = real.Stop();
    return code == 0 ? 0 : 1;
}
