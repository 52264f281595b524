/* nerio_get_score_from_two_image_compare through the shared library, from
 * plain C.  Argument: a directory of generated 88 x 88 bitmaps named
 * f<finger>_<impression>.bmp (fingers 1 and 2, impressions 1 and 2), as
 * "fpsynth set" writes them.
 * Exits non-zero on the first difference. */
#include <stdio.h>
#include <string.h>

#include "c_check.h"
#include "lumetra.h"


static char paths[4][1024];

/* An 88 x 88 8-bit bitmap, bottom-up, every pixel `grey`. */
static int write_flat_bitmap(const char *path, unsigned char grey) {
  unsigned char header[1078];
  unsigned char row[88];
  const unsigned size = 1078 + 88 * 88;
  FILE *f = fopen(path, "wb");
  int i;
  if (f == NULL) return 0;
  memset(header, 0, sizeof header);
  header[0] = 'B';
  header[1] = 'M';
  header[2] = size & 0xFF;
  header[3] = (size >> 8) & 0xFF;
  header[10] = 1078 & 0xFF;
  header[11] = 1078 >> 8;
  header[14] = 40;
  header[18] = 88; /* width */
  header[22] = 88; /* height */
  header[26] = 1;  /* planes */
  header[28] = 8;  /* bits per pixel */
  for (i = 0; i < 256; ++i) {
    header[54 + 4 * i] = header[55 + 4 * i] = header[56 + 4 * i] = (unsigned char)i;
  }
  memset(row, grey, sizeof row);
  fwrite(header, 1, sizeof header, f);
  for (i = 0; i < 88; ++i) fwrite(row, 1, sizeof row, f);
  return fclose(f) == 0;
}

int main(int argc, char **argv) {
  int f, i, same, self, other, blank;
  char blank_path[1100];
  if (argc != 2) {
    fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  for (f = 0; f < 2; ++f)
    for (i = 0; i < 2; ++i)
      snprintf(paths[2 * f + i], sizeof paths[0], "%s/f%04d_%02d.bmp", argv[1], f + 1, i + 1);

  /* The set is there: every file reads as a bitmap. */
  for (i = 0; i < 4; ++i) CHECK(nerio_get_image_quality(paths[i]) != 1);

  /* Before initialisation there is no algorithm to compare with. */
  CHECK(nerio_get_score_from_two_image_compare(paths[0], paths[1]) == 1);

  set_fp_sensor_col_row(88, 88);
  set_nerio_FAR_Val(12);
  CHECK(init_nerio_algorithm() == 0);

  CHECK(nerio_get_score_from_two_image_compare(NULL, paths[1]) == 1);
  CHECK(nerio_get_score_from_two_image_compare(paths[0], NULL) == 1);
  CHECK(nerio_get_score_from_two_image_compare(paths[0], "/nonexistent/none.bmp") == 1);
  CHECK(nerio_get_score_from_two_image_compare("/nonexistent/none.bmp", paths[0]) == 1);

  self = nerio_get_score_from_two_image_compare(paths[0], paths[0]);
  same = nerio_get_score_from_two_image_compare(paths[0], paths[1]);
  other = nerio_get_score_from_two_image_compare(paths[0], paths[2]);
  printf("self %d, same finger %d, other finger %d\n", self, same, other);
  CHECK(self > other);
  CHECK(same > other);
  CHECK(nerio_get_score_from_two_image_compare(paths[2], paths[3]) >
        nerio_get_score_from_two_image_compare(paths[1], paths[3]));

  /* A blank image yields no template: never a score. */
  snprintf(blank_path, sizeof blank_path, "%s/blank.bmp", argv[1]);
  CHECK(write_flat_bitmap(blank_path, 255));
  blank = nerio_get_score_from_two_image_compare(blank_path, paths[0]);
  CHECK(blank == 0 || blank == 1);
  blank = nerio_get_score_from_two_image_compare(paths[0], blank_path);
  CHECK(blank == 0 || blank == 1);

  uninit_nerio_algorithm();
  CHECK(nerio_get_score_from_two_image_compare(paths[0], paths[1]) == 1);

  if (failures == 0) printf("two-image comparison from C: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
