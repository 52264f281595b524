/*
 * linked_cluster_stages.h - the stages of the linked-cluster matcher, for
 * the matcher itself, its tests and its debugging tool: reading a card,
 * marking close pairs, neighbourhoods, the cluster match with seed and
 * growth, the geometry and score, and the direction re-estimation.
 */
#ifndef LUMETRA_ENGINE_MATCH_LINKED_CLUSTER_STAGES_H
#define LUMETRA_ENGINE_MATCH_LINKED_CLUSTER_STAGES_H

#include <stdint.h>

#include "engine/match/linked_cluster.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A minutia as the matcher holds it. */
typedef struct lc_minutia {
  uint8_t x;       /* card units */
  uint8_t y;       /* card units, downwards */
  uint8_t angle;   /* 1/256 turn: the card's 6-bit angle x 4 */
  uint8_t quality; /* the proprietary quality byte, or LC_NO_QUALITY */
} lc_minutia;

#define LC_UNMARKED 255

/* Squared-distance range of neighbours: (30, 12209]. */
#define LC_NEIGHBOUR_D2_MIN 30
#define LC_NEIGHBOUR_D2_MAX 12209

/* Reads the minutiae of a compact card: at most 128 read, duplicates (same
 * x and y as an earlier one) removed, and when more than `limit` (1..128)
 * remain, the reduction to `limit` by the x window, the y limit and the
 * close-pair marks.  `out` holds `limit` entries.  0, or LC_ERR_NO_MINUTIAE
 * when the card has no minutiae object, its length is not a multiple of 3,
 * or its quality block has the wrong length. */
int lc_prune(const uint8_t *card, uint32_t length, int limit, lc_minutia *out, int *count,
             int *quality_present);

/* Marks minutiae that form close pairs (nearly opposite ones across a short
 * gap, or nearly parallel ones closer than 8 units): marks[i] is the
 * smallest mark given to minutia i, LC_UNMARKED when none. */
void lc_find_minutiae_pairs(const lc_minutia *m, int n, uint8_t *marks);

/* Neighbours of minutia c: the others with squared distance in (30, 12209];
 * when more than 24 qualify, the nearest are kept (of equally far ones, the
 * lower indexes).  Writes their indexes in increasing order; returns their
 * number. */
int lc_select_neighbours(const lc_minutia *m, int n, int c, uint8_t *indexes);

/* One neighbour as the cluster match compares it. */
typedef struct lc_neighbour {
  uint8_t reldir;   /* minutia angle minus the direction to the neighbour */
  uint8_t relangle; /* minutia angle minus the neighbour's angle */
  uint8_t distance; /* integer square root of the squared distance */
  uint8_t index;    /* the neighbour's index */
} lc_neighbour;

/* Direction from one minutia to another (1/256 turn, counter-clockwise
 * with y up): atan2_ of (from.y - to.y, to.x - from.x). */
int lc_direction(const lc_minutia *from, const lc_minutia *to);

/* One card as the cluster match sees it: minutiae and, per minutia, its
 * neighbours sorted by relative direction, once as a list and once as
 * three columns of LC_LANES bytes (the unused lanes hold a distance that
 * never agrees), so that one probe neighbour is compared with all of an
 * enrolled minutia's neighbours at once. */
#define LC_LANES 32
typedef struct lc_side {
  int count;
  int quality_present;
  lc_minutia minutiae[LC_MAX_MINUTIAE];
  uint8_t neighbour_count[LC_MAX_MINUTIAE];
  lc_neighbour neighbours[LC_MAX_MINUTIAE][LC_MAX_NEIGHBOURS];
  uint8_t lane_reldir[LC_MAX_MINUTIAE][LC_LANES];
  uint8_t lane_relangle[LC_MAX_MINUTIAE][LC_LANES];
  uint8_t lane_distance[LC_MAX_MINUTIAE][LC_LANES];
} lc_side;

/* Fills a side from minutiae (at most 64), computing the neighbourhoods. */
void lc_side_from_minutiae(lc_side *side, const lc_minutia *m, int n, int quality_present);

/* Fills the enrolled side from an enrolled structure: 0, or
 * LC_ERR_STRUCTURE when its count exceeds 64 or a record's neighbour count
 * differs from its set, exceeds 24, or names the minutia itself or an index
 * beyond the count. */
int lc_side_from_enrolled(lc_side *side, const uint8_t *enrolled);

/* The match state (it lives in the caller's work object). */
typedef struct lc_match_state {
  uint8_t partner[LC_MAX_MINUTIAE];         /* best enrolled partner, 255 none */
  uint8_t agree[LC_MAX_MINUTIAE];           /* its number of agreeing neighbours */
  uint8_t first_candidate[LC_MAX_MINUTIAE]; /* handed over by earlier links, 255 none */
  uint8_t link_count[LC_MAX_MINUTIAE];
  uint16_t link_start[LC_MAX_MINUTIAE];
  uint8_t link_probe[LC_MAX_LINKS];    /* probe neighbour of each link */
  uint8_t link_enrolled[LC_MAX_LINKS]; /* enrolled neighbour of each link */
  uint16_t links_used;
  uint8_t rotation;  /* running rotation estimate */
  uint8_t tolerance; /* running rotation tolerance */
  int32_t rotation_sum_c, rotation_sum_s, rotation_pairs;
  uint8_t pair_probe[LC_MAX_MINUTIAE];
  uint8_t pair_enrolled[LC_MAX_MINUTIAE];
  int32_t pairs;
  int32_t links; /* links followed during growth */
} lc_match_state;

/* Geometry of one side. */
typedef struct lc_geometry {
  int32_t width, height; /* bounding box of all minutiae */
  int32_t inside;        /* minutiae inside the box of the paired ones */
  int32_t low_quality;   /* low-quality or doubtful minutiae */
} lc_geometry;

/* Counts of one side given which of its minutiae are paired. */
void lc_compute_geometrics(const lc_minutia *m, int n, const uint8_t *paired, lc_geometry *g);

/* What one cluster match found. */
typedef struct lc_outcome {
  uint16_t score;
  int32_t pairs;
  int32_t links;
  lc_geometry enrolled, probe;
  uint16_t aux[8];
  uint8_t rotation; /* direction of the summed angle differences */
} lc_outcome;

/* Runs the cluster match of `probe` against `enrolled` with the initial
 * rotation tolerance (32 or 128); the pairs are left in `state`.  Returns
 * the score. */
uint16_t lc_match(const lc_side *enrolled, const lc_side *probe, int initial_tolerance,
                  lc_match_state *state, lc_outcome *out);

/* Recomputes the minutiae directions from the orientations of the
 * minutiae around them (see the definition for the details). */
void lc_reestimate_directions(lc_minutia *m, int n);

/* Alignment of the pairs in `state` (enrolled onto probe). */
void lc_alignment_of_pairs(const lc_side *enrolled, const lc_side *probe,
                           const lc_match_state *state, lc_alignment *out);

#ifdef __cplusplus
}
#endif

#endif
