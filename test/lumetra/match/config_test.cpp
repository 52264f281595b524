// The configuration registry, its lookup rule, the "ehm" builders, the
// chains they make and the model lists they attach.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/image/qx_image.h"
#include "engine/match/qx_config.h"
#include "engine/qx_alloc.h"

namespace {

class Config : public ::testing::Test {
 protected:
  void SetUp() override { qx_session_clear_properties(nullptr); }
  void TearDown() override { qx_session_clear_properties(nullptr); }
};

std::string found(const char *family, int32_t code, int32_t memsave) {
  const qx_config_row *row = qx_config_find(family, code, memsave);
  return row != nullptr ? row->name : "(none)";
}

TEST_F(Config, RegistryRowsInSearchOrder) {
  const char *names[QX_CONFIG_REGISTRY_ROWS] = {
      "ehmsq-xl", "ehmsq-l", "ehmsq-m", "ehmsq-s", "ehmsq-xs", "ehmre-m", "ehmre-s",
      "spectsq-xl", "spectsq-l", "spectsq-s", "ehmsq-xl-spmem", "ehmsq-l-spmem",
      "ehmsq-m-spmem", "ehmsq-s-spmem", "ehmre-m-spmem", "ehmsq-xl-spmem-slice",
      "ehmsq-l-spmem-slice", "ehmsw-spmem-slice", "neorec", "neore-s"};
  const int32_t codes[QX_CONFIG_REGISTRY_ROWS] = {2, 3, 4, 5, 6, 7, 8, 2, 3, 5,
                                                  2, 3, 4, 5, 7, 2, 3, 2, 8, 8};
  const qx_config_row *rows = qx_config_registry();
  for (int i = 0; i < QX_CONFIG_REGISTRY_ROWS; ++i) {
    EXPECT_STREQ(rows[i].name, names[i]) << i;
    EXPECT_EQ(rows[i].sensor_size, codes[i]) << i;
    EXPECT_NE(rows[i].builder, nullptr) << i;
  }
  EXPECT_STREQ(rows[15].family, "");
  EXPECT_STREQ(rows[18].family, "neo");
}

TEST_F(Config, LookupOfTheEhmFamilyByCode) {
  struct Case { int32_t code; const char *plain, *memsave; };
  const Case cases[] = {
      {0, "(none)", "(none)"},           {1, "(none)", "(none)"},
      {2, "ehmsq-xl", "ehmsq-xl-spmem"}, {3, "ehmsq-l", "ehmsq-l-spmem"},
      {4, "ehmsq-m", "ehmsq-m-spmem"},   {5, "ehmsq-s", "ehmsq-s-spmem"},
      {6, "ehmsq-xs", "ehmsq-xs"},       {7, "ehmre-m", "ehmre-m-spmem"},
      {8, "ehmre-s", "ehmre-s"},         {9, "(none)", "(none)"}};
  for (const Case &c : cases) {
    EXPECT_EQ(found("ehm", c.code, 0), c.plain) << c.code;
    EXPECT_EQ(found("ehm", c.code, 1), c.memsave) << c.code;
  }
  EXPECT_EQ(qx_config_lookup("ehm", 6, 0), square_xs_create);
  EXPECT_EQ(qx_config_lookup("ehm", 7, 1), rectangular_m_speed_mem_create);
  EXPECT_EQ(qx_config_lookup("ehm", 1, 0), nullptr);
}

TEST_F(Config, LookupByNameAndOtherFamilies) {
  // A configuration name as the family is found whatever the code.
  EXPECT_EQ(found("ehmsq-l", 0, 0), "ehmsq-l");
  EXPECT_EQ(found("ehmsq-l", 8, 1), "ehmsq-l");
  EXPECT_EQ(found("neore-s", 3, 0), "neore-s");
  EXPECT_EQ(found("spect", 5, 0), "spectsq-s");
  EXPECT_EQ(found("spect", 4, 0), "(none)");
  EXPECT_EQ(found("neo", 8, 0), "neorec");
  // The slice rows have an empty family.
  EXPECT_EQ(found("", 2, 0), "ehmsq-xl-spmem-slice");
  EXPECT_EQ(found("EHM", 6, 0), "(none)");
  EXPECT_EQ(qx_config_find(nullptr, 6, 0), nullptr);
}

struct Expected {
  const char *name;
  int32_t template_type;
  int32_t size_code;
  int32_t pass_on;
  const qx_verifier_interface *main;
  const qx_extractor_interface *extractor;
  int32_t on[3];       // states after building
  int32_t mutable_[3];
  uint8_t max_subtemplates;
  uint8_t captures;
  bool quadratic;
  bool coherence_model;  // the (24, 65000) model with normalisation mode 1
};

const Expected kEhm[] = {
    {"ehmsq-xl", 67, 2, 8, &ehm_verifier, &embedded_extractor, {1, 0, 0}, {1, 0, 0}, 16, 8, false, false},
    {"ehmsq-l", 67, 3, 16, &ehm_verifier, &embedded_extractor, {1, 1, 0}, {1, 1, 0}, 32, 16, false, false},
    {"ehmsq-m", 74, 4, 24, &ehmhr_verifier, &embedded_extractor, {1, 1, 1}, {1, 0, 1}, 64, 24, true, false},
    {"ehmsq-s", 74, 5, 32, &ehmhr_verifier, &embedded_extractor, {1, 1, 1}, {1, 0, 1}, 72, 32, true, false},
    {"ehmsq-xs", 74, 6, 40, &ehmhr_verifier, &embedded_extractor, {1, 1, 1}, {1, 0, 1}, 96, 32, true, true},
    {"ehmre-m", 74, 7, 24, &ehmhr_verifier, &embedded_extractor, {1, 1, 1}, {1, 0, 1}, 64, 24, true, false},
    {"ehmre-s", 74, 8, 32, &ehmhr_verifier, &embedded_extractor, {1, 1, 1}, {1, 0, 1}, 72, 32, true, true},
    {"ehmsq-xl-spmem", 67, 2, 8, &ehm_verifier, &embedded_speedmem_extractor, {1, 0, 0}, {1, 0, 0}, 16, 8, false, false},
    {"ehmsq-l-spmem", 67, 3, 16, &ehm_verifier, &embedded_speedmem_extractor, {1, 0, 0}, {1, 1, 0}, 32, 16, false, false},
    {"ehmsq-m-spmem", 74, 4, 24, &ehmhr_verifier, &embedded_speedmem_extractor, {1, 1, 1}, {1, 0, 1}, 64, 24, true, false},
    {"ehmsq-s-spmem", 74, 5, 32, &ehmhr_verifier, &embedded_speedmem_extractor, {1, 1, 1}, {1, 0, 1}, 72, 32, true, false},
    {"ehmre-m-spmem", 74, 7, 24, &ehmhr_verifier, &embedded_speedmem_extractor, {1, 1, 1}, {1, 0, 1}, 64, 24, true, false},
};

TEST_F(Config, EveryEhmBuilderWithItsValues) {
  for (const Expected &e : kEhm) {
    SCOPED_TRACE(e.name);
    const qx_config_row *row = qx_config_find(e.name, 0, 0);
    ASSERT_NE(row, nullptr);
    qx_algorithm *alg = row->builder(nullptr);
    ASSERT_NE(alg, nullptr);
    EXPECT_EQ(qx_algorithm_get_template_type(alg), e.template_type);
    EXPECT_EQ(qx_algorithm_get_sensor_size(alg), e.size_code);
    EXPECT_EQ(qx_algorithm_get_sensor_type(alg), 1);
    EXPECT_EQ(qx_algorithm_get_extractor(alg), e.extractor);
    qx_session *s = qx_algorithm_get_session(alg);
    EXPECT_EQ(qx_session_get_sensor_size(s), e.size_code);
    EXPECT_EQ(qx_session_get_sensor_type(s), 1);
    for (int32_t i = 0; i < 3; ++i) {
      EXPECT_EQ(qx_algorithm_get_feature_state(alg, i), e.on[i]) << "state " << i;
      EXPECT_EQ(qx_algorithm_feature_is_mutable(alg, i), e.mutable_[i]) << "state " << i;
    }
    EXPECT_EQ(qx_session_get_int(s, QX_PROP_360, -1), e.on[0]);
    EXPECT_EQ(qx_session_get_int(s, QX_PROP_SPECTRAL_FULLSEARCH, -1), e.on[1]);
    EXPECT_EQ(qx_session_get_int(s, QX_PROP_SPECTRAL_HR_RANGE, -1), e.on[2]);

    const qx_algorithm_config *cfg = qx_algorithm_get_config(alg);
    EXPECT_EQ(cfg->max_nbr_subtemplates, e.max_subtemplates);
    EXPECT_EQ(cfg->nbr_enroll_captures, e.captures);
    EXPECT_EQ(cfg->enroll_param[0], 0);
    EXPECT_EQ(cfg->enroll_param[1], 0);
    EXPECT_EQ(cfg->enroll_param[2], 0);

    // Chain: cheetah pre-selection, then the main verifier.
    const qx_verifier_chain *chain = qx_algorithm_get_verifier_chain(alg);
    ASSERT_EQ(qx_verifier_chain_get_nbr_of_links(chain), 2);
    const qx_verifier_link *l1 = qx_verifier_chain_get_first_link(chain);
    EXPECT_EQ(qx_verifier_link_get_feature_score_extractor(l1), &cheetah_verifier);
    EXPECT_EQ(qx_verifier_link_get_combined_feature_score_verifier(l1), &cheetah_verifier);
    EXPECT_EQ(qx_verifier_link_get_max_nbr_of_subtemplates_to_pass_on(l1), e.pass_on);
    EXPECT_EQ(qx_verifier_link_pass_on_feature_scores(l1), 0);
    EXPECT_EQ(qx_verifier_link_get_accept_far_shift(l1), 0);
    EXPECT_EQ(qx_verifier_link_get_reject_far(l1), 0);
    const qx_verifier_link *l2 = qx_verifier_link_get_next(l1);
    EXPECT_EQ(l2, qx_verifier_chain_get_last_link(chain));
    EXPECT_EQ(qx_verifier_link_get_feature_score_extractor(l2), e.main);
    EXPECT_EQ(qx_verifier_link_get_combined_feature_score_verifier(l2), e.main);
    EXPECT_EQ(qx_verifier_link_get_max_nbr_of_subtemplates_to_pass_on(l2), 0);
    EXPECT_EQ(qx_verifier_link_get_next(l2), nullptr);
    EXPECT_EQ(qx_algorithm_get_verifier(alg), e.main);

    // Models: the plain model of the main verifier, and the coherence one.
    const qx_vermodel *models = qx_algorithm_get_vermodels(alg);
    const qx_vermodel *plain = qx_verifierI_get_vermodel(models, e.main, 30, 0);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->linear != nullptr, !e.quadratic);
    EXPECT_EQ(plain->quadratic != nullptr, e.quadratic);
    EXPECT_EQ(plain->normalisation, 0);
    EXPECT_NE(plain->thresholds, nullptr);
    const qx_vermodel *coherence = qx_verifierI_get_vermodel(models, e.main, 24, 65000);
    EXPECT_EQ(coherence != nullptr, e.coherence_model);
    if (coherence != nullptr) {
      EXPECT_NE(coherence->quadratic, nullptr);
      EXPECT_EQ(coherence->linear, nullptr);
      EXPECT_EQ(coherence->normalisation, 1);
      EXPECT_NE(coherence->thresholds, plain->thresholds);
    }
    EXPECT_EQ(qx_verifierI_get_vermodel(models, &cheetah_verifier, 30, 0), nullptr);
    qx_algorithm_delete(alg);
  }
}

TEST_F(Config, FeatureStateOneIsMutableOnlyOnTheLargeSquare) {
  qx_algorithm *xl = square_xl_create(nullptr);
  ASSERT_NE(xl, nullptr);
  EXPECT_EQ(qx_algorithm_set_feature_state(xl, 1, 1), 1);
  EXPECT_EQ(qx_algorithm_get_feature_state(xl, 1), 0);
  EXPECT_EQ(qx_session_get_int(qx_algorithm_get_session(xl), QX_PROP_SPECTRAL_FULLSEARCH, -1), 0);
  qx_algorithm_delete(xl);

  qx_algorithm *l = square_l_speed_mem_create(nullptr);
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(qx_algorithm_set_feature_state(l, 1, 1), 0);
  EXPECT_EQ(qx_algorithm_get_feature_state(l, 1), 1);
  EXPECT_EQ(qx_session_get_int(qx_algorithm_get_session(l), QX_PROP_SPECTRAL_FULLSEARCH, -1), 1);
  qx_algorithm_delete(l);
}

TEST_F(Config, BuildersOnAGivenSession) {
  qx_session *s = qx_session_create();
  qx_algorithm *alg = square_xs_create(s);
  ASSERT_NE(alg, nullptr);
  EXPECT_EQ(qx_algorithm_get_session(alg), s);
  EXPECT_EQ(qx_session_get_algorithm(s), alg);
  // The session holds an algorithm already: the builder fails cleanly.
  EXPECT_EQ(rectangular_m_create(s), nullptr);
  qx_algorithm_delete(alg);
  EXPECT_EQ(qx_session_get_num_refs(s), 1);
  qx_session_delete(s);
}

TEST_F(Config, RowsOutsideTheEhmFamilyBuildNothing) {
  const qx_config_row *rows = qx_config_registry();
  for (int i = 7; i < 10; ++i) EXPECT_EQ(rows[i].builder(nullptr), nullptr) << rows[i].name;
  for (int i = 15; i < 20; ++i) EXPECT_EQ(rows[i].builder(nullptr), nullptr) << rows[i].name;
}

TEST_F(Config, ChainCreators) {
  qx_verifier_chain *c = ehmhr_create_chain(40);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(qx_verifier_chain_get_main_verifier(c), &ehmhr_verifier);
  EXPECT_EQ(qx_verifier_link_get_max_nbr_of_subtemplates_to_pass_on(
                qx_verifier_chain_get_first_link(c)),
            40);
  qx_verifier_chain_delete(c);
  c = ehm_create_chain(8);
  EXPECT_EQ(qx_verifier_chain_get_main_verifier(c), &ehm_verifier);
  qx_verifier_chain_delete(c);
}

// Structural requirements the verifiers place on any model data (not the
// trained numbers themselves): a non-zero last threshold, column 0 at
// 0, and one coefficient record with weight per model.
TEST_F(Config, ModelTablesHaveTheShapeTheVerifiersNeed) {
  for (const Expected &e : kEhm) {
    SCOPED_TRACE(e.name);
    qx_algorithm *alg = qx_config_find(e.name, 0, 0)->builder(nullptr);
    for (const qx_vermodel *m = qx_algorithm_get_vermodels(alg); m->verifier != nullptr; ++m) {
      EXPECT_NE(m->thresholds[QX_THRESHOLD_ROWS * QX_THRESHOLD_COLUMNS - 1], 0);
      for (int r = 0; r < QX_THRESHOLD_ROWS; ++r) EXPECT_EQ(m->thresholds[r * QX_THRESHOLD_COLUMNS], 0);
      const qx_vermodel_coefficient *k = m->linear != nullptr ? m->linear : m->quadratic;
      int64_t total = 0;
      for (int i = 0; i < m->key1; ++i) total += k[i].weight;
      EXPECT_NE(total, 0);
    }
    qx_algorithm_delete(alg);
  }
}

// From a sensor image to a configuration, as the library does it.
TEST_F(Config, SensorImagesToConfigurations) {
  struct Case { int rows, cols; int32_t memsave; const char *name; };
  const Case cases[] = {{88, 88, 0, "ehmsq-xs"},   {88, 88, 1, "ehmsq-xs"},
                        {200, 80, 0, "ehmre-m"},   {80, 200, 1, "ehmre-m-spmem"},
                        {197, 197, 0, "ehmsq-xl"}, {60, 20, 0, "(none)"},
                        {256, 360, 0, "(none)"}};
  for (const Case &c : cases) {
    qx_image *image = qx_image_create(c.rows, c.cols, 500, 500, nullptr, 0);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(found("ehm", qx_image_get_sensor_size(image), c.memsave), c.name)
        << c.rows << "x" << c.cols;
    qx_image_delete(image);
  }
}

// A builder that runs out of memory at any step returns none and leaks
// nothing, the chain included; one that succeeds may lack a chain link
// (a link that cannot be had is left out).
TEST_F(Config, BuildersUnderMemoryShortage) {
  const long live = qx_alloc_live();
  for (qx_config_builder builder : {square_l_create, square_xs_create}) {
    bool complete = false;
    for (long n = 0; n < 100 && !complete; ++n) {
      qx_alloc_fail_after(n);
      qx_algorithm *alg = builder(nullptr);
      complete = qx_alloc_fail_pending() == 1;
      qx_alloc_fail_after(-1);
      if (alg != nullptr) {
        const int32_t links = qx_verifier_chain_get_nbr_of_links(qx_algorithm_get_verifier_chain(alg));
        EXPECT_EQ(links, complete ? 2 : 1) << n;
        qx_algorithm_delete(alg);
      }
      EXPECT_EQ(qx_alloc_live(), live) << n;
    }
    EXPECT_TRUE(complete);
  }
}

}  // namespace
