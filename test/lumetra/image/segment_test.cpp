// Foreground segmentation: mask cleanup cases, thresholds and the whole
// operation on generated images.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/image/segment.h"
#include "engine/qx_alloc.h"
#include "engine/qx_rc.h"
#include "image_gen.hpp"

namespace {

using Bytes = std::vector<uint8_t>;

// Mask from rows of '#' (fingerprint) and '.' (background).
Bytes parse(const std::vector<std::string> &rows) {
  Bytes m;
  for (const auto &row : rows)
    for (char ch : row) m.push_back(ch == '#' ? 1 : 0);
  return m;
}

std::string show(const Bytes &m, int cols) {
  std::string s;
  for (size_t i = 0; i < m.size(); ++i) {
    s += m[i] ? '#' : '.';
    if ((i + 1) % cols == 0) s += '\n';
  }
  return s;
}

struct CleanupCase {
  const char *name;
  std::vector<std::string> raw;
  std::vector<std::string> expected;
};

TEST(Segment, MaskCleanup) {
  const CleanupCase cases[] = {
      {"single block is removed",
       {"........", "........", "...#....", "........", "........", "........"},
       {"........", "........", "........", "........", "........", "........"}},
      {"bay open to the top edge is filled",
       {"###..###", "###..###", "###..###", "########", "########", "########"},
       {"########", "########", "########", "########", "########", "########"}},
      {"enclosed hole is filled",
       {"########", "########", "##..####", "##..####", "########", "########"},
       {"########", "########", "########", "########", "########", "########"}},
      {"band from left to right stays background, smaller part dropped",
       {"########", "########", "########", "########", "........", "........", "########"},
       {"########", "########", "########", ".######.", "........", "........", "........"}},
      {"first of two equal regions wins",
       {"###..###", "###..###", "###..###", "###..###", "###..###", "###..###"},
       {"##......", "###.....", "###.....", "###.....", "###.....", "##......"}},
      {"ragged border blocks are cleared, majority rounds the corners",
       {"#.......", "........", "..####..", "..####..", "..####..", "......#."},
       {"........", "........", "...##...", "..####..", "...##...", "........"}},
  };
  for (const CleanupCase &c : cases) {
    Bytes m = parse(c.raw);
    const int cols = static_cast<int>(c.raw[0].size()), rows = static_cast<int>(c.raw.size());
    ASSERT_EQ(bal_filter_segmented(m.data(), rows, cols), 0) << c.name;
    EXPECT_EQ(show(m, cols), show(parse(c.expected), cols)) << c.name;
  }
}

TEST(Segment, OptimalThreshold) {
  // Uniform values converge toward the value from the start and stop
  // within 2 of the previous step.
  const Bytes flat(16, 200);
  EXPECT_EQ(bal_find_opt_threshold(flat.data(), 4, 4, 128), 189);
  const Bytes low(16, 100);
  EXPECT_EQ(bal_find_opt_threshold(low.data(), 4, 4, 128), 100);
  // Two classes: the threshold sits nearer the dark one.
  Bytes two(16, 40);
  for (int i = 8; i < 16; ++i) two[i] = 200;
  EXPECT_EQ(bal_find_opt_threshold(two.data(), 4, 4, 128), (200 + 4 * 40) / 5);
}

TEST(Segment, CentreOfGravity) {
  const Bytes m = parse({"....", ".##.", ".##.", "...."});
  int r = -1, c = -1;
  bal_segmentation_center(m.data(), 4, 4, 12, 48, 48, &r, &c);
  EXPECT_EQ(r, 6 + 12 * 6 / 4);
  EXPECT_EQ(c, 6 + 12 * 6 / 4);
  const Bytes empty(16, 0);
  bal_segmentation_center(empty.data(), 4, 4, 12, 48, 50, &r, &c);
  EXPECT_EQ(r, 24);
  EXPECT_EQ(c, 25);
}

TEST(Segment, UniformBrightImageGivesEmptyMask) {
  const Bytes px = imggen::flat(96, 96, 230);
  Bytes mask(64, 9);
  ASSERT_EQ(bal_segment_image(px.data(), 96, 96, 8, 8, 12, mask.data()), 0);
  EXPECT_EQ(mask, Bytes(64, 0));
}

TEST(Segment, FindsThePrintOnWhite) {
  for (int scale : {1, 2}) {
    const int B = 12 / scale, n = 16;
    const Bytes px = imggen::finger(n * B, n * B, 9.0 / scale, 30, 0.6);
    Bytes mask(n * n);
    ASSERT_EQ(bal_segment_image_scale(px.data(), n * B, n * B, n, n, B, mask.data(), scale), 0);
    EXPECT_EQ(mask[(n / 2) * n + n / 2], 1) << show(mask, n);
    EXPECT_EQ(mask[0], 0);
    EXPECT_EQ(mask[n * n - 1], 0);
    int set = 0;
    for (uint8_t v : mask) set += v;
    // The ellipse covers about 28 % of the picture.
    EXPECT_GT(set, n * n / 6) << show(mask, n);
    EXPECT_LT(set, n * n / 2) << show(mask, n);
  }
}

TEST(Segment, RejectsMismatchedGridAndRunsOutOfMemoryCleanly) {
  const Bytes px = imggen::finger(96, 96);
  Bytes mask(64, 9);
  EXPECT_EQ(bal_segment_image(px.data(), 95, 96, 8, 8, 12, mask.data()), QXI_OUT_OF_RANGE);
  EXPECT_EQ(bal_segment_image_scale(px.data(), 96, 96, 8, 8, 12, mask.data(), 3), QXI_OUT_OF_RANGE);
  EXPECT_EQ(mask, Bytes(64, 9));
  const long live = qx_alloc_live();
  for (long n = 0;; ++n) {
    qx_alloc_fail_after(n);
    const int status = bal_segment_image(px.data(), 96, 96, 8, 8, 12, mask.data());
    const bool fired = !qx_alloc_fail_pending();
    qx_alloc_fail_after(-1);
    EXPECT_EQ(qx_alloc_live(), live);
    if (!fired) {
      EXPECT_EQ(status, 0);
      break;
    }
    EXPECT_EQ(status, QXI_NO_MEMORY) << "allocation " << n;
  }
}

TEST(Segment, LargeGridsAreHandled) {
  // More than 255 blocks per side: coordinates and labels do not wrap.
  const int brows = 2, bcols = 300;
  Bytes m(brows * bcols, 1);
  ASSERT_EQ(bal_filter_segmented(m.data(), brows, bcols), 0);
  EXPECT_EQ(m[bcols / 2], 1);
  Bytes wide(3 * 600, 0);
  for (int c = 300; c < 600; ++c) wide[600 + c] = wide[c] = wide[1200 + c] = 1;
  ASSERT_EQ(bal_filter_segmented(wide.data(), 3, 600), 0);
  EXPECT_EQ(wide[600 + 450], 1);
  EXPECT_EQ(wide[600 + 100], 0);
}

}  // namespace
