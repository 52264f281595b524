/*
 * minutiastruct.h - the minutia list the template records are written from
 * and read into, and the extra extraction outputs some record blocks carry.
 *
 * `minutiastruct` is the flat list part of the extraction record: its field
 * order and widths are those the extraction fills in, so that the record
 * writers can take the extraction record's list as it is.
 */
#ifndef LUMETRA_ENGINE_FORMATS_MINUTIASTRUCT_H
#define LUMETRA_ENGINE_FORMATS_MINUTIASTRUCT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QX_MAX_MINUTIAE 255

/* One minutia: position in pixels, direction in 256 steps per turn, type
 * 1 ridge ending / 2 bifurcation, quality 10..100, ridge wavelength - 5. */
typedef struct bal_minutia {
  int16_t row;
  int16_t col;
  uint8_t direction;
  uint8_t type;
  uint8_t quality;
  uint8_t wavelength;
} bal_minutia;

typedef struct minutiastruct {
  uint32_t reserved;
  uint8_t max_minutiae;
  uint8_t ordering;
  bal_minutia minutiae[QX_MAX_MINUTIAE];
  uint8_t count;
  int16_t rows;
  int16_t cols;
  int16_t resolution;       /* pixels per centimetre, 197 */
  uint32_t capture_device;  /* vendor (high 16 bits) and type (low 16 bits) */
  uint8_t finger_position;
  uint8_t impression_type;
  uint8_t finger_quality;
} minutiastruct;

/* A core or delta.  Deltas carry three directions (d, d + 85, d - 86);
 * the records store the first one and rebuild the others. */
typedef struct qx_ref_point {
  int16_t row;
  int16_t col;
  uint8_t direction;
  uint8_t has_direction;
} qx_ref_point;

typedef struct qx_ref_points {
  qx_ref_point cores[4];
  uint8_t num_cores;
  qx_ref_point deltas[4];
  uint8_t num_deltas;
} qx_ref_points;

/* A block field (orientation, frequency or quality): one byte per block,
 * row by row; `fine` (optional) holds the field on the three-times finer
 * grid, (3 rows) x (3 cols) bytes. */
typedef struct qx_block_field {
  const uint8_t *data;
  uint8_t rows;
  uint8_t cols;
  uint8_t block_size;
  int16_t col_offset;
  int16_t row_offset;
  const uint8_t *fine;
} qx_block_field;

#ifdef __cplusplus
}
#endif

#endif
