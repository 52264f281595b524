/*
 * qx_algorithm.h - the algorithm object: one extractor, a verifier chain
 * and its verification models, bound to a template type and a sensor.
 *
 * Only the configuration builders create algorithms.  An algorithm retains
 * its session and registers itself there as context 11 (without a destroy
 * function, so the session never frees it); created without a session it
 * makes one and holds the only reference to it.  The chain is owned by the
 * algorithm from a successful creation on; the models are static data.
 */
#ifndef LUMETRA_ENGINE_OBJECTS_QX_ALGORITHM_H
#define LUMETRA_ENGINE_OBJECTS_QX_ALGORITHM_H

#include <stdint.h>

#include "engine/match/qx_extractor.h"
#include "engine/match/qx_verifier.h"
#include "engine/objects/qx_finger.h"
#include "engine/objects/qx_session.h"
#include "engine/objects/qx_template.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Feature state indexes and the property each one mirrors. */
enum {
  QX_FEATURE_360 = 0,                 /* "qx.algorithm.360" */
  QX_FEATURE_SPECTRAL_FULLSEARCH = 1, /* "qx.ehm.spectral_fullsearch" */
  QX_FEATURE_SPECTRAL_HR_RANGE = 2,   /* "qx.ehm.spectral_increase_hr_search_range" */
  QX_FEATURE_COUNT = 3
};

/* Configuration block, copied from the builder.  The first field is the
 * 8-bit maximum number of subtemplates that the library interface
 * overwrites after building. */
typedef struct qx_algorithm_config {
  uint8_t max_nbr_subtemplates;
  int32_t enroll_param[3];
  uint8_t nbr_enroll_captures;
} qx_algorithm_config;

/* Returns none when the session already holds an algorithm or memory runs
 * out; the chain then still belongs to the caller.  Indexes outside 0..2
 * in the state lists are ignored. */
qx_algorithm *qx_algorithm_create(qx_session *session, const qx_extractor_interface *extractor,
                                  qx_verifier_chain *chain, int32_t template_type,
                                  int32_t sensor_type, int32_t sensor_size,
                                  const int32_t *states_on, int32_t nbr_states_on,
                                  const int32_t *states_mutable, int32_t nbr_states_mutable,
                                  const qx_algorithm_config *config);
qx_algorithm *qx_algorithm_retain(qx_algorithm *alg);
void qx_algorithm_delete(qx_algorithm *alg);
int32_t qx_algorithm_get_num_refs(const qx_algorithm *alg);

/* Extraction through the extractor with the algorithm's session and
 * template type.  Without a finger a temporary finger of the anonymous
 * user is used.  2 without an output or algorithm, 1 when the extractor
 * offers no extraction. */
int32_t qx_algorithm_extract_template(qx_algorithm *alg, qx_image *image, qx_finger *finger,
                                      qx_template **out);
/* Preferred image geometry; the outputs repeat the inputs when there is
 * no algorithm or the extractor has no such operation. */
void qx_algorithm_get_pref_idim(const qx_algorithm *alg, int32_t rows, int32_t cols,
                                int32_t vres, int32_t hres, int32_t *out_rows,
                                int32_t *out_cols, int32_t *out_vres, int32_t *out_hres);

/* Forwarded to slots 1, 2 and 4 of the main verifier with the algorithm's
 * session and the given model list (none: the algorithm's own). */
int32_t qx_algorithm_get_similarity_score(qx_algorithm *alg, qx_template *a, qx_template *b,
                                          int32_t far_index, uint16_t *score,
                                          int32_t *decision, qx_alignment **alignment,
                                          qx_template **updated);
int32_t qx_algorithm_decision_from_score(qx_algorithm *alg, qx_template *tpl, uint16_t score,
                                         int32_t far_index, int32_t *decision);
int32_t qx_algorithm_verify_templates(qx_algorithm *alg, qx_template **enrolled,
                                      int32_t count, qx_template *probe, int32_t far_index,
                                      int32_t *decision, qx_match **match, int32_t *index);

/* QX_RC_UNSUPPORTED when the index is not 0..2 or the state is not mutable;
 * otherwise the state and its session property are written and QX_RC_OK is
 * returned. */
int32_t qx_algorithm_set_feature_state(qx_algorithm *alg, int32_t index, int32_t value);
int32_t qx_algorithm_get_feature_state(const qx_algorithm *alg, int32_t index);
int32_t qx_algorithm_feature_is_mutable(const qx_algorithm *alg, int32_t index);

qx_session *qx_algorithm_get_session(const qx_algorithm *alg);
const qx_extractor_interface *qx_algorithm_get_extractor(const qx_algorithm *alg);
qx_verifier_chain *qx_algorithm_get_verifier_chain(const qx_algorithm *alg);
const qx_verifier_interface *qx_algorithm_get_verifier(const qx_algorithm *alg);
int32_t qx_algorithm_get_template_type(const qx_algorithm *alg);
int32_t qx_algorithm_get_sensor_size(const qx_algorithm *alg);
int32_t qx_algorithm_get_sensor_type(const qx_algorithm *alg);
qx_algorithm_config *qx_algorithm_get_config(qx_algorithm *alg);
const qx_vermodel *qx_algorithm_get_vermodels(const qx_algorithm *alg);
void qx_algorithm_set_vermodels(qx_algorithm *alg, const qx_vermodel *models);
const void *qx_algorithm_get_ppmodel(const qx_algorithm *alg);
void qx_algorithm_set_ppmodel(qx_algorithm *alg, const void *model);
int32_t qx_algorithm_get_slice_rows(const qx_algorithm *alg);
int32_t qx_algorithm_set_slice_rows(qx_algorithm *alg, int32_t rows);

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_ENGINE_OBJECTS_QX_ALGORITHM_H */
