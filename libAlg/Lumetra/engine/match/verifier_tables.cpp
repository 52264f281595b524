// The static verifier tables of the "ehm" family.
//
// The cheetah verifier's decision, threshold-table and template
// verification operations answer 1 (not supported) for good, with their
// outputs cleared: the cheetah stage only pre-selects and cannot decide.
#include "engine/match/ehm_verifier.h"
#include "engine/match/qx_verifier.h"

#include "engine/qx_rc.h"

namespace {

int32_t unsupported_decision_from_score(qx_session *, qx_template *, const void *, uint16_t,
                                    int32_t, int32_t *decision, const qx_vermodel *) {
  if (decision != nullptr) *decision = 0;
  return QX_RC_UNSUPPORTED;
}

int32_t unsupported_threshold_table(qx_session *, int32_t, int32_t, const uint16_t **table,
                                const qx_vermodel *) {
  if (table != nullptr) *table = nullptr;
  return QX_RC_UNSUPPORTED;
}

int32_t unsupported_verify_templates(qx_session *, qx_template **, int32_t, qx_template *,
                                 int32_t, int32_t *decision, qx_match **match,
                                 int32_t *index, const qx_vermodel *) {
  if (decision != nullptr) *decision = 0;
  if (match != nullptr) *match = nullptr;
  if (index != nullptr) *index = 0;
  return QX_RC_UNSUPPORTED;
}

}  // namespace

extern "C" {

int32_t qx_cheetah_decision_from_score(qx_session *session, qx_template *tpl,
                                       const void *unused, uint16_t score, int32_t far_index,
                                       int32_t *decision, const qx_vermodel *models) {
  return unsupported_decision_from_score(session, tpl, unused, score, far_index, decision,
                                         models);
}

int32_t qx_cheetah_threshold_table(qx_session *session, int32_t sensor_type,
                                   int32_t sensor_size, const uint16_t **table,
                                   const qx_vermodel *models) {
  return unsupported_threshold_table(session, sensor_type, sensor_size, table, models);
}

int32_t qx_cheetah_verify_templates(qx_session *session, qx_template **enrolled,
                                    int32_t count, qx_template *probe, int32_t far_index,
                                    int32_t *decision, qx_match **match, int32_t *index,
                                    const qx_vermodel *models) {
  return unsupported_verify_templates(session, enrolled, count, probe, far_index, decision,
                                      match, index, models);
}

const qx_verifier_interface cheetah_verifier = {
    qx_cheetah_get_similarity_score,
    qx_cheetah_decision_from_score,
    qx_cheetah_threshold_table,
    qx_cheetah_verify_templates,
    qx_cheetah_extract_feature_scores,
    qx_cheetah_verify_feature_scores,
};

const qx_verifier_interface ehm_verifier = {
    qx_ehm_get_similarity_score,
    qx_ehm_decision_from_score,
    qx_ehm_threshold_table,
    qx_ehm_verify_templates,
    qx_ehm_extract_feature_scores,
    qx_ehm_verify_feature_scores,
};

const qx_verifier_interface ehmhr_verifier = {
    qx_ehmhr_get_similarity_score,
    qx_ehmhr_decision_from_score,
    qx_ehmhr_threshold_table,
    qx_ehmhr_verify_templates,
    qx_ehm_extract_feature_scores,  // shared with ehm_verifier
    qx_ehmhr_verify_feature_scores,
};

}  // extern "C"
