// The virtual module's finger-image parsers (PGM and 8-bit bitmap) on
// arbitrary bytes.  The module's source file is compiled in directly: the
// tool is not part of the libraries the fuzz targets link.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "../../tools/vmodule/finger.cpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);
  auto consistent = [](const vmodule::FingerImage& image) {
    return image.pixels.size() == static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height);
  };
  vmodule::FingerImage pgm, bmp;
  if (vmodule::parse_pgm(bytes, &pgm) && !consistent(pgm)) __builtin_trap();
  if (vmodule::parse_bmp8(bytes, &bmp) && !consistent(bmp)) __builtin_trap();
  return 0;
}
