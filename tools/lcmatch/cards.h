// Cards for the linked-cluster tools: read a card file, or extract a card
// (compact card with quality bytes, at most 64 minutiae) from a grey image
// or an image file.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "imageio.h"

namespace lcmatch {

using Bytes = std::vector<uint8_t>;

// Captures are the tools' grey images (imageio reads them and cuts their
// windows).
using Grey = imageio::GreyImage;

// Compact card of an image (empty with a message when extraction fails):
// by default the compact card with quality bytes (at most 64 minutiae) of
// the template extraction; with `product`, the compact-card part of the
// hybrid template that the station sensor's configuration ("ehmsq-xs":
// resampled to 682 dpi) extracts, which is what the hybrid verifier
// matches.
bool extract_card(const Grey &image, Bytes &card, std::string &error, bool product = false);

// A file holding a card (starting with 0x7F 0x2E) is read as it is; any
// other file is taken as a bitmap and extracted.
bool load_card(const std::string &path, Bytes &card, std::string &error, bool product = false);

}  // namespace lcmatch
