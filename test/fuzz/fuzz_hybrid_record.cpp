// Fuzzes the hybrid record readers: dimension block, feature set, prefix code.
#include <cstdint>

#include "engine/formats/hybrid_record.h"
#include "engine/qx_alloc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 1 << 20) return 0;
  const uint32_t n = static_cast<uint32_t>(size);
  int32_t rows, cols, code, res;
  uint8_t q;
  qx_hybrid_get_dimensions(data, n, &rows, &cols, &q);
  const uint8_t *blocks, *hr;
  verify_unpack_template(data, n, &cols, &rows, &code, &res, &blocks, &hr, &q);
  if (size > 0) {
    int8_t values[512];
    int32_t decoded;
    unpack5v(data + 1, static_cast<int32_t>(n - 1), data[0] + 255, values, &decoded);
  }
  return 0;
}
