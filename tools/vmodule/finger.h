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

#include "imageio.h"
#include "profile.h"

namespace vmodule {

// The tools' grey image (rows x cols, top row first).
using FingerImage = imageio::GreyImage;

// Largest side of a finger image the module sends.
inline constexpr int kMaxFingerSide = 2048;

// Builds the image a profile asks for: a synthetic print (the generator's
// finger, or concentric ridges with breaks, so that minutiae exist), a file
// (any image the tools read: PGM, an uncompressed 8-bit bitmap, PNG,
// TIFF), or a blank white (all 0, as the station's white test reads it)
// or black (all 255) image.
bool make_finger_image(const Finger& finger, FingerImage* image, std::string* error);

// The finger image held in a file's bytes: decoded by the tools' image
// layer, and no larger than kMaxFingerSide either way; false with *error
// set for anything else.
bool finger_image_from_bytes(const std::vector<uint8_t>& bytes, FingerImage* image, std::string* error);

// The message sent to the virtual image device.
std::vector<uint8_t> encode_virtual_image(const FingerImage& image);

}  // namespace vmodule
