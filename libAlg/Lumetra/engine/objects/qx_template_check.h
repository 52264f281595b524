/*
 * qx_template_check.h - whether a stored template's bytes decode as the
 * type they claim, before anything relies on them.
 *
 * A template loaded from storage is only bytes and a type code.  A record
 * whose bytes do not hold together would otherwise be found out only when
 * it is compared, where a failed decode looks like a poor score.  The
 * check reads the template the way its readers do:
 *
 *   80 (multi-template)  the "QXMT" decoder (magic, byte 4 zero as it is
 *                        written, version 1..3, every
 *                        instance and metadata record within the data,
 *                        what follows only 0xFF padding), at least one
 *                        instance, each of a template type the engine
 *                        knows (not 80), with an alignment record of 6
 *                        bytes and an island record of 1 byte when it has
 *                        them, and every instance by its own type;
 *   67, 73, 74, 78       the hybrid record: one 0x7F2E element whose TLV
 *      (hybrid)          tree parses, only 0xFF after it, a compact-card
 *                        part whose minutiae read, a spectral part the
 *                        spectral matcher takes, and an image-dimension
 *                        block that reads when there is one;
 *   2, 5 (compact card)  one 0x7F2E element whose tree parses and whose
 *                        minutiae read, only 0xFF after it;
 *   1, 4 (ISO record)    a consistent "FMR" record of its own length
 *                        field, only 0xFF after it.
 *
 * The check is structural: a changed byte inside a value that still reads
 * (a minutia's position or angle, a block's orientation or frequency, a
 * subtemplate's alignment, a tag) leaves a template that decodes, and is
 * not found.
 */
#ifndef LUMETRA_ENGINE_OBJECTS_QX_TEMPLATE_CHECK_H
#define LUMETRA_ENGINE_OBJECTS_QX_TEMPLATE_CHECK_H

#include <stdint.h>

#include "engine/objects/qx_template.h"
#include "engine/qx_rc.h"

#ifdef __cplusplus
extern "C" {
#endif

/* QX_RC_OK when the template decodes as its type; QX_RC_BAD_DATA when it
 * does not (or is absent); QX_RC_UNSUPPORTED for a type without a decoder
 * here (nothing is said about it); QX_RC_NO_MEMORY. */
qx_rc qx_template_check(const qx_template *tpl);

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_ENGINE_OBJECTS_QX_TEMPLATE_CHECK_H */
