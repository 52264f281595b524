/*
 * enhance.h - fingerprint image enhancement.
 *
 * enhance_image removes row and column banding, filters the image block
 * by block (32 x 32 blocks overlapping by 16) with a fixed ridge-frequency
 * band-pass chosen by the image's resolution, and brings the result to a
 * standard grey level and contrast.  The output has the input's size.
 *
 * Gain tables: 32 rows (vertical frequency v = 0 .. 31, v >= 17 standing
 * for v - 32) x 17 columns (horizontal frequency u = 0 .. 16) of bytes,
 * gain = value / 256, applied to the half spectrum of a 32 x 32 block.
 * Built-in tables exist for 500, 363 and 420 dpi; an algorithm object may
 * carry its own pre-processing model (enhance_ppmodel) for another
 * sensor, which wins within 10 dpi of its resolution.
 */
#ifndef LUMETRA_ENGINE_IMAGE_ENHANCE_H
#define LUMETRA_ENGINE_IMAGE_ENHANCE_H

#include <stddef.h>
#include <stdint.h>

#include "engine/image/qx_image.h"
#include "engine/qx_rc.h"

#ifdef __cplusplus
extern "C" {
#endif

struct qx_algorithm; /* engine/objects/qx_algorithm.h */

#define ENHANCE_BLOCK 32
#define ENHANCE_OVERLAP 16
#define ENHANCE_GAIN_ROWS 32
#define ENHANCE_GAIN_COLS 17
#define ENHANCE_GAIN_SIZE (ENHANCE_GAIN_ROWS * ENHANCE_GAIN_COLS)
/* Target of the global normalisation: mean (met half-way) and spread. */
#define ENHANCE_TARGET_MEAN 127
#define ENHANCE_TARGET_DEVIATION 60
/* A pre-processing model applies within this many dpi of its resolution. */
#define ENHANCE_PPMODEL_TOLERANCE 10

/* Pre-processing model an algorithm object may carry (the object stores
 * it as an opaque pointer, see qx_algorithm_set_ppmodel). */
typedef struct enhance_ppmodel {
  int32_t resolution;
  uint8_t gain[ENHANCE_GAIN_SIZE];
} enhance_ppmodel;

/* The built-in table for exactly 500, 420 or 363 dpi; NULL otherwise. */
const uint8_t *enhance_builtin_gain_table(int dpi);

/* The table for vertical resolution R: the model's when |R - its
 * resolution| <= 10; else the built-in one whose band holds R, bands
 * tested in the order 490..510, 333..393, 400..440; NULL when none. */
const uint8_t *enhance_select_gain_table(int resolution, const enhance_ppmodel *model);

/* Block operation of the enhancement: every spectral value (real and
 * imaginary part) times its table byte, shifted right by 8.  `gain_table`
 * holds n x (n/2 + 1) bytes.  Returns QXI_OK. */
qxi_status deconvreg_block(int32_t *re, int32_t *im, int n, void *scratch, size_t scratch_size,
                           const void *gain_table);

/* The enhancement on raw pixels: `in` and `out` are rows x cols bytes
 * (they may be the same buffer).  Returns QXI_OK; QXI_OUT_OF_RANGE
 * for a resolution without table or an image smaller than one block;
 * QXI_NO_MEMORY.  `out` is written only on success. */
qxi_status enhance_pixels(const uint8_t *in, int rows, int cols, int resolution, const enhance_ppmodel *model,
                          uint8_t *out);

/* Enhances `image` into a new image (one reference for the caller) of
 * the same size, both resolutions set to the input's vertical
 * resolution, and the input's impression type.  `algorithm` may be NULL;
 * its pre-processing model, when set, is an enhance_ppmodel.  Returns QX_RC_OK,
 * QX_RC_BAD_ARGUMENT for a missing image or output pointer, or the image-layer status
 * converted by qx_rc_convert_from_qxi (2 for an unsupported resolution
 * or a too small image, 9 out of memory).  *enhanced is NULL on failure. */
qx_rc enhance_image(const struct qx_algorithm *algorithm, qx_image *image, qx_image **enhanced);

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_ENGINE_IMAGE_ENHANCE_H */
