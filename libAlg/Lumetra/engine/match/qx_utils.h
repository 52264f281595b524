/*
 * qx_utils.h - small helpers of the engine: the allocation check after a
 * group of allocations, the generic in-place sort, and the traversal deque
 * used to walk trees of subtemplates and islands.
 */
#ifndef LUMETRA_ENGINE_MATCH_QX_UTILS_H
#define LUMETRA_ENGINE_MATCH_QX_UTILS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* QX_RC_OK when the first n of the seven buffers are all present; otherwise
 * every present buffer among the seven is freed (free()) and QX_RC_NO_MEMORY
 * is returned.
 * Callers pass their n fresh allocations and none for the rest. */
int32_t lib_memory_check(void *b1, void *b2, void *b3, void *b4, void *b5, void *b6, void *b7,
                         int32_t n);

typedef int (*qx_sort_compare_fn)(const void *a, const void *b);

/* Shell sort in place so that compare(a, b) <= 0 for every a before b.
 * Not stable: equal elements may change their relative order, and the
 * order they end in is part of the engine's behaviour. */
void qx_sort(void *base, size_t count, size_t element_size, qx_sort_compare_fn compare);

/* Traversal deque of (data, object) pairs.  Zero-initialise it (or use
 * lib_tree_stack_init); lib_tree_stack_clear frees what is left. */
typedef struct lib_tree_stack_entry {
  struct lib_tree_stack_entry *next;
  struct lib_tree_stack_entry *prev;
  void *data;
  void *object;
} lib_tree_stack_entry;

typedef struct lib_tree_stack {
  lib_tree_stack_entry *first;
  lib_tree_stack_entry *last;
  int32_t count;
} lib_tree_stack;

void lib_tree_stack_init(lib_tree_stack *stack);
void lib_tree_stack_clear(lib_tree_stack *stack);
/* Appends after the last entry; none when memory runs out. */
lib_tree_stack_entry *lib_tree_push_stack(lib_tree_stack *stack, void *data, void *object);
/* Removes the first entry (queue order); none when empty. */
void *lib_tree_pop_stack_head(lib_tree_stack *stack, void **object);
/* Removes the last entry (stack order); none when empty. */
void *lib_tree_pop_stack_tail(lib_tree_stack *stack, void **object);
/* The last entry without removing it; none when empty. */
void *lib_tree_peek_stack_tail(const lib_tree_stack *stack, void **object);

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_ENGINE_MATCH_QX_UTILS_H */
