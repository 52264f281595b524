// The PGM reader of tools/imageio (libnetpbm) on arbitrary bytes.
#include "fuzz_imageio_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  return fuzz_imageio_reader(imageio::decode_pgm, data, size);
}
