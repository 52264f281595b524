/* A careless host of liblumetra.so, in plain C through the public header:
 * calls before init, after uninit and twice; odd sensor geometries with a
 * buffer of the real sensor's size; NULL for every pointer argument; a
 * thousand enrollment captures; every slot index -1..6, every verification
 * mode -1..5, false-accept levels outside the tables; the two-image
 * comparison on unreadable, huge and tiny files; and stored records with
 * their structure damaged.  Each call must return a defined code and
 * never crash, leak or read out of bounds (CI runs it under ASan+UBSan).
 * The finger images are generated here: ridges with phase singularities,
 * which the extractor finds as minutiae.
 * Exits non-zero when a check fails. */
#define _DEFAULT_SOURCE
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "c_check.h"
#include "lumetra.h"

#define SIDE 88
#define CANVAS 240
#define PI 3.14159265358979323846

static char dir[256];
static unsigned char canvas[CANVAS * CANVAS];
static tpl_record record, damaged;

/* A print on a canvas larger than the sensor: parallel ridges, curved a
 * little, whose phase winds once around each of a dozen points (a ridge
 * ends or forks there). */
static void draw_canvas(void) {
  static const double points[][3] = {
      {60, 70, 1},   {95, 52, -1},  {140, 80, 1},  {178, 61, -1}, {72, 120, -1},
      {118, 112, 1}, {160, 130, -1}, {196, 118, 1}, {66, 170, 1},  {105, 186, -1},
      {150, 175, 1}, {185, 190, -1}, {120, 150, -1}, {90, 88, 1}};
  const int n = (int)(sizeof points / sizeof points[0]);
  int x, y, k;
  for (y = 0; y < CANVAS; ++y)
    for (x = 0; x < CANVAS; ++x) {
      const double bend = 0.0025 * (x - 120) * (x - 120);
      double phase = 2 * PI * (y + bend + 0.25 * x) / 9.0;
      for (k = 0; k < n; ++k) phase += points[k][2] * atan2(y - points[k][1], x - points[k][0]);
      canvas[y * CANVAS + x] = (unsigned char)(128 + 95 * cos(phase));
    }
}

/* The sensor's window with its top-left corner at (x0, y0). */
static void window(int x0, int y0, unsigned char *pixels) {
  int y;
  for (y = 0; y < SIDE; ++y) memcpy(pixels + y * SIDE, canvas + (y0 + y) * CANVAS + x0, SIDE);
}

static void path_of(char *path, size_t size, const char *name) {
  snprintf(path, size, "%s/%s", dir, name);
}

static void le32(unsigned char *p, uint32_t v) {
  p[0] = (unsigned char)v;
  p[1] = (unsigned char)(v >> 8);
  p[2] = (unsigned char)(v >> 16);
  p[3] = (unsigned char)(v >> 24);
}

/* An 8-bit bottom-up bitmap of width x height (the pixels of `pixels`,
 * or only the headers when pixels is NULL). */
static int write_bitmap(const char *path, const unsigned char *pixels, int width, int height) {
  unsigned char header[1078];
  const int stride = (width + 3) & ~3;
  unsigned char *row = calloc((size_t)stride, 1);
  FILE *f = fopen(path, "wb");
  int i;
  if (f == NULL || row == NULL) {
    free(row);
    if (f != NULL) fclose(f);
    return 0;
  }
  memset(header, 0, sizeof header);
  header[0] = 'B';
  header[1] = 'M';
  le32(header + 2, (uint32_t)(1078 + (uint64_t)stride * (uint64_t)height));
  le32(header + 10, 1078);
  le32(header + 14, 40);
  le32(header + 18, (uint32_t)width);
  le32(header + 22, (uint32_t)height);
  header[26] = 1;
  header[28] = 8;
  for (i = 0; i < 256; ++i) header[54 + 4 * i] = header[55 + 4 * i] = header[56 + 4 * i] = (unsigned char)i;
  fwrite(header, 1, sizeof header, f);
  for (i = 0; pixels != NULL && i < height; ++i) {
    memcpy(row, pixels + (size_t)(height - 1 - i) * width, (size_t)width);
    fwrite(row, 1, (size_t)stride, f);
  }
  free(row);
  return fclose(f) == 0;
}

static int write_bytes(const char *path, const void *bytes, size_t n) {
  FILE *f = fopen(path, "wb");
  if (f == NULL) return 0;
  fwrite(bytes, 1, n, f);
  return fclose(f) == 0;
}

/* Every export with NULL for each of its pointer arguments. */
static void null_pointers(void) {
  unsigned char pixels[SIDE * SIDE];
  int col = -7, row = -7, matched = -7, updated = -7;
  unsigned w = 7, h = 7;
  unsigned char progress = 0xEE;
  fp_image_quality_t q;
  char path[512];
  memset(pixels, 200, sizeof pixels);
  path_of(path, sizeof path, "null.bmp");
  CHECK(write_bitmap(path, pixels, SIDE, SIDE));

  get_fp_sensor_col_row(NULL, NULL);
  get_fp_sensor_col_row(&col, NULL);
  get_fp_sensor_col_row(NULL, &row);
  get_fp_image_col_row(NULL, NULL);
  get_fp_image_col_row(&col, NULL);
  get_fp_image_col_row(NULL, &row);
  CHECK(col == -7 && row == -7);
  get_nerio_alg_info(NULL);
  nerio_get_version(NULL);
  nerio_SetSensorParam(NULL);
  nerio_SetFactordValue(NULL);
  nerio_SetDatabaseValue(NULL);
  nerio_SetEnrollmentTipsEn(NULL);
  nerio_enrollment_duplicatecheck_en(NULL);
  CHECK(nerio_GetFpImage(NULL) == 1);
  CHECK(init_alg_tpl_data(0, NULL) == -1);
  CHECK(nerio_qx_get_tpl(0, NULL) == 0);
  CHECK(nerio_qx_enroll_Image(NULL, 0, 0, &progress) == 1);
  CHECK(progress == 0xEE);
  CHECK(nerio_qx_save_tpl(0, NULL) == 1);
  CHECK(nerio_qx_verify(NULL, &matched, &updated, 0) == 1);
  CHECK(matched == -7 && updated == -7);
  CHECK(nerio_Identify(NULL, NULL) == -1);
  CHECK(get_fp_image_quality(NULL, &q) == -1);
  CHECK(get_fp_image_quality(pixels, NULL) == -1);
  CHECK(nerio_get_image_quality(NULL) == 1);
  CHECK(nerio_get_score_from_two_image_compare(NULL, path) == 1);
  CHECK(nerio_get_score_from_two_image_compare(path, NULL) == 1);
  CHECK(nerio_qx_ImageEnhance(NULL, SIDE, SIDE) == -1);
  CHECK(get_bmp_buff(NULL, pixels, &w, &h) == -1);
  CHECK(get_bmp_buff(path, NULL, &w, &h) == -1);
  w = h = 7;
  CHECK(get_bmp_buff(path, pixels, NULL, &h) == -1 && h == 7);
  CHECK(get_bmp_buff(path, pixels, &w, NULL) == -1 && w == 7);
  CHECK(get_bmp_buff_n(NULL, pixels, sizeof pixels, &w, &h) == -1);
  CHECK(get_bmp_buff_n(path, NULL, 0, &w, &h) == 1 && w == SIDE && h == SIDE);
  w = h = 7;
  CHECK(get_bmp_buff_n(path, pixels, sizeof pixels, NULL, &h) == -1 && h == 7);
  CHECK(get_bmp_buff_n(path, pixels, sizeof pixels, &w, NULL) == -1 && w == 7);
  /* With the algorithm, the same. */
  CHECK(init_nerio_algorithm() == 0);
  CHECK(nerio_qx_enroll_Image(NULL, 0, 0, NULL) == 1);
  CHECK(nerio_qx_verify(NULL, NULL, NULL, 1) == 1);
  CHECK(nerio_get_score_from_two_image_compare(NULL, NULL) == 1);
  uninit_nerio_algorithm();
}

/* Everything before init, after uninit and twice. */
static void lifecycle_out_of_order(void) {
  unsigned char pixels[SIDE * SIDE], progress = 0;
  int matched = -7, updated = -7;
  char path[512];
  window(60, 60, pixels);
  path_of(path, sizeof path, "order.bmp");
  CHECK(write_bitmap(path, pixels, SIDE, SIDE));
  for (int round = 0; round < 2; ++round) {
    uninit_nerio_algorithm();
    uninit_nerio_algorithm();
    CHECK(nerio_qx_enroll_Image(pixels, 0, 0, &progress) == 1);
    CHECK(nerio_qx_save_tpl(0, &record) == 1);
    CHECK(nerio_qx_cancel_enroll() == 0);
    CHECK(nerio_qx_verify(pixels, &matched, &updated, 0) == 1);
    CHECK(matched == -7 && updated == -7);
    CHECK(nerio_get_score_from_two_image_compare(path, path) == 1);
    CHECK(nerio_qx_get_tpl(0, &record) == 0 && record.length == 0);
    CHECK(nerio_DelFinger(0) == 0);
    /* Grading and enhancement need no init. */
    CHECK(nerio_get_image_quality(path) >= 0);
    CHECK(init_nerio_algorithm() == 0);
    CHECK(init_nerio_algorithm() == 0);
    /* A session open at uninit is gone afterwards. */
    CHECK(nerio_qx_enroll_Image(pixels, 0, 0, &progress) == 0);
    uninit_nerio_algorithm();
    CHECK(nerio_qx_enroll_Image(pixels, 0, 1, &progress) == 1);
  }
}

/* Geometries from nothing to beyond any sensor, each with a buffer of the
 * real 88 x 88 sensor: a geometry larger than the buffer cannot be caught
 * (the library does not know the buffer), one beyond the ceiling is. */
static void odd_geometries(void) {
  static const int sizes[][2] = {{0, 0}, {1, 1}, {7, 7}, {-88, 88}, {88, -88}, {-88, -88},
                                 {65535, 65535}, {65535, 1}, {0, 88}};
  static unsigned char pixels[SIDE * SIDE];
  static unsigned short frame[SIDE * SIDE];
  fp_image_quality_t q;
  int matched = -7, updated = -7, i;
  unsigned char progress = 0;
  char path[512];
  window(40, 40, pixels);
  path_of(path, sizeof path, "odd.bmp");
  CHECK(write_bitmap(path, pixels, SIDE, SIDE));
  for (i = 0; i < (int)(sizeof sizes / sizeof sizes[0]); ++i) {
    const int cols = sizes[i][0], rows = sizes[i][1];
    const int fits = cols > 0 && rows > 0 && (long)cols * rows <= SIDE * SIDE;
    const int usable = cols > 0 && rows > 0 && cols <= LUMETRA_MAX_SENSOR_SIDE &&
                       rows <= LUMETRA_MAX_SENSOR_SIDE;
    int rc;
    set_fp_sensor_col_row(cols, rows);
    rc = init_nerio_algorithm();
    CHECK(rc == 0 || rc == -1);
    if (!usable) CHECK(rc == -1);
    rc = get_fp_image_quality(pixels, &q);
    CHECK(rc == 0 || rc == -1);
    if (!fits) CHECK(rc == -1);
    rc = nerio_qx_ImageEnhance(pixels, SIDE, SIDE);
    CHECK(rc == -1 || (fits && rc == 0));
    rc = nerio_qx_ImageEnhance(pixels, 7, 7);
    CHECK(rc == 0 || rc == -1);
    rc = nerio_get_image_quality(path);
    CHECK(rc >= 0 && rc <= 100);
    rc = nerio_qx_enroll_Image(pixels, 0, 0, &progress);
    CHECK(rc == 0 || rc == 1);
    rc = nerio_qx_save_tpl(1, &record);
    CHECK(rc == 0 || rc == 1);
    rc = nerio_qx_verify(pixels, &matched, &updated, 0);
    CHECK(rc == 1 || rc == -1);
    rc = nerio_get_score_from_two_image_compare(path, path);
    CHECK(rc >= -1 && rc <= 65535);
    nerio_SetDatabaseValue(frame);
    nerio_qx_verify_hw(cols, rows);
    uninit_nerio_algorithm();
  }
  set_fp_sensor_col_row(SIDE, SIDE);
}

/* Enrols the canvas's finger from windows spread over it; the record is
 * left in `record`. */
static int enrol(void) {
  unsigned char pixels[SIDE * SIDE], progress = 0;
  int i, ok = 1;
  for (i = 0; i < 24; ++i) {
    window(30 + (i * 37) % 110, 30 + (i * 53) % 110, pixels);
    if (nerio_qx_enroll_Image(pixels, 0, i > 0, &progress) != 0) ok = 0;
  }
  return ok && nerio_qx_save_tpl(0, &record) == 0 && record.type == 80;
}

/* A thousand captures: the session keeps to its limits, the result saves. */
static void thousand_captures(void) {
  unsigned char pixels[SIDE * SIDE], progress = 0;
  unsigned short info = 0;
  int i, rc, all_taken = 1;
  CHECK(init_nerio_algorithm() == 0);
  for (i = 0; i < 1000; ++i) {
    /* Windows 20 pixels apart (no duplicates) until the session is full,
     * mixed with repeats and blank images; then anything. */
    if (i % 50 == 7)
      memset(pixels, 255, sizeof pixels);
    else if (i % 3 == 2)
      window(20, 20, pixels);
    else
      window(20 + (i % 6) * 20, 20 + ((i / 6) % 6) * 20, pixels);
    if (nerio_qx_enroll_Image(pixels, 0, i > 0, &progress) != 0) all_taken = 0;
    CHECK(progress <= 100);
  }
  CHECK(all_taken);
  get_nerio_alg_info(&info);
  CHECK((info & 0xFF) <= 100);
  rc = nerio_qx_save_tpl(4, &record);
  CHECK(rc == 0);
  CHECK(record.length > 0 && record.length <= LUMETRA_TPL_MAX_BYTES);
  uninit_nerio_algorithm();
}

/* Slots -1..6, modes -1..5, levels outside the tables. */
static void indices_modes_levels(void) {
  static const int levels[] = {-1, 0, 27, 28, 1000, 256, 512, 12};
  unsigned char pixels[SIDE * SIDE];
  char path[512];
  int slot, mode, i;
  CHECK(init_nerio_algorithm() == 0);
  CHECK(enrol());
  uninit_nerio_algorithm();
  CHECK(init_nerio_algorithm() == 0);
  for (slot = -1; slot <= 6; ++slot) {
    const int valid = slot >= 0 && slot <= 4;
    CHECK(init_alg_tpl_data(slot, &record) == (valid ? 0 : -1));
    CHECK(nerio_qx_get_tpl(slot, &damaged) == (valid ? 0 : -1));
    CHECK(nerio_qx_save_tpl(slot, &damaged) == (valid ? 1 : -1));
  }
  window(70, 70, pixels);
  path_of(path, sizeof path, "probe.bmp");
  CHECK(write_bitmap(path, pixels, SIDE, SIDE));
  for (i = 0; i < (int)(sizeof levels / sizeof levels[0]); ++i) {
    int score;
    set_nerio_FAR_Val(levels[i]);
    for (mode = -1; mode <= 5; ++mode) {
      int matched = -7, updated = 0;
      const int rc = nerio_qx_verify(pixels, &matched, &updated, mode);
      CHECK(rc == 0 || rc == 1);
      CHECK(rc != 0 || (matched >= 0 && matched <= 4));
      CHECK(rc != 1 || matched == -7);
      CHECK(updated == 0 || updated == 1);
    }
    score = nerio_get_score_from_two_image_compare(path, path);
    CHECK(score > 1);
  }
  for (slot = -1; slot <= 6; ++slot) CHECK(nerio_DelFinger(slot) == 0);
  uninit_nerio_algorithm();
}

/* The comparison on files that are no fingerprint bitmaps. */
static void unreadable_huge_tiny(void) {
  static unsigned char big[2100 * 2100];
  unsigned char pixels[SIDE * SIDE];
  char good[512], path[512];
  const char *names[] = {"missing.bmp", "empty.bmp", "one.bmp", "headers.bmp", "huge_claim.bmp",
                         "huge.bmp", "fifo.bmp", "", "noaccess.bmp"};
  int i;
  CHECK(init_nerio_algorithm() == 0);
  window(50, 50, pixels);
  path_of(good, sizeof good, "good.bmp");
  CHECK(write_bitmap(good, pixels, SIDE, SIDE));
  path_of(path, sizeof path, "empty.bmp");
  CHECK(write_bytes(path, "", 0));
  path_of(path, sizeof path, "one.bmp");
  CHECK(write_bytes(path, "B", 1));
  path_of(path, sizeof path, "headers.bmp");
  CHECK(write_bitmap(path, NULL, SIDE, SIDE));
  /* Headers claiming 100000 x 100000 pixels, and a real 2100 x 2100 one. */
  path_of(path, sizeof path, "huge_claim.bmp");
  CHECK(write_bitmap(path, NULL, 100000, 100000));
  path_of(path, sizeof path, "huge.bmp");
  memset(big, 128, sizeof big);
  CHECK(write_bitmap(path, big, 2100, 2100));
  path_of(path, sizeof path, "fifo.bmp");
  CHECK(mkfifo(path, 0600) == 0);
  path_of(path, sizeof path, "noaccess.bmp");
  CHECK(write_bitmap(path, pixels, SIDE, SIDE));
  chmod(path, 0);
  for (i = 0; i < (int)(sizeof names / sizeof names[0]); ++i) {
    unsigned w = 0, h = 0;
    if (names[i][0] == '\0')
      snprintf(path, sizeof path, "%s", dir); /* a directory */
    else
      path_of(path, sizeof path, names[i]);
    /* Permissions do not stop root. */
    if (strcmp(names[i], "noaccess.bmp") == 0 && geteuid() == 0) continue;
    CHECK(nerio_get_score_from_two_image_compare(path, good) == 1);
    CHECK(nerio_get_score_from_two_image_compare(good, path) == 1);
    CHECK(nerio_get_image_quality(path) == 1);
    /* The huge one is a bitmap, beyond the ceiling; the others none. */
    CHECK(get_bmp_buff_n(path, big, sizeof big, &w, &h) == -1);
  }
  CHECK(nerio_get_score_from_two_image_compare(good, good) > 1);
  uninit_nerio_algorithm();
}

/* Stored records whose structure is damaged are refused through the
 * shared library, and the slot stays empty. */
static void damaged_records(void) {
  unsigned char pixels[SIDE * SIDE];
  int matched = -7, updated = 0;
  uint32_t n, i, refused = 0;
  CHECK(init_nerio_algorithm() == 0);
  CHECK(enrol());
  n = record.length;
  uninit_nerio_algorithm();
  CHECK(init_nerio_algorithm() == 0);
  CHECK(init_alg_tpl_data(1, &record) == 0);
  window(70, 70, pixels);
  CHECK(nerio_qx_verify(pixels, &matched, &updated, 0) == 0 && matched == 1);

  for (i = 0; i < 4; ++i) { /* the magic "QXMT" */
    damaged = record;
    damaged.data[i] ^= 0x01;
    CHECK(init_alg_tpl_data(1, &damaged) == -1);
  }
  damaged = record;
  damaged.data[5] = 0; /* version 0 */
  CHECK(init_alg_tpl_data(1, &damaged) == -1);
  damaged.data[5] = 4; /* version 4 */
  CHECK(init_alg_tpl_data(1, &damaged) == -1);
  damaged = record; /* a trailing byte that is no 0xFF padding */
  damaged.data[n] = 0x00;
  damaged.length = n + 1;
  CHECK(init_alg_tpl_data(1, &damaged) == -1);
  damaged.data[n] = 0xFF; /* padding is what a slot holds */
  CHECK(init_alg_tpl_data(1, &damaged) == 0);
  /* Flipped bytes in the structure: the instance count, the global
   * record's length, the first subtemplate's size and its record's
   * outer tag. */
  {
    const uint32_t first = 8 + 3 + ((uint32_t)record.data[9] << 8 | record.data[10]);
    const uint32_t at[] = {6, 7, 9, first + 6, first + 8, first + 10};
    for (i = 0; i < sizeof at / sizeof at[0]; ++i) {
      damaged = record;
      damaged.data[at[i]] ^= 0xFF;
      CHECK(init_alg_tpl_data(1, &damaged) == -1);
    }
  }
  /* Bytes flipped in turn over the first subtemplates: many are refused;
   * none crashes (every byte of a whole record: the library's own tests). */
  if (n > 3000) n = 3000;
  for (i = 0; i < n; ++i) {
    damaged = record;
    damaged.data[i] ^= 0xFF;
    refused += init_alg_tpl_data(2, &damaged) == -1;
  }
  CHECK(refused > 0 && refused < n);
  printf("hostile host: %u of %u single-byte flips refused at load\n", refused, n);
  /* A refused record leaves the slot empty: verification does not see it. */
  damaged = record;
  damaged.data[0] = 'X';
  CHECK(init_alg_tpl_data(1, &damaged) == -1);
  CHECK(nerio_qx_get_tpl(1, &damaged) == 0 && damaged.length == 0);
  CHECK(init_alg_tpl_data(2, &record) == 0);
  matched = -7;
  CHECK(nerio_qx_verify(pixels, &matched, &updated, 0) == 0 && matched == 2);
  uninit_nerio_algorithm();
}

int main(void) {
  const char *tmp = getenv("TMPDIR");
  snprintf(dir, sizeof dir, "%s/lumetra_hostile_XXXXXX", tmp != NULL ? tmp : "/tmp");
  if (mkdtemp(dir) == NULL) {
    perror("mkdtemp");
    return 2;
  }
  draw_canvas();
  null_pointers();
  lifecycle_out_of_order();
  odd_geometries();
  thousand_captures();
  indices_modes_levels();
  unreadable_huge_tiny();
  damaged_records();
  uninit_nerio_algorithm();
  {
    char cmd[1024];
    snprintf(cmd, sizeof cmd, "chmod -R u+rwx '%s' && rm -rf '%s'", dir, dir);
    if (system(cmd) != 0) fprintf(stderr, "could not remove %s\n", dir);
  }
  if (failures == 0) printf("hostile host: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
