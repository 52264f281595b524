// The finger the module shows to the scene test.  The station captures its
// finger image through libfprint; in tests and in the demo that is
// libfprint's virtual image device, which listens on the socket named by
// FP_VIRTUAL_IMAGE while the device is open.  The module connects there and
// sends one image per connection: width and height as two native 32-bit
// integers, then width x height grey bytes, row by row.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "profile.h"

namespace vmodule {

struct FingerImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;  // row-major, top row first
};

// Builds the image a profile asks for: a synthetic print (concentric ridges
// with breaks, so that minutiae exist), a file (binary PGM "P5" with maxval
// 255, or an uncompressed 8-bit bitmap), or a blank white (all 0, as the
// station's white test reads it) or black (all 255) image.
bool make_finger_image(const Finger& finger, FingerImage* image, std::string* error);

// Parsers of image files; false for anything malformed or truncated.
bool parse_pgm(const std::vector<uint8_t>& bytes, FingerImage* image);
bool parse_bmp8(const std::vector<uint8_t>& bytes, FingerImage* image);

// The message sent to the virtual image device.
std::vector<uint8_t> encode_virtual_image(const FingerImage& image);

}  // namespace vmodule
