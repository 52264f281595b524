/*
 * embedded_extractor.h - the hybrid template extractors of the "ehm"
 * family (plain, speed and memory-saving variants) and the rules they are
 * made of: the preferred geometry, the minutiae order code and the table
 * of requested template types.
 */
#ifndef LUMETRA_ENGINE_MATCH_EMBEDDED_EXTRACTOR_H
#define LUMETRA_ENGINE_MATCH_EMBEDDED_EXTRACTOR_H

#include <stdint.h>

#include "engine/qx_rc.h"
#include "engine/match/qx_extractor.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Order code of the minutiae extraction for a "qx.minutiae_order" value. */
int embedded_order_code(int32_t value);

/* Output type, content flags and encoder format of a requested template
 * type (before the variant's own flag); 0, or 1 for a type not offered. */
qx_rc embedded_requested_type(int32_t requested, int32_t *out_type, uint32_t *flags, int *format);

int32_t embedded_extract_template(qx_session *session, qx_image *image, qx_finger *finger,
                                  int32_t template_type, qx_template **out);
int32_t embedded_extract_template_speed(qx_session *session, qx_image *image, qx_finger *finger,
                                        int32_t template_type, qx_template **out);
int32_t embedded_extract_template_speedmem(qx_session *session, qx_image *image,
                                           qx_finger *finger, int32_t template_type,
                                           qx_template **out);

void embedded_pref_idim(qx_session *session, int32_t vres, int32_t hres, int32_t rows, int32_t cols,
                        int32_t *out_vres, int32_t *out_hres, int32_t *out_rows, int32_t *out_cols);
void embedded_pref_idim_speed(qx_session *session, int32_t vres, int32_t hres, int32_t rows,
                              int32_t cols, int32_t *out_vres, int32_t *out_hres,
                              int32_t *out_rows, int32_t *out_cols);
void embedded_pref_idim_speedmem(qx_session *session, int32_t vres, int32_t hres, int32_t rows,
                                 int32_t cols, int32_t *out_vres, int32_t *out_hres,
                                 int32_t *out_rows, int32_t *out_cols);

#ifdef __cplusplus
}
#endif

#endif
