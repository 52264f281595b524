#include "engine/image/segment.h"

#include <cstring>

#include "engine/image/block_ops.h"
#include "engine/image/fixed_math.h"
#include "engine/image/normalize.h"
#include "engine/image/pixel_ops.h"
#include "engine/image/resample.h"
#include "engine/qx_buffer.hpp"
#include "engine/qx_rc.h"

extern "C" uint8_t bal_find_opt_threshold(const uint8_t *values, int rows, int cols, int start) {
  uint32_t hist[256];
  bal_image_histogram(values, rows, cols, hist);
  int t = static_cast<uint8_t>(start);
  int next = t;
  // The iteration settles within a few rounds; the cap only guards against
  // a cycle of steps larger than 2.
  for (int round = 0; round < 256; ++round) {
    uint64_t lo_sum = 0, lo_n = 0, hi_sum = 0, hi_n = 0;
    for (int i = 0; i < 256; ++i) {
      if (i < t) {
        lo_sum += static_cast<uint64_t>(i) * hist[i];
        lo_n += hist[i];
      } else {
        hi_sum += static_cast<uint64_t>(i) * hist[i];
        hi_n += hist[i];
      }
    }
    const int lower = lo_n ? static_cast<int>(lo_sum / lo_n) : t;
    const int upper = hi_n ? static_cast<int>(hi_sum / hi_n) : t;
    next = (upper + 4 * lower) / 5;
    const int d = t > next ? t - next : next - t;
    if (d <= 2) break;
    t = next;
  }
  return static_cast<uint8_t>(next);
}

namespace {

// Border cleanup: corners first, then the top, bottom, left and right
// lines; every test sees the changes made before it.
void clean_border(uint8_t *m, int rows, int cols) {
  if (rows < 2 || cols < 2) return;
  auto at = [&](int r, int c) -> uint8_t & { return m[r * cols + c]; };
  const int R = rows - 1, C = cols - 1;
  const int corners[4][2] = {{0, 0}, {0, C}, {R, 0}, {R, C}};
  for (const auto &k : corners) {
    const int r = k[0], c = k[1];
    const int dr = r == 0 ? 1 : -1, dc = c == 0 ? 1 : -1;
    if (at(r, c) && !(at(r + dr, c) && at(r, c + dc) && at(r + dr, c + dc))) at(r, c) = 0;
  }
  // A line block with at most 2 of its 5 neighbours set is cleared.
  auto line = [&](int r, int c, int dr, int dc) {
    if (!at(r, c)) return;
    int set = 0;
    if (dr != 0) {  // top or bottom row: left, right and the three inward
      set = at(r, c - 1) + at(r, c + 1) + at(r + dr, c - 1) + at(r + dr, c) + at(r + dr, c + 1);
    } else {  // left or right column: above, below and the three inward
      set = at(r - 1, c) + at(r + 1, c) + at(r - 1, c + dc) + at(r, c + dc) + at(r + 1, c + dc);
    }
    if (set <= 2) at(r, c) = 0;
  };
  for (int c = 1; c < C; ++c) line(0, c, 1, 0);
  for (int c = 1; c < C; ++c) line(R, c, -1, 0);
  for (int r = 1; r < R; ++r) line(r, 0, 0, 1);
  for (int r = 1; r < R; ++r) line(r, C, 0, -1);
}

// Flood fill from `seed` over cells equal to `value`, 4- or 8-connected;
// marks them in `label` and returns the cells in `queue[0..count)`.
int flood(const uint8_t *m, int rows, int cols, int seed, uint8_t value, bool eight, int *label, int id,
          int *queue) {
  int head = 0, tail = 0;
  queue[tail++] = seed;
  label[seed] = id;
  while (head < tail) {
    const int i = queue[head++];
    const int r = i / cols, c = i % cols;
    for (int dr = -1; dr <= 1; ++dr) {
      for (int dc = -1; dc <= 1; ++dc) {
        if ((dr == 0 && dc == 0) || (!eight && dr != 0 && dc != 0)) continue;
        const int y = r + dr, x = c + dc;
        if (y < 0 || x < 0 || y >= rows || x >= cols) continue;
        const int j = y * cols + x;
        if (label[j] || m[j] != value) continue;
        label[j] = id;
        queue[tail++] = j;
      }
    }
  }
  return tail;
}

// Keeps only the largest 4-connected region of set cells (the first one
// found in raster order wins a tie).
void keep_largest_region(uint8_t *m, int rows, int cols, int *label, int *queue) {
  const int n = rows * cols;
  std::memset(label, 0, sizeof(int) * static_cast<std::size_t>(n));
  int best_id = 0, best_size = 0, id = 0;
  for (int i = 0; i < n; ++i) {
    if (!m[i] || label[i]) continue;
    const int size = flood(m, rows, cols, i, 1, false, label, ++id, queue);
    if (size > best_size) {
      best_size = size;
      best_id = id;
    }
  }
  for (int i = 0; i < n; ++i) m[i] = (m[i] && label[i] == best_id) ? 1 : 0;
}

// Fills every 8-connected background region that touches at most one side
// of the grid: holes and bays open to one side become fingerprint.
void fill_holes(uint8_t *m, int rows, int cols, int *label, int *queue) {
  const int n = rows * cols;
  std::memset(label, 0, sizeof(int) * static_cast<std::size_t>(n));
  int id = 0;
  for (int i = 0; i < n; ++i) {
    if (m[i] || label[i]) continue;
    const int size = flood(m, rows, cols, i, 0, true, label, ++id, queue);
    unsigned sides = 0;
    for (int k = 0; k < size; ++k) {
      const int r = queue[k] / cols, c = queue[k] % cols;
      if (r == 0) sides |= 1;
      if (r == rows - 1) sides |= 2;
      if (c == 0) sides |= 4;
      if (c == cols - 1) sides |= 8;
    }
    const int touched = ((sides >> 0) & 1) + ((sides >> 1) & 1) + ((sides >> 2) & 1) + ((sides >> 3) & 1);
    if (touched <= 1)
      for (int k = 0; k < size; ++k) m[queue[k]] = 1;
  }
}

}  // namespace

extern "C" qxi_status bal_filter_segmented(uint8_t *mask, int brows, int bcols) {
  if (brows <= 0 || bcols <= 0) return QXI_OK;
  const std::size_t n = static_cast<std::size_t>(brows) * bcols;
  qx::Buffer<int> label, queue;
  qx::Buffer<uint8_t> tmp;
  if (!label.alloc(n) || !queue.alloc(n) || !tmp.alloc(n)) return QXI_NO_MEMORY;

  // The 3 x 3 steps run between mask and tmp, never in place, so that
  // nothing below allocates.
  bal_binarize_remove_holes(mask, brows, bcols, tmp.get());
  std::memcpy(mask, tmp.get(), n);
  clean_border(mask, brows, bcols);
  keep_largest_region(mask, brows, bcols, label.get(), queue.get());
  fill_holes(mask, brows, bcols, label.get(), queue.get());
  bal_erode(mask, brows, bcols, tmp.get());
  bal_dilate(tmp.get(), brows, bcols, mask);
  std::memcpy(tmp.get(), mask, n);
  bal_binarize_blur(tmp.get(), brows, bcols, mask);
  return QXI_OK;
}

extern "C" qxi_status bal_segment_image_scale(const uint8_t *pixels, int rows, int cols, int brows, int bcols, int B,
                                              uint8_t *mask, int scale) {
  if ((scale != 1 && scale != 2) || brows <= 0 || bcols <= 0 || B <= 0 || rows != brows * B ||
      cols != bcols * B)
    return QXI_OUT_OF_RANGE;
  // Working image: halved at 500 dpi, as is at 250 dpi.
  const int wrows = scale == 1 ? rows / 2 : rows;
  const int wcols = scale == 1 ? cols / 2 : cols;
  const int wb = scale == 1 ? B / 2 : B;
  if (wb <= 0) return QXI_OUT_OF_RANGE;
  const std::size_t np = static_cast<std::size_t>(wrows) * wcols;
  const std::size_t nb = static_cast<std::size_t>(brows) * bcols;
  qx::Buffer<uint8_t> work, means, grads;
  qx::Buffer<int8_t> gx, gy;
  if (!work.alloc(np) || !means.alloc(nb) || !grads.alloc(nb) || !gx.alloc(np) || !gy.alloc(np))
    return QXI_NO_MEMORY;

  if (scale == 1) {
    const qxi_status status = bal_scale_down_bilinear_2_uint8(pixels, rows, cols, work.get());
    if (status != QXI_OK) return status;
  } else {
    std::memcpy(work.get(), pixels, np);
  }
  bal_normalize_image_simple(work.get(), wrows, wcols, 127, 80, work.get());

  bal_mean_blockwise_uint8(work.get(), wrows, wcols, wb, brows, bcols, means.get());
  const int mean_threshold = bal_find_opt_threshold(means.get(), brows, bcols, 128);

  sobel_2(work.get(), wrows, wcols, gx.get(), gy.get());
  const uint32_t block_area = static_cast<uint32_t>(wb) * wb;
  for (int by = 0; by < brows; ++by) {
    for (int bx = 0; bx < bcols; ++bx) {
      uint32_t g = 0;
      for (int y = 0; y < wb; ++y) {
        const std::size_t row = static_cast<std::size_t>(by * wb + y) * wcols + bx * wb;
        for (int x = 0; x < wb; ++x) {
          const int a = gx[row + x], b = gy[row + x];
          g += sqrt_16(static_cast<uint32_t>(a * a + b * b));
        }
      }
      g = g * 8 / block_area;
      grads[by * bcols + bx] = static_cast<uint8_t>(g > 255 ? 255 : g);
    }
  }
  int grad_threshold = bal_find_opt_threshold(grads.get(), brows, bcols, 64);
  if (grad_threshold >= 128) grad_threshold = 128;

  for (std::size_t b = 0; b < nb; ++b)
    mask[b] = (means[b] < mean_threshold || grads[b] > grad_threshold) ? 1 : 0;
  return bal_filter_segmented(mask, brows, bcols);
}

extern "C" qxi_status bal_segment_image(const uint8_t *pixels, int rows, int cols, int brows, int bcols, int B,
                                        uint8_t *mask) {
  return bal_segment_image_scale(pixels, rows, cols, brows, bcols, B, mask, 1);
}

extern "C" void bal_segmentation_center(const uint8_t *mask, int brows, int bcols, int B, int rows, int cols,
                                        int *centre_row, int *centre_col) {
  int64_t sum_r = 0, sum_c = 0, count = 0;
  for (int r = 0; r < brows; ++r)
    for (int c = 0; c < bcols; ++c)
      if (mask[r * bcols + c]) {
        sum_r += r;
        sum_c += c;
        ++count;
      }
  if (count == 0) {
    if (centre_row) *centre_row = rows / 2;
    if (centre_col) *centre_col = cols / 2;
    return;
  }
  if (centre_row) *centre_row = static_cast<int>(B / 2 + B * sum_r / count);
  if (centre_col) *centre_col = static_cast<int>(B / 2 + B * sum_c / count);
}
