// Minutia detection on skeletons: branch points, spur and bridge cuts, leg
// following with the quality rule, and the three cleanups.
#include "engine/image/minutiae.h"

#include <algorithm>
#include <cstring>

#include "engine/image/fixed_math.h"
#include "engine/qx_buffer.hpp"

namespace {

// Leg step codes 1..8: N, S, W, E, NW, NE, SW, SE.
const int kStepDr[9] = {0, -1, 1, 0, 0, -1, -1, 1, 1};
const int kStepDc[9] = {0, 0, 0, -1, 1, -1, 1, -1, 1};
// Tried in order after each step; 0 ends a list.
const uint8_t kPrefer[9][5] = {{0},           {1, 5, 6, 0, 0}, {2, 7, 8, 0, 0}, {3, 5, 7, 0, 0}, {4, 6, 8, 0, 0},
                               {1, 3, 5, 6, 7}, {1, 4, 5, 6, 8}, {3, 2, 5, 7, 8}, {4, 2, 6, 7, 8}};
// Raster order of the neighbours: NW, N, NE, W, E, SW, S, SE.
const uint8_t kRaster[8] = {5, 1, 6, 3, 4, 7, 2, 8};

inline bool black(const uint8_t *sk, int rows, int cols, int r, int c) {
  return r >= 0 && r < rows && c >= 0 && c < cols && sk[static_cast<size_t>(r) * cols + c] == 0;
}

struct Walk {
  int r, c;        // last pixel reached
  int steps;       // pixels walked
  int n;           // pixels stored in path
  bool line_end;   // stopped on a line end
};

// Follows a leg from (r0, c0) along plain line pixels (count 2).  The first
// pixel is the neighbour in direction `step`.  `path` (optional) gets the
// pixels walked.  `limit` bounds the number of pixels.
Walk follow(const uint8_t *sk, const uint8_t *counts, int rows, int cols, int r0, int c0, int step, int limit,
            int *path) {
  Walk w{r0 + kStepDr[step], c0 + kStepDc[step], 1, 0, false};
  for (;;) {
    if (path) {
      path[2 * w.n] = w.r;
      path[2 * w.n + 1] = w.c;
      ++w.n;
    }
    const uint8_t k = counts[static_cast<size_t>(w.r) * cols + w.c];
    if (k != 2) {
      w.line_end = k == 1;
      return w;
    }
    if (w.steps >= limit) return w;
    const int next = bal_find_next_leg_direction(sk, rows, cols, w.r, w.c, step);
    if (!next) return w;
    step = next;
    w.r += kStepDr[step];
    w.c += kStepDc[step];
    ++w.steps;
  }
}

}  // namespace

extern "C" void bal_remove_skeleton_pixel(uint8_t *sk, uint8_t *counts, int rows, int cols, int r, int c) {
  sk[static_cast<size_t>(r) * cols + c] = 1;
  counts[static_cast<size_t>(r) * cols + c] = 0;
  for (int dr = -1; dr <= 1; ++dr)
    for (int dc = -1; dc <= 1; ++dc) {
      const int rr = r + dr, cc = c + dc;
      if ((dr || dc) && rr >= 0 && rr < rows && cc >= 0 && cc < cols) {
        uint8_t &k = counts[static_cast<size_t>(rr) * cols + cc];
        if (k > 0) --k;
      }
    }
}

extern "C" int bal_find_bifurcation_legs(const uint8_t *sk, int rows, int cols, int r, int c, uint8_t legs[8]) {
  int n = 0;
  for (uint8_t s : kRaster)
    if (black(sk, rows, cols, r + kStepDr[s], c + kStepDc[s])) legs[n++] = s;
  return n;
}

extern "C" int bal_find_next_leg_direction(const uint8_t *sk, int rows, int cols, int r, int c, int step) {
  if (step < 1 || step > 8) return 0;
  for (uint8_t s : kPrefer[step]) {
    if (!s) break;
    if (black(sk, rows, cols, r + kStepDr[s], c + kStepDc[s])) return s;
  }
  return 0;
}

extern "C" int bal_minutia_quality(int q, int shortest_sq, int scale) {
  const int k = q < 16 ? 10 : (q <= 40 ? 9 : (q <= 60 ? 3 : 2));
  const int len2 = scale * scale * shortest_sq;
  if (len2 >= (k + 6) * (k + 6)) return q;
  const int P = static_cast<int>(sqrt_(static_cast<uint32_t>(len2)));
  return (100 / (k - P + 7)) * q / 100;
}

extern "C" void bal_extract_bifurcations(uint8_t *sk, const uint8_t *wavelength, const uint8_t *orientation,
                                         int rows, int cols, int type, const uint8_t *quality, bal_minutia *minutiae,
                                         int *count, uint8_t *counts, int scale) {
  (void)wavelength;
  const size_t n = static_cast<size_t>(rows) * cols;
  std::memset(counts, 0, n);
  if (rows < 3 || cols < 3) return;
  auto at = [&](int r, int c) -> uint8_t & { return counts[static_cast<size_t>(r) * cols + c]; };
  int cand[BAL_MAX_MINUTIAE];
  int ncand = 0;
  for (int r = 1; r < rows - 1; ++r)
    for (int c = 1; c < cols - 1; ++c) {
      if (sk[static_cast<size_t>(r) * cols + c] != 0) continue;
      int k = 0;
      for (int dr = -1; dr <= 1; ++dr)
        for (int dc = -1; dc <= 1; ++dc)
          if ((dr || dc) && black(sk, rows, cols, r + dr, c + dc)) ++k;
      at(r, c) = static_cast<uint8_t>(k);
      bool candidate = false;
      if (k == 3) {
        candidate = true;
        if (at(r, c - 1) == 3 && at(r - 1, c - 1) == 3) {
          at(r, c) = 2;
          at(r - 1, c - 1) = 2;
          candidate = false;
        } else if (at(r - 1, c) == 3 && (at(r - 1, c + 1) == 3 || at(r - 1, c - 1) == 3)) {
          at(r, c) = 2;
          if (at(r - 1, c + 1) == 3)
            at(r - 1, c + 1) = 2;
          else
            at(r - 1, c - 1) = 2;
          candidate = false;
        } else if (at(r - 1, c) == 3 && at(r, c - 1) == 3) {
          at(r, c - 1) = 2;
          at(r - 1, c) = 2;
          if (ncand > 0 && cand[ncand - 1] == r * cols + c - 1) --ncand;
        }
      } else if (k == 4) {
        auto b = [&](int dr, int dc) { return black(sk, rows, cols, r + dr, c + dc); };
        int mr = 0, mc = 0;
        if (b(-1, -1) && b(-1, 0) && b(-1, 1))
          mr = -1;
        else if (b(1, -1) && b(1, 0) && b(1, 1))
          mr = 1;
        else if (b(-1, -1) && b(0, -1) && b(1, -1))
          mc = -1;
        else if (b(-1, 1) && b(0, 1) && b(1, 1))
          mc = 1;
        if (mr || mc) {
          bal_remove_skeleton_pixel(sk, counts, rows, cols, r + mr, c + mc);
          at(r, c) = 3;
          candidate = true;
        }
      }
      if (candidate && ncand < BAL_MAX_MINUTIAE) cand[ncand++] = r * cols + c;
    }

  uint8_t legs[8];
  // Spurs: a leg ending within 3 / scale steps is cut.
  const int spur = 3 / scale;
  qx::Buffer<int> path;
  if (!path.alloc(2 * 64)) return;
  for (int i = 0; i < ncand; ++i) {
    const int r = cand[i] / cols, c = cand[i] % cols;
    if (at(r, c) != 3) continue;
    const int nl = bal_find_bifurcation_legs(sk, rows, cols, r, c, legs);
    for (int l = 0; l < nl && l < 3; ++l) {
      const Walk w = follow(sk, counts, rows, cols, r, c, legs[l], spur, path.get());
      if (w.line_end && w.steps <= spur) {
        for (int p = 0; p < w.n; ++p) bal_remove_skeleton_pixel(sk, counts, rows, cols, path[2 * p], path[2 * p + 1]);
        at(r, c) = 2;
        break;
      }
    }
  }
  // Bridges across the ridge flow (scale 1).
  if (scale == 1) {
    for (int i = 0; i < ncand; ++i) {
      const int r = cand[i] / cols, c = cand[i] % cols;
      if (at(r, c) != 3) continue;
      const int nl = bal_find_bifurcation_legs(sk, rows, cols, r, c, legs);
      for (int l = 0; l < nl && l < 3; ++l) {
        const Walk w = follow(sk, counts, rows, cols, r, c, legs[l], 20, path.get());
        const int phi = atan2_(r - w.r, c - w.c) & 255;
        const int o = orientation[static_cast<size_t>(r) * cols + c];
        int d = (o + 64) & 255;
        if (angle_difference(d, phi) > 64) d = (o - 64) & 255;
        if (angle_difference(d, phi) <= 40) continue;
        // The last pixel stays unless it was a line end (a branch or the
        // end of the walk belongs to another line).
        const int keep_last = w.line_end ? 0 : 1;
        for (int p = 0; p < w.n - keep_last; ++p)
          bal_remove_skeleton_pixel(sk, counts, rows, cols, path[2 * p], path[2 * p + 1]);
        break;
      }
    }
  }
  // Minutiae from the remaining branch points.
  const int s2 = scale * scale;
  for (int i = 0; i < ncand; ++i) {
    const int r = cand[i] / cols, c = cand[i] % cols;
    if (at(r, c) <= 2) continue;
    if (*count >= BAL_MAX_MINUTIAE) break;
    const int q = quality[static_cast<size_t>(r) * cols + c];
    int L, k;
    if (q < 16) {
      L = 100;
      k = 10;
    } else if (q <= 40) {
      L = 81;
      k = 9;
    } else if (q <= 60) {
      L = 9;
      k = 3;
    } else {
      L = 4;
      k = 2;
    }
    const int nl = bal_find_bifurcation_legs(sk, rows, cols, r, c, legs);
    if (nl < 3) continue;
    int ends[3][2];
    int shortest = 1 << 30;
    bool dropped = false;
    for (int l = 0; l < 3; ++l) {
      int step = legs[l], pr = r + kStepDr[step], pc = c + kStepDc[step], counter = scale;
      for (;;) {
        if (at(pr, pc) != 2) break;
        if (counter > 39) break;
        const int dist2 = (pr - r) * (pr - r) + (pc - c) * (pc - c);
        if (counter > 20 && s2 * dist2 > 900) break;
        const int next = bal_find_next_leg_direction(sk, rows, cols, pr, pc, step);
        if (!next) break;
        step = next;
        pr += kStepDr[step];
        pc += kStepDc[step];
        counter += scale;
      }
      ends[l][0] = pr;
      ends[l][1] = pc;
      const int d2 = (pr - r) * (pr - r) + (pc - c) * (pc - c);
      if (s2 * d2 < L) dropped = true;
      shortest = std::min(shortest, d2);
    }
    if (dropped) continue;
    int a[3];
    for (int l = 0; l < 3; ++l) a[l] = atan2_(r - ends[l][0], ends[l][1] - c) & 255;
    static const int kPairs[3][2] = {{0, 1}, {0, 2}, {1, 2}};
    int best = 0;
    for (int p = 1; p < 3; ++p)
      if (angle_difference(a[kPairs[p][0]], a[kPairs[p][1]]) < angle_difference(a[kPairs[best][0]], a[kPairs[best][1]]))
        best = p;
    const int quality_v = bal_minutia_quality(q, shortest, scale);
    if (quality_v <= 9) continue;
    bal_minutia &m = minutiae[(*count)++];
    m.row = static_cast<int16_t>(r);
    m.col = static_cast<int16_t>(c);
    m.direction = static_cast<uint8_t>(angle_average(a[kPairs[best][0]], a[kPairs[best][1]]) & 255);
    m.type = static_cast<uint8_t>(type);
    m.quality = static_cast<uint8_t>(quality_v);
    m.wavelength = 0;
  }
}

extern "C" int bal_remove_duplicate_minutiae(bal_minutia *m, int count, int scale) {
  int endings = 0;
  while (endings < count && m[endings].type == 1) ++endings;
  int i = endings;
  while (i < count) {
    bool merged = false;
    for (int e = 0; e < endings; ++e) {
      if (m[e].type != 1) continue;
      const int dr = m[e].row - m[i].row, dc = m[e].col - m[i].col;
      if (angle_difference(m[e].direction, m[i].direction) > 13 || scale * scale * (dr * dr + dc * dc) >= 64) continue;
      m[e].row = static_cast<int16_t>((m[e].row + m[i].row) / 2);
      m[e].col = static_cast<int16_t>((m[e].col + m[i].col) / 2);
      m[e].direction = static_cast<uint8_t>(angle_average(m[e].direction, m[i].direction) & 255);
      m[e].type = 2;
      for (int k = i; k + 1 < count; ++k) m[k] = m[k + 1];
      --count;
      merged = true;
      break;
    }
    if (!merged) ++i;
  }
  return count;
}

extern "C" int bal_remove_edge_endpoints(bal_minutia *m, int count, const uint8_t *sk, const uint8_t *counts,
                                         const uint8_t *wavelength, int rows, int cols, int scale) {
  auto inside = [&](int r, int c) { return r >= 0 && r < rows && c >= 0 && c < cols; };
  auto is_end = [&](int r, int c) { return inside(r, c) && counts[static_cast<size_t>(r) * cols + c] == 1; };
  int i = 0;
  while (i < count) {
    if (m[i].type != 1) {
      ++i;
      continue;
    }
    const int th = m[i].direction;
    const int32_t cs = cos_(th), sn = sin_(th);
    auto disp = [&](int32_t trig, int d) { return (trig * d / scale) >> 14; };
    int sr = std::clamp(m[i].row - disp(sn, 5), 0, rows - 1);
    int sc = std::clamp(m[i].col + disp(cs, 5), 0, cols - 1);
    int er = -1, ec = -1;
    if (is_end(sr, sc)) {
      er = sr;
      ec = sc;
    } else {
      for (int rad = 1; rad <= 51 && er < 0; ++rad)
        for (int j = 0; j <= rad && er < 0; ++j) {
          const int cand[8][2] = {{sr - rad, sc + j}, {sr + rad, sc + j}, {sr + j, sc + rad}, {sr + j, sc - rad},
                                  {sr - rad, sc - j}, {sr + rad, sc - j}, {sr - j, sc + rad}, {sr - j, sc - rad}};
          const int tries = j > 0 ? 8 : 4;
          for (int t = 0; t < tries; ++t)
            if (is_end(cand[t][0], cand[t][1])) {
              er = cand[t][0];
              ec = cand[t][1];
              break;
            }
        }
    }
    if (er < 0) {
      ++i;  // no line end nearby: the ending stays
      continue;
    }
    const int w = wavelength[static_cast<size_t>(er) * cols + ec];
    int probes[3][2];
    probes[0][0] = er;
    probes[0][1] = ec;
    probes[1][0] = er + disp(sn, 10);
    probes[1][1] = ec - disp(cs, 10);
    probes[2][0] = probes[1][0] + disp(sn, 20);
    probes[2][1] = probes[1][1] - disp(cs, 20);
    bool remove = false, stays = false;
    for (int p = 0; p < 3 && !stays && !remove; ++p) {
      if (!inside(probes[p][0], probes[p][1])) {
        remove = true;
        break;
      }
      int sides = 0;
      for (int side = 0; side < 2; ++side) {
        const int ang = (th + (side ? 64 : -64)) & 255;
        const int32_t phi = static_cast<int32_t>((static_cast<int64_t>(ang) * 205887) >> 7);
        const int32_t c14 = cos_14(phi), s14 = sin_14(phi);
        for (int s = 3 / scale; s <= 3 * w / scale; ++s) {
          const int ocol = c14 * s / 16384, orow = s14 * s / 16384;
          if (std::abs(ocol) <= 1 && std::abs(orow) <= 1) continue;
          const int rr = probes[p][0] - orow, cc = probes[p][1] + ocol;
          if (!inside(rr, cc)) continue;
          const size_t k = static_cast<size_t>(rr) * cols + cc;
          const bool hit = sk[k] == 0 || (cc > 0 ? sk[k - 1] == 0 : (cc + 1 < cols && sk[k + 1] == 0));
          if (hit) {
            ++sides;
            break;
          }
        }
      }
      if (sides == 2) stays = true;
    }
    if (!stays) remove = true;
    if (remove) {
      for (int k = i; k + 1 < count; ++k) m[k] = m[k + 1];
      --count;
    } else {
      ++i;
    }
  }
  return count;
}

extern "C" int bal_orientation_difference(bal_minutia *m, int count, const uint8_t *orientation, int rows, int cols,
                                          int scale) {
  auto dir_of = [](int o, int md) {
    const int d1 = (64 - o) & 255, d2 = (-64 - o) & 255;
    return angle_difference(d2, md) < angle_difference(d1, md) ? d2 : d1;
  };
  int i = 0;
  while (i < count) {
    const int md = m[i].direction;
    const int d = dir_of(orientation[static_cast<size_t>(m[i].row) * cols + m[i].col], md);
    const int dist = 15 / scale;
    const int pr = std::clamp(m[i].row - ((sin_(d) * dist) >> 14), 0, rows - 1);
    const int pc = std::clamp(m[i].col + ((cos_(d) * dist) >> 14), 0, cols - 1);
    const int rdir = dir_of(orientation[static_cast<size_t>(pr) * cols + pc], md);
    const int u = std::min(angle_difference(md, d), angle_difference(md, rdir));
    int v = angle_difference(d, rdir);
    if (v > 64) v = 128 - v;
    if ((3 * v >> 3) + 12 < u) {
      for (int k = i; k + 1 < count; ++k) m[k] = m[k + 1];
      --count;
    } else {
      ++i;
    }
  }
  return count;
}

extern "C" qxi_status bal_quality_image_to_field(const uint8_t *quality, int rows, int cols, int work_rows, int work_cols,
                                                 int row_offset, int col_offset, int block_h, int block_w, uint8_t *field) {
  if (block_h <= 0 || block_w <= 0) return QXI_OUT_OF_RANGE;
  const int fr = rows / block_h + 1, fc = cols / block_w + 1;
  for (int i = 0; i < fr; ++i)
    for (int j = 0; j < fc; ++j) {
      const int r = i * block_h + block_h / 2 - row_offset, c = j * block_w + block_w / 2 - col_offset;
      field[i * fc + j] =
          (r >= 0 && r < work_rows && c >= 0 && c < work_cols) ? quality[static_cast<size_t>(r) * work_cols + c] : 0;
    }
  return QXI_OK;
}
