// Minutia detection on skeletons: branch points, spur and bridge cuts, leg
// following with the quality rule, and the three cleanups.
#include "engine/image/minutiae.h"

#include <algorithm>
#include <cstring>

#include "engine/image/fixed_math.h"
#include "engine/qx_buffer.hpp"
#include "engine/qx_simd.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

namespace {

// The quality bands of a branch point (by its quality-image value): the
// shortest squared leg length a bifurcation must reach to be kept, and the
// length scale k of the quality rule for short legs.
struct QualityBand {
  int min_leg_sq;
  int k;
};

QualityBand quality_band(int quality) {
  if (quality < 16) return {100, 10};
  if (quality <= 40) return {81, 9};
  if (quality <= 60) return {9, 3};
  return {4, 2};
}

// The skeleton being worked on (0 black) and its line counts (black
// neighbours of each black pixel; 2 on a plain line, 3 at a branch).
struct Skeleton {
  uint8_t *pixels;
  uint8_t *counts;
  int rows, cols;

  uint8_t &count(int r, int c) { return counts[static_cast<size_t>(r) * cols + c]; }
  bool black_at(int r, int c) const { return black(pixels, rows, cols, r, c); }
  void remove(int r, int c) { bal_remove_skeleton_pixel(pixels, counts, rows, cols, r, c); }
};

// Branch-point candidates, as pixel indexes in raster order.
struct BranchPoints {
  int index[BAL_MAX_MINUTIAE];
  int count = 0;
};

// Phase 1: counts every black pixel's black neighbours and collects the
// branch points.  Three branch pixels side by side stand for one branch:
// two of them become line pixels again (and a candidate already taken is
// given back).  A pixel with four neighbours, three of them on one side,
// becomes a branch when the middle one of those three is whitened.
// The pixels of the raster scan of find_branch_points: every inner column
// of row r, or with `skip` only those black when the row is reached, found
// sixteen at a time.  A visit may only whiten pixels, so every pixel still
// black when its turn comes is among them; the visit tests it again.
template <typename Visit>
void scan_row(const uint8_t *row, int cols, bool skip, Visit visit) {
#if defined(__SSE2__)
  if (skip) {
    const __m128i zero = _mm_setzero_si128();
    int c0 = 1;
    for (; c0 + 16 <= cols - 1; c0 += 16) {
      unsigned m = static_cast<unsigned>(
          _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(row + c0)), zero)));
      for (; m != 0; m &= m - 1) visit(c0 + __builtin_ctz(m));
    }
    for (int c = c0; c < cols - 1; ++c) visit(c);
    return;
  }
#else
  (void)skip;
#endif
  for (int c = 1; c < cols - 1; ++c) visit(c);
}

void find_branch_points(Skeleton &sk, BranchPoints *found) {
  const bool skip = qx_simd_use_avx2() != 0;
  for (int r = 1; r < sk.rows - 1; ++r)
    scan_row(sk.pixels + static_cast<size_t>(r) * sk.cols, sk.cols, skip, [&](int c) {
      if (sk.pixels[static_cast<size_t>(r) * sk.cols + c] != 0) return;
      int neighbours = 0;
      for (int dr = -1; dr <= 1; ++dr)
        for (int dc = -1; dc <= 1; ++dc)
          if ((dr || dc) && sk.black_at(r + dr, c + dc)) ++neighbours;
      sk.count(r, c) = static_cast<uint8_t>(neighbours);
      bool candidate = false;
      if (neighbours == 3) {
        candidate = true;
        if (sk.count(r, c - 1) == 3 && sk.count(r - 1, c - 1) == 3) {
          sk.count(r, c) = 2;
          sk.count(r - 1, c - 1) = 2;
          candidate = false;
        } else if (sk.count(r - 1, c) == 3 &&
                   (sk.count(r - 1, c + 1) == 3 || sk.count(r - 1, c - 1) == 3)) {
          sk.count(r, c) = 2;
          if (sk.count(r - 1, c + 1) == 3)
            sk.count(r - 1, c + 1) = 2;
          else
            sk.count(r - 1, c - 1) = 2;
          candidate = false;
        } else if (sk.count(r - 1, c) == 3 && sk.count(r, c - 1) == 3) {
          sk.count(r, c - 1) = 2;
          sk.count(r - 1, c) = 2;
          if (found->count > 0 && found->index[found->count - 1] == r * sk.cols + c - 1)
            --found->count;
        }
      } else if (neighbours == 4) {
        auto b = [&](int dr, int dc) { return sk.black_at(r + dr, c + dc); };
        int side_r = 0, side_c = 0;
        if (b(-1, -1) && b(-1, 0) && b(-1, 1))
          side_r = -1;
        else if (b(1, -1) && b(1, 0) && b(1, 1))
          side_r = 1;
        else if (b(-1, -1) && b(0, -1) && b(1, -1))
          side_c = -1;
        else if (b(-1, 1) && b(0, 1) && b(1, 1))
          side_c = 1;
        if (side_r || side_c) {
          sk.remove(r + side_r, c + side_c);
          sk.count(r, c) = 3;
          candidate = true;
        }
      }
      if (candidate && found->count < BAL_MAX_MINUTIAE) found->index[found->count++] = r * sk.cols + c;
    });
}

// Calls cut(r, c, step) for the first three legs of every branch point
// that is still a branch, until it returns true (the leg was cut).
template <class Cut>
void for_each_branch_leg(Skeleton &sk, const BranchPoints &branches, Cut cut) {
  uint8_t legs[8];
  for (int i = 0; i < branches.count; ++i) {
    const int r = branches.index[i] / sk.cols, c = branches.index[i] % sk.cols;
    if (sk.count(r, c) != 3) continue;
    const int leg_count = bal_find_bifurcation_legs(sk.pixels, sk.rows, sk.cols, r, c, legs);
    for (int l = 0; l < leg_count && l < 3; ++l)
      if (cut(r, c, legs[l])) break;
  }
}

// Phase 2: spurs.  A leg that reaches a line end within 3 / scale steps is
// cut off, and its branch point becomes a line pixel.
void cut_spurs(Skeleton &sk, const BranchPoints &branches, int scale, int *path) {
  const int spur_steps = 3 / scale;
  for_each_branch_leg(sk, branches, [&](int r, int c, int step) {
    const Walk walk = follow(sk.pixels, sk.counts, sk.rows, sk.cols, r, c, step, spur_steps, path);
    if (!walk.line_end || walk.steps > spur_steps) return false;
    for (int p = 0; p < walk.n; ++p) sk.remove(path[2 * p], path[2 * p + 1]);
    sk.count(r, c) = 2;
    return true;
  });
}

// Phase 3 (scale 1 only): bridges.  The first leg (of up to 20 pixels)
// that runs across the ridge flow by more than 40 (1/256 turn) is cut.
void cut_bridges(Skeleton &sk, const BranchPoints &branches, const uint8_t *orientation, int *path) {
  constexpr int kBridgeSteps = 20;
  constexpr int kAcrossFlow = 40;
  for_each_branch_leg(sk, branches, [&](int r, int c, int step) {
    const Walk walk = follow(sk.pixels, sk.counts, sk.rows, sk.cols, r, c, step, kBridgeSteps, path);
    const int leg_angle = atan2_(r - walk.r, c - walk.c) & 255;
    const int flow = orientation[static_cast<size_t>(r) * sk.cols + c];
    int across = (flow + 64) & 255;
    if (angle_difference(across, leg_angle) > 64) across = (flow - 64) & 255;
    if (angle_difference(across, leg_angle) <= kAcrossFlow) return false;
    // The last pixel stays unless it was a line end (a branch or the
    // end of the walk belongs to another line).
    const int keep_last = walk.line_end ? 0 : 1;
    for (int p = 0; p < walk.n - keep_last; ++p) sk.remove(path[2 * p], path[2 * p + 1]);
    return true;
  });
}

// Phase 4: the remaining branch points become bifurcations.  Each of the
// three legs is followed along line pixels (at most 39 / scale steps, and
// no further than 30 pixels once past 20 / scale steps); a leg shorter
// than its quality band allows drops the point.  The direction halves the
// two legs closest in angle; the quality is lowered for a short leg.
void record_bifurcations(Skeleton &sk, const BranchPoints &branches, const uint8_t *quality,
                         int type, int scale, bal_minutia *minutiae, int *count) {
  const int scale_sq = scale * scale;
  uint8_t legs[8];
  for (int i = 0; i < branches.count; ++i) {
    const int r = branches.index[i] / sk.cols, c = branches.index[i] % sk.cols;
    if (sk.count(r, c) <= 2) continue;
    if (*count >= BAL_MAX_MINUTIAE) break;
    const int point_quality = quality[static_cast<size_t>(r) * sk.cols + c];
    const QualityBand band = quality_band(point_quality);
    const int leg_count = bal_find_bifurcation_legs(sk.pixels, sk.rows, sk.cols, r, c, legs);
    if (leg_count < 3) continue;
    int leg_end[3][2];
    int shortest_sq = 1 << 30;
    bool too_short = false;
    for (int l = 0; l < 3; ++l) {
      int step = legs[l], lr = r + kStepDr[step], lc = c + kStepDc[step], walked = scale;
      for (;;) {
        if (sk.count(lr, lc) != 2) break;
        if (walked > 39) break;
        const int dist_sq = (lr - r) * (lr - r) + (lc - c) * (lc - c);
        if (walked > 20 && scale_sq * dist_sq > 900) break;
        const int next = bal_find_next_leg_direction(sk.pixels, sk.rows, sk.cols, lr, lc, step);
        if (!next) break;
        step = next;
        lr += kStepDr[step];
        lc += kStepDc[step];
        walked += scale;
      }
      leg_end[l][0] = lr;
      leg_end[l][1] = lc;
      const int length_sq = (lr - r) * (lr - r) + (lc - c) * (lc - c);
      if (scale_sq * length_sq < band.min_leg_sq) too_short = true;
      shortest_sq = std::min(shortest_sq, length_sq);
    }
    if (too_short) continue;
    int leg_angle[3];
    for (int l = 0; l < 3; ++l) leg_angle[l] = atan2_(r - leg_end[l][0], leg_end[l][1] - c) & 255;
    static const int kPairs[3][2] = {{0, 1}, {0, 2}, {1, 2}};
    int closest = 0;
    for (int p = 1; p < 3; ++p)
      if (angle_difference(leg_angle[kPairs[p][0]], leg_angle[kPairs[p][1]]) <
          angle_difference(leg_angle[kPairs[closest][0]], leg_angle[kPairs[closest][1]]))
        closest = p;
    const int minutia_quality = bal_minutia_quality(point_quality, shortest_sq, scale);
    if (minutia_quality <= 9) continue;
    bal_minutia &m = minutiae[(*count)++];
    m.row = static_cast<int16_t>(r);
    m.col = static_cast<int16_t>(c);
    m.direction = static_cast<uint8_t>(
        angle_average(leg_angle[kPairs[closest][0]], leg_angle[kPairs[closest][1]]) & 255);
    m.type = static_cast<uint8_t>(type);
    m.quality = static_cast<uint8_t>(minutia_quality);
    m.wavelength = 0;
  }
}

}  // namespace

extern "C" int bal_minutia_quality(int q, int shortest_sq, int scale) {
  const int k = quality_band(q).k;
  const int len2 = scale * scale * shortest_sq;
  if (len2 >= (k + 6) * (k + 6)) return q;
  const int P = static_cast<int>(sqrt_(static_cast<uint32_t>(len2)));
  return (100 / (k - P + 7)) * q / 100;
}

extern "C" void bal_extract_bifurcations(uint8_t *sk, const uint8_t *wavelength, const uint8_t *orientation,
                                         int rows, int cols, int type, const uint8_t *quality, bal_minutia *minutiae,
                                         int *count, uint8_t *counts, int scale) {
  (void)wavelength;
  std::memset(counts, 0, static_cast<size_t>(rows) * cols);
  if (rows < 3 || cols < 3) return;
  Skeleton skeleton{sk, counts, rows, cols};
  BranchPoints branches;
  find_branch_points(skeleton, &branches);
  qx::Buffer<int> path;
  if (!path.alloc(2 * 64)) return;
  cut_spurs(skeleton, branches, scale, path.get());
  if (scale == 1) cut_bridges(skeleton, branches, orientation, path.get());
  record_bifurcations(skeleton, branches, quality, type, scale, minutiae, count);
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
