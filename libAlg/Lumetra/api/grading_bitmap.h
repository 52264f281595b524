// The library's own bitmap reader, used to grade and compare fingerprint
// bitmap files.  It is deliberately simpler than the engine's conversion
// (engine/formats/bmp_convert.h) and has rules of its own:
//  - 8 or 1 bits per pixel; the pixels are read at fixed offsets (1078
//    after a 256-entry palette, 62 after a 2-entry palette) whatever the
//    file's pixel-offset field and palette say;
//  - rows are stored bottom-up; a top-down file (negative height) is
//    refused;
//  - a 1-bit pixel reads as 255 when its bit is set, 0 otherwise (most
//    significant bit first);
//  - the image is checked only against the caller's capacity.
// On success the rows are in the buffer top row first, width bytes each,
// one after the other; nothing beyond width x height bytes is written.
#ifndef LUMETRA_API_GRADING_BITMAP_H
#define LUMETRA_API_GRADING_BITMAP_H

#include <cstddef>
#include <cstdint>

namespace lumetra::api {

enum GradingBitmapResult : int {
  kGradingBitmapOk = 0,
  kGradingBitmapBadHeader = 11,   // a header cannot be read, or 8/1 bits it is not
  kGradingBitmapCannotOpen = 12,  // the file cannot be opened for reading, or is no regular file
  kGradingBitmapBadPixels = 13,   // too large for the capacity, top-down, or rows missing
  kGradingBitmapNotBitmap = 14,   // the file does not start with "BM"
};

// Fixed pixel offsets of the two accepted depths.
inline constexpr long kGradingPixelOffset8 = 1078;
inline constexpr long kGradingPixelOffset1 = 62;

// Reads the bitmap file at `path`.  *width and *height are 0 unless the
// result is kGradingBitmapOk.
int read_grading_bitmap(const char *path, std::uint8_t *buffer, std::size_t capacity, int *width,
                        int *height);

// The same rules over bitmap bytes already in memory.
int read_grading_bitmap_bytes(const std::uint8_t *data, std::size_t size, std::uint8_t *buffer,
                              std::size_t capacity, int *width, int *height);

}  // namespace lumetra::api

#endif  // LUMETRA_API_GRADING_BITMAP_H
