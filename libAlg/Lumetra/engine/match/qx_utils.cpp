// The allocation check, the engine's Shell sort and the traversal deque.
#include "engine/match/qx_utils.h"

#include <cstring>

#include "engine/qx_alloc.h"
#include "engine/qx_rc.h"

namespace {

// Gaps of the sort, largest first.
constexpr size_t kGaps[] = {1391376, 463792, 198768, 86961, 33936, 13776, 4592, 1968,
                            861,     336,    112,    48,    21,    7,     3,     1};

void swap_elements(unsigned char *a, unsigned char *b, size_t size, bool words) {
  if (words) {
    // Whole 32-bit words when base and element size allow it.
    for (size_t k = 0; k < size; k += 4) {
      uint32_t x, y;
      std::memcpy(&x, a + k, 4);
      std::memcpy(&y, b + k, 4);
      std::memcpy(a + k, &y, 4);
      std::memcpy(b + k, &x, 4);
    }
    return;
  }
  for (size_t k = 0; k < size; ++k) {
    const unsigned char t = a[k];
    a[k] = b[k];
    b[k] = t;
  }
}

void unlink_entry(lib_tree_stack *stack, lib_tree_stack_entry *e) {
  if (e->prev != nullptr) e->prev->next = e->next; else stack->first = e->next;
  if (e->next != nullptr) e->next->prev = e->prev; else stack->last = e->prev;
  --stack->count;
}

void *take(lib_tree_stack *stack, lib_tree_stack_entry *e, void **object) {
  if (object != nullptr) *object = e != nullptr ? e->object : nullptr;
  if (e == nullptr) return nullptr;
  void *data = e->data;
  unlink_entry(stack, e);
  qx_free(e);
  return data;
}

}  // namespace

extern "C" {

int32_t lib_memory_check(void *b1, void *b2, void *b3, void *b4, void *b5, void *b6, void *b7,
                         int32_t n) {
  void *buffers[7] = {b1, b2, b3, b4, b5, b6, b7};
  bool all_present = true;
  for (int32_t i = 0; i < n && i < 7; ++i) {
    if (buffers[i] == nullptr) all_present = false;
  }
  if (all_present) return QX_RC_OK;
  for (void *b : buffers) qx_free(b);
  return QX_RC_NO_MEMORY;
}

void qx_sort(void *base, size_t count, size_t element_size, qx_sort_compare_fn compare) {
  if (base == nullptr || count < 2 || element_size == 0 || compare == nullptr) return;
  auto *bytes = static_cast<unsigned char *>(base);
  const bool words =
      element_size % 4 == 0 && reinterpret_cast<uintptr_t>(base) % 4 == 0;
  for (size_t d : kGaps) {
    for (size_t i = d; i < count; ++i) {
      for (size_t j = i; j >= d; j -= d) {
        unsigned char *hi = bytes + j * element_size;
        unsigned char *lo = hi - d * element_size;
        if (compare(lo, hi) <= 0) break;
        swap_elements(lo, hi, element_size, words);
      }
    }
  }
}

void lib_tree_stack_init(lib_tree_stack *stack) {
  if (stack == nullptr) return;
  stack->first = nullptr;
  stack->last = nullptr;
  stack->count = 0;
}

void lib_tree_stack_clear(lib_tree_stack *stack) {
  if (stack == nullptr) return;
  while (stack->first != nullptr) take(stack, stack->first, nullptr);
}

lib_tree_stack_entry *lib_tree_push_stack(lib_tree_stack *stack, void *data, void *object) {
  if (stack == nullptr) return nullptr;
  auto *e = static_cast<lib_tree_stack_entry *>(qx_calloc(1, sizeof(lib_tree_stack_entry)));
  if (e == nullptr) return nullptr;
  e->data = data;
  e->object = object;
  e->prev = stack->last;
  if (stack->last != nullptr) stack->last->next = e; else stack->first = e;
  stack->last = e;
  ++stack->count;
  return e;
}

void *lib_tree_pop_stack_head(lib_tree_stack *stack, void **object) {
  return take(stack, stack != nullptr ? stack->first : nullptr, object);
}

void *lib_tree_pop_stack_tail(lib_tree_stack *stack, void **object) {
  return take(stack, stack != nullptr ? stack->last : nullptr, object);
}

void *lib_tree_peek_stack_tail(const lib_tree_stack *stack, void **object) {
  const lib_tree_stack_entry *e = stack != nullptr ? stack->last : nullptr;
  if (object != nullptr) *object = e != nullptr ? e->object : nullptr;
  return e != nullptr ? e->data : nullptr;
}

}  // extern "C"
