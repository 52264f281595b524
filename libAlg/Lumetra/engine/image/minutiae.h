/*
 * minutiae.h - branch points of skeletons as minutiae, their cleanups, the
 * ghost removal that starts every extraction and the block quality field.
 */
#ifndef LUMETRA_ENGINE_IMAGE_MINUTIAE_H
#define LUMETRA_ENGINE_IMAGE_MINUTIAE_H

#include <stdint.h>

#include "engine/qx_rc.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One minutia, 8 bytes: direction in 256 steps per turn (64 = 90 degrees,
 * y up), type 1 ridge ending / 2 bifurcation, quality 10..100, local ridge
 * wavelength minus 5 pixels. */
typedef struct bal_minutia {
  int16_t row;
  int16_t col;
  uint8_t direction;
  uint8_t type;
  uint8_t quality;
  uint8_t wavelength;
} bal_minutia;

#define BAL_MAX_MINUTIAE 255

/* Whitens a skeleton pixel and lowers the line counts of its neighbours. */
void bal_remove_skeleton_pixel(uint8_t *skeleton, uint8_t *counts, int rows, int cols, int r, int c);

/* The black neighbours of (r, c) as leg step codes (1 N, 2 S, 3 W, 4 E,
 * 5 NW, 6 NE, 7 SW, 8 SE) in raster order; returns how many (at most 8). */
int bal_find_bifurcation_legs(const uint8_t *skeleton, int rows, int cols, int r, int c, uint8_t legs[8]);

/* Next step along a line after `step` from (r, c), 0 when the line ends. */
int bal_find_next_leg_direction(const uint8_t *skeleton, int rows, int cols, int r, int c, int step);

/* Quality of a minutia at quality-image value q whose shortest leg has
 * the squared length shortest_sq: lowered when that leg is short. */
int bal_minutia_quality(int q, int shortest_sq, int scale);

/* Branch points of a thinned picture (0 black) appended to `minutiae` with
 * type `type`; `counts` (rows x cols bytes) receives the line counts.
 * The skeleton is changed (spurs and bridges cut). */
void bal_extract_bifurcations(uint8_t *skeleton, const uint8_t *wavelength, const uint8_t *orientation, int rows,
                              int cols, int type, const uint8_t *quality, bal_minutia *minutiae, int *count,
                              uint8_t *counts, int scale);

int bal_remove_duplicate_minutiae(bal_minutia *minutiae, int count, int scale);

int bal_remove_edge_endpoints(bal_minutia *minutiae, int count, const uint8_t *ridge_skeleton,
                              const uint8_t *counts, const uint8_t *wavelength, int rows, int cols, int scale);

int bal_orientation_difference(bal_minutia *minutiae, int count, const uint8_t *orientation, int rows, int cols,
                               int scale);


/* Block quality field aligned to the input image. */
qxi_status bal_quality_image_to_field(const uint8_t *quality, int rows, int cols, int work_rows, int work_cols,
                                      int row_offset, int col_offset, int block_h, int block_w, uint8_t *field);

#ifdef __cplusplus
}
#endif

#endif
