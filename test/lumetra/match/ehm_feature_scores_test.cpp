// Hybrid comparisons of templates extracted from generated captures: the
// feature-score vector, the similarity score, the multi-template path and
// the allocation-failure paths.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine/match/ehm_verifier.h"
#include "engine/qx_alloc.h"
#include "hybrid_templates.h"

namespace {

class Hybrid : public HybridTemplates {
 protected:
  static uint16_t similarity(qx_template *a, qx_template *b) {
    uint16_t score = 0;
    int32_t decision = 0;
    EXPECT_EQ(qx_ehmhr_get_similarity_score(session(), a, b, 12, &score, &decision, nullptr,
                                            nullptr, nullptr),
              0);
    return score;
  }
};

TEST_F(Hybrid, VectorOfThirtyScoresAndAlignment) {
  const long live = qx_alloc_live();
  uint16_t *v = nullptr;
  uint8_t n = 0;
  qx_alignment *al = nullptr;
  ASSERT_EQ(qx_ehm_extract_feature_scores(session(), tpl(0, 0), tpl(0, 1), &v, &n, &al), 0);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(n, 30);
  EXPECT_NE(al, nullptr);
  const int32_t qa = qx_ehm_get_image_quality(tpl(0, 0), nullptr, nullptr);
  const int32_t qb = qx_ehm_get_image_quality(tpl(0, 1), nullptr, nullptr);
  EXPECT_EQ(v[28], qa > qb ? qa - qb : qb - qa);
  if (v[0] == 0 || v[9] == 0) {
    EXPECT_EQ(v[26], 0);
    EXPECT_EQ(v[27], 0);
  }
  EXPECT_LE(v[27], 128);
  EXPECT_GT(v[0], 0) << "a genuine pair pairs some minutiae";
  qx_feature_scores_free(v);
  qx_alignment_delete(al);
  // Without an alignment output.
  ASSERT_EQ(qx_ehm_extract_feature_scores(session(), tpl(0, 0), tpl(0, 1), &v, &n, nullptr), 0);
  qx_feature_scores_free(v);
  EXPECT_EQ(qx_alloc_live(), live);
  EXPECT_EQ(ehm_verifier.extract_feature_scores, &qx_ehm_extract_feature_scores);
  EXPECT_EQ(ehmhr_verifier.get_similarity_score, &qx_ehmhr_get_similarity_score);
}

TEST_F(Hybrid, GenuinePairsScoreAboveImpostorPairs) {
  const uint16_t self = similarity(tpl(1, 0), tpl(1, 0));
  uint16_t genuine_min = 65535, impostor_max = 0;
  for (int f = 0; f < 3; ++f) genuine_min = std::min(genuine_min, similarity(tpl(f, 0), tpl(f, 1)));
  for (int f = 0; f < 3; ++f)
    for (int g = 0; g < 3; ++g)
      if (f != g) impostor_max = std::max(impostor_max, similarity(tpl(f, 0), tpl(g, 1)));
  EXPECT_GT(self, impostor_max);
  EXPECT_GT(genuine_min, impostor_max);
}

TEST_F(Hybrid, SimilarityScoreIsTheModelOfTheVector) {
  uint16_t *v = nullptr;
  uint8_t n = 0;
  ASSERT_EQ(qx_ehm_extract_feature_scores(session(), tpl(2, 0), tpl(2, 1), &v, &n, nullptr), 0);
  uint16_t combined = 0, score = 0;
  int32_t d1 = 0, d2 = 0;
  ASSERT_EQ(qx_ehmhr_verify_feature_scores(session(), nullptr, nullptr, v, n, 12, &combined, &d1,
                                           nullptr),
            0);
  qx_feature_scores_free(v);
  qx_alignment *al = nullptr;
  ASSERT_EQ(qx_ehmhr_get_similarity_score(session(), tpl(2, 0), tpl(2, 1), 12, &score, &d2, &al,
                                          nullptr, nullptr),
            0);
  EXPECT_EQ(score, combined);
  EXPECT_EQ(d2, d1);
  EXPECT_NE(al, nullptr);
  qx_alignment_delete(al);
  // ehm_verifier has no model in this configuration: 18, nothing reported.
  al = reinterpret_cast<qx_alignment *>(1);
  EXPECT_EQ(qx_ehm_get_similarity_score(session(), tpl(2, 0), tpl(2, 1), 12, &score, &d2, &al,
                                        nullptr, nullptr),
            18);
  EXPECT_EQ(score, 0);
  EXPECT_EQ(al, nullptr);
}

TEST_F(Hybrid, RefusedComparisons) {
  uint16_t *v = reinterpret_cast<uint16_t *>(1);
  uint8_t n = 9;
  qx_session *s = qx_session_create();  // sensor size 0
  EXPECT_EQ(qx_ehm_extract_feature_scores(s, tpl(0, 0), tpl(0, 1), &v, &n, nullptr), 2);
  EXPECT_EQ(v, nullptr);
  EXPECT_EQ(n, 0);
  qx_session_delete(s);
  // A template without a compact card or spectral part.
  const uint8_t junk[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  qx_template *bad = qx_template_create(QX_TEMPLATE_EHM, junk, sizeof junk);
  EXPECT_NE(qx_ehm_extract_feature_scores(session(), bad, tpl(0, 1), &v, &n, nullptr), 0);
  EXPECT_NE(qx_ehm_extract_feature_scores(session(), tpl(0, 1), bad, &v, &n, nullptr), 0);
  EXPECT_EQ(v, nullptr);
  qx_template_delete(bad);
}

TEST_F(Hybrid, MultitemplateAsTemplateAGoesToTheMultitemplateLayer) {
  const uint8_t bytes[4] = {'Q', 'X', 'M', 'T'};
  qx_template *mt = qx_template_create(QX_TEMPLATE_MULTITEMPLATE, bytes, sizeof bytes);
  uint16_t score = 7;
  int32_t d = 7;
  qx_alignment *al = reinterpret_cast<qx_alignment *>(1);
  qx_template *updated = reinterpret_cast<qx_template *>(1);
  // The layer cannot read these bytes: 3, never a hybrid comparison.
  for (const qx_verifier_interface *v : {&ehm_verifier, &ehmhr_verifier}) {
    EXPECT_EQ(v->get_similarity_score(session(), mt, tpl(0, 0), 12, &score, &d, &al, &updated,
                                      nullptr),
              3);
    EXPECT_EQ(score, 0);
    EXPECT_EQ(d, 0);
    EXPECT_EQ(al, nullptr);
    EXPECT_EQ(updated, nullptr);
  }
  qx_template_delete(mt);
}

// Several enrolled templates are verified through the algorithm's chain,
// which only its main verifier (here ehmhr_verifier) may start.
TEST_F(Hybrid, VerifyTemplatesOnlyThroughTheMainVerifier) {
  qx_template *enrolled[1] = {tpl(0, 0)};
  int32_t d = 7, index = 7;
  qx_match *match = reinterpret_cast<qx_match *>(1);
  EXPECT_EQ(ehm_verifier.verify_templates(session(), enrolled, 1, tpl(0, 1), 12, &d, &match,
                                          &index, nullptr),
            2);
  EXPECT_EQ(d, 0);
  EXPECT_EQ(match, nullptr);
  EXPECT_EQ(ehmhr_verifier.verify_templates, &qx_ehmhr_verify_templates);
}

// Every allocation of a comparison may fail: the answer is 9 and nothing
// stays allocated.
TEST_F(Hybrid, EveryAllocationFailureAnswersNineAndLeaksNothing) {
  for (const qx_verifier_interface *ver : {&ehmhr_verifier, &cheetah_verifier}) {
    const int failures = check_allocation_failures([ver] {
      uint16_t score = 7;
      int32_t d = 7;
      qx_alignment *al = nullptr;
      const int32_t rc = ver->get_similarity_score(session(), tpl(1, 0), tpl(1, 1), 12, &score,
                                                   &d, &al, nullptr, nullptr);
      if (rc != 0) {
        EXPECT_TRUE(al == nullptr && score == 0 && d == 0);
      }
      qx_alignment_delete(al);
      return rc;
    });
    EXPECT_GT(failures, 2);
  }
}

}  // namespace
