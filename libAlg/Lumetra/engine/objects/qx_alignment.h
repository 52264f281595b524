/*
 * qx_alignment.h - the rigid alignment between two captures, and the match
 * object that records one comparison.
 *
 * An alignment is a rotation r (8-bit, 256 steps per turn, read as signed
 * where its size counts) followed by a translation (dx, dy) in pixels at
 * 500 dpi.  It also carries high-precision values with 8 fractional bits;
 * every operation here sets them to the plain values x 256, except
 * qx_alignment_create_prec, which takes them as given.  Rotations use the
 * Q14 byte-angle cosine and sine of the image layer; ">>" is an arithmetic
 * shift.
 */
#ifndef LUMETRA_ENGINE_OBJECTS_QX_ALIGNMENT_H
#define LUMETRA_ENGINE_OBJECTS_QX_ALIGNMENT_H

#include <stdint.h>

#include "engine/objects/qx_template.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct qx_alignment qx_alignment;
typedef struct qx_match qx_match;

qx_alignment *qx_alignment_create(int16_t dx, int16_t dy, uint8_t rotation);
qx_alignment *qx_alignment_create_identity(void);
qx_alignment *qx_alignment_create_prec(int16_t dx, int16_t dy, uint8_t rotation,
                                       int32_t prec_dx, int32_t prec_dy, int32_t prec_rotation);
qx_alignment *qx_alignment_copy(const qx_alignment *alignment);
qx_alignment *qx_alignment_retain(qx_alignment *alignment);
void qx_alignment_delete(qx_alignment *alignment);
int32_t qx_alignment_get_num_refs(const qx_alignment *alignment);

int16_t qx_alignment_get_dx(const qx_alignment *alignment);
int16_t qx_alignment_get_dy(const qx_alignment *alignment);
uint8_t qx_alignment_get_rotation(const qx_alignment *alignment);
int32_t qx_alignment_get_prec_dx(const qx_alignment *alignment);
int32_t qx_alignment_get_prec_dy(const qx_alignment *alignment);
int32_t qx_alignment_get_prec_rotation(const qx_alignment *alignment);

/* x' = ((x cos r - y sin r) >> 14) + dx, y' = ((x sin r + y cos r) >> 14) + dy. */
void qx_alignment_transform_point(const qx_alignment *alignment, int32_t x, int32_t y,
                                  int32_t *out_x, int32_t *out_y);
/* The inverse mapping, rounded: with c = cos(-r), s = sin(-r),
 * x' = ((x c - y s + 8192) >> 14) - ((dx c - dy s) >> 14),
 * y' = ((x s + y c + 8192) >> 14) - ((dx s + dy c) >> 14). */
void qx_alignment_transform_point_inverse(const qx_alignment *alignment, int32_t x, int32_t y,
                                          int32_t *out_x, int32_t *out_y);
/* New alignment: dx' = -((dx c - dy s) >> 14), dy' = -((dy c + dx s) >> 14),
 * r' = -r. */
qx_alignment *qx_alignment_inverse(const qx_alignment *alignment);
/* New alignment: a first, then b. */
qx_alignment *qx_alignment_combine(const qx_alignment *a, const qx_alignment *b);
/* New alignment: the inverse of b first, then a. */
qx_alignment *qx_alignment_difference(const qx_alignment *a, const qx_alignment *b);
/* Extremes of the inverse transforms of the rectangle's four corners. */
void qx_alignment_get_rectangle_extremes(const qx_alignment *alignment, int32_t width,
                                         int32_t height, int32_t *min_x, int32_t *max_x,
                                         int32_t *min_y, int32_t *max_y);
/* 1 when |rotation| <= angle and dx^2 + dy^2 <= distance^2. */
int32_t qx_alignment_within_limits_single(const qx_alignment *alignment, int32_t distance,
                                          int32_t angle);

/* A match of template 1 against template 2 (both retained), with its
 * score, decision (1 = accept) and alignment (retained, may be absent). */
qx_match *qx_match_create(qx_template *template1, qx_template *template2, uint16_t score,
                          int32_t decision, qx_alignment *alignment);
/* The match of template 2 against template 1, with the inverse alignment. */
qx_match *qx_match_create_inverse(const qx_match *match);
qx_match *qx_match_retain(qx_match *match);
void qx_match_delete(qx_match *match);
int32_t qx_match_get_num_refs(const qx_match *match);
qx_template *qx_match_get_template1(const qx_match *match);
qx_template *qx_match_get_template2(const qx_match *match);
uint16_t qx_match_get_score(const qx_match *match);
int32_t qx_match_get_decision(const qx_match *match);
qx_alignment *qx_match_get_alignment(const qx_match *match);

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_ENGINE_OBJECTS_QX_ALIGNMENT_H */
