// bench_frame_cut: cutting a burst of back-to-back frames that arrived in one
// read, in-process on the equipment connection's frame cutter, for bursts of
// 1,000 to 16,000 heartbeats. The time per frame must not grow with the burst
// (the reported complexity is O(N)).
#include "FrameCodec.h"
#include "FrameCutter.h"
#include "SimUnit.h"

#include <benchmark/benchmark.h>

namespace {

QByteArray Burst(int frames) {
    TSimUnit unit(TSimIdentity{QStringLiteral("BURST1"), 0x01, 0x0BB00001, 1},
                  std::make_shared<const TSimParamTable>(TSimParamTable::BuiltIn()));
    QByteArray burst;
    for (int k = 0; k < frames; ++k)
        burst += unit.MakeHeartbeat().bytes;
    return burst;
}

// The cut alone.
void CutBurst(benchmark::State &state) {
    const int frames = int(state.range(0));
    const QByteArray burst = Burst(frames);
    for (auto _ : state) {
        TFrameCutter cutter;
        cutter.Append(burst);
        int cut = 0;
        cutter.Cut([&cut](QByteArrayView) { ++cut; });
        if (cut != frames)
            state.SkipWithError("frames lost");
        benchmark::DoNotOptimize(cut);
    }
    state.SetItemsProcessed(state.iterations() * frames);
    state.SetComplexityN(frames);
}

// The cut with the per-frame work that precedes the heartbeat handling:
// hex text, unescaping and the check code.
void CutAndCheckBurst(benchmark::State &state) {
    const int frames = int(state.range(0));
    const QByteArray burst = Burst(frames);
    for (auto _ : state) {
        TFrameCutter cutter;
        cutter.Append(burst);
        int valid = 0;
        cutter.Cut([&valid](QByteArrayView frame) {
            valid += CheckFrame(ReceiveTransFormat(BytesToHex(frame))) ? 1 : 0;
        });
        if (valid != frames)
            state.SkipWithError("frames lost");
    }
    state.SetItemsProcessed(state.iterations() * frames);
    state.SetComplexityN(frames);
}

// The burst arriving in 64 KiB reads, as the server reads a socket.
void CutBurstInReads(benchmark::State &state) {
    const int frames = int(state.range(0));
    const QByteArray burst = Burst(frames);
    constexpr qsizetype kRead = 64 * 1024;
    for (auto _ : state) {
        TFrameCutter cutter;
        int cut = 0;
        for (qsizetype at = 0; at < burst.size(); at += kRead) {
            cutter.Append(QByteArrayView(burst).sliced(at, std::min(kRead, burst.size() - at)));
            cutter.Cut([&cut](QByteArrayView) { ++cut; });
        }
        if (cut != frames)
            state.SkipWithError("frames lost");
    }
    state.SetItemsProcessed(state.iterations() * frames);
    state.SetComplexityN(frames);
}

BENCHMARK(CutBurst)->RangeMultiplier(2)->Range(1000, 16000)->Complexity(benchmark::oN);
BENCHMARK(CutAndCheckBurst)->RangeMultiplier(2)->Range(1000, 16000)->Complexity(benchmark::oN);
BENCHMARK(CutBurstInReads)->RangeMultiplier(2)->Range(1000, 16000)->Complexity(benchmark::oN);

} // namespace

BENCHMARK_MAIN();
