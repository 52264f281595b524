// Ghost removal: three grey modes with a separated dark one push the rest
// toward white; two modes leave the image alone.
#include <gtest/gtest.h>

#include <vector>

#include "engine/image/ghost_removal.h"

namespace {

// Pixels cycling through `levels` with the given shares (in tenths).
std::vector<uint8_t> mixture(int rows, int cols, const std::vector<std::pair<uint8_t, int>> &levels) {
  std::vector<uint8_t> cycle;
  for (const auto &l : levels)
    for (int k = 0; k < l.second; ++k) cycle.push_back(l.first);
  std::vector<uint8_t> px(static_cast<size_t>(rows) * cols);
  for (size_t i = 0; i < px.size(); ++i) px[i] = cycle[(i * 7) % cycle.size()];
  return px;
}

TEST(GhostRemoval, TwoModesLeaveTheImageUnchanged) {
  const auto px = mixture(48, 48, {{30, 5}, {200, 5}});
  std::vector<uint8_t> out(px.size());
  EXPECT_EQ(0, bal_ghost_remove_bs(px.data(), 48, 48, out.data(), 12));
  EXPECT_EQ(px, out);
}

TEST(GhostRemoval, SeparatedDarkModeOfThreePushesTheRestTowardWhite) {
  const auto px = mixture(48, 48, {{20, 4}, {120, 3}, {200, 3}});
  std::vector<uint8_t> out(px.size());
  EXPECT_EQ(1, bal_ghost_remove_bs(px.data(), 48, 48, out.data(), 12));
  int darker = 0, lighter = 0;
  for (size_t i = 0; i < px.size(); ++i) {
    const int r = static_cast<int>(i) / 48, c = static_cast<int>(i) % 48;
    if (px[i] == 20) darker += out[i] != 20;  // the dark mode stays
    if (px[i] == 120 && r > 0 && r < 47 && c > 0 && c < 47) lighter += out[i] > 120;
    if (px[i] > 20 && (r == 0 || c == 0)) {  // border above the level
      EXPECT_EQ(255, out[i]);
    }
  }
  EXPECT_EQ(0, darker);
  EXPECT_GT(lighter, 100);
  // In place works the same.
  std::vector<uint8_t> same = px;
  EXPECT_EQ(1, bal_ghost_remove_bs(same.data(), 48, 48, same.data(), 12));
  EXPECT_EQ(out, same);
}

TEST(GhostRemoval, FilterRaisesPixelsAboveTheLevelByTheirBrightNeighbours) {
  std::vector<uint8_t> px(5 * 5, 100);
  px[2 * 5 + 1] = 10;  // one dark neighbour of the centre
  bal_filter_ghost(px.data(), 5, 5, 50);
  // 7 bright neighbours: 100 + (7 * 155 >> 3) = 235.
  EXPECT_EQ(235, px[2 * 5 + 2]);
  EXPECT_EQ(10, px[2 * 5 + 1]);
  EXPECT_EQ(255, px[0]);
}

TEST(GhostRemoval, TooSmallForOneBlockIsACopy) {
  std::vector<uint8_t> px(5 * 5, 77), out(25, 0);
  EXPECT_EQ(0, bal_ghost_remove_bs(px.data(), 5, 5, out.data(), 12));
  EXPECT_EQ(px, out);
}

}  // namespace
