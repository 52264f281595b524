// Generated file: the linked-cluster matcher's own threshold list.
//
// Produced by tools/lcmatch/make_thresholds.sh, which runs
//   fpsynth set --out <set> --fingers 100 --impressions 8 --size 88x88 --seed 2
//   lcmatch-eval thresholds <set> --out <this file> --product 1
// Cards: the compact-card parts of the hybrid templates that the station
// sensor's configuration ("ehmsq-xs") extracts.
// For each rotation mode (tolerance 32, full rotation) every impression of
// the generated set (thresholds-set) is enrolled and matched against every
// impression of every other finger: 316800 impostor scores per mode.
// The threshold of FAR level L (1 in 10^(L/3)) is the smallest score t >= 1
// at which at most floor(count x 10^(-L/3)) impostor scores are t or more.
#include "engine/match/linked_cluster.h"

namespace {

const uint16_t kThresholds[2][12] = {
    {1, 21, 32, 88, 123, 154, 182, 211, 240, 267, 303, 328},  // rotation within 32 steps
    {1, 25, 56, 105, 137, 166, 194, 223, 251, 280, 309, 333},  // full rotation
};

}  // namespace

extern "C" uint16_t lc_threshold(int far_level, int full_rotation) {
  if (far_level < 1 || far_level > 12) return 65535;
  return kThresholds[full_rotation ? 1 : 0][far_level - 1];
}
