#include "tests/savebmpfunc.h"

#include <cerrno>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "shell/log.h"

#define TARSIO_LOG_SOURCE "savebmpfunc"

namespace tarsio::tests {
namespace {

void put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t* p, uint32_t v) {
  put16(p, v);
  put16(p + 2, v >> 16);
}

constexpr uint64_t kMaxFileSize = 0x7FFFFFFFu;

}  // namespace

bool WriteBmpFile(const char* path, const uint8_t* pixels, int32_t width, uint32_t height) {
  static constexpr const char* op = "WriteBmpFile";
  TLOG_ENTER(op);
  const uint64_t stride = width < 0 ? 0 : bmp_row_stride(static_cast<uint32_t>(width));
  const uint64_t image_size = stride * height;
  if (width < 0 || path == nullptr || (pixels == nullptr && image_size > 0) ||
      image_size + kBmpHeaderSize > kMaxFileSize) {
    TLOG_E(op, "invalid image %d x %u", width, height);
    return true;
  }
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) {
    TLOG_E(op, "Open file error 0x%x", errno);
    return true;
  }
  uint8_t header[kBmpHeaderSize] = {};
  header[0] = 'B';
  header[1] = 'M';
  put32(header + 2, static_cast<uint32_t>(image_size + kBmpHeaderSize));
  put32(header + 10, kBmpHeaderSize);
  put32(header + 14, 40);
  put32(header + 18, static_cast<uint32_t>(width));
  put32(header + 22, height);  // positive: bottom-up rows
  put16(header + 26, 1);
  put16(header + 28, 8);
  put32(header + 34, static_cast<uint32_t>(image_size));
  for (uint32_t i = 0; i < 256; ++i) {
    uint8_t* entry = header + 54 + 4 * i;
    entry[0] = entry[1] = entry[2] = static_cast<uint8_t>(i);
  }
  std::fwrite(header, 1, sizeof header, file);
  std::vector<uint8_t> row(stride, 0);
  for (uint32_t k = 0; k < height; ++k) {
    const uint8_t* source = pixels + static_cast<uint64_t>(height - 1 - k) * static_cast<uint32_t>(width);
    std::copy(source, source + width, row.begin());
    std::fwrite(row.data(), 1, row.size(), file);
  }
  std::fclose(file);
  TLOG_LEAVE(op);
  return true;
}

}  // namespace tarsio::tests
