/*
 * Image quality measure: image quality 0..100, fingerprint area and
 * condition 0..100 of a grey image.
 *
 * The block-level operations (bal_) return image-layer statuses: QXI_OK,
 * QXI_NO_MEMORY, QXI_OUT_OF_RANGE (image size does not fit the block grid).  The
 * qx_compute_quality_ functions return engine result codes.
 */
#ifndef LUMETRA_ENGINE_IMAGE_QUALITY_H
#define LUMETRA_ENGINE_IMAGE_QUALITY_H

#include <stdint.h>

#include "engine/image/qx_image.h"
#include "engine/image/qx_quality.h"
#include "engine/qx_rc.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Measures `image` at a working resolution near 500 dpi (resampling a
 * copy when needed) and attaches a new quality record to the image.  On
 * success *out_record holds one reference for the caller and the image a
 * second one.  Results: QX_RC_OK; QX_RC_UNSUPPORTED when the vertical resolution is 0
 * or differs from the horizontal one; QX_RC_BAD_ARGUMENT when image, its
 * pixels or out_record are missing; QX_RC_NO_MEMORY; otherwise the converted status of the measure.
 * `owner` is not used. */
qx_rc qx_compute_quality_500(void *owner, qx_image *image, qx_quality **out_record);
/* The same at 250 dpi. */
qx_rc qx_compute_quality_250(void *owner, qx_image *image, qx_quality **out_record);

/* Working resolution for an image of resolution r measured against
 * `reference` (500 or 250) with `tolerance` (8 or 4): r itself when close
 * to the reference, else r / 2 or 2 r when that is close, else the
 * reference. */
int qx_quality_working_resolution(int r, int reference, int tolerance);
/* Area in mm^2 of `pixels` at working resolution w for the 500 or 250 dpi
 * measure (pixels / 388 at 500 dpi, / 97 at 250 dpi); saturates at 65535. */
uint16_t qx_quality_area_mm2(uint32_t pixels, int w, int reference);

/* The measure itself on raw pixels at scale 1 (500 dpi) or 2 (250 dpi).
 * Outputs are set to 0 first; an image smaller than one block or without
 * a finger gives 0 with all outputs 0. */
qxi_status bal_image_quality_scale(const uint8_t *pixels, int rows, int cols, uint8_t *quality, uint32_t *area,
                                   uint8_t *condition, int scale);

/* Crops to whole blocks of B, centred (an odd remainder loses its extra
 * line at the bottom or right).  *cropped is allocated with qx_malloc and
 * freed by the caller with qx_free.  Returns QXI_OK, QXI_OUT_OF_RANGE when the
 * image is smaller than one block, QXI_NO_MEMORY. */
qxi_status bal_crop_block_size(const uint8_t *pixels, int rows, int cols, int B, uint8_t **cropped, int *out_rows,
                               int *out_cols, int *row_offset, int *col_offset);

/* Whether the centred window shows enough grey-level variation to hold a
 * finger.  The status form reports QXI_NO_MEMORY separately; the plain
 * form answers 0 then. */
qxi_status bal_finger_presence_scale(const uint8_t *pixels, int rows, int cols, int scale, int *present);
int bal_finger_is_present_scale(const uint8_t *pixels, int rows, int cols, int scale);

/* Share (0..100) of bright pixels, after median filtering and a 5 %
 * contrast stretch, in interior blocks whose four direct neighbours are
 * fingerprint too. */
qxi_status bal_image_quality_cond(const uint8_t *pixels, int rows, int cols, int brows, int bcols, int B,
                                  const uint8_t *mask, uint8_t *condition);

/* Quality from the mean coherence of the fingerprint blocks, and the area
 * in pixels scaled to the uncropped full_rows x full_cols image.  Without
 * a coherence map one is computed. */
qxi_status bal_image_quality_qual(const uint8_t *pixels, int rows, int cols, int brows, int bcols, int B,
                                  const uint8_t *mask, const uint8_t *coherence, int full_rows, int full_cols,
                                  uint8_t *quality, uint32_t *area, int scale);

/* Coherence (0..255) of the gradient directions of every block, smoothed
 * 3 x 3 over the grid. */
qxi_status bal_ridge_orientation_coherence_scale(const uint8_t *pixels, int rows, int cols, uint8_t *coherence,
                                                 const uint8_t *mask, int brows, int bcols, int B, int scale);
qxi_status bal_ridge_orientation_coherence(const uint8_t *pixels, int rows, int cols, uint8_t *coherence,
                                           const uint8_t *mask, int brows, int bcols, int B);

/* Per-block gradient moments over the block window trimmed at edges that
 * face background blocks, counting only pixels with gx^2 + gy^2 > 255:
 * means of gx*gy, gx^2, gy^2 and the number of counted pixels.  Computed
 * for every block, background ones included.  At scale 1 the image is
 * blurred 3 x 3 first. */
qxi_status bal_compute_gradients(const uint8_t *pixels, int rows, int cols, const uint8_t *mask, int brows, int bcols,
                                 int B, int32_t *mean_gxy, uint32_t *mean_gxx, uint32_t *mean_gyy, int16_t *counts,
                                 int scale);

#ifdef __cplusplus
}
#endif

#endif
