// The operations of ehm_verifier and ehmhr_verifier that judge scores:
// combining a feature-score vector into a similarity score, the decision
// from a score, the threshold table, and the verification against several
// enrolled templates.  Both verifiers run the same code
// with themselves as the verifier, so that each finds its own model.
#include "engine/match/ehm_verifier.h"
#include "engine/match/ehm_verifier_internal.h"
#include "engine/objects/qx_mt_verify.h"

extern "C" {

int32_t qx_ehm_verify_feature_scores(qx_session *session, qx_template *, qx_template *,
                                     const uint16_t *scores, uint8_t count, int32_t far_index,
                                     uint16_t *score, int32_t *decision,
                                     const qx_vermodel *models) {
  return lumetra::ehm::verify_feature_scores(&ehm_verifier, session, scores, count, far_index,
                                             score, decision, models);
}

int32_t qx_ehmhr_verify_feature_scores(qx_session *session, qx_template *, qx_template *,
                                       const uint16_t *scores, uint8_t count,
                                       int32_t far_index, uint16_t *score, int32_t *decision,
                                       const qx_vermodel *models) {
  return lumetra::ehm::verify_feature_scores(&ehmhr_verifier, session, scores, count,
                                             far_index, score, decision, models);
}

int32_t qx_ehm_decision_from_score(qx_session *session, qx_template *tpl, const void *,
                                   uint16_t score, int32_t far_index, int32_t *decision,
                                   const qx_vermodel *models) {
  return lumetra::ehm::decision_from_score(&ehm_verifier, session, tpl, score, far_index,
                                           decision, models);
}

int32_t qx_ehmhr_decision_from_score(qx_session *session, qx_template *tpl, const void *,
                                     uint16_t score, int32_t far_index, int32_t *decision,
                                     const qx_vermodel *models) {
  return lumetra::ehm::decision_from_score(&ehmhr_verifier, session, tpl, score, far_index,
                                           decision, models);
}

int32_t qx_ehm_threshold_table(qx_session *session, int32_t, int32_t, const uint16_t **table,
                               const qx_vermodel *models) {
  return lumetra::ehm::threshold_table(&ehm_verifier, session, table, models);
}

int32_t qx_ehmhr_threshold_table(qx_session *session, int32_t, int32_t,
                                 const uint16_t **table, const qx_vermodel *models) {
  return lumetra::ehm::threshold_table(&ehmhr_verifier, session, table, models);
}

// Verification against several enrolled templates walks the algorithm's
// chain (the multi-template layer); only the main verifier may start it.
int32_t qx_ehm_verify_templates(qx_session *session, qx_template **enrolled, int32_t count,
                                qx_template *probe, int32_t far_index, int32_t *decision,
                                qx_match **match, int32_t *index, const qx_vermodel *models) {
  return qx_mt_verify_templates_slot(&ehm_verifier, session, enrolled, count, probe, far_index,
                                     decision, match, index, models);
}

int32_t qx_ehmhr_verify_templates(qx_session *session, qx_template **enrolled, int32_t count,
                                  qx_template *probe, int32_t far_index, int32_t *decision,
                                  qx_match **match, int32_t *index, const qx_vermodel *models) {
  return qx_mt_verify_templates_slot(&ehmhr_verifier, session, enrolled, count, probe,
                                     far_index, decision, match, index, models);
}

}  // extern "C"
