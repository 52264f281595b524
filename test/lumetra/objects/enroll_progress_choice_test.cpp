// Enrollment progress (hull areas) and the choice of subtemplates from
// hand-made match matrices.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/formats/iso19794_2.h"
#include "engine/objects/qx_enroll_progress.h"
#include "engine/objects/qx_subtemplate_choice.h"
#include "engine/qx_alloc.h"

namespace {

TEST(EnrollProgress, HullAreaAndProgress) {
  // One 88 x 88 capture: 7744 square pixels, progress 8.
  const int32_t sx[] = {0, 88, 88, 0}, sy[] = {0, 0, 88, 88};
  int64_t area = -1;
  ASSERT_EQ(qx_convex_hull_area(sx, sy, 4, &area), 0);
  EXPECT_EQ(area, 7744);
  EXPECT_EQ(qx_enroll_progress_from_area(area, 0), 8);
  // Two overlapping squares, inner points and repeats do not count.
  const int32_t x2[] = {0, 88, 88, 0, 40, 128, 128, 40, 50, 0};
  const int32_t y2[] = {0, 0, 88, 88, 30, 30, 118, 118, 50, 0};
  ASSERT_EQ(qx_convex_hull_area(x2, y2, 10, &area), 0);
  // Hexagon (0,0) (88,0) (128,30) (128,118) (40,118) (0,88).
  EXPECT_EQ(area, 128 * 118 - 2 * (40 * 30 / 2));
  // A triangle with an odd doubled area is truncated; collinear points give 0.
  const int32_t tx[] = {0, 3, 0}, ty[] = {0, 0, 3};
  ASSERT_EQ(qx_convex_hull_area(tx, ty, 3, &area), 0);
  EXPECT_EQ(area, 4);
  const int32_t lx[] = {0, 5, 10}, ly[] = {0, 5, 10};
  ASSERT_EQ(qx_convex_hull_area(lx, ly, 3, &area), 0);
  EXPECT_EQ(area, 0);
  EXPECT_EQ(qx_convex_hull_area(nullptr, nullptr, 3, &area), 2);
  // Progress: integer division, at most 100, never below the best so far.
  EXPECT_EQ(qx_enroll_progress_from_area(87499, 0), 99);
  EXPECT_EQ(qx_enroll_progress_from_area(875, 0), 1);
  EXPECT_EQ(qx_enroll_progress_from_area(874, 0), 0);
  EXPECT_EQ(qx_enroll_progress_from_area(1000000, 0), 100);
  EXPECT_EQ(qx_enroll_progress_from_area(7744, 30), 30);
}

TEST(SubtemplateChoice, CellsCountFromCornersRoundedTowardZero) {
  // x0 = 0 and y0 = 0: cells (0,0) twice, (1,0), (2,1).
  const int32_t ax[] = {0, 31, 32, 70}, ay[] = {5, 5, 5, 40};
  EXPECT_EQ(qx_subtemplate_count_cells(ax, ay, 4), 3);
  // Smallest x -40 gives x0 = -32 (remainder -8): -40 and -1 both fall in
  // cell 0, since (x - x0) / 32 divides toward zero; 20 and 31 in cell 1.
  const int32_t bx[] = {-40, -1, 20, 31}, by[] = {0, 0, 0, 0};
  EXPECT_EQ(qx_subtemplate_count_cells(bx, by, 4), 2);
  // The same for y, with x0 = 64 from 70.
  const int32_t cx[] = {70, 70, 70}, cy[] = {-33, -1, 0};
  EXPECT_EQ(qx_subtemplate_count_cells(cx, cy, 3), 2);
  EXPECT_EQ(qx_subtemplate_count_cells(cx, cy, 0), 0);
}

// Captures for the choice: templates without readable minutiae (type 66)
// or ISO records with the given minutiae.
struct Set {
  std::vector<qx_template *> t;
  std::vector<qx_match *> matrix;
  int n;
  explicit Set(int count) : matrix(static_cast<size_t>(count) * count, nullptr), n(count) {}
  ~Set() {
    for (qx_match *m : matrix) qx_match_delete(m);
    for (qx_template *x : t) qx_template_delete(x);
  }
  void add_blank() { t.push_back(qx_template_create(66, nullptr, 0)); }
  void add_minutiae(const std::vector<std::pair<int, int>> &rc) {
    minutiastruct m;
    std::memset(&m, 0, sizeof(m));
    m.rows = 400;
    m.cols = 400;
    m.resolution = 197;
    m.count = static_cast<uint8_t>(rc.size());
    for (size_t i = 0; i < rc.size(); ++i) {
      m.minutiae[i] = bal_minutia{static_cast<int16_t>(rc[i].first),
                                  static_cast<int16_t>(rc[i].second), 0, 1, 60, 4};
    }
    uint8_t *bytes = nullptr;
    uint32_t size = 0;
    EXPECT_EQ(qx_minutiastruct_to_iso19794_2_v2(&m, &bytes, &size), 0);
    t.push_back(qx_template_create(1, bytes, size));
    qx_free(bytes);
  }
  // Cell (i, j) accepting with the alignment, and its inverse.
  void link(int i, int j, uint16_t score, int16_t dx, int16_t dy, uint8_t r = 0) {
    qx_alignment *a = qx_alignment_create(dx, dy, r);
    qx_match *m = qx_match_create(t[i], t[j], score, 1, a);
    qx_alignment_delete(a);
    matrix[static_cast<size_t>(i) * n + j] = m;
    matrix[static_cast<size_t>(j) * n + i] = qx_match_create_inverse(m);
  }
  void reject(int i, int j) {
    matrix[static_cast<size_t>(i) * n + j] = qx_match_create(t[i], t[j], 50000, 0, nullptr);
  }
  std::vector<qx_subtemplate_pick> choose(int budget, int32_t expect_rc = 0) {
    qx_subtemplate_pick *picks = nullptr;
    int32_t count = -1;
    EXPECT_EQ(qx_subtemplate_choose(t.data(), n, matrix.data(), budget, &picks, &count),
              expect_rc);
    std::vector<qx_subtemplate_pick> out(picks, picks + (picks != nullptr ? count : 0));
    for (qx_subtemplate_pick &p : out) {
      kept_alignments.push_back({qx_alignment_get_dx(p.alignment),
                                 qx_alignment_get_dy(p.alignment),
                                 qx_alignment_get_rotation(p.alignment)});
    }
    qx_subtemplate_picks_free(picks, count);
    return out;
  }
  struct Al { int dx, dy, r; };
  std::vector<Al> kept_alignments;
};

std::vector<int> indexes(const std::vector<qx_subtemplate_pick> &picks) {
  std::vector<int> out;
  for (const auto &p : picks) out.push_back(p.index);
  return out;
}

TEST(SubtemplateChoice, BudgetOfSixteenKeepsSixteenOfOneIsland) {
  Set s(32);
  for (int i = 0; i < 32; ++i) s.add_blank();
  for (int i = 1; i < 32; ++i) s.link(i, i - 1, static_cast<uint16_t>(1000 + i), 1, 0);
  const auto picks = s.choose(16);
  ASSERT_EQ(picks.size(), 16u);
  // No minutiae: every count is 0, so each round drops the last candidate.
  for (int k = 0; k < 16; ++k) {
    EXPECT_EQ(picks[k].index, k);
    EXPECT_EQ(picks[k].island, 0);
  }
  EXPECT_EQ(s.choose(32).size(), 32u);
  s.choose(0, 19);
}

TEST(SubtemplateChoice, SharesFollowIslandsInFoundingOrder) {
  // Islands founded by score: {4,5,6} (score 900) before {0,1,2,3,7} (800);
  // 8 and 9 match nothing.  n = 10, budget 4.
  Set s(10);
  for (int i = 0; i < 10; ++i) s.add_blank();
  s.link(5, 4, 900, 0, 0);
  s.link(6, 5, 850, 0, 0);
  s.link(1, 0, 800, 0, 0);
  s.link(2, 1, 700, 0, 0);
  s.link(3, 2, 700, 0, 0);
  s.link(7, 3, 600, 0, 0);
  s.reject(9, 8);
  // {4,5,6}: min(3, 4, 4*3/10+1 = 2) = 2; {0,1,2,3,7}: min(5, 2, 3) = 2;
  // the singles get nothing.
  auto picks = s.choose(4);
  EXPECT_EQ(indexes(picks), (std::vector<int>{4, 5, 0, 1}));
  EXPECT_EQ(picks[0].island, 0);
  EXPECT_EQ(picks[2].island, 1);
  // Budget 9: {4,5,6} min(3, 9, 3) = 3, the next min(5, 6, 5) = 5, then 8
  // takes the last one and 9 gets none.
  picks = s.choose(9);
  EXPECT_EQ(indexes(picks), (std::vector<int>{4, 5, 6, 0, 1, 2, 3, 7, 8}));
  EXPECT_EQ(picks.back().island, 2);
}

TEST(SubtemplateChoice, DropsTheCaptureWhoseLossCostsFewestCells) {
  // Three captures of one island.  The best match (1, 0) founds it, so 1 is
  // the top; 0 lies 64 pixels right of 1 in the top's frame, 2 repeats 0's
  // area.  Dropping 2 leaves 5 cells, dropping 0 4, dropping 1 3: 2 goes.
  Set s(3);
  s.add_minutiae({{10, 10}, {10, 40}, {40, 10}});  // cells (0,0) (1,0) (0,1)
  s.add_minutiae({{10, 10}, {10, 40}});            // at +64 in x: cells (2,0) (3,0)
  s.add_minutiae({{12, 12}, {41, 11}});            // cells (0,0) (0,1)
  s.link(1, 0, 900, -64, 0);
  s.link(2, 0, 800, 0, 0);
  auto picks = s.choose(2);
  EXPECT_EQ(indexes(picks), (std::vector<int>{0, 1}));
  ASSERT_EQ(s.kept_alignments.size(), 2u);
  // Alignments to the top: 0 carries the match's alignment, 1 the identity.
  EXPECT_EQ(s.kept_alignments[0].dx, -64);
  EXPECT_EQ(s.kept_alignments[1].dx, 0);
  // Capture 0 turned half round under the top 1: 0 and 2 fall on negative
  // coordinates, where cells are counted from x0 and y0 rounded toward zero.
  // Dropping 0 leaves 3 cells, 1 leaves 1, 2 leaves 3: the tie goes to the
  // first candidate, 0.
  Set r(3);
  r.add_minutiae({{10, 10}, {10, 40}, {40, 10}});
  r.add_minutiae({{10, 10}, {10, 100}});
  r.add_minutiae({{12, 12}, {41, 11}});
  r.link(0, 1, 900, 0, 0, 128);
  r.link(2, 0, 800, 0, 0);
  EXPECT_EQ(indexes(r.choose(2)), (std::vector<int>{1, 2}));
}

TEST(SubtemplateChoice, EveryAllocationFailureAnswersNineAndLeaksNothing) {
  Set s(5);
  s.add_minutiae({{10, 10}, {50, 60}});
  s.add_minutiae({{20, 10}, {90, 60}});
  s.add_minutiae({{30, 10}, {50, 160}});
  s.add_blank();
  s.add_minutiae({{40, 10}});
  s.link(1, 0, 900, 3, 4);
  s.link(2, 1, 800, 5, 0, 10);
  s.link(3, 0, 700, 0, 9);
  const long live = qx_alloc_live();
  int failures = 0;
  for (long k = 0;; ++k) {
    qx_alloc_fail_after(k);
    qx_subtemplate_pick *picks = nullptr;
    int32_t count = 0;
    const int32_t rc = qx_subtemplate_choose(s.t.data(), 5, s.matrix.data(), 3, &picks, &count);
    const bool fired = qx_alloc_fail_pending() == 0;
    qx_alloc_fail_after(-1);
    qx_subtemplate_picks_free(picks, count);
    EXPECT_EQ(qx_alloc_live(), live);
    if (rc == 0) {
      EXPECT_FALSE(fired);
      EXPECT_EQ(count, 3);
      break;
    }
    ASSERT_EQ(rc, 9) << k;
    EXPECT_EQ(picks, nullptr);
    ++failures;
  }
  EXPECT_GT(failures, 10);
}

}  // namespace
