#include "BenchProbe.h"

#include <QEventLoop>
#include <QTimer>

TBenchProbe::TBenchProbe(int port) {
    thread_.reset(QThread::create([this, port] {
        TSimFleetConfig config;
        config.port = quint16(port);
        config.codePrefix = QStringLiteral("PROBE");
        config.stationBase = 0x0CC00000;
        config.heartbeatSeconds = 0.5;
        config.connectRate = 0;
        TSimFleet fleet(config, nullptr, nullptr);
        fleet.Start();
        QEventLoop loop;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            if (reset_.exchange(false))
                fleet.ResetLatencies();
            if (take_) {
                std::lock_guard guard(takenLock_);
                taken_ = fleet.Stats().latencyMs;
                fleet.ResetLatencies();
                take_ = false;
            }
            if (stop_) {
                stats_ = fleet.Stats();
                fleet.Stop();
                loop.quit();
            }
        });
        poll.start(50);
        loop.exec();
    }));
    thread_->start();
}

std::vector<float> TBenchProbe::TakeLatencies() {
    take_ = true;
    while (take_ && thread_->isRunning())
        QThread::msleep(5);
    std::lock_guard guard(takenLock_);
    return std::move(taken_);
}

const TSimStats &TBenchProbe::Finish() {
    stop_ = true;
    thread_->wait();
    return stats_;
}

QString BenchLatencyText(const std::vector<float> &ms) {
    auto fixed = [](double v) { return QString::number(v, 'f', 2); };
    return QStringLiteral("p50 %1 ms, p99 %2 ms, max %3 ms (%4 replies)")
        .arg(fixed(SimPercentile(ms, 0.5)), fixed(SimPercentile(ms, 0.99)),
             fixed(SimPercentile(ms, 1.0)))
        .arg(ms.size());
}

std::vector<TBenchOwner> BenchOwnersWithProbe(int units) {
    std::vector<TBenchOwner> owners;
    for (int i = 1; i <= units; ++i)
        owners.push_back({QStringLiteral("owner%1").arg(i / 100), QStringLiteral("LOAD%1").arg(i),
                          QStringLiteral("Repeater %1").arg(i)});
    owners.push_back({QStringLiteral("owner0"), QStringLiteral("PROBE1"), QStringLiteral("Probe")});
    return owners;
}
