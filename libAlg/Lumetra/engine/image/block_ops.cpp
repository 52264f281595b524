#include "engine/image/block_ops.h"

#include <cstring>

#include "engine/qx_buffer.hpp"
#include "engine/qx_rc.h"

extern "C" void bal_mean_blockwise_uint8(const uint8_t *pixels, int rows, int cols, int B, int brows, int bcols,
                                         uint8_t *means) {
  (void)rows;
  if (B <= 0) return;
  const uint32_t area = static_cast<uint32_t>(B) * B;
  for (int by = 0; by < brows; ++by) {
    for (int bx = 0; bx < bcols; ++bx) {
      uint32_t sum = 0;
      for (int y = 0; y < B; ++y) {
        const uint8_t *p = pixels + static_cast<std::size_t>(by * B + y) * cols + bx * B;
        for (int x = 0; x < B; ++x) sum += p[x];
      }
      means[by * bcols + bx] = static_cast<uint8_t>(sum / area);
    }
  }
}

extern "C" void bal_var_blockwise_uint8(const uint8_t *pixels, int rows, int cols, const uint8_t *means, int B,
                                        int brows, int bcols, uint16_t *variances) {
  (void)rows;
  if (B <= 0) return;
  const uint32_t d = static_cast<uint32_t>(B + 1) / 2;
  for (int by = 0; by < brows; ++by) {
    for (int bx = 0; bx < bcols; ++bx) {
      const int m = means[by * bcols + bx];
      uint32_t sum = 0;
      for (int y = 0; y < B; y += 2) {
        const uint8_t *p = pixels + static_cast<std::size_t>(by * B + y) * cols + bx * B;
        for (int x = 0; x < B; x += 2) {
          const int diff = p[x] - m;
          sum += static_cast<uint32_t>(diff * diff);
        }
      }
      variances[by * bcols + bx] = static_cast<uint16_t>(sum / (d * d));
    }
  }
}

namespace {

template <typename T, typename Sum>
qxi_status blur_fingerprint_edge(const T *values, const uint8_t *mask, int brows, int bcols, T *out) {
  if (brows <= 0 || bcols <= 0) return QXI_OK;
  const std::size_t n = static_cast<std::size_t>(brows) * bcols;
  qx::Buffer<T> copy;
  const T *src = qx::stable_input(values, out, n, copy);
  if (!src) return QXI_NO_MEMORY;
  for (int r = 0; r < brows; ++r) {
    for (int c = 0; c < bcols; ++c) {
      const std::size_t i = static_cast<std::size_t>(r) * bcols + c;
      const bool border = r == 0 || c == 0 || r == brows - 1 || c == bcols - 1;
      Sum sum = 0;
      Sum count = 0;
      const int r0 = r > 0 ? r - 1 : 0, r1 = r < brows - 1 ? r + 1 : brows - 1;
      const int c0 = c > 0 ? c - 1 : 0, c1 = c < bcols - 1 ? c + 1 : bcols - 1;
      for (int y = r0; y <= r1; ++y)
        for (int x = c0; x <= c1; ++x)
          if (mask[static_cast<std::size_t>(y) * bcols + x]) {
            sum += src[static_cast<std::size_t>(y) * bcols + x];
            ++count;
          }
      if (!border && mask[i] && count == 9)
        out[i] = src[i];  // deep inside the fingerprint
      else
        out[i] = count ? static_cast<T>(sum / count) : src[i];
    }
  }
  return QXI_OK;
}

}  // namespace

extern "C" qxi_status bal_blur_fingerprint_edge_uint8(const uint8_t *values, const uint8_t *mask, int brows, int bcols,
                                                      uint8_t *out) {
  return blur_fingerprint_edge<uint8_t, uint32_t>(values, mask, brows, bcols, out);
}

extern "C" qxi_status bal_blur_fingerprint_edge_uint16(const uint16_t *values, const uint8_t *mask, int brows, int bcols,
                                                       uint16_t *out) {
  return blur_fingerprint_edge<uint16_t, uint32_t>(values, mask, brows, bcols, out);
}
