// imageio: the bitmap writer and the steps every writer shares.  Nothing
// here uses the engine, so that a program that only cuts windows and
// writes bitmaps (the evaluation driver, a host of liblumetra.so) links
// none of it.
#include "imageio_internal.h"

namespace imageio {

bool detail::writable(const GreyImage &image, std::string *problem) {
  if (image.cols <= 0 || image.rows <= 0 || image.cols > kMaxSide || image.rows > kMaxSide ||
      image.pixels.size() != static_cast<std::size_t>(image.cols) * image.rows) {
    *problem = "no image to write";
    return false;
  }
  return true;
}

bool detail::write_bytes(const std::string &path, const std::vector<uint8_t> &bytes,
                         std::string *problem) {
  return replace_file(path, bytes.data(), bytes.size(), problem);
}

uint32_t detail::per_metre_from_dpi(int dpi) {
  return static_cast<uint32_t>(dpi * 10000.0 / 254 + 0.5);
}

std::vector<uint8_t> encode_bmp(const GreyImage &image) {
  constexpr uint32_t kDataOffset = 14 + 40 + 256 * 4;  // 1078
  const uint32_t stride = (static_cast<uint32_t>(image.cols) + 3u) & ~3u;
  const uint32_t data = stride * static_cast<uint32_t>(image.rows);
  std::vector<uint8_t> b;
  b.reserve(kDataOffset + data);
  auto put16 = [&b](uint32_t v) {
    b.push_back(v & 0xFF);
    b.push_back((v >> 8) & 0xFF);
  };
  auto put32 = [&b](uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back((v >> (8 * i)) & 0xFF);
  };
  b.push_back('B');
  b.push_back('M');
  put32(kDataOffset + data);
  put32(0);
  put32(kDataOffset);
  put32(40);
  put32(static_cast<uint32_t>(image.cols));
  put32(static_cast<uint32_t>(image.rows));  // positive: bottom-up
  put16(1);
  put16(8);
  put32(0);  // no compression
  put32(data);
  put32(detail::per_metre_from_dpi(image.dpi_x > 0 ? image.dpi_x : kDefaultDpi));
  put32(detail::per_metre_from_dpi(image.dpi_y > 0 ? image.dpi_y : kDefaultDpi));
  put32(256);
  put32(256);
  for (uint32_t i = 0; i < 256; ++i) {
    b.insert(b.end(), {static_cast<uint8_t>(i), static_cast<uint8_t>(i), static_cast<uint8_t>(i), 0});
  }
  for (int r = image.rows - 1; r >= 0; --r) {
    const uint8_t *row = image.pixels.data() + static_cast<std::size_t>(r) * image.cols;
    b.insert(b.end(), row, row + image.cols);
    b.insert(b.end(), stride - image.cols, 0);
  }
  return b;
}

bool write_bmp(const std::string &path, const GreyImage &image, std::string *problem) {
  if (!detail::writable(image, problem)) return false;
  return detail::write_bytes(path, encode_bmp(image), problem);
}

}  // namespace imageio
