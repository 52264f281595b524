// Fuzzes the bitmap-to-raw-image conversion over arbitrary bytes: the
// record form and the pixel form, with their sizes cross-checked.
#include <cstddef>
#include <cstdint>

#include "engine/formats/bmp_convert.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  unsigned char *pixels = nullptr;
  unsigned width = 1, height = 1;
  const int rc = qxbmp_bmpbuffer_to_buffer(data, size, &pixels, &width, &height);
  if (rc == 0) {
    if (pixels == nullptr || width == 0 || height == 0) __builtin_trap();
    // Touch every pixel so that a short buffer shows up under ASan.
    unsigned sum = 0;
    for (size_t i = 0; i < size_t{width} * height; ++i) sum += pixels[i];
    (void)sum;
  } else if (pixels != nullptr || width != 0 || height != 0) {
    __builtin_trap();
  }
  qxbmp_free(pixels);

  unsigned char *record = nullptr;
  size_t record_size = 0;
  const int rrc = qxbmp_bmpbuffer_to_bir(data, size, &record, &record_size);
  if (rrc == 0 && (record == nullptr || record_size < 14 || record[0] != 0xC3)) __builtin_trap();
  qxbmp_free(record);
  return 0;
}
