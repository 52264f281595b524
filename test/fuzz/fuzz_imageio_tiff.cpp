// The TIFF reader of tools/imageio (libtiff) on arbitrary bytes.
#include "fuzz_imageio_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  return fuzz_imageio_reader(imageio::decode_tiff, data, size);
}
