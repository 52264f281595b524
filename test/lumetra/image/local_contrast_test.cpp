// Local contrast boost: flat and white areas keep their level, weak
// ridges gain contrast, and failures leave the pixels alone.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "engine/image/local_contrast.h"
#include "engine/qx_alloc.h"

namespace {

std::vector<uint8_t> ridges(int w, int h, int mid, int amplitude) {
  std::vector<uint8_t> img(static_cast<size_t>(w) * h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      img[y * w + x] = static_cast<uint8_t>(mid + amplitude * std::sin(2 * M_PI * (x + 0.5 * y) / 9.0));
  return img;
}

double deviation(const std::vector<uint8_t> &img, int w, int x0, int y0, int x1, int y1) {
  double s = 0, s2 = 0;
  int n = 0;
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) {
      s += img[y * w + x];
      s2 += double(img[y * w + x]) * img[y * w + x];
      ++n;
    }
  return std::sqrt(s2 / n - (s / n) * (s / n));
}

TEST(LocalContrast, WhiteRegionStaysWhite) {
  // A 24 x 24 white square in a ridge pattern: wherever the 11 x 11
  // window (and both smoothings) see only white, the result is 255.
  const int w = 88, h = 88;
  auto img = ridges(w, h, 120, 60);
  for (int y = 30; y < 54; ++y)
    for (int x = 30; x < 54; ++x) img[y * w + x] = 255;
  ASSERT_EQ(local_contrast_enhance(img.data(), w, h, 0.8f), 0);
  for (int y = 37; y < 47; ++y)
    for (int x = 37; x < 47; ++x) ASSERT_EQ(img[y * w + x], 255) << x << "," << y;
}

TEST(LocalContrast, UniformImageKeepsItsLevel) {
  for (int level : {0, 100, 200, 255}) {
    std::vector<uint8_t> img(40 * 30, static_cast<uint8_t>(level));
    ASSERT_EQ(local_contrast_enhance(img.data(), 40, 30, 0.8f), 0);
    for (uint8_t v : img) ASSERT_EQ(v, level);
  }
}

TEST(LocalContrast, WeakRidgesGainContrast) {
  const int w = 96, h = 80;
  auto img = ridges(w, h, 128, 12);
  const double before = deviation(img, w, 10, 10, w - 10, h - 10);
  ASSERT_EQ(local_contrast_enhance(img.data(), w, h, 0.8f), 0);
  const double after = deviation(img, w, 10, 10, w - 10, h - 10);
  EXPECT_GT(after, 3 * before);
}

TEST(LocalContrast, FailuresLeaveThePixelsUnchanged) {
  auto img = ridges(50, 40, 128, 40);
  const auto original = img;
  EXPECT_EQ(local_contrast_enhance(img.data(), 0, 40, 0.8f), -1);
  EXPECT_EQ(local_contrast_enhance(img.data(), 50, -1, 0.8f), -1);
  EXPECT_EQ(local_contrast_enhance(nullptr, 50, 40, 0.8f), -1);
  const long live = qx_alloc_live();
  for (long n = 0; n < 5; ++n) {
    qx_alloc_fail_after(n);
    EXPECT_EQ(local_contrast_enhance(img.data(), 50, 40, 0.8f), -1) << n;
    EXPECT_EQ(img, original);
    EXPECT_EQ(qx_alloc_live(), live);
  }
  qx_alloc_fail_after(-1);
  EXPECT_EQ(local_contrast_enhance(img.data(), 50, 40, 0.8f), 0);
}

}  // namespace
