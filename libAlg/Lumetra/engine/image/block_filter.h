/*
 * block_filter.h - block-by-block filtering of a grey image in the
 * frequency domain.
 *
 * The image is covered by a grid of overlapping N x N blocks.  Each block
 * is loaded with 12 fraction bits ((p - 128) << 12), transformed into its
 * half spectrum, handed to a block operation that changes the spectrum,
 * transformed back, turned into pixels again (128 plus the result shifted
 * down, rounded half up, clamped to 0 .. 255) and pasted into the output,
 * cross-fading with the blocks already pasted where they overlap.
 *
 * The caller supplies the work area (bal_filter_fft_worksize(N) bytes);
 * the frame itself allocates nothing.  Results are image-layer status
 * codes: 0 success, 1 work area too small, 14 image smaller than one
 * block (or a block size without transforms), or the block operation's
 * own nonzero status.
 */
#ifndef LUMETRA_ENGINE_IMAGE_BLOCK_FILTER_H
#define LUMETRA_ENGINE_IMAGE_BLOCK_FILTER_H

#include <stddef.h>
#include <stdint.h>

#include "engine/qx_rc.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Forward transform: real N x N block -> half spectrum (see fft.h). */
typedef void (*bal_fft2d_forward_fn)(const int32_t *block, int32_t *re, int32_t *im,
                                     int32_t *scratch);
/* Inverse transform: half spectrum (overwritten) -> real N x N block. */
typedef void (*bal_fft2d_inverse_fn)(int32_t *re, int32_t *im, int32_t *block, int32_t *scratch);
/* Block operation on a half spectrum of an N x N block; 0 to go on, any
 * other value stops the frame, which returns it. */
typedef qxi_status (*bal_fft_block_op_fn)(int32_t *re, int32_t *im, int n, void *scratch,
                                   size_t scratch_size, const void *data);

/* Work area of the frame for blocks of n x n pixels, in bytes:
 * n * ((n/2 * 3 + n + 3) * 4 + n) + 4 (11652 for n = 32). */
size_t bal_filter_fft_worksize(int n);

/* Block start positions along one side of `length` pixels for blocks of n
 * pixels overlapping by `overlap` (already limited to 0 .. n - 1).
 * Writes at most `max_starts` starts and returns the number of blocks;
 * *step receives the regular step (0 for a single block).  length >= n. */
int bal_filter_block_starts(int length, int n, int overlap, int *starts, int max_starts, int *step);

/* The frame.  `out` and `in` are rows x cols pixels and must not overlap;
 * log2n selects the block size (4, 5 or 6 with the matching transforms). */
qxi_status filter_fft_blocks(uint8_t *out, const uint8_t *in, int rows, int cols, int overlap, void *work,
                             size_t work_size, int log2n, bal_fft2d_forward_fn forward,
                             bal_fft2d_inverse_fn inverse, bal_fft_block_op_fn op, const void *op_data);

/* The frame with N = 16, 32, 64 and the matching transforms. */
qxi_status bal_filter_fft16_blocks(uint8_t *out, const uint8_t *in, int rows, int cols, int overlap,
                                   void *work, size_t work_size, bal_fft_block_op_fn op,
                                   const void *op_data);
qxi_status bal_filter_fft32_blocks(uint8_t *out, const uint8_t *in, int rows, int cols, int overlap,
                                   void *work, size_t work_size, bal_fft_block_op_fn op,
                                   const void *op_data);
qxi_status bal_filter_fft64_blocks(uint8_t *out, const uint8_t *in, int rows, int cols, int overlap,
                                   void *work, size_t work_size, bal_fft_block_op_fn op,
                                   const void *op_data);

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_ENGINE_IMAGE_BLOCK_FILTER_H */
