/*
 * skeleton.h - contour thinning of black-and-white pictures (0 black line,
 * 1 white; 2 marks a contour pixel under test) to one-pixel-wide lines.
 */
#ifndef LUMETRA_ENGINE_IMAGE_SKELETON_H
#define LUMETRA_ENGINE_IMAGE_SKELETON_H

#include <stdint.h>

#include "engine/qx_rc.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Neighbour pattern: a bit per neighbour that is not white,
 * NW 128, N 64, NE 32, W 16, E 8, SW 4, S 2, SE 1.  Pixels outside the
 * picture count as white. */
int get_pattern(uint8_t **rowp, int rows, int cols, int r, int c);

/* 1 when (r, c) is not white and its eight neighbours all are. */
int is_single_island(uint8_t **rowp, int rows, int cols, int r, int c);

/* Traces one contour clockwise from (r, c), entered in `state` (a chain
 * step code), storing step codes in chain[*fill ..] (the start as the
 * null code 5) without passing `size`; marks the pixels 2. */
void extract_contour(uint8_t **rowp, int rows, int cols, int r, int c, int state, int size, uint8_t *chain,
                     int *fill);

/* Thins the picture in place; 0, or 9 without memory. */
qxi_status bal_contour_thin_scale(uint8_t **rowp, int rows, int cols, int scale);
qxi_status bal_contour_thin(uint8_t **rowp, int rows, int cols);

#ifdef __cplusplus
}
#endif

#endif
