// Fuzzes qx_template_convert: the first two bytes pick the source and
// target types, the rest is the template.
#include <cstdint>

#include "engine/formats/qx_template_convert.h"
#include "engine/qx_alloc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2 || size > 1 << 20) return 0;
  static const int32_t kTypes[] = {2, 66, 67, 72, 74, 77, 78};
  const int32_t source = kTypes[data[0] % 7];
  const int32_t target = kTypes[data[1] % 7];
  qx_template *tpl = qx_template_create(source, data + 2, static_cast<uint32_t>(size - 2));
  if (tpl == nullptr) return 0;
  uint8_t *out = nullptr;
  uint32_t n = 0;
  if (qx_template_convert(tpl, target, &out, &n) == 0) qx_free(out);
  qx_template_delete(tpl);
  return 0;
}
