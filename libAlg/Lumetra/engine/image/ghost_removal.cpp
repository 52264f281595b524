// Ghost removal (see ghost_removal.h).
#include "engine/image/ghost_removal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "engine/image/block_ops.h"
#include "engine/qx_buffer.hpp"

extern "C" void bal_filter_ghost(uint8_t *px, int rows, int cols, int level) {
  const size_t n = static_cast<size_t>(rows) * cols;
  qx::Buffer<uint8_t> copy;
  if (!copy.alloc(n)) return;
  std::memcpy(copy.get(), px, n);
  for (int r = 1; r < rows - 1; ++r)
    for (int c = 1; c < cols - 1; ++c) {
      const size_t i = static_cast<size_t>(r) * cols + c;
      const int p = copy[i];
      if (p <= level) continue;
      int k = 0;
      for (int dr = -1; dr <= 1; ++dr)
        for (int dc = -1; dc <= 1; ++dc)
          if ((dr || dc) && copy[i + dr * cols + dc] > level) ++k;
      px[i] = static_cast<uint8_t>(p + ((k * (255 - p)) >> 3));
    }
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c)
      if ((r == 0 || r == rows - 1 || c == 0 || c == cols - 1) && px[static_cast<size_t>(r) * cols + c] > level)
        px[static_cast<size_t>(r) * cols + c] = 255;
}

extern "C" int bal_ghost_remove_bs(const uint8_t *in, int rows, int cols, uint8_t *out, int B) {
  const size_t n = static_cast<size_t>(rows) * cols;
  if (in != out) std::memmove(out, in, n);
  const int brows = rows / B, bcols = cols / B;
  if (brows <= 0 || bcols <= 0) return 0;
  qx::Buffer<uint8_t> means;
  if (!means.alloc(static_cast<size_t>(brows) * bcols)) return 0;
  bal_mean_blockwise_uint8(out, rows, cols, B, brows, bcols, means.get());
  int brightest = 0;
  for (size_t i = 0; i < n; ++i) brightest = std::max<int>(brightest, out[i]);
  const int limit = brightest == 255 ? 247 : (brightest < 9 ? 0 : brightest - 8);
  int64_t h[64] = {0};
  int64_t N = 0;
  for (int br = 0; br < brows; ++br)
    for (int bc = 0; bc < bcols; ++bc) {
      if (means[static_cast<size_t>(br) * bcols + bc] >= limit) continue;
      for (int r = br * B; r < br * B + B; ++r)
        for (int c = bc * B; c < bc * B + B; ++c) {
          ++h[out[static_cast<size_t>(r) * cols + c] / 4];
          ++N;
        }
    }
  if (N > 0)
    for (auto &v : h) v = v * 1024 / N;
  int64_t hs[64];
  hs[0] = (h[0] + h[1]) >> 1;
  for (int j = 1; j < 63; ++j) hs[j] = (h[j - 1] + h[j] + h[j + 1]) / 3;
  hs[63] = (h[62] + h[63]) >> 1;
  // Extrema: 1 peak, -1 valley.
  int mark[64] = {0};
  int state = 0;  // 0 none, 1 rising, -1 falling
  for (int j = 0; j < 63; ++j) {
    const int64_t d = hs[j + 1] - hs[j];
    if (state == 0) {
      if (d < 0) {
        mark[j] = 1;
        state = -1;
      } else if (d > 0) {
        mark[j] = -1;
        state = 1;
      }
    } else if (state == 1 && d < 0) {
      mark[j] = 1;
      state = -1;
    } else if (state == -1 && d > 0) {
      mark[j] = -1;
      state = 1;
    }
  }
  if (state == 1) mark[63] = 1;
  if (state == -1) mark[63] = -1;
  // Flatten wiggles.
  int D = -1, E = -1;
  for (int j = 0; j < 64; ++j) {
    if (!mark[j]) continue;
    if (D >= 0 && E >= 0 && std::llabs(hs[D] - hs[E]) <= 7 && std::llabs(hs[E] - hs[j]) <= 7) {
      int drop;
      if (mark[E] == 1)  // keep the lower valley
        drop = hs[D] < hs[j] ? j : D;
      else  // keep the higher peak
        drop = hs[D] > hs[j] ? j : D;
      const int survivor = drop == j ? D : j;
      mark[E] = 0;
      mark[drop] = 0;
      E = survivor;
      D = -1;
      continue;
    }
    D = E;
    E = j;
  }
  int peaks[9], valleys[9];  // valleys[k]: valley between peak k-1 and k
  int np = 0, last_mark = -1;
  for (int j = 0; j < 64; ++j) {
    if (!mark[j]) continue;
    if (mark[j] == 1) {
      if (np == 8) break;
      valleys[np] = np > 0 ? (last_mark >= 0 ? last_mark : peaks[np - 1]) : 0;
      peaks[np++] = j;
    }
    last_mark = j;
  }
  if (np < 2) return 0;
  auto area = [&](int k) -> int64_t {
    const int from = k == 0 ? 0 : valleys[k];
    const int to = valleys[k + 1];
    const int64_t g = (k == 0 && peaks[0] == 0) ? hs[to] : std::max(hs[from], hs[to]);
    int64_t a = 0;
    for (int m = from; m <= to; ++m) a += std::max<int64_t>(0, hs[m] - g);
    return a;
  };
  auto erase = [&](int k, int merged_valley) {
    // Removes peak k; the valley slot k (before it) takes merged_valley and
    // the slot after it goes.
    for (int i = k; i + 1 < np; ++i) peaks[i] = peaks[i + 1];
    valleys[k] = merged_valley;
    for (int i = k + 1; i + 1 < np; ++i) valleys[i] = valleys[i + 1];
    --np;
  };
  auto lower = [&](int a, int b) { return hs[a] < hs[b] ? a : b; };  // later one on ties
  while (np > 3) {
    const int64_t A0 = area(0), A1 = area(1), A2 = area(2);
    if (A1 < A0 && A1 < A2) {
      erase(1, lower(valleys[1], valleys[2]));
    } else if (A0 < A2) {
      // Peak 0 goes with the valley after it.
      for (int i = 0; i + 1 < np; ++i) peaks[i] = peaks[i + 1];
      for (int i = 1; i + 1 < np; ++i) valleys[i] = valleys[i + 1];
      valleys[0] = 0;
      --np;
    } else {
      const int after = np > 3 ? valleys[3] : valleys[2];
      erase(2, lower(valleys[2], after));
    }
  }
  if (np != 3) return 0;
  const int p1 = peaks[0], p2 = peaks[1], t1 = valleys[1], t2 = valleys[2];
  int64_t I = 0, S = 0;
  for (int m = 0; m <= t1; ++m) I += hs[m];
  for (int m = t1 + 1; m <= std::min(t2, 63); ++m) S += hs[m];
  if (I + S <= 0) return 0;
  const uint64_t K = static_cast<uint64_t>(100 * I / (I + S));
  const uint64_t Q = static_cast<uint64_t>(p2 - p1) * K / std::max<uint64_t>(1, static_cast<uint64_t>(hs[t1] * p1));
  if (!(Q > 5 && p2 > 22 && K > 20)) return 0;
  int l = t1, M = 0;
  if (l > 0) {
    int64_t J = hs[l];
    while (J <= I / 20 && l > 1) {
      --l;
      J += hs[l];
    }
    M = (l * 255) >> 6;
  }
  bal_filter_ghost(out, rows, cols, M);
  return 1;
}
