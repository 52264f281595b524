// Enrollment progress: convex hull of the capture corners and its area.
#include "engine/objects/qx_enroll_progress.h"

#include "engine/match/qx_utils.h"
#include "engine/qx_buffer.hpp"
#include "engine/qx_rc.h"

namespace {

struct Point {
  int64_t x;
  int64_t y;
};

int compare_points(const void *a, const void *b) {
  const auto *p = static_cast<const Point *>(a);
  const auto *q = static_cast<const Point *>(b);
  if (p->x != q->x) return p->x < q->x ? -1 : 1;
  if (p->y != q->y) return p->y < q->y ? -1 : 1;
  return 0;
}

// Twice the signed area of the triangle (o, a, b): > 0 for a left turn.
int64_t cross(const Point &o, const Point &a, const Point &b) {
  return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x);
}

}  // namespace

extern "C" {

qx_rc qx_convex_hull_area(const int32_t *xs, const int32_t *ys, int32_t n, int64_t *area) {
  if (area == nullptr) return QX_RC_BAD_ARGUMENT;
  *area = 0;
  if (n < 0 || (n > 0 && (xs == nullptr || ys == nullptr))) return QX_RC_BAD_ARGUMENT;
  if (n < 3) return QX_RC_OK;
  qx::Buffer<Point> points;
  qx::Buffer<Point> hull;
  if (!points.alloc(static_cast<size_t>(n)) || !hull.alloc(2 * static_cast<size_t>(n))) {
    return QX_RC_NO_MEMORY;
  }
  for (int32_t i = 0; i < n; ++i) points[i] = Point{xs[i], ys[i]};
  qx_sort(points.get(), static_cast<size_t>(n), sizeof(Point), compare_points);

  // Monotone chain: lower hull left to right, upper hull right to left;
  // collinear points are dropped.
  int32_t k = 0;
  for (int32_t i = 0; i < n; ++i) {
    while (k >= 2 && cross(hull[k - 2], hull[k - 1], points[i]) <= 0) --k;
    hull[k++] = points[i];
  }
  for (int32_t i = n - 2, lower = k + 1; i >= 0; --i) {
    while (k >= lower && cross(hull[k - 2], hull[k - 1], points[i]) <= 0) --k;
    hull[k++] = points[i];
  }
  // The last point repeats the first.
  int64_t twice = 0;
  for (int32_t i = 0; i + 1 < k; ++i) twice += hull[i].x * hull[i + 1].y - hull[i + 1].x * hull[i].y;
  *area = (twice < 0 ? -twice : twice) / 2;
  return QX_RC_OK;
}

uint8_t qx_enroll_progress_from_area(int64_t area, uint8_t best) {
  int64_t progress = area > 0 ? area * 100 / QX_ENROLL_FULL_AREA : 0;
  if (progress > 100) progress = 100;
  return progress < best ? best : static_cast<uint8_t>(progress);
}

}  // extern "C"
