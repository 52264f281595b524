// Alignments (quarter and half turns keep the Q14 factors exact) and
// match objects.
#include <gtest/gtest.h>

#include "engine/objects/qx_alignment.h"
#include "engine/qx_alloc.h"

namespace {

struct Point { int32_t x, y; };

Point forward(const qx_alignment *a, int32_t x, int32_t y) {
  Point p{};
  qx_alignment_transform_point(a, x, y, &p.x, &p.y);
  return p;
}

Point backward(const qx_alignment *a, int32_t x, int32_t y) {
  Point p{};
  qx_alignment_transform_point_inverse(a, x, y, &p.x, &p.y);
  return p;
}

TEST(Alignment, PointTransformsAndInverse) {
  qx_alignment *a = qx_alignment_create(5, -3, 64);  // a quarter turn
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(qx_alignment_get_prec_dx(a), 5 * 256);
  EXPECT_EQ(qx_alignment_get_prec_dy(a), -3 * 256);
  EXPECT_EQ(qx_alignment_get_prec_rotation(a), 64 * 256);
  const Point p = forward(a, 10, 0);
  EXPECT_EQ(p.x, 5);
  EXPECT_EQ(p.y, 7);
  const Point q = backward(a, 5, 7);
  EXPECT_EQ(q.x, 10);
  EXPECT_EQ(q.y, 0);

  qx_alignment *inv = qx_alignment_inverse(a);
  EXPECT_EQ(qx_alignment_get_dx(inv), 3);
  EXPECT_EQ(qx_alignment_get_dy(inv), 5);
  EXPECT_EQ(qx_alignment_get_rotation(inv), 192);
  const Point r = forward(inv, 5, 7);
  EXPECT_EQ(r.x, 10);
  EXPECT_EQ(r.y, 0);
  qx_alignment_delete(inv);
  qx_alignment_delete(a);
}

TEST(Alignment, CombineAndDifference) {
  qx_alignment *a = qx_alignment_create(5, -3, 64);
  qx_alignment *b = qx_alignment_create(1, 2, 64);
  qx_alignment *ab = qx_alignment_combine(a, b);
  EXPECT_EQ(qx_alignment_get_dx(ab), 4);
  EXPECT_EQ(qx_alignment_get_dy(ab), 7);
  EXPECT_EQ(qx_alignment_get_rotation(ab), 128);
  // A then B moves a point where the combination moves it.
  const Point via = forward(b, forward(a, 10, 0).x, forward(a, 10, 0).y);
  const Point direct = forward(ab, 10, 0);
  EXPECT_EQ(via.x, direct.x);
  EXPECT_EQ(via.y, direct.y);

  qx_alignment *same = qx_alignment_difference(a, a);
  EXPECT_EQ(qx_alignment_get_dx(same), 0);
  EXPECT_EQ(qx_alignment_get_dy(same), 0);
  EXPECT_EQ(qx_alignment_get_rotation(same), 0);

  // Rotations wrap around at 256.
  qx_alignment *c = qx_alignment_create(0, 0, 200);
  qx_alignment *d = qx_alignment_create(0, 0, 100);
  qx_alignment *cd = qx_alignment_combine(c, d);
  EXPECT_EQ(qx_alignment_get_rotation(cd), 44);
  for (qx_alignment *x : {a, b, ab, same, c, d, cd}) qx_alignment_delete(x);
}

TEST(Alignment, RectangleExtremesAndLimits) {
  qx_alignment *a = qx_alignment_create(10, -4, 0);
  int32_t min_x, max_x, min_y, max_y;
  qx_alignment_get_rectangle_extremes(a, 88, 88, &min_x, &max_x, &min_y, &max_y);
  EXPECT_EQ(min_x, -10);
  EXPECT_EQ(max_x, 78);
  EXPECT_EQ(min_y, 4);
  EXPECT_EQ(max_y, 92);
  qx_alignment *half = qx_alignment_create(0, 0, 128);
  qx_alignment_get_rectangle_extremes(half, 88, 60, &min_x, &max_x, &min_y, &max_y);
  EXPECT_EQ(min_x, -88);
  EXPECT_EQ(max_x, 0);
  EXPECT_EQ(min_y, -60);
  EXPECT_EQ(max_y, 0);

  struct Case { int16_t dx, dy; uint8_t r; int32_t within; };
  const Case cases[] = {{6, 8, 0, 1},   {6, 9, 0, 0},    {-10, 0, 16, 1},
                        {0, 0, 240, 1}, {0, 0, 239, 0},  {0, 0, 17, 0}};
  for (const Case &c : cases) {
    qx_alignment *x = qx_alignment_create(c.dx, c.dy, c.r);
    EXPECT_EQ(qx_alignment_within_limits_single(x, 10, 16), c.within)
        << c.dx << "," << c.dy << "," << int{c.r};
    qx_alignment_delete(x);
  }
  qx_alignment_delete(half);
  qx_alignment_delete(a);
}

// At a rotation that is not a quarter turn the Q14 factors round: the
// inverse point transform rounds its rotation (+8192) and truncates the
// translation separately, so it differs from the point transform of the
// inverse alignment on some points.
TEST(Alignment, InversePointTransformIsNotTheTransformOfTheInverse) {
  qx_alignment *a = qx_alignment_create(7, -3, 20);
  qx_alignment *inv = qx_alignment_inverse(a);
  EXPECT_EQ(qx_alignment_get_dx(inv), -4);
  EXPECT_EQ(qx_alignment_get_dy(inv), 6);
  EXPECT_EQ(qx_alignment_get_rotation(inv), 236);
  struct Case { int32_t x, y, ix, iy, fx, fy; };
  const Case cases[] = {{0, 0, -4, 6, -4, 6},      {88, 0, 74, -35, 73, -36},
                        {88, 88, 115, 42, 115, 42}, {0, 88, 37, 84, 37, 83},
                        {-13, 50, 8, 56, 8, 56}};
  for (const Case &c : cases) {
    const Point i = backward(a, c.x, c.y);
    const Point f = forward(inv, c.x, c.y);
    EXPECT_EQ(i.x, c.ix) << c.x << "," << c.y;
    EXPECT_EQ(i.y, c.iy) << c.x << "," << c.y;
    EXPECT_EQ(f.x, c.fx) << c.x << "," << c.y;
    EXPECT_EQ(f.y, c.fy) << c.x << "," << c.y;
  }
  qx_alignment_delete(inv);
  qx_alignment_delete(a);
}

TEST(Alignment, PrecisionValuesAreKeptByCopy) {
  qx_alignment *a = qx_alignment_create_prec(1, 2, 3, 300, 500, 777);
  qx_alignment *b = qx_alignment_copy(a);
  EXPECT_EQ(qx_alignment_get_prec_dx(b), 300);
  EXPECT_EQ(qx_alignment_get_prec_dy(b), 500);
  EXPECT_EQ(qx_alignment_get_prec_rotation(b), 777);
  // Derived alignments get the plain values x 256 again.
  qx_alignment *inv = qx_alignment_inverse(a);
  EXPECT_EQ(qx_alignment_get_prec_rotation(inv), qx_alignment_get_rotation(inv) * 256);
  qx_alignment_delete(inv);
  qx_alignment_delete(b);
  qx_alignment_delete(a);
}

TEST(Match, HoldsItsPartsAndMakesItsInverse) {
  const long live = qx_alloc_live();
  qx_template *t1 = qx_template_create(74, nullptr, 0);
  qx_template *t2 = qx_template_create(74, nullptr, 0);
  qx_alignment *a = qx_alignment_create(5, -3, 64);
  qx_match *m = qx_match_create(t1, t2, 4500, 1, a);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(qx_template_get_num_refs(t1), 2);
  EXPECT_EQ(qx_alignment_get_num_refs(a), 2);

  qx_match *inv = qx_match_create_inverse(m);
  ASSERT_NE(inv, nullptr);
  EXPECT_EQ(qx_match_get_template1(inv), t2);
  EXPECT_EQ(qx_match_get_template2(inv), t1);
  EXPECT_EQ(qx_match_get_score(inv), 4500);
  EXPECT_EQ(qx_match_get_decision(inv), 1);
  EXPECT_EQ(qx_alignment_get_dx(qx_match_get_alignment(inv)), 3);
  EXPECT_EQ(qx_alignment_get_num_refs(qx_match_get_alignment(inv)), 1);

  qx_match *bare = qx_match_create(t1, t2, 10, 0, nullptr);
  qx_match *bare_inv = qx_match_create_inverse(bare);
  EXPECT_EQ(qx_match_get_alignment(bare_inv), nullptr);

  for (qx_match *x : {m, inv, bare, bare_inv}) qx_match_delete(x);
  EXPECT_EQ(qx_template_get_num_refs(t1), 1);
  EXPECT_EQ(qx_alignment_get_num_refs(a), 1);
  qx_alignment_delete(a);
  qx_template_delete(t1);
  qx_template_delete(t2);
  EXPECT_EQ(qx_alloc_live(), live);
  qx_match_delete(nullptr);
  qx_alignment_delete(nullptr);
}

}  // namespace
