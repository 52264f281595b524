#include "engine/image/fixed_math.h"

#include <cmath>

extern "C" const uint16_t qx_sine_quarter[65] = {
    0,     402,   803,   1205,  1605,  2005,  2404,  2801,  3196,  3589,  3980,  4369,  4756,
    5139,  5519,  5896,  6269,  6639,  7005,  7366,  7723,  8075,  8423,  8765,  9102,  9434,
    9759,  10079, 10393, 10701, 11002, 11297, 11585, 11866, 12139, 12406, 12665, 12916, 13159,
    13395, 13622, 13842, 14053, 14255, 14449, 14634, 14810, 14978, 15136, 15286, 15426, 15557,
    15678, 15790, 15892, 15985, 16069, 16142, 16206, 16260, 16305, 16339, 16364, 16379, 16384};

extern "C" const uint8_t qx_atan_table[129] = {
    0,  0,  1,  1,  1,  2,  2,  2,  3,  3,  3,  3,  4,  4,  4,  5,  5,  5,  6,  6,  6,  7,
    7,  7,  8,  8,  8,  8,  9,  9,  9,  10, 10, 10, 11, 11, 11, 11, 12, 12, 12, 13, 13, 13,
    13, 14, 14, 14, 15, 15, 15, 15, 16, 16, 16, 17, 17, 17, 17, 18, 18, 18, 18, 19, 19, 19,
    19, 20, 20, 20, 20, 21, 21, 21, 21, 22, 22, 22, 22, 23, 23, 23, 23, 23, 24, 24, 24, 24,
    25, 25, 25, 25, 25, 26, 26, 26, 26, 26, 27, 27, 27, 27, 27, 28, 28, 28, 28, 28, 29, 29,
    29, 29, 29, 29, 30, 30, 30, 30, 30, 31, 31, 31, 31, 31, 31, 32, 32, 32, 32};

extern "C" uint32_t sqrt_32(uint32_t x) {
  // floor(sqrt(x)) for every 32-bit input.  The processor's square root of
  // the double is correctly rounded and x is far below 2^52, so its
  // truncation is already the floor; the two checks only guard against a
  // build whose floating-point square root is not exact, and never fire
  // otherwise.  (The bit-by-bit method this replaces took about 90
  // instructions a call; segmentation alone calls it once per pixel.)
  uint64_t r = static_cast<uint64_t>(std::sqrt(static_cast<double>(x)));
  while (r * r > x) --r;
  while ((r + 1) * (r + 1) <= x) ++r;
  return static_cast<uint32_t>(r);
}

extern "C" uint32_t sqrt_(uint32_t x) {
  const uint32_t r = sqrt_32(x);
  // x lies past the midpoint (r + 1/2)^2 = r^2 + r + 1/4 exactly when x - r^2 > r.
  return (x - r * r > r) ? r + 1 : r;
}

extern "C" uint32_t sqrt_16(uint32_t x) {
  const uint32_t r = sqrt_(x & 0xFFFFu);
  return r > 255 ? 255 : r;
}

extern "C" uint32_t sqrt_24_5(uint32_t x) { return sqrt_32(x >> 14); }

extern "C" uint32_t log2_32(uint32_t x) {
  uint32_t n = 0;
  while (x > 1) {
    x >>= 1;
    ++n;
  }
  return n;
}

extern "C" int atan2_(int32_t y, int32_t x) {
  if (x == 0) return y > 0 ? 64 : (y < 0 ? 192 : 0);
  const uint32_t ax = x < 0 ? 0u - static_cast<uint32_t>(x) : static_cast<uint32_t>(x);
  const uint32_t ay = y < 0 ? 0u - static_cast<uint32_t>(y) : static_cast<uint32_t>(y);
  int a;  // angle in the first quadrant, 0..64
  if (ay <= ax)
    a = qx_atan_table[static_cast<uint64_t>(ay) * 128 / ax];
  else
    a = 64 - qx_atan_table[static_cast<uint64_t>(ax) * 128 / ay];
  if (x > 0) return y >= 0 ? a : (256 - a) & 255;
  return y >= 0 ? 128 - a : 128 + a;
}

extern "C" int angle_difference(int a, int b) {
  const int d = (a - b) & 255;
  return d > 128 ? 256 - d : d;
}

extern "C" int angle_average(int a, int b) {
  a &= 255;
  b &= 255;
  int s = (a + b) >> 1;
  // The plain mean bisects the longer arc when the two are half a turn or
  // more apart; the other bisector is half a turn away.
  const int d = a > b ? a - b : b - a;
  if (d >= 128) s -= 128;
  return s & 255;
}

extern "C" int32_t sin_(int angle) {
  const int k = angle & 255;
  if (k <= 64) return qx_sine_quarter[k];
  if (k <= 128) return qx_sine_quarter[128 - k];
  if (k <= 192) return -static_cast<int32_t>(qx_sine_quarter[k - 128]);
  return -static_cast<int32_t>(qx_sine_quarter[256 - k]);
}

extern "C" int32_t cos_(int angle) { return sin_(64 - (angle & 255)); }

namespace {
constexpr int64_t kFullTurnQ16 = 411774;
constexpr int64_t kQuarterTurnQ16 = 102943;

// Sine of a Q16 radian angle: position on the 256-step circle in 1/256 of
// a step, then linear interpolation between the two table values.
int32_t sin_q16(int64_t angle) {
  int64_t t = angle % kFullTurnQ16;
  if (t < 0) t += kFullTurnQ16;
  const int64_t pos = (t * 65536 + kFullTurnQ16 / 2) / kFullTurnQ16;  // 0..65536
  const int step = static_cast<int>(pos >> 8);
  const int frac = static_cast<int>(pos & 255);
  const int32_t s0 = sin_(step);
  const int32_t s1 = sin_(step + 1);
  const int32_t d = (s1 - s0) * frac;
  return s0 + (d >= 0 ? (d + 128) >> 8 : -((-d + 128) >> 8));
}
}  // namespace

extern "C" int32_t sin_14(int32_t angle) { return sin_q16(angle); }
extern "C" int32_t cos_14(int32_t angle) { return sin_q16(static_cast<int64_t>(angle) + kQuarterTurnQ16); }
