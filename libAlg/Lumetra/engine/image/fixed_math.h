/*
 * Integer square roots, logarithm and byte-angle trigonometry.
 *
 * Byte angles: 256 steps per full turn (64 = 90 degrees), counter-clockwise
 * with y up and x right.  Sines and cosines are Q14 (16384 = 1.0).
 */
#ifndef LUMETRA_ENGINE_IMAGE_FIXED_MATH_H
#define LUMETRA_ENGINE_IMAGE_FIXED_MATH_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* sqrt(x) rounded to nearest, for x below 2^30 (3 -> 2, 8 -> 3, 65535 -> 256). */
uint32_t sqrt_(uint32_t x);
/* sqrt of the low 16 bits of x, rounded to nearest, at most 255. */
uint32_t sqrt_16(uint32_t x);
/* floor(sqrt(x >> 14)) = floor(sqrt(x) / 128), 0..511. */
uint32_t sqrt_24_5(uint32_t x);
/* floor(sqrt(x)). */
uint32_t sqrt_32(uint32_t x);
/* floor(log2(x)); 0 for x <= 1. */
uint32_t log2_32(uint32_t x);

/* Direction of (x, y) as a byte angle 0..255; (0, 0) gives 0. */
int atan2_(int32_t y, int32_t x);
/* Circular distance of two byte angles, 0..128. */
int angle_difference(int a, int b);
/* Bisector of the shorter arc between two byte angles, 0..255. */
int angle_average(int a, int b);
/* Q14 cosine and sine of a byte angle (any int, taken modulo 256). */
int32_t cos_(int angle);
int32_t sin_(int angle);
/* Q14 cosine and sine of an angle in Q16 radians (full turn 411774). */
int32_t cos_14(int32_t angle);
int32_t sin_14(int32_t angle);

/* The 65-entry quarter-wave table, floor(16384 * sin(2*pi*k/256)). */
extern const uint16_t qx_sine_quarter[65];
/* The 129-entry arctangent table, atan(i/128) in byte units, rounded. */
extern const uint8_t qx_atan_table[129];

#ifdef __cplusplus
}
#endif

#endif
