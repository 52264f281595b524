/*
 * mt_score.h - how the scores of the subtemplates of one multi-template
 * combine into the template's score.
 *
 * The best subtemplate score s1 counts ten times, the second best s2
 * counts c(n) times, where n is the number of main-island subtemplates:
 * c(n) = (6n + 60) / 56 up to n = 35 (1 up to 8, 2 for 9-17, 3 for 18-27,
 * 4 for 28-35), and 5 from 36 on.  More subtemplates make a second good
 * match likelier by chance, so its weight grows with n.
 */
#ifndef LUMETRA_ENGINE_OBJECTS_MT_SCORE_H
#define LUMETRA_ENGINE_OBJECTS_MT_SCORE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

int32_t qx_mt_combination_weight(int32_t nbr_subtemplates);
/* (10 s1 + c s2) / (c + 10), integer division. */
uint16_t qx_mt_combined_score(uint16_t best, uint16_t second, int32_t nbr_subtemplates);

/* Best and second-best of a stream of scores and the template score, the
 * highest combined score seen so far.  A new best pushes the old best down
 * to second; an equal score becomes the second. */
typedef struct qx_mt_running_score {
  uint16_t best;
  uint16_t second;
  uint16_t combined; /* running maximum of the combined score */
  int32_t best_index; /* position of the best in the stream, -1 before any */
} qx_mt_running_score;

void qx_mt_running_score_reset(qx_mt_running_score *running);
/* Adds the score found at `index`; returns 1 when it became the best. */
int32_t qx_mt_running_score_add(qx_mt_running_score *running, uint16_t score, int32_t index,
                                int32_t nbr_subtemplates);

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_ENGINE_OBJECTS_MT_SCORE_H */
