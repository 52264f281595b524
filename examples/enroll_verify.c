/* enroll_verify: a host program that enrols a finger, keeps its template in
 * a file and verifies images against it after a restart, through the
 * Lumetra library's public interface only.
 *
 *   enroll_verify enroll DIR RECORD   enrol DIR/f0001_01.bmp .. f0001_32.bmp
 *                                     into slot 0, save the record to RECORD
 *   enroll_verify verify DIR RECORD   load RECORD into slot 0 and verify
 *                                     DIR/f0001_33.bmp (the same finger) and
 *                                     DIR/f0002_01.bmp (another finger)
 *
 * DIR holds 88 x 88 grey bitmaps, as `fpsynth set --size 88x88` writes them.
 * The record file holds the record's first 8 bytes (type, 3 unused bytes,
 * length) followed by its `length` data bytes. */
#include <stdio.h>
#include <string.h>

#include "lumetra.h"

#define SIDE 88
#define CAPTURES 32

/* Reads an 88 x 88 bitmap into pixels; 0 on success. */
static int read_image(const char *dir, int finger, int impression, unsigned char *pixels) {
  char path[1024];
  unsigned int width = 0, height = 0;
  snprintf(path, sizeof path, "%s/f%04d_%02d.bmp", dir, finger, impression);
  /* The bounded conversion writes nothing into a buffer too small for the
   * file, and says how large the bitmap is. */
  const int rc = get_bmp_buff_n(path, pixels, SIDE * SIDE, &width, &height);
  if (rc < 0) {
    fprintf(stderr, "cannot read %s\n", path);
    return -1;
  }
  if (rc != 0 || width != SIDE || height != SIDE) {
    fprintf(stderr, "%s is %u x %u, not %d x %d\n", path, width, height, SIDE, SIDE);
    return -1;
  }
  return 0;
}

static int enroll(const char *dir, const char *record_path) {
  static tpl_record record;
  unsigned char pixels[SIDE * SIDE];
  unsigned char progress = 0;
  FILE *f;
  int i, rc;

  for (i = 1; i <= CAPTURES; ++i) {
    if (read_image(dir, 1, i, pixels) != 0) return 1;
    /* The first image opens the session, the others continue it. */
    if (nerio_qx_enroll_Image(pixels, 0, i > 1, &progress) != 0) {
      fprintf(stderr, "image %d refused\n", i);
      return 1;
    }
    printf("capture %2d: progress %3u%%\n", i, progress);
  }
  rc = nerio_qx_save_tpl(0, &record);
  if (rc != 0) {
    fprintf(stderr, "saving the template failed (%d)\n", rc);
    return 1;
  }
  printf("template: type %u, %u bytes\n", record.type, (unsigned)record.length);
  f = fopen(record_path, "wb");
  if (f == NULL || fwrite(&record, 1, 8 + record.length, f) != 8 + record.length) {
    fprintf(stderr, "cannot write %s\n", record_path);
    if (f != NULL) fclose(f);
    return 1;
  }
  if (fclose(f) != 0) return 1;
  printf("record saved to %s\n", record_path);
  return 0;
}

static void verify_one(const char *what, const unsigned char *pixels) {
  int matched = -1, updated = 0;
  int rc = nerio_qx_verify(pixels, &matched, &updated, 0);
  if (rc == 0) {
    printf("%s: accepted by slot %d%s\n", what, matched, updated ? " (template updated)" : "");
  } else {
    printf("%s: rejected\n", what);
  }
}

static int verify(const char *dir, const char *record_path) {
  static tpl_record record;
  unsigned char genuine[SIDE * SIDE], impostor[SIDE * SIDE];
  size_t got;
  FILE *f = fopen(record_path, "rb");
  if (f == NULL) {
    fprintf(stderr, "cannot open %s\n", record_path);
    return 1;
  }
  got = fread(&record, 1, sizeof record, f);
  fclose(f);
  if (got < 8 || record.length > LUMETRA_TPL_MAX_BYTES || got != 8 + record.length) {
    fprintf(stderr, "%s is not a template record\n", record_path);
    return 1;
  }
  if (init_alg_tpl_data(0, &record) != 0) {
    fprintf(stderr, "the library refused the record\n");
    return 1;
  }
  printf("record loaded into slot 0 (%u bytes)\n", (unsigned)record.length);
  if (read_image(dir, 1, CAPTURES + 1, genuine) != 0 || read_image(dir, 2, 1, impostor) != 0) {
    return 1;
  }
  verify_one("same finger", genuine);
  verify_one("other finger", impostor);
  return 0;
}

int main(int argc, char **argv) {
  int rc;
  if (argc != 4 || (strcmp(argv[1], "enroll") != 0 && strcmp(argv[1], "verify") != 0)) {
    fprintf(stderr, "usage: enroll_verify enroll|verify DIR RECORD\n");
    return 2;
  }
  set_fp_sensor_col_row(SIDE, SIDE);
  if (init_nerio_algorithm() != 0) {
    fprintf(stderr, "the library cannot be initialised\n");
    return 1;
  }
  /* Verification should not change the stored template in this example. */
  set_fp_dyn_update_flg(0);
  rc = strcmp(argv[1], "enroll") == 0 ? enroll(argv[2], argv[3]) : verify(argv[2], argv[3]);
  uninit_nerio_algorithm();
  return rc;
}
