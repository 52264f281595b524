// Combination of subtemplate scores into a multi-template score.
#include "engine/objects/mt_score.h"

extern "C" {

int32_t qx_mt_combination_weight(int32_t nbr_subtemplates) {
  if (nbr_subtemplates > 35) return 5;
  if (nbr_subtemplates < 0) nbr_subtemplates = 0;
  return (6 * nbr_subtemplates + 60) / 56;
}

uint16_t qx_mt_combined_score(uint16_t best, uint16_t second, int32_t nbr_subtemplates) {
  const int32_t c = qx_mt_combination_weight(nbr_subtemplates);
  return static_cast<uint16_t>((10 * static_cast<int32_t>(best) + c * second) / (c + 10));
}

void qx_mt_running_score_reset(qx_mt_running_score *running) {
  running->best = 0;
  running->second = 0;
  running->combined = 0;
  running->best_index = -1;
}

int32_t qx_mt_running_score_add(qx_mt_running_score *running, uint16_t score, int32_t index,
                                int32_t nbr_subtemplates) {
  int32_t became_best = 0;
  if (running->best_index < 0 || score > running->best) {
    running->second = running->best;
    running->best = score;
    running->best_index = index;
    became_best = 1;
  } else if (score > running->second) {
    running->second = score;
  }
  const uint16_t combined =
      qx_mt_combined_score(running->best, running->second, nbr_subtemplates);
  if (combined > running->combined) running->combined = combined;
  return became_best;
}

}  // extern "C"
