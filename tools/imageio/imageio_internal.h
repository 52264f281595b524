// Helpers shared by the format readers and writers of imageio.
#ifndef TOOLS_IMAGEIO_IMAGEIO_INTERNAL_H
#define TOOLS_IMAGEIO_IMAGEIO_INTERNAL_H

#include <cstdint>
#include <string>
#include <vector>

#include "imageio.h"

namespace imageio::detail {

// True when width x height is an image the readers accept; otherwise
// *problem says why.
bool size_acceptable(uint64_t width, uint64_t height, std::string *problem);

// Resolution in dots per inch from a count per metre or per centimetre,
// rounded; 0 for a count that is 0, negative or absurd.
int dpi_from_per_metre(double per_metre);

// Grey value of an RGB pixel: integer luminance with the ITU-R BT.601
// weights, the weights every converter of these formats uses.
inline uint8_t luminance(unsigned r, unsigned g, unsigned b) {
  return static_cast<uint8_t>((299 * r + 587 * g + 114 * b + 500) / 1000);
}

// 16-bit grey samples to 8 bits (depth.cpp): scaled from the range the
// file states (`stated_max`, 0 for none), or from the full 16-bit range;
// false with *problem set when the file states none and the samples use
// at most 12 bits, whose scale cannot be known.
bool grey16_to_8(const std::vector<uint16_t> &samples, unsigned stated_max,
                 std::vector<uint8_t> *out, std::string *problem);

// Clears an image (the readers' failure state).
inline bool refuse(GreyImage *image, std::string *problem, const std::string &why) {
  *image = GreyImage();
  *problem = why;
  return false;
}

// True when `image` is whole (pixels for rows x cols, sides within the
// limits); otherwise *problem says why.
bool writable(const GreyImage &image, std::string *problem);

// Writes `bytes` as the whole file (replace_file).
bool write_bytes(const std::string &path, const std::vector<uint8_t> &bytes, std::string *problem);

// Dots per inch to dots per metre, rounded (500 dpi: 19685).
uint32_t per_metre_from_dpi(int dpi);

// Encoders of the formats with a library of their own, into memory
// (imageio.cpp chooses by the file name); false with *problem set.
bool encode_tiff(const GreyImage &image, std::vector<uint8_t> *bytes, std::string *problem);
bool encode_pgm(const GreyImage &image, std::vector<uint8_t> *bytes, std::string *problem);

}  // namespace imageio::detail

#endif  // TOOLS_IMAGEIO_IMAGEIO_INTERNAL_H
