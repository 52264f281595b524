// Thinning and branch-point reading of binary ridge pictures (internal).
#pragma once

#include <cstdint>
#include <vector>

#include "fpsynth/fpsynth.h"

namespace fpsynth::detail {

// Zhang-Suen thinning in place: 1 = line, 0 = background.
void thin(std::vector<uint8_t>& pic, int rows, int cols);

// Branch points of a skeleton as minutiae of the given type.  A point is
// kept only when the skeleton component around it, seen on a circle of
// radius `reach`, leaves in exactly three separate legs (so spurs, tiny
// islands and close pairs are dropped) and when `allowed` is set there.  The
// direction is the mean of the two legs closest in angle.
std::vector<Minutia> branch_points(const std::vector<uint8_t>& skeleton, int rows, int cols,
                                   const std::vector<uint8_t>& allowed, int reach, uint8_t type);

// Chamfer distance (in pixels, approximately Euclidean) of every pixel to
// the nearest pixel where `inside` is 0.
std::vector<float> distance_inside(const std::vector<uint8_t>& inside, int rows, int cols);

}  // namespace fpsynth::detail
