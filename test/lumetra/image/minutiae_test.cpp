// Thinning, branch points, the leg quality rule and the cleanups.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "engine/image/minutiae.h"
#include "engine/image/pixel_ops.h"
#include "engine/image/skeleton.h"
#include "engine/qx_simd.h"

namespace {

struct Picture {
  int rows, cols;
  std::vector<uint8_t> px;
  Picture(int r, int c) : rows(r), cols(c), px(static_cast<size_t>(r) * c, 1) {}
  void set(int r, int c) { px[static_cast<size_t>(r) * cols + c] = 0; }
  uint8_t at(int r, int c) const { return px[static_cast<size_t>(r) * cols + c]; }
  // Straight line of `len` pixels from (r, c) (exclusive) in step (dr, dc).
  void line(int r, int c, int dr, int dc, int len) {
    for (int k = 1; k <= len; ++k) set(r + k * dr, c + k * dc);
  }
};

struct Detection {
  std::vector<bal_minutia> m;
  int count = 0;
};

Detection detect(Picture &p, uint8_t quality, uint8_t orientation = 128, int type = 2) {
  std::vector<uint8_t> q(p.px.size(), quality), o(p.px.size(), orientation), w(p.px.size(), 9), counts(p.px.size());
  Detection d;
  d.m.resize(BAL_MAX_MINUTIAE);
  bal_extract_bifurcations(p.px.data(), w.data(), o.data(), p.rows, p.cols, type, q.data(), d.m.data(), &d.count,
                           counts.data(), 1);
  return d;
}

// A "Y": stem down from (20, 20), branches up-left and up-right.
Picture y_shape(int left_len, int right_len, int stem = 18) {
  Picture p(41, 41);
  p.set(20, 20);
  p.line(20, 20, 1, 0, stem);
  p.line(20, 20, -1, -1, left_len);
  p.line(20, 20, -1, 1, right_len);
  return p;
}

TEST(Thinning, ThickBarBecomesAOnePixelLine) {
  Picture p(20, 40);
  for (int r = 7; r < 12; ++r)
    for (int c = 5; c < 35; ++c) p.set(r, c);
  std::vector<uint8_t *> rp(p.rows);
  bal_images_1D_to_2D(p.px.data(), p.rows, p.cols, rp.data());
  ASSERT_EQ(0, bal_contour_thin(rp.data(), p.rows, p.cols));
  int black = 0;
  for (int c = 8; c < 32; ++c) {
    int n = 0;
    for (int r = 0; r < p.rows; ++r) n += p.at(r, c) == 0;
    EXPECT_EQ(1, n) << "column " << c;
    black += n;
  }
  EXPECT_GT(black, 0);
  // No 2 x 2 black square remains anywhere, and no pixel stays marked.
  for (int r = 0; r + 1 < p.rows; ++r)
    for (int c = 0; c + 1 < p.cols; ++c) {
      EXPECT_FALSE(p.at(r, c) == 0 && p.at(r + 1, c) == 0 && p.at(r, c + 1) == 0 && p.at(r + 1, c + 1) == 0);
      EXPECT_NE(2, p.at(r, c));
    }
}

TEST(Thinning, ThinLineAndTinyPicturesStayAsTheyAre) {
  Picture p(10, 20);
  p.line(5, 2, 0, 1, 15);
  const auto before = p.px;
  std::vector<uint8_t *> rp(p.rows);
  bal_images_1D_to_2D(p.px.data(), p.rows, p.cols, rp.data());
  ASSERT_EQ(0, bal_contour_thin(rp.data(), p.rows, p.cols));
  EXPECT_EQ(before, p.px);
  Picture t(3, 5);
  for (auto &v : t.px) v = 0;
  std::vector<uint8_t *> trp(3);
  bal_images_1D_to_2D(t.px.data(), 3, 5, trp.data());
  ASSERT_EQ(0, bal_contour_thin(trp.data(), 3, 5));
  for (uint8_t v : t.px) EXPECT_EQ(0, v);
}

TEST(Thinning, NeighbourPatternBitsAndSingleIslands) {
  Picture p(5, 5);
  p.set(1, 1);  // NW of (2, 2)
  p.set(3, 3);  // SE
  p.set(2, 3);  // E
  std::vector<uint8_t *> rp(5);
  bal_images_1D_to_2D(p.px.data(), 5, 5, rp.data());
  EXPECT_EQ(128 + 8 + 1, get_pattern(rp.data(), 5, 5, 2, 2));
  EXPECT_EQ(1, is_single_island(rp.data(), 5, 5, 1, 1));
  EXPECT_EQ(0, is_single_island(rp.data(), 5, 5, 3, 3));
}

TEST(BranchPoints, StraightLineHasNoCandidateAndAYHasOne) {
  Picture line(21, 41);
  line.line(10, 2, 0, 1, 35);
  EXPECT_EQ(0, detect(line, 70).count);
  Picture y = y_shape(15, 15);
  uint8_t legs[8];
  EXPECT_EQ(3, bal_find_bifurcation_legs(y.px.data(), y.rows, y.cols, 20, 20, legs));
  EXPECT_EQ(5, legs[0]);  // NW
  EXPECT_EQ(6, legs[1]);  // NE
  EXPECT_EQ(2, legs[2]);  // S
  const Detection d = detect(y, 70);
  ASSERT_EQ(1, d.count);
  EXPECT_EQ(20, d.m[0].row);
  EXPECT_EQ(20, d.m[0].col);
  EXPECT_EQ(64, d.m[0].direction);  // between the two upper branches: up
  EXPECT_EQ(2, d.m[0].type);
  EXPECT_EQ(70, d.m[0].quality);
}

TEST(BranchPoints, TwoPixelBranchIsCutAsASpur) {
  Picture y = y_shape(15, 2);
  const Detection d = detect(y, 70);
  EXPECT_EQ(0, d.count);
  EXPECT_EQ(1, y.at(18, 22));  // the spur's pixels are white now
  EXPECT_EQ(1, y.at(19, 21));
}

TEST(BranchPoints, BranchAcrossTheRidgeFlowIsCutAsABridge) {
  // Ridges run vertically (orientation 128): a horizontal branch crosses them.
  Picture p(41, 41);
  p.set(20, 20);
  p.line(20, 20, -1, 0, 15);
  p.line(20, 20, 1, 0, 15);
  p.line(20, 20, 0, 1, 15);
  EXPECT_EQ(0, detect(p, 70, 128).count);
  // The four-neighbour pixel (20, 21) took over as the branch point; the
  // branch beyond it is gone.
  for (int k = 2; k < 15; ++k) EXPECT_EQ(1, p.at(20, 20 + k)) << k;
  EXPECT_EQ(0, p.at(10, 20));                                         // the ridge stays
}

TEST(MinutiaQuality, ShortestLegLowersTheQualityAsDesigned) {
  // q = 70 (k = 2) at scale 1.
  EXPECT_EQ(17, bal_minutia_quality(70, 5 * 5, 1));
  EXPECT_EQ(35, bal_minutia_quality(70, 7 * 7, 1));
  EXPECT_EQ(70, bal_minutia_quality(70, 8 * 8, 1));
  EXPECT_EQ(9, bal_minutia_quality(70, 2 * 2, 1));
  // q = 30 (k = 9): legs of 15 pixels and more keep it.
  EXPECT_EQ(30, bal_minutia_quality(30, 15 * 15, 1));
  EXPECT_EQ(30, bal_minutia_quality(30, 8 * 8, 2));
}

TEST(MinutiaQuality, FivePixelLegThroughTheDetector) {
  Picture p = y_shape(15, 5);
  const Detection d = detect(p, 70, 128);
  ASSERT_EQ(1, d.count);
  EXPECT_EQ(35, d.m[0].quality);  // diagonal leg of 5 steps: squared length 50, P = 7
  Picture low(41, 41);
  low.set(20, 20);
  low.line(20, 20, 0, -1, 15);
  low.line(20, 20, 0, 1, 15);
  low.line(20, 20, -1, 0, 5);
  // Squared length 25 is below L = 81 at q = 30: the candidate is dropped.
  EXPECT_EQ(0, detect(low, 30, 64).count);
}

TEST(Duplicates, EndingAndBifurcationSevenApartMergeIntoOneBifurcation) {
  std::vector<bal_minutia> m = {{10, 10, 20, 1, 50, 4}, {40, 40, 0, 1, 60, 4}, {10, 17, 30, 2, 70, 4},
                                {80, 80, 30, 2, 70, 4}};
  const int n = bal_remove_duplicate_minutiae(m.data(), 4, 1);
  ASSERT_EQ(3, n);
  EXPECT_EQ(10, m[0].row);
  EXPECT_EQ(13, m[0].col);
  EXPECT_EQ(25, m[0].direction);
  EXPECT_EQ(2, m[0].type);
  EXPECT_EQ(80, m[2].row);  // the next bifurcation moved up
  // Too far apart (8 pixels) or too different (14 steps): kept.
  std::vector<bal_minutia> far = {{10, 10, 20, 1, 50, 4}, {10, 18, 20, 2, 70, 4}};
  EXPECT_EQ(2, bal_remove_duplicate_minutiae(far.data(), 2, 1));
  std::vector<bal_minutia> turned = {{10, 10, 20, 1, 50, 4}, {10, 12, 34, 2, 70, 4}};
  EXPECT_EQ(2, bal_remove_duplicate_minutiae(turned.data(), 2, 1));
  // At scale 2 distances count double: 4 pixels apart is 8.
  std::vector<bal_minutia> s2 = {{10, 10, 20, 1, 50, 4}, {10, 14, 20, 2, 70, 4}};
  EXPECT_EQ(2, bal_remove_duplicate_minutiae(s2.data(), 2, 2));
}

TEST(EdgeEndpoints, EndingWithNoLineEndNearbyStaysAndOneNearTheBorderGoes) {
  const int rows = 60, cols = 60;
  std::vector<uint8_t> sk(rows * cols, 1), counts(rows * cols, 0), w(rows * cols, 9);
  std::vector<bal_minutia> m = {{30, 30, 64, 1, 50, 4}};
  EXPECT_EQ(1, bal_remove_edge_endpoints(m.data(), 1, sk.data(), counts.data(), w.data(), rows, cols, 1));
  // A line end at the border, direction pointing out: the probe points
  // 10 and 30 pixels back fall outside the image.
  counts[2 * cols + 30] = 1;
  std::vector<bal_minutia> e = {{5, 30, 192, 1, 50, 4}};
  EXPECT_EQ(0, bal_remove_edge_endpoints(e.data(), 1, sk.data(), counts.data(), w.data(), rows, cols, 1));
}

TEST(EdgeEndpoints, EndingBetweenParallelRidgesStays) {
  // Vertical ridges every 9 pixels; an ending of the ridge at column 27
  // pointing up, with neighbouring ridges on both sides.
  const int rows = 80, cols = 60;
  std::vector<uint8_t> sk(rows * cols, 1), counts(rows * cols, 0), w(rows * cols, 9);
  for (int c : {18, 27, 36})
    for (int r = (c == 27 ? 30 : 0); r < rows; ++r) sk[r * cols + c] = 0;
  counts[30 * cols + 27] = 1;
  std::vector<bal_minutia> m = {{30, 27, 64, 1, 50, 4}};
  EXPECT_EQ(1, bal_remove_edge_endpoints(m.data(), 1, sk.data(), counts.data(), w.data(), rows, cols, 1));
  // Without the neighbours the ending is taken for the print's edge.
  for (int c : {18, 36})
    for (int r = 0; r < rows; ++r) sk[r * cols + c] = 1;
  EXPECT_EQ(0, bal_remove_edge_endpoints(m.data(), 1, sk.data(), counts.data(), w.data(), rows, cols, 1));
}

TEST(BranchPoints, OnlyTheFirst255CandidatesAreConsidered) {
  // 300 small "Y" shapes well apart on a big picture.
  Picture p(20 * 16, 20 * 20);
  int shapes = 0;
  for (int i = 0; i < 16; ++i)
    for (int j = 0; j < 20 && shapes < 300; ++j, ++shapes) {
      const int r = i * 20 + 9, c = j * 20 + 9;
      p.set(r, c);
      p.line(r, c, 1, 0, 8);
      p.line(r, c, -1, -1, 7);
      p.line(r, c, -1, 1, 7);
    }
  const Detection d = detect(p, 70, 128);
  EXPECT_EQ(255, d.count);
  EXPECT_EQ(9, d.m[0].row);
  // Candidate 255 (0-based 254) lies in row block 12, column 14.
  EXPECT_EQ(12 * 20 + 9, d.m[254].row);
  EXPECT_EQ(14 * 20 + 9, d.m[254].col);
}

// The raster scan for branch points skips white pixels sixteen at a time
// on the vector path; both paths must find the same points, cut the same
// spurs and bridges and leave the same counts and skeleton.  Random
// pictures of every density give crowded branch points, four-neighbour
// pixels whose full side is removed (whitening pixels the scan has yet to
// reach) and black runs across the sixteen-pixel steps; thinned ones give
// skeletons as the extractor makes them.  Widths below one step, at it and
// between steps.
TEST(BranchPoints, VectorAndPlainScansAgree) {
  uint32_t seed = 2024;
  auto next = [&] {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
  };
  int found = 0, branches = 0;
  for (const auto &size : {std::pair<int, int>{40, 17}, std::pair<int, int>{33, 18}, std::pair<int, int>{64, 64},
                           std::pair<int, int>{50, 91}})
    for (int density : {10, 30, 50, 70})
      for (bool thinned : {false, true}) {
        const int rows = size.first, cols = size.second, n = rows * cols;
        std::vector<uint8_t> px(n);
        for (auto &v : px) v = next() % 100 < static_cast<uint32_t>(density) ? 0 : 1;
        if (thinned) {
          std::vector<uint8_t *> rp(rows);
          bal_images_1D_to_2D(px.data(), rows, cols, rp.data());
          ASSERT_EQ(0, bal_contour_thin(rp.data(), rows, cols));
        }
        std::vector<uint8_t> q(n), o(n), w(n, 9);
        for (int i = 0; i < n; ++i) {
          q[i] = static_cast<uint8_t>(next() % 100);
          o[i] = static_cast<uint8_t>(64 + next() % 128);
        }
        std::vector<uint8_t> sk[2], counts[2];
        std::vector<bal_minutia> m[2];
        int count[2];
        for (int plain = 0; plain < 2; ++plain) {
          sk[plain] = px;
          counts[plain].assign(n, 9);
          m[plain].assign(BAL_MAX_MINUTIAE, bal_minutia{});
          count[plain] = 0;
          const int previous = qx_simd_force_plain(plain);
          bal_extract_bifurcations(sk[plain].data(), w.data(), o.data(), rows, cols, 2, q.data(), m[plain].data(),
                                   &count[plain], counts[plain].data(), 1);
          qx_simd_force_plain(previous);
        }
        const std::string what = std::to_string(rows) + " x " + std::to_string(cols) + ", density " +
                                 std::to_string(density) + (thinned ? ", thinned" : "");
        ASSERT_EQ(count[0], count[1]) << what;
        ASSERT_EQ(0, std::memcmp(m[0].data(), m[1].data(), sizeof(bal_minutia) * count[0])) << what;
        ASSERT_EQ(counts[0], counts[1]) << what;
        ASSERT_EQ(sk[0], sk[1]) << what;
        found += count[0];
        for (uint8_t k : counts[0]) branches += k == 3;
      }
  // Branch points and minutiae were found and compared.
  EXPECT_GT(found, 0);
  EXPECT_GT(branches, 100);
}

}  // namespace
