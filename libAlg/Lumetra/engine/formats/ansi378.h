/*
 * ansi378.h - ANSI INCITS 378 finger minutiae records (the 2004 layout,
 * written for version 2.0, and the 2009 layout for version 3.0) with the
 * minutiae only.  No configuration of the library produces them; the
 * template encoder offers them for hosts that ask for format 3.
 *
 * Angles are stored in 2-degree units (0..179); a direction of 256 steps
 * per turn is converted as d * 180 / 256 and back as a * 256 / 180.
 * Result codes as for the ISO records (QX_RC_OK, QX_RC_NOT_A_RECORD,
 * QX_RC_NO_MEMORY, QX_RC_INVALID_ARGUMENT).
 */
#ifndef LUMETRA_ENGINE_FORMATS_ANSI378_H
#define LUMETRA_ENGINE_FORMATS_ANSI378_H

#include <stdint.h>

#include "engine/qx_rc.h"
#include "engine/formats/record_inputs.h"

#ifdef __cplusplus
extern "C" {
#endif

qx_rc qx_minutiastruct_to_ansi378_v2(const minutiastruct *m, uint8_t **out, uint32_t *size);
qx_rc qx_minutiastruct_to_ansi378_v3(const minutiastruct *m, uint8_t **out, uint32_t *size);
qx_rc qx_ansi378_to_minutiastruct(const uint8_t *record, uint32_t length, minutiastruct *m);

#ifdef __cplusplus
}
#endif

#endif
