// The cheetah stage: quick-match values of two templates, its similarity
// and combined scores, and its allocation-failure paths.
#include <gtest/gtest.h>

#include "engine/formats/qx_template_convert.h"
#include "engine/match/ehm_verifier.h"
#include "engine/match/spectral_match.h"
#include "engine/qx_alloc.h"
#include "hybrid_templates.h"

namespace {

using Cheetah = HybridTemplates;

TEST_F(Cheetah, FeatureScoresAreTheQuickMatchValues) {
  uint16_t *v = nullptr;
  uint8_t n = 0;
  qx_alignment *al = reinterpret_cast<qx_alignment *>(1);
  ASSERT_EQ(qx_cheetah_extract_feature_scores(session(), tpl(0, 0), tpl(0, 1), &v, &n, &al), 0);
  ASSERT_EQ(n, 2);
  EXPECT_EQ(al, nullptr);
  // The same values from the quick-match features of the spectral parts.
  uint8_t *parts[2], *features[2];
  uint32_t part_sizes[2], feature_sizes[2];
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(qx_template_convert(tpl(0, i), QX_TEMPLATE_SPECTRAL, &parts[i], &part_sizes[i]), 0);
    ASSERT_EQ(qx_fusion_spectral_to_matcher(parts[i], part_sizes[i], &features[i],
                                            &feature_sizes[i], nullptr, nullptr, nullptr, nullptr,
                                            1),
              0);
  }
  uint16_t q[2] = {0, 0};
  ASSERT_EQ(
      qx_spectral_quick_match(features[0], feature_sizes[0], features[1], feature_sizes[1], q), 0);
  EXPECT_EQ(v[0], q[0]);
  EXPECT_EQ(v[1], q[1]);
  EXPECT_GT(q[0], 0);
  qx_feature_scores_free(v);

  // Two spectral templates: their bytes are the quick-match features.
  qx_template *sa = qx_template_create(QX_TEMPLATE_SPECTRAL, features[0], feature_sizes[0]);
  qx_template *sb = qx_template_create(QX_TEMPLATE_SPECTRAL, features[1], feature_sizes[1]);
  uint16_t score = 0;
  int32_t d = 7;
  EXPECT_EQ(qx_cheetah_get_similarity_score(session(), sa, sb, 12, &score, &d, nullptr, nullptr,
                                            nullptr),
            0);
  EXPECT_EQ(score, q[0]);
  EXPECT_EQ(d, 0) << "the cheetah stage never decides";
  qx_template_delete(sa);
  qx_template_delete(sb);
  for (int i = 0; i < 2; ++i) {
    qx_free(parts[i]);
    qx_free(features[i]);
  }
  EXPECT_EQ(cheetah_verifier.get_similarity_score, &qx_cheetah_get_similarity_score);
  EXPECT_EQ(cheetah_verifier.extract_feature_scores, &qx_cheetah_extract_feature_scores);
}

TEST_F(Cheetah, CombinedScoreKeepsSixteenBits) {
  uint16_t score = 7;
  int32_t d = 7;
  const uint16_t v[2] = {300, 40};
  EXPECT_EQ(qx_cheetah_verify_feature_scores(session(), nullptr, nullptr, v, 2, 12, &score, &d,
                                             nullptr),
            0);
  EXPECT_EQ(score, 380);
  EXPECT_EQ(d, 0);
  const uint16_t wide[2] = {65535, 1};
  EXPECT_EQ(qx_cheetah_verify_feature_scores(session(), nullptr, nullptr, wide, 2, 12, &score,
                                             nullptr, nullptr),
            0);
  EXPECT_EQ(score, 1);
  EXPECT_EQ(qx_cheetah_verify_feature_scores(session(), nullptr, nullptr, wide, 3, 12, &score,
                                             nullptr, nullptr),
            17);
  EXPECT_EQ(score, 0);
  // Without a score output only the count is checked.
  EXPECT_EQ(qx_cheetah_verify_feature_scores(session(), nullptr, nullptr, nullptr, 2, 12, nullptr,
                                             nullptr, nullptr),
            0);
  EXPECT_EQ(qx_cheetah_verify_feature_scores(session(), nullptr, nullptr, nullptr, 1, 12, nullptr,
                                             nullptr, nullptr),
            17);
}

TEST_F(Cheetah, TemplatesWithoutSpectralPartAndMultitemplates) {
  const uint8_t junk[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  qx_template *bad = qx_template_create(QX_TEMPLATE_EHM, junk, sizeof junk);
  uint16_t score = 7;
  uint16_t *v = reinterpret_cast<uint16_t *>(1);
  uint8_t n = 9;
  EXPECT_EQ(qx_cheetah_get_similarity_score(session(), bad, tpl(0, 1), 12, &score, nullptr,
                                            nullptr, nullptr, nullptr),
            3);
  EXPECT_EQ(score, 0);
  EXPECT_EQ(qx_cheetah_extract_feature_scores(session(), tpl(0, 1), bad, &v, &n, nullptr), 3);
  EXPECT_EQ(v, nullptr);
  EXPECT_EQ(n, 0);
  qx_template_delete(bad);

  // A multi-template as template A goes to the multi-template layer, which
  // cannot read these bytes (3).
  const uint8_t bytes[4] = {'Q', 'X', 'M', 'T'};
  qx_template *mt = qx_template_create(QX_TEMPLATE_MULTITEMPLATE, bytes, sizeof bytes);
  int32_t d = 7;
  qx_alignment *al = reinterpret_cast<qx_alignment *>(1);
  qx_template *updated = reinterpret_cast<qx_template *>(1);
  EXPECT_EQ(qx_cheetah_get_similarity_score(session(), mt, tpl(0, 0), 12, &score, &d, &al,
                                            &updated, nullptr),
            3);
  EXPECT_EQ(score, 0);
  EXPECT_EQ(d, 0);
  EXPECT_EQ(al, nullptr);
  EXPECT_EQ(updated, nullptr);
  qx_template_delete(mt);
}

TEST_F(Cheetah, EveryAllocationFailureAnswersNineAndLeaksNothing) {
  const int failures = check_allocation_failures([] {
    uint16_t *v = nullptr;
    uint8_t n = 0;
    const int32_t rc =
        qx_cheetah_extract_feature_scores(session(), tpl(1, 0), tpl(2, 1), &v, &n, nullptr);
    if (rc != 0) {
      EXPECT_TRUE(v == nullptr && n == 0);
    }
    qx_feature_scores_free(v);
    return rc;
  });
  EXPECT_GE(failures, 5);  // two parts, two feature sets, the vector
}

}  // namespace
