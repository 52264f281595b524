// Drawing of an extraction over its image, written as a colour PNG.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/image/extract.h"

namespace overlay {

struct Rgb {
  int rows = 0, cols = 0;
  std::vector<uint8_t> px;  // rows * cols * 3
};

// The grey image, enlarged `zoom` times, with the extraction drawn on it:
// endings red squares, bifurcations blue circles, each with a direction
// tick; cores green, deltas magenta triangles with three ticks.
// `truth` (optional) marks reference minutiae as small yellow crosses.
struct Mark {
  int row, col, direction, type;
};
Rgb draw(const uint8_t *grey, int rows, int cols, const bal_extract_result &r, int zoom,
         const std::vector<Mark> &truth = {});

// Uncompressed (stored deflate) RGB PNG.
std::vector<uint8_t> encode_png(const Rgb &image);
bool write_png(const std::string &path, const Rgb &image);

}  // namespace overlay
