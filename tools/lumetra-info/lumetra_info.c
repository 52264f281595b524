/* lumetra-info: prints the library's version text and the values of its
 * parameters as a host sees them right after load, then applies the
 * station's start-up settings and prints them again. */
#include <stdio.h>
#include <string.h>

#include "lumetra.h"

static void print_parameters(const char *heading) {
  int col = 0, row = 0, icol = 0, irow = 0;
  unsigned short info = 0;
  get_fp_sensor_col_row(&col, &row);
  get_fp_image_col_row(&icol, &irow);
  get_nerio_alg_info(&info);
  printf("%s\n", heading);
  printf("  sensor geometry      %d x %d (cols x rows)\n", col, row);
  printf("  image geometry       %d x %d (cols x rows)\n", icol, irow);
  printf("  enrollment progress  %u %%, last event %u\n", info & 0xFFu, info >> 8);
  printf("  verify hw status     %d\n", nerio_qx_get_verify_hw_status());
}

int main(void) {
  char version[24];
  memset(version, 0, sizeof version);
  nerio_get_version(version); /* writes 23 characters, no terminator */
  printf("library version      %s\n", version);
  print_parameters("parameters at load:");

  /* The station's start-up settings, in its order. */
  set_fp_sensor_col_row(88, 88);
  set_fp_sensor_max_tpl_count(1);
  set_nerio_FAR_Val(12);
  set_fp_dyn_update_FAR_VAL(12);
  set_fp_dyn_update_flg(0);
  set_fp_max_nbr_subtemplate(32);
  print_parameters("after the station's start-up settings:");
  return 0;
}
