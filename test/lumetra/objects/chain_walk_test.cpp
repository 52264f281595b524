// The verifier-chain walk driven by scripted verifiers: every feature
// score, link score and decision comes from the script, so pass-on counts,
// rejections, ordering, accept FAR indexes and the coherence stage are
// checked independently of any matcher.
#include <gtest/gtest.h>

#include <array>
#include <map>
#include <memory>
#include <vector>

#include "engine/objects/chain_walk.h"
#include "engine/match/mt_coherence.h"
#include "engine/objects/mt_score.h"
#include "engine/qx_alloc.h"

namespace {

struct Decision {
  int link;
  const qx_template *enrolled;
  uint16_t score;
  int far;
};

struct Script {
  // Score of a subtemplate at link 0 and link 1.
  std::map<const qx_template *, std::array<uint16_t, 2>> scores;
  std::map<const qx_template *, std::array<int16_t, 2>> found;  // dx, dy of the match
  std::map<const qx_template *, int> extract_error;
  std::vector<std::pair<int, const qx_template *>> extracted;
  std::vector<int> counts_seen;      // score-vector lengths the judges saw
  std::vector<int> verify_fars;      // FAR indexes handed to the judges
  std::vector<Decision> decisions;
  // The deciding verifier accepts above far x 100.
  int threshold_step = 100;
  void clear_log() {
    extracted.clear();
    counts_seen.clear();
    verify_fars.clear();
    decisions.clear();
  }
};
Script *g_script = nullptr;

template <int L>
int32_t extract(qx_session *, qx_template *a, qx_template *, uint16_t **scores, uint8_t *count,
                qx_alignment **alignment) {
  *scores = nullptr;
  *count = 0;
  if (alignment != nullptr) *alignment = nullptr;
  g_script->extracted.push_back({L, a});
  auto err = g_script->extract_error.find(a);
  if (err != g_script->extract_error.end() && err->second != 0) return err->second;
  auto *v = static_cast<uint16_t *>(qx_malloc(sizeof(uint16_t)));
  if (v == nullptr) return 9;
  v[0] = g_script->scores.at(a)[L];
  *scores = v;
  *count = 1;
  if (alignment != nullptr) {
    auto f = g_script->found.find(a);
    *alignment = f != g_script->found.end() ? qx_alignment_create(f->second[0], f->second[1], 0)
                                            : qx_alignment_create_identity();
  }
  return 0;
}

// The link score is the newest feature score.
int32_t judge(qx_session *, qx_template *, qx_template *, const uint16_t *scores, uint8_t count,
              int32_t far, uint16_t *score, int32_t *decision, const qx_vermodel *) {
  g_script->counts_seen.push_back(count);
  g_script->verify_fars.push_back(far);
  *score = scores[count - 1];
  if (decision != nullptr) *decision = 0;
  return 0;
}

template <int L>
int32_t decide(qx_session *, qx_template *enrolled, const void *, uint16_t score, int32_t far,
               int32_t *decision, const qx_vermodel *) {
  g_script->decisions.push_back({L, enrolled, score, far});
  *decision = 0;
  if (L == 0) return 1;  // the pre-selecting stage cannot decide
  if (far > 27) return 2;
  *decision = score > far * g_script->threshold_step ? 1 : 0;
  return 0;
}

const qx_verifier_interface kQuick = {nullptr, decide<0>, nullptr, nullptr, extract<0>, judge};
const qx_verifier_interface kFull = {nullptr, decide<1>, nullptr, nullptr, extract<1>, judge};
const qx_verifier_interface kFullFirst = {nullptr, decide<1>, nullptr, nullptr, extract<0>,
                                          judge};

// Coherence model for kFull: the score is 65535 as soon as one coherent
// other exists (feature 2), 4096 otherwise.  Thresholds only at `column`.
std::array<qx_vermodel_coefficient, 24> coherence_coefficients() {
  std::array<qx_vermodel_coefficient, 24> c{};
  for (auto &r : c) {
    r.upper = 65535;
    r.scale = 65536;
  }
  c[2].weight = 10;
  return c;
}
const std::array<qx_vermodel_coefficient, 24> kCoherenceCoefficients = coherence_coefficients();

struct Table {
  std::array<uint16_t, QX_THRESHOLD_ROWS * QX_THRESHOLD_COLUMNS> t;
  explicit Table(int column) {
    t.fill(65535);
    for (int r = 0; r < QX_THRESHOLD_ROWS; ++r) t[r * QX_THRESHOLD_COLUMNS + column] = 5000;
  }
};

using ChainPtr = std::unique_ptr<qx_verifier_chain, decltype(&qx_verifier_chain_delete)>;

ChainPtr chain_of(std::initializer_list<std::array<int, 5>> links,
                  std::initializer_list<const qx_verifier_interface *> extractors,
                  std::initializer_list<const qx_verifier_interface *> judges) {
  ChainPtr c(qx_verifier_chain_create(), qx_verifier_chain_delete);
  auto e = extractors.begin();
  auto j = judges.begin();
  for (const auto &l : links) {
    qx_verifier_chain_append_link(c.get(),
                                  qx_verifier_link_create(*e++, *j++, l[0], l[1], l[2], l[3]));
  }
  return c;
}

// Enrolled templates with candidates; owns everything.
class Walk : public ::testing::Test {
 protected:
  void SetUp() override {
    g_script = &script_;
    session_ = qx_session_create();
    qx_session_set_sensor_type_(session_, 1);
    qx_session_set_sensor_size_(session_, 6);
  }
  void TearDown() override {
    qx_alignment_delete(result_.alignment);
    for (auto *t : templates_) qx_template_delete(t);
    for (auto *a : alignments_) qx_alignment_delete(a);
    qx_session_delete(session_);
    g_script = nullptr;
  }
  qx_template *new_template() {
    const uint8_t b = static_cast<uint8_t>(templates_.size());
    templates_.push_back(qx_template_create(QX_TEMPLATE_EHMHR, &b, 1));
    return templates_.back();
  }
  // An enrolled template whose candidates score as given at links 0 and 1.
  int add_enrolled(const std::vector<std::array<uint16_t, 2>> &scores, int island = 0,
                   int16_t island_dx = 0) {
    Enrolled e;
    e.tpl = new_template();
    for (size_t j = 0; j < scores.size(); ++j) {
      qx_template *sub = new_template();
      script_.scores[sub] = scores[j];
      alignments_.push_back(qx_alignment_create(island_dx, 0, 0));
      e.candidates.push_back({sub, alignments_.back(), island, static_cast<int32_t>(j)});
    }
    enrolled_.push_back(std::move(e));
    return static_cast<int>(enrolled_.size()) - 1;
  }
  qx_template *sub(int t, int j) { return enrolled_[t].candidates[j].subtemplate; }
  int32_t run(const qx_verifier_chain *chain, int far, const qx_vermodel *models = nullptr) {
    list_.clear();
    for (auto &e : enrolled_)
      list_.push_back({e.tpl, e.candidates.data(), static_cast<int32_t>(e.candidates.size())});
    qx_alignment_delete(result_.alignment);
    result_ = {};
    return qx_verifier_chain_walk(list_.data(), static_cast<int32_t>(list_.size()), chain,
                                  session_, probe_, far, models, &result_);
  }
  std::vector<const qx_template *> extracted_at(int link) const {
    std::vector<const qx_template *> out;
    for (const auto &e : script_.extracted)
      if (e.first == link) out.push_back(e.second);
    return out;
  }

  struct Enrolled {
    qx_template *tpl;
    std::vector<qx_walk_candidate> candidates;
  };
  Script script_;
  qx_session *session_ = nullptr;
  qx_template *probe_ = qx_template_create(QX_TEMPLATE_EHMHR, reinterpret_cast<const uint8_t *>("p"), 1);
  std::vector<qx_template *> templates_{probe_};
  std::vector<qx_alignment *> alignments_;
  std::vector<Enrolled> enrolled_;
  std::vector<qx_walk_enrolled> list_;
  qx_walk_result result_{};
};

TEST_F(Walk, PreSelectionTrimsToThePassOnCountThenTheSecondLinkAccepts) {
  // Link 0 keeps the best two by quick score: candidates 2 and 0, in
  // that order.  At link 1 candidate 2 alone gives 10000 / 11 = 909, not
  // above 1200; with candidate 0 the combined score of 3000 and 1000 for
  // n = 4 is (30000 + 1000) / 11 = 2818: accepted at candidate 0.
  add_enrolled({{50, 3000}, {10, 9000}, {70, 1000}, {20, 9000}});
  ChainPtr chain = chain_of({{2, 0, 0, 0}, {0, 0, 0, 0}}, {&kQuick, &kFull}, {&kQuick, &kFull});
  ASSERT_EQ(run(chain.get(), 12), 0);
  EXPECT_EQ((extracted_at(1)), (std::vector<const qx_template *>{sub(0, 2), sub(0, 0)}));
  EXPECT_EQ(result_.decision, 1);
  EXPECT_EQ(result_.template_index, 0);
  EXPECT_EQ(result_.subtemplate_index, 0);
  // The cheetah-like stage was asked (and could not decide) for every
  // candidate and at its reject FAR; the second link asked twice.
  ASSERT_EQ(script_.decisions.size(), 4u + 1u + 2u);
  EXPECT_EQ(script_.decisions[4].far, 0);
  EXPECT_EQ(script_.decisions[5].score, 909);
  EXPECT_EQ(script_.decisions[6].score, 2818);
  EXPECT_EQ(script_.decisions[6].enrolled, enrolled_[0].tpl);
  EXPECT_EQ(script_.decisions[6].far, 12);
}

TEST_F(Walk, AcceptanceAtTheThirdCandidateReportsItAndItsPlacement) {
  add_enrolled({{0, 100}, {0, 200}, {0, 2000}, {0, 9000}}, 0, 5);
  script_.found[sub(0, 2)] = {7, -2};
  ChainPtr chain = chain_of({{0, 0, 0, 0}}, {&kFull}, {&kFull});
  ASSERT_EQ(run(chain.get(), 12), 0);
  EXPECT_EQ(result_.decision, 1);
  EXPECT_EQ(result_.subtemplate_index, 2);
  EXPECT_EQ(extracted_at(1).size(), 3u);  // the walk ends with the acceptance
  ASSERT_NE(result_.alignment, nullptr);
  EXPECT_EQ(qx_alignment_get_dx(result_.alignment), 12);  // island (5, 0), then match (7, -2)
  EXPECT_EQ(qx_alignment_get_dy(result_.alignment), -2);
}

TEST_F(Walk, RejectedTemplatesCloseAndTheOthersGoOnInScoreOrder) {
  // Link 0 decides: it accepts above 24000 (FAR 12) and rejects template
  // scores of 6000 or less (reject FAR 3).  The weak template scores 200,
  // the good one (90000 + 4000) / 11 = 8545, the better one 18454.
  const int weak = add_enrolled({{100, 0}, {200, 0}});
  const int good = add_enrolled({{4000, 5000}, {9000, 100}});
  const int better = add_enrolled({{20000, 100}, {3000, 6000}});
  (void)weak;
  script_.threshold_step = 2000;
  ChainPtr chain =
      chain_of({{1, 1, 0, 3}, {0, 0, 0, 0}}, {&kFullFirst, &kFull}, {&kFullFirst, &kFull});
  ASSERT_EQ(run(chain.get(), 12), 0);
  // At link 1 the better template (best quick score 2000) goes first, and
  // each keeps only its best candidate; the weak one is gone.
  EXPECT_EQ((extracted_at(1)), (std::vector<const qx_template *>{sub(better, 0), sub(good, 1)}));
  // Link 0 passed its scores on: the judges of link 1 saw two scores.
  EXPECT_EQ(script_.counts_seen.back(), 2);
  EXPECT_EQ(script_.counts_seen.front(), 1);
  EXPECT_EQ(result_.decision, 0);
  EXPECT_EQ(result_.template_index, -1);
  EXPECT_EQ(result_.alignment, nullptr);
}

TEST_F(Walk, ScoresAreNotPassedOnWhenTheLinkSaysSo) {
  add_enrolled({{100, 0}, {200, 0}});
  ChainPtr chain = chain_of({{2, 0, 0, 0}, {0, 0, 0, 0}}, {&kQuick, &kFull}, {&kQuick, &kFull});
  ASSERT_EQ(run(chain.get(), 12), 0);
  EXPECT_EQ(script_.counts_seen, (std::vector<int>{1, 1, 1, 1}));
}

TEST_F(Walk, AcceptFarIsShiftedAndCappedAt27) {
  add_enrolled({{0, 0}});
  ChainPtr chain = chain_of({{0, 0, 3, 0}}, {&kFull}, {&kFull});
  ASSERT_EQ(run(chain.get(), 26), 0);
  EXPECT_EQ(script_.verify_fars, (std::vector<int>{27}));
  EXPECT_EQ(script_.decisions.front().far, 27);
  script_.clear_log();
  ASSERT_EQ(run(chain.get(), 5), 0);
  EXPECT_EQ(script_.decisions.front().far, 8);
}

TEST_F(Walk, FarIndex28ReportsTheScoreOfASingleTemplate) {
  add_enrolled({{0, 3000}, {0, 1000}});
  ChainPtr chain = chain_of({{0, 0, 4, 0}}, {&kFull}, {&kFull});
  ASSERT_EQ(run(chain.get(), 28), 0);
  EXPECT_EQ(script_.verify_fars.front(), 28);  // the shift does not apply
  EXPECT_EQ(result_.decision, (30000 + 1000) / 11);
  EXPECT_EQ(result_.template_index, -1);
  add_enrolled({{0, 3000}});
  ASSERT_EQ(run(chain.get(), 28), 0);
  EXPECT_EQ(result_.decision, 0);  // two templates: no score report
  EXPECT_EQ(run(chain.get(), 29), 2);
}

TEST_F(Walk, FeatureExtractionErrorEndsTheWalk) {
  add_enrolled({{0, 100}, {0, 100}});
  add_enrolled({{0, 9000}});
  script_.extract_error[sub(0, 1)] = 17;
  ChainPtr chain = chain_of({{0, 0, 0, 0}}, {&kFull}, {&kFull});
  EXPECT_EQ(run(chain.get(), 12), 17);
  EXPECT_EQ(result_.decision, 0);
  EXPECT_EQ(result_.template_index, -1);
  EXPECT_EQ(result_.subtemplate_index, -1);
  EXPECT_EQ(extracted_at(1).size(), 2u);  // the second template was never reached
}

TEST_F(Walk, AbsentTemplatesAreSkipped) {
  add_enrolled({{0, 100}});
  const int second = add_enrolled({{0, 9000}});
  enrolled_[0].tpl = nullptr;
  ChainPtr chain = chain_of({{0, 0, 0, 0}}, {&kFull}, {&kFull});
  ASSERT_EQ(run(chain.get(), 12), 0);
  EXPECT_EQ(result_.template_index, second);
  EXPECT_EQ(extracted_at(1).size(), 1u);
  enrolled_[0].tpl = templates_[1];  // restore for the fixture's release
}

class CoherentWalk : public Walk {
 protected:
  // 16 candidates of one island with low scores, each placing the probe
  // `spread` pixels further right than the one before.
  void build(int count, int16_t spread) {
    std::vector<std::array<uint16_t, 2>> scores(static_cast<size_t>(count), {0, 200});
    scores[3] = {0, 500};
    const int t = add_enrolled(scores, 1);
    for (int j = 0; j < count; ++j) script_.found[sub(t, j)] = {static_cast<int16_t>(j * spread), 0};
  }
  int32_t run_with_model(const qx_verifier_chain *chain, int far, int column) {
    table_ = std::make_unique<Table>(column);
    models_[0] = {&kFull, QX_MTCOHER_MODEL_KEY, 24, nullptr, kCoherenceCoefficients.data(), 1,
                  table_->t.data()};
    models_[1] = {};
    return run(chain, far, models_);
  }
  std::unique_ptr<Table> table_;
  qx_vermodel models_[2];
};

TEST_F(CoherentWalk, AgreeingCandidatesAcceptAtTheShiftedFarWithoutSingleAcceptance) {
  build(16, 0);
  ChainPtr chain = chain_of({{0, 0, 2, 0}}, {&kFull}, {&kFull});
  // The coherence state makes single acceptance one index stricter
  // (12 + 2 + 1 = 15); the coherence verifier decides at 14.
  ASSERT_EQ(run_with_model(chain.get(), 12, 14), 0);
  EXPECT_EQ(script_.verify_fars.front(), 15);
  EXPECT_EQ(result_.decision, 1);
  EXPECT_EQ(result_.subtemplate_index, 3);  // the best candidate
  // A table usable only at 15 (the single-acceptance index) does not
  // accept through coherence.
  script_ = Script{};
  build(16, 0);
  enrolled_.erase(enrolled_.begin());
  ASSERT_EQ(run_with_model(chain.get(), 12, 15), 0);
  EXPECT_EQ(result_.decision, 0);
}

TEST_F(CoherentWalk, ScatteredCandidatesAndSmallTemplatesGetNoSecondChance) {
  build(16, 300);  // every placement far from the others: nothing coherent
  ChainPtr chain = chain_of({{0, 0, 2, 0}}, {&kFull}, {&kFull});
  ASSERT_EQ(run_with_model(chain.get(), 12, 14), 0);
  EXPECT_EQ(result_.decision, 0);
  enrolled_.clear();
  script_ = Script{};
  build(15, 0);  // 15 candidates: no coherence state, no +1
  ASSERT_EQ(run_with_model(chain.get(), 12, 14), 0);
  EXPECT_EQ(script_.verify_fars.front(), 14);
  EXPECT_EQ(result_.decision, 0);
}

TEST_F(CoherentWalk, PreSelectionDecidesWhetherTheSecondLinkHasCoherence) {
  // Of 20 candidates the first link passes 16 (coherence, accept FAR 13,
  // coherence decides at 12) or 15 (no coherence, accept FAR 12).
  const struct { int pass_on, decision, far; } cases[] = {{16, 1, 13}, {15, 0, 12}};
  for (const auto &c : cases) {
    script_ = Script{};
    enrolled_.clear();
    build(20, 0);
    ChainPtr chain =
        chain_of({{c.pass_on, 0, 0, 0}, {0, 0, 0, 0}}, {&kQuick, &kFull}, {&kQuick, &kFull});
    ASSERT_EQ(run_with_model(chain.get(), 12, 12), 0);
    EXPECT_EQ(result_.decision, c.decision) << c.pass_on;
    EXPECT_EQ(script_.verify_fars.back(), c.far) << c.pass_on;
  }
}

TEST_F(Walk, AllocationFailuresAnswerNineAndLeakNothing) {
  add_enrolled({{10, 100}, {20, 200}, {30, 300}});
  add_enrolled({{10, 100}, {20, 5000}});  // accepted at link 1, second template
  ChainPtr chain = chain_of({{2, 1, 0, 0}, {0, 0, 0, 0}}, {&kQuick, &kFull}, {&kQuick, &kFull});
  const long live = qx_alloc_live();
  for (long n = 0; n < 60; ++n) {
    script_.clear_log();
    qx_alloc_fail_after(n);
    const int32_t rc = run(chain.get(), 12);
    const bool fired = !qx_alloc_fail_pending();
    qx_alloc_fail_after(-1);
    EXPECT_TRUE(rc == 0 || rc == 9) << n;
    if (!fired) {
      EXPECT_EQ(rc, 0);
      EXPECT_EQ(result_.decision, 1);
    }
    qx_alignment_delete(result_.alignment);
    result_ = {};
    EXPECT_EQ(qx_alloc_live(), live) << n;
  }
}

}  // namespace
