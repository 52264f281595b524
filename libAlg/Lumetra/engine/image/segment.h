/*
 * Foreground segmentation: which blocks of an image show finger.
 *
 * The result is a block mask, one byte per block, 1 = fingerprint,
 * 0 = background, cleaned up into one solid region without holes.
 */
#ifndef LUMETRA_ENGINE_IMAGE_SEGMENT_H
#define LUMETRA_ENGINE_IMAGE_SEGMENT_H

#include <stdint.h>

#include "engine/qx_rc.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Block mask of a rows x cols image with rows = brows * B, cols = bcols * B
 * (B = 12 at scale 1 / 500 dpi, 6 at scale 2 / 250 dpi).  Returns QXI_OK,
 * QXI_OUT_OF_RANGE when the grid does not match the image or the scale is
 * not 1 or 2 (mask untouched), QXI_NO_MEMORY. */
qxi_status bal_segment_image_scale(const uint8_t *pixels, int rows, int cols, int brows, int bcols, int B,
                                   uint8_t *mask, int scale);
qxi_status bal_segment_image(const uint8_t *pixels, int rows, int cols, int brows, int bcols, int B, uint8_t *mask);

/* Iterative two-class threshold of byte values, weighted toward the dark
 * class, starting at `start`. */
uint8_t bal_find_opt_threshold(const uint8_t *values, int rows, int cols, int start);

/* Cleans a raw block mask in place: isolated blocks, ragged border
 * blocks, all but the largest region, enclosed holes and bays, opening and
 * majority smoothing.  Returns QXI_OK or QXI_NO_MEMORY (mask untouched). */
qxi_status bal_filter_segmented(uint8_t *mask, int brows, int bcols);

/* Centre of gravity of the mask's 1-blocks in pixels; (rows/2, cols/2)
 * when the mask is empty. */
void bal_segmentation_center(const uint8_t *mask, int brows, int bcols, int B, int rows, int cols,
                             int *centre_row, int *centre_col);

#ifdef __cplusplus
}
#endif

#endif
