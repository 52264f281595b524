// Drawing of an extraction over its image, as a colour picture.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/image/extract.h"
#include "imageio.h"

namespace overlay {

// The picture drawn: imageio's colour image (imageio::write_rgb_png writes
// it as PNG).
using Rgb = imageio::RgbImage;

// The grey image, enlarged `zoom` times, with the extraction drawn on it:
// endings red squares, bifurcations blue circles, each with a direction
// tick; cores green, deltas magenta triangles with three ticks.
// `truth` (optional) marks reference minutiae as small yellow crosses.
struct Mark {
  int row, col, direction, type;
};
Rgb draw(const uint8_t *grey, int rows, int cols, const bal_extract_result &r, int zoom,
         const std::vector<Mark> &truth = {});

}  // namespace overlay
