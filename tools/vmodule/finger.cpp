#include "finger.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#ifdef TARSIO_VMODULE_FPSYNTH
#include "fpsynth/fpsynth.h"
#endif

namespace vmodule {
namespace {

constexpr int kMaxSide = 2048;
// The generator's finger for every synthetic image: the same print each run.
[[maybe_unused]] constexpr uint64_t kSyntheticSeed = 20261;

bool read_file(const std::string& path, std::vector<uint8_t>* bytes) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  uint8_t chunk[65536];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
    if (bytes->size() + n > 64u << 20) break;
    bytes->insert(bytes->end(), chunk, chunk + n);
  }
  std::fclose(f);
  return true;
}

uint32_t le32(const std::vector<uint8_t>& b, std::size_t at) {
  return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
         static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

void synthetic(int width, int height, FingerImage* image) {
  image->width = width;
  image->height = height;
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

}  // namespace

bool parse_pgm(const std::vector<uint8_t>& b, FingerImage* image) {
  std::size_t at = 0;
  auto skip_space = [&] {
    while (at < b.size()) {
      if (b[at] == '#') {
        while (at < b.size() && b[at] != '\n') ++at;
      } else if (b[at] == ' ' || b[at] == '\t' || b[at] == '\r' || b[at] == '\n') {
        ++at;
      } else {
        break;
      }
    }
  };
  auto number = [&](int* out) {
    skip_space();
    long v = 0;
    std::size_t digits = 0;
    while (at < b.size() && b[at] >= '0' && b[at] <= '9' && digits < 7) v = v * 10 + (b[at++] - '0'), ++digits;
    *out = static_cast<int>(v);
    return digits > 0 && digits < 7;
  };
  if (b.size() < 2 || b[0] != 'P' || b[1] != '5') return false;
  at = 2;
  int w, h, maxval;
  if (!number(&w) || !number(&h) || !number(&maxval) || maxval != 255) return false;
  if (w <= 0 || h <= 0 || w > kMaxSide || h > kMaxSide || at >= b.size()) return false;
  ++at;  // the single blank after maxval
  const std::size_t n = static_cast<std::size_t>(w) * h;
  if (b.size() - at < n) return false;
  image->width = w;
  image->height = h;
  image->pixels.assign(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + n));
  return true;
}

bool parse_bmp8(const std::vector<uint8_t>& b, FingerImage* image) {
  if (b.size() < 54 || b[0] != 'B' || b[1] != 'M') return false;
  const uint32_t offset = le32(b, 10), header = le32(b, 14);
  const int32_t w = static_cast<int32_t>(le32(b, 18)), h = static_cast<int32_t>(le32(b, 22));
  const uint16_t bits = static_cast<uint16_t>(b[28] | b[29] << 8);
  if (header < 40 || bits != 8 || le32(b, 30) != 0) return false;
  const int64_t rows = h < 0 ? -static_cast<int64_t>(h) : h;
  if (w <= 0 || w > kMaxSide || rows <= 0 || rows > kMaxSide) return false;
  const uint64_t stride = (static_cast<uint64_t>(w) + 3) & ~3ull;
  if (offset > b.size() || b.size() - offset < stride * static_cast<uint64_t>(rows)) return false;
  // The palette maps indices to grey (its blue byte); without a palette the
  // index is the grey value.
  const uint64_t palette_at = 14ull + header;
  uint8_t grey[256];
  for (int i = 0; i < 256; ++i) {
    const uint64_t entry = palette_at + 4ull * static_cast<uint64_t>(i);
    grey[i] = entry + 4 <= offset ? b[entry] : static_cast<uint8_t>(i);
  }
  image->width = w;
  image->height = static_cast<int>(rows);
  image->pixels.resize(static_cast<std::size_t>(w) * static_cast<std::size_t>(rows));
  for (int64_t r = 0; r < rows; ++r) {
    const int64_t stored = h > 0 ? rows - 1 - r : r;  // positive height: bottom-up
    const uint8_t* src = b.data() + offset + static_cast<std::size_t>(stored) * stride;
    for (int c = 0; c < w; ++c) image->pixels[static_cast<std::size_t>(r) * w + c] = grey[src[c]];
  }
  return true;
}

bool make_finger_image(const Finger& finger, FingerImage* image, std::string* error) {
  *image = FingerImage{};
  const int w = finger.width, h = finger.height;
  if (finger.source == "synthetic") {
    synthetic(w, h, image);
  } else if (finger.source == "white" || finger.source == "black") {
    image->width = w;
    image->height = h;
    image->pixels.assign(static_cast<std::size_t>(w) * h, finger.source == "white" ? 0 : 255);
  } else if (finger.source == "file") {
    std::vector<uint8_t> bytes;
    if (!read_file(finger.image, &bytes)) {
      *error = "cannot read finger image " + finger.image;
      return false;
    }
    if (!parse_pgm(bytes, image) && !parse_bmp8(bytes, image)) {
      *error = "finger image " + finger.image + " is neither a P5 PGM nor an 8-bit bitmap";
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
  const int32_t dims[2] = {image.width, image.height};
  std::memcpy(message.data(), dims, sizeof dims);
  if (!image.pixels.empty()) std::memcpy(message.data() + 8, image.pixels.data(), image.pixels.size());
  return message;
}

}  // namespace vmodule
