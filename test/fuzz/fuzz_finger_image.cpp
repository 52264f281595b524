// The virtual module's finger image from a file's bytes (the tools' image
// layer, then the module's own size limit) on arbitrary bytes: an image it
// accepts is whole and within the limit, a refusal says why and leaves no
// image.  The module's source file is compiled in directly: the tool is
// not part of the libraries the fuzz targets link.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "../../tools/vmodule/finger.cpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);
  vmodule::FingerImage image;
  std::string error;
  if (vmodule::finger_image_from_bytes(bytes, &image, &error)) {
    if (image.pixels.size() != static_cast<std::size_t>(image.cols) * static_cast<std::size_t>(image.rows) ||
        image.rows > vmodule::kMaxFingerSide || image.cols > vmodule::kMaxFingerSide)
      __builtin_trap();
  } else if (error.empty() || !image.pixels.empty()) {
    __builtin_trap();
  }
  return 0;
}
