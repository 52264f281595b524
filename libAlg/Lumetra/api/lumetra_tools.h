/*
 * lumetra_tools.h - what the project's own tools (the lumetra command, the
 * tools' image layer) take from liblumetra.so beyond the public exports of
 * lumetra.h: per-slot scores of a verification, the configuration the
 * library built, templates in memory, and the engine's image and template
 * conversions.
 *
 * Internal to this source tree: the header is not installed and is no part
 * of lumetra.h.  The functions are exported from liblumetra.so (so that the
 * command links the library a host links, and computes nothing of its
 * own), all named lumetra_tools_ and listed apart in api/lumetra.map; a
 * host must not call them, since their names, layouts and behaviour change
 * with the library, without a soname change.
 *
 * The functions work on the library's state as the exports leave it (the
 * algorithm init_nerio_algorithm built, the slots, the enrollment
 * session).  Result codes are the engine's (engine/qx_rc.h) unless a
 * function says otherwise; every output is cleared first.
 */
#ifndef LUMETRA_API_LUMETRA_TOOLS_H
#define LUMETRA_API_LUMETRA_TOOLS_H

#include <stddef.h>
#include <stdint.h>

#include "lumetra.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Number of template slots (as the exports number them, 0..4), and the
 * highest FAR level the verifiers' threshold tables hold. */
#define LUMETRA_TOOLS_SLOTS 5
#define LUMETRA_TOOLS_MAX_FAR 27

/* ---- The algorithm's configuration ------------------------------------ */

typedef struct lumetra_tools_config {
  int32_t template_type; /* the engine's template type code */
  int32_t sensor_type;
  int32_t sensor_size;   /* the sensor-size code of the configuration row */
} lumetra_tools_config;

/* The configuration of the algorithm init_nerio_algorithm built: 0 with
 * *config filled, -1 (fields -1) when there is no algorithm. */
LUMETRA_API int lumetra_tools_get_config(lumetra_tools_config *config);

/* ---- Slots and the enrollment session ---------------------------------- */

/* 1 when the slot holds a template the library parsed, else 0. */
LUMETRA_API int lumetra_tools_slot_loaded(int slot);

typedef struct lumetra_tools_enroll_counts {
  int32_t records;  /* captures the session recorded (accepted or duplicate) */
  int32_t captures; /* captures it accepted */
  int32_t capacity; /* captures it can accept */
} lumetra_tools_enroll_counts;

/* The open enrollment session's counts: 0, or -1 (all 0) without one. */
LUMETRA_API int lumetra_tools_get_enroll_counts(lumetra_tools_enroll_counts *counts);

/* ---- Verification with per-slot scores --------------------------------- */

typedef struct lumetra_tools_verify_report {
  int32_t extract_rc;                       /* extraction of the probe */
  int32_t extracted;                        /* 1 when a probe template was made */
  int32_t scored[LUMETRA_TOOLS_SLOTS];      /* 1 where score[] holds a score */
  uint16_t score[LUMETRA_TOOLS_SLOTS];      /* similarity of the probe to the slot */
  int32_t other_sensor[LUMETRA_TOOLS_SLOTS]; /* 1: the slot's template was made on
                                              * another sensor size than the probe
                                              * (the verification then gives -1) */
} lumetra_tools_verify_report;

/* nerio_qx_verify itself (same arguments, same result, same updates of the
 * slots), reporting also how the probe was extracted and the score of the
 * probe against every loaded slot as the slot-by-slot verification scores
 * it (at the library's FAR level), all from one extraction and before any
 * slot is updated. */
LUMETRA_API int lumetra_tools_verify(const unsigned char *pixels, int *matched_index, int *updated,
                                     int mode, lumetra_tools_verify_report *report);

/* ---- Templates in memory ------------------------------------------------ */

typedef struct lumetra_tools_template lumetra_tools_template;

/* The algorithm's template of a rows x cols, 500 dpi grey image (top row
 * first), as the verification extracts its probe.  QX_RC_BAD_ARGUMENT
 * without an algorithm or an image. */
LUMETRA_API int32_t lumetra_tools_extract(const unsigned char *pixels, int rows, int cols,
                                          lumetra_tools_template **tpl);
LUMETRA_API void lumetra_tools_template_delete(lumetra_tools_template *tpl);

typedef struct lumetra_tools_comparison {
  uint16_t score;
  int32_t decision;      /* 1 accept */
  int32_t aligned;       /* 1 when dx, dy and rotation hold the alignment */
  int32_t dx, dy;        /* pixels */
  uint32_t rotation;     /* 1/256 turn */
} lumetra_tools_comparison;

/* The algorithm's similarity of `probe` to `enrolled` at FAR level `far`,
 * and the alignment it found.  QX_RC_BAD_ARGUMENT without an algorithm or
 * a template, or for templates of images of two sizes (their dimension
 * blocks differ), which are not compared. */
LUMETRA_API int32_t lumetra_tools_compare(const lumetra_tools_template *enrolled,
                                          const lumetra_tools_template *probe, int32_t far,
                                          lumetra_tools_comparison *comparison);

/* ---- The engine's image and template conversions ----------------------- */

/* An uncompressed 8-bit bitmap held in memory -> rows x cols grey pixels,
 * top row first, read as the library reads bitmaps.  Release *pixels with
 * lumetra_tools_free. */
LUMETRA_API int32_t lumetra_tools_decode_bitmap(const unsigned char *bitmap, size_t size,
                                                unsigned char **pixels, unsigned int *cols,
                                                unsigned int *rows);

/* A grey image of rows x cols at dpi_y x dpi_x, brought to 500 dpi with the
 * engine's resampling (*out released with lumetra_tools_free). */
LUMETRA_API int32_t lumetra_tools_resample_to_500(const unsigned char *pixels, int rows, int cols,
                                                  int dpi_y, int dpi_x, unsigned char **out,
                                                  int *out_rows, int *out_cols);

/* The template record of a 500 dpi grey image in one of the extractor's
 * record formats (QX_FORMAT_..., flags QX_CONTENT_...), as
 * bal_extract_template makes it; the result is an extraction status
 * (QXI_...).  Release *bytes with lumetra_tools_free. */
LUMETRA_API int32_t lumetra_tools_extract_record(const unsigned char *pixels, int rows, int cols,
                                                 int max_minutiae, int ordering, uint32_t flags,
                                                 int format, uint8_t **bytes, uint32_t *size);

/* The template of `source_type` in bytes -> its part of `target_type`
 * (qx_template_convert_bytes; *out released with lumetra_tools_free). */
LUMETRA_API int32_t lumetra_tools_convert_template(int32_t source_type, const uint8_t *bytes,
                                                   uint32_t size, int32_t target_type,
                                                   uint8_t **out, uint32_t *out_size);

/* The template type of bare template bytes of a record the extractor
 * writes: an ISO record, a compact card, or a hybrid template (a card with
 * a spectral part); 0 when it is none of them. */
LUMETRA_API int32_t lumetra_tools_record_type(const uint8_t *bytes, uint32_t size);

/* The extractor's findings on a 500 dpi grey image (minutiae, and the
 * cores, deltas or debugging picture result->flags asks for) as bal_extract
 * fills its record (engine/image/extract.h); the result is an extraction
 * status (QXI_...).  Release with lumetra_tools_release_features. */
struct bal_extract_result;
LUMETRA_API int32_t lumetra_tools_find_features(const unsigned char *pixels, int rows, int cols,
                                                struct bal_extract_result *result);
LUMETRA_API void lumetra_tools_release_features(struct bal_extract_result *result);

/* Releases what the functions above hand out (NULL is harmless). */
LUMETRA_API void lumetra_tools_free(void *buffer);

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_API_LUMETRA_TOOLS_H */
