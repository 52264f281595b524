/*
 * qx_mt_verify.h - verification against multi-templates.
 *
 * One multi-template: every main-island subtemplate is compared with the
 * probe by the verifier's full comparison; the best two scores combine
 * into the template score (mt_score.h), which is decided with the number
 * of main-island subtemplates until the first acceptance.  Secondary-
 * island subtemplates are neither compared nor counted.
 *
 * Several enrolled templates: the verifier chain is walked over the main-
 * island subtemplates of all of them (chain_walk.h).
 *
 * Alignments reported here place the probe in the frame of the accepted
 * subtemplate's island top: the subtemplate's alignment to its island top
 * first, then the alignment the comparison found.
 */
#ifndef LUMETRA_ENGINE_OBJECTS_QX_MT_VERIFY_H
#define LUMETRA_ENGINE_OBJECTS_QX_MT_VERIFY_H

#include <stdint.h>

#include "engine/match/qx_verifier.h"
#include "engine/objects/qx_alignment.h"
#include "engine/objects/qx_finger.h"
#include "engine/objects/qx_multitemplate_manager.h"
#include "engine/objects/qx_session.h"
#include "engine/objects/qx_template.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The probe against the manager's multi-template.  Outputs start as score
 * 0, decision 0, no alignment, change 0.  With `change` given and the
 * probe accepted, the manager takes the probe in (island option set when
 * the multi-template has secondary-island subtemplates) and *change
 * receives its change code.  A verifier error ends the comparisons with
 * its code and no alignment; an update error is answered as well. */
int32_t qx_mtm_verify_template(qx_multitemplate_manager *manager,
                               const qx_verifier_interface *verifier, qx_session *session,
                               qx_template *probe, int32_t far_index, uint16_t *score,
                               int32_t *decision, qx_alignment **alignment,
                               const void *reserved, int32_t *change, qx_finger *finger);

/* As qx_mtm_verify_template on a type-80 template; 3 when it cannot be
 * read.  With `updated` given and the multi-template changed by taking the
 * probe in, *updated receives the new encoding (owned by the caller). */
int32_t qx_multitemplate_verify_template(qx_template *multitemplate,
                                         const qx_verifier_interface *verifier,
                                         qx_session *session, qx_template *probe,
                                         int32_t far_index, uint16_t *score, int32_t *decision,
                                         qx_alignment **alignment, const void *reserved,
                                         qx_template **updated, qx_finger *finger);

/* The verifier's decision from score with the number of main-island
 * subtemplates.  1 when the template is not of type 80, 3 when it cannot
 * be read.  `threshold` (may be none) receives the threshold used. */
int32_t qx_multitemplate_decision_from_score(qx_template *multitemplate,
                                             const qx_verifier_interface *verifier,
                                             qx_session *session, const void *reserved,
                                             uint16_t score, int32_t far_index,
                                             int32_t *decision, uint16_t *threshold,
                                             qx_finger *finger);

/* The chain walk over the enrolled templates (absent ones are skipped).
 * Outputs start as decision 0, no alignment, indexes -1.  A template that
 * cannot be read contributes nothing and makes the result 3 while the
 * walk goes on; the walk's own errors are answered as they come.  With
 * FAR index 28 and one enrolled template *decision receives its score. */
int32_t qx_multitemplate_verify_chain(qx_template **enrolled, int32_t count,
                                      const qx_verifier_chain *chain, qx_session *session,
                                      qx_template *probe, int32_t far_index, int32_t *decision,
                                      qx_alignment **alignment, int32_t *template_index,
                                      int32_t *subtemplate_index, qx_finger *finger);

/* Slot 4 of the hybrid verifiers: 2 unless `self` is the main verifier of
 * the session's algorithm (20 without an algorithm); otherwise the chain
 * walk with the algorithm's chain and the given models.  On acceptance
 * *match holds the enrolled template, the probe, the template score,
 * decision 1 and the alignment, and *index the enrolled template's
 * position; otherwise *match is none and *index -1. */
int32_t qx_mt_verify_templates_slot(const qx_verifier_interface *self, qx_session *session,
                                    qx_template **enrolled, int32_t count, qx_template *probe,
                                    int32_t far_index, int32_t *decision, qx_match **match,
                                    int32_t *index, const qx_vermodel *models);

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_ENGINE_OBJECTS_QX_MT_VERIFY_H */
