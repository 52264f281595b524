/*
 * qx_template.h - template objects: encoded template bytes with a type code.
 *
 * A template either owns a copy of its bytes (qx_template_create,
 * qx_template_copy) or refers to bytes that belong to the caller
 * (qx_template_create_mr, qx_template_create_mre).  A referring template
 * never frees the caller's bytes and never reads past the size it was
 * given; with qx_template_create_mre the caller's release function runs
 * when the template dies.
 */
#ifndef LUMETRA_ENGINE_OBJECTS_QX_TEMPLATE_H
#define LUMETRA_ENGINE_OBJECTS_QX_TEMPLATE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct qx_template qx_template;

/* Template type codes. */
enum {
  QX_TEMPLATE_ISO19794_2 = 1,        /* ISO/IEC 19794-2 record, extended data */
  QX_TEMPLATE_ISO_COMPACT_CARD = 2,  /* ISO/IEC 19794-2 compact card */
  QX_TEMPLATE_ANSI378 = 3,           /* ANSI INCITS 378 record, extended data */
  QX_TEMPLATE_ISO19794_2_NOEXT = 4,  /* as 1 without extended data */
  QX_TEMPLATE_ISO_COMPACT_CARD_NOEXT = 5,
  QX_TEMPLATE_ANSI378_NOEXT = 6,
  QX_TEMPLATE_SPECTRAL = 66,
  QX_TEMPLATE_EHM = 67,              /* hybrid: compact card + extended + spectral */
  QX_TEMPLATE_EHM_FUSION = 72,       /* 67 with image-derived parts */
  QX_TEMPLATE_EHM_NOEXT = 73,        /* hybrid without extended data */
  QX_TEMPLATE_EHMHR = 74,            /* hybrid, high-resolution variant */
  QX_TEMPLATE_EHMHR_FUSION = 75,     /* fusion form of 74 */
  QX_TEMPLATE_NEO = 78,              /* hybrid plus high-resolution spectral */
  QX_TEMPLATE_MULTITEMPLATE = 80
};

/* Called with the user data when a template made by
 * qx_template_create_mre dies. */
typedef void (*qx_template_release_fn)(void *user_data);

/* Copies size bytes (none when bytes is absent and size is not 0). */
qx_template *qx_template_create(int32_t type, const uint8_t *bytes, uint32_t size);
/* Refers to the caller's bytes, which must outlive the template; the
 * template is not marked constant. */
qx_template *qx_template_create_mr(int32_t type, const uint8_t *bytes, uint32_t size);
/* As _mr, read-only when is_const is non-zero, and release(user_data)
 * runs when the template dies. */
qx_template *qx_template_create_mre(int32_t type, const uint8_t *bytes, uint32_t size,
                                    int32_t is_const, qx_template_release_fn release,
                                    void *user_data);

qx_template *qx_template_retain(qx_template *tpl);
void qx_template_delete(qx_template *tpl);
int32_t qx_template_get_num_refs(const qx_template *tpl);

const uint8_t *qx_template_get_data(const qx_template *tpl);
/* Writable bytes, or none for an absent or constant template.  For a
 * memory-referenced template these are the caller's bytes. */
uint8_t *qx_template_get_writable_data(qx_template *tpl);
uint32_t qx_template_get_data_size(const qx_template *tpl);
/* The reported type: 73 and 74 report 67, 4/5/6 report 1/2/3. */
int32_t qx_template_get_type(const qx_template *tpl);
/* The stored code, unmapped. */
int32_t qx_template_get_stored_type(const qx_template *tpl);
void qx_template_set_type(qx_template *tpl, int32_t type);
/* 1 when the bytes may not be written through the template. */
int32_t qx_template_get_mr_const(const qx_template *tpl);
void qx_template_set_mr_const(qx_template *tpl, int32_t is_const);
/* 1 when the bytes belong to the caller. */
int32_t qx_template_is_mr(const qx_template *tpl);

/* A new template with its own copy of the bytes, same stored type. */
qx_template *qx_template_copy(const qx_template *tpl);
/* 1 when both have the same size and the same bytes. */
int32_t qx_template_is_copy(const qx_template *a, const qx_template *b);

/* Type helpers. */
int32_t qx_template_type_report(int32_t type);
int32_t qx_template_type_is_fusion(int32_t type);
int32_t qx_template_type_to_fusion(int32_t type);
int32_t qx_template_type_from_fusion(int32_t type);

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_ENGINE_OBJECTS_QX_TEMPLATE_H */
