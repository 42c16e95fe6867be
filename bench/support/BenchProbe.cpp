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
