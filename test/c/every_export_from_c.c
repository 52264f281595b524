/* Every export of liblumetra.so, used from plain C through the public
 * header: parameters, sensor-side names, lifecycle, image services, and a
 * whole host session with the slots, enrollment and verification.
 * Argument: a directory of generated 88 x 88 bitmaps f0001_01.bmp ..
 * f0001_33.bmp and f0002_01.bmp ("fpsynth set --impressions 33").
 * Exits non-zero when a check fails. */
#include <stdio.h>
#include <string.h>

#include "c_check.h"
#include "lumetra.h"

#define SIDE 88


static const char *dir;
static unsigned char whole[1024 * 1024];

static void image_path(char *path, size_t size, int finger, int impression) {
  snprintf(path, size, "%s/f%04d_%02d.bmp", dir, finger, impression);
}

static int read_image(int finger, int impression, unsigned char *pixels) {
  char path[1024];
  unsigned int w = 0, h = 0;
  image_path(path, sizeof path, finger, impression);
  if (get_bmp_buff(path, whole, &w, &h) != 0 || w != SIDE || h != SIDE) return -1;
  memcpy(pixels, whole, SIDE * SIDE);
  return 0;
}

static void parameters_and_sensor_side(void) {
  int col = 0, row = 0;
  unsigned char param[48];
  int factors[7] = {1, 2, 3, 4, 5, 6, 7};
  static unsigned short frame[SIDE * SIDE];
  unsigned char pixels[16];
  char version[24];

  set_fp_sensor_col_row(SIDE, SIDE);
  get_fp_sensor_col_row(&col, &row);
  CHECK(col == SIDE && row == SIDE);
  set_fp_image_col_row(100, 120);
  get_fp_image_col_row(&col, &row);
  CHECK(col == 100 && row == 120);
  set_fp_alg_max_tpl_count(5);
  set_fp_sensor_max_tpl_count(1);
  set_nerio_FAR_Val(268); /* outside 0..27: refused, the level stays 12 */
  set_fp_dyn_update_FAR_VAL(12);
  /* 256 keeps no bit: the default maximum, so enrollment still saves. */
  set_fp_max_nbr_subtemplate(256);
  nerio_get_version(version);
  CHECK(memcmp(version, "Lumetra v1.0.5", 14) == 0);

  memset(pixels, 0x55, sizeof pixels);
  CHECK(nerio_GetFpImage(pixels) == 1 && pixels[0] == 0x55);
  CHECK(nerio_DetectFinger() == 2);
  nerio_qx_verify_hw(SIDE, SIDE);
  CHECK(nerio_qx_get_verify_hw_status() == 1);
  memset(param, 0, sizeof param);
  nerio_SetSensorParam(param);
  nerio_SetFactordValue(factors);
  nerio_SetDatabaseValue(frame);
  nerio_SetTransferBytesMax(1014);
}

static void image_services(void) {
  char a[1024], b[1024];
  unsigned char pixels[SIDE * SIDE];
  fp_image_quality_t quality;
  int q;
  image_path(a, sizeof a, 1, 1);
  image_path(b, sizeof b, 1, 2);
  CHECK(read_image(1, 1, pixels) == 0);
  CHECK(get_fp_image_quality(pixels, &quality) == 0);
  CHECK(quality.image_quality <= 100);
  q = nerio_get_image_quality(a);
  CHECK(q >= 0 && q <= 100);
  CHECK(nerio_qx_ImageEnhance(pixels, SIDE, SIDE) == 0);
  /* Without init the comparison fails; with it, it gives a score. */
  CHECK(nerio_get_score_from_two_image_compare(a, b) == 1);
  CHECK(init_nerio_algorithm() == 0);
  CHECK(nerio_get_score_from_two_image_compare(a, a) >= 0);
}

static void host_session(void) {
  static tpl_record record, read_back;
  unsigned char pixels[SIDE * SIDE], progress = 0;
  unsigned short info = 0;
  int i, matched = -1, updated = 0, enrolled_ok = 1;

  /* Empty slots, nothing to load, no such slot. */
  CHECK(nerio_qx_get_tpl(0, &read_back) == 0 && read_back.length == 0);
  CHECK(init_alg_tpl_data(0, &read_back) == 0);
  CHECK(nerio_DelFinger(261) == 0);
  CHECK(nerio_qx_verify(pixels, &matched, &updated, 0) == 1 && matched == -1 && updated == 0);

  /* A session that is cancelled, then one that is saved into slot 2. */
  CHECK(read_image(1, 1, pixels) == 0);
  CHECK(nerio_qx_enroll_Image(pixels, 0, 1, &progress) == 1);
  CHECK(nerio_qx_enroll_Image(pixels, 0, 0, &progress) == 0);
  CHECK(nerio_qx_cancel_enroll() == 0);
  get_nerio_alg_info(&info);
  CHECK((info & 0xFF) == 0);
  CHECK(nerio_qx_save_tpl(2, &record) == 1);
  nerio_SetEnrollmentTipsEn(NULL);
  nerio_enrollment_duplicatecheck_en(NULL);
  for (i = 1; i <= 32; ++i) {
    if (read_image(1, i, pixels) != 0) enrolled_ok = 0;
    CHECK(nerio_qx_enroll_Image(pixels, 0, i > 1, &progress) == 0);
  }
  CHECK(enrolled_ok);
  CHECK(progress <= 100);
  CHECK(nerio_qx_save_tpl(2, &record) == 0);
  CHECK(record.type == 80 && record.length > 0 && record.length <= LUMETRA_TPL_MAX_BYTES);
  CHECK(nerio_qx_save_tpl(2, &record) == 1); /* the session is closed */
  CHECK(nerio_qx_get_tpl(2, &read_back) == 0 && read_back.length == record.length);

  /* A restart: reload the record and verify an enrolled image. */
  uninit_nerio_algorithm();
  CHECK(init_nerio_algorithm() == 0);
  set_fp_dyn_update_flg(0);
  CHECK(init_alg_tpl_data(2, &record) == 0);
  CHECK(nerio_qx_get_tpl(2, &read_back) == 0 && read_back.length == LUMETRA_TPL_MAX_BYTES);
  CHECK(read_image(1, 5, pixels) == 0);
  CHECK(nerio_qx_verify(pixels, &matched, &updated, 0) == 0 && matched == 2 && updated == 0);
  matched = -1;
  CHECK(nerio_qx_verify(pixels, &matched, &updated, 1) == 0 && matched == 2);
  matched = -1;
  CHECK(nerio_Identify(&matched, &updated) == -1 && matched == -1 && updated == 0);

  /* With updating on, an accepted image may rewrite the slot; it stays
   * loaded and verifies again. */
  set_fp_dyn_update_flg(1);
  CHECK(nerio_qx_verify(pixels, &matched, &updated, 2) == 0 && matched == 2);
  CHECK(updated == 0 || updated == 1);
  CHECK(nerio_qx_verify(pixels, &matched, &updated, 0) == 0 && matched == 2);

  CHECK(nerio_DelFinger(258) == 0);
  matched = -1;
  CHECK(nerio_qx_verify(pixels, &matched, &updated, 0) == 1 && matched == -1);
  uninit_nerio_algorithm();
  uninit_nerio_algorithm();
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: every_export_from_c DIR\n");
    return 2;
  }
  dir = argv[1];
  parameters_and_sensor_side();
  image_services();
  host_session();
  if (failures == 0) printf("every export from C: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
