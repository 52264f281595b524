/*
 * qx_verifier.h - the verifier plug-in interface, verifier chains and
 * verification models.
 *
 * A verifier is a static table of six operations.  An algorithm carries a
 * chain of links; each link names the verifier that produces its feature
 * scores and the verifier that judges them.  The main verifier of an
 * algorithm is the judging verifier of the chain's last link.
 *
 * Verification models are static records: the numbers that turn a vector
 * of feature scores into one score, and a score into a decision.  A list
 * of models ends with a record whose verifier is none.
 */
#ifndef LUMETRA_ENGINE_MATCH_QX_VERIFIER_H
#define LUMETRA_ENGINE_MATCH_QX_VERIFIER_H

#include <stdint.h>

#include "engine/objects/qx_alignment.h"
#include "engine/objects/qx_session.h"
#include "engine/objects/qx_template.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct qx_vermodel qx_vermodel;

/* The six operations, in slot order. */
typedef int32_t (*qx_get_similarity_score_fn)(
    qx_session *session, qx_template *a, qx_template *b, int32_t far_index,
    uint16_t *score, int32_t *decision, qx_alignment **alignment,
    qx_template **updated, const qx_vermodel *models);
typedef int32_t (*qx_decision_from_score_fn)(
    qx_session *session, qx_template *tpl, const void *unused, uint16_t score,
    int32_t far_index, int32_t *decision, const qx_vermodel *models);
typedef int32_t (*qx_threshold_table_fn)(
    qx_session *session, int32_t sensor_type, int32_t sensor_size,
    const uint16_t **table, const qx_vermodel *models);
typedef int32_t (*qx_verify_templates_fn)(
    qx_session *session, qx_template **enrolled, int32_t count, qx_template *probe,
    int32_t far_index, int32_t *decision, qx_match **match, int32_t *index,
    const qx_vermodel *models);
/* The score vector is allocated by the operation and owned by the caller
 * afterwards (release it with qx_feature_scores_free). */
typedef int32_t (*qx_extract_feature_scores_fn)(
    qx_session *session, qx_template *a, qx_template *b, uint16_t **scores,
    uint8_t *count, qx_alignment **alignment);
typedef int32_t (*qx_verify_feature_scores_fn)(
    qx_session *session, qx_template *a, qx_template *b, const uint16_t *scores,
    uint8_t count, int32_t far_index, uint16_t *score, int32_t *decision,
    const qx_vermodel *models);

typedef struct qx_verifier_interface {
  qx_get_similarity_score_fn get_similarity_score;       /* slot 1 */
  qx_decision_from_score_fn decision_from_score;         /* slot 2 */
  qx_threshold_table_fn threshold_table;                 /* slot 3 */
  qx_verify_templates_fn verify_templates;               /* slot 4 */
  qx_extract_feature_scores_fn extract_feature_scores;   /* slot 5 */
  qx_verify_feature_scores_fn verify_feature_scores;     /* slot 6 */
} qx_verifier_interface;

/* The verifiers of the "ehm" family. */
extern const qx_verifier_interface cheetah_verifier;
extern const qx_verifier_interface ehm_verifier;
extern const qx_verifier_interface ehmhr_verifier;

/* The cheetah stage only pre-selects: these three always answer 1. */
int32_t qx_cheetah_decision_from_score(qx_session *session, qx_template *tpl,
                                       const void *unused, uint16_t score, int32_t far_index,
                                       int32_t *decision, const qx_vermodel *models);
int32_t qx_cheetah_threshold_table(qx_session *session, int32_t sensor_type,
                                   int32_t sensor_size, const uint16_t **table,
                                   const qx_vermodel *models);
int32_t qx_cheetah_verify_templates(qx_session *session, qx_template **enrolled,
                                    int32_t count, qx_template *probe, int32_t far_index,
                                    int32_t *decision, qx_match **match, int32_t *index,
                                    const qx_vermodel *models);

/* Frees a score vector made by an extract_feature_scores operation
 * (the vector is engine memory, qx_malloc). */
void qx_feature_scores_free(uint16_t *scores);

/* ---- Chains ------------------------------------------------------------ */

typedef struct qx_verifier_link qx_verifier_link;
typedef struct qx_verifier_chain qx_verifier_chain;

qx_verifier_link *qx_verifier_link_create(
    const qx_verifier_interface *feature_score_extractor,
    const qx_verifier_interface *combined_verifier, int32_t max_subtemplates_to_pass_on,
    int32_t pass_on_feature_scores, int32_t accept_far_shift, int32_t reject_far);
/* Frees a link that was never appended to a chain. */
void qx_verifier_link_delete(qx_verifier_link *link);
qx_verifier_link *qx_verifier_link_get_next(const qx_verifier_link *link);
qx_verifier_link *qx_verifier_link_get_prev(const qx_verifier_link *link);
const qx_verifier_interface *qx_verifier_link_get_feature_score_extractor(
    const qx_verifier_link *link);
const qx_verifier_interface *qx_verifier_link_get_combined_feature_score_verifier(
    const qx_verifier_link *link);
int32_t qx_verifier_link_get_max_nbr_of_subtemplates_to_pass_on(const qx_verifier_link *link);
int32_t qx_verifier_link_pass_on_feature_scores(const qx_verifier_link *link);
int32_t qx_verifier_link_get_accept_far_shift(const qx_verifier_link *link);
int32_t qx_verifier_link_get_reject_far(const qx_verifier_link *link);

qx_verifier_chain *qx_verifier_chain_create(void);
/* Appends at the tail; the chain owns the link from then on.  Does nothing
 * when either is absent or the link is already in a chain. */
void qx_verifier_chain_append_link(qx_verifier_chain *chain, qx_verifier_link *link);
qx_verifier_link *qx_verifier_chain_get_first_link(const qx_verifier_chain *chain);
qx_verifier_link *qx_verifier_chain_get_last_link(const qx_verifier_chain *chain);
int32_t qx_verifier_chain_get_nbr_of_links(const qx_verifier_chain *chain);
/* The combined verifier of the last link, or none. */
const qx_verifier_interface *qx_verifier_chain_get_main_verifier(const qx_verifier_chain *chain);
/* Frees the chain and its links (the verifiers are static). */
void qx_verifier_chain_delete(qx_verifier_chain *chain);

/* ---- Verification models ----------------------------------------------- */

/* One coefficient record per feature score (16 bytes). */
typedef struct qx_vermodel_coefficient {
  uint16_t lower;          /* clamp */
  uint16_t upper;          /* clamp */
  uint32_t mean;           /* 16.16 fixed point */
  uint32_t scale;
  int16_t weight;
  int16_t quadratic_weight; /* read only in quadratic models */
} qx_vermodel_coefficient;

enum {
  QX_THRESHOLD_ROWS = 7,    /* 1, 2, 3-4, 5-8, 9-16, 17-32, 33-64 subtemplates */
  QX_THRESHOLD_COLUMNS = 28 /* FAR index 0..27 */
};

struct qx_vermodel {
  const qx_verifier_interface *verifier; /* none ends a list */
  uint16_t key2;  /* 0 plain; 65000 multitemplate coherence */
  uint16_t key1;  /* number of feature scores */
  const qx_vermodel_coefficient *linear;
  const qx_vermodel_coefficient *quadratic;
  int32_t normalisation; /* 0, 1 or 2 */
  const uint16_t *thresholds; /* QX_THRESHOLD_ROWS x QX_THRESHOLD_COLUMNS */
};

/* The first record of the list with that verifier and keys, or none. */
const qx_vermodel *qx_verifierI_get_vermodel(const qx_vermodel *models,
                                            const qx_verifier_interface *verifier,
                                            uint16_t key1, uint16_t key2);

/* The list of a verifier call: the given one, else the list of the
 * algorithm registered in the session.  Returns QX_RC_OK, or
 * QX_RC_OBJECT_NOT_FOUND when there is no list and no algorithm. */
int32_t qx_verifier_models_of_call(const qx_session *session, const qx_vermodel *given,
                                   const qx_vermodel **models);

/* The decision of any verifier from a score: accept (1) when the threshold
 * of `verifier`'s table for nbr_subtemplates compared subtemplates at
 * far_index lies below the score (defined with the hybrid verifier's
 * score model, match/ehm_score_model.cpp).  The threshold
 * is interpolated between the table rows around nbr_subtemplates.
 * 0; 2 for sensor type or size 0 in the session, no decision output or an
 * index outside 0..27; 17 for a table whose last entry is 0; 1 when a
 * threshold needed is 65535 (missing); or the table operation's error.
 * The threshold output (none allowed) gets 65535 first, then the
 * threshold, capped at 65535. */
int32_t qx_verifier_decision_from_score(const qx_verifier_interface *verifier,
                                        qx_session *session, uint16_t score,
                                        int32_t nbr_subtemplates, int32_t far_index,
                                        int32_t *decision, uint16_t *threshold,
                                        const qx_vermodel *models);

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_ENGINE_MATCH_QX_VERIFIER_H */
