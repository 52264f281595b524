// Run-time choice of the vector kernels' path.
#include "engine/qx_simd.h"

namespace {

bool processor_has_avx2() {
#if QX_SIMD_HAVE_AVX2
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
#else
  return false;
#endif
}

bool forced_plain = false;

}  // namespace

extern "C" int qx_simd_use_avx2(void) { return !forced_plain && processor_has_avx2(); }

extern "C" int qx_simd_force_plain(int plain) {
  const int previous = forced_plain ? 1 : 0;
  forced_plain = plain != 0;
  return previous;
}
