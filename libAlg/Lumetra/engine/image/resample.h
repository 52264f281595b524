/*
 * Resampling of grey images and block-to-pixel interpolation.
 *
 * Status results are image-layer statuses: QXI_OK, QXI_NO_MEMORY or
 * QXI_OUT_OF_RANGE (a size that cannot be served).
 */
#ifndef LUMETRA_ENGINE_IMAGE_RESAMPLE_H
#define LUMETRA_ENGINE_IMAGE_RESAMPLE_H

#include <stdint.h>

#include "engine/qx_rc.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Resamples rows x cols into dst_rows x dst_cols: copy for the same size,
 * 2 x 2 means for exactly half, repeated halving while the target is less
 * than half the size, then 16.16 bilinear sampling. */
qxi_status bal_scale_bilinear(const uint8_t *src, int rows, int cols, uint8_t *dst, int dst_rows, int dst_cols);

/* Halving: 3 x 3 binomial smoothing (edges / 12, corners / 9), then the
 * mean of each 2 x 2 cell; output (rows / 2) x (cols / 2). */
qxi_status bal_scale_down_bilinear_2_uint8(const uint8_t *src, int rows, int cols, uint8_t *dst);

/* Block values to pixels: block (i, j) sits at pixel (i*B + B/2,
 * j*B + B/2); pixels between four centres are interpolated with truncating
 * division by B^2; pixels outside the lattice copy the nearest
 * interpolated row or column. */
qxi_status scale_up_bilinear_uint8(const uint8_t *blocks, int brows, int bcols, int B, uint8_t *out, int rows,
                                   int cols);
/* The same over the block grid surrounded by one block of `pad`. */
qxi_status scale_up_bilinear_pad_uint8(const uint8_t *blocks, int brows, int bcols, int B, uint8_t pad,
                                       uint8_t *out, int rows, int cols);
/* The same for byte angles, each step taking the shorter arc. */
qxi_status scale_up_bilinear_cyclic(const uint8_t *blocks, int brows, int bcols, int B, uint8_t *out, int rows,
                                    int cols);

#ifdef __cplusplus
}
#endif

#endif
