/*
 * singular_points.h - cores and deltas from the Poincare index of the
 * pixel orientation image (bytes 64..191, 128 steps per half turn).
 */
#ifndef LUMETRA_ENGINE_IMAGE_SINGULAR_POINTS_H
#define LUMETRA_ENGINE_IMAGE_SINGULAR_POINTS_H

#include <stdint.h>

#include "engine/qx_rc.h"

#ifdef __cplusplus
extern "C" {
#endif

#define BAL_SINGULAR_CORE 253
#define BAL_SINGULAR_DOUBLE_CORE 254
#define BAL_SINGULAR_DELTA 255

typedef struct bal_singularity {
  uint32_t index; /* row * cols + column */
  uint8_t type;   /* 253 core, 254 double core, 255 delta */
  uint8_t direction;
  uint8_t reserved[2];
} bal_singularity;

typedef struct bal_core {
  int16_t row;
  int16_t col;
  uint8_t direction;
  uint32_t present;
} bal_core;

typedef struct bal_delta {
  int16_t row;
  int16_t col;
  uint8_t direction[3];
  uint32_t present;
} bal_delta;

typedef struct bal_core_list {
  uint32_t request;
  bal_core entries[4];
  uint8_t count;
} bal_core_list;

typedef struct bal_delta_list {
  uint32_t request;
  bal_delta entries[4];
  uint8_t count;
} bal_delta_list;

/* 253, 254, 255, or a smaller value for an ordinary point.  The pixel must
 * not lie on the image border. */
int bal_classify_singularity(const uint8_t *orientation, int cols, uint32_t index);

qxi_status bal_find_singularities_poincare(const uint8_t *orientation, const uint8_t *quality, int rows, int cols,
                                           bal_singularity *out, int *count, int maximum);

void bal_convert_singularities(const bal_singularity *cand, int count, int cols, bal_core_list *cores,
                               bal_delta_list *deltas);

#ifdef __cplusplus
}
#endif

#endif
