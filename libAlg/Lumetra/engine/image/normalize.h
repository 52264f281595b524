/*
 * Contrast normalisation.
 *
 * Both operations scale pixel deviations with a fixed-point gain in units
 * of 1/32: gain = 32 * target deviation / measured deviation.
 */
#ifndef LUMETRA_ENGINE_IMAGE_NORMALIZE_H
#define LUMETRA_ENGINE_IMAGE_NORMALIZE_H

#include <stdint.h>

#include "engine/qx_rc.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Gain (1/32 units) for target deviation squared `dev_sq` and variance
 * `variance`; 0 when the variance is 0. */
uint32_t bal_normalize_gain(uint32_t dev_sq, uint32_t variance);

/* Global: one gain from the histogram's variance; the output mean moves
 * half-way from the image mean toward `target_mean` (taken as a byte).
 * Returns the gain.  In place allowed. */
uint32_t bal_normalize_image_simple(const uint8_t *in, int rows, int cols, int target_mean, int target_dev,
                                    uint8_t *out);

/* Local: block by block inside the mask (nonzero = fingerprint) toward
 * `target_mean` and `target_dev`; background blocks become 255.  Pixels
 * outside the whole blocks are copied.  Returns QXI_OK, QXI_NO_MEMORY
 * (nothing written), QXI_OUT_OF_RANGE when the grid does not fit the image.  In place
 * allowed. */
qxi_status bal_normalize_locally(const uint8_t *in, int rows, int cols, const uint8_t *mask, int B, int brows,
                                 int bcols, int target_mean, int target_dev, uint8_t *out);

/* The per-pixel stage of the local operation, given the full-size image
 * of local means and the block variances. */
void bnl_normalize(const uint8_t *in, int rows, int cols, const uint8_t *mask, int B, int brows, int bcols,
                   int target_mean, int target_dev, const uint8_t *local_means, const uint16_t *variances,
                   uint8_t *out);

#ifdef __cplusplus
}
#endif

#endif
