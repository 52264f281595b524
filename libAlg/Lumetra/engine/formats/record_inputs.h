/*
 * record_inputs.h - what the template records are written from besides the
 * extraction record's minutia list (`minutiastruct`): cores and deltas and
 * the block fields, as plain views that the record writers and readers
 * share.
 */
#ifndef LUMETRA_ENGINE_FORMATS_RECORD_INPUTS_H
#define LUMETRA_ENGINE_FORMATS_RECORD_INPUTS_H

#include <stdint.h>

#include "engine/image/extract.h"

#ifdef __cplusplus
extern "C" {
#endif

#define QX_MAX_MINUTIAE BAL_MAX_MINUTIAE

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
