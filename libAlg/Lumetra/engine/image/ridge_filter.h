/*
 * ridge_filter.h - contextual band-pass filtering of the ridges and the
 * binarisation of the filtered image into ridge and valley pictures.
 *
 * Each pixel is filtered with the mask of its class: sector of its ridge
 * orientation, wavelength class and quality level.  Filtered values are
 * signed bytes (the filtered p - 128), 0 where no tile was filtered.
 * Black-and-white pictures: 0 black, 1 white.
 */
#ifndef LUMETRA_ENGINE_IMAGE_RIDGE_FILTER_H
#define LUMETRA_ENGINE_IMAGE_RIDGE_FILTER_H

#include <stdint.h>

#include "engine/qx_rc.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Filter class 0..527 of a pixel. */
int bal_filter_class(uint8_t orientation, uint8_t wavelength, uint8_t quality);

/* 16 x 16 tiles in 32 x 32 windows, 32-point transforms.  0 or 9. */
qxi_status bal_gabor_filter_32(const uint8_t *pixels, int rows, int cols, const uint8_t *wavelength,
                               const uint8_t *orientation, const uint8_t *mask, const uint8_t *quality, int brows, int bcols,
                               int B, int8_t *out);

/* 8 x 8 sample tiles in 16 x 16 windows, 16-point transforms; step 2 works
 * on every second pixel of a smoothed copy and fills the rest.  0 or 9. */
qxi_status bal_gabor_filter_16(const uint8_t *pixels, int rows, int cols, const uint8_t *wavelength,
                               const uint8_t *orientation, const uint8_t *mask, const uint8_t *quality, int brows, int bcols,
                               int B, int8_t *out, int step);

/* Local threshold per block at `percent` of its histogram, smoothed over
 * the block grid; ridge picture black below it, valley picture black
 * otherwise, both white outside the fingerprint.  Returns QXI_OK
 * (QXI_NO_MEMORY). */
qxi_status bal_binarize_local_histogram_threshold(const int8_t *filtered, const uint8_t *quality, int rows, int cols,
                                                  const uint8_t *mask, int B, int percent, uint8_t *ridge,
                                                  uint8_t *valley);

void bal_binarize_remove_edges(uint8_t *ridge, uint8_t *valley, int rows, int cols, int left, int right, int top,
                               int bottom);

void bal_binarize_remove_dots(uint8_t *ridge, uint8_t *valley, const uint8_t *quality, int rows, int cols);

#ifdef __cplusplus
}
#endif

#endif
