// Convex hull (monotone chain), convex clipping (each edge of the second
// polygon cuts the first in turn) and the shoelace area.
#include "engine/match/qx_polygon.h"

#include <algorithm>
#include <cmath>

namespace {

// Points closer than this are one point; turns flatter than this are
// straight.  Coordinates are a few hundred pixels at most, so this is far
// below anything a real corner can differ by and far above rounding noise.
constexpr double kEps = 1e-9;
constexpr int kWork = 2 * QX_POLYGON_MAX_CORNERS + 4;

double cross(const qx_polygon_point &o, const qx_polygon_point &a, const qx_polygon_point &b) {
  return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x);
}

bool same_point(const qx_polygon_point &a, const qx_polygon_point &b) {
  return std::fabs(a.x - b.x) <= kEps && std::fabs(a.y - b.y) <= kEps;
}

double signed_area2(const qx_polygon_point *p, int n) {
  double s = 0;
  for (int i = 0; i < n; ++i) {
    const qx_polygon_point &a = p[i];
    const qx_polygon_point &b = p[(i + 1) % n];
    s += a.x * b.y - b.x * a.y;
  }
  return s;
}

// Hull of up to kWork points into `out` (capacity QX_POLYGON_MAX_CORNERS).
void hull(const qx_polygon_point *in, int n, qx_polygon *out) {
  out->count = 0;
  if (n <= 0) return;
  qx_polygon_point pts[kWork];
  n = std::min(n, kWork);
  std::copy(in, in + n, pts);
  std::sort(pts, pts + n, [](const qx_polygon_point &a, const qx_polygon_point &b) {
    return a.x < b.x || (a.x == b.x && a.y < b.y);
  });
  int m = 0;  // unique points
  for (int i = 0; i < n; ++i) {
    if (m == 0 || !same_point(pts[m - 1], pts[i])) pts[m++] = pts[i];
  }
  if (m == 1) {
    out->count = 1;
    out->corners[0] = pts[0];
    return;
  }
  qx_polygon_point h[2 * kWork];
  int k = 0;
  for (int i = 0; i < m; ++i) {  // lower hull
    while (k >= 2 && cross(h[k - 2], h[k - 1], pts[i]) <= kEps) --k;
    h[k++] = pts[i];
  }
  for (int i = m - 2, lower = k + 1; i >= 0; --i) {  // upper hull
    while (k >= lower && cross(h[k - 2], h[k - 1], pts[i]) <= kEps) --k;
    h[k++] = pts[i];
  }
  --k;  // the last point repeats the first
  if (k < 1) k = 1;
  // Collinear input leaves the two end points (possibly listed twice).
  if (k == 2 && same_point(h[0], h[1])) k = 1;
  k = std::min(k, static_cast<int>(QX_POLYGON_MAX_CORNERS));
  out->count = k;
  std::copy(h, h + k, out->corners);
}

}  // namespace

extern "C" {

void qx_polygon_convex_hull(const qx_polygon_point *points, int32_t count, qx_polygon *out) {
  if (out == nullptr) return;
  if (points == nullptr || count <= 0) {
    out->count = 0;
    return;
  }
  hull(points, std::min<int32_t>(count, QX_POLYGON_MAX_CORNERS), out);
}

void qx_polygon_intersect_convex(const qx_polygon *a, const qx_polygon *b, qx_polygon *out) {
  if (out == nullptr) return;
  out->count = 0;
  if (a == nullptr || b == nullptr || a->count < 3 || b->count < 3) return;
  const int na = std::min<int32_t>(a->count, QX_POLYGON_MAX_CORNERS);
  const int nb = std::min<int32_t>(b->count, QX_POLYGON_MAX_CORNERS);

  // The clipping polygon must run counter-clockwise.
  qx_polygon_point clip[QX_POLYGON_MAX_CORNERS];
  std::copy(b->corners, b->corners + nb, clip);
  if (signed_area2(clip, nb) < 0) std::reverse(clip, clip + nb);

  qx_polygon_point cur[kWork], next[kWork];
  int nc = na;
  std::copy(a->corners, a->corners + na, cur);
  for (int e = 0; e < nb && nc > 0; ++e) {
    const qx_polygon_point &p = clip[e];
    const qx_polygon_point &q = clip[(e + 1) % nb];
    int nn = 0;
    for (int i = 0; i < nc && nn + 2 <= kWork; ++i) {
      const qx_polygon_point &s = cur[i];
      const qx_polygon_point &t = cur[(i + 1) % nc];
      const double ds = cross(p, q, s);
      const double dt = cross(p, q, t);
      const bool s_in = ds >= -kEps;
      const bool t_in = dt >= -kEps;
      if (s_in) next[nn++] = s;
      if (s_in != t_in && std::fabs(ds - dt) > 0) {
        const double f = ds / (ds - dt);
        next[nn++] = {s.x + f * (t.x - s.x), s.y + f * (t.y - s.y)};
      }
    }
    nc = nn;
    std::copy(next, next + nn, cur);
  }
  hull(cur, nc, out);
}

double qx_polygon_area(const qx_polygon *polygon) {
  if (polygon == nullptr || polygon->count < 3) return 0.0;
  return std::fabs(signed_area2(polygon->corners,
                                std::min<int32_t>(polygon->count, QX_POLYGON_MAX_CORNERS))) /
         2.0;
}

int64_t qx_polygon_area_floor(const qx_polygon *polygon) {
  return static_cast<int64_t>(std::floor(qx_polygon_area(polygon) + 1e-6));
}

void qx_polygon_place_rectangle(const qx_alignment *alignment, int32_t cols, int32_t rows,
                                qx_polygon *out) {
  if (out == nullptr) return;
  const int32_t xs[4] = {0, cols, cols, 0};
  const int32_t ys[4] = {0, 0, rows, rows};
  qx_polygon_point corners[4];
  for (int i = 0; i < 4; ++i) {
    int32_t x = xs[i], y = ys[i];
    if (alignment != nullptr) qx_alignment_transform_point_inverse(alignment, xs[i], ys[i], &x, &y);
    corners[i] = {static_cast<double>(x), static_cast<double>(y)};
  }
  hull(corners, 4, out);
}

}  // extern "C"
