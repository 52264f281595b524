// Convex hull, convex intersection and areas against hand-computed shapes.
#include <gtest/gtest.h>

#include <cmath>

#include "engine/match/qx_polygon.h"

namespace {

qx_polygon hull_of(std::initializer_list<qx_polygon_point> pts) {
  qx_polygon p{};
  qx_polygon_convex_hull(pts.begin(), static_cast<int32_t>(pts.size()), &p);
  return p;
}

qx_polygon square(double x0, double y0, double side) {
  return hull_of({{x0, y0}, {x0 + side, y0}, {x0 + side, y0 + side}, {x0, y0 + side}});
}

// A square of half-diagonal h centred at (cx, cy), turned by 45 degrees.
qx_polygon diamond(double cx, double cy, double h) {
  return hull_of({{cx - h, cy}, {cx, cy - h}, {cx + h, cy}, {cx, cy + h}});
}

double area(const qx_polygon &p) { return qx_polygon_area(&p); }

double cut(const qx_polygon &a, const qx_polygon &b, int32_t *corners = nullptr) {
  qx_polygon ab{}, ba{};
  qx_polygon_intersect_convex(&a, &b, &ab);
  qx_polygon_intersect_convex(&b, &a, &ba);
  EXPECT_NEAR(qx_polygon_area(&ab), qx_polygon_area(&ba), 1e-9);  // order does not matter
  if (corners != nullptr) *corners = ab.count;
  return qx_polygon_area(&ab);
}

TEST(PolygonHull, DropsInnerDuplicateAndCollinearPointsAndRunsCounterClockwise) {
  const qx_polygon p = hull_of({{10, 10}, {0, 0}, {5, 5}, {10, 0}, {5, 0}, {0, 10}, {0, 0},
                                {3, 7}, {10, 5}});
  ASSERT_EQ(p.count, 4);
  double twice = 0;
  for (int i = 0; i < 4; ++i) {
    const auto &a = p.corners[i];
    const auto &b = p.corners[(i + 1) % 4];
    twice += a.x * b.y - b.x * a.y;
  }
  EXPECT_GT(twice, 0);
  EXPECT_DOUBLE_EQ(qx_polygon_area(&p), 100);

  EXPECT_EQ(hull_of({{1, 1}, {1, 1}}).count, 1);
  const qx_polygon seg = hull_of({{0, 0}, {2, 2}, {1, 1}, {3, 3}});
  EXPECT_EQ(seg.count, 2);
  EXPECT_EQ(qx_polygon_area(&seg), 0);
  qx_polygon none{};
  none.count = 7;
  qx_polygon_convex_hull(nullptr, 3, &none);
  EXPECT_EQ(none.count, 0);
}

TEST(PolygonArea, SquaresRotatedSquaresAndTriangles) {
  EXPECT_DOUBLE_EQ(area(square(-3, 4, 10)), 100);
  EXPECT_DOUBLE_EQ(area(diamond(5, 5, 5)), 50);  // diagonals 10 and 10
  EXPECT_DOUBLE_EQ(area(hull_of({{0, 0}, {7, 0}, {0, 3}})), 10.5);
}

TEST(PolygonIntersection, OverlappingContainedDisjointAndTouching) {
  const qx_polygon s = square(0, 0, 10);
  EXPECT_DOUBLE_EQ(cut(s, square(5, 5, 10)), 25);         // a quarter overlaps
  EXPECT_DOUBLE_EQ(cut(s, square(2, 3, 4)), 16);          // contained
  EXPECT_DOUBLE_EQ(cut(s, diamond(5, 5, 5)), 50);         // inscribed diamond
  EXPECT_DOUBLE_EQ(cut(s, diamond(10, 10, 5)), 12.5);     // a quarter of the diamond
  int32_t corners = -1;
  EXPECT_EQ(cut(s, square(20, 0, 10), &corners), 0);      // disjoint
  EXPECT_EQ(corners, 0);
  EXPECT_EQ(cut(s, square(10, 0, 10), &corners), 0);      // a shared edge
  EXPECT_EQ(corners, 2);
  EXPECT_EQ(cut(s, square(10, 10, 10), &corners), 0);     // a shared corner
  EXPECT_EQ(corners, 1);
  // Square of side 20 and the same square turned by 45 degrees about its
  // centre: a regular octagon of area 8 (sqrt 2 - 1) x 10^2.
  const double h = 10 * std::sqrt(2.0);
  EXPECT_NEAR(cut(square(-10, -10, 20), diamond(0, 0, h), &corners),
              800 * (std::sqrt(2.0) - 1), 1e-9);
  EXPECT_EQ(corners, 8);
  // A clockwise clipping polygon gives the same result.
  qx_polygon cw = square(5, 5, 10);
  std::swap(cw.corners[1], cw.corners[3]);
  qx_polygon out{};
  qx_polygon_intersect_convex(&s, &cw, &out);
  EXPECT_DOUBLE_EQ(qx_polygon_area(&out), 25);
  const qx_polygon segment = hull_of({{0, 0}, {1, 1}});
  qx_polygon_intersect_convex(&s, &segment, &out);
  EXPECT_EQ(out.count, 0);
}

TEST(PolygonArea, FloorKeepsExactWholeAreas) {
  // 1540 square pixels reached through clipping must not read as 1539.
  const qx_polygon a = hull_of({{0, 0}, {88, 0}, {88, 88}, {0, 88}});
  const qx_polygon b = hull_of({{70.5, -3}, {200, -3}, {200, 100}, {70.5, 100}});
  qx_polygon c{};
  qx_polygon_intersect_convex(&a, &b, &c);
  EXPECT_EQ(qx_polygon_area_floor(&c), 1540);
  const qx_polygon half = hull_of({{0, 0}, {3, 0}, {0, 3}});
  EXPECT_EQ(qx_polygon_area_floor(&half), 4);  // 4.5
}

TEST(PolygonPlacement, RectangleGoesThroughTheInverseTransform) {
  qx_polygon p{};
  qx_polygon_place_rectangle(nullptr, 100, 40, &p);
  EXPECT_DOUBLE_EQ(qx_polygon_area(&p), 4000);
  // A quarter turn with a shift: (x, y) -> (y - 10, 30 - x).
  qx_alignment *a = qx_alignment_create(30, 10, 64);
  qx_polygon_place_rectangle(a, 100, 40, &p);
  EXPECT_DOUBLE_EQ(qx_polygon_area(&p), 4000);
  double min_x = 1e9, max_x = -1e9, min_y = 1e9, max_y = -1e9;
  for (int i = 0; i < p.count; ++i) {
    min_x = std::fmin(min_x, p.corners[i].x);
    max_x = std::fmax(max_x, p.corners[i].x);
    min_y = std::fmin(min_y, p.corners[i].y);
    max_y = std::fmax(max_y, p.corners[i].y);
  }
  EXPECT_EQ(min_x, -10);
  EXPECT_EQ(max_x, 30);
  EXPECT_EQ(min_y, -70);
  EXPECT_EQ(max_y, 30);
  qx_alignment_delete(a);
}

}  // namespace
