// The small sensor's score model and thresholds as a host meets them: a
// capture compared with itself, or with the same finger moved by a few
// pixels, is accepted at every false-accept level a host can reasonably
// ask for.
#include <fpsynth/fpsynth.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/match/qx_config.h"
#include "engine/objects/qx_algorithm.h"
#include "engine/objects/qx_finger.h"

namespace {

class SmallSensorSelfMatch : public ::testing::Test {
 protected:
  void SetUp() override {
    alg_ = square_xs_create(nullptr);
    ASSERT_NE(alg_, nullptr);
  }
  void TearDown() override { qx_algorithm_delete(alg_); }

  qx_template *extract(const fpsynth::Image &im, int top, int left) {
    std::vector<uint8_t> w(88 * 88);
    for (int r = 0; r < 88; ++r)
      for (int c = 0; c < 88; ++c)
        w[r * 88 + c] = im.pixels[static_cast<size_t>(top + r) * im.cols + left + c];
    qx_image *img = qx_image_create(88, 88, 500, 500, w.data(), 0);
    qx_template *t = nullptr;
    if (img != nullptr) qx_algorithm_extract_template(alg_, img, qx_finger_static_zero(), &t);
    qx_image_delete(img);
    return t;
  }

  qx_algorithm *alg_ = nullptr;
};

// Generated fingers with the skin conditions of real captures: the window
// against itself and against the window moved by up to 4 px both ways is
// accepted at FAR indexes 1 to 18 (1 in a million).
TEST_F(SmallSensorSelfMatch, SameCaptureAndSmallShiftsAreAcceptedUpToIndex18) {
  const fpsynth::Skin skins[] = {fpsynth::Skin::Normal, fpsynth::Skin::Dry, fpsynth::Skin::Wet};
  int pairs = 0;
  for (int f = 0; f < 6; ++f) {
    const fpsynth::Master master = fpsynth::make_master(fpsynth::derive_seed(4711, f));
    fpsynth::ImpressionParams ip;
    ip.rows = ip.cols = 96;
    ip.skin = skins[f % 3];
    const fpsynth::Impression imp = fpsynth::make_impression(master, 17 + f, ip);
    qx_template *a = extract(imp.image, 4, 4);
    ASSERT_NE(a, nullptr) << "finger " << f;
    const int shifts[][2] = {{0, 0}, {4, 0}, {0, -4}, {-4, 4}, {3, 3}, {-2, -4}};
    for (const auto &d : shifts) {
      qx_template *b = extract(imp.image, 4 + d[0], 4 + d[1]);
      ASSERT_NE(b, nullptr);
      uint16_t score = 0;
      int32_t decision = 0;
      ASSERT_EQ(qx_algorithm_get_similarity_score(alg_, a, b, 18, &score, &decision, nullptr, nullptr),
                0);
      EXPECT_EQ(decision, 1) << "finger " << f << " shift " << d[0] << "," << d[1]
                             << ": score " << score;
      ++pairs;
      qx_template_delete(b);
    }
    qx_template_delete(a);
  }
  EXPECT_EQ(pairs, 36);
}

}  // namespace
