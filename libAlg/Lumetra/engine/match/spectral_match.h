/*
 * spectral_match.h - the spectral block-field matcher and its quick match.
 *
 * A template's spectral part holds a grid of blocks, each with a ridge
 * orientation and a ridge-frequency value, optionally refined on a grid
 * three times finer.  qx_fusion_spectral_to_matcher turns that part into a
 * matcher feature set; qx_spectral_match searches the rotation and
 * translation that lay set A's field best onto set B's, scores the overlap
 * block by block and reports a score, sixteen auxiliary statistics and the
 * alignment found; qx_spectral_quick_match compares only orientation and
 * frequency histograms (the cheap pre-selection of the verifier chain).
 *
 * Matcher feature set (what the conversion writes and the matcher reads):
 *   0-1  0x5B 0xDA          2  version 2       3  block-size code (non-zero)
 *   4-5  resolution in dpi, big-endian (500)   6  cols      7  rows
 *   8    0                  9  check byte: the exclusive-or of all bytes
 *                              is 0 (no check when bytes 8 and 9 are 0)
 *   10.. rows x cols blocks of 2 bytes (orientation, frequency), row by row
 *   then the optional fine field, (3 rows) x (3 cols) blocks of 2 bytes
 *   last the optional quality byte
 * Accepted lengths: 10 + 2B, 11 + 2B, 10 + 20B, 11 + 20B (B = rows x cols).
 *
 * Units: block orientations take 256 steps per half turn of the ridge (the
 * doubled angle); rotations inside the search take 512 steps per full turn,
 * so that they add to orientations directly; the alignment reports 256
 * steps per turn (plain) and 65536 steps per turn (high precision).
 *
 * Feature sets and the spectral part are allocated with qx_malloc and
 * released with qx_free.  The library is used from one thread at a time.
 */
#ifndef LUMETRA_ENGINE_MATCH_SPECTRAL_MATCH_H
#define LUMETRA_ENGINE_MATCH_SPECTRAL_MATCH_H

#include <stdint.h>

#include "engine/qx_rc.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Search flags of qx_spectral_match. */
#define QX_SPECTRAL_AT_ALIGNMENT 0x01u  /* score only at the given alignment */
#define QX_SPECTRAL_SQUARE_CANVAS 0x02u /* rotated A grid in a square canvas */
#define QX_SPECTRAL_FULL_ROTATION 0x04u /* 24 coarse rotations, second good-enough table */
#define QX_SPECTRAL_AUX_VALUES 0x08u    /* report the sixteen auxiliary values */
#define QX_SPECTRAL_RAW_SCORE 0x10u     /* no quality normalisation of the score */
#define QX_SPECTRAL_WIDE_FINE 0x20u     /* fine grid searched two steps wide */
#define QX_SPECTRAL_SMALL_SENSOR 0x40u  /* never sample pairs in the coarse search */

#define QX_SPECTRAL_AUX_COUNT 16
/* What the caller presets in qx_spectral_result.count. */
#define QX_SPECTRAL_RESULT_COUNT 18
/* Status values the matcher writes into the result record. */
#define QX_SPECTRAL_STATUS_ACCEPTED 1 /* the record can take the auxiliary values */
#define QX_SPECTRAL_STATUS_WRITTEN 17 /* the auxiliary values are written */

/* Result record.  The caller presets `count` (values following the score,
 * the count itself included) to QX_SPECTRAL_RESULT_COUNT; the matcher
 * clears the rest, sets the status to 1 when the record is large enough for
 * the auxiliary values and to 17 when it has written them.  Auxiliary
 * values, over the overlapping block pairs at the final position (n pairs):
 *   0 n                      1 mean similarity        2 mean of so + sf
 *   3 isqrt(64 sum(|df||do|) / n)   4 isqrt(256 sum|do| / n)   5 isqrt(256 sum|df| / n)
 *   6 isqrt(65536 |EA - EB| / (EA + EB + 1)), 32-bin orientation entropies
 *   7 min(EA, EB)            8, 9 the same for 8-bin orientation histograms
 *   10 entropy of sf         11 entropy of so         12 entropy of similarity / 21
 *   13 mode of sf            14 mode of so            15 mode of similarity / 21
 * Entropies are in 1/4096 bit (see spectral_entropy in spectral_aux.cpp). */
typedef struct qx_spectral_result {
  uint16_t score;
  uint16_t count;
  uint16_t status;
  uint16_t aux[QX_SPECTRAL_AUX_COUNT];
} qx_spectral_result;

/* Alignment of A onto B: a point p of A lands at R(rotation) p + (dx, dy)
 * in B, x to the right and y downward, with R = (cos -sin; sin cos).
 * In: with QX_SPECTRAL_AT_ALIGNMENT, rotation, dx and dy give the one
 * position scored.  Out: rotation in 1/256 turn, dx and dy in pixels at
 * 500 dpi; prec_rotation in 1/65536 turn (0..65535), prec_dx and prec_dy in
 * 1/256 pixel; precise is set to 1 when the matcher has written them. */
typedef struct qx_spectral_alignment {
  uint8_t rotation;
  int16_t dx;
  int16_t dy;
  int32_t prec_rotation;
  int32_t prec_dx;
  int32_t prec_dy;
  int32_t precise;
} qx_spectral_alignment;

/* Converts a template's spectral part (short layout, or long layout with an
 * optional extension of type 1 or 2) into a matcher feature set.  With a
 * non-zero `quick` the fine field is left out.  With `features` null the
 * part is only checked, and offsets and grid size reported.  Any output
 * pointer may be null.  Returns 0; 1 bad layout or length; 4 long layout
 * with byte 1 non-zero; 5 length field beyond the input; 6 extension beyond
 * the input; 9 memory. */
qx_rc qx_fusion_spectral_to_matcher(const uint8_t *part, uint32_t length, uint8_t **features,
                                    uint32_t *features_length, int32_t *y_offset,
                                    int32_t *x_offset, int32_t *rows, int32_t *cols,
                                    int32_t quick);

/* Bytes of work area qx_spectral_match needs for these two sets and flags
 * (both canvases, at the fine resolution when both sets carry a fine
 * field, and the per-row extents); 0 when a set is malformed. */
uint32_t qx_spectral_match_required_mem(const uint8_t *features_a, uint32_t length_a,
                                        const uint8_t *features_b, uint32_t length_b,
                                        uint32_t flags);

/* Matches set A against set B.  `level` 0..12 chooses the good-enough score
 * that ends the search early (0: never); with a non-zero level the decision
 * is 1 when the score exceeds it, else 2 (0 with level 0).  `result`,
 * `decision` and `alignment` may be null.  Returns 0, or 1 for malformed
 * sets, a level above 12 or a work area smaller than needed. */
qx_rc qx_spectral_match(void *work, uint32_t work_size, const uint8_t *features_a,
                        uint32_t length_a, const uint8_t *features_b, uint32_t length_b,
                        int32_t level, qx_spectral_result *result, int32_t *decision,
                        qx_spectral_alignment *alignment, uint32_t flags);

/* Histogram comparison: values[0] = best cyclic overlap of the 12-bin
 * orientation histograms, values[1] = overlap of the 12-bin frequency
 * histograms (blocks with non-zero frequency).  Returns 0, or 1 for a
 * malformed set (both values 0). */
int qx_spectral_quick_match(const uint8_t *features_a, uint32_t length_a,
                            const uint8_t *features_b, uint32_t length_b, uint16_t values[2]);

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_ENGINE_MATCH_SPECTRAL_MATCH_H */
