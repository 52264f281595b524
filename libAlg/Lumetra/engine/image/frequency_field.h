/*
 * frequency_field.h - ridge wavelength per block from the power spectrum
 * of a tapered window, and its cleanup into whole pixels.
 *
 * Wavelengths are unsigned 16-bit in 1/256 of a full-resolution pixel
 * (0 = none) while being computed; the optional frequency field holds
 * 1024 / wavelength as a byte (0 = none), and the optional orientation
 * field the doubled angle of the spectral peak (see orientation_field.h).
 */
#ifndef LUMETRA_ENGINE_IMAGE_FREQUENCY_FIELD_H
#define LUMETRA_ENGINE_IMAGE_FREQUENCY_FIELD_H

#include <stdint.h>

#include "engine/qx_rc.h"

#ifdef __cplusplus
extern "C" {
#endif

/* 32 x 32 windows around each B x B block of a 500 dpi image.  `longest`
 * and `shortest` are the accepted wavelengths in pixels (18 and 5 in the
 * extractor).  freq_field and orient_field may be NULL.  0 or 9. */
qxi_status ridge_wavelengths_fft(const uint8_t *pixels, int rows, int cols, int B, int longest, int shortest, int brows,
                                 int bcols, uint16_t *wavelengths, uint8_t *freq_field, uint8_t *orient_field);

/* The same, computing only the blocks (br, bc) whose mask entry
 * mask[(br / mask_div) * mask_cols + bc / mask_div] is set; the others get
 * 0 in all three outputs.  mask NULL computes every block. */
qxi_status ridge_wavelengths_fft_in_mask(const uint8_t *pixels, int rows, int cols, int B, int longest, int shortest,
                                         int brows, int bcols, uint16_t *wavelengths, uint8_t *freq_field,
                                         uint8_t *orient_field, const uint8_t *mask, int mask_cols, int mask_div);

/* 16 x 16 windows on an image at half the resolution (one sample = two
 * full-resolution pixels); results in full-resolution units. */
qxi_status ridge_wavelengths_fft16(const uint8_t *pixels, int rows, int cols, int B, int longest, int shortest,
                                   int brows, int bcols, uint16_t *wavelengths, uint8_t *freq_field,
                                   uint8_t *orient_field);

/* Sub-bin position (1/4096 bin) of the peak at (u, v) of a 32-point power
 * half spectrum (32 x 17): 0, or 1 when its 3 x 3 neighbourhood is empty. */
int ridge_peak_position32(const uint32_t *power, int u, int v, int64_t *U, int64_t *V, int64_t *S9);
/* Wavelength in 1/256 pixel (0 when at most ~1.68 cycles per window) and
 * doubled angle of a refined peak. */
int ridge_peak_wavelength32(int64_t U, int64_t V, int *angle);

/* Power spectrum (re^2 + im^2) >> 10 of a 16 x 16 real block, 16 x 9 bins. */
void fftn2d8rw_spectrum16(const int32_t *block, uint32_t *power, int32_t *scratch);

/* Median-like filter of the known cells with their known 4-neighbours. */
qxi_status filter_wavelengths(uint16_t *wavelengths, int brows, int bcols);

/* Filter twice, fill the unknown cells, smooth, and round to whole pixels. */
qxi_status postprocess_frequency_field(uint16_t *wavelengths, int brows, int bcols, uint8_t *out);

#ifdef __cplusplus
}
#endif

#endif
