/*
 * compact_card.h - the compact-card form of ISO/IEC 19794-2 records: a
 * BER-TLV biometric data template (0x7F2E) with three bytes per minutia in
 * units of 0.1 mm, optional cores, deltas and zonal quality, and this
 * library's proprietary block (0x82) with quality and ridge spacing.
 *
 * Buffers are allocated with qx_malloc and released with qx_free.
 * Result codes: QX_RC_OK; QX_RC_NOT_A_RECORD; QX_RC_NO_MEMORY;
 * QX_RC_INVALID_ARGUMENT for a missing argument.
 */
#ifndef LUMETRA_ENGINE_FORMATS_COMPACT_CARD_H
#define LUMETRA_ENGINE_FORMATS_COMPACT_CARD_H

#include <stdint.h>

#include "engine/qx_rc.h"
#include "engine/formats/record_inputs.h"

#ifdef __cplusplus
extern "C" {
#endif

#define QX_CC_TAG_BDT 0x7F2Eu       /* biometric data template */
#define QX_CC_TAG_GROUP 0xA1u       /* minutiae elements regrouped */
#define QX_CC_TAG_MINUTIAE_V3 0x81u
#define QX_CC_TAG_PROPRIETARY 0x82u
#define QX_CC_TAG_MINUTIAE_V2 0x90u
#define QX_CC_TAG_CORES 0x92u
#define QX_CC_TAG_DELTAS 0x93u
#define QX_CC_TAG_ZONAL_QUALITY 0x94u
#define QX_CC_MAX_MINUTIAE 128
#define QX_CC_LIMIT 492 /* largest coordinate (pixels) a card byte can hold */

/* Shifts minutiae, reference points and field offsets towards the origin by
 * whole field blocks when the print lies beyond what a card can hold but
 * would fit after the shift.  `points`, `orientation`, `frequency` may be
 * NULL; the block size is the orientation field's (1 without fields). */
void qx_normalize_for_isocc(minutiastruct *m, qx_ref_points *points, qx_block_field *orientation,
                            qx_block_field *frequency);

/* Compact card from a version 2.0 or 3.0 record, keeping at most
 * min(max_minutiae, 128) minutiae. */
qx_rc qx_convert_iso_standard_to_compactcard(const uint8_t *record, uint32_t length,
                                             int max_minutiae, uint8_t **out, uint32_t *size);

/* Appends the proprietary block (quality and ridge spacing of the card's
 * minutiae, taken from `m` in minutia order) and regroups the minutiae
 * elements.  *card is replaced. */
qx_rc qx_iso_compactcard_extend_proprietary_data(uint8_t **card, uint32_t *size,
                                                 const minutiastruct *m);

/* Minutiae (and, when `points` is given, cores and deltas) of a card. */
qx_rc qx_convert_iso_compactcard_to_minutiastruct(const uint8_t *card, uint32_t length,
                                                  minutiastruct *m, qx_ref_points *points);

/* Total size of the leading element when it is 0x7F2E and fits into
 * `available` bytes, otherwise 0. */
uint32_t qx_iso19794_2_compact_card_get_length(const uint8_t *bytes, uint32_t available);

/* Finds element `tag` of a card or hybrid record: directly inside 0x7F2E
 * (itself possibly wrapped in 0xE1), or inside its 0xA1 or 0xA2 groups.
 * Returns 1 and the element, or 0. */
int qx_cc_find_element(const uint8_t *card, uint32_t length, uint16_t tag, void *out_element);

/* Card unit (0.1 mm) of a pixel coordinate after removing `offset`, and the
 * pixel coordinate of a card unit. */
uint8_t qx_cc_to_card_unit(int pixels, int offset);
int qx_cc_from_card_unit(uint8_t unit);

#ifdef __cplusplus
}
#endif

#endif
