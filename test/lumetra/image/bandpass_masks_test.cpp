// The band-pass mask tables: decoder, the reference mask and the symmetries.
#include <gtest/gtest.h>

#include <vector>

#include "engine/image/bandpass_masks.h"

namespace {

TEST(BandpassMasks, DecoderHandlesLiteralsZeroRunsEndAndOverlongRuns) {
  const uint8_t stream[] = {0x82, 7, 9, 3, 0x81, 5, 0};
  uint8_t out[10];
  EXPECT_EQ(6, bal_decode_mask(stream, out, 10));
  const uint8_t expect[10] = {7, 9, 0, 0, 0, 5, 0, 0, 0, 0};
  for (int i = 0; i < 10; ++i) EXPECT_EQ(expect[i], out[i]) << i;
  // Runs past the end are cut, nothing is written beyond count.
  uint8_t small[4] = {1, 1, 1, 1};
  const uint8_t longer[] = {0x85, 1, 2, 3, 4, 5, 0};
  uint8_t guard[8] = {0};
  std::copy(small, small + 4, guard);
  EXPECT_EQ(5, bal_decode_mask(longer, guard, 3));
  EXPECT_EQ(3, guard[2]);
  EXPECT_EQ(1, guard[3]);
}

TEST(BandpassMasks, ClassFourSectorZeroReproducesTheReferenceRows) {
  const int ref[10][11] = {{72, 95, 147, 193, 195, 151, 89, 40, 14, 4, 1}, {68, 89, 139, 181, 184, 142, 84, 38, 13, 3, 1},
                           {57, 74, 116, 151, 153, 119, 70, 32, 11, 3, 1}, {42, 55, 86, 112, 113, 88, 52, 23, 8, 2, 0},
                           {28, 36, 56, 73, 74, 58, 34, 15, 5, 1, 0},      {16, 21, 33, 43, 43, 33, 20, 9, 3, 1, 0},
                           {8, 11, 17, 22, 22, 17, 10, 5, 2, 0, 0},        {4, 5, 8, 10, 10, 8, 5, 2, 1, 0, 0},
                           {2, 2, 3, 4, 4, 3, 2, 1, 0, 0, 0},              {1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0}};
  std::vector<uint8_t> m(32 * 17);
  ASSERT_EQ(0, bal_bandpass_mask(32, 4, 0, m.data()));
  int off = 0;
  for (int v = 0; v < 10; ++v)
    for (int u = 0; u < 11; ++u) off = std::max(off, std::abs(ref[v][u] - m[v * 17 + u]));
  EXPECT_LE(off, 1);
  for (int v = 0; v < 10; ++v)
    for (int u = 11; u < 17; ++u) EXPECT_EQ(0, m[v * 17 + u]);
  // Rows 23..31 mirror rows 9..1.
  for (int v = 1; v <= 9; ++v)
    for (int u = 0; u < 17; ++u) EXPECT_EQ(m[v * 17 + u], m[(32 - v) * 17 + u]);
}

TEST(BandpassMasks, SectorEightIsTheTransposeAndLaterSectorsMirrorEarlierOnes) {
  for (int n : {32, 16}) {
    const int w = n / 2 + 1;
    std::vector<uint8_t> s0(n * w), s8(n * w), a(n * w), b(n * w);
    for (int cls = 0; cls <= 10; ++cls) {
      ASSERT_EQ(0, bal_bandpass_mask(n, cls, 0, s0.data()));
      ASSERT_EQ(0, bal_bandpass_mask(n, cls, 8, s8.data()));
      // Where both bins exist in the half spectrum: s8(u, v) = s0(v, u).
      for (int v = 0; v <= n / 2; ++v)
        for (int u = 0; u <= n / 2; ++u) EXPECT_NEAR(s0[v * w + u], s8[u * w + v], 1) << n << " " << cls;
      for (int s = 9; s <= 15; ++s) {
        ASSERT_EQ(0, bal_bandpass_mask(n, cls, s, a.data()));
        ASSERT_EQ(0, bal_bandpass_mask(n, cls, 16 - s, b.data()));
        for (int v = 0; v < n; ++v)
          for (int u = 0; u < w; ++u) ASSERT_EQ(b[((n - v) % n) * w + u], a[v * w + u]);
      }
    }
  }
  uint8_t dummy[32 * 17];
  EXPECT_EQ(14, bal_bandpass_mask(32, 11, 0, dummy));
  EXPECT_EQ(14, bal_bandpass_mask(8, 0, 0, dummy));
}

TEST(BandpassMasks, PassBandFollowsTheWavelengthClass) {
  // The strongest bin of sector 0 sits at 32 / (class + 5) cycles.
  for (int cls = 0; cls <= 10; ++cls) {
    std::vector<uint8_t> m(32 * 17);
    ASSERT_EQ(0, bal_bandpass_mask(32, cls, 0, m.data()));
    int best = 0;
    for (int u = 1; u < 17; ++u)
      if (m[u] > m[best]) best = u;
    EXPECT_NEAR(32.0 / (cls + 5), best, 0.55) << cls;
  }
}

}  // namespace
