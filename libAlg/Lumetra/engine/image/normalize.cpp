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
// Moves p away from `centre` by its deviation from `mean` times the gain.
inline uint8_t apply_gain(int p, int mean, int centre, uint32_t gain) {
  if (p > mean) {
    const int64_t v = centre + ((static_cast<int64_t>(p - mean) * gain) >> 5);
    return static_cast<uint8_t>(v > 255 ? 255 : v);
  }
  const int64_t v = centre - ((static_cast<int64_t>(mean - p) * gain) >> 5);
  return static_cast<uint8_t>(v < 0 ? 0 : v);
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
  for (int by = 0; by < brows; ++by) {
    for (int bx = 0; bx < bcols; ++bx) {
      const int b = by * bcols + bx;
      const uint32_t gain = mask[b] ? bal_normalize_gain(dev_sq, variances[b]) : 0;
      for (int y = 0; y < B; ++y) {
        const std::size_t row = static_cast<std::size_t>(by * B + y) * cols + bx * B;
        if (!mask[b]) {
          std::memset(out + row, 255, static_cast<std::size_t>(B));
          continue;
        }
        for (int x = 0; x < B; ++x)
          out[row + x] = apply_gain(in[row + x], local_means[row + x], target_mean, gain);
      }
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
