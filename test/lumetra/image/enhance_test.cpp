// Enhancement: gain tables and their bands, the uniform-image level, the
// band-pass on a noisy ridge pattern, the output image and failures.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "engine/image/enhance.h"
#include "engine/qx_alloc.h"

namespace {

// Ridges of the given period (pixels) at an angle, plus uniform noise.
std::vector<uint8_t> noisy_ridges(int rows, int cols, double period, int noise, unsigned seed,
                                  std::vector<double> *clean = nullptr) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> img(static_cast<size_t>(rows) * cols);
  if (clean) clean->assign(img.size(), 0);
  for (int y = 0; y < rows; ++y)
    for (int x = 0; x < cols; ++x) {
      const double c = std::cos(2 * M_PI * (0.8 * x + 0.6 * y) / period);
      if (clean) (*clean)[y * cols + x] = c;
      const int n = noise ? static_cast<int>(rng() % (2 * noise + 1)) - noise : 0;
      img[y * cols + x] = static_cast<uint8_t>(std::clamp(128 + static_cast<int>(50 * c) + n, 0, 255));
    }
  return img;
}

double correlation(const std::vector<uint8_t> &a, const std::vector<double> &b) {
  double ma = 0, mb = 0;
  for (size_t i = 0; i < a.size(); ++i) ma += a[i], mb += b[i];
  ma /= a.size();
  mb /= b.size();
  double sab = 0, saa = 0, sbb = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    sab += (a[i] - ma) * (b[i] - mb);
    saa += (a[i] - ma) * (a[i] - ma);
    sbb += (b[i] - mb) * (b[i] - mb);
  }
  return sab / std::sqrt(saa * sbb);
}

TEST(EnhanceTables, QuadrantsMirrorIntoThirtyTwoRows) {
  for (int dpi : {500, 420, 363}) {
    const uint8_t *g = enhance_builtin_gain_table(dpi);
    ASSERT_NE(g, nullptr);
    for (int v = 0; v <= 16; ++v)
      for (int u = 0; u <= 16; ++u) {
        EXPECT_EQ(g[v * 17 + u], g[u * 17 + v]) << dpi;
        if (v >= 1 && v <= 15) {
          EXPECT_EQ(g[(32 - v) * 17 + u], g[v * 17 + u]) << dpi;
        }
      }
  }
  const uint8_t *g500 = enhance_builtin_gain_table(500);
  EXPECT_EQ(g500[0], 60);
  EXPECT_EQ(g500[2 * 17 + 5], 255);
  EXPECT_EQ(g500[30 * 17 + 5], 255);  // v = -2
  EXPECT_EQ(enhance_builtin_gain_table(420)[0], 56);
  EXPECT_EQ(enhance_builtin_gain_table(363)[0], 93);
  EXPECT_EQ(enhance_builtin_gain_table(363)[8], 255);
  EXPECT_EQ(enhance_builtin_gain_table(400), nullptr);
}

TEST(EnhanceTables, BandsAndThePreProcessingModel) {
  const uint8_t *t500 = enhance_builtin_gain_table(500), *t420 = enhance_builtin_gain_table(420),
                *t363 = enhance_builtin_gain_table(363);
  struct {
    int dpi;
    const uint8_t *table;
  } cases[] = {{490, t500}, {510, t500}, {333, t363}, {393, t363}, {400, t420}, {440, t420},
               {489, nullptr}, {511, nullptr}, {332, nullptr}, {394, nullptr}, {395, nullptr},
               {399, nullptr}, {441, nullptr}, {445, nullptr}, {0, nullptr}};
  for (const auto &c : cases) EXPECT_EQ(enhance_select_gain_table(c.dpi, nullptr), c.table) << c.dpi;
  enhance_ppmodel model{};
  model.resolution = 505;
  EXPECT_EQ(enhance_select_gain_table(500, &model), model.gain);  // inside the 500 band, model wins
  EXPECT_EQ(enhance_select_gain_table(515, &model), model.gain);
  EXPECT_EQ(enhance_select_gain_table(495, &model), model.gain);
  EXPECT_EQ(enhance_select_gain_table(494, &model), t500);
  EXPECT_EQ(enhance_select_gain_table(516, &model), nullptr);
}

TEST(Enhance, UniformImageComesOutUniformAtTheHalfWayLevel) {
  // Level L keeps G[0][0]/256 of its offset from 128; the normalisation
  // then sees no variance and sets (level + 127) >> 1.
  // L = 200, 500 dpi: 128 + 72 * 60/256 = 144.9 -> 145 -> 136.  The
  // transforms' own truncation may move the filtered level by one (L = 30
  // at 363 dpi: 92.4 exactly, 93 through the integer transforms), so the
  // level is pinned within 1 and the uniformity exactly.
  struct {
    int level, dpi, expected;
  } cases[] = {{200, 500, 136}, {200, 420, 135}, {200, 363, 140},
               {30, 500, 116},  {30, 420, 117},  {30, 363, 109}};
  for (const auto &c : cases) {
    std::vector<uint8_t> px(100 * 120, static_cast<uint8_t>(c.level));
    qx_image *img = qx_image_create(100, 120, c.dpi, c.dpi, px.data(), 0);
    qx_image *out = nullptr;
    ASSERT_EQ(enhance_image(nullptr, img, &out), 0);
    const uint8_t *o = qx_image_get_pixels(out);
    EXPECT_NEAR(o[0], c.expected, 1) << c.level << " at " << c.dpi << " dpi";
    for (size_t i = 0; i < px.size(); ++i) ASSERT_EQ(o[i], o[0]) << c.level << " at " << c.dpi << " dpi";
    qx_image_delete(out);
    qx_image_delete(img);
  }
}

TEST(Enhance, BandPassCleansNoisyRidges) {
  // Ridges 9 pixels apart (about 3.6 cycles per block, inside the 500 dpi
  // pass band) under heavy noise.
  std::vector<double> clean;
  const auto px = noisy_ridges(96, 112, 9.0, 70, 3, &clean);
  std::vector<uint8_t> out(px.size());
  ASSERT_EQ(enhance_pixels(px.data(), 96, 112, 500, nullptr, out.data()), 0);
  const double before = correlation(px, clean), after = correlation(out, clean);
  EXPECT_GT(after, before + 0.1) << before << " -> " << after;
  EXPECT_GT(after, 0.8);
  // The output spread follows the normalisation target of 60 levels.
  double m = 0, s2 = 0;
  for (uint8_t v : out) m += v;
  m /= out.size();
  for (uint8_t v : out) s2 += (v - m) * (v - m);
  EXPECT_NEAR(std::sqrt(s2 / out.size()), 60, 8);
}

TEST(Enhance, OutputImageTakesSizeResolutionAndImpression) {
  const auto px = noisy_ridges(88, 88, 8.0, 10, 1);
  qx_image *img = qx_image_create(88, 88, 500, 490, px.data(), 3);
  qx_image *out = nullptr;
  ASSERT_EQ(enhance_image(nullptr, img, &out), 0);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(qx_image_get_rows(out), 88);
  EXPECT_EQ(qx_image_get_cols(out), 88);
  EXPECT_EQ(qx_image_get_vertical_resolution(out), 500);
  EXPECT_EQ(qx_image_get_horizontal_resolution(out), 500);
  EXPECT_EQ(qx_image_get_impression_type(out), 3);
  EXPECT_EQ(qx_image_get_num_refs(out), 1);
  EXPECT_EQ(std::vector<uint8_t>(px.begin(), px.end()),
            std::vector<uint8_t>(qx_image_get_pixels(img), qx_image_get_pixels(img) + px.size()));
  qx_image_delete(out);
  qx_image_delete(img);
}

TEST(Enhance, Failures) {
  std::vector<uint8_t> px(64 * 64, 90);
  qx_image *out = reinterpret_cast<qx_image *>(1);
  for (int dpi : {395, 445}) {
    qx_image *img = qx_image_create(64, 64, dpi, dpi, px.data(), 0);
    EXPECT_EQ(enhance_image(nullptr, img, &out), 2) << dpi;
    EXPECT_EQ(out, nullptr);
    qx_image_delete(img);
  }
  qx_image *narrow = qx_image_create(64, 31, 500, 500, px.data(), 0);
  EXPECT_EQ(enhance_image(nullptr, narrow, &out), 2);
  qx_image_delete(narrow);
  EXPECT_EQ(enhance_image(nullptr, nullptr, &out), 2);
  EXPECT_EQ(out, nullptr);

  qx_image *img = qx_image_create(64, 64, 500, 500, px.data(), 0);
  EXPECT_EQ(enhance_image(nullptr, img, nullptr), 2);
  const long live = qx_alloc_live();
  for (long n = 0; n < 6; ++n) {
    qx_alloc_fail_after(n);
    const qx_rc rc = enhance_image(nullptr, img, &out);
    const bool fired = !qx_alloc_fail_pending();
    qx_alloc_fail_after(-1);
    if (!fired) {
      EXPECT_EQ(rc, 0);
      qx_image_delete(out);
      break;
    }
    EXPECT_EQ(rc, 9) << n;
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(qx_alloc_live(), live);
  }
  qx_image_delete(img);
}

}  // namespace
