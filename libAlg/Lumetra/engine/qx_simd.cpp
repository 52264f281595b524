// Run-time choice of the vector kernels' path.
#include "engine/qx_simd.h"

namespace {

bool processor_has_avx2() {
#if QX_SIMD_HAVE_AVX2
  // Also called from a static initialiser, possibly before the compiler
  // runtime's own: initialise its processor data first.
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

bool forced_plain = false;

}  // namespace

extern "C" {

int qx_simd_avx2_selected = processor_has_avx2() ? 1 : 0;

int qx_simd_force_plain(int plain) {
  const int previous = forced_plain ? 1 : 0;
  forced_plain = plain != 0;
  qx_simd_avx2_selected = !forced_plain && processor_has_avx2() ? 1 : 0;
  return previous;
}

}  // extern "C"
