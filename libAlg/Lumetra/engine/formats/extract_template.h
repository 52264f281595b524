/*
 * extract_template.h - minutiae extraction followed by template encoding:
 * the image is extracted with bal_extract and the result is written as an
 * ISO/IEC 19794-2 record, a compact card, or a hybrid record.
 *
 * Encoded bytes are allocated by the engine and released with
 * bal_free_template.  Statuses are those of the image layer: QXI_OK;
 * QXI_DUMMY_TEMPLATE the dummy test image (a fixed template is returned);
 * QXI_NO_MEMORY; QXI_CONTRADICTORY / QXI_OUT_OF_RANGE refused requests;
 * QXI_TOO_FEW_MINUTIAE; others from bal_extract.
 */
#ifndef LUMETRA_ENGINE_FORMATS_EXTRACT_TEMPLATE_H
#define LUMETRA_ENGINE_FORMATS_EXTRACT_TEMPLATE_H

#include <stdint.h>

#include "engine/qx_rc.h"
#include "engine/formats/record_inputs.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Content flags (see the hybrid extractor). */
#define QX_CONTENT_REF_POINTS 0x0002u
#define QX_CONTENT_ZONAL_QUALITY 0x0008u
#define QX_CONTENT_ORIENTATION 0x0010u
#define QX_CONTENT_FREQUENCY 0x0020u
#define QX_CONTENT_PROPRIETARY 0x0040u
#define QX_CONTENT_FINE_FIELDS 0x0080u
#define QX_CONTENT_IMAGE 0x0200u
#define QX_CONTENT_V3 0x0400u
#define QX_CONTENT_SPEED 0x0800u
#define QX_CONTENT_HALF_RESOLUTION 0x1000u
#define QX_CONTENT_OWN_BUFFER 0x2000u

/* Flags that only steer the encoding and ask nothing of the extraction. */
#define QX_CONTENT_ENCODING_ONLY \
  (QX_CONTENT_PROPRIETARY | QX_CONTENT_IMAGE | QX_CONTENT_V3 | QX_CONTENT_OWN_BUFFER)

/* What the extraction (bal_extract request bits) must compute for content
 * flags `content` and output format `format`:
 *   reference points  -> cores and deltas
 *   zonal quality     -> block quality field
 *   orientation       -> orientation field
 *   frequency         -> frequency field
 *   fine fields       -> fields on the finer grid
 *   speed             -> ridge frequency on the halved image (the speed variant)
 *   half resolution   -> the input is a 250 dpi image
 * and, for QX_FORMAT_CARD_TO_EHM, both fields.  The encoding-only flags and
 * unknown bits ask for nothing.  (The encoder takes over the pixel buffer
 * itself for QX_CONTENT_OWN_BUFFER.) */
uint32_t qx_extraction_request_of_content(uint32_t content, int format);

/* Output formats. */
#define QX_FORMAT_ISO_RECORD 1
#define QX_FORMAT_COMPACT_CARD 2
#define QX_FORMAT_ANSI378 3
#define QX_FORMAT_CARD_TO_EHM 4
#define QX_FORMAT_EXTRACTION_RECORD 8


qxi_status bal_extract_template(uint8_t *pixels, int rows, int cols, int finger_position,
                                int impression_type, int min_minutiae, int max_minutiae, int ordering,
                                uint32_t flags, int format, uint8_t **out, uint32_t *size);

/* Compact card with proprietary data: at most 64 minutiae, best first. */
qxi_status BAL_EXTRACT_TEMPLATE_MOC(uint8_t *pixels, int rows, int cols, uint8_t **out, uint32_t *size);

int bal_free_template(uint8_t *bytes);

/* The encoder on its own, from a filled extraction record (not changed). */
qxi_status qx_encode_extraction(const bal_extract_result *result, const uint8_t *image, int rows,
                                int cols, uint32_t flags, int format, int max_minutiae, uint8_t **out,
                                uint32_t *size);

/* The fixed 16 x 16 test image and its template. */
int bal_origin_is_dummy(const uint8_t *pixels, int rows, int cols);
/* Fills 256 bytes with the test image. */
void bal_origin_get_dummy_image(uint8_t *pixels);
qxi_status bal_origin_get_dummy_template(uint8_t **out, uint32_t *size);

#ifdef __cplusplus
}
#endif

#endif
