// The small sensor's score model and thresholds as a host meets them:
// stronger evidence never lowers the score, and a capture compared with
// itself, or with the same finger moved by a few pixels, is accepted at
// every false-accept level a host can reasonably ask for.
#include <fpsynth/fpsynth.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/match/ehm_verifier.h"
#include "engine/match/qx_config.h"
#include "engine/match/vermodel_data.h"
#include "engine/objects/qx_algorithm.h"
#include "engine/objects/qx_finger.h"

namespace {

const qx_vermodel *plain_model() {
  return qx_verifierI_get_vermodel(qx_vermodels_ehmsq_xs, &ehmhr_verifier, 30, 0);
}

// The model's score when score i runs over its clamped range and every
// other score sits at its record's mean (a typical impostor).
std::vector<uint16_t> sweep(const qx_vermodel *m, int i) {
  const qx_vermodel_coefficient *rec = m->quadratic;
  std::vector<uint16_t> v(30);
  for (int k = 0; k < 30; ++k) v[k] = static_cast<uint16_t>((rec[k].mean + 32768) >> 16);
  std::vector<uint16_t> out;
  const int lo = rec[i].lower, hi = rec[i].upper;
  const int step = std::max(1, (hi - lo) / 400);
  for (int x = lo; x <= hi; x += step) {
    v[i] = static_cast<uint16_t>(x);
    out.push_back(qx_ml_predict_linear_score(v.data(), nullptr, rec, 30, m->normalisation));
  }
  v[i] = static_cast<uint16_t>(hi);
  out.push_back(qx_ml_predict_linear_score(v.data(), nullptr, rec, 30, m->normalisation));
  return out;
}

// Every score moves the model one way only over its whole range, and the
// three main similarities (the minutiae score, the paired minutiae and the
// spectral score) move it up: more of them is never less of a match.
TEST(SmallSensorModel, EveryScoreMovesTheModelOneWayOnly) {
  const qx_vermodel *m = plain_model();
  ASSERT_NE(m, nullptr);
  ASSERT_NE(m->quadratic, nullptr);
  for (int i = 0; i < 30; ++i) {
    const std::vector<uint16_t> s = sweep(m, i);
    bool rises = false, falls = false;
    for (size_t k = 1; k < s.size(); ++k) {
      // one unit either way is the integer arithmetic's truncation
      rises = rises || s[k] > s[k - 1] + 1;
      falls = falls || s[k] + 1 < s[k - 1];
    }
    EXPECT_FALSE(rises && falls) << "score " << i << " raises and lowers the model";
    if (i == 0 || i == 2 || i == 9) {
      EXPECT_FALSE(falls) << "more of score " << i << " lowers the model";
      EXPECT_GT(s.back(), s.front()) << "score " << i << " carries no weight";
    }
  }
}

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
