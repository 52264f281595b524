/*
 * bandpass_masks.h - the band-pass masks of the contextual ridge filter.
 *
 * Two tables of 99 masks, one per wavelength class (0 .. 10, ridge period
 * class + 5 pixels) and sector 0 .. 8 (ridge normal turned by 11.25 degrees
 * per sector): 32 rows x 17 columns for the 32-point filter and 16 x 9 for
 * the 16-point one.  A mask is a half spectrum of gains (gain / 256): row =
 * vertical frequency (rows above N/2 negative), column = horizontal
 * frequency.  Sectors 9 .. 15 are sector 16 - s with its rows mirrored.
 *
 * The masks are stored run-length encoded (tools/bandpass generates them):
 * a control byte with the top bit set announces (byte & 0x7F) literal gains,
 * one without it (byte & 0x7F) zero gains, and 0 ends the stream.
 */
#ifndef LUMETRA_ENGINE_IMAGE_BANDPASS_MASKS_H
#define LUMETRA_ENGINE_IMAGE_BANDPASS_MASKS_H

#include <stdint.h>

#include "engine/qx_rc.h"

#ifdef __cplusplus
extern "C" {
#endif

extern const uint8_t qx_bandpass32_rle[];
extern const uint32_t qx_bandpass32_offsets[99];
extern const uint8_t qx_bandpass16_rle[];
extern const uint32_t qx_bandpass16_offsets[99];

/* Decodes one run-length stream into `count` gains; runs that would go
 * past `count` are cut there.  Returns the number of gains the stream
 * itself described (before zero filling). */
int bal_decode_mask(const uint8_t *stream, uint8_t *out, int count);

/* The mask of (wavelength class 0..10, sector 0..15) for N = 32 or 16,
 * N x (N/2 + 1) gains.  Returns QXI_OK, or QXI_OUT_OF_RANGE for an invalid argument. */
qxi_status bal_bandpass_mask(int n, int wclass, int sector, uint8_t *out);

#ifdef __cplusplus
}
#endif

#endif
