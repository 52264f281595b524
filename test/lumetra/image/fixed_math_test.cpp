// Integer square roots, logarithm and byte-angle trigonometry.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "engine/image/fixed_math.h"

namespace {

TEST(FixedMath, SquareRootsAndLogarithm) {
  struct Case {
    uint32_t (*fn)(uint32_t);
    const char *name;
    uint32_t in, out;
  };
  const Case cases[] = {
      {sqrt_, "sqrt_", 0, 0},           {sqrt_, "sqrt_", 3, 2},
      {sqrt_, "sqrt_", 8, 3},           {sqrt_, "sqrt_", 65535, 256},
      {sqrt_, "sqrt_", 20, 4},          {sqrt_, "sqrt_", 21, 5},  // 4.47 / 4.58
      {sqrt_16, "sqrt_16", 65536, 0},   {sqrt_16, "sqrt_16", 65535, 255},
      {sqrt_16, "sqrt_16", 65536 + 9, 3},
      {sqrt_24_5, "sqrt_24_5", 16383, 0}, {sqrt_24_5, "sqrt_24_5", 16384, 1},
      {sqrt_24_5, "sqrt_24_5", 4294967295u, 511},
      {sqrt_32, "sqrt_32", 4294967295u, 65535}, {sqrt_32, "sqrt_32", 15, 3},
      {sqrt_32, "sqrt_32", 16, 4},
      {log2_32, "log2_32", 0, 0},       {log2_32, "log2_32", 1, 0},
      {log2_32, "log2_32", 2, 1},       {log2_32, "log2_32", 1023, 9},
      {log2_32, "log2_32", 0x80000000u, 31},
  };
  for (const Case &c : cases) EXPECT_EQ(c.fn(c.in), c.out) << c.name << "(" << c.in << ")";
}

TEST(FixedMath, SquareRootMatchesFloorAndRoundingEverywhere) {
  // Walk the 32-bit range with a stride that hits squares and their
  // neighbours.
  for (uint64_t v = 0; v <= 0xFFFFFFFFu; v += 65521) {
    const uint32_t x = static_cast<uint32_t>(v);
    const uint32_t f = sqrt_32(x);
    ASSERT_LE(static_cast<uint64_t>(f) * f, x);
    ASSERT_GT(static_cast<uint64_t>(f + 1) * (f + 1), x);
    if (x < (1u << 30)) {
      ASSERT_EQ(sqrt_(x), static_cast<uint32_t>(std::lround(std::sqrt(static_cast<double>(x)))));
    }
  }
  // Every square and its two neighbours: where a root taken in floating
  // point would round up past the floor.
  for (uint32_t r = 1; r < 65536; ++r) {
    ASSERT_EQ(sqrt_32(r * r), r);
    ASSERT_EQ(sqrt_32(r * r - 1), r - 1);
    ASSERT_EQ(sqrt_32(r * r + r), r);  // just below the rounding midpoint
  }
  ASSERT_EQ(sqrt_32(0xFFFFFFFFu), 65535u);
  // The rounded roots over the whole 16-bit range (all segmentation reads),
  // by the integer definition: r is nearest when (r - 1/2)^2 <= x < (r + 1/2)^2.
  for (uint32_t x = 0; x < 65536; ++x) {
    const uint64_t r = sqrt_(x);
    if (r > 0) {
      ASSERT_LE(4 * r * r - 4 * r + 1, 4ull * x) << x;  // (r - 1/2)^2 <= x
    }
    ASSERT_GT(4 * r * r + 4 * r + 1, 4ull * x) << x;  // x < (r + 1/2)^2
    ASSERT_EQ(sqrt_16(x), r > 255 ? 255u : r) << x;
  }
}

TEST(FixedMath, Atan2QuadrantsAndAxes) {
  struct Case {
    int y, x, angle;
  };
  const Case cases[] = {
      {0, 0, 0},    {5, 0, 64},     {-5, 0, 192},  {0, 7, 0},     {0, -7, 128},
      {1, 1, 32},   {1, -1, 96},    {-1, -1, 160}, {-1, 1, 224},  {1000, 1, 64},
      {1, 1000, 0}, {-1, 1000, 0},  {100, 173, 21}, {173, 100, 43},  // 30 and 60 degrees
  };
  for (const Case &c : cases) EXPECT_EQ(atan2_(c.y, c.x), c.angle) << "(" << c.y << ", " << c.x << ")";
  EXPECT_EQ(qx_atan_table[0], 0);
  EXPECT_EQ(qx_atan_table[128], 32);
}

TEST(FixedMath, AngleDifferenceAndAverage) {
  struct Case {
    int a, b, diff, avg;
  };
  const Case cases[] = {
      {250, 10, 16, 2},  // unfolded distance 240 >= 128: the other bisector
      {10, 250, 16, 2},   {10, 20, 10, 15}, {0, 128, 128, 192},
      {0, 127, 127, 63},  {200, 40, 96, 248}, {255, 0, 1, 255},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(angle_difference(c.a, c.b), c.diff) << c.a << ", " << c.b;
    EXPECT_EQ(angle_average(c.a, c.b), c.avg) << c.a << ", " << c.b;
  }
}

TEST(FixedMath, SineTableIsRoundedDownAndSymmetric) {
  EXPECT_EQ(qx_sine_quarter[2], 803);
  EXPECT_EQ(qx_sine_quarter[64], 16384);
  for (int k = 0; k <= 64; ++k)
    EXPECT_EQ(qx_sine_quarter[k], static_cast<int>(std::floor(16384 * std::sin(2 * M_PI * k / 256)))) << k;
  EXPECT_EQ(cos_(0), 16384);
  EXPECT_EQ(cos_(32), 11585);
  EXPECT_EQ(sin_(64), 16384);
  EXPECT_EQ(sin_(192), -16384);
  EXPECT_EQ(cos_(128), -16384);
  for (int k = 0; k < 256; ++k) {
    EXPECT_EQ(sin_(128 - k), sin_(k)) << k;
    EXPECT_EQ(sin_(256 - k), -sin_(k)) << k;
    EXPECT_EQ(cos_(k), sin_(64 - k)) << k;
  }
}

TEST(FixedMath, RadianSineAndCosine) {
  EXPECT_EQ(cos_14(0), 16384);
  EXPECT_EQ(sin_14(0), 0);
  EXPECT_EQ(sin_14(102943), 16384);  // a quarter turn
  EXPECT_EQ(cos_14(205887), -16384); // half a turn
  EXPECT_EQ(sin_14(-102943), -16384);
  for (int b = 0; b < 256; b += 5) {
    const int32_t phi = b * 205887 >> 7;  // byte angle to Q16 radians
    EXPECT_NEAR(cos_14(phi), cos_(b), 2) << b;
    EXPECT_NEAR(sin_14(phi), sin_(b), 2) << b;
  }
}

}  // namespace
