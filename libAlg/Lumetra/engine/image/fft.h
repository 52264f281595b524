/*
 * fft.h - integer Fourier transforms on 16, 32 and 64 points.
 *
 * Everything is fixed point: twiddle factors are Q10, and every butterfly
 * level halves its results, so the one-dimensional transform is the
 * discrete Fourier transform divided by N and the two-dimensional one is
 * divided by N * N.  Applying the 2-D forward and then the 2-D inverse
 * transform therefore returns the block divided by N * N (up to the
 * truncation of the shifts).  With 8-bit pixels scaled by 2^12 or 2^13
 * no intermediate value leaves 32 bits.
 *
 * No function here allocates or uses floating point: the caller supplies
 * every buffer.
 *
 * Layouts:
 *  - 1-D data: N complex values as two arrays (real, imaginary).
 *  - Real block: N x N values, row-major.
 *  - Half spectrum: N rows (vertical frequency 0 .. N-1, rows above N/2
 *    being the negative frequencies) of N/2 + 1 values (horizontal
 *    frequency 0 .. N/2), real and imaginary parts in two arrays.
 *  - Scratch: FFT_SCRATCH_WORDS(N) 32-bit values.
 */
#ifndef LUMETRA_ENGINE_IMAGE_FFT_H
#define LUMETRA_ENGINE_IMAGE_FFT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Scratch needed by the 2-D transforms, in 32-bit values. */
#define FFT_SCRATCH_WORDS(n) (2 * (n))
/* Number of values in each array of a half spectrum. */
#define FFT_HALF_SPECTRUM_WORDS(n) ((n) * ((n) / 2 + 1))

/* Forward complex transform in place, result = DFT / N. */
void fftn16(int32_t *re, int32_t *im);
void fftn32(int32_t *re, int32_t *im);
void fftn64(int32_t *re, int32_t *im);

/* Inverse complex transform in place, result = (unnormalised inverse
 * DFT) / N. */
void fftni16(int32_t *re, int32_t *im);
void fftni32(int32_t *re, int32_t *im);
void fftni64(int32_t *re, int32_t *im);

/* Real N x N block -> half spectrum, result = 2-D DFT / N^2. */
void fftn2d16(const int32_t *block, int32_t *re, int32_t *im, int32_t *scratch);
void fftn2d32(const int32_t *block, int32_t *re, int32_t *im, int32_t *scratch);
void fftn2d64(const int32_t *block, int32_t *re, int32_t *im, int32_t *scratch);

/* Half spectrum -> real N x N block, result = (unnormalised inverse 2-D
 * DFT) / N^2.  The spectrum arrays are used as work space and are
 * overwritten. */
void fftni2d16(int32_t *re, int32_t *im, int32_t *block, int32_t *scratch);
void fftni2d32(int32_t *re, int32_t *im, int32_t *block, int32_t *scratch);
void fftni2d64(int32_t *re, int32_t *im, int32_t *block, int32_t *scratch);

/* Forward 2-D transforms for blocks whose values all lie within
 * -2^20 .. 2^20 (8-bit pixels minus a mean, scaled by at most 2^13): the
 * same values as fftn2d16 / fftn2d32, computed with 32-bit twiddle
 * products.  Outside that range the result is undefined. */
void fftn2d16_bounded(const int32_t *block, int32_t *re, int32_t *im);
void fftn2d32_bounded(const int32_t *block, int32_t *re, int32_t *im);

/* Bounded forward 32-point 2-D transform (input as for fftn2d32_bounded)
 * that fills only the columns 0 .. ucount - 1 of the half spectrum
 * (horizontal frequencies below ucount); the other columns are left
 * untouched, except that a request for 11 columns fills 16 (whole vectors
 * of lanes).  The filled values equal fftn2d32's. */
void fftn2d32_columns(const int32_t *block, int32_t *re, int32_t *im, int ucount);

/* Inverse 2-D transforms that write only the rows r0 .. r1 - 1 of the block
 * (rounded out to even bounds); the values equal fftni2d16's / fftni2d32's
 * for a spectrum made by the bounded forward transforms and then scaled,
 * value by value, by factors of magnitude at most 1 (a band-pass gain);
 * other spectra give undefined results.  The spectrum arrays are
 * overwritten. */
void fftni2d16_rows(int32_t *re, int32_t *im, int32_t *block, int r0, int r1);
void fftni2d32_rows(int32_t *re, int32_t *im, int32_t *block, int r0, int r1);

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_ENGINE_IMAGE_FFT_H */
