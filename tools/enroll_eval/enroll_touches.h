// Enrollment touches of a generated finger: 8 impressions (each with its
// own skin, pressure, rotation and distortion) of one master, each pressed
// at 4 places spread over the finger, interleaved so that consecutive
// touches come from different impressions.  Shared by the enrollment
// evaluation tool and the enrollment benchmark.
#ifndef TOOLS_ENROLL_EVAL_ENROLL_TOUCHES_H
#define TOOLS_ENROLL_EVAL_ENROLL_TOUCHES_H

#include <fpsynth/fpsynth.h>

#include <cstdint>
#include <vector>

namespace enroll_eval {

constexpr int kImpressions = 8;
constexpr int kPlacements = 4;
constexpr int kTouches = kImpressions * kPlacements;

// Placement spread around the finger's centre (pixels at 500 dpi).
constexpr double kSpreadRows = 70.0;
constexpr double kSpreadCols = 55.0;

inline std::vector<fpsynth::Image> make_touches(uint64_t finger_seed, int side = 88) {
  const fpsynth::Master master = fpsynth::make_master(finger_seed);
  fpsynth::Rng rng(fpsynth::derive_seed(finger_seed, 1000));
  std::vector<fpsynth::Image> touches(kTouches);
  for (int k = 0; k < kPlacements; ++k) {
    for (int j = 0; j < kImpressions; ++j) {
      fpsynth::ImpressionParams p;
      p.rows = side;
      p.cols = side;
      p.centre_row = master.centre_row + rng.uniform(-kSpreadRows, kSpreadRows);
      p.centre_col = master.centre_col + rng.uniform(-kSpreadCols, kSpreadCols);
      // The impression's seed fixes skin, rotation and distortion; the
      // place changes with every touch.
      touches[k * kImpressions + j] =
          fpsynth::make_impression(master, fpsynth::derive_seed(finger_seed, j), p).image;
    }
  }
  return touches;
}

}  // namespace enroll_eval

#endif
