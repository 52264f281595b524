// Image service exports: grading a buffer and a bitmap file, enhancing a
// sensor image in place, and converting a bitmap file.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "api/state.h"
#include "engine/image/enhance.h"
#include "engine/image/local_contrast.h"
#include "engine/image/qx_image.h"
#include "engine/qx_alloc.h"
#include "lumetra.h"
#include "lumetra/support/bmp_builder.h"

namespace {

using lumetra::api::g_state;
using lumetra::test::BmpSpec;
using lumetra::test::make_bmp;
using lumetra::test::temp_path;
using lumetra::test::write_file;

// A finger-like image: curved ridges about 9 pixels apart inside an
// ellipse, white around it.
std::vector<uint8_t> finger(int rows, int cols) {
  std::vector<uint8_t> img(static_cast<size_t>(rows) * cols, 255);
  for (int y = 0; y < rows; ++y)
    for (int x = 0; x < cols; ++x) {
      const double dx = (x - cols / 2.0) / (cols * 0.48), dy = (y - rows / 2.0) / (rows * 0.52);
      if (dx * dx + dy * dy > 1) continue;
      const double r = std::hypot(x - cols * 0.3, y + rows * 0.4);
      img[y * cols + x] = static_cast<uint8_t>(128 + 90 * std::cos(2 * M_PI * r / 9.0));
    }
  return img;
}

class ImageServices : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = g_state.params; }
  void TearDown() override {
    g_state.params = saved_;
    qx_alloc_fail_after(-1);
  }
  lumetra::api::Parameters saved_;
};

TEST_F(ImageServices, BufferGradeOfAFingerAndOfABlankImage) {
  const auto img = finger(88, 88);
  fp_image_quality_t q{};
  ASSERT_EQ(get_fp_image_quality(img.data(), &q), 0);
  EXPECT_GE(q.image_quality, 1);
  EXPECT_LE(q.image_quality, 100);
  EXPECT_GT(q.area, 0);
  EXPECT_LE(q.area, 19);  // 88 x 88 crops to 84 x 84: at most 7744 / 388
  // A uniform image has no finger: (0, 0, 0) and still success.
  std::vector<uint8_t> grey(88 * 88, 128);
  q = {7, 7, 7};
  ASSERT_EQ(get_fp_image_quality(grey.data(), &q), 0);
  EXPECT_TRUE(q.image_quality == 0 && q.area == 0 && q.condition == 0);
  EXPECT_EQ(get_fp_image_quality(nullptr, &q), -1);
  EXPECT_EQ(get_fp_image_quality(img.data(), nullptr), -1);
  set_fp_sensor_col_row(-88, 88);
  q = {7, 7, 7};
  EXPECT_EQ(get_fp_image_quality(img.data(), &q), -1);
  EXPECT_TRUE(q.image_quality == 0 && q.area == 0 && q.condition == 0);
}

TEST_F(ImageServices, FileAndBufferGradesAgree) {
  const auto img = finger(88, 88);
  fp_image_quality_t q{};
  ASSERT_EQ(get_fp_image_quality(img.data(), &q), 0);
  ASSERT_GT(q.image_quality, 1);  // so that 1 cannot pass for a failure
  const std::string path = temp_path("grade.bmp");
  write_file(path, make_bmp({88, 88, 8}, img));
  EXPECT_EQ(nerio_get_image_quality(path.c_str()), q.image_quality);
  // 44 x 176 holds 7744 pixels too and is graded as the 88 x 88 image
  // with the same bytes.
  write_file(path, make_bmp({44, 176, 8}, img));
  EXPECT_EQ(nerio_get_image_quality(path.c_str()), q.image_quality);
  std::remove(path.c_str());
}

TEST_F(ImageServices, FileGradeFailuresGiveOne) {
  const std::string path = temp_path("grade_bad.bmp");
  EXPECT_EQ(nerio_get_image_quality(nullptr), 1);
  EXPECT_EQ(nerio_get_image_quality(path.c_str()), 1);  // missing
  write_file(path, make_bmp({88, 88, 24}, {}));
  EXPECT_EQ(nerio_get_image_quality(path.c_str()), 1);
  write_file(path, make_bmp({100, 100, 8}, finger(100, 100)));  // 10000 > 7744
  EXPECT_EQ(nerio_get_image_quality(path.c_str()), 1);
  write_file(path, make_bmp({88, -88, 8}, finger(88, 88)));  // top-down
  EXPECT_EQ(nerio_get_image_quality(path.c_str()), 1);
  set_fp_sensor_col_row(0, 88);
  write_file(path, make_bmp({88, 88, 8}, finger(88, 88)));
  EXPECT_EQ(nerio_get_image_quality(path.c_str()), 1);
  std::remove(path.c_str());
}

TEST_F(ImageServices, EnhanceIsTheBandPassThenTheContrastBoost) {
  const auto img = finger(88, 88);
  // The same two steps through the engine.
  qx_image *image = qx_image_create(88, 88, 500, 500, img.data(), 0);
  qx_image *enhanced = nullptr;
  ASSERT_EQ(enhance_image(nullptr, image, &enhanced), 0);
  std::vector<uint8_t> expected(qx_image_get_pixels(enhanced), qx_image_get_pixels(enhanced) + img.size());
  qx_image_delete(enhanced);
  qx_image_delete(image);
  ASSERT_EQ(local_contrast_enhance(expected.data(), 88, 88, 0.8f), 0);

  std::vector<uint8_t> px = img;
  px.resize(img.size() + 16, 0xA5);
  ASSERT_EQ(nerio_qx_ImageEnhance(px.data(), 88, 88), 0);
  EXPECT_EQ(std::vector<uint8_t>(px.begin(), px.begin() + img.size()), expected);
  for (size_t i = img.size(); i < px.size(); ++i) EXPECT_EQ(px[i], 0xA5);
}

TEST_F(ImageServices, EnhanceStaysWithinTheSensorImage) {
  const auto img = finger(88, 88);
  // Smaller than the sensor image: only 44 x 88 bytes are touched.
  std::vector<uint8_t> small = img;
  ASSERT_EQ(nerio_qx_ImageEnhance(small.data(), 44, 88), 0);
  EXPECT_EQ(std::vector<uint8_t>(small.begin() + 44 * 88, small.end()),
            std::vector<uint8_t>(img.begin() + 44 * 88, img.end()));
  // Larger than the sensor image the host's buffer holds: refused, and
  // nothing is read or written (not even within the first 7744 bytes).
  std::vector<uint8_t> large(88 * 120, 200);
  std::copy(img.begin(), img.end(), large.begin());
  const auto large_before = large;
  EXPECT_EQ(nerio_qx_ImageEnhance(large.data(), 88, 120), -1);
  EXPECT_EQ(large, large_before);
  // Nothing to copy back and nothing to boost.
  std::vector<uint8_t> none = img;
  EXPECT_EQ(nerio_qx_ImageEnhance(none.data(), 0, 88), -1);
}

TEST_F(ImageServices, EnhanceFailuresAndWhatTheyLeave) {
  const auto img = finger(88, 88);
  // A sensor smaller than one block: enhancement fails, pixels unchanged.
  set_fp_sensor_col_row(20, 20);
  std::vector<uint8_t> px(img.begin(), img.begin() + 400);
  const auto before = px;
  EXPECT_EQ(nerio_qx_ImageEnhance(px.data(), 20, 20), -1);
  EXPECT_EQ(px, before);
  set_fp_sensor_col_row(88, 88);
  EXPECT_EQ(nerio_qx_ImageEnhance(nullptr, 88, 88), -1);

  // The band-pass result alone, for comparison with a failed boost.
  qx_image *image = qx_image_create(88, 88, 500, 500, img.data(), 0);
  qx_image *enhanced = nullptr;
  ASSERT_EQ(enhance_image(nullptr, image, &enhanced), 0);
  const std::vector<uint8_t> band_pass(qx_image_get_pixels(enhanced), qx_image_get_pixels(enhanced) + img.size());
  qx_image_delete(enhanced);
  qx_image_delete(image);

  // Fail each allocation in turn: early failures leave the input, late
  // ones (inside the contrast boost) leave the band-pass result.
  const long live = qx_alloc_live();
  bool saw_input = false, saw_band_pass = false;
  for (long n = 0;; ++n) {
    std::vector<uint8_t> work = img;
    qx_alloc_fail_after(n);
    const int rc = nerio_qx_ImageEnhance(work.data(), 88, 88);
    const bool fired = !qx_alloc_fail_pending();
    qx_alloc_fail_after(-1);
    ASSERT_EQ(qx_alloc_live(), live) << n;
    if (!fired) {
      EXPECT_EQ(rc, 0);
      break;
    }
    EXPECT_EQ(rc, -1) << n;
    if (work == img) saw_input = true;
    else if (work == band_pass) saw_band_pass = true;
    else ADD_FAILURE() << "allocation " << n << " left a third state";
  }
  EXPECT_TRUE(saw_input);
  EXPECT_TRUE(saw_band_pass);
}

TEST_F(ImageServices, BitmapFileToBuffer) {
  const auto px = lumetra::test::ramp_pixels(90, 33);
  const std::string path = temp_path("buff.bmp");
  for (int h : {33, -33}) {  // bottom-up and top-down both accepted
    write_file(path, make_bmp({90, h, 8}, px));
    std::vector<uint8_t> out(px.size() + 8, 0xA5);
    unsigned w = 0, hh = 0;
    ASSERT_EQ(get_bmp_buff(path.c_str(), out.data(), &w, &hh), 0) << h;
    EXPECT_EQ(w, 90u);
    EXPECT_EQ(hh, 33u);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + px.size()), px);
    EXPECT_EQ(out[px.size()], 0xA5);
  }
  std::vector<uint8_t> out(16);
  unsigned w = 9, h = 9;
  write_file(path, make_bmp({4, 4, 24}, {}));
  EXPECT_EQ(get_bmp_buff(path.c_str(), out.data(), &w, &h), -1);
  EXPECT_TRUE(w == 0 && h == 0);
  std::remove(path.c_str());
  w = h = 9;
  EXPECT_EQ(get_bmp_buff(path.c_str(), out.data(), &w, &h), -1);
  EXPECT_TRUE(w == 0 && h == 0);
}

}  // namespace
