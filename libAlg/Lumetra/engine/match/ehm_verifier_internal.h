// Shared pieces of the hybrid verifiers' slots: each ehm_ / ehmhr_ slot is
// the same operation with its own verifier (and so its own model).
#ifndef LUMETRA_ENGINE_MATCH_EHM_VERIFIER_INTERNAL_H
#define LUMETRA_ENGINE_MATCH_EHM_VERIFIER_INTERNAL_H

#include <cstdint>

#include "engine/match/qx_verifier.h"

namespace lumetra::ehm {

// The model (30, 0) of `verifier` in the given list, else in the session
// algorithm's list: 0, 20 without a list, 18 without such a model.
int32_t find_model(qx_session *session, const qx_vermodel *given,
                   const qx_verifier_interface *verifier, const qx_vermodel **model);

int32_t verify_feature_scores(const qx_verifier_interface *verifier, qx_session *session,
                              const uint16_t *scores, uint8_t count, int32_t far_index,
                              uint16_t *score, int32_t *decision, const qx_vermodel *models);

int32_t decision_from_score(const qx_verifier_interface *verifier, qx_session *session,
                            qx_template *tpl, uint16_t score, int32_t far_index,
                            int32_t *decision, const qx_vermodel *models);

int32_t threshold_table(const qx_verifier_interface *verifier, qx_session *session,
                        const uint16_t **table, const qx_vermodel *models);

int32_t similarity_score(const qx_verifier_interface *verifier, qx_session *session,
                         qx_template *a, qx_template *b, int32_t far_index, uint16_t *score,
                         int32_t *decision, qx_alignment **alignment, qx_template **updated,
                         const qx_vermodel *models);

// A comparison or decision whose template is a multi-template, handed to
// the multi-template layer with this verifier.
int32_t multitemplate_similarity(const qx_verifier_interface *verifier, qx_session *session,
                                 qx_template *multitemplate, qx_template *probe,
                                 int32_t far_index, uint16_t *score, int32_t *decision,
                                 qx_alignment **alignment, qx_template **updated);
int32_t multitemplate_decision(const qx_verifier_interface *verifier, qx_session *session,
                               qx_template *multitemplate, uint16_t score, int32_t far_index,
                               int32_t *decision);

}  // namespace lumetra::ehm

#endif  // LUMETRA_ENGINE_MATCH_EHM_VERIFIER_INTERNAL_H
