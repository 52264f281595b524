// Bitmap reader for the grading and comparison exports.  One template
// does the work over two byte sources, a file and a memory block, so the
// file form and the fuzzed memory form follow exactly the same rules.
#include "api/grading_bitmap.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "engine/formats/regular_file.h"

namespace lumetra::api {
namespace {

constexpr std::size_t kFileHeaderSize = 14;
constexpr std::size_t kInfoHeaderSize = 40;

class FileSource {
 public:
  explicit FileSource(std::FILE *f) : f_(f) {}
  // Reads exactly n bytes at the current position.
  bool read(std::uint8_t *dst, std::size_t n) { return std::fread(dst, 1, n, f_) == n; }
  bool seek(long offset) { return std::fseek(f_, offset, SEEK_SET) == 0; }

 private:
  std::FILE *f_;
};

class MemorySource {
 public:
  MemorySource(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
  bool read(std::uint8_t *dst, std::size_t n) {
    if (pos_ > size_ || size_ - pos_ < n) return false;
    if (n != 0) std::memcpy(dst, data_ + pos_, n);
    pos_ += n;
    return true;
  }
  bool seek(long offset) {
    if (offset < 0) return false;
    pos_ = static_cast<std::size_t>(offset);
    return true;
  }

 private:
  const std::uint8_t *data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

std::int32_t le32s(const std::uint8_t *p) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
                                   static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24);
}

template <class Source>
int read_bitmap(Source &src, std::uint8_t *buffer, std::size_t capacity, int *width, int *height) {
  std::uint8_t file_header[kFileHeaderSize];
  std::uint8_t info[kInfoHeaderSize];
  if (!src.read(file_header, sizeof file_header)) return kGradingBitmapBadHeader;
  if (file_header[0] != 'B' || file_header[1] != 'M') return kGradingBitmapNotBitmap;
  if (!src.read(info, sizeof info)) return kGradingBitmapBadHeader;
  const std::int32_t w = le32s(info + 4);
  const std::int32_t h = le32s(info + 8);
  const int bits = info[14] | info[15] << 8;
  if (bits != 8 && bits != 1) return kGradingBitmapBadHeader;
  // Top-down files (negative height) and empty images are not read; the
  // product is taken in 64 bits so no pair of sides wraps into range.
  if (w <= 0 || h <= 0) return kGradingBitmapBadPixels;
  const std::uint64_t count = static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h);
  if (count > capacity) return kGradingBitmapBadPixels;

  const std::size_t uw = static_cast<std::size_t>(w), uh = static_cast<std::size_t>(h);
  const std::size_t stride = bits == 8 ? (uw + 3) & ~static_cast<std::size_t>(3) : (uw + 31) / 32 * 4;
  if (!src.seek(bits == 8 ? kGradingPixelOffset8 : kGradingPixelOffset1)) return kGradingBitmapBadPixels;
  std::vector<std::uint8_t> row;
  try {
    row.resize(stride);
  } catch (...) {
    return kGradingBitmapBadPixels;
  }
  // The file's first row is the image's bottom row.
  for (std::size_t i = 0; i < uh; ++i) {
    if (!src.read(row.data(), stride)) return kGradingBitmapBadPixels;
    std::uint8_t *dst = buffer + (uh - 1 - i) * uw;
    if (bits == 8) {
      std::memcpy(dst, row.data(), uw);
    } else {
      for (std::size_t x = 0; x < uw; ++x) dst[x] = (row[x >> 3] >> (7 - (x & 7)) & 1) ? 255 : 0;
    }
  }
  *width = w;
  *height = h;
  return kGradingBitmapOk;
}

}  // namespace

int read_grading_bitmap(const char *path, std::uint8_t *buffer, std::size_t capacity, int *width,
                        int *height) {
  *width = 0;
  *height = 0;
  if (path == nullptr) return kGradingBitmapCannotOpen;
  // Anything but a regular file (a FIFO would wait for a writer) cannot
  // be opened for reading here.
  std::FILE *f = qx_open_regular_file(path);
  if (f == nullptr) return kGradingBitmapCannotOpen;
  FileSource src(f);
  const int rc = read_bitmap(src, buffer, capacity, width, height);
  std::fclose(f);
  return rc;
}

int read_grading_bitmap_bytes(const std::uint8_t *data, std::size_t size, std::uint8_t *buffer,
                              std::size_t capacity, int *width, int *height) {
  *width = 0;
  *height = 0;
  MemorySource src(data, size);
  return read_bitmap(src, buffer, capacity, width, height);
}

}  // namespace lumetra::api
