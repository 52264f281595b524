// Time per call of bal_extract on print-like images of the sizes in use:
// 120 x 120 (an 88 x 88 capture as the extractor resamples it), 160 x 160
// and 300 x 300; of its costliest stages on 300 x 300; and of the small
// sensor's costliest stage, the fine wavelength field of the 120 x 120
// working image, with its transform kernel, on both paths of the vector
// kernels (argument 0: the processor's own, 1: plain).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "../test/lumetra/image/image_gen.hpp"
#include "engine/image/extract.h"
#include "engine/image/frequency_field.h"
#include "engine/image/orientation_field.h"
#include "engine/image/pixel_ops.h"
#include "engine/image/ridge_filter.h"
#include "engine/image/skeleton.h"
#include "engine/image/fft.h"
#include "engine/qx_simd.h"

namespace {

constexpr int kSizes[] = {120, 160, 300};

void BM_BalExtract(benchmark::State &state) {
  const int n = kSizes[state.range(0)];
  const std::vector<uint8_t> px = imggen::finger(n, n, 9, 30, 0.9);
  std::vector<uint8_t> work(px.size());
  int count = 0;
  for (auto _ : state) {
    std::memcpy(work.data(), px.data(), px.size());
    bal_extract_result r;
    std::memset(&r, 0, sizeof r);
    if (bal_extract(work.data(), n, n, &r) != 0) state.SkipWithError("extract failed");
    count = r.minutiae.count;
    bal_extract_release(&r);
  }
  state.counters["minutiae"] = count;
  state.SetLabel(std::to_string(n) + "x" + std::to_string(n));
}
BENCHMARK(BM_BalExtract)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

// Stages on 300 x 300 blocks of 12.
struct Stage {
  int rows = 300, cols = 300, B = 12, brows = 25, bcols = 25;
  std::vector<uint8_t> px = imggen::finger(300, 300, 9, 30, 0.9);
  std::vector<uint8_t> mask = std::vector<uint8_t>(625, 1), orient = std::vector<uint8_t>(90000, 100),
                       wl = std::vector<uint8_t>(90000, 9), q = std::vector<uint8_t>(90000, 80);
};

void BM_RidgeWavelengthsFft(benchmark::State &state) {
  Stage s;
  std::vector<uint16_t> w(625);
  std::vector<uint8_t> f(625), o(625);
  for (auto _ : state)
    ridge_wavelengths_fft(s.px.data(), s.rows, s.cols, s.B, 18, 5, s.brows, s.bcols, w.data(), f.data(), o.data());
}
BENCHMARK(BM_RidgeWavelengthsFft)->Unit(benchmark::kMillisecond);

void BM_GaborFilter32(benchmark::State &state) {
  Stage s;
  std::vector<int8_t> out(90000);
  for (auto _ : state)
    bal_gabor_filter_32(s.px.data(), s.rows, s.cols, s.wl.data(), s.orient.data(), s.mask.data(), s.q.data(), s.brows,
                        s.bcols, s.B, out.data());
}
BENCHMARK(BM_GaborFilter32)->Unit(benchmark::kMillisecond);

void BM_ContourThin(benchmark::State &state) {
  Stage s;
  std::vector<uint8_t> pic(90000), work(90000);
  for (size_t i = 0; i < pic.size(); ++i) pic[i] = s.px[i] < 128 ? 0 : 1;
  std::vector<uint8_t *> rp(300);
  for (auto _ : state) {
    work = pic;
    bal_images_1D_to_2D(work.data(), 300, 300, rp.data());
    bal_contour_thin(rp.data(), 300, 300);
  }
}
BENCHMARK(BM_ContourThin)->Unit(benchmark::kMillisecond);

// The path of the vector kernels for one benchmark run.
struct Path {
  int previous;
  explicit Path(const benchmark::State &state) : previous(qx_simd_force_plain(static_cast<int>(state.range(0)))) {}
  ~Path() { qx_simd_force_plain(previous); }
};

// The fine grid of the 120 x 120 image: 30 x 30 windows of 32 x 32 pixels
// every 4 pixels, all in the print.
void BM_FineWavelengthField120(benchmark::State &state) {
  const Path path(state);
  const std::vector<uint8_t> px = imggen::finger(120, 120, 9, 30, 0.9);
  const std::vector<uint8_t> mask(100, 1);
  std::vector<uint16_t> w(900);
  std::vector<uint8_t> f(900), o(900);
  for (auto _ : state)
    ridge_wavelengths_fft_in_mask(px.data(), 120, 120, 4, 18, 5, 30, 30, w.data(), f.data(), o.data(), mask.data(),
                                  10, 3);
  state.SetLabel(state.range(0) ? "plain" : "vector");
}
BENCHMARK(BM_FineWavelengthField120)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// One window's transform as the wavelength field asks for it.
void BM_Transform32Columns(benchmark::State &state) {
  const Path path(state);
  std::vector<int32_t> block(32 * 32), re(32 * 17), im(32 * 17);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<int32_t>((i * 7919) % 4001) - 2000;
  for (auto _ : state) {
    fftn2d32_columns(block.data(), re.data(), im.data(), 11);
    benchmark::DoNotOptimize(re.data());
  }
  state.SetLabel(state.range(0) ? "plain" : "vector");
}
BENCHMARK(BM_Transform32Columns)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
