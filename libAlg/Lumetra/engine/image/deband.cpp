// Row and column de-banding by a least-squares fit of the line sums to
// their second difference.
#include "engine/image/deband.h"

#include <algorithm>
#include <cstddef>

#include "engine/qx_buffer.hpp"
#include "engine/qx_rc.h"

namespace {

// Sums are accumulated in 64 bits as the fit prescribes; the products
// P * 65536 and e * k are formed in 128 bits so that a very large image
// cannot overflow them (for every image where 64 bits suffice the result
// is the same).
using Wide = __int128;

// `lines` lines of `length` pixels; pixel i of line l is at
// l * line_step + i * pixel_step.
qxi_status deband(uint8_t *pixels, int lines, int length, std::ptrdiff_t line_step, std::ptrdiff_t pixel_step) {
  if (pixels == nullptr || lines <= 0 || length <= 0) return QXI_OK;
  qx::Buffer<int64_t> sums;
  if (!sums.alloc(2 * static_cast<size_t>(lines))) return QXI_NO_MEMORY;
  int64_t *s = sums.get();
  int64_t *e = s + lines;
  for (int l = 0; l < lines; ++l) {
    const uint8_t *p = pixels + l * line_step;
    int64_t sum = 0;
    for (int i = 0; i < length; ++i) sum += p[i * pixel_step];
    s[l] = sum;
  }
  // Second difference with the ends repeated: S[-1] = S[0], S[n] = S[n-1].
  Wide q = 0, pr = 0;
  for (int l = 0; l < lines; ++l) {
    const int64_t before = s[l > 0 ? l - 1 : 0];
    const int64_t after = s[l + 1 < lines ? l + 1 : lines - 1];
    e[l] = 2 * s[l] - before - after;
    q += static_cast<Wide>(e[l]) * e[l];
    pr += static_cast<Wide>(e[l]) * s[l];
  }
  if (q == 0) return QXI_OK;
  // k = ((P * 65536) / Q) / length, truncating toward zero.
  const Wide k = (pr * 65536 / q) / length;
  for (int l = 0; l < lines; ++l) {
    // h = (e * k + 32768) >> 16; beyond +-256 every pixel clamps anyway.
    const Wide h128 = (static_cast<Wide>(e[l]) * k + 32768) >> 16;
    const int h = static_cast<int>(std::clamp<Wide>(h128, -256, 256));
    if (h == 0) continue;
    uint8_t *p = pixels + l * line_step;
    for (int i = 0; i < length; ++i) {
      uint8_t &px = p[i * pixel_step];
      px = static_cast<uint8_t>(std::clamp(static_cast<int>(px) - h, 0, 255));
    }
  }
  return QXI_OK;
}

}  // namespace

extern "C" {

qxi_status bal_image_denoise_rows(uint8_t *pixels, int rows, int cols) {
  return deband(pixels, rows, cols, cols, 1);
}

qxi_status bal_image_denoise_columns(uint8_t *pixels, int rows, int cols) {
  return deband(pixels, cols, rows, 1, cols);
}

}  // extern "C"
