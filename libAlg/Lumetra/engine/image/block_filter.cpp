// Block filtering frame: grid, 12-fraction-bit loading, transform, block
// operation, inverse, rounding back to pixels and cross-fading pastes.
#include "engine/image/block_filter.h"

#include <algorithm>
#include <cstdint>

#include "engine/image/fft.h"
#include "engine/qx_rc.h"

namespace {

// Status 1 is the image layer's "work area too small".
constexpr int kStatusWorkTooSmall = 1;

constexpr int kMinLog2 = 4;
constexpr int kMaxLog2 = 6;
// Pixels enter the transform with 12 fraction bits.
constexpr int kFractionBits = 12;

// Weight of the new block, in 1/256, at position i (0-based) of an
// overlap of `ov` lines: ((i + 1) * floor(65536 / (ov + 1))) >> 8.
inline uint32_t ramp(int i, uint32_t unit) { return (static_cast<uint32_t>(i + 1) * unit) >> 8; }

// new = old + floor(((b - old) * w + 128) / 256), w in 1/256.
inline uint8_t blend(uint8_t old, uint8_t b, uint32_t w) {
  const int32_t d = (static_cast<int32_t>(b) - old) * static_cast<int32_t>(w) + 128;
  return static_cast<uint8_t>(old + (d >> 8));
}

struct Grid {
  int count = 0;
  int step = 0;
  int last = 0;  // start of the last block
  int start(int i) const { return i == count - 1 ? last : i * step; }
};

Grid make_grid(int length, int n, int overlap) {
  Grid g;
  // Unsigned arithmetic as in the grid rules; length >= n and
  // 0 <= overlap < n keep every numerator positive.
  const unsigned len = static_cast<unsigned>(length), un = static_cast<unsigned>(n),
                 uv = static_cast<unsigned>(overlap);
  g.count = static_cast<int>((len + un - 2 * uv - 1) / (un - uv));
  g.step = g.count > 1 ? static_cast<int>((len - un + static_cast<unsigned>(g.count) - 2) /
                                          static_cast<unsigned>(g.count - 1))
                       : 0;
  g.last = length - n;
  return g;
}

}  // namespace

extern "C" {

size_t bal_filter_fft_worksize(int n) {
  const size_t un = n > 0 ? static_cast<size_t>(n) : 0;
  return un * ((un / 2 * 3 + un + 3) * 4 + un) + 4;
}

int bal_filter_block_starts(int length, int n, int overlap, int *starts, int max_starts, int *step) {
  const Grid g = make_grid(length, n, overlap);
  if (step != nullptr) *step = g.step;
  for (int i = 0; i < g.count && i < max_starts; ++i) starts[i] = g.start(i);
  return g.count;
}

qxi_status filter_fft_blocks(uint8_t *out, const uint8_t *in, int rows, int cols, int overlap, void *work,
                             size_t work_size, int log2n, bal_fft2d_forward_fn forward,
                             bal_fft2d_inverse_fn inverse, bal_fft_block_op_fn op, const void *op_data) {
  if (log2n < kMinLog2 || log2n > kMaxLog2) return QXI_OUT_OF_RANGE;
  const int n = 1 << log2n;
  const size_t need = bal_filter_fft_worksize(n);
  if (work == nullptr || work_size < need) return kStatusWorkTooSmall;
  if (rows < n || cols < n) return QXI_OUT_OF_RANGE;

  // A negative overlap would leave gaps between blocks: treated as none.
  const int v = std::min(std::max(overlap, 0), n - 1);
  const Grid gr = make_grid(rows, n, v);
  const Grid gc = make_grid(cols, n, v);

  // Work area: 4 spare bytes align the start for 32-bit values; then the
  // block, the two halves of the spectrum, and the rest as scratch for the
  // transforms and the block operation.
  auto *base = static_cast<uint8_t *>(work);
  const size_t misalign = reinterpret_cast<uintptr_t>(base) % alignof(int32_t);
  if (misalign != 0) base += alignof(int32_t) - misalign;
  const size_t usable = need - 4;
  auto *block = reinterpret_cast<int32_t *>(base);
  int32_t *re = block + n * n;
  int32_t *im = re + FFT_HALF_SPECTRUM_WORDS(n);
  int32_t *scratch = im + FFT_HALF_SPECTRUM_WORDS(n);
  const size_t used = static_cast<size_t>(scratch - block) * sizeof(int32_t);
  const size_t scratch_size = usable - used;

  // The inverse returns (p - 128) << (12 - 2 log2 N); shift back with
  // rounding half up around the mid grey 128.
  const int shift = kFractionBits - 2 * log2n;
  const int32_t bias = (128 << shift) + (shift > 0 ? 1 << (shift - 1) : 0);

  for (int bi = 0; bi < gr.count; ++bi) {
    const int r0 = gr.start(bi);
    const int ov = bi == 0 ? 0 : n - gr.step;
    const uint32_t unit_r = 65536u / static_cast<uint32_t>(ov + 1);
    for (int bj = 0; bj < gc.count; ++bj) {
      const int c0 = gc.start(bj);
      const int oc = bj == 0 ? 0 : n - gc.step;
      const uint32_t unit_c = 65536u / static_cast<uint32_t>(oc + 1);
      const uint32_t corner = static_cast<uint32_t>((static_cast<uint64_t>(unit_r) * unit_c) >> 16);

      for (int k = 0; k < n; ++k) {
        const uint8_t *src = in + static_cast<size_t>(r0 + k) * cols + c0;
        for (int c = 0; c < n; ++c) block[k * n + c] = (static_cast<int32_t>(src[c]) - 128) * (1 << kFractionBits);
      }
      forward(block, re, im, scratch);
      const qxi_status st = op != nullptr ? op(re, im, n, scratch, scratch_size, op_data) : QXI_OK;
      if (st != QXI_OK) return st;
      inverse(re, im, block, scratch);

      for (int k = 0; k < n; ++k) {
        uint8_t *dst = out + static_cast<size_t>(r0 + k) * cols + c0;
        for (int c = 0; c < n; ++c) {
          const int32_t b32 = (block[k * n + c] + bias) >> shift;
          const uint8_t b = static_cast<uint8_t>(std::clamp<int32_t>(b32, 0, 255));
          if (k >= ov && c >= oc) {
            dst[c] = b;
          } else if (c >= oc) {
            dst[c] = blend(dst[c], b, ramp(k, unit_r));
          } else if (k >= ov) {
            dst[c] = blend(dst[c], b, ramp(c, unit_c));
          } else {
            const uint32_t w = static_cast<uint32_t>(
                (static_cast<uint64_t>(k + 1) * static_cast<uint64_t>(c + 1) * corner) >> 8);
            dst[c] = blend(dst[c], b, w);
          }
        }
      }
    }
  }
  return QXI_OK;
}

qxi_status bal_filter_fft16_blocks(uint8_t *out, const uint8_t *in, int rows, int cols, int overlap,
                                   void *work, size_t work_size, bal_fft_block_op_fn op,
                                   const void *op_data) {
  return filter_fft_blocks(out, in, rows, cols, overlap, work, work_size, 4, fftn2d16, fftni2d16, op,
                           op_data);
}

qxi_status bal_filter_fft32_blocks(uint8_t *out, const uint8_t *in, int rows, int cols, int overlap,
                                   void *work, size_t work_size, bal_fft_block_op_fn op,
                                   const void *op_data) {
  return filter_fft_blocks(out, in, rows, cols, overlap, work, work_size, 5, fftn2d32, fftni2d32, op,
                           op_data);
}

qxi_status bal_filter_fft64_blocks(uint8_t *out, const uint8_t *in, int rows, int cols, int overlap,
                                   void *work, size_t work_size, bal_fft_block_op_fn op,
                                   const void *op_data) {
  return filter_fft_blocks(out, in, rows, cols, overlap, work, work_size, 6, fftn2d64, fftni2d64, op,
                           op_data);
}

}  // extern "C"
