/* Uses the public header and the shared library from plain C: checks the
 * parameters as they are right after load, then the exports' results.
 * Exits non-zero on the first difference. */
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "c_check.h"
#include "lumetra.h"


static double seconds_now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

int main(void) {
  int col = -1, row = -1;
  unsigned short info = 0xFFFF;
  char version[32];
  unsigned char pixels[16];
  unsigned char detected;
  double t0;

  /* Defaults at load, before anything was set. */
  get_fp_sensor_col_row(&col, &row);
  CHECK(col == 88 && row == 88);
  get_fp_image_col_row(&col, &row);
  CHECK(col == 88 && row == 88);
  get_nerio_alg_info(&info);
  CHECK(info == 0);

  memset(version, 0x41, sizeof version);
  nerio_get_version(version);
  CHECK(memcmp(version, "Lumetra v1.0.5 ", 15) == 0);
  CHECK((version[15] == 'g' && strspn(version + 16, "0123456789abcdef") >= 7) ||
        memcmp(version + 15, "unknown ", 8) == 0);
  /* The header's macros are the project's version (given by the build). */
  CHECK(LUMETRA_VERSION_MAJOR == EXPECTED_VERSION_MAJOR && LUMETRA_VERSION_MINOR == EXPECTED_VERSION_MINOR &&
        LUMETRA_VERSION_PATCH == EXPECTED_VERSION_PATCH);
#if LUMETRA_VERSION < 10000
#error "LUMETRA_VERSION is not usable in #if"
#endif
  CHECK(version[23] == 0x41);

  set_fp_sensor_col_row(120, 96);
  get_fp_sensor_col_row(&col, &row);
  CHECK(col == 120 && row == 96);

  memset(pixels, 0x55, sizeof pixels);
  CHECK(nerio_GetFpImage(pixels) == 1);
  CHECK(pixels[0] == 0x55 && pixels[15] == 0x55);

  nerio_qx_verify_hw(88, 88);
  CHECK(nerio_qx_get_verify_hw_status() == 1);

  t0 = seconds_now();
  detected = nerio_DetectFinger();
  CHECK(detected == 2);
  CHECK(seconds_now() - t0 >= 0.99);

  /* Lifecycle through the shared library: release before any init, build
   * for the default sensor, release twice, and refuse a sensor that has no
   * configuration. */
  uninit_nerio_algorithm();
  set_fp_sensor_col_row(88, 88);
  CHECK(init_nerio_algorithm() == 0);
  uninit_nerio_algorithm();
  uninit_nerio_algorithm();
  set_fp_sensor_col_row(20, 60);
  CHECK(init_nerio_algorithm() == -1);

  if (failures == 0) printf("lumetra from C: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
