// Bitmap file -> image record -> raw pixels.  Every field of the file is
// read only after the length check that covers it.
#include "engine/formats/bmp_convert.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/formats/regular_file.h"
#include "engine/qx_alloc.h"

namespace {

constexpr size_t kFileHeaderSize = 14;
constexpr size_t kInfoHeaderSize = 40;
constexpr size_t kHeadersSize = kFileHeaderSize + kInfoHeaderSize;  // 54
constexpr size_t kRecordHeaderSize = 12;
constexpr uint64_t kMaxRecordValue = 0xFFFFFF;
constexpr uint64_t kMaxSide = 0xFFFF;

uint32_t le32(const unsigned char *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
uint16_t le16(const unsigned char *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint16_t be16(const unsigned char *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
void put_be16(unsigned char *p, uint64_t v) {
  p[0] = static_cast<unsigned char>(v >> 8);
  p[1] = static_cast<unsigned char>(v);
}

// Bytes of the BER length field for a value of `len` bytes.
size_t length_field_size(uint64_t len) {
  if (len <= 127) return 1;
  if (len <= 0xFF) return 2;
  if (len <= 0xFFFF) return 3;
  return 4;
}

unsigned char *write_length_field(unsigned char *p, uint64_t len) {
  const size_t n = length_field_size(len);
  if (n == 1) {
    *p++ = static_cast<unsigned char>(len);
    return p;
  }
  *p++ = static_cast<unsigned char>(0x80 + (n - 1));
  for (size_t i = n - 1; i > 0; --i) *p++ = static_cast<unsigned char>(len >> (8 * (i - 1)));
  return p;
}

// Resolution in dpi from pixels per metre, rounded: (ppm * 254 + 5000) /
// 10000.  0 means "not given" and becomes 500; so does a value that the
// record's 16-bit field cannot hold (a negative or absurd ppm).
uint16_t dpi_from_ppm(int32_t ppm) {
  const int64_t dpi = (static_cast<int64_t>(ppm) * 254 + 5000) / 10000;
  if (dpi <= 0 || dpi > static_cast<int64_t>(kMaxSide)) return QXBMP_DEFAULT_DPI;
  return static_cast<uint16_t>(dpi);
}

struct RecordView {
  unsigned orientation = 0;
  unsigned width = 0;
  unsigned height = 0;
  const unsigned char *pixels = nullptr;
};

// Reads back a record made by qxbmp_bmpbuffer_to_bir, checking the tag,
// the length field and that the pixels are all there.
bool parse_record(const unsigned char *rec, size_t size, RecordView &view) {
  if (size < 2 || rec[0] != QXBMP_RECORD_TAG) return false;
  size_t pos = 1;
  uint64_t len = rec[pos++];
  if (len > 0x80) {
    const size_t n = len - 0x80;
    if (n > 3 || size < pos + n) return false;
    len = 0;
    for (size_t i = 0; i < n; ++i) len = len << 8 | rec[pos++];
  } else if (len == 0x80) {
    return false;
  }
  if (len < kRecordHeaderSize || size - pos < len) return false;
  const unsigned char *v = rec + pos;
  view.orientation = v[3];
  view.width = be16(v + 8);
  view.height = be16(v + 10);
  if (static_cast<uint64_t>(view.width) * view.height != len - kRecordHeaderSize) return false;
  view.pixels = v + kRecordHeaderSize;
  return true;
}

}  // namespace

extern "C" {

void qxbmp_free(void *buffer) { qx_free(buffer); }

qx_rc qxbmp_bmpbuffer_to_bir(const unsigned char *bitmap, size_t size, unsigned char **record,
                             size_t *record_size) {
  if (record != nullptr) *record = nullptr;
  if (record_size != nullptr) *record_size = 0;
  if (bitmap == nullptr || record == nullptr || record_size == nullptr) return QX_RC_INVALID_ARGUMENT;
  if (size < kHeadersSize) return QX_RC_MALFORMED;

  const uint32_t file_size = le32(bitmap + 2);
  const uint32_t pixel_offset = le32(bitmap + 10);
  const uint32_t info_size = le32(bitmap + 14);
  const int32_t width = static_cast<int32_t>(le32(bitmap + 18));
  const int32_t height = static_cast<int32_t>(le32(bitmap + 22));
  const uint16_t bits = le16(bitmap + 28);
  const uint32_t compression = le32(bitmap + 30);
  const int32_t ppm = static_cast<int32_t>(le32(bitmap + 38));

  if (info_size != kInfoHeaderSize || compression != 0 || size < file_size || bits != 8)
    return QX_RC_MALFORMED;
  // |height| in 64 bits: INT32_MIN has no 32-bit magnitude.
  const uint64_t w = width > 0 ? static_cast<uint64_t>(width) : 0;
  const uint64_t h = height < 0 ? static_cast<uint64_t>(-static_cast<int64_t>(height)) : static_cast<uint64_t>(height);
  if (w == 0 || h == 0 || w > kMaxSide || h > kMaxSide) return QX_RC_MALFORMED;
  const uint64_t value_len = kRecordHeaderSize + w * h;
  if (value_len > kMaxRecordValue) return QX_RC_MALFORMED;
  const uint64_t stride = (w + 3) & ~static_cast<uint64_t>(3);
  if (static_cast<uint64_t>(pixel_offset) + stride * h > size) return QX_RC_MALFORMED;

  const size_t total = 1 + length_field_size(value_len) + static_cast<size_t>(value_len);
  auto *out = static_cast<unsigned char *>(qx_malloc(total));
  if (out == nullptr) return QX_RC_NO_MEMORY;
  unsigned char *p = out;
  *p++ = QXBMP_RECORD_TAG;
  p = write_length_field(p, value_len);
  const uint16_t dpi = dpi_from_ppm(ppm);
  p[0] = p[1] = p[2] = 0;
  p[3] = height > 0 ? QXBMP_BOTTOM_FIRST : QXBMP_TOP_FIRST;
  put_be16(p + 4, dpi);
  put_be16(p + 6, dpi);
  put_be16(p + 8, w);
  put_be16(p + 10, h);
  p += kRecordHeaderSize;
  // Rows in stored order, without the file's padding to 4 bytes.
  const unsigned char *src = bitmap + pixel_offset;
  for (uint64_t r = 0; r < h; ++r) std::memcpy(p + r * w, src + r * stride, static_cast<size_t>(w));
  *record = out;
  *record_size = total;
  return QX_RC_OK;
}

qx_rc qxbmp_bmpbuffer_to_buffer(const unsigned char *bitmap, size_t size, unsigned char **pixels,
                                unsigned int *width, unsigned int *height) {
  if (pixels != nullptr) *pixels = nullptr;
  if (width != nullptr) *width = 0;
  if (height != nullptr) *height = 0;
  if (bitmap == nullptr || pixels == nullptr || width == nullptr || height == nullptr)
    return QX_RC_INVALID_ARGUMENT;
  if (size < kHeadersSize || bitmap[0] != 'B' || bitmap[1] != 'M') return QX_RC_MALFORMED;

  unsigned char *record = nullptr;
  size_t record_size = 0;
  const qx_rc rc = qxbmp_bmpbuffer_to_bir(bitmap, size, &record, &record_size);
  if (rc != QX_RC_OK) return rc;
  RecordView view;
  if (!parse_record(record, record_size, view)) {
    qxbmp_free(record);
    return QX_RC_MALFORMED;
  }
  const size_t w = view.width, h = view.height;
  auto *out = static_cast<unsigned char *>(qx_malloc(w * h));
  if (out == nullptr) {
    qxbmp_free(record);
    return QX_RC_NO_MEMORY;
  }
  if (view.orientation == QXBMP_BOTTOM_FIRST) {
    for (size_t r = 0; r < h; ++r) std::memcpy(out + r * w, view.pixels + (h - 1 - r) * w, w);
  } else {
    std::memcpy(out, view.pixels, w * h);
  }
  qxbmp_free(record);
  *pixels = out;
  *width = view.width;
  *height = view.height;
  return QX_RC_OK;
}

qx_rc qxbmp_bmpfile_to_buffer(const char *path, unsigned char **pixels, unsigned int *width,
                              unsigned int *height) {
  if (pixels != nullptr) *pixels = nullptr;
  if (width != nullptr) *width = 0;
  if (height != nullptr) *height = 0;
  if (path == nullptr || pixels == nullptr || width == nullptr || height == nullptr)
    return QX_RC_INVALID_ARGUMENT;

  // Only a regular file has a size to learn (a directory opens, but has
  // none that can be read; a FIFO would wait for a writer).
  std::FILE *f = qx_open_regular_file(path);
  if (f == nullptr) return QX_RC_FILE_UNREADABLE;
  long size = -1;
  if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
  if (size <= 0 || std::fseek(f, 0, SEEK_SET) != 0) {
    std::fclose(f);
    return QX_RC_FILE_UNREADABLE;
  }
  // No supported bitmap comes near this size; refusing it keeps a stray
  // huge file from being read into memory.
  if (static_cast<unsigned long>(size) > QXBMP_MAX_FILE_SIZE) {
    std::fclose(f);
    return QX_RC_MALFORMED;
  }
  auto *data = static_cast<unsigned char *>(qx_malloc(static_cast<size_t>(size)));
  if (data == nullptr) {
    std::fclose(f);
    return QX_RC_NO_MEMORY;
  }
  const size_t got = std::fread(data, 1, static_cast<size_t>(size), f);
  std::fclose(f);
  if (got != static_cast<size_t>(size)) {
    qx_free(data);
    return QX_RC_FILE_UNREADABLE;
  }
  const qx_rc rc = qxbmp_bmpbuffer_to_buffer(data, static_cast<size_t>(size), pixels, width, height);
  qx_free(data);
  return rc;
}

}  // extern "C"
