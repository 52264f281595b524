// Time per call of the quality measure and of the foreground segmentation
// on print-like images of the sensor sizes in use.
#include <benchmark/benchmark.h>

#include <vector>

#include "../test/lumetra/image/image_gen.hpp"
#include "engine/image/quality.h"
#include "engine/image/segment.h"

namespace {

constexpr int kSizes[][2] = {{88, 88}, {192, 192}, {300, 400}};

void BM_QxComputeQuality500(benchmark::State &state) {
  const int rows = kSizes[state.range(0)][0], cols = kSizes[state.range(0)][1];
  const std::vector<uint8_t> px = imggen::finger(rows, cols, 9, 30, 0.9);
  qx_image *image = qx_image_create(rows, cols, 500, 500, px.data(), 0);
  for (auto _ : state) {
    qx_quality *record = nullptr;
    const qx_rc rc = qx_compute_quality_500(nullptr, image, &record);
    if (rc != 0) state.SkipWithError("quality failed");
    benchmark::DoNotOptimize(record);
    qx_quality_delete(record);
  }
  qx_quality *record = nullptr;
  qx_compute_quality_500(nullptr, image, &record);
  state.counters["quality"] = qx_quality_get_image_quality(record);
  state.counters["area_mm2"] = qx_quality_get_area(record);
  qx_quality_delete(record);
  qx_image_delete(image);
  state.SetLabel(std::to_string(rows) + "x" + std::to_string(cols));
}

// Segmentation runs on whole blocks of 12: the image cropped as the
// quality measure crops it (88 -> 84, 400 -> 396).
void BM_BalSegmentImageScale(benchmark::State &state) {
  const int B = 12;
  const int rows = kSizes[state.range(0)][0] / B * B, cols = kSizes[state.range(0)][1] / B * B;
  const std::vector<uint8_t> px = imggen::finger(rows, cols, 9, 30, 0.9);
  std::vector<uint8_t> mask(static_cast<size_t>(rows / B) * (cols / B));
  for (auto _ : state) {
    if (bal_segment_image_scale(px.data(), rows, cols, rows / B, cols / B, B, mask.data(), 1) != 0)
      state.SkipWithError("segmentation failed");
    benchmark::DoNotOptimize(mask.data());
  }
  state.SetLabel(std::to_string(rows) + "x" + std::to_string(cols));
}

BENCHMARK(BM_QxComputeQuality500)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BalSegmentImageScale)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
