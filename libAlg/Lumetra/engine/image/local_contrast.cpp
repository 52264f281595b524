// Local contrast boost: pad, smooth, stretch, local 11 x 11 statistics,
// gain-limited push away from the local mean, final smoothing.
#include "engine/image/local_contrast.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "engine/qx_buffer.hpp"

namespace {

constexpr int kPad = 5;              // half the statistics window
constexpr int kWindow = 2 * kPad + 1;  // 11
constexpr float kMaxGain = 5.0f;
constexpr float kMinDeviation = 1e-7f;

// 3 x 3 kernel (1 2 1 / 2 4 2 / 1 2 1) / 16 from `src` into `dst`, both
// w x h; the outermost ring is copied unchanged.
void smooth(const uint8_t *src, uint8_t *dst, int w, int h) {
  std::copy(src, src + static_cast<size_t>(w) * h, dst);
  for (int y = 1; y + 1 < h; ++y) {
    const uint8_t *a = src + static_cast<size_t>(y - 1) * w;
    const uint8_t *b = a + w;
    const uint8_t *c = b + w;
    for (int x = 1; x + 1 < w; ++x) {
      const int sum = a[x - 1] + 2 * a[x] + a[x + 1] + 2 * (b[x - 1] + 2 * b[x] + b[x + 1]) + c[x - 1] +
                      2 * c[x] + c[x + 1];
      dst[static_cast<size_t>(y) * w + x] = static_cast<uint8_t>(sum >> 4);
    }
  }
}

}  // namespace

extern "C" int local_contrast_enhance(uint8_t *pixels, int width, int height, float strength) {
  if (pixels == nullptr || width <= 0 || height <= 0) return -1;
  const int pw = width + 2 * kPad, ph = height + 2 * kPad;
  const size_t padded_size = static_cast<size_t>(pw) * ph;
  const size_t image_size = static_cast<size_t>(width) * height;
  // Every buffer is taken before the caller's pixels are touched, so a
  // shortage leaves them as they were.
  qx::Buffer<uint8_t> padded, smoothed, result;
  qx::Buffer<uint64_t> sum, sum_sq;  // summed-area tables, (pw+1) x (ph+1)
  const size_t table_size = static_cast<size_t>(pw + 1) * (ph + 1);
  if (!padded.alloc(padded_size) || !smoothed.alloc(padded_size) || !result.alloc(image_size) ||
      !sum.alloc(table_size) || !sum_sq.alloc(table_size))
    return -1;

  // 1. Pad: margins repeat the first/last pixel of each row, then the
  //    first/last padded row.
  for (int y = 0; y < height; ++y) {
    const uint8_t *src = pixels + static_cast<size_t>(y) * width;
    uint8_t *dst = padded.get() + static_cast<size_t>(y + kPad) * pw;
    std::fill(dst, dst + kPad, src[0]);
    std::copy(src, src + width, dst + kPad);
    std::fill(dst + kPad + width, dst + pw, src[width - 1]);
  }
  for (int y = 0; y < kPad; ++y) {
    std::copy_n(padded.get() + static_cast<size_t>(kPad) * pw, pw, padded.get() + static_cast<size_t>(y) * pw);
    std::copy_n(padded.get() + static_cast<size_t>(kPad + height - 1) * pw, pw,
                padded.get() + static_cast<size_t>(kPad + height + y) * pw);
  }

  // 2. Smooth.  3. Stretch to 0 .. 255.
  smooth(padded.get(), smoothed.get(), pw, ph);
  uint8_t *v = smoothed.get();
  const auto [lo_it, hi_it] = std::minmax_element(v, v + padded_size);
  const unsigned lo = *lo_it, hi = *hi_it;
  if (hi != lo)
    for (size_t i = 0; i < padded_size; ++i) v[i] = static_cast<uint8_t>((v[i] - lo) * 255u / (hi - lo));

  // 4. Window sums through summed-area tables.
  for (int y = 0; y < ph; ++y) {
    uint64_t row = 0, row_sq = 0;
    for (int x = 0; x < pw; ++x) {
      const uint64_t p = v[static_cast<size_t>(y) * pw + x];
      row += p;
      row_sq += p * p;
      const size_t at = static_cast<size_t>(y + 1) * (pw + 1) + x + 1;
      sum[at] = sum[at - (pw + 1)] + row;
      sum_sq[at] = sum_sq[at - (pw + 1)] + row_sq;
    }
  }
  auto window = [&](const qx::Buffer<uint64_t> &t, int x0, int y0) {
    const size_t s = static_cast<size_t>(pw + 1);
    return t[(y0 + kWindow) * s + x0 + kWindow] - t[y0 * s + x0 + kWindow] - t[(y0 + kWindow) * s + x0] +
           t[y0 * s + x0];
  };

  // 5. Global reference from the caller's pixels.
  uint64_t total = 0;
  for (size_t i = 0; i < image_size; ++i) total += pixels[i];
  const float m = strength * static_cast<float>(static_cast<double>(total) / static_cast<double>(image_size));

  // 6. Push every pixel away from its local mean.  17/2048 stands for
  //    1/121, the window's pixel count.
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const uint64_t u = std::min<uint64_t>(255, (window(sum, x, y) * 17) >> 11);
      const uint64_t q = (window(sum_sq, x, y) * 17) >> 11;
      const int64_t var = static_cast<int64_t>(q) - static_cast<int64_t>(u * u);
      // A negative estimate (the two means are rounded separately) means
      // no spread at all.
      const float s = std::max(var > 0 ? std::sqrt(static_cast<float>(var)) : 0.0f, kMinDeviation);
      const float gain = std::min(kMaxGain, m / s);
      const float pv = v[static_cast<size_t>(y + kPad) * pw + x + kPad];
      const float out = gain * (pv - static_cast<float>(u)) + static_cast<float>(u);
      // Truncate toward zero, then clamp; the clamp comes first in float
      // so that no out-of-range value is converted.
      result[static_cast<size_t>(y) * width + x] =
          static_cast<uint8_t>(static_cast<int>(std::clamp(out, 0.0f, 255.0f)));
    }
  }

  // 7. Back into the caller's buffer, smoothed once more.
  smooth(result.get(), pixels, width, height);
  return 0;
}
