// Templates of generated captures for the verifier tests: two impressions
// of each of three fingers, extracted once per test program by the
// algorithm of "ehmsq-xs" (88 x 88 captures, type 74).
#ifndef LUMETRA_TEST_MATCH_HYBRID_TEMPLATES_H
#define LUMETRA_TEST_MATCH_HYBRID_TEMPLATES_H

#include <gtest/gtest.h>

#include <fpsynth/fpsynth.h>

#include <vector>

#include "engine/image/qx_image.h"
#include "engine/qx_alloc.h"
#include "engine/match/qx_config.h"
#include "engine/objects/qx_algorithm.h"

class HybridTemplates : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    alg = square_xs_create(nullptr);
    ASSERT_NE(alg, nullptr);
    fpsynth::ImpressionParams ip;
    ip.skin = fpsynth::Skin::Normal;
    ip.max_rotation_deg = 8;
    ip.placement_sd = 8;
    for (uint64_t f = 0; f < 3; ++f) {
      const fpsynth::Master master = fpsynth::make_master(100 + f);
      for (uint64_t i = 0; i < 2; ++i) {
        const fpsynth::Impression imp = fpsynth::make_impression(master, 10 * f + i + 1, ip);
        qx_image *img = qx_image_create(88, 88, 500, 500, imp.image.pixels.data(), 0);
        qx_template *t = nullptr;
        ASSERT_EQ(qx_algorithm_extract_template(alg, img, nullptr, &t), 0);
        qx_image_delete(img);
        templates().push_back(t);
      }
    }
  }
  static void TearDownTestSuite() {
    for (qx_template *t : templates()) qx_template_delete(t);
    templates().clear();
    qx_algorithm_delete(alg);
    alg = nullptr;
  }
  // Finger f (0..2), impression i (0..1).
  static qx_template *tpl(int f, int i) { return templates()[static_cast<size_t>(2 * f + i)]; }
  static qx_session *session() { return qx_algorithm_get_session(alg); }

  static inline qx_algorithm *alg = nullptr;

 private:
  static std::vector<qx_template *> &templates() {
    static std::vector<qx_template *> list;
    return list;
  }
};

// Runs `op` (which releases its own outputs and answers a result code)
// with the k-th engine allocation failing, for k = 0, 1, ... until it runs
// through without the failure firing.  Every failed run must answer 9 and
// every run leave no allocation behind.  Returns the number of failed runs.
template <typename Op>
int check_allocation_failures(Op op) {
  int failures = 0;
  for (long k = 0; k < 10000; ++k) {
    const long live = qx_alloc_live();
    qx_alloc_fail_after(k);
    const int32_t rc = op();
    const bool fired = !qx_alloc_fail_pending();
    qx_alloc_fail_after(-1);
    EXPECT_EQ(qx_alloc_live(), live) << "after " << k << " allocations";
    if (!fired) {
      EXPECT_EQ(rc, 0);
      break;
    }
    ++failures;
    EXPECT_EQ(rc, 9) << "failure after " << k << " allocations";
  }
  return failures;
}

#endif  // LUMETRA_TEST_MATCH_HYBRID_TEMPLATES_H
