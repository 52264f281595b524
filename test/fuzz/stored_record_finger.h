// The generated finger behind the stored-record fuzz target and its seeds:
// enrollment captures of one finger and probes of the same finger that the
// enrollment never saw, on the station's 88 x 88 sensor.  The seed
// generator enrols the captures through the exports and writes the records
// a host would store; the fuzz target verifies the probes against whatever
// record it is given.  Both build the same images from the same seed.
#ifndef TEST_FUZZ_STORED_RECORD_FINGER_H
#define TEST_FUZZ_STORED_RECORD_FINGER_H

#include <cstdint>
#include <vector>

#include "enroll_touches.h"

namespace stored_record {

// The station's sensor and its maximum of subtemplates.
constexpr int kSensorSide = 88;
constexpr int kMaxSubtemplates = 32;

// The enrolled finger, and a second one the probes do not belong to.
constexpr uint64_t kFingerSeed = 0x5EED0035;
constexpr uint64_t kOtherFingerSeed = 0x5EED0036;

// Of the finger's touches, the first kEnrolled are the enrollment's
// captures and the rest are probes.
constexpr int kEnrolled = 20;

struct Finger {
  std::vector<fpsynth::Image> captures;
  std::vector<fpsynth::Image> probes;
};

inline Finger make_finger(uint64_t seed) {
  std::vector<fpsynth::Image> touches = enroll_eval::make_touches(seed, kSensorSide);
  Finger f;
  f.captures.assign(touches.begin(), touches.begin() + kEnrolled);
  f.probes.assign(touches.begin() + kEnrolled, touches.end());
  return f;
}

}  // namespace stored_record

#endif
