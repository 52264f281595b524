// Random images of random sizes and request flags through bal_extract.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/image/extract.h"
#include "engine/qx_alloc.h"

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
  bal_extract_result r;
  std::memset(&r, 0, sizeof r);
  r.flags = flags;
  r.minutiae.ordering = order % 22;
  r.minutiae.max_minutiae = order;
  bal_extract(px, rows, cols, &r);  // frees px on every path
  bal_extract_release(&r);
  return 0;
}
