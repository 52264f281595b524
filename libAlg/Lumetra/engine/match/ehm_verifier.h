/*
 * ehm_verifier.h - the hybrid verifiers (ehm_verifier, ehmhr_verifier),
 * their score model and decision, and the cheetah pre-selection stage.
 *
 * A hybrid comparison runs the linked-cluster minutiae matcher on the two
 * templates' compact cards and the spectral block-field matcher on their
 * orientation and frequency fields, and fuses both results with the two
 * image qualities into 30 feature scores:
 *
 *   0       minutiae score
 *   1..8    the minutiae matcher's auxiliary values (2 = paired minutiae)
 *   9       spectral score, normalised for image quality
 *   10..25  the spectral matcher's auxiliary values
 *   26      distance between the two matchers' translations
 *   27      difference of their rotations (1/256 turn)
 *   28      difference of the two image qualities
 *   29      isqrt(64 x (100 - the better quality))
 *
 * A verification model weighs the vector into one similarity score centred
 * on 4096; its threshold table turns the score into a decision at a
 * false-accept index (0..27, one in 10^(index/3)) for a number of compared
 * subtemplates.  ehm_verifier and ehmhr_verifier share all code and differ
 * only in the model they look up (their own, keys (30, 0)).
 *
 * The cheetah stage compares only the two orientation and frequency
 * histograms (the spectral quick match) and cannot decide by itself.
 *
 * Every operation clears its outputs first.  Score vectors are engine
 * memory (release with qx_feature_scores_free).
 */
#ifndef LUMETRA_ENGINE_MATCH_EHM_VERIFIER_H
#define LUMETRA_ENGINE_MATCH_EHM_VERIFIER_H

#include <stdint.h>

#include "engine/match/qx_verifier.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
  QX_EHM_NBR_FEATURE_SCORES = 30,
  QX_CHEETAH_NBR_FEATURE_SCORES = 2
};

/* Positions in the hybrid feature-score vector. */
enum {
  QX_EHM_SCORE_MINUTIAE = 0,
  QX_EHM_SCORE_PAIRED_MINUTIAE = 2,
  QX_EHM_SCORE_SPECTRAL = 9,
  QX_EHM_SCORE_TRANSLATION_DIFF = 26,
  QX_EHM_SCORE_ROTATION_DIFF = 27,
  QX_EHM_SCORE_QUALITY_DIFF = 28,
  QX_EHM_SCORE_QUALITY_GAP = 29
};

/* ---- Score model and decision ------------------------------------------ */

/* One similarity score (0..65535, 4096 at the model's means) from the
 * first `count` feature scores.  Exactly one of the two models must be
 * given, otherwise the score is 0; so is a model whose weight total comes
 * to 0.  Normalisation mode 0 sums the signed weights, 1 sums their
 * absolute values / 8, 2 the same negated. */
uint16_t qx_ml_predict_linear_score(const uint16_t *scores,
                                    const qx_vermodel_coefficient *linear,
                                    const qx_vermodel_coefficient *quadratic, int32_t count,
                                    int32_t normalisation);

/* Divisor of the spectral score's quality normalisation:
 * round(25 x sqrt(q)) for q = 0..100, 0 outside. */
int32_t qx_ehm_quality_divisor(int32_t quality);

/* The spectral score normalised for the better of the two image
 * qualities q (raised to 60 when lower): score x 232 / D(q) for q up to
 * 100 (so unchanged at q = 86), capped at 65535; unchanged above 100. */
uint16_t qx_ehm_normalise_spectral_score(uint16_t score, int32_t quality_a, int32_t quality_b);

/* Image quality (0..100) from a hybrid template's image-dimension block;
 * 0 when the block is absent or the template cannot be read.  rows and
 * cols (none allowed) get 192 first, then the block's two values. */
int32_t qx_ehm_get_image_quality(const qx_template *tpl, uint16_t *rows, uint16_t *cols);

/* The search flags for a comparison in `session` whose minutiae matcher
 * paired `paired` minutiae. */
uint32_t qx_ehm_spectral_search_flags(const qx_session *session, int32_t paired);

/* Values 26..29 of the vector from the two matchers' alignments and the
 * two image qualities; vector[0] and vector[9] must be filled already. */
void qx_ehm_consistency_values(uint16_t *scores, int32_t minutiae_dx, int32_t minutiae_dy,
                               uint8_t minutiae_rotation, int32_t spectral_dx,
                               int32_t spectral_dy, uint8_t spectral_rotation,
                               int32_t quality_a, int32_t quality_b);

/* ---- Hybrid verifier slots --------------------------------------------- */

int32_t qx_ehm_extract_feature_scores(qx_session *session, qx_template *a, qx_template *b,
                                      uint16_t **scores, uint8_t *count,
                                      qx_alignment **alignment);

int32_t qx_ehm_get_similarity_score(qx_session *session, qx_template *a, qx_template *b,
                                    int32_t far_index, uint16_t *score, int32_t *decision,
                                    qx_alignment **alignment, qx_template **updated,
                                    const qx_vermodel *models);
int32_t qx_ehmhr_get_similarity_score(qx_session *session, qx_template *a, qx_template *b,
                                      int32_t far_index, uint16_t *score, int32_t *decision,
                                      qx_alignment **alignment, qx_template **updated,
                                      const qx_vermodel *models);

int32_t qx_ehm_verify_feature_scores(qx_session *session, qx_template *a, qx_template *b,
                                     const uint16_t *scores, uint8_t count, int32_t far_index,
                                     uint16_t *score, int32_t *decision,
                                     const qx_vermodel *models);
int32_t qx_ehmhr_verify_feature_scores(qx_session *session, qx_template *a, qx_template *b,
                                       const uint16_t *scores, uint8_t count,
                                       int32_t far_index, uint16_t *score, int32_t *decision,
                                       const qx_vermodel *models);

int32_t qx_ehm_decision_from_score(qx_session *session, qx_template *tpl, const void *unused,
                                   uint16_t score, int32_t far_index, int32_t *decision,
                                   const qx_vermodel *models);
int32_t qx_ehmhr_decision_from_score(qx_session *session, qx_template *tpl,
                                     const void *unused, uint16_t score, int32_t far_index,
                                     int32_t *decision, const qx_vermodel *models);

int32_t qx_ehm_threshold_table(qx_session *session, int32_t sensor_type, int32_t sensor_size,
                               const uint16_t **table, const qx_vermodel *models);
int32_t qx_ehmhr_threshold_table(qx_session *session, int32_t sensor_type,
                                 int32_t sensor_size, const uint16_t **table,
                                 const qx_vermodel *models);

/* Several enrolled templates through the algorithm's verifier chain: 2
 * unless this verifier is the main verifier of the session's algorithm. */
int32_t qx_ehm_verify_templates(qx_session *session, qx_template **enrolled, int32_t count,
                                qx_template *probe, int32_t far_index, int32_t *decision,
                                qx_match **match, int32_t *index, const qx_vermodel *models);
int32_t qx_ehmhr_verify_templates(qx_session *session, qx_template **enrolled, int32_t count,
                                  qx_template *probe, int32_t far_index, int32_t *decision,
                                  qx_match **match, int32_t *index, const qx_vermodel *models);

/* ---- Cheetah stage ----------------------------------------------------- */

/* Vector (q0, q1) of the spectral quick match, count 2. */
int32_t qx_cheetah_extract_feature_scores(qx_session *session, qx_template *a,
                                          qx_template *b, uint16_t **scores, uint8_t *count,
                                          qx_alignment **alignment);
/* Score q0 of the quick match; the decision stays 0. */
int32_t qx_cheetah_get_similarity_score(qx_session *session, qx_template *a, qx_template *b,
                                        int32_t far_index, uint16_t *score, int32_t *decision,
                                        qx_alignment **alignment, qx_template **updated,
                                        const qx_vermodel *models);
/* Score q0 + 2 x q1 (16 bits); the decision stays 0.  17 unless count is 2. */
int32_t qx_cheetah_verify_feature_scores(qx_session *session, qx_template *a,
                                         qx_template *b, const uint16_t *scores,
                                         uint8_t count, int32_t far_index, uint16_t *score,
                                         int32_t *decision, const qx_vermodel *models);

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_ENGINE_MATCH_EHM_VERIFIER_H */
