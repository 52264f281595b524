/* A check for the C test programs: reports a failed condition with its
 * place and counts it; the program exits non-zero when any failed. */
#ifndef TEST_C_C_CHECK_H
#define TEST_C_C_CHECK_H

#include <stdio.h>

static int failures = 0;

#define CHECK(cond)                                                            \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                              \
    }                                                                          \
  } while (0)

#endif
