/* nerio_qx_ImageEnhance from plain C through the shared library, on a host
 * buffer that holds exactly one sensor image (heap, so that the sanitizers
 * see any byte read or written past it): sizes larger than the sensor image
 * are refused with the buffer untouched, equal and smaller sizes work
 * within it.  Exits non-zero on the first difference. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "c_check.h"
#include "lumetra.h"


enum { SIDE = 88, BYTES = SIDE * SIDE };

/* Slanted ridges of period 9 pixels with a dark frame. */
static void fill_ridges(unsigned char *p) {
  for (int r = 0; r < SIDE; ++r)
    for (int c = 0; c < SIDE; ++c) {
      const double v = 128.0 + 90.0 * sin((r * 0.6 + c * 0.8) * 2.0 * 3.14159265 / 9.0);
      p[r * SIDE + c] = (unsigned char)v;
    }
}

int main(void) {
  unsigned char *host = malloc(BYTES);
  unsigned char *copy = malloc(BYTES);
  if (host == NULL || copy == NULL) return 2;
  set_fp_sensor_col_row(SIDE, SIDE);

  /* Larger than the sensor image, or not positive: refused, untouched. */
  static const int refused[][2] = {{120, 120}, {SIDE + 1, SIDE}, {SIDE, SIDE + 1}, {BYTES + 1, 1},
                                   {0, SIDE},  {SIDE, 0},        {-SIDE, -SIDE},  {65536, 65536}};
  for (size_t i = 0; i < sizeof refused / sizeof refused[0]; ++i) {
    fill_ridges(host);
    memcpy(copy, host, BYTES);
    CHECK(nerio_qx_ImageEnhance(host, refused[i][0], refused[i][1]) == -1);
    CHECK(memcmp(host, copy, BYTES) == 0);
  }
  CHECK(nerio_qx_ImageEnhance(NULL, SIDE, SIDE) == -1);

  /* Exactly the sensor image: enhanced in place. */
  fill_ridges(host);
  memcpy(copy, host, BYTES);
  CHECK(nerio_qx_ImageEnhance(host, SIDE, SIDE) == 0);
  CHECK(memcmp(host, copy, BYTES) != 0);

  /* The same bytes as one long row: same product, same enhancement copied
   * back, only the contrast step sees another shape. */
  fill_ridges(host);
  CHECK(nerio_qx_ImageEnhance(host, BYTES, 1) == 0);

  /* Smaller: only the first width x height bytes change. */
  fill_ridges(host);
  CHECK(nerio_qx_ImageEnhance(host, 60, 50) == 0);
  CHECK(memcmp(host + 60 * 50, copy + 60 * 50, BYTES - 60 * 50) == 0);
  CHECK(memcmp(host, copy, 60 * 50) != 0);

  /* A sensor image larger than the caller's size stays the reference: a
   * 96 x 96 sensor with a 88 x 88 request reads a 96 x 96 buffer. */
  free(host);
  host = malloc(96 * 96);
  if (host == NULL) return 2;
  memset(host, 0x80, 96 * 96);
  set_fp_sensor_col_row(96, 96);
  CHECK(nerio_qx_ImageEnhance(host, SIDE, SIDE) == 0);
  CHECK(nerio_qx_ImageEnhance(host, 97, 96) == -1);

  free(host);
  free(copy);
  if (failures == 0) printf("image enhance from C: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
