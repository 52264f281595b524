/*
 * deband.h - removal of row and column banding from a grey image.
 *
 * A sensor read out line by line can add a small offset to whole rows or
 * columns.  The offset shows in the line sums as a jagged profile: the
 * second difference of the sums.  These functions fit one coefficient
 * that explains the sums by their own second difference (least squares,
 * in 64-bit integers), and subtract the fitted share from every pixel of
 * each line, clamped to 0 .. 255.  A profile without any second
 * difference (Q = 0) leaves the image unchanged.
 *
 * Both work in place and return an image-layer status: QXI_OK, or QXI_NO_MEMORY when the
 * scratch buffer cannot be allocated (the image is then unchanged).
 */
#ifndef LUMETRA_ENGINE_IMAGE_DEBAND_H
#define LUMETRA_ENGINE_IMAGE_DEBAND_H

#include <stdint.h>

#include "engine/qx_rc.h"

#ifdef __cplusplus
extern "C" {
#endif

qxi_status bal_image_denoise_rows(uint8_t *pixels, int rows, int cols);
qxi_status bal_image_denoise_columns(uint8_t *pixels, int rows, int cols);

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_ENGINE_IMAGE_DEBAND_H */
