// The fleet model at 10,000 units. A presence call is what every heartbeat
// costs the link thread; a snapshot is a view's first paint, and the change
// feed its turn after 1,000 units have heartbeat.
#include "FleetModel.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>

namespace {

constexpr int Units = 10000;

DbTarget UnusedTarget() {
    // The model reads the database only when started; these runs never do.
    DbTarget target;
    target.driver = QStringLiteral("QSQLITE");
    target.databaseName = QDir::temp().filePath(QStringLiteral("bench-fleet-unused.db"));
    return target;
}

TEquipmentIdentity Identity(int i) {
    return {QStringLiteral("UNIT%1").arg(i, 5, 10, QLatin1Char('0')), QStringLiteral("01"),
            QStringLiteral("0101010101")};
}

// A model that knows every unit, on line.
struct Fleet {
    TdmNet db{UnusedTarget()};
    TFleetModel model{db, nullptr};
    std::vector<TEquipmentIdentity> ids;
    Fleet() {
        for (int i = 0; i < Units; ++i) {
            ids.push_back(Identity(i));
            model.UnitHeartbeat(ids.back(), QStringLiteral("10.0.0.1"), 10000 + i, true);
        }
        model.Sync();
    }
};

Fleet &Shared() {
    static Fleet fleet;
    return fleet;
}

void BM_PresenceCall(benchmark::State &state) {
    Fleet &fleet = Shared();
    const QString address = QStringLiteral("10.0.0.1");
    int i = 0;
    for (auto _ : state) {
        fleet.model.UnitHeartbeat(fleet.ids[i], address, 10000 + i, true);
        i = (i + 1) % Units;
    }
    fleet.model.Sync();
}
BENCHMARK(BM_PresenceCall);

void BM_Snapshot(benchmark::State &state) {
    Fleet &fleet = Shared();
    for (auto _ : state)
        benchmark::DoNotOptimize(fleet.model.Snapshot());
}
BENCHMARK(BM_Snapshot)->Unit(benchmark::kMillisecond);

void BM_ChangesAfter1000Heartbeats(benchmark::State &state) {
    Fleet &fleet = Shared();
    const QString address = QStringLiteral("10.0.0.2");
    for (auto _ : state) {
        state.PauseTiming();
        const std::uint64_t cursor = fleet.model.Snapshot().cursor;
        for (int i = 0; i < 1000; ++i)
            fleet.model.UnitHeartbeat(fleet.ids[i * 10], address, 20000 + i, true);
        fleet.model.Sync();
        state.ResumeTiming();
        benchmark::DoNotOptimize(fleet.model.ChangesSince(cursor, 500));
    }
}
BENCHMARK(BM_ChangesAfter1000Heartbeats)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
