/*
 * Block statistics over a grid of brows x bcols blocks of B x B pixels
 * starting at the top-left corner (pixels beyond the last whole block are
 * ignored), and the smoothing of block values at the fingerprint's edge.
 */
#ifndef LUMETRA_ENGINE_IMAGE_BLOCK_OPS_H
#define LUMETRA_ENGINE_IMAGE_BLOCK_OPS_H

#include <stdint.h>

#include "engine/qx_rc.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Block means: sum / B^2, truncated. */
void bal_mean_blockwise_uint8(const uint8_t *pixels, int rows, int cols, int B, int brows, int bcols,
                              uint8_t *means);
/* Block variances around the given means, sampled on every second pixel
 * of every second row of the block, divided by d^2 with d = ceil(B / 2). */
void bal_var_blockwise_uint8(const uint8_t *pixels, int rows, int cols, const uint8_t *means, int B, int brows,
                             int bcols, uint16_t *variances);

/* Edge smoothing of block values (reads only input values; in == out is
 * allowed and then needs scratch memory): a fingerprint cell inside the
 * grid whose whole 3 x 3 neighbourhood is fingerprint keeps its value;
 * every other cell takes the truncated mean of the fingerprint cells of
 * its clipped 3 x 3 neighbourhood, or keeps its value when there is none.
 * mask: nonzero = fingerprint.  Returns QXI_OK, or QXI_NO_MEMORY. */
qxi_status bal_blur_fingerprint_edge_uint8(const uint8_t *values, const uint8_t *mask, int brows, int bcols,
                                           uint8_t *out);
qxi_status bal_blur_fingerprint_edge_uint16(const uint16_t *values, const uint8_t *mask, int brows, int bcols,
                                            uint16_t *out);

#ifdef __cplusplus
}
#endif

#endif
