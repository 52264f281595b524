// The station's per-frame work outside the device: the bad-pixel analysis
// of a typical passing frame, of a frame whose every pixel is bad (the local
// groups compare all 9216 recorded pixels with each other), and the
// descrambling position list of a 160 x 160 image with both square roots.
#include <benchmark/benchmark.h>

#include <vector>

#include "tests/badpixel_analysis.h"
#include "tests/descramble.h"

namespace {

std::vector<uint16_t> frame(int width, int height, bool all_bad) {
  std::vector<uint16_t> v(static_cast<std::size_t>(width) * height);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = all_bad ? 0 : static_cast<uint16_t>(770 + i % 21);
  return v;
}

void BM_AnalyseGoodFrame(benchmark::State& state) {
  const int side = static_cast<int>(state.range(0));
  const auto f = frame(side, side, false);
  for (auto _ : state)
    benchmark::DoNotOptimize(tarsio::tests::SensorVoidScanBadAnalyse(f.data(), f.size(), side, side, {}));
}
BENCHMARK(BM_AnalyseGoodFrame)->Arg(88)->Arg(160)->Unit(benchmark::kMillisecond);

void BM_AnalyseAllBadFrame(benchmark::State& state) {
  const auto f = frame(160, 160, true);
  for (auto _ : state)
    benchmark::DoNotOptimize(tarsio::tests::SensorVoidScanBadAnalyse(f.data(), f.size(), 160, 160, {}));
}
BENCHMARK(BM_AnalyseAllBadFrame)->Unit(benchmark::kMillisecond);

void BM_PositionList(benchmark::State& state) {
  const auto method = state.range(0) == 0 ? tarsio::tests::RootMethod::kLibrary : tarsio::tests::RootMethod::kFastInverse;
  for (auto _ : state) benchmark::DoNotOptimize(tarsio::tests::build_position_list(160 * 160, method));
}
BENCHMARK(BM_PositionList)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
