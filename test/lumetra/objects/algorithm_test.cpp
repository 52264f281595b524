// The algorithm object: ownership of its session, the properties it
// writes and takes back, feature states and forwarding to its plug-ins.
#include <gtest/gtest.h>

#include "engine/objects/qx_algorithm.h"

namespace {

class Algorithm : public ::testing::Test {
 protected:
  void SetUp() override { qx_session_clear_properties(nullptr); }
  void TearDown() override { qx_session_clear_properties(nullptr); }
};

// A recording extractor and verifier to see what the algorithm forwards.
struct Seen {
  qx_session *session = nullptr;
  qx_finger *finger = nullptr;
  int32_t finger_user = -1;
  int32_t type = 0;
  int32_t args[4] = {};
  const qx_vermodel *models = nullptr;
  int32_t far_index = -1;
} g_seen;

int32_t fake_extract(qx_session *s, qx_image *, qx_finger *f, int32_t type, qx_template **out) {
  g_seen.session = s;
  g_seen.finger = f;
  g_seen.finger_user = qx_user_get_id(qx_finger_get_user(f));
  g_seen.type = type;
  *out = qx_template_create(type, nullptr, 0);
  return 0;
}

void fake_pref_idim(qx_session *s, int32_t vres, int32_t hres, int32_t rows, int32_t cols,
                    int32_t *ov, int32_t *oh, int32_t *orows, int32_t *ocols) {
  g_seen.session = s;
  g_seen.args[0] = vres;
  g_seen.args[1] = hres;
  g_seen.args[2] = rows;
  g_seen.args[3] = cols;
  *ov = 682;
  *oh = 681;
  *orows = 120;
  *ocols = 121;
}

const qx_extractor_interface kFakeExtractor = {fake_extract, fake_pref_idim};
const qx_extractor_interface kBareExtractor = {nullptr, nullptr};

int32_t fake_similarity(qx_session *s, qx_template *, qx_template *, int32_t far_index,
                        uint16_t *score, int32_t *decision, qx_alignment **, qx_template **,
                        const qx_vermodel *models) {
  g_seen.session = s;
  g_seen.models = models;
  g_seen.far_index = far_index;
  *score = 4321;
  if (decision != nullptr) *decision = 1;
  return 0;
}

const qx_verifier_interface kFakeVerifier = {fake_similarity, nullptr, nullptr,
                                             nullptr,         nullptr, nullptr};
const qx_vermodel kNoModels[] = {{nullptr, 0, 0, nullptr, nullptr, 0, nullptr}};

qx_verifier_chain *fake_chain() {
  qx_verifier_chain *c = qx_verifier_chain_create();
  qx_verifier_chain_append_link(c, qx_verifier_link_create(&kFakeVerifier, &kFakeVerifier,
                                                           0, 0, 0, 0));
  return c;
}

qx_algorithm *make(qx_session *s, const qx_extractor_interface *x, qx_verifier_chain *chain,
                   std::initializer_list<int32_t> on, std::initializer_list<int32_t> mut) {
  qx_algorithm_config config{};
  config.max_nbr_subtemplates = 16;
  config.nbr_enroll_captures = 8;
  return qx_algorithm_create(s, x, chain, 74, 1, 6, on.begin(),
                             static_cast<int32_t>(on.size()), mut.begin(),
                             static_cast<int32_t>(mut.size()), &config);
}

TEST_F(Algorithm, WithoutSessionItOwnsTheOnlyReference) {
  qx_algorithm *alg = make(nullptr, &kFakeExtractor, fake_chain(), {0, 2}, {2});
  ASSERT_NE(alg, nullptr);
  qx_session *s = qx_algorithm_get_session(alg);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(qx_session_get_num_refs(s), 1);
  EXPECT_EQ(qx_session_get_algorithm(s), alg);
  EXPECT_EQ(qx_session_get_sensor_size(s), 6);
  EXPECT_EQ(qx_session_get_sensor_type(s), 1);
  EXPECT_EQ(qx_session_get_int(s, QX_PROP_360, -1), 1);
  EXPECT_EQ(qx_session_get_int(s, QX_PROP_SPECTRAL_FULLSEARCH, -1), 0);
  EXPECT_EQ(qx_session_get_int(s, QX_PROP_SPECTRAL_HR_RANGE, -1), 1);
  EXPECT_EQ(qx_algorithm_get_template_type(alg), 74);
  EXPECT_EQ(qx_algorithm_get_sensor_size(alg), 6);
  EXPECT_EQ(qx_algorithm_get_sensor_type(alg), 1);
  EXPECT_EQ(qx_algorithm_get_config(alg)->max_nbr_subtemplates, 16);
  EXPECT_EQ(qx_algorithm_get_config(alg)->nbr_enroll_captures, 8);
  EXPECT_EQ(qx_algorithm_get_verifier(alg), &kFakeVerifier);
  EXPECT_EQ(qx_algorithm_get_ppmodel(alg), nullptr);
  // Deleting frees session, chain and object (the sanitizer checks it).
  qx_algorithm_delete(alg);
}

TEST_F(Algorithm, DestructionTakesBackExactlyWhatCreationWrote) {
  qx_session *s = qx_session_create();
  ASSERT_EQ(qx_session_set_int(s, "host.value", 3), 0);
  ASSERT_EQ(qx_session_set_int(s, QX_PROP_MAX_MINUTIAE, 40), 0);
  qx_algorithm *alg = make(s, &kFakeExtractor, fake_chain(), {0}, {});
  ASSERT_NE(alg, nullptr);
  EXPECT_EQ(qx_session_get_num_refs(s), 2);
  // A second algorithm on the same session is refused (and its chain
  // stays with the caller).
  qx_verifier_chain *second_chain = fake_chain();
  EXPECT_EQ(make(s, &kFakeExtractor, second_chain, {0}, {}), nullptr);
  qx_verifier_chain_delete(second_chain);

  EXPECT_EQ(qx_algorithm_retain(alg), alg);
  qx_algorithm_delete(alg);
  EXPECT_EQ(qx_session_get_algorithm(s), alg);
  qx_algorithm_delete(alg);

  EXPECT_EQ(qx_session_get_num_refs(s), 1);
  EXPECT_EQ(qx_session_get_algorithm(s), nullptr);
  for (const char *name : {QX_PROP_SENSOR_SIZE, QX_PROP_SENSOR_TYPE, QX_PROP_360,
                           QX_PROP_SPECTRAL_FULLSEARCH, QX_PROP_SPECTRAL_HR_RANGE}) {
    EXPECT_EQ(qx_session_get_int(s, name, -1), -1) << name;
  }
  EXPECT_EQ(qx_session_get_int(s, "host.value", -1), 3);
  EXPECT_EQ(qx_session_get_int(s, QX_PROP_MAX_MINUTIAE, -1), 40);
  // The session is free for a new algorithm.
  alg = make(s, &kFakeExtractor, fake_chain(), {}, {});
  ASSERT_NE(alg, nullptr);
  qx_algorithm_delete(alg);
  qx_session_delete(s);
  qx_algorithm_delete(nullptr);
  EXPECT_EQ(qx_algorithm_retain(nullptr), nullptr);
}

TEST_F(Algorithm, FeatureStatesChangeOnlyWhenMutable) {
  qx_algorithm *alg = make(nullptr, &kFakeExtractor, fake_chain(), {0, 1, 2, 7, -1}, {0, 2});
  ASSERT_NE(alg, nullptr);
  qx_session *s = qx_algorithm_get_session(alg);
  EXPECT_EQ(qx_algorithm_set_feature_state(alg, 3, 1), 1);
  EXPECT_EQ(qx_algorithm_set_feature_state(alg, -1, 1), 1);
  EXPECT_EQ(qx_algorithm_set_feature_state(alg, 1, 0), 1);
  EXPECT_EQ(qx_algorithm_get_feature_state(alg, 1), 1);
  EXPECT_EQ(qx_session_get_int(s, QX_PROP_SPECTRAL_FULLSEARCH, -1), 1);
  EXPECT_EQ(qx_algorithm_feature_is_mutable(alg, 1), 0);

  EXPECT_EQ(qx_algorithm_set_feature_state(alg, 0, 0), 0);
  EXPECT_EQ(qx_algorithm_get_feature_state(alg, 0), 0);
  EXPECT_EQ(qx_session_get_360_state(s), 0);
  EXPECT_EQ(qx_algorithm_set_feature_state(alg, 2, 0), 0);
  EXPECT_EQ(qx_session_get_int(s, QX_PROP_SPECTRAL_HR_RANGE, -1), 0);
  EXPECT_EQ(qx_algorithm_get_feature_state(alg, 3), 0);
  qx_algorithm_delete(alg);
}

TEST_F(Algorithm, ExtractionForwardsSessionTypeAndATemporaryFinger) {
  qx_algorithm *alg = make(nullptr, &kFakeExtractor, fake_chain(), {0}, {0});
  qx_template *out = reinterpret_cast<qx_template *>(1);
  ASSERT_EQ(qx_algorithm_extract_template(alg, nullptr, nullptr, &out), 0);
  EXPECT_EQ(g_seen.session, qx_algorithm_get_session(alg));
  EXPECT_EQ(g_seen.type, 74);
  EXPECT_NE(g_seen.finger, nullptr);
  EXPECT_EQ(g_seen.finger_user, 0);
  EXPECT_EQ(qx_template_get_stored_type(out), 74);
  qx_template_delete(out);

  qx_finger *f = qx_finger_create(4, nullptr);
  ASSERT_EQ(qx_algorithm_extract_template(alg, nullptr, f, &out), 0);
  EXPECT_EQ(g_seen.finger, f);
  EXPECT_EQ(qx_finger_get_num_refs(f), 1);
  qx_template_delete(out);
  qx_finger_delete(f);

  EXPECT_EQ(qx_algorithm_extract_template(alg, nullptr, nullptr, nullptr), 2);
  qx_algorithm_delete(alg);

  // An extractor without extraction answers "not supported".
  alg = make(nullptr, &kBareExtractor, fake_chain(), {}, {});
  out = reinterpret_cast<qx_template *>(1);
  EXPECT_EQ(qx_algorithm_extract_template(alg, nullptr, nullptr, &out), 1);
  EXPECT_EQ(out, nullptr);
  qx_algorithm_delete(alg);
}

TEST_F(Algorithm, PreferredGeometryArgumentOrder) {
  int32_t r = 0, c = 0, v = 0, h = 0;
  // No algorithm: the inputs come back.
  qx_algorithm_get_pref_idim(nullptr, 88, 90, 500, 501, &r, &c, &v, &h);
  EXPECT_EQ(r, 88);
  EXPECT_EQ(c, 90);
  EXPECT_EQ(v, 500);
  EXPECT_EQ(h, 501);

  qx_algorithm *bare = make(nullptr, &kBareExtractor, fake_chain(), {}, {});
  qx_algorithm_get_pref_idim(bare, 60, 61, 362, 363, &r, &c, &v, &h);
  EXPECT_EQ(r, 60);
  EXPECT_EQ(c, 61);
  EXPECT_EQ(v, 362);
  EXPECT_EQ(h, 363);
  qx_algorithm_delete(bare);

  // The extractor sees (vres, hres, rows, cols) and answers in that order.
  qx_algorithm *alg = make(nullptr, &kFakeExtractor, fake_chain(), {}, {});
  qx_algorithm_get_pref_idim(alg, 88, 90, 500, 501, &r, &c, &v, &h);
  EXPECT_EQ(g_seen.args[0], 500);
  EXPECT_EQ(g_seen.args[1], 501);
  EXPECT_EQ(g_seen.args[2], 88);
  EXPECT_EQ(g_seen.args[3], 90);
  EXPECT_EQ(r, 120);
  EXPECT_EQ(c, 121);
  EXPECT_EQ(v, 682);
  EXPECT_EQ(h, 681);
  qx_algorithm_delete(alg);
}

TEST_F(Algorithm, VerificationGoesToTheMainVerifier) {
  qx_algorithm *alg = make(nullptr, &kFakeExtractor, fake_chain(), {}, {});
  qx_algorithm_set_vermodels(alg, kNoModels);
  EXPECT_EQ(qx_algorithm_get_vermodels(alg), kNoModels);
  uint16_t score = 0;
  int32_t decision = 0;
  ASSERT_EQ(qx_algorithm_get_similarity_score(alg, nullptr, nullptr, 12, &score, &decision,
                                              nullptr, nullptr),
            0);
  EXPECT_EQ(score, 4321);
  EXPECT_EQ(decision, 1);
  EXPECT_EQ(g_seen.session, qx_algorithm_get_session(alg));
  EXPECT_EQ(g_seen.models, kNoModels);
  EXPECT_EQ(g_seen.far_index, 12);
  // Slots the verifier does not fill answer "not supported".
  EXPECT_EQ(qx_algorithm_decision_from_score(alg, nullptr, 1, 12, &decision), 1);
  EXPECT_EQ(qx_algorithm_verify_templates(alg, nullptr, 0, nullptr, 12, &decision, nullptr,
                                          nullptr),
            1);
  EXPECT_EQ(qx_algorithm_get_similarity_score(nullptr, nullptr, nullptr, 12, &score, nullptr,
                                              nullptr, nullptr),
            2);
  qx_algorithm_delete(alg);
}

TEST_F(Algorithm, SliceRowsLiveInTheSession) {
  qx_algorithm *alg = make(nullptr, &kFakeExtractor, fake_chain(), {}, {});
  EXPECT_EQ(qx_algorithm_get_slice_rows(alg), 96);
  ASSERT_EQ(qx_algorithm_set_slice_rows(alg, 48), 0);
  EXPECT_EQ(qx_algorithm_get_slice_rows(alg), 48);
  EXPECT_EQ(qx_session_get_slice_rows(qx_algorithm_get_session(alg)), 48);
  qx_algorithm_delete(alg);
}

}  // namespace
