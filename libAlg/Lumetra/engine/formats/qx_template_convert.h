/*
 * qx_template_convert.h - the parts of a template the matchers read:
 * the compact-card part (type 2), the spectral part (66) and the
 * high-resolution spectral part (77).
 */
#ifndef LUMETRA_ENGINE_FORMATS_QX_TEMPLATE_CONVERT_H
#define LUMETRA_ENGINE_FORMATS_QX_TEMPLATE_CONVERT_H

#include <stdint.h>

#include "engine/qx_rc.h"
#include "engine/objects/qx_template.h"

#ifdef __cplusplus
extern "C" {
#endif

#define QX_TEMPLATE_SPECTRAL_HR 77

/* New bytes (qx_malloc; release with qx_free) holding the template's part
 * of `target_type`.  0; 1 for a pair the table does not convert; 4 when the
 * template lacks the part or is malformed; 9 memory; 14 missing argument. */
qx_rc qx_template_convert(const qx_template *tpl, int32_t target_type, uint8_t **out,
                          uint32_t *size);
/* The same over raw bytes of a (reported) source type. */
qx_rc qx_template_convert_bytes(int32_t source_type, const uint8_t *bytes, uint32_t length,
                                int32_t target_type, uint8_t **out, uint32_t *size);

#ifdef __cplusplus
}
#endif

#endif
