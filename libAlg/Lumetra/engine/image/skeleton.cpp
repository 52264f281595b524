// Contour thinning: contours are traced as chains of steps, deletable
// contour pixels are peeled off pass after pass, and each contour restarts
// next to what it removed until nothing more can go.
#include "engine/image/skeleton.h"

#include <cstdint>
#include <cstring>

#include "engine/qx_buffer.hpp"
#include "engine/qx_simd.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Clockwise directions from N: row and column steps.
const int kDr[8] = {-1, -1, 0, 1, 1, 1, 0, -1};
const int kDc[8] = {0, 1, 1, 1, 0, -1, -1, -1};

int code_of(int d) { return (kDr[d] + 1) + 4 * (kDc[d] + 1); }
// Direction of a step code (0 .. 10), -1 for codes that are no step.
constexpr int8_t kDirOf[16] = {7, 6, 5, -1, 0, -1, 4, -1, 1, 2, 3, -1, -1, -1, -1, -1};
int dir_of(int code) { return code >= 0 && code < 16 ? kDirOf[code] : -1; }

struct Tables {
  uint8_t del[256] = {};
  uint8_t conn[256] = {};
  Tables() {
    static const uint8_t kDel[] = {7,   10,  11,  14,  15,  18,  19,  22,  23,  26,  30,  31,  41,  42,
                                   43,  46,  47,  58,  63,  72,  73,  74,  78,  80,  82,  83,  84,  88,
                                   89,  90,  92,  93,  104, 105, 107, 111, 112, 114, 115, 116, 146, 147,
                                   148, 150, 151, 154, 159, 186, 200, 201, 202, 206, 208, 212, 214, 215,
                                   224, 232, 233, 235, 240, 244, 246, 248, 249, 252};
    static const uint8_t kConn[] = {12, 17, 24, 34, 48, 65, 66, 68, 130, 136};
    for (uint8_t p : kDel) del[p] = 1;
    for (uint8_t p : kConn) conn[p] = 1;
  }
};
const Tables kTables;

bool white(uint8_t **rowp, int rows, int cols, int r, int c) {
  return r < 0 || r >= rows || c < 0 || c >= cols || rowp[r][c] == 1;
}

inline int pattern_at(uint8_t **rowp, int rows, int cols, int r, int c);

}  // namespace

extern "C" int get_pattern(uint8_t **rowp, int rows, int cols, int r, int c) { return pattern_at(rowp, rows, cols, r, c); }

namespace {

// The 8-neighbourhood of (r, c) as bits, 1 for every non-white neighbour
// (outside the image counts as white), up-left the highest bit.
inline int pattern_at(uint8_t **rowp, int rows, int cols, int r, int c) {
  if (r > 0 && c > 0 && r + 1 < rows && c + 1 < cols) {
    const uint8_t *up = rowp[r - 1] + c, *mid = rowp[r] + c, *down = rowp[r + 1] + c;
    return (up[-1] != 1) << 7 | (up[0] != 1) << 6 | (up[1] != 1) << 5 | (mid[-1] != 1) << 4 | (mid[1] != 1) << 3 |
           (down[-1] != 1) << 2 | (down[0] != 1) << 1 | (down[1] != 1);
  }
  static const int kBits[8][3] = {{-1, -1, 128}, {-1, 0, 64}, {-1, 1, 32}, {0, -1, 16},
                                  {0, 1, 8},     {1, -1, 4},  {1, 0, 2},   {1, 1, 1}};
  int p = 0;
  for (const auto &b : kBits)
    if (!white(rowp, rows, cols, r + b[0], c + b[1])) p |= b[2];
  return p;
}

}  // namespace

extern "C" int is_single_island(uint8_t **rowp, int rows, int cols, int r, int c) {
  return !white(rowp, rows, cols, r, c) && pattern_at(rowp, rows, cols, r, c) == 0;
}

extern "C" void extract_contour(uint8_t **rowp, int rows, int cols, int r, int c, int state, int size,
                                uint8_t *chain, int *fill) {
  if (*fill >= size) return;
  chain[(*fill)++] = 5;
  rowp[r][c] = 2;
  int d = dir_of(state);
  if (d < 0) d = 1;
  int r2 = -1, c2 = -1, d1 = -1;
  const int begin = *fill;
  for (;;) {
    const int first = (d & 1) ? d - 2 : d - 1, tries = (d & 1) ? 7 : 6;
    int next = -1;
    if (r > 0 && c > 0 && r + 1 < rows && c + 1 < cols) {
      // Every neighbour is inside the image: no bounds to test.
      for (int k = 0; k < tries; ++k) {
        const int nd = (first + k + 8) & 7;
        if (rowp[r + kDr[nd]][c + kDc[nd]] != 1) {
          next = nd;
          break;
        }
      }
    } else {
      for (int k = 0; k < tries; ++k) {
        const int nd = (first + k + 8) & 7;
        if (!white(rowp, rows, cols, r + kDr[nd], c + kDc[nd])) {
          next = nd;
          break;
        }
      }
    }
    if (next < 0) return;  // isolated pixel
    r += kDr[next];
    c += kDc[next];
    if (d1 < 0) {
      r2 = r;
      c2 = c;
      d1 = next;
    } else if (r == r2 && c == c2 && next == d1) {
      // Closed: drop the step back into the start.
      if (*fill > begin + 1) --(*fill);
      return;
    }
    if (*fill >= size) return;
    chain[(*fill)++] = static_cast<uint8_t>(code_of(next));
    rowp[r][c] = 2;
    d = next;
  }
}

namespace {

// The thinning works on a copy of the picture inside a one-pixel white
// frame, with pixels named by their offset in it: every pixel it looks at
// then has its eight neighbours in the buffer, so no step tests bounds.
// Nothing white is ever traced or written, so the frame stays white, as
// the pixels outside the picture counted before.  Contours are kept as
// the offsets of their pixels, in tracing order, which is what the steps
// of a chain led to.
struct Frame {
  uint8_t *px = nullptr;
  int stride = 0;
  int step[8] = {};  // offset of the neighbour in each direction
};

// The neighbour pattern of the pixel at p (get_pattern's bits).
inline int pattern_in(const uint8_t *p, int s) {
  return (p[-s - 1] != 1) << 7 | (p[-s] != 1) << 6 | (p[-s + 1] != 1) << 5 | (p[-1] != 1) << 4 |
         (p[1] != 1) << 3 | (p[s - 1] != 1) << 2 | (p[s] != 1) << 1 | (p[s + 1] != 1);
}

// extract_contour on the frame, from the pixel at `at` entered in
// direction d: the same pixels in the same order (the start first), at
// most `size` of them in all, each marked 2.
void trace(const Frame &f, int at, int d, int size, int32_t *chain, int *fill) {
  if (*fill >= size) return;
  uint8_t *px = f.px;
  chain[(*fill)++] = at;
  px[at] = 2;
  int second = -1, d1 = -1;
  const int begin = *fill;
  for (;;) {
    const int first = (d & 1) ? d - 2 : d - 1, tries = (d & 1) ? 7 : 6;
    int next = -1;
    for (int k = 0; k < tries; ++k) {
      const int nd = (first + k + 8) & 7;
      if (px[at + f.step[nd]] != 1) {
        next = nd;
        break;
      }
    }
    if (next < 0) return;  // isolated pixel
    at += f.step[next];
    if (d1 < 0) {
      second = at;
      d1 = next;
    } else if (at == second && next == d1) {
      // Closed: drop the step back into the start.
      if (*fill > begin + 1) --(*fill);
      return;
    }
    if (*fill >= size) return;
    chain[(*fill)++] = at;
    px[at] = 2;
    d = next;
  }
}

struct Contour {
  int at, dir;   // start and entry direction
  int off, len;  // pixels in the chain storage
  bool active;
};

// The neighbour pattern by byte tests.
struct BytePattern {
  int operator()(const uint8_t *p, int s) const { return pattern_in(p, s); }
};

#if defined(__SSE2__)
// The pattern from the white marks (bytes equal to 1) of the three rows'
// three pixels: bits 0..2 the row above (left to right), 3 and 5 left and
// right, 6..8 the row below; each pattern bit is a neighbour that is not
// white, in get_pattern's order.
struct PatternOfWhites {
  uint8_t of[512] = {};
  constexpr PatternOfWhites() {
    constexpr int kBitOf[8] = {0, 1, 2, 3, 5, 6, 7, 8};  // pattern bits 7 .. 0
    for (int m = 0; m < 512; ++m) {
      int p = 0;
      for (int k = 0; k < 8; ++k) p |= ((m >> kBitOf[k]) & 1 ? 0 : 1) << (7 - k);
      of[m] = static_cast<uint8_t>(p);
    }
  }
};
constexpr PatternOfWhites kPatternOfWhites{};

// The same pattern from one 16-byte compare per row (the picture buffer
// has 16 bytes past its end, so every read stays inside it): a byte is
// white exactly when it equals 1, whatever the other values.
struct WhiteMaskPattern {
  int operator()(const uint8_t *p, int s) const {
    const __m128i one = _mm_set1_epi8(1);
    auto whites = [&](const uint8_t *q) {
      return _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(q - 1)), one));
    };
    const int m = (whites(p - s) & 7) | (whites(p) & 5) << 3 | (whites(p + s) & 7) << 6;
    return kPatternOfWhites.of[m];
  }
};
#endif

// The thinning on the frame, the neighbour patterns taken by `pattern`.
template <typename Pattern>
qxi_status thin(uint8_t **rowp, int rows, int cols, Pattern pattern);

}  // namespace

extern "C" qxi_status bal_contour_thin_scale(uint8_t **rowp, int rows, int cols, int scale) {
  (void)scale;
#if defined(__SSE2__)
  // The vector pattern goes with the other vector kernels, so that forcing
  // the plain path (tests, fuzz targets) also runs the byte tests.
  if (qx_simd_use_avx2()) return thin(rowp, rows, cols, WhiteMaskPattern{});
#endif
  return thin(rowp, rows, cols, BytePattern{});
}

namespace {

template <typename Pattern>
qxi_status thin(uint8_t **rowp, int rows, int cols, Pattern pattern) {
  if (rows <= 3 || cols <= 0) return QXI_OK;
  const int size = rows * cols;
  const int stride = cols + 2;
  const size_t framed = static_cast<size_t>(rows + 2) * static_cast<size_t>(stride);
  if (framed > static_cast<size_t>(INT32_MAX)) return QXI_NO_MEMORY;
  qx::Buffer<uint8_t> picture, verdict;
  qx::Buffer<int32_t> chain;
  qx::Buffer<Contour> contours;
  // Every entry of the last three is written before it is read: they
  // need no clearing (which would cost more than the thinning of a small
  // image).
  constexpr size_t kReadPast = 16;  // a 16-byte read from the last pixel's right neighbour stays inside
  if (!picture.alloc_uninitialised(framed + kReadPast) || !chain.alloc_uninitialised(static_cast<size_t>(size)) ||
      !contours.alloc_uninitialised(static_cast<size_t>(size) / 2 + 1) ||
      !verdict.alloc_uninitialised(static_cast<size_t>(size) + 1))
    return QXI_NO_MEMORY;
  Frame f;
  f.px = picture.get();
  f.stride = stride;
  for (int d = 0; d < 8; ++d) f.step[d] = kDr[d] * stride + kDc[d];
  uint8_t *const px = f.px;
  std::memset(px, 1, static_cast<size_t>(stride));
  std::memset(px + static_cast<size_t>(rows + 1) * stride, 1, static_cast<size_t>(stride) + kReadPast);
  for (int r = 0; r < rows; ++r) {
    uint8_t *row = px + static_cast<size_t>(r + 1) * stride;
    row[0] = 1;
    std::memcpy(row + 1, rowp[r], static_cast<size_t>(cols));
    row[cols + 1] = 1;
  }
  int32_t *const pos = chain.get();

  int fill = 0, ncont = 0;
  for (int i = 2; i < rows - 1; i += 2) {
    const int base = (i + 1) * stride + 1;
    const uint8_t *row = px + base;
    for (int j = 0; j <= 2 * ((cols - 3) / 2) && j + 2 < cols; j += 2) {
      int start = -1;
      if (row[j + 1] == 1 && row[j + 2] == 0)
        start = j + 2;
      else if (row[j + 1] == 0 && row[j] == 1)
        start = j + 1;
      if (start < 0 || fill >= size) continue;
      Contour &k = contours[ncont++];
      k = Contour{base + start, dir_of(8), fill, 0, true};
      trace(f, k.at, k.dir, size, pos, &fill);
      k.len = fill - k.off;
    }
  }
  // Where the search for a restart looks from a whitened pixel, and the
  // direction a contour entered there is traced in: right, left, lower,
  // upper.
  const int side[4][2] = {{1, dir_of(8)}, {-1, dir_of(2)}, {stride, dir_of(10)}, {-stride, dir_of(0)}};
  uint8_t *const del = verdict.get();
  bool removed = true;
  while (removed) {
    removed = false;
    for (int ci = ncont - 1; ci >= 0; --ci) {
      Contour &k = contours[ci];
      if (!k.active) continue;
      if (k.len == 0) {
        k.active = false;
        continue;
      }
      const int32_t *at = pos + k.off;
      int whitened = 0, restored = 0;
      // A pixel's verdict is carried out two pixels behind the one whose
      // pattern is taken.
      auto apply = [&](int t) {
        uint8_t &p = px[at[t]];
        if (del[t]) {
          if (p != 1) ++whitened;
          p = 1;
        } else if (p == 2) {
          p = 0;
        }
      };
      for (int t = 0; t < k.len; ++t) {
        del[t] = kTables.del[pattern(px + at[t], stride)];
        if (t >= 2) apply(t - 2);
      }
      for (int t = k.len >= 2 ? k.len - 2 : 0; t < k.len; ++t) apply(t);
      for (int t = 0; t < k.len; ++t) {
        uint8_t &p = px[at[t]];
        if (p == 1 && kTables.conn[pattern(px + at[t], stride)]) {
          p = 0;
          ++restored;
        }
      }
      if (whitened - restored == 0) {
        k.active = false;
        continue;
      }
      removed = true;
      bool found = false;
      for (int t = 0; t < k.len && !found; ++t) {
        if (px[at[t]] != 1) continue;
        for (const auto &s : side) {
          const int n = at[t] + s[0];
          // Neither white nor a single island.
          if (px[n] == 1 || pattern(px + n, stride) == 0) continue;
          k.at = n;
          k.dir = s[1];
          found = true;
          break;
        }
      }
      if (!found) k.active = false;
    }
    fill = 0;
    for (int ci = ncont - 1; ci >= 0; --ci) {
      Contour &k = contours[ci];
      if (!k.active) continue;
      k.off = fill;
      trace(f, k.at, k.dir, size, pos, &fill);
      k.len = fill - k.off;
    }
  }
  // Back into the picture, the marks of the last pass cleared.
  for (int r = 0; r < rows; ++r) {
    const uint8_t *row = px + static_cast<size_t>(r + 1) * stride + 1;
    uint8_t *out = rowp[r];
    for (int c = 0; c < cols; ++c) out[c] = row[c] == 2 ? 0 : row[c];
  }
  return QXI_OK;
}

}  // namespace

extern "C" qxi_status bal_contour_thin(uint8_t **rowp, int rows, int cols) { return bal_contour_thin_scale(rowp, rows, cols, 1); }
