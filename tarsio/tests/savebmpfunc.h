// Writes an 8-bit grey-scale picture as an uncompressed device-independent
// bitmap with a 256-entry grey palette, rows stored bottom-up and padded to
// 4 bytes.  Every raw frame of the bad-pixel test is kept this way.
#pragma once

#include <cstdint>

namespace tarsio::tests {

inline constexpr uint32_t kBmpHeaderSize = 1078;  // 14 + 40 + 1024 palette bytes

// Stored row length: width rounded up to a multiple of 4.
constexpr uint32_t bmp_row_stride(uint32_t width) { return (width + 3u) & ~3u; }

// pixels: height rows of width bytes, top row first, no padding.
// Always returns true; a failure is only logged.  A negative width, a
// missing pixel buffer or a picture whose file would exceed 2 GiB writes no
// file and logs "invalid image".
bool WriteBmpFile(const char* path, const uint8_t* pixels, int32_t width, uint32_t height);

}  // namespace tarsio::tests
