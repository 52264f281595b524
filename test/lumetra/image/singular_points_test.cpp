// Poincare classification, the search with its marks, and conversion.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "engine/image/singular_points.h"

namespace {

// Orientation field turning by +half a turn (sense +1) or -half a turn
// (sense -1) around (cr, cc) when walked clockwise on the screen.
std::vector<uint8_t> rotating(int rows, int cols, double cr, double cc, int sense) {
  std::vector<uint8_t> o(static_cast<size_t>(rows) * cols);
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) {
      double a = std::atan2(r - cr, c - cc) * 128.0 / M_PI;  // 256 per turn
      if (a < 0) a += 256;
      const int half = static_cast<int>(std::lround(sense * a / 2)) & 127;
      o[static_cast<size_t>(r) * cols + c] = static_cast<uint8_t>(64 + half);
    }
  return o;
}

TEST(SingularPoints, UniformFieldHasNone) {
  std::vector<uint8_t> o(40 * 40, 100), q(40 * 40, 80);
  bal_singularity s[16];
  int n = -1;
  ASSERT_EQ(0, bal_find_singularities_poincare(o.data(), q.data(), 40, 40, s, &n, 16));
  EXPECT_EQ(0, n);
}

TEST(SingularPoints, RotatingFieldGivesACoreAndTheOppositeSenseADelta) {
  const int rows = 40, cols = 40;
  std::vector<uint8_t> q(rows * cols, 80);
  for (int sense : {1, -1}) {
    const auto o = rotating(rows, cols, 20.5, 20.5, sense);
    bal_singularity s[16];
    int n = 0;
    ASSERT_EQ(0, bal_find_singularities_poincare(o.data(), q.data(), rows, cols, s, &n, 16));
    ASSERT_EQ(1, n) << sense;
    EXPECT_EQ(sense > 0 ? BAL_SINGULAR_CORE : BAL_SINGULAR_DELTA, s[0].type);
    const int r = s[0].index / cols, c = s[0].index % cols;
    EXPECT_NEAR(20.5, r, 1);
    EXPECT_NEAR(20.5, c, 1);
    EXPECT_EQ(sense > 0 ? BAL_SINGULAR_CORE : BAL_SINGULAR_DELTA,
              bal_classify_singularity(o.data(), cols, s[0].index));
  }
}

TEST(SingularPoints, LowQualityHidesThePoint) {
  const auto o = rotating(40, 40, 20.5, 20.5, 1);
  std::vector<uint8_t> q(40 * 40, 40);  // must exceed 40
  bal_singularity s[16];
  int n = 0;
  ASSERT_EQ(0, bal_find_singularities_poincare(o.data(), q.data(), 40, 40, s, &n, 16));
  EXPECT_EQ(0, n);
}

TEST(SingularPoints, MoreThanFourCoresKeepTheFourOfHighestQuality) {
  // Six cores side by side, quality rising from left to right.
  const int rows = 30, cols = 180;
  std::vector<uint8_t> o(rows * cols), q(rows * cols);
  for (int k = 0; k < 6; ++k) {
    const auto one = rotating(rows, 30, 15.5, 15.5, 1);
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < 30; ++c) {
        o[r * cols + k * 30 + c] = one[r * 30 + c];
        q[r * cols + k * 30 + c] = static_cast<uint8_t>(50 + 5 * k);
      }
  }
  bal_singularity s[16];
  int n = 0;
  ASSERT_EQ(0, bal_find_singularities_poincare(o.data(), q.data(), rows, cols, s, &n, 16));
  int cores = 0;
  for (int i = 0; i < n; ++i) cores += s[i].type == BAL_SINGULAR_CORE;
  ASSERT_GE(cores, 6);
  bal_core_list cl{};
  bal_delta_list dl{};
  bal_convert_singularities(s, n, cols, &cl, &dl);
  ASSERT_EQ(4, cl.count);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(1u, cl.entries[i].present);
    EXPECT_GE(cl.entries[i].col, 60);  // the two weakest (leftmost) are gone
  }
  for (int i = 1; i < 4; ++i) EXPECT_LE(cl.entries[i].col, cl.entries[i - 1].col);
}

TEST(SingularPoints, ConversionSplitsCoresAndDeltasWithTheirDirections) {
  const bal_singularity s[3] = {{5 * 100 + 7, BAL_SINGULAR_DELTA, 10, {0, 0}},
                                {9 * 100 + 3, BAL_SINGULAR_DOUBLE_CORE, 200, {0, 0}},
                                {1 * 100 + 1, 17, 5, {0, 0}}};
  bal_core_list cl{};
  bal_delta_list dl{};
  bal_convert_singularities(s, 3, 100, &cl, &dl);
  ASSERT_EQ(1, dl.count);
  EXPECT_EQ(5, dl.entries[0].row);
  EXPECT_EQ(7, dl.entries[0].col);
  EXPECT_EQ(10, dl.entries[0].direction[0]);
  EXPECT_EQ(95, dl.entries[0].direction[1]);
  EXPECT_EQ(180, dl.entries[0].direction[2]);  // 10 - 86 modulo 256
  ASSERT_EQ(1, cl.count);
  EXPECT_EQ(9, cl.entries[0].row);
  EXPECT_EQ(200, cl.entries[0].direction);
}

TEST(SingularPoints, NeighboursInARowAndDirectlyBelowAreNotReportedTwice) {
  // A core between pixels makes several pixels classify as singular; the
  // marks leave only one report.
  const auto o = rotating(30, 30, 15.0, 15.0, 1);
  std::vector<uint8_t> q(900, 90);
  int singular = 0;
  for (int r = 1; r < 29; ++r)
    for (int c = 1; c < 29; ++c) singular += bal_classify_singularity(o.data(), 30, r * 30 + c) >= 253;
  bal_singularity s[16];
  int n = 0;
  ASSERT_EQ(0, bal_find_singularities_poincare(o.data(), q.data(), 30, 30, s, &n, 16));
  EXPECT_GE(singular, 1);
  EXPECT_EQ(1, n);
}

}  // namespace
