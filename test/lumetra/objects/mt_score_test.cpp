// Combination of the best two subtemplate scores of a multi-template.
#include <gtest/gtest.h>

#include "engine/objects/mt_score.h"

namespace {

TEST(MultiTemplateScore, WeightOfTheSecondBestGrowsWithTheSubtemplates) {
  const struct { int n, c; } rows[] = {{0, 1}, {1, 1}, {8, 1}, {9, 2}, {17, 2}, {18, 3},
                                       {27, 3}, {28, 4}, {35, 4}, {36, 5}, {40, 5}, {255, 5}};
  for (const auto &r : rows) EXPECT_EQ(qx_mt_combination_weight(r.n), r.c) << r.n;
}

TEST(MultiTemplateScore, CombinedScoreTruncates) {
  EXPECT_EQ(qx_mt_combined_score(20000, 10000, 8), 19090);          // 210000 / 11
  EXPECT_EQ(qx_mt_combined_score(20000, 10000, 40), 16666);         // 250000 / 15
  EXPECT_EQ(qx_mt_combined_score(65535, 65535, 40), 65535);
  EXPECT_EQ(qx_mt_combined_score(7, 0, 1), 6);                      // 70 / 11
}

TEST(MultiTemplateScore, RunningBestSecondAndMaximum) {
  qx_mt_running_score r;
  qx_mt_running_score_reset(&r);
  EXPECT_EQ(r.best_index, -1);
  EXPECT_EQ(qx_mt_running_score_add(&r, 100, 0, 8), 1);
  EXPECT_EQ(qx_mt_running_score_add(&r, 300, 1, 8), 1);  // 100 goes down to second
  EXPECT_EQ(r.best, 300);
  EXPECT_EQ(r.second, 100);
  EXPECT_EQ(r.combined, (3000 + 100) / 11);
  EXPECT_EQ(qx_mt_running_score_add(&r, 300, 2, 8), 0);  // equal: second, not best
  EXPECT_EQ(r.best_index, 1);
  EXPECT_EQ(r.second, 300);
  EXPECT_EQ(r.combined, 300);
  EXPECT_EQ(qx_mt_running_score_add(&r, 5, 3, 8), 0);    // the maximum never drops
  EXPECT_EQ(r.combined, 300);
}

}  // namespace
