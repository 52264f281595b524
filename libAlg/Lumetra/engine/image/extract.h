/*
 * extract.h - the minutiae extraction pipeline and its result record.
 *
 * bal_extract turns one grey image (rows x cols bytes, ridges dark) into
 * minutiae, cores and deltas, finger quality, area and centre, and on
 * request block fields and a debug picture.  The record is a flat C
 * structure that the caller zero-initialises and fills with its requests;
 * buffers the extraction hangs on it (fields, debug picture) are released
 * with bal_extract_release (the next extraction releases a debug picture
 * left from the previous one).
 *
 * Field units: the orientation field holds the doubled ridge angle, 256
 * steps per half turn of the ridge orientation (0 for vertical ridges, 128
 * for horizontal ones), 0 also for blocks without an orientation; the
 * frequency field holds 1024 / wavelength in pixels (0 = none).
 */
#ifndef LUMETRA_ENGINE_IMAGE_EXTRACT_H
#define LUMETRA_ENGINE_IMAGE_EXTRACT_H

#include <stdint.h>

#include "engine/qx_rc.h"
#include "engine/image/minutiae.h"
#include "engine/image/singular_points.h"

#ifdef __cplusplus
extern "C" {
#endif

#define BAL_EXTRACT_CORES 0x2u
#define BAL_EXTRACT_DELTAS 0x4u
#define BAL_EXTRACT_QUALITY_FIELD 0x8u
#define BAL_EXTRACT_ORIENTATION_FIELD 0x10u
#define BAL_EXTRACT_FREQUENCY_FIELD 0x20u
#define BAL_EXTRACT_FINE_FIELDS 0x80u
#define BAL_EXTRACT_DEBUG_PICTURE 0x100u
#define BAL_EXTRACT_HALF_FREQUENCY 0x800u
#define BAL_EXTRACT_250DPI 0x1000u
#define BAL_EXTRACT_OWN_INPUT 0x2000u

#define BAL_MAX_WORK_ROWS 1125
#define BAL_MAX_WORK_COLS 804

typedef struct minutiastruct {
  uint32_t reserved;
  uint8_t max_minutiae; /* 0 keeps up to 255 */
  uint8_t ordering;     /* 1..5, 17..21; 0 leaves the found order */
  bal_minutia minutiae[BAL_MAX_MINUTIAE];
  uint8_t count;
  int16_t rows;
  int16_t cols;
  int16_t resolution; /* pixels per centimetre: 197 */
  uint32_t device_id; /* not touched by the extractor */
  uint8_t finger_position;
  uint8_t impression_type;
  uint8_t finger_quality;
} minutiastruct;

typedef struct bal_quality_field {
  uint32_t request;
  uint8_t *data;
  uint8_t rows;
  uint8_t cols;
  uint8_t block_h;
  uint8_t block_w;
} bal_quality_field;

typedef struct bal_block_field {
  uint32_t request; /* bit 0 wanted, bit 1 also the 3 times finer grid */
  uint8_t *data;
  uint8_t rows;
  uint8_t cols;
  uint8_t block;
  int16_t col_offset;
  int16_t row_offset;
  uint8_t *fine; /* 3 rows x 3 cols finer, block / 3 */
} bal_block_field;

typedef struct bal_debug_picture {
  uint32_t request;
  uint8_t *picture; /* input size, 0 ridge / 255 elsewhere */
  uint16_t rows;
  uint16_t cols;
} bal_debug_picture;

typedef struct bal_extract_result {
  uint32_t flags;
  uint32_t reserved;
  minutiastruct minutiae;
  bal_core_list cores;
  bal_delta_list deltas;
  bal_quality_field quality_field;
  bal_block_field orientation_field;
  bal_block_field frequency_field;
  bal_debug_picture debug;
  uint32_t centre_row;
  uint32_t centre_col;
  uint8_t finger_quality;
  uint32_t area;
} bal_extract_result;

/* 0 success, 9 out of memory, 13 contradictory flags, 14 image too small
 * (or arguments invalid).  With BAL_EXTRACT_OWN_INPUT the pixel buffer
 * (allocated with qx_malloc) is freed on every path. */
qxi_status bal_extract(uint8_t *pixels, int rows, int cols, bal_extract_result *result);

/* Frees the buffers hung on the record and clears their pointers. */
void bal_extract_release(bal_extract_result *result);

/* Whole-block working size: 14 when smaller than 3 blocks.  Writes the new
 * size and the signed offsets of its origin in input coordinates. */
qxi_status bal_resize_block_size(const uint8_t *in, int rows, int cols, int B, int mode, uint8_t **out, int *out_rows,
                                 int *out_cols, int *row_offset, int *col_offset);

/* Grows an image placed at (top, left) of a rows x cols canvas whose
 * original is in_rows x in_cols, ring by ring from the original. */
void bal_expand_image(uint8_t *canvas, int rows, int cols, int top, int left, int in_rows, int in_cols);

/* Stable ordering of the minutiae around the centre (codes 1..5, 17..21). */
void bal_sort_minutiae(bal_minutia *m, int count, int code, int centre_row, int centre_col);

#ifdef __cplusplus
}
#endif

#endif
