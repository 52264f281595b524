/*
 * qx_image: the engine's reference-counted grey image.
 *
 * Pixels are rows x cols bytes, row-major, top row first, no row padding,
 * 0 black ... 255 white.  An image carries its vertical and horizontal
 * resolution (dpi), the impression type given by its creator and an
 * optional attached quality record.  Its pixels may be
 *   - owned (copied at creation, freed with the image),
 *   - borrowed from the caller (qx_image_create_mre: freed by the caller's
 *     destroy notification), or
 *   - produced on first use by a decoder (qx_image_create_lazy).
 *
 * Ownership: every creator hands one reference to its caller; whoever
 * retains an image deletes it once.  All functions accept NULL.
 */
#ifndef LUMETRA_ENGINE_IMAGE_QX_IMAGE_H
#define LUMETRA_ENGINE_IMAGE_QX_IMAGE_H

#include <stdint.h>

#include "engine/image/qx_quality.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct qx_image qx_image;

/* Called with the user pointer given at creation when the image dies
 * (also the releaser accepted by qx_image_mr_release for borrowed pixels). */
typedef void (*qx_image_notify_fn)(void *user);

/* Source of pixels for a lazily decoded image.  decode fills rows*cols
 * bytes and returns 0 on success; release (may be NULL) is called once
 * when the decoder is no longer needed. */
typedef struct qx_image_decoder {
  int (*decode)(void *context, uint8_t *pixels, uint16_t rows, uint16_t cols);
  void (*release)(void *context);
} qx_image_decoder;

/* New image of rows x cols pixels.  The pixels are copied; without pixels
 * the image is white (255).  NULL when memory runs out, or when rows or
 * cols is not in 1..65535 or a resolution is not in 0..65535. */
qx_image *qx_image_create(int rows, int cols, int vertical_resolution, int horizontal_resolution,
                          const uint8_t *pixels, int32_t impression_type);
/* Image over the caller's pixel buffer, which is not copied and not freed
 * by the image; `notify(user)` runs when the image dies (may be NULL). */
qx_image *qx_image_create_mre(int rows, int cols, int vertical_resolution, int horizontal_resolution,
                              uint8_t *pixels, int32_t impression_type, qx_image_notify_fn notify,
                              void *user);
/* Image whose pixels are decoded on first use by `decoder` with `context`.
 * The decoder interface must outlive the image.  On failure (NULL) the
 * decoder is not released. */
qx_image *qx_image_create_lazy(int rows, int cols, int vertical_resolution, int horizontal_resolution,
                               const qx_image_decoder *decoder, void *context,
                               int32_t impression_type);

qx_image *qx_image_retain(qx_image *image);
/* Drops one reference; at zero: destroy notification, pixel buffer (when
 * owned), pending decoder, quality record, then the object itself. */
void qx_image_delete(qx_image *image);

uint16_t qx_image_get_rows(const qx_image *image);
uint16_t qx_image_get_cols(const qx_image *image);
uint16_t qx_image_get_vertical_resolution(const qx_image *image);
uint16_t qx_image_get_horizontal_resolution(const qx_image *image);
int32_t qx_image_get_impression_type(const qx_image *image);
/* The pixels, decoding them first when needed; NULL when there are none
 * (given up with qx_image_mr_release, or decoding failed). */
uint8_t *qx_image_get_pixels(qx_image *image);
/* Reference count (for diagnostics and tests). */
int32_t qx_image_get_num_refs(const qx_image *image);

/* Attached quality record (borrowed; NULL when none). */
qx_quality *qx_image_get_quality_values(const qx_image *image);
/* Releases a record attached before and retains `quality` (may be NULL). */
void qx_image_set_quality_values(qx_image *image, qx_quality *quality);

/* Memory-reference state: 0 (new), 1 (soft), 2 (weak). */
void qx_image_mr_soft(qx_image *image);     /* 0 -> 1 */
void qx_image_mr_weak(qx_image *image);     /* -> 2 */
void qx_image_mr_weakify(qx_image *image);  /* 1 -> 2 */
int qx_image_get_mr_state(const qx_image *image);
void qx_image_set_mr_const(qx_image *image, int flag);
int qx_image_get_mr_const(const qx_image *image); /* a new image is constant */
uint32_t qx_image_get_mr_size(const qx_image *image); /* rows * cols */
/* Gives up the pixel buffer of a weak image held by one reference only.
 * With `releaser`: owned pixels require releaser == qx_free, borrowed
 * pixels require the image's own destroy notification (which is then
 * cleared); the buffer passes to the caller.  Without a releaser: a
 * pending decoder is released, or else the buffer is freed (owned) or
 * handed to the destroy notification (borrowed).  Returns 1 when the
 * image was left without pixels, 0 when nothing was done. */
int qx_image_mr_release(qx_image *image, qx_image_notify_fn releaser);

/* New image at the given resolutions: rows' = vres' * rows / vres,
 * cols' = hres' * cols / hres, bilinear resampling, impression type
 * copied.  NULL when memory runs out, the source has no pixels, a
 * resolution is 0 or the new size is not in 1..65535. */
qx_image *qx_image_scale_res(qx_image *image, int vertical_resolution, int horizontal_resolution);

/* Sensor-size code of the image's area at 500 dpi (1..8); 0 for NULL or a
 * zero resolution. */
int qx_image_get_sensor_size(const qx_image *image);

#ifdef __cplusplus
}
#endif

#endif
