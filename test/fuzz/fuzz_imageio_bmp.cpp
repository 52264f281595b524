// The BMP reader of tools/imageio (the engine's bitmap conversion plus the
// resolution fields) on arbitrary bytes.
#include "fuzz_imageio_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  return fuzz_imageio_reader(imageio::decode_bmp, data, size);
}
