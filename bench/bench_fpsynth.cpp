// Speed of the synthetic fingerprint generator: one master, one sensor
// window, and a set of 1000 sensor-window impressions (84 fingers x 12,
// masters included) as the training and evaluation tools generate them.
#include <benchmark/benchmark.h>

#include "fpsynth/fpsynth.h"

namespace {

void BM_Master(benchmark::State& state) {
    uint64_t seed = 1;
    for (auto _ : state) benchmark::DoNotOptimize(fpsynth::make_master(seed++).minutiae.size());
}
BENCHMARK(BM_Master)->Unit(benchmark::kMillisecond);

void BM_SensorWindow88(benchmark::State& state) {
    const fpsynth::Master m = fpsynth::make_master(7);
    uint64_t seed = 1;
    for (auto _ : state) benchmark::DoNotOptimize(fpsynth::make_impression(m, seed++).image.pixels.data());
}
BENCHMARK(BM_SensorWindow88)->Unit(benchmark::kMicrosecond);

void BM_FullFingerImpression(benchmark::State& state) {
    const fpsynth::Master m = fpsynth::make_master(7);
    fpsynth::ImpressionParams p;
    p.rows = p.cols = 0;
    uint64_t seed = 1;
    for (auto _ : state) benchmark::DoNotOptimize(fpsynth::make_impression(m, seed++, p).image.pixels.data());
}
BENCHMARK(BM_FullFingerImpression)->Unit(benchmark::kMillisecond);

// 1000 impressions of 88 x 88 from 84 masters (12 each, the last finger 4),
// in memory: the generation work of `fpsynth set` without the file writes.
void BM_ThousandSensorWindows(benchmark::State& state) {
    for (auto _ : state) {
        size_t total = 0;
        for (int f = 1, made = 0; made < 1000; ++f) {
            const uint64_t fs = fpsynth::derive_seed(1, static_cast<uint64_t>(f));
            const fpsynth::Master m = fpsynth::make_master(fs);
            for (int i = 1; i <= 12 && made < 1000; ++i, ++made)
                total += fpsynth::make_impression(m, fpsynth::derive_seed(fs, static_cast<uint64_t>(i))).minutiae.size();
        }
        benchmark::DoNotOptimize(total);
    }
}
BENCHMARK(BM_ThousandSensorWindows)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
