/*
 * Heap allocation for the whole engine.
 *
 * Every engine allocation goes through qx_malloc / qx_calloc / qx_free so
 * that out-of-memory paths can be exercised in tests: a test arms the
 * failure hook, runs an operation and checks that it answers QX_RC_NO_MEMORY
 * (or QXI_NO_MEMORY) and that qx_alloc_live() is back where it started.
 *
 * Rules for engine code:
 *   - allocate with qx_malloc or qx_calloc, release with qx_free (never mix
 *     with malloc/free or new/delete for buffers the engine owns);
 *   - qx_free(NULL) does nothing;
 *   - C++ code may use qx::Buffer<T> from engine/qx_buffer.hpp, which wraps
 *     these calls in RAII.
 *
 * The counters are plain process-wide state: the library is used from one
 * thread at a time.
 */
#ifndef LUMETRA_ENGINE_QX_ALLOC_H
#define LUMETRA_ENGINE_QX_ALLOC_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Returns NULL when memory runs out (or the test hook says so).  A request
 * of 0 bytes still yields a distinct, freeable pointer. */
void *qx_malloc(size_t size);
/* Zero-filled; NULL on overflow of count * size or out of memory. */
void *qx_calloc(size_t count, size_t size);
void qx_free(void *ptr);

/* Test hook: after `n` further successful allocations, the next one fails
 * (once); later allocations succeed again.  n < 0 disarms the hook. */
void qx_alloc_fail_after(long n);
/* 1 while the hook is armed and has not fired yet, 0 otherwise. */
int qx_alloc_fail_pending(void);
/* Number of engine allocations not yet freed. */
long qx_alloc_live(void);

#ifdef __cplusplus
}
#endif

#endif
