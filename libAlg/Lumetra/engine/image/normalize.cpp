#include "engine/image/normalize.h"

#include <cstring>

#include "engine/image/block_ops.h"
#include "engine/image/fixed_math.h"
#include "engine/image/pixel_ops.h"
#include "engine/image/resample.h"
#include "engine/qx_buffer.hpp"
#include "engine/qx_rc.h"

extern "C" uint32_t bal_normalize_gain(uint32_t dev_sq, uint32_t variance) {
  if (variance == 0) return 0;
  const uint32_t g = dev_sq * 256u / variance;
  // All three branches give about 2 * sqrt(g); the shifts keep the
  // argument of the square root within 32 bits.
  const uint64_t g256 = static_cast<uint64_t>(g) * 256;
  if (g256 <= 0xFFFFFFu) return sqrt_24_5(g * 65536u);
  if (g256 <= 0xFFFFFFFu) return sqrt_24_5(g * 4096u) * 4;
  return sqrt_24_5(g * 256u) * 16;
}

namespace {
// Moves p away from `centre` (0 .. 255) by its deviation from `mean` times
// the gain, clamped to a byte.  Without a branch on the side of the mean
// (the loops over pixels then become vector code): the gains of
// bal_normalize_gain are at most 511 x 16, so the product of a deviation
// of at most 255 fits 32 bits, and only the side moved toward can leave
// the byte range.
inline uint8_t apply_gain(int p, int mean, int centre, uint32_t gain) {
  const bool up = p > mean;
  const uint32_t d = static_cast<uint32_t>(up ? p - mean : mean - p);
  const int r = static_cast<int>((d * gain) >> 5);
  const int v = up ? centre + r : centre - r;
  return static_cast<uint8_t>(v > 255 ? 255 : (v < 0 ? 0 : v));
}
}  // namespace

extern "C" uint32_t bal_normalize_image_simple(const uint8_t *in, int rows, int cols, int target_mean, int target_dev,
                                               uint8_t *out) {
  if (rows <= 0 || cols <= 0) return 0;
  uint32_t hist[256];
  bal_image_histogram(in, rows, cols, hist);
  const uint32_t n = static_cast<uint32_t>(rows) * static_cast<uint32_t>(cols);
  const uint8_t mean = bal_hist_mean(hist, n);
  const uint16_t variance = static_cast<uint16_t>(bal_hist_var(hist, mean, n));
  const uint32_t dev = static_cast<uint32_t>(target_dev);
  const uint32_t gain = bal_normalize_gain(dev * dev, variance);
  const int centre = (mean + static_cast<uint8_t>(target_mean)) >> 1;
  for (uint32_t i = 0; i < n; ++i) out[i] = apply_gain(in[i], mean, centre, gain);
  return gain;
}

extern "C" void bnl_normalize(const uint8_t *in, int rows, int cols, const uint8_t *mask, int B, int brows,
                              int bcols, int target_mean, int target_dev, const uint8_t *local_means,
                              const uint16_t *variances, uint8_t *out) {
  (void)rows;
  const uint32_t dev_sq = static_cast<uint16_t>(target_dev * target_dev);
  // A run of blocks of one block row at a time: its gains spread over the
  // pixel columns, so that each pixel row of the run is one loop (which
  // the compiler vectorises); background pixels take 255 afterwards.
  constexpr int kRun = 1024;
  uint32_t g[kRun];
  const int run_blocks = B > 0 && B <= kRun ? kRun / B : 1;
  for (int by = 0; by < brows; ++by)
    for (int bx0 = 0; bx0 < bcols; bx0 += run_blocks) {
      const int bx1 = bx0 + run_blocks < bcols ? bx0 + run_blocks : bcols;
      const int width = (bx1 - bx0) * B;
      if (width > kRun) {  // one block wider than the run: pixel by pixel
        const int b = by * bcols + bx0;
        const uint32_t gain = mask[b] ? bal_normalize_gain(dev_sq, variances[b]) : 0;
        for (int y = 0; y < B; ++y) {
          const std::size_t row = static_cast<std::size_t>(by * B + y) * cols + static_cast<std::size_t>(bx0) * B;
          for (int x = 0; x < B; ++x)
            out[row + x] = mask[b] ? apply_gain(in[row + x], local_means[row + x], target_mean, gain) : 255;
        }
        continue;
      }
      for (int bx = bx0; bx < bx1; ++bx) {
        const int b = by * bcols + bx;
        const uint32_t gain = mask[b] ? bal_normalize_gain(dev_sq, variances[b]) : 0;
        for (int x = 0; x < B; ++x) g[(bx - bx0) * B + x] = gain;
      }
      for (int y = 0; y < B; ++y) {
        const std::size_t row = static_cast<std::size_t>(by * B + y) * cols + static_cast<std::size_t>(bx0) * B;
        const uint8_t *pi = in + row, *pm = local_means + row;
        uint8_t *po = out + row;
        for (int x = 0; x < width; ++x) po[x] = apply_gain(pi[x], pm[x], target_mean, g[x]);
        for (int bx = bx0; bx < bx1; ++bx)
          if (!mask[by * bcols + bx]) std::memset(po + (bx - bx0) * B, 255, static_cast<std::size_t>(B));
      }
    }
}

extern "C" qxi_status bal_normalize_locally(const uint8_t *in, int rows, int cols, const uint8_t *mask, int B, int brows,
                                            int bcols, int target_mean, int target_dev, uint8_t *out) {
  if (B <= 0 || brows <= 0 || bcols <= 0 || brows * B > rows || bcols * B > cols) return QXI_OUT_OF_RANGE;
  const std::size_t nb = static_cast<std::size_t>(brows) * bcols;
  const std::size_t np = static_cast<std::size_t>(rows) * cols;
  // Every scratch array is taken before anything is written, so a failure
  // leaves the output as it was.
  qx::Buffer<uint8_t> means, smooth_means, local_means;
  qx::Buffer<uint16_t> variances, smooth_var;
  if (!means.alloc(nb) || !smooth_means.alloc(nb) || !local_means.alloc(np) || !variances.alloc(nb) ||
      !smooth_var.alloc(nb))
    return QXI_NO_MEMORY;

  bal_mean_blockwise_uint8(in, rows, cols, B, brows, bcols, means.get());
  bal_blur_fingerprint_edge_uint8(means.get(), mask, brows, bcols, smooth_means.get());
  scale_up_bilinear_uint8(smooth_means.get(), brows, bcols, B, local_means.get(), rows, cols);
  bal_var_blockwise_uint8(in, rows, cols, smooth_means.get(), B, brows, bcols, variances.get());
  bal_blur_fingerprint_edge_uint16(variances.get(), mask, brows, bcols, smooth_var.get());
  bal_blur_uint16(smooth_var.get(), brows, bcols, variances.get());
  // A floor on the variance caps the gain at 32 * D / 10.
  for (std::size_t i = 0; i < nb; ++i)
    if (variances[i] < 100) variances[i] = 100;

  if (in != out) {
    // Pixels beyond the whole blocks are not normalised; carry them over.
    for (int r = 0; r < rows; ++r) {
      const std::size_t row = static_cast<std::size_t>(r) * cols;
      if (r >= brows * B)
        std::memcpy(out + row, in + row, static_cast<std::size_t>(cols));
      else if (bcols * B < cols)
        std::memcpy(out + row + bcols * B, in + row + bcols * B, static_cast<std::size_t>(cols - bcols * B));
    }
  }
  bnl_normalize(in, rows, cols, mask, B, brows, bcols, target_mean, target_dev, local_means.get(),
                variances.get(), out);
  return QXI_OK;
}
