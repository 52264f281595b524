// Builds Windows bitmap files in memory for the tests: 8-bit with a grey
// palette or 1-bit with a black/white palette, bottom-up for a positive
// height and top-down for a negative one, rows padded to 4 bytes.
#ifndef LUMETRA_TEST_SUPPORT_BMP_BUILDER_H
#define LUMETRA_TEST_SUPPORT_BMP_BUILDER_H

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace lumetra::test {

struct BmpSpec {
  int width = 0;
  int height = 0;             // negative: rows stored top first
  int bits = 8;               // 8 or 1 (others: header only, no pixels)
  std::int32_t ppm = 19685;   // horizontal and vertical pixels per metre
  std::uint32_t compression = 0;
  std::uint32_t info_size = 40;
};

inline void put16(std::vector<std::uint8_t> &b, std::size_t at, unsigned v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put32(std::vector<std::uint8_t> &b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// `pixels` holds width x |height| grey values, top row first; for 1-bit
// files a value of 128 or more sets the bit.
inline std::vector<std::uint8_t> make_bmp(const BmpSpec &s, const std::vector<std::uint8_t> &pixels) {
  const int rows = std::abs(s.height);
  const std::size_t palette = s.bits == 8 ? 1024 : s.bits == 1 ? 8 : 0;
  const std::size_t offset = 54 + palette;
  const std::size_t stride =
      s.bits == 1 ? (static_cast<std::size_t>(s.width) + 31) / 32 * 4
                  : ((static_cast<std::size_t>(s.width) * static_cast<std::size_t>(s.bits) / 8 + 3) & ~std::size_t{3});
  std::vector<std::uint8_t> b(offset + stride * rows, 0);
  b[0] = 'B';
  b[1] = 'M';
  put32(b, 2, static_cast<std::uint32_t>(b.size()));
  put32(b, 10, static_cast<std::uint32_t>(offset));
  put32(b, 14, s.info_size);
  put32(b, 18, static_cast<std::uint32_t>(s.width));
  put32(b, 22, static_cast<std::uint32_t>(s.height));
  put16(b, 26, 1);
  put16(b, 28, static_cast<unsigned>(s.bits));
  put32(b, 30, s.compression);
  put32(b, 34, static_cast<std::uint32_t>(stride * rows));
  put32(b, 38, static_cast<std::uint32_t>(s.ppm));
  put32(b, 42, static_cast<std::uint32_t>(s.ppm));
  for (std::size_t i = 0; i < palette / 4; ++i) {
    const std::uint8_t g = s.bits == 1 ? (i ? 255 : 0) : static_cast<std::uint8_t>(i);
    b[54 + 4 * i] = b[55 + 4 * i] = b[56 + 4 * i] = g;
  }
  if (s.bits != 8 && s.bits != 1) return b;
  for (int r = 0; r < rows; ++r) {
    const int src_row = s.height > 0 ? rows - 1 - r : r;
    std::uint8_t *dst = b.data() + offset + stride * r;
    for (int x = 0; x < s.width; ++x) {
      const std::uint8_t v = pixels[static_cast<std::size_t>(src_row) * s.width + x];
      if (s.bits == 8) {
        dst[x] = v;
      } else if (v >= 128) {
        dst[x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
      }
    }
  }
  return b;
}

inline std::vector<std::uint8_t> ramp_pixels(int width, int rows) {
  std::vector<std::uint8_t> p(static_cast<std::size_t>(width) * rows);
  for (std::size_t i = 0; i < p.size(); ++i) p[i] = static_cast<std::uint8_t>(i * 7 + i / width);
  return p;
}

inline void write_file(const std::string &path, const std::vector<std::uint8_t> &bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A scratch file path unique to the test process.
inline std::string temp_path(const std::string &name) {
  const char *dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr ? dir : "/tmp") + "/lumetra_test_" + std::to_string(::getpid()) + "_" + name;
}

}  // namespace lumetra::test

#endif  // LUMETRA_TEST_SUPPORT_BMP_BUILDER_H
