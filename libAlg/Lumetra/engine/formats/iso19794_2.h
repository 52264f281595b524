/*
 * iso19794_2.h - ISO/IEC 19794-2 finger minutiae records (format versions
 * 2.0 and 3.0): writers from a minutia list, the extended data blocks the
 * encoder appends, and the readers.
 *
 * Records are allocated with qx_malloc and released with qx_free.  The
 * extend functions replace *record by a longer copy and raise every length
 * field (record, representation, extended data).
 *
 * Result codes: QX_RC_OK; QX_RC_NOT_A_RECORD not a record of a supported
 * version; QX_RC_NO_MEMORY; QX_RC_INVALID_ARGUMENT an argument is missing or a
 * block would not fit its 16-bit length.
 */
#ifndef LUMETRA_ENGINE_FORMATS_ISO19794_2_H
#define LUMETRA_ENGINE_FORMATS_ISO19794_2_H

#include <stdint.h>

#include "engine/qx_rc.h"
#include "engine/formats/record_inputs.h"

#ifdef __cplusplus
extern "C" {
#endif

#define QX_ISO_RESOLUTION_PPCM 197
#define QX_ISO_V2_HEADER 28  /* bytes before the minutiae, version 2.0 */
#define QX_ISO_V3_HEADER 52  /* bytes before the minutiae, version 3.0 */

/* Extended data block types. */
#define QX_ISO_EXT_REF_POINTS 0x0002u
#define QX_ISO_EXT_ZONAL_QUALITY 0x0003u
#define QX_ISO_EXT_ORIENTATION 0xED0Fu
#define QX_ISO_EXT_FREQUENCY 0xEDFFu
/* Longest ridge wavelength (pixels) a frequency block entry holds. */
#define QX_ISO_MAX_WAVELENGTH 32u

qx_rc qx_minutiastruct_to_iso19794_2_v2(const minutiastruct *m, uint8_t **out, uint32_t *size);
qx_rc qx_minutiastruct_to_iso19794_2_v3(const minutiastruct *m, uint8_t **out, uint32_t *size);

qx_rc qx_iso19794_2_extend_ref_points(uint8_t **record, uint32_t *size, const qx_ref_points *points);
qx_rc qx_iso19794_2_extend_zonal_quality(uint8_t **record, uint32_t *size, const qx_block_field *quality);
/* Blocks without an orientation are written as 128: those whose entry in
 * `presence` (the frequency field, same grid) is 0, or, without it, those
 * whose orientation is 0. */
qx_rc qx_iso19794_2_extend_orientation_field(uint8_t **record, uint32_t *size,
                                             const qx_block_field *orientation,
                                             const uint8_t *presence);
/* The frequency block carries each block's ridge wavelength in whole pixels:
 * the extraction's frequency value f = 1024 / wavelength (57 to 205 for real
 * ridges) is written as (1024 + f / 2) / f, at most QX_ISO_MAX_WAVELENGTH,
 * and 0 where the block has no ridge data.  (Writing the frequency value
 * itself capped at 32 would give 32 for every ridge block.) */
qx_rc qx_iso19794_2_extend_frequency_field(uint8_t **record, uint32_t *size,
                                           const qx_block_field *frequency);
/* Reads a frequency block's data (without its 4-byte block header) back
 * into a frequency field: header into *field, and per block the frequency
 * value (1024 + w / 2) / w of the stored wavelength w (0 stays 0) into
 * `values`, which *field->data then points at.  QX_RC_OK;
 * QX_RC_NOT_A_RECORD when the length is not 7 + cols x rows;
 * QX_RC_INVALID_ARGUMENT when field is NULL or `values` holds fewer than
 * cols x rows bytes.  *field is cleared first. */
qx_rc qx_iso19794_2_read_frequency_field(const uint8_t *data, uint32_t length, qx_block_field *field,
                                         uint8_t *values, uint32_t capacity);
/* The conversions of one block value used by the two functions above. */
uint8_t qx_iso_wavelength_of_frequency(uint8_t frequency);
uint8_t qx_iso_frequency_of_wavelength(uint8_t wavelength);

/* QX_RC_OK when the bytes are a consistent version 2.0 or 3.0 record of
 * exactly `length` bytes, otherwise QX_RC_NOT_A_RECORD. */
qx_rc qx_is_iso19794_2(const uint8_t *record, uint32_t length);
/* The record length field, or 0 when fewer than 12 bytes are available or
 * the header is not "FMR". */
uint32_t qx_iso19794_2_get_length(const uint8_t *record, uint32_t available);
/* 2 or 3 for a consistent record, 0 otherwise. */
int qx_iso19794_2_version(const uint8_t *record, uint32_t length);

/* Readers: the minutiae of the (first) finger view, and, when `points` is
 * given, the cores and deltas of its reference-point block. */
qx_rc qx_iso19794_2_to_minutiastruct(const uint8_t *record, uint32_t length, minutiastruct *m,
                                     qx_ref_points *points);
qx_rc qx_iso19794_2_v2_to_minutiastruct(const uint8_t *record, uint32_t length, minutiastruct *m,
                                        qx_ref_points *points);
qx_rc qx_iso19794_2_v3_to_minutiastruct(const uint8_t *record, uint32_t length, minutiastruct *m,
                                        qx_ref_points *points);
/* Finds the data of the first extended block of `type` in a consistent
 * record: 1 and its data and length (without the 4-byte block header),
 * or 0. */
int qx_iso19794_2_find_extended_block(const uint8_t *record, uint32_t length, uint16_t type,
                                      const uint8_t **data, uint32_t *data_length);

/* Reference-point block data (without block header) read back: QX_RC_OK or
 * QX_RC_NOT_A_RECORD. */
qx_rc qx_iso19794_2_read_ref_points(const uint8_t *data, uint32_t length, qx_ref_points *points);

#ifdef __cplusplus
}
#endif

#endif
