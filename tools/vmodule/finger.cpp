#include "finger.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#ifdef TARSIO_VMODULE_FPSYNTH
#include "fpsynth/fpsynth.h"
#endif

namespace vmodule {
namespace {

// The generator's finger for every synthetic image: the same print each run.
[[maybe_unused]] constexpr uint64_t kSyntheticSeed = 20261;

void synthetic(int width, int height, FingerImage* image) {
  image->cols = width;
  image->rows = height;
#ifdef TARSIO_VMODULE_FPSYNTH
  // A real-looking print from the fingerprint generator, centred on the core.
  if (width > 0 && height > 0) {
    const fpsynth::Image print = fpsynth::make_finger_image(kSyntheticSeed, height, width);
    if (print.rows == height && print.cols == width) {
      image->pixels = print.pixels;
      return;
    }
  }
#endif
  image->pixels.resize(static_cast<std::size_t>(width) * height);
  // Ridges about 9 pixels apart (500 dpi) around a core, with a phase step
  // along one direction that ends and splits ridges.
  const double cx = width / 2.0, cy = height * 0.45;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const double dx = x - cx, dy = (y - cy) * 0.8;
      const double r = std::hypot(dx, dy), a = std::atan2(dy, dx);
      const double phase = r / 1.45 + (a > 0.5 && r > 30 ? M_PI : 0.0) + 2.0 * std::sin(3.0 * a);
      const double v = 128.0 + 110.0 * std::sin(phase);
      image->pixels[static_cast<std::size_t>(y) * width + x] = static_cast<uint8_t>(std::lround(v));
    }
}

// A decoded file image the module can send: no side beyond kMaxFingerSide.
bool within_limits(FingerImage* image, std::string* error) {
  if (image->rows <= kMaxFingerSide && image->cols <= kMaxFingerSide) return true;
  *error = "larger than " + std::to_string(kMaxFingerSide) + " pixels on a side (" + std::to_string(image->cols) +
           " x " + std::to_string(image->rows) + ")";
  *image = FingerImage{};
  return false;
}

}  // namespace

bool finger_image_from_bytes(const std::vector<uint8_t>& bytes, FingerImage* image, std::string* error) {
  return imageio::decode(bytes.data(), bytes.size(), image, error) && within_limits(image, error);
}

bool make_finger_image(const Finger& finger, FingerImage* image, std::string* error) {
  *image = FingerImage{};
  const int w = finger.width, h = finger.height;
  if (finger.source == "synthetic") {
    synthetic(w, h, image);
  } else if (finger.source == "white" || finger.source == "black") {
    *image = FingerImage(h, w, finger.source == "white" ? 0 : 255);
  } else if (finger.source == "file") {
    std::string problem;
    if (!imageio::read_file(finger.image, image, &problem) || !within_limits(image, &problem)) {
      *error = "finger image " + finger.image + ": " + problem;
      return false;
    }
  } else {
    *error = "unknown finger source " + finger.source;
    return false;
  }
  return true;
}

std::vector<uint8_t> encode_virtual_image(const FingerImage& image) {
  std::vector<uint8_t> message(8 + image.pixels.size());
  const int32_t dims[2] = {image.cols, image.rows};
  std::memcpy(message.data(), dims, sizeof dims);
  if (!image.pixels.empty()) std::memcpy(message.data() + 8, image.pixels.data(), image.pixels.size());
  return message;
}

}  // namespace vmodule
