/*
 * chain_walk.h - verification of a probe against several enrolled
 * templates by walking a verifier chain.
 *
 * Each enrolled template offers a list of candidates (its main-island
 * subtemplates).  Every link of the chain scores the candidates of the
 * templates still open with its feature-score extractor and its combined
 * verifier, combines the best two candidate scores into a template score
 * and asks the combined verifier for a decision on the enrolled template.
 * The first acceptance ends the walk.  A template that no candidate got
 * accepted is either closed (rejected at the link's reject FAR index) or
 * keeps only its best candidates (the link's pass-on count) for the next
 * link; before the next link the open templates are ordered by their best
 * candidate score.  On a template with many candidates (more than 15) the
 * coherence verifier gets a second say when no single candidate accepts.
 *
 * A coherence state belongs to the link that filled it: at a link whose
 * combined verifier has no coherence model the template walks without
 * one.  With FAR index 28 (score report) the coherence stage does not
 * decide.
 *
 * The walk is written against the verifier interface only: templates,
 * candidates and alignments are borrowed from the caller, which reads
 * them out of the enrolled multi-templates.
 */
#ifndef LUMETRA_ENGINE_OBJECTS_CHAIN_WALK_H
#define LUMETRA_ENGINE_OBJECTS_CHAIN_WALK_H

#include <stdint.h>

#include "engine/match/qx_verifier.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
  QX_FAR_INDEX_SCORE_ONLY = 28,  /* the walk reports the template score */
  QX_MTCOHER_MIN_CANDIDATES = 16 /* the coherence verifier needs this many */
};

typedef struct qx_walk_candidate {
  qx_template *subtemplate;               /* compared with the probe as template A */
  const qx_alignment *island_alignment;   /* to its island's top; none = identity */
  int32_t island;                         /* island number, 255 = none */
  int32_t subtemplate_index;              /* reported on acceptance */
} qx_walk_candidate;

typedef struct qx_walk_enrolled {
  qx_template *enrolled;                  /* handed to the decisions; none: skipped */
  const qx_walk_candidate *candidates;
  int32_t nbr_candidates;                 /* also the n of the score combination */
} qx_walk_enrolled;

typedef struct qx_walk_result {
  int32_t decision;           /* 1 accepted; with FAR index 28 and one template: its score */
  qx_alignment *alignment;    /* new, owned by the caller; the probe in the island frame */
  int32_t template_index;     /* -1 without acceptance */
  int32_t subtemplate_index;  /* -1 without acceptance */
  uint16_t score;             /* template score of the accepted template, else 0 */
} qx_walk_result;

/* Walks the chain.  The result starts as decision 0, no alignment and
 * indexes -1.  Returns 0, 2 for missing arguments or a FAR index outside
 * 0..28, 9 without memory, or the code of a failing feature-score
 * extraction or combination (which ends the walk).  Decisions that answer
 * an error count as no acceptance and as no rejection. */
int32_t qx_verifier_chain_walk(const qx_walk_enrolled *enrolled, int32_t count,
                               const qx_verifier_chain *chain, qx_session *session,
                               qx_template *probe, int32_t far_index,
                               const qx_vermodel *models, qx_walk_result *result);

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_ENGINE_OBJECTS_CHAIN_WALK_H */
