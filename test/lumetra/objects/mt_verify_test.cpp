// Verification against multi-templates with scripted verifiers: each
// subtemplate is a one-byte template whose byte selects its scripted
// score, so combination, counting, acceptance, updates and the chain walk
// over real encoded multi-templates are checked without any matcher.
#include <gtest/gtest.h>

#include <array>
#include <map>
#include <vector>

#include "engine/objects/qx_algorithm.h"
#include "engine/objects/qx_multitemplate.h"
#include "engine/objects/qx_multitemplate_manager.h"
#include "engine/objects/qx_mt_verify.h"
#include "engine/qx_alloc.h"

namespace {

struct Script {
  std::map<uint8_t, uint16_t> scores;
  std::map<uint8_t, int32_t> errors;
  std::vector<uint8_t> compared;
  int tables_read = 0;
};
Script *g = nullptr;

uint8_t id_of(const qx_template *t) { return qx_template_get_data(t)[0]; }

// Every threshold 15000 (column 0 accepts everything).
std::array<uint16_t, QX_THRESHOLD_ROWS * QX_THRESHOLD_COLUMNS> make_table() {
  std::array<uint16_t, QX_THRESHOLD_ROWS * QX_THRESHOLD_COLUMNS> t{};
  for (size_t i = 0; i < t.size(); ++i) t[i] = i % QX_THRESHOLD_COLUMNS == 0 ? 0 : 15000;
  return t;
}
const auto kTable = make_table();

int32_t similarity(qx_session *, qx_template *a, qx_template *, int32_t, uint16_t *score,
                   int32_t *decision, qx_alignment **alignment, qx_template **updated,
                   const qx_vermodel *) {
  *score = 0;
  if (decision != nullptr) *decision = 0;
  if (updated != nullptr) *updated = nullptr;
  if (alignment != nullptr) *alignment = nullptr;
  g->compared.push_back(id_of(a));
  auto e = g->errors.find(id_of(a));
  if (e != g->errors.end()) return e->second;
  *score = g->scores[id_of(a)];
  if (alignment != nullptr) *alignment = qx_alignment_create(0, 1, 0);
  return 0;
}

int32_t table(qx_session *, int32_t, int32_t, const uint16_t **t, const qx_vermodel *) {
  ++g->tables_read;
  *t = kTable.data();
  return 0;
}

// Chain double: one feature score per subtemplate, the link score is it.
int32_t extract(qx_session *, qx_template *a, qx_template *, uint16_t **scores, uint8_t *count,
                qx_alignment **alignment) {
  g->compared.push_back(id_of(a));
  *scores = static_cast<uint16_t *>(qx_malloc(sizeof(uint16_t)));
  if (*scores == nullptr) return 9;
  (*scores)[0] = g->scores[id_of(a)];
  *count = 1;
  if (alignment != nullptr) *alignment = qx_alignment_create_identity();
  return 0;
}
int32_t combine(qx_session *, qx_template *, qx_template *, const uint16_t *scores, uint8_t count,
                int32_t, uint16_t *score, int32_t *decision, const qx_vermodel *) {
  *score = scores[count - 1];
  if (decision != nullptr) *decision = 0;
  return 0;
}
int32_t decide(qx_session *session, qx_template *tpl, const void *, uint16_t score, int32_t far,
               int32_t *decision, const qx_vermodel *);

const qx_verifier_interface kVerifier = {similarity, decide, table, nullptr, extract, combine};
const qx_verifier_interface kOther = {similarity, decide, table, nullptr, extract, combine};

int32_t decide(qx_session *session, qx_template *tpl, const void *, uint16_t score, int32_t far,
               int32_t *decision, const qx_vermodel *) {
  return qx_multitemplate_decision_from_score(tpl, &kVerifier, session, nullptr, score, far,
                                              decision, nullptr, nullptr);
}

struct Instance {
  uint8_t id;
  uint16_t score;
  int16_t island_dx = 0;
  bool secondary = false;
};

class MtVerify : public ::testing::Test {
 protected:
  void SetUp() override {
    g = &script_;
    session_ = qx_session_create();
    qx_session_set_sensor_type_(session_, 1);
    qx_session_set_sensor_size_(session_, 6);
  }
  void TearDown() override {
    for (auto *t : owned_) qx_template_delete(t);
    qx_template_delete(probe_);
    qx_session_delete(session_);
    g = nullptr;
  }
  // An encoded multi-template with update allowed and island records.
  qx_template *encode(const std::vector<Instance> &instances, bool with_islands = true) {
    qx_multitemplate_manager *m = qx_multitemplate_manager_create(64);
    qx_multitemplate *mt = qx_multitemplate_manager_get_multitemplate(m);
    for (const Instance &in : instances) {
      script_.scores[in.id] = in.score;
      qx_template *t = qx_template_create(QX_TEMPLATE_EHMHR, &in.id, 1);
      int32_t tag = 0;
      EXPECT_EQ(qx_multitemplate_add_instance_no_tag(mt, t, &tag), 0);
      qx_template_delete(t);
      if (with_islands) {
        qx_alignment *a = qx_alignment_create(in.island_dx, 0, 0);
        qx_multitemplate_set_instance_alignment(mt, tag, a, in.secondary ? 1 : 0);
        qx_multitemplate_set_instance_island(mt, tag, in.secondary ? 1 : 0);
        qx_alignment_delete(a);
      }
    }
    qx_template *out = qx_multitemplate_manager_encode(m, 0);
    qx_multitemplate_manager_delete(m);
    owned_.push_back(out);
    return out;
  }
  std::vector<Instance> plain(std::vector<uint16_t> scores) {
    std::vector<Instance> v;
    for (size_t i = 0; i < scores.size(); ++i) v.push_back({static_cast<uint8_t>(i + 1), scores[i]});
    return v;
  }
  int32_t verify(qx_template *mt, uint16_t *score, int32_t *decision,
                 qx_alignment **alignment = nullptr, qx_template **updated = nullptr) {
    return qx_multitemplate_verify_template(mt, &kVerifier, session_, probe_, 12, score, decision,
                                            alignment, nullptr, updated, nullptr);
  }

  Script script_;
  qx_session *session_ = nullptr;
  qx_template *probe_ = qx_template_create(QX_TEMPLATE_EHMHR, reinterpret_cast<const uint8_t *>("\xF0"), 1);
  std::vector<qx_template *> owned_;
};

TEST_F(MtVerify, BestTwoCombineWithTheWeightOfTheMainIslandCount) {
  std::vector<uint16_t> s(8, 0);
  s[2] = 20000;
  s[5] = 10000;
  uint16_t score = 0;
  int32_t decision = 0;
  ASSERT_EQ(verify(encode(plain(s)), &score, &decision), 0);
  EXPECT_EQ(score, 19090);  // (200000 + 10000) / 11
  EXPECT_EQ(decision, 1);

  std::vector<uint16_t> forty(40, 0);
  forty[0] = 20000;
  forty[39] = 10000;
  ASSERT_EQ(verify(encode(plain(forty)), &score, &decision), 0);
  EXPECT_EQ(score, (200000 + 5 * 10000) / 15);
}

TEST_F(MtVerify, SecondaryIslandInstancesAreNeitherComparedNorCounted) {
  std::vector<Instance> in = plain({20000, 10000, 0, 0, 0, 0, 0, 0});
  in.push_back({100, 60000, 0, true});
  in.push_back({101, 60000, 0, true});
  uint16_t score = 0;
  int32_t decision = 0;
  ASSERT_EQ(verify(encode(in), &score, &decision), 0);
  EXPECT_EQ(score, 19090);  // n = 8, not 10 (which would weigh the second 2)
  EXPECT_EQ(script_.compared, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST_F(MtVerify, AcceptanceStopsTheDecisionsButNotTheScore) {
  std::vector<Instance> in = plain({1000, 2000, 17000, 3000, 0, 0, 0, 0});
  in[2].island_dx = 22;
  qx_alignment *alignment = nullptr;
  uint16_t score = 0;
  int32_t decision = 0;
  ASSERT_EQ(verify(encode(in), &score, &decision, &alignment), 0);
  EXPECT_EQ(decision, 1);
  EXPECT_EQ(script_.tables_read, 3);  // accepted at the third: (170000 + 2000) / 11 = 15636
  EXPECT_EQ(score, (170000 + 3000) / 11);
  ASSERT_NE(alignment, nullptr);  // the third instance's island alignment, then its match
  EXPECT_EQ(qx_alignment_get_dx(alignment), 22);
  EXPECT_EQ(qx_alignment_get_dy(alignment), 1);
  qx_alignment_delete(alignment);
}

TEST_F(MtVerify, UnreadableTemplatesAndVerifierErrors) {
  const uint8_t junk[] = {'Q', 'X', 'M', 'T', 0, 9, 0, 0};
  qx_template *bad = qx_template_create(QX_TEMPLATE_MULTITEMPLATE, junk, sizeof junk);
  owned_.push_back(bad);
  uint16_t score = 1;
  int32_t decision = 1;
  EXPECT_EQ(verify(bad, &score, &decision), 3);
  EXPECT_EQ(qx_multitemplate_decision_from_score(bad, &kVerifier, session_, nullptr, 100, 12,
                                                 &decision, nullptr, nullptr),
            3);
  EXPECT_EQ(qx_multitemplate_decision_from_score(probe_, &kVerifier, session_, nullptr, 100, 12,
                                                 &decision, nullptr, nullptr),
            1);

  qx_template *mt = encode(plain({30000, 30000, 5}));
  script_.errors[2] = 17;
  qx_alignment *alignment = reinterpret_cast<qx_alignment *>(1);
  EXPECT_EQ(verify(mt, &score, &decision, &alignment), 17);
  EXPECT_EQ(alignment, nullptr);
  EXPECT_EQ(decision, 0);
  EXPECT_EQ(script_.compared.back(), 2);
}

TEST_F(MtVerify, AcceptedProbeIsTakenInWhenAnUpdateIsAsked) {
  // No island records: the manager works incrementally and appends.
  qx_template *mt = encode(plain({20000, 10000, 0}), false);
  uint16_t score = 0;
  int32_t decision = 0;
  qx_template *updated = nullptr;
  ASSERT_EQ(verify(mt, &score, &decision, nullptr, &updated), 0);
  ASSERT_NE(updated, nullptr);
  owned_.push_back(updated);
  qx_multitemplate *decoded = nullptr;
  ASSERT_EQ(qx_multitemplate_decode(updated, &decoded), 0);
  EXPECT_EQ(qx_multitemplate_get_nbr_of_instances(decoded), 4);
  qx_multitemplate_delete(decoded);
  // Not accepted: nothing to take in.
  script_.scores[1] = 0;
  script_.scores[2] = 0;
  ASSERT_EQ(verify(mt, &score, &decision, nullptr, &updated), 0);
  EXPECT_EQ(decision, 0);
  EXPECT_EQ(updated, nullptr);
}

TEST_F(MtVerify, ChainWalkOverEncodedTemplatesSkipsUnreadableOnesWithResult3) {
  const uint8_t junk[] = {'Q', 'X', 'M', 'T', 0, 3, 255, 0, 1};
  qx_template *bad = qx_template_create(QX_TEMPLATE_MULTITEMPLATE, junk, sizeof junk);
  owned_.push_back(bad);
  std::vector<Instance> in = {{1, 100}, {50, 65000, 0, true}, {2, 17000}};
  qx_template *good = encode(in);
  qx_template *enrolled[3] = {bad, nullptr, good};
  qx_verifier_chain *chain = qx_verifier_chain_create();
  qx_verifier_chain_append_link(chain, qx_verifier_link_create(&kVerifier, &kVerifier, 0, 0, 0, 0));
  int32_t decision = 0, t = 0, sub = 0;
  qx_alignment *alignment = nullptr;
  EXPECT_EQ(qx_multitemplate_verify_chain(enrolled, 3, chain, session_, probe_, 12, &decision,
                                          &alignment, &t, &sub, nullptr),
            3);
  EXPECT_EQ(decision, 1);  // (170000 + 100) / 11 = 15463 above 15000
  EXPECT_EQ(t, 2);
  EXPECT_EQ(sub, 1);       // the second main-island instance
  EXPECT_EQ(script_.compared, (std::vector<uint8_t>{1, 2}));
  qx_alignment_delete(alignment);
  qx_verifier_chain_delete(chain);
}

TEST_F(MtVerify, VerifyTemplatesSlotWalksTheAlgorithmsChainForItsMainVerifier) {
  qx_template *weak = encode(plain({100, 200}));
  qx_template *strong = encode({{7, 30000}, {8, 30000}});
  qx_template *enrolled[2] = {weak, strong};
  int32_t decision = 5, index = 5;
  qx_match *match = reinterpret_cast<qx_match *>(1);
  EXPECT_EQ(qx_mt_verify_templates_slot(&kVerifier, session_, enrolled, 2, probe_, 12, &decision,
                                        &match, &index, nullptr),
            20);  // no algorithm in the session
  EXPECT_EQ(match, nullptr);
  EXPECT_EQ(index, -1);

  qx_verifier_chain *chain = qx_verifier_chain_create();
  qx_verifier_chain_append_link(chain, qx_verifier_link_create(&kVerifier, &kVerifier, 0, 0, 0, 0));
  const qx_extractor_interface extractor = {};
  qx_algorithm *alg = qx_algorithm_create(session_, &extractor, chain, QX_TEMPLATE_EHMHR, 1, 6,
                                          nullptr, 0, nullptr, 0, nullptr);
  ASSERT_NE(alg, nullptr);
  EXPECT_EQ(qx_mt_verify_templates_slot(&kOther, session_, enrolled, 2, probe_, 12, &decision,
                                        &match, &index, nullptr),
            2);
  ASSERT_EQ(qx_mt_verify_templates_slot(&kVerifier, session_, enrolled, 2, probe_, 12,
                                        &decision, &match, &index, nullptr),
            0);
  EXPECT_EQ(decision, 1);
  EXPECT_EQ(index, 1);
  ASSERT_NE(match, nullptr);
  EXPECT_EQ(qx_match_get_template1(match), strong);
  EXPECT_EQ(qx_match_get_template2(match), probe_);
  EXPECT_EQ(qx_match_get_score(match), 300000 / 11);  // accepted at the first subtemplate
  EXPECT_EQ(qx_match_get_decision(match), 1);
  qx_match_delete(match);
  qx_algorithm_delete(alg);
}

}  // namespace
