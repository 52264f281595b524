// Verification with the coherence model: the 24 feature scores of the
// best candidate, scored by the quadratic model and decided against the
// model's own threshold table.
#include "engine/match/ehm_verifier.h"
#include "engine/match/mt_coherence.h"
#include "engine/qx_alloc.h"
#include "engine/qx_rc.h"

extern "C" {

int32_t qx_mtcoher_verify_template(qx_session *session, const qx_mtcoher *state,
                                   const qx_template *probe, int32_t entry, int32_t far_index,
                                   int32_t *decision) {
  if (decision != nullptr) *decision = 0;
  if (state == nullptr || decision == nullptr) return QX_RC_BAD_ARGUMENT;
  uint16_t *scores = nullptr;
  const int32_t rc = qx_mtcoher_get_feature_scores(state, probe, &scores, entry);
  if (rc != QX_RC_OK) return rc;
  const qx_vermodel *models = qx_mtcoher_get_model_list(state);
  const uint16_t score = qx_ml_predict_linear_score(
      scores, nullptr, models[0].quadratic, QX_MTCOHER_NBR_SCORES, models[0].normalisation);
  qx_free(scores);
  return qx_verifier_decision_from_score(&qx_mtcoher_verifier, session, score,
                                         qx_mtcoher_get_nbr_of_entries(state), far_index,
                                         decision, nullptr, models);
}

}  // extern "C"
