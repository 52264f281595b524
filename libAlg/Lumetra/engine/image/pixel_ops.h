/*
 * Pixel operations over caller-owned row-major buffers: 3 x 3 filters,
 * two-level morphology, histograms, contrast stretch, Sobel gradients and
 * small copy helpers.
 *
 * Neighbourhoods are clipped at the border: an edge element sees 6
 * elements, a corner element 4.  Where a function returns a status it is
 * an image-layer status (QXI_OK, or QXI_NO_MEMORY for scratch memory).  Filters
 * marked "in place allowed" read only input values, so in == out is fine.
 */
#ifndef LUMETRA_ENGINE_IMAGE_PIXEL_OPS_H
#define LUMETRA_ENGINE_IMAGE_PIXEL_OPS_H

#include <stdint.h>

#include "engine/qx_rc.h"

#ifdef __cplusplus
extern "C" {
#endif

/* 3 x 3 mean: interior sum / 9, edge sum / 6, corner sum / 4 (signed
 * members truncate toward zero).  In place allowed. */
qxi_status bal_blur_uint8(const uint8_t *in, int rows, int cols, uint8_t *out);
qxi_status bal_blur_uint16(const uint16_t *in, int rows, int cols, uint16_t *out);
qxi_status bal_blur_int16(const int16_t *in, int rows, int cols, int16_t *out);

/* 3 x 3 binomial (1 2 1 / 2 4 2 / 1 2 1): interior / 16, edge / 12,
 * corner / 9.  In place allowed. */
qxi_status bal_blur_weighted_uint8(const uint8_t *in, int rows, int cols, uint8_t *out);
qxi_status bal_blur_weighted_int8(const int8_t *in, int rows, int cols, int8_t *out);
qxi_status bal_blur_weighted_uint16(const uint16_t *in, int rows, int cols, uint16_t *out);
/* `in` holds samples on the even rows and columns; the elements between
 * them are filled with the mean of their sample neighbours (2 or 4), then
 * the whole grid is smoothed with the binomial kernel.  In place allowed. */
qxi_status bal_blur_weighted_int8_upsample(const int8_t *in, int rows, int cols, int8_t *out);

/* 3 x 3 median; with an even neighbourhood (edges, corners) the truncated
 * mean of the two middle values.  One-row or one-column pictures are
 * copied.  In place allowed. */
qxi_status bal_median_uint8(const uint8_t *in, int rows, int cols, uint8_t *out);

/* Two-level morphology on 0/1 bytes.  In place allowed. */
qxi_status bal_erode(const uint8_t *in, int rows, int cols, uint8_t *out);
qxi_status bal_dilate(const uint8_t *in, int rows, int cols, uint8_t *out);
qxi_status bal_open(const uint8_t *in, int rows, int cols, uint8_t *out);
/* Interior elements only: an isolated set element is cleared, a clear
 * element surrounded by set ones is set.  Decisions from the input. */
qxi_status bal_binarize_remove_holes(const uint8_t *in, int rows, int cols, uint8_t *out);
/* Majority: interior set when more than 4 of 9 are set, edge when more
 * than 4 of 6, corner only when all 4.  Decisions from the input. */
qxi_status bal_binarize_blur(const uint8_t *in, int rows, int cols, uint8_t *out);

/* 256-bin histogram of all pixels. */
void bal_image_histogram(const uint8_t *pixels, int rows, int cols, uint32_t hist[256]);
/* Histogram of p >> (8 - bits) into 2^bits bins (bits 1..8). */
void bal_image_histogram_n(const uint8_t *pixels, int rows, int cols, int bits, uint32_t *hist);
/* (sum of i * h[i]) / n as a byte; 0 when n is 0. */
uint8_t bal_hist_mean(const uint32_t hist[256], uint32_t n);
/* (sum of (i - mean)^2 * h[i]) / n, 32-bit sums; 0 when n is 0. */
uint32_t bal_hist_var(const uint32_t hist[256], uint8_t mean, uint32_t n);
/* Clips the darkest and brightest `percent` of the pixels and spreads the
 * rest over 0..255; does nothing for percent > 99.  In place allowed. */
void bal_stretch(const uint8_t *in, int rows, int cols, int percent, uint8_t *out);

/* Sobel gradients / 8, truncated toward zero, border pixels 0. */
void sobel_2(const uint8_t *pixels, int rows, int cols, int8_t *gx, int8_t *gy);
/* One component, stored as its unsigned byte pattern. */
void sobel_horizontal(const uint8_t *pixels, int rows, int cols, uint8_t *gx);
void sobel_vertical(const uint8_t *pixels, int rows, int cols, uint8_t *gy);

/* Copies the dst_rows x dst_cols window whose top-left corner lies at
 * (row0, col0) of the source (may be negative or beyond the source);
 * destination pixels outside the source are not written. */
void bal_crop_image(const uint8_t *src, int rows, int cols, uint8_t *dst, int dst_rows, int dst_cols,
                    int row0, int col0);
/* Fills row_ptrs[r] = pixels + r * cols for every row. */
void bal_images_1D_to_2D(uint8_t *pixels, int rows, int cols, uint8_t **row_ptrs);
/* Extra bytes needed for the image to grow to whole blocks of B:
 * B^2 * ((cols + 8/scale) / B) * ((rows + 8/scale) / B) - rows * cols,
 * or 0 when that is not positive. */
uint32_t bal_image_pad_bytes(int rows, int cols, int B, int scale);

#ifdef __cplusplus
}
#endif

#endif
