/*
 * The instruction set of the engine's vector kernels.
 *
 * Hot loops (the integer transforms, the wavelength windows, the spectral
 * pair sums) are built twice: a plain path for any processor and an AVX2
 * path compiled with the target attribute.  Both compute the same integers,
 * so they give the same bits; the AVX2 one is picked at run time when the
 * processor has it.
 *
 * qx_simd_force_plain() lets tests and fuzz targets run the plain path on an
 * AVX2 machine and compare it with the vector one.  Like the allocation
 * counters it is plain process-wide state: the library is used from one
 * thread at a time, and the switch is never touched by the library itself.
 */
#ifndef LUMETRA_ENGINE_QX_SIMD_H
#define LUMETRA_ENGINE_QX_SIMD_H

#ifdef __cplusplus
extern "C" {
#endif

/* 1 when the vector kernels take their AVX2 path: the processor has AVX2
 * and the plain path is not forced.  Read on every kernel call (the pair
 * sums run a million times per verification), hence a variable set when the
 * library is loaded and by qx_simd_force_plain(); 0 (plain) until then. */
extern int qx_simd_avx2_selected;
static inline int qx_simd_use_avx2(void) { return qx_simd_avx2_selected; }
/* Nonzero: every kernel takes its plain path; 0: back to the processor's
 * choice.  Returns the previous setting. */
int qx_simd_force_plain(int plain);

#ifdef __cplusplus
}
#endif

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
/* The kernels with an AVX2 path are compiled for it. */
#define QX_SIMD_HAVE_AVX2 1
#define QX_SIMD_AVX2_TARGET __attribute__((target("avx2")))
#else
#define QX_SIMD_HAVE_AVX2 0
#define QX_SIMD_AVX2_TARGET
#endif

#endif
