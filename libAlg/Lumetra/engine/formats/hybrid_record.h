/*
 * hybrid_record.h - the hybrid template record (types 67 and 72): the
 * compact card's minutiae elements, the proprietary block, the spectral
 * part with the block orientation and ridge-frequency fields, optionally
 * the image, and the image-dimension block.
 *
 *   0x7F2E { 0xA1 { 0x81 | 0x90, 0x92, 0x93, 0x94 },
 *            0xA2 { 0x82, 0xC1 spectral, [0xC2 image], [0xC3 dimensions] } }
 *
 * The spectral part comes in a short layout (block-size code, offsets,
 * grid size and two bytes per block) or, when the fields were also
 * computed on the three-times finer grid, in the long layout whose
 * extension carries the fine grid as quantised differences in a five-
 * symbol prefix code.
 *
 * Buffers are allocated with qx_malloc and released with qx_free.
 */
#ifndef LUMETRA_ENGINE_FORMATS_HYBRID_RECORD_H
#define LUMETRA_ENGINE_FORMATS_HYBRID_RECORD_H

#include <stdint.h>

#include "engine/qx_rc.h"
#include "engine/formats/record_inputs.h"

#ifdef __cplusplus
extern "C" {
#endif

#define QX_HYB_TAG_FEATURES 0xA2u
#define QX_HYB_TAG_SPECTRAL 0xC1u
#define QX_HYB_TAG_IMAGE 0xC2u
#define QX_HYB_TAG_DIMENSIONS 0xC3u

/* Image handed to the fusion record (optional). */
typedef struct qx_fusion_image {
  int32_t rows;          /* image dimensions; 0 x 0 ends the record after 0xC1 */
  int32_t cols;
  uint8_t quality;       /* 0..100 */
  const uint8_t *pixels; /* pixel_rows x pixel_cols bytes, or NULL: no 0xC2 */
  int32_t pixel_rows;
  int32_t pixel_cols;
} qx_fusion_image;

/* Quantised difference of a fine entry against its block (-2..2). */
int8_t qx_spectral_quantise_delta(int fine, int block);
/* Prefix code: 0 -> 00, +1 -> 01, -1 -> 11, -2 -> 100, +2 -> 101, most
 * significant bit first, the last byte padded with 0 bits.  Returns the
 * bytes written (the caller provides (3 * count + 7) / 8 bytes). */
uint32_t pack5v(const int8_t *values, int32_t count, uint8_t *stream);
/* -1 when the stream ends before `count` values, 1 when more than 7 bits or
 * whole bytes are left after them (or count <= 0), otherwise 0. */
int unpack5v(const uint8_t *stream, int32_t stream_length, int32_t count, int8_t *values,
             int32_t *decoded);

/* Spectral part of the two fields (same grid).  Long layout with the fine
 * grid when both fields carry one.  QX_RC_OK, QX_RC_NO_MEMORY, or
 * QX_RC_INVALID_ARGUMENT for fields that differ in geometry or lack data. */
qx_rc qx_spectral_part_encode(const qx_block_field *orientation, const qx_block_field *frequency,
                              uint8_t **out, uint32_t *size);

/* The hybrid record from a compact card, the two fields and the image. */
qx_rc qx_iso_compactcard_to_iso_fusion(const uint8_t *card, uint32_t card_length,
                                       const qx_block_field *orientation,
                                       const qx_block_field *frequency, const qx_fusion_image *image,
                                       uint8_t **out, uint32_t *size);
/* The hybrid layout without image and dimension block. */
qx_rc qx_iso_compactcard_to_ehm(const uint8_t *card, uint32_t card_length,
                                const qx_block_field *orientation, const qx_block_field *frequency,
                                uint8_t **out, uint32_t *size);

/* Image dimensions of a hybrid record's 0xC3 block: 0, or 4 when absent
 * or malformed. */
qx_rc qx_hybrid_get_dimensions(const uint8_t *record, uint32_t length, int32_t *rows,
                               int32_t *cols, uint8_t *quality);

/* Reads a matcher feature set (see the spectral matcher): 0 or 1. */
int verify_unpack_template(const uint8_t *set, uint32_t length, int32_t *cols, int32_t *rows,
                           int32_t *block_size_code, int32_t *resolution, const uint8_t **blocks,
                           const uint8_t **hr_field, uint8_t *quality);

#ifdef __cplusplus
}
#endif

#endif
