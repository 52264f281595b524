/*
 * qx_quality: the quality triple of an image (image quality 0..100,
 * fingerprint area, condition 0..100), reference counted.
 */
#ifndef LUMETRA_ENGINE_IMAGE_QX_QUALITY_H
#define LUMETRA_ENGINE_IMAGE_QX_QUALITY_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct qx_quality qx_quality;

/* New record with one reference, or NULL when memory runs out. */
qx_quality *qx_quality_create(uint8_t image_quality, uint16_t area, uint8_t condition);
/* Independent copy with one reference (NULL for NULL or out of memory). */
qx_quality *qx_quality_copy(const qx_quality *quality);
/* Adds a reference; NULL is accepted and returned. */
qx_quality *qx_quality_retain(qx_quality *quality);
/* Drops a reference and frees the record at zero; NULL is accepted. */
void qx_quality_delete(qx_quality *quality);

uint8_t qx_quality_get_image_quality(const qx_quality *quality);
uint16_t qx_quality_get_area(const qx_quality *quality);
uint8_t qx_quality_get_condition(const qx_quality *quality);

#ifdef __cplusplus
}
#endif

#endif
