#include "engine/qx_alloc.h"

#include <cstdint>
#include <cstdlib>

namespace {
long g_fail_countdown = -1;  // allocations still allowed before one fails
long g_live = 0;

bool should_fail() {
  if (g_fail_countdown < 0) return false;
  if (g_fail_countdown == 0) {
    g_fail_countdown = -1;
    return true;
  }
  --g_fail_countdown;
  return false;
}
}  // namespace

extern "C" void *qx_malloc(size_t size) {
  if (should_fail()) return nullptr;
  void *p = std::malloc(size == 0 ? 1 : size);
  if (p) ++g_live;
  return p;
}

extern "C" void *qx_calloc(size_t count, size_t size) {
  if (size != 0 && count > SIZE_MAX / size) return nullptr;
  if (should_fail()) return nullptr;
  size_t total = count * size;
  void *p = std::calloc(total == 0 ? 1 : total, 1);
  if (p) ++g_live;
  return p;
}

extern "C" void qx_free(void *ptr) {
  if (!ptr) return;
  --g_live;
  std::free(ptr);
}

extern "C" void qx_alloc_fail_after(long n) { g_fail_countdown = n < 0 ? -1 : n; }

extern "C" int qx_alloc_fail_pending(void) { return g_fail_countdown >= 0 ? 1 : 0; }

extern "C" long qx_alloc_live(void) { return g_live; }
