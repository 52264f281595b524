/*
 * qx_extractor.h - the extractor plug-in interface.
 *
 * An extractor is a static table of two operations: template extraction
 * from an image, and the image geometry the extractor prefers.
 */
#ifndef LUMETRA_ENGINE_MATCH_QX_EXTRACTOR_H
#define LUMETRA_ENGINE_MATCH_QX_EXTRACTOR_H

#include <stdint.h>

#include "engine/image/qx_image.h"
#include "engine/objects/qx_finger.h"
#include "engine/objects/qx_session.h"
#include "engine/objects/qx_template.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Slot 1: a new template of the requested type from an image. */
typedef int32_t (*qx_extract_template_fn)(qx_session *session, qx_image *image,
                                          qx_finger *finger, int32_t template_type,
                                          qx_template **out);
/* Slot 2: the geometry the extractor prefers for the given one. */
typedef void (*qx_pref_idim_fn)(qx_session *session, int32_t vres, int32_t hres,
                                int32_t rows, int32_t cols, int32_t *out_vres,
                                int32_t *out_hres, int32_t *out_rows, int32_t *out_cols);

typedef struct qx_extractor_interface {
  qx_extract_template_fn extract_template;
  qx_pref_idim_fn pref_idim;
} qx_extractor_interface;

/* The extractors of the "ehm" family. */
extern const qx_extractor_interface embedded_extractor;
extern const qx_extractor_interface embedded_speed_extractor;
extern const qx_extractor_interface embedded_speedmem_extractor;

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_ENGINE_MATCH_QX_EXTRACTOR_H */
