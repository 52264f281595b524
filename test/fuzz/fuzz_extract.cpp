// Random images of random sizes and request flags through bal_extract, on
// both paths of the vector kernels (which must agree).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/image/extract.h"
#include "engine/qx_alloc.h"
#include "engine/qx_simd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 6) return 0;
  const int rows = 1 + ((data[0] | (data[1] << 8)) % 360);
  const int cols = 1 + ((data[2] | (data[3] << 8)) % 360);
  static const uint32_t kFlags[8] = {BAL_EXTRACT_CORES,          BAL_EXTRACT_DELTAS,        BAL_EXTRACT_QUALITY_FIELD,
                                     BAL_EXTRACT_ORIENTATION_FIELD, BAL_EXTRACT_FREQUENCY_FIELD, BAL_EXTRACT_DEBUG_PICTURE,
                                     BAL_EXTRACT_HALF_FREQUENCY, BAL_EXTRACT_250DPI};
  uint32_t flags = BAL_EXTRACT_OWN_INPUT;
  for (int b = 0; b < 8; ++b)
    if (data[4] & (1 << b)) flags |= kFlags[b];
  const uint8_t order = data[5];
  data += 6;
  size -= 6;
  const size_t n = static_cast<size_t>(rows) * cols;
  auto *px = static_cast<uint8_t *>(qx_malloc(n));
  if (!px) return 0;
  // The payload repeats over the image (a smooth ramp when it is empty).
  for (size_t i = 0; i < n; ++i) px[i] = size ? data[i % size] : static_cast<uint8_t>(i);
  auto *copy = static_cast<uint8_t *>(qx_malloc(n));
  if (!copy) {
    qx_free(px);
    return 0;
  }
  std::memcpy(copy, px, n);
  bal_extract_result r[2];
  int rc[2];
  for (int plain = 0; plain < 2; ++plain) {
    std::memset(&r[plain], 0, sizeof r[plain]);
    r[plain].flags = flags;
    r[plain].minutiae.ordering = order % 22;
    r[plain].minutiae.max_minutiae = order;
    const int previous = qx_simd_force_plain(plain);
    rc[plain] = bal_extract(plain ? copy : px, rows, cols, &r[plain]);  // frees its input on every path
    qx_simd_force_plain(previous);
  }
  // The plain path of the vector kernels finds exactly what the vector one
  // finds.
  if (rc[0] != rc[1] || r[0].minutiae.count != r[1].minutiae.count ||
      std::memcmp(r[0].minutiae.minutiae, r[1].minutiae.minutiae, sizeof(bal_minutia) * r[0].minutiae.count) != 0 ||
      r[0].area != r[1].area || r[0].finger_quality != r[1].finger_quality)
    __builtin_trap();
  bal_extract_release(&r[0]);
  bal_extract_release(&r[1]);
  return 0;
}
