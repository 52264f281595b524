// Speed of the enhancement and of its 32-point 2-D transforms.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "engine/image/enhance.h"
#include "engine/image/fft.h"
#include "engine/image/local_contrast.h"
#include "engine/image/qx_image.h"

namespace {

std::vector<uint8_t> ridge_image(int rows, int cols) {
  std::mt19937 rng(11);
  std::vector<uint8_t> img(static_cast<size_t>(rows) * cols);
  for (int y = 0; y < rows; ++y)
    for (int x = 0; x < cols; ++x) {
      const double r = std::hypot(x - cols * 0.3, y + rows * 0.4);
      img[y * cols + x] = static_cast<uint8_t>(128 + 70 * std::cos(2 * M_PI * r / 9.0) + int(rng() % 31) - 15);
    }
  return img;
}

void BM_EnhanceImage(benchmark::State &state) {
  const int rows = static_cast<int>(state.range(0)), cols = static_cast<int>(state.range(1));
  const auto px = ridge_image(rows, cols);
  qx_image *image = qx_image_create(rows, cols, 500, 500, px.data(), 0);
  for (auto _ : state) {
    qx_image *out = nullptr;
    if (enhance_image(nullptr, image, &out) != 0) state.SkipWithError("enhance_image failed");
    benchmark::DoNotOptimize(out);
    qx_image_delete(out);
  }
  qx_image_delete(image);
  state.SetItemsProcessed(state.iterations() * rows * cols);
}
BENCHMARK(BM_EnhanceImage)->Args({88, 88})->Args({256, 360})->Unit(benchmark::kMicrosecond);

void BM_LocalContrast(benchmark::State &state) {
  const int rows = static_cast<int>(state.range(0)), cols = static_cast<int>(state.range(1));
  const auto px = ridge_image(rows, cols);
  std::vector<uint8_t> work(px.size());
  for (auto _ : state) {
    work = px;
    benchmark::DoNotOptimize(local_contrast_enhance(work.data(), cols, rows, 0.8f));
  }
}
BENCHMARK(BM_LocalContrast)->Args({88, 88})->Args({256, 360})->Unit(benchmark::kMicrosecond);

void BM_Fft2d32ForwardInverse(benchmark::State &state) {
  std::mt19937 rng(5);
  std::vector<int32_t> block(32 * 32), back(32 * 32), re(FFT_HALF_SPECTRUM_WORDS(32)),
      im(FFT_HALF_SPECTRUM_WORDS(32)), scratch(FFT_SCRATCH_WORDS(32));
  for (auto &v : block) v = (static_cast<int32_t>(rng() % 256) - 128) * 4096;
  for (auto _ : state) {
    fftn2d32(block.data(), re.data(), im.data(), scratch.data());
    fftni2d32(re.data(), im.data(), back.data(), scratch.data());
    benchmark::DoNotOptimize(back.data());
  }
}
BENCHMARK(BM_Fft2d32ForwardInverse);

void BM_Fft2d32Forward(benchmark::State &state) {
  std::mt19937 rng(6);
  std::vector<int32_t> block(32 * 32), re(FFT_HALF_SPECTRUM_WORDS(32)), im(FFT_HALF_SPECTRUM_WORDS(32)),
      scratch(FFT_SCRATCH_WORDS(32));
  for (auto &v : block) v = (static_cast<int32_t>(rng() % 256) - 128) * 4096;
  for (auto _ : state) {
    fftn2d32(block.data(), re.data(), im.data(), scratch.data());
    benchmark::DoNotOptimize(re.data());
  }
}
BENCHMARK(BM_Fft2d32Forward);

}  // namespace

BENCHMARK_MAIN();
