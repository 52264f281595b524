// Row and column de-banding: the fitted correction on a worked example,
// both directions, clamping, and images left alone.
#include <gtest/gtest.h>

#include <vector>

#include "engine/image/deband.h"

namespace {

TEST(Deband, WorkedExampleOfAlternatingRows) {
  // Rows 10, 30, 10, 30 (two pixels each): S = 20, 60, 20, 60,
  // e = -40, 80, -80, 40, Q = 16000, P = 4800,
  // k = ((4800 * 65536) / 16000) / 2 = 9830, h = -6, 12, -12, 6.
  std::vector<uint8_t> img = {10, 10, 30, 30, 10, 10, 30, 30};
  ASSERT_EQ(bal_image_denoise_rows(img.data(), 4, 2), 0);
  EXPECT_EQ(img, (std::vector<uint8_t>{16, 16, 18, 18, 22, 22, 24, 24}));
}

TEST(Deband, ColumnsUseColumnSumsAndDivideByRows) {
  // The transpose of the example above.
  std::vector<uint8_t> img = {10, 30, 10, 30, 10, 30, 10, 30};
  ASSERT_EQ(bal_image_denoise_columns(img.data(), 2, 4), 0);
  EXPECT_EQ(img, (std::vector<uint8_t>{16, 18, 22, 24, 16, 18, 22, 24}));
  // Row de-banding sees equal row sums there and changes nothing.
  std::vector<uint8_t> same = {10, 30, 10, 30, 10, 30, 10, 30};
  ASSERT_EQ(bal_image_denoise_rows(same.data(), 2, 4), 0);
  EXPECT_EQ(same, (std::vector<uint8_t>{10, 30, 10, 30, 10, 30, 10, 30}));
}

TEST(Deband, FlatProfilesAndDegenerateSizesAreLeftAlone) {
  std::vector<uint8_t> flat(20 * 30, 77);
  ASSERT_EQ(bal_image_denoise_rows(flat.data(), 20, 30), 0);
  ASSERT_EQ(bal_image_denoise_columns(flat.data(), 20, 30), 0);
  for (uint8_t v : flat) ASSERT_EQ(v, 77);
  // One row: S[-1] = S[0] = S[1], so e = 0 and Q = 0.
  std::vector<uint8_t> one = {0, 50, 255};
  ASSERT_EQ(bal_image_denoise_rows(one.data(), 1, 3), 0);
  EXPECT_EQ(one, (std::vector<uint8_t>{0, 50, 255}));
  EXPECT_EQ(bal_image_denoise_rows(nullptr, 0, 0), 0);
}

TEST(Deband, CorrectionClampsAtBlackAndWhite) {
  // Alternate rows of 0 and 255: the correction pushes them toward each
  // other but never outside 0 .. 255.
  const int rows = 8, cols = 16;
  std::vector<uint8_t> img(rows * cols);
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) img[r * cols + c] = (r % 2) ? 255 : 0;
  ASSERT_EQ(bal_image_denoise_rows(img.data(), rows, cols), 0);
  int lo = 255, hi = 0;
  for (int r = 1; r < rows - 1; ++r) {
    lo = std::min<int>(lo, img[r * cols]);
    hi = std::max<int>(hi, img[r * cols]);
  }
  // The interior bands have been pulled together.
  EXPECT_GT(lo, 0);
  EXPECT_LT(hi, 255);
}

}  // namespace
