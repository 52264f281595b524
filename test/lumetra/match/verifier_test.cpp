// Verifier chains and links, model lookup, and the operations that are
// not supported.
#include <gtest/gtest.h>

#include "engine/match/qx_config.h"
#include "engine/match/qx_verifier.h"

namespace {

const qx_verifier_interface kOther = {};

TEST(VerifierChain, LinksAppendAtTheTailAndBelongToTheChain) {
  qx_verifier_chain *c = qx_verifier_chain_create();
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(qx_verifier_chain_get_main_verifier(c), nullptr);
  qx_verifier_link *a = qx_verifier_link_create(&cheetah_verifier, &kOther, 5, 1, 2, 9);
  qx_verifier_link *b = qx_verifier_link_create(&ehm_verifier, &ehm_verifier, 0, 0, 0, 0);
  qx_verifier_chain_append_link(c, a);
  qx_verifier_chain_append_link(c, b);
  qx_verifier_chain_append_link(c, a);  // already in the chain: ignored
  qx_verifier_chain_append_link(c, nullptr);
  EXPECT_EQ(qx_verifier_chain_get_nbr_of_links(c), 2);
  EXPECT_EQ(qx_verifier_chain_get_first_link(c), a);
  EXPECT_EQ(qx_verifier_chain_get_last_link(c), b);
  EXPECT_EQ(qx_verifier_link_get_next(a), b);
  EXPECT_EQ(qx_verifier_link_get_prev(b), a);
  EXPECT_EQ(qx_verifier_link_get_feature_score_extractor(a), &cheetah_verifier);
  EXPECT_EQ(qx_verifier_link_get_combined_feature_score_verifier(a), &kOther);
  EXPECT_EQ(qx_verifier_link_get_max_nbr_of_subtemplates_to_pass_on(a), 5);
  EXPECT_EQ(qx_verifier_link_pass_on_feature_scores(a), 1);
  EXPECT_EQ(qx_verifier_link_get_accept_far_shift(a), 2);
  EXPECT_EQ(qx_verifier_link_get_reject_far(a), 9);
  EXPECT_EQ(qx_verifier_chain_get_main_verifier(c), &ehm_verifier);
  qx_verifier_link_delete(a);  // owned by the chain: not freed here
  qx_verifier_chain_delete(c);
  qx_verifier_chain_delete(nullptr);
}

TEST(VerifierModels, FirstRecordMatchingVerifierAndBothKeys) {
  const qx_vermodel list[] = {
      {&ehm_verifier, 0, 30, nullptr, nullptr, 0, nullptr},
      {&ehmhr_verifier, 65000, 24, nullptr, nullptr, 1, nullptr},
      {&ehmhr_verifier, 0, 30, nullptr, nullptr, 2, nullptr},
      {&ehmhr_verifier, 0, 30, nullptr, nullptr, 0, nullptr},
      {nullptr, 0, 0, nullptr, nullptr, 0, nullptr},
      {&cheetah_verifier, 0, 2, nullptr, nullptr, 0, nullptr},  // after the end
  };
  EXPECT_EQ(qx_verifierI_get_vermodel(list, &ehm_verifier, 30, 0), &list[0]);
  EXPECT_EQ(qx_verifierI_get_vermodel(list, &ehmhr_verifier, 24, 65000), &list[1]);
  EXPECT_EQ(qx_verifierI_get_vermodel(list, &ehmhr_verifier, 30, 0), &list[2]);
  EXPECT_EQ(qx_verifierI_get_vermodel(list, &ehmhr_verifier, 24, 0), nullptr);
  EXPECT_EQ(qx_verifierI_get_vermodel(list, &cheetah_verifier, 2, 0), nullptr);
  EXPECT_EQ(qx_verifierI_get_vermodel(nullptr, &ehm_verifier, 30, 0), nullptr);
}

TEST(VerifierModels, ListOfACallFallsBackToTheSessionsAlgorithm) {
  const qx_vermodel *models = nullptr;
  const qx_vermodel given[] = {{nullptr, 0, 0, nullptr, nullptr, 0, nullptr}};
  qx_session *s = qx_session_create();
  EXPECT_EQ(qx_verifier_models_of_call(s, nullptr, &models), 20);
  EXPECT_EQ(qx_verifier_models_of_call(nullptr, nullptr, &models), 20);
  EXPECT_EQ(qx_verifier_models_of_call(s, given, &models), 0);
  EXPECT_EQ(models, given);
  qx_algorithm *alg = square_xs_create(s);
  ASSERT_NE(alg, nullptr);
  EXPECT_EQ(qx_verifier_models_of_call(s, nullptr, &models), 0);
  EXPECT_EQ(models, qx_algorithm_get_vermodels(alg));
  qx_algorithm_delete(alg);
  qx_session_delete(s);
}

TEST(VerifierTables, CheetahCannotDecide) {
  int32_t decision = 7;
  const uint16_t *table = reinterpret_cast<const uint16_t *>(1);
  qx_match *match = reinterpret_cast<qx_match *>(1);
  int32_t index = 7;
  EXPECT_EQ(cheetah_verifier.decision_from_score(nullptr, nullptr, nullptr, 5000, 12,
                                                 &decision, nullptr),
            1);
  EXPECT_EQ(decision, 0);
  EXPECT_EQ(cheetah_verifier.threshold_table(nullptr, 1, 6, &table, nullptr), 1);
  EXPECT_EQ(table, nullptr);
  decision = 7;
  EXPECT_EQ(cheetah_verifier.verify_templates(nullptr, nullptr, 0, nullptr, 12, &decision,
                                              &match, &index, nullptr),
            1);
  EXPECT_EQ(decision, 0);
  EXPECT_EQ(match, nullptr);
  EXPECT_EQ(index, 0);
}

// Every slot of every table is callable: none is left empty.
TEST(VerifierTables, EverySlotIsFilled) {
  for (const qx_verifier_interface *v : {&cheetah_verifier, &ehm_verifier, &ehmhr_verifier}) {
    EXPECT_NE(v->get_similarity_score, nullptr);
    EXPECT_NE(v->decision_from_score, nullptr);
    EXPECT_NE(v->threshold_table, nullptr);
    EXPECT_NE(v->verify_templates, nullptr);
    EXPECT_NE(v->extract_feature_scores, nullptr);
    EXPECT_NE(v->verify_feature_scores, nullptr);
  }
  // The hybrid verifiers share their feature-score extraction.
  EXPECT_EQ(ehm_verifier.extract_feature_scores, ehmhr_verifier.extract_feature_scores);
}

}  // namespace
