/*
 * orientation_field.h - ridge orientation, reliability, per-pixel
 * orientation and quality images, and smoothing along the ridges.
 *
 * Orientation bytes hold the ridge orientation in 64 .. 191 (a half turn
 * of 128 steps): 128 for vertical ridges, 64 (or 192) for horizontal ones.
 * The optional doubled-angle field holds the doubled gradient angle phi
 * (256 steps per half turn of the ridge orientation): 0 for vertical
 * ridges, 128 for horizontal ones, and 0 for background blocks.
 */
#ifndef LUMETRA_ENGINE_IMAGE_ORIENTATION_FIELD_H
#define LUMETRA_ENGINE_IMAGE_ORIENTATION_FIELD_H

#include <stdint.h>

#include "engine/qx_rc.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Block orientation (64..191) and reliability (0..255) of every block of
 * the brows x bcols grid; `field` (optional) receives the doubled angle of
 * each fingerprint block before smoothing.  0 or 9. */
qxi_status ridge_orientations_scale(const uint8_t *pixels, int rows, int cols, const uint8_t *mask, uint8_t *orientation,
                                    uint8_t *reliability, int brows, int bcols, int B, uint8_t *field, int scale);

/* Orientation of every pixel, interpolated between block centres on the
 * doubled-angle circle.  0 or 9. */
qxi_status scale_up_orientation(const uint8_t *orientation, int brows, int bcols, int B, uint8_t *out, int rows,
                                int cols);

/* Quality image: 0 in background blocks, 1 .. 99 inside.  0 or 9. */
qxi_status bal_quality_from_reliability(const uint8_t *reliability, const uint8_t *mask, int brows, int bcols, int B,
                                        uint8_t *quality, int rows, int cols);

/* Median of 5 pixels / mean of 9 pixels along the ridge through each pixel;
 * a margin of 2 (median) or 3 (mean) pixels is left unwritten.  in may be
 * out.  0 or 9. */
qxi_status oriented_median(const uint8_t *in, int rows, int cols, const uint8_t *orientation, uint8_t *out);
qxi_status oriented_mean(const uint8_t *in, int rows, int cols, const uint8_t *orientation, uint8_t *out);

#ifdef __cplusplus
}
#endif

#endif
