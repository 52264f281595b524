// Cards for the linked-cluster tools: read a card file, or extract a card
// (compact card with quality bytes, at most 64 minutiae) from a grey image
// or a bitmap file, optionally from a window of it.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace lcmatch {

using Bytes = std::vector<uint8_t>;

struct Grey {
  int rows = 0, cols = 0;
  std::vector<uint8_t> pixels;
};

// Reads an 8-bit bitmap; false with a message on failure.
bool read_bitmap(const std::string &path, Grey &out, std::string &error);

// The rows x cols window with its top-left corner at (row, col), clipped
// into the image (the image must be at least that large).
Grey window(const Grey &image, int row, int col, int rows, int cols);

// Top-left corner of a rows x cols window centred on the print: the centroid
// of the 8 x 8 blocks whose grey-level variance is high.
void print_centre_window(const Grey &image, int rows, int cols, int &row, int &col);

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
