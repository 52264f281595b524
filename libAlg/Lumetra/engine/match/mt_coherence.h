/*
 * mt_coherence.h - the multi-template coherence verifier.
 *
 * When a probe is compared with the many subtemplates of one enrolled
 * multi-template and no single subtemplate accepts it, the probe may still
 * belong to the finger if several subtemplates of the same island placed
 * it at the same spot of the island.  The coherence state collects, for
 * every candidate subtemplate, where the probe landed in the island's
 * frame; the feature scores measure how the probe's footprint placed
 * through the best candidate overlaps the other candidates' areas and
 * footprints; a model of its own (24 scores, keys (24, 65000)) turns them
 * into a score and a decision.
 *
 * Footprints are the probe's image rectangle at 500 dpi; overlaps are in
 * percent of the footprint (units of rows x cols / 100, integer division).
 *
 * Feature scores for entry n (the best candidate); "others" are the
 * filled entries i != n, "score" is the link score / 10:
 *   0      score of n
 *   1, 2   1 when coherent others exist, their number k
 *   3 - 6  means over the coherent others of O, G, score, G x score / 100
 *          (each term truncated, then the sum divided by k)
 *   7      highest score among all others, whatever their island
 *   8-11   (score, O, G, T) of the same-island other with the highest score
 *   12-15  the same for the highest O, 16-19 highest G, 20-23 lowest T
 * with, for an other i of n's island, Sx the rectangle placed by x's
 * island alignment, Px the probe placed through x and In = Sn ^ Pn:
 *   O = area(Si ^ Pn), coherent when O > 20;
 *   G = area(Pi ^ Pn) when coherent, else 0;
 *   T = area(Si ^ Pn ^ In) when coherent and In has more than two
 *       corners, else 333.
 * Extremes are taken with strict comparisons in entry order, so the first
 * entry reaching an extreme is kept; the first same-island other is always
 * taken as the start.
 */
#ifndef LUMETRA_ENGINE_MATCH_MT_COHERENCE_H
#define LUMETRA_ENGINE_MATCH_MT_COHERENCE_H

#include <stdint.h>

#include "engine/match/qx_verifier.h"
#include "engine/objects/qx_alignment.h"
#include "engine/objects/qx_session.h"
#include "engine/objects/qx_template.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
  QX_MTCOHER_NBR_SCORES = 24,
  QX_MTCOHER_MODEL_KEY = 65000,
  QX_MTCOHER_COHERENT_OVERLAP = 20, /* an other is coherent above this percentage */
  QX_MTCOHER_NO_OVERLAP = 333,      /* T when there is nothing to measure */
  QX_MTCOHER_DEFAULT_SIZE = 192     /* footprint side without a dimension block */
};

typedef struct qx_mtcoher qx_mtcoher;

/* The verifier table of the coherence model: only its threshold slot
 * (qx_mtcoher_threshold_table) is offered; the other slots are absent. */
extern const qx_verifier_interface qx_mtcoher_verifier;

/* 1 when the list (none: the session algorithm's) has a record of this
 * verifier with keys (24, 65000), a quadratic model and a threshold table,
 * and the island number is not 255; else 0. */
int32_t qx_mtcoher_supported(const qx_session *session, const qx_verifier_interface *verifier,
                             const qx_vermodel *models, int32_t island);

/* A state of `nbr_entries` empty entries, or none when there is no such
 * model or memory runs out. */
qx_mtcoher *qx_mtcoher_create(const qx_session *session, int32_t nbr_entries,
                              const qx_verifier_interface *verifier, const qx_vermodel *models);
void qx_mtcoher_delete(qx_mtcoher *state);
int32_t qx_mtcoher_get_nbr_of_entries(const qx_mtcoher *state);
/* The coherence model as a list of one record (then the end record). */
const qx_vermodel *qx_mtcoher_get_model_list(const qx_mtcoher *state);

/* Enters candidate `index`: its alignment to its island top (retained),
 * the probe's placement in the island frame (the island alignment first,
 * then the match alignment), its link score / 10 and its island number.
 * Ignored when the index is not an entry.  An absent alignment counts as
 * the identity.  Returns 0, or 9 when the placement cannot be made (the
 * entry then stays empty). */
int32_t qx_mtcoher_fill_data(qx_mtcoher *state, int32_t index,
                             const qx_alignment *island_alignment,
                             const qx_alignment *match_alignment, uint16_t link_score,
                             int32_t island);

/* The footprint of a probe: rows and cols from its image-dimension block,
 * 192 x 192 without one; for a spectral template the grid times its block
 * size. */
void qx_mtcoher_probe_size(const qx_template *probe, int32_t *rows, int32_t *cols);

/* The 24 feature scores for entry n, in a new buffer (qx_free).  2 for a
 * missing argument or an entry that is not filled, 9 without memory. */
int32_t qx_mtcoher_get_feature_scores(const qx_mtcoher *state, const qx_template *probe,
                                      uint16_t **scores, int32_t entry);

/* Threshold table of the first record of the list; 18 without a list or
 * table.  The two middle arguments are not read. */
int32_t qx_mtcoher_threshold_table(qx_session *session, int32_t sensor_type,
                                   int32_t sensor_size, const uint16_t **table,
                                   const qx_vermodel *models);

/* Scores entry n with the coherence model and decides at the FAR index
 * with the number of entries as the number of subtemplates. */
int32_t qx_mtcoher_verify_template(qx_session *session, const qx_mtcoher *state,
                                   const qx_template *probe, int32_t entry, int32_t far_index,
                                   int32_t *decision);

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_ENGINE_MATCH_MT_COHERENCE_H */
