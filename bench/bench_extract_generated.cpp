// Time per call of bal_extract on generated prints that carry real
// minutiae: impressions of 120 x 120, 160 x 160 and 300 x 300 pixels taken
// from the generator's fingers, and one full impression (the generator's
// whole 336 x 272 finger at 500 dpi, a real-size print).  The counters give
// the minutiae found, so that a run on an image without ridge detail is
// seen at once.
#include <benchmark/benchmark.h>

#include <fpsynth/fpsynth.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/image/extract.h"

namespace {

fpsynth::Image impression(uint64_t finger, int side) {
  const fpsynth::Master master = fpsynth::make_master(finger);
  fpsynth::ImpressionParams ip;
  ip.rows = ip.cols = side;  // 0: the full finger canvas
  ip.skin = fpsynth::Skin::Normal;
  ip.max_rotation_deg = 0;
  ip.placement_sd = 0;
  return fpsynth::make_impression(master, 1, ip).image;
}

void run(benchmark::State &state, const fpsynth::Image &im) {
  std::vector<uint8_t> work(im.pixels.size());
  int count = 0;
  for (auto _ : state) {
    std::memcpy(work.data(), im.pixels.data(), work.size());
    bal_extract_result r;
    std::memset(&r, 0, sizeof r);
    r.flags = BAL_EXTRACT_CORES | BAL_EXTRACT_DELTAS | BAL_EXTRACT_ORIENTATION_FIELD | BAL_EXTRACT_FREQUENCY_FIELD;
    if (bal_extract(work.data(), im.rows, im.cols, &r) != QXI_OK) state.SkipWithError("extract failed");
    count = r.minutiae.count;
    bal_extract_release(&r);
  }
  if (count < 8) state.SkipWithError("fewer than 8 minutiae: not a print-like image");
  state.counters["minutiae"] = count;
  state.SetLabel(std::to_string(im.rows) + "x" + std::to_string(im.cols));
}

constexpr int kSides[] = {120, 160, 300};

void BM_BalExtractGenerated(benchmark::State &state) {
  run(state, impression(11, kSides[state.range(0)]));
}
BENCHMARK(BM_BalExtractGenerated)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

void BM_BalExtractFullImpression(benchmark::State &state) { run(state, impression(11, 0)); }
BENCHMARK(BM_BalExtractFullImpression)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
