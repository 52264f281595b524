// The enrollment run with a stand-in extractor and verifier: each image
// carries its finger and its placement on the finger in its first pixels,
// the extractor copies them into the template, and the verifier accepts two
// captures of one finger that overlap, with the alignment their placements
// imply.  So events, duplicates, islands and progress are checked against
// known geometry, independent of the real matchers.
#include <gtest/gtest.h>

#include <vector>

#include "engine/match/qx_verifier.h"
#include "engine/objects/qx_multitemplate.h"
#include "engine/objects/qx_multitemplate_enroll.h"
#include "engine/qx_alloc.h"
#include "engine/qx_rc.h"

namespace {

constexpr int kSide = 88;

struct Shot {
  int finger;
  int x;
  int y;
  int r = 0;
  int extract_rc = 0;    // extraction answers this
  int verify_rc = 0;     // comparisons against this capture answer this
};

struct Placement {
  int finger, x, y, r, verify_rc;
};

Placement read_placement(const qx_template *t) {
  const uint8_t *b = qx_template_get_data(t);
  return Placement{b[0], b[1] - 128, b[2] - 128, b[3], b[5]};
}

int32_t fake_extract(qx_session *, qx_image *image, qx_finger *, int32_t type,
                     qx_template **out) {
  *out = nullptr;
  const uint8_t *p = qx_image_get_pixels(image);
  if (p[4] != 0) return p[4];
  *out = qx_template_create(type, p, 6);
  return *out != nullptr ? QX_RC_OK : QX_RC_NO_MEMORY;
}

int g_comparisons = 0;

int32_t fake_similarity(qx_session *, qx_template *a, qx_template *b, int32_t, uint16_t *score,
                        int32_t *decision, qx_alignment **alignment, qx_template **updated,
                        const qx_vermodel *) {
  *score = 0;
  *decision = 0;
  *alignment = nullptr;
  if (updated != nullptr) *updated = nullptr;
  ++g_comparisons;
  const Placement pa = read_placement(a), pb = read_placement(b);
  if (pb.verify_rc != 0) return pb.verify_rc;
  // A point of A lies at finger position p + offset(A), so in B at
  // p + offset(A) - offset(B).
  const int dx = pa.x - pb.x, dy = pa.y - pb.y;
  *alignment = qx_alignment_create(static_cast<int16_t>(dx), static_cast<int16_t>(dy),
                                   static_cast<uint8_t>(pa.r - pb.r));
  if (*alignment == nullptr) return QX_RC_NO_MEMORY;
  const int spread = (dx < 0 ? -dx : dx) + (dy < 0 ? -dy : dy);
  if (pa.finger == pb.finger && spread <= 100) {
    *decision = 1;
    *score = static_cast<uint16_t>(60000 - 100 * spread);
  }
  return QX_RC_OK;
}

const qx_extractor_interface kExtractor = {fake_extract, nullptr};
const qx_verifier_interface kVerifier = {fake_similarity, nullptr, nullptr,
                                         nullptr,         nullptr, nullptr};

std::vector<int> g_events;
std::vector<std::vector<int>> g_report_flags;  // per island, per capture
std::vector<std::vector<qx_enroll_capture_corners>> g_report;
std::vector<std::pair<int, int>> g_counts;

int32_t on_event(qx_session *, uint16_t event, qx_finger *) {
  g_events.push_back(event);
  return 0;
}

int32_t on_islands(qx_session *, qx_enroll_island_report *islands, int32_t n) {
  g_report.clear();
  g_report_flags.clear();
  for (int32_t i = 0; i < n; ++i) {
    g_report.emplace_back(islands[i].captures, islands[i].captures + islands[i].nbr_of_captures);
    std::vector<int> flags;
    for (int32_t k = 0; k < islands[i].nbr_of_captures; ++k) {
      flags.push_back(islands[i].captures[k].flags);
    }
    g_report_flags.push_back(flags);
  }
  return 1;
}

int32_t on_count(qx_session *, int32_t accepted, int32_t capacity) {
  g_counts.emplace_back(accepted, capacity);
  return 1;
}

const qx_enroll_callbacks kCallbacks = {on_event, on_islands, nullptr, nullptr, on_count};

class Enroll : public ::testing::Test {
 protected:
  void make(int capacity, bool mcu = false, const qx_enroll_callbacks *cb = &kCallbacks,
            uint8_t max_subtemplates = 32) {
    qx_verifier_chain *chain = qx_verifier_chain_create();
    qx_verifier_chain_append_link(chain,
                                  qx_verifier_link_create(&kVerifier, &kVerifier, 0, 0, 0, 0));
    qx_algorithm_config config{max_subtemplates, {0, 0, 0}, static_cast<uint8_t>(capacity)};
    alg = qx_algorithm_create(nullptr, &kExtractor, chain, 74, 1, 6, nullptr, 0, nullptr, 0,
                              &config);
    ASSERT_NE(alg, nullptr);
    enroll = mcu ? qx_multitemplate_enroll_mcu_create_algorithm(alg, nullptr, cb, nullptr)
                 : qx_multitemplate_enroll_create_algorithm(alg, nullptr, cb, nullptr);
    ASSERT_NE(enroll, nullptr);
  }
  void SetUp() override {
    live = qx_alloc_live();
    g_events.clear();
    g_report.clear();
    g_report_flags.clear();
    g_counts.clear();
    g_comparisons = 0;
  }
  void TearDown() override {
    qx_multitemplate_enroll_delete(enroll);
    qx_algorithm_delete(alg);
    EXPECT_EQ(qx_alloc_live(), live);
  }
  int32_t run(const Shot &s, uint8_t *progress = nullptr) {
    std::vector<uint8_t> px(kSide * kSide, 200);
    px[0] = static_cast<uint8_t>(s.finger);
    px[1] = static_cast<uint8_t>(s.x + 128);
    px[2] = static_cast<uint8_t>(s.y + 128);
    px[3] = static_cast<uint8_t>(s.r);
    px[4] = static_cast<uint8_t>(s.extract_rc);
    px[5] = static_cast<uint8_t>(s.verify_rc);
    qx_image *img = qx_image_create(kSide, kSide, 500, 500, px.data(), 0);
    if (img == nullptr) return QX_RC_NO_MEMORY;
    g_events.clear();
    const int32_t rc = qx_multitemplate_enroll_run(enroll, img, progress);
    qx_image_delete(img);
    return rc;
  }
  const qx_template *top_of(int island) {
    return qx_subtemplate_get_template(
        qx_island_list_get_top(qx_multitemplate_enroll_get_islands(enroll), island));
  }
  const qx_template *capture(int index) {
    return qx_multitemplate_enroll_get_capture(enroll, index);
  }
  long live = 0;
  qx_algorithm *alg = nullptr;
  qx_multitemplate_enroll *enroll = nullptr;
};

using Events = std::vector<int>;

TEST_F(Enroll, FirstCaptureGivesOnlyItsEventAndTheAreaOfOneRectangle) {
  make(32);
  EXPECT_EQ(qx_session_get_context(qx_algorithm_get_session(alg), QX_CONTEXT_ENROLLMENT),
            enroll);
  uint8_t progress = 99;
  ASSERT_EQ(run({1, 0, 0}, &progress), 0);
  EXPECT_EQ(g_events, Events{0x200B});
  EXPECT_EQ(progress, 8);  // 7744 x 100 / 87500
  EXPECT_EQ(qx_multitemplate_enroll_get_nbr_of_captures(enroll), 1);
  EXPECT_EQ(g_comparisons, 0);
  ASSERT_EQ(g_report.size(), 1u);
  ASSERT_EQ(g_report[0].size(), 1u);
  EXPECT_EQ(g_report[0][0].x[2], 88);
  EXPECT_EQ(g_report[0][0].y[2], 88);
  EXPECT_EQ(g_report_flags[0][0], QX_ENROLL_CAPTURE_NEWEST);
  EXPECT_EQ(g_counts.back(), std::make_pair(1, 32));
}

TEST_F(Enroll, SameImageTwiceIsRefusedAsDuplicateOfTheLatest) {
  make(32);
  uint8_t progress = 0;
  ASSERT_EQ(run({1, 0, 0}, &progress), 0);
  ASSERT_EQ(run({1, 0, 0}, &progress), 0);
  EXPECT_EQ(g_events, (Events{0x200B, 0xF001, 0x1007}));
  EXPECT_EQ(qx_multitemplate_enroll_get_nbr_of_captures(enroll), 1);
  EXPECT_EQ(qx_multitemplate_enroll_get_nbr_of_records(enroll), 2);
  EXPECT_EQ(progress, 8);
  EXPECT_EQ(qx_multitemplate_enroll_get_match(enroll, 1, 0), nullptr);
  // The refused capture is reported as an island of its own.
  ASSERT_EQ(g_report_flags.size(), 2u);
  EXPECT_EQ(g_report_flags[0], std::vector<int>{0});
  EXPECT_EQ(g_report_flags[1],
            std::vector<int>{QX_ENROLL_CAPTURE_NEWEST | QX_ENROLL_CAPTURE_REJECTED});
  EXPECT_EQ(g_counts.back(), std::make_pair(1, 32));
}

TEST_F(Enroll, DuplicateRuleUsesDistanceTenAndAngleSixteen) {
  make(32);
  ASSERT_EQ(run({1, 0, 0}), 0);
  ASSERT_EQ(run({1, 50, 0}), 0);
  EXPECT_EQ(g_events, Events{0x200B});
  // Within 10 of the first capture (6, 8): refused, but not the latest.
  ASSERT_EQ(run({1, 6, 8}), 0);
  EXPECT_EQ(g_events, (Events{0x200B, 0xF001}));
  // Just beyond: (7, 8) is sqrt(113) away; a rotation of 17 steps too.
  ASSERT_EQ(run({1, 7, 8}), 0);
  EXPECT_EQ(g_events, Events{0x200B});
  ASSERT_EQ(run({1, 25, 0, 17}), 0);
  EXPECT_EQ(g_events, Events{0x200B});
  ASSERT_EQ(run({1, 25, 0, 1}), 0);  // 16 steps back from the latest: refused
  EXPECT_EQ(g_events, (Events{0x200B, 0xF001, 0x1007}));
  EXPECT_EQ(qx_multitemplate_enroll_get_nbr_of_captures(enroll), 4);
}

TEST_F(Enroll, UnmatchedCaptureStartsAnIslandAndRaisesProgressOnlyWhenLargest) {
  make(32);
  uint8_t progress = 0;
  ASSERT_EQ(run({1, 0, 0}, &progress), 0);
  ASSERT_EQ(run({2, 0, 0}, &progress), 0);
  EXPECT_EQ(g_events, (Events{0x200B, 0x1008}));
  EXPECT_EQ(progress, 8);
  EXPECT_EQ(g_report.size(), 2u);
  // Finger 2's island grows to two captures: now the largest, 128 x 88.
  ASSERT_EQ(run({2, 40, 0}, &progress), 0);
  EXPECT_EQ(g_events, Events{0x200B});
  EXPECT_EQ(progress, 128 * 88 * 100 / 87500);
  ASSERT_EQ(g_report.size(), 2u);
  EXPECT_EQ(g_report[0].size(), 2u);
  // Finger 1's island grows to two as well, but founded later and equal in
  // size it stays second; its area does not count.
  ASSERT_EQ(run({1, 60, 0}, &progress), 0);
  EXPECT_EQ(progress, 12);
  // The larger-first order keeps finger 2's island (founded first) ahead,
  // and it keeps its first capture on top.
  EXPECT_EQ(top_of(0), capture(1));
  EXPECT_EQ(top_of(1), capture(0));
}

TEST_F(Enroll, ProgressNeverDecreasesAndIslandsKeepTheirTop) {
  make(32);
  uint8_t progress = 0, last = 0;
  const Shot shots[] = {{1, 0, 0},   {1, 40, 0},  {1, 40, 40}, {1, 0, 40},
                        {1, 80, 20}, {1, 20, 80}, {1, 90, 90}, {1, -30, -30}};
  for (const Shot &s : shots) {
    ASSERT_EQ(run(s, &progress), 0);
    EXPECT_GE(progress, last);
    last = progress;
    EXPECT_EQ(top_of(0), capture(0));  // the first capture stays on top
  }
  // Hull of the rectangles at those places.
  EXPECT_GT(progress, 8);
  ASSERT_EQ(g_report.size(), 1u);
  EXPECT_EQ(g_report[0].size(), 8u);
  EXPECT_EQ(g_report[0][0].x[0], 0);  // the top is reported first, untouched
  // A capture of another finger reports a second island but no progress change.
  ASSERT_EQ(run({3, 0, 0}, &progress), 0);
  EXPECT_EQ(progress, last);
}

TEST_F(Enroll, CapacityReachedAnswersNineteen) {
  make(3);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(run({1, 30 * i, 0}), 0);
  uint8_t progress = 77;
  g_counts.clear();
  EXPECT_EQ(run({1, 5, 50}, &progress), QX_RC_CAPACITY_FULL);
  EXPECT_EQ(run({1, 5, 50}, &progress), QX_RC_CAPACITY_FULL);
  EXPECT_EQ(progress, 77);
  EXPECT_TRUE(g_events.empty());
  EXPECT_TRUE(g_counts.empty());
  EXPECT_EQ(qx_multitemplate_enroll_get_nbr_of_records(enroll), 3);
}

TEST_F(Enroll, ExtractionFailureAddsNothingAndReportsZero) {
  make(32);
  uint8_t progress = 0;
  ASSERT_EQ(run({1, 0, 0}, &progress), 0);
  Shot bad{1, 40, 0};
  bad.extract_rc = 17;
  EXPECT_EQ(run(bad, &progress), 17);
  EXPECT_EQ(progress, 0);
  EXPECT_TRUE(g_events.empty());
  EXPECT_EQ(qx_multitemplate_enroll_get_nbr_of_records(enroll), 1);
  ASSERT_EQ(run({1, 40, 0}, &progress), 0);
  EXPECT_GT(progress, 8);
}

TEST_F(Enroll, VerifierErrorEndsComparisonsButTheCaptureIsJudged) {
  make(32);
  ASSERT_EQ(run({1, 0, 0}), 0);
  Shot faulty{1, 120, 0};  // matches nothing; comparisons against it fail
  faulty.verify_rc = 5;
  ASSERT_EQ(run(faulty), 0);  // the first capture has nothing to fail on
  g_comparisons = 0;
  // Compared with capture 0 (accepted), then capture 1 fails: judged on the
  // first comparison, accepted, the verifier's code returned.
  EXPECT_EQ(run({1, 30, 0}), 5);
  EXPECT_EQ(g_comparisons, 2);
  EXPECT_EQ(g_events, Events{0x200B});
  EXPECT_EQ(qx_multitemplate_enroll_get_nbr_of_captures(enroll), 3);
  EXPECT_NE(qx_multitemplate_enroll_get_match(enroll, 2, 0), nullptr);
  EXPECT_EQ(qx_multitemplate_enroll_get_match(enroll, 2, 1), nullptr);
  // A duplicate is still caught on what was compared.
  EXPECT_EQ(run({1, 2, 0}), 5);
  EXPECT_EQ(g_events, (Events{0x200B, 0xF001}));
  EXPECT_EQ(qx_multitemplate_enroll_get_nbr_of_captures(enroll), 3);
}

TEST_F(Enroll, MatrixHoldsMatchesAndInverses) {
  make(32);
  ASSERT_EQ(run({1, 0, 0}), 0);
  ASSERT_EQ(run({1, 30, -20}), 0);
  const qx_match *m = qx_multitemplate_enroll_get_match(enroll, 1, 0);
  const qx_match *inv = qx_multitemplate_enroll_get_match(enroll, 0, 1);
  ASSERT_NE(m, nullptr);
  ASSERT_NE(inv, nullptr);
  EXPECT_EQ(qx_match_get_template1(m), qx_multitemplate_enroll_get_capture(enroll, 1));
  EXPECT_EQ(qx_alignment_get_dx(qx_match_get_alignment(m)), 30);
  EXPECT_EQ(qx_alignment_get_dx(qx_match_get_alignment(inv)), -30);
  EXPECT_EQ(qx_alignment_get_dy(qx_match_get_alignment(inv)), 20);
  // The second capture sits at (30, -20) on the finger, so in the first
  // capture's frame its corner (0, 0) is at (30, -20).
  ASSERT_EQ(g_report[0].size(), 2u);
  EXPECT_EQ(g_report[0][1].x[0], 30);
  EXPECT_EQ(g_report[0][1].y[0], -20);
}

TEST_F(Enroll, ControllerVariantComparesNothing) {
  make(4, true);
  uint8_t progress = 0;
  ASSERT_EQ(run({1, 0, 0}, &progress), 0);
  ASSERT_EQ(run({1, 0, 0}, &progress), 0);
  EXPECT_EQ(g_events, Events{0x200B});
  EXPECT_EQ(g_comparisons, 0);
  EXPECT_EQ(qx_multitemplate_enroll_get_nbr_of_captures(enroll), 2);
  EXPECT_EQ(g_report.size(), 2u);
  EXPECT_EQ(progress, 8);
}

TEST_F(Enroll, WorksWithoutCallbacksAndDeletesFromItsSession) {
  make(32, false, nullptr);
  uint8_t progress = 0;
  ASSERT_EQ(run({1, 0, 0}, &progress), 0);
  ASSERT_EQ(run({1, 0, 0}, &progress), 0);
  EXPECT_EQ(progress, 8);
  qx_session *session = qx_algorithm_get_session(alg);
  qx_multitemplate_enroll_delete(enroll);
  enroll = nullptr;
  EXPECT_EQ(qx_session_get_context(session, QX_CONTEXT_ENROLLMENT), nullptr);
  EXPECT_EQ(qx_session_get_num_refs(session), 1);
}

int g_canvas_calls = 0;
int32_t on_canvas(qx_session *, qx_image *) {
  ++g_canvas_calls;
  return 0;
}

TEST_F(Enroll, CanvasShowsTheLargestIslandsOutlines) {
  const qx_enroll_callbacks cb = {nullptr, nullptr, on_canvas, nullptr, nullptr};
  qx_image *canvas = qx_image_create(200, 200, 500, 500, nullptr, 0);
  qx_verifier_chain *chain = qx_verifier_chain_create();
  qx_verifier_chain_append_link(chain, qx_verifier_link_create(&kVerifier, &kVerifier, 0, 0, 0, 0));
  qx_algorithm_config config{32, {0, 0, 0}, 8};
  alg = qx_algorithm_create(nullptr, &kExtractor, chain, 74, 1, 6, nullptr, 0, nullptr, 0,
                            &config);
  enroll = qx_multitemplate_enroll_create_algorithm(alg, nullptr, &cb, canvas);
  qx_image_delete(canvas);  // the enrollment holds it
  g_canvas_calls = 0;
  ASSERT_EQ(run({1, 0, 0}), 0);
  ASSERT_EQ(run({1, 40, 20}), 0);
  EXPECT_EQ(g_canvas_calls, 2);
  // The union of the two rectangles spans (0, 0) to (128, 108): outlines
  // at both rectangles' edges, white inside and outside.
  const uint8_t *px = qx_image_get_pixels(canvas);
  auto at = [&](int x, int y) { return px[y * 200 + x]; };
  EXPECT_EQ(at(0, 0), 0);
  EXPECT_EQ(at(88, 50), 0);
  EXPECT_EQ(at(128, 108), 0);
  EXPECT_EQ(at(40, 20), 0);
  EXPECT_EQ(at(10, 10), 255);
  EXPECT_EQ(at(150, 150), 255);
}

// Decoded instances of a finalised multi-template: (placement x, island).
std::vector<std::pair<int, int>> instances_of(qx_template *tpl) {
  std::vector<std::pair<int, int>> out;
  qx_multitemplate *mt = nullptr;
  EXPECT_EQ(qx_multitemplate_decode(tpl, &mt), 0);
  for (int32_t i = 0; i < qx_multitemplate_get_nbr_of_instances(mt); ++i) {
    int32_t tag = 0;
    qx_template *sub = qx_multitemplate_get_instance_for_index(mt, i, &tag);
    out.emplace_back(read_placement(sub).x, qx_multitemplate_get_instance_island(mt, tag));
    qx_template_delete(sub);
  }
  qx_multitemplate_delete(mt);
  return out;
}

TEST_F(Enroll, FinalizeWithBudgetSixteenKeepsSixteenOfOneIsland) {
  make(32, false, &kCallbacks, 16);
  qx_template *out = reinterpret_cast<qx_template *>(&live);
  EXPECT_EQ(qx_multitemplate_enroll_finalize_template_algorithm(alg, enroll, &out), 17);
  EXPECT_EQ(out, nullptr);
  // 32 captures in a row, 12 pixels apart: one island.
  for (int i = 0; i < 32; ++i) ASSERT_EQ(run({1, -120 + 12 * (i % 21), 12 * (i / 21)}), 0);
  ASSERT_EQ(qx_multitemplate_enroll_get_nbr_of_captures(enroll), 32);
  ASSERT_EQ(qx_island_list_get_nbr_of_islands(qx_multitemplate_enroll_get_islands(enroll)), 1);
  EXPECT_EQ(qx_multitemplate_enroll_finalize_template_algorithm(alg, enroll, nullptr), 2);
  ASSERT_EQ(qx_multitemplate_enroll_finalize_template_algorithm(alg, enroll, &out), 0);
  EXPECT_EQ(qx_template_get_type(out), QX_TEMPLATE_MULTITEMPLATE);
  const auto kept = instances_of(out);
  ASSERT_EQ(kept.size(), 16u);
  // The stand-in templates hold no minutiae, so each round drops the last
  // candidate: the first 16 captures stay.
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(kept[i].first, -120 + 12 * i);
    EXPECT_EQ(kept[i].second, 0);
  }
  // The enrollment is left intact: a second finalize gives the same bytes.
  qx_template *again = nullptr;
  ASSERT_EQ(qx_multitemplate_enroll_finalize_template_algorithm(alg, enroll, &again), 0);
  EXPECT_EQ(qx_template_is_copy(out, again), 1);
  qx_template_delete(again);
  qx_template_delete(out);
}

TEST_F(Enroll, FinalizeKeepsIslandsInTheirOrder) {
  make(32);
  ASSERT_EQ(run({1, 0, 0}), 0);
  ASSERT_EQ(run({2, 0, 0}), 0);
  ASSERT_EQ(run({2, 30, 0}), 0);
  ASSERT_EQ(run({1, 50, 0}), 0);
  ASSERT_EQ(run({3, 0, 0}), 0);
  qx_template *out = nullptr;
  ASSERT_EQ(qx_multitemplate_enroll_finalize_template_algorithm(alg, enroll, &out), 0);
  // Islands founded by score: finger 2's match (spread 30) before finger 1's
  // (spread 50); finger 3 alone comes last.
  const std::vector<std::pair<int, int>> expected = {{0, 0}, {30, 0}, {0, 1}, {50, 1}, {0, 2}};
  EXPECT_EQ(instances_of(out), expected);
  qx_template_delete(out);
}

TEST_F(Enroll, FinalizeAllocationFailuresAnswerNineAndLeakNothing) {
  make(32);
  for (int i = 0; i < 6; ++i) ASSERT_EQ(run({1 + i % 2, 20 * i, 0}), 0);
  const long before = qx_alloc_live();
  int failures = 0;
  for (long k = 0;; ++k) {
    qx_template *out = nullptr;
    qx_alloc_fail_after(k);
    const int32_t rc = qx_multitemplate_enroll_finalize_template_algorithm(alg, enroll, &out);
    const bool fired = qx_alloc_fail_pending() == 0;
    qx_alloc_fail_after(-1);
    qx_template_delete(out);
    ASSERT_EQ(qx_alloc_live(), before) << k;
    if (rc == 0) {
      EXPECT_FALSE(fired);
      break;
    }
    ASSERT_EQ(rc, 9) << k;
    EXPECT_EQ(out, nullptr);
    ++failures;
  }
  EXPECT_GT(failures, 10);
}

TEST(EnrollCreate, NeedsAnAlgorithmWithCaptures) {
  EXPECT_EQ(qx_multitemplate_enroll_create_algorithm(nullptr, nullptr, nullptr, nullptr),
            nullptr);
  qx_algorithm_config config{32, {0, 0, 0}, 0};
  qx_algorithm *alg = qx_algorithm_create(nullptr, &kExtractor, qx_verifier_chain_create(), 74,
                                          1, 6, nullptr, 0, nullptr, 0, &config);
  EXPECT_EQ(qx_multitemplate_enroll_create_algorithm(alg, nullptr, nullptr, nullptr), nullptr);
  qx_algorithm_delete(alg);
}

TEST_F(Enroll, EveryAllocationFailureAnswersNineAndLeaksNothing) {
  const Shot shots[] = {{1, 0, 0}, {1, 40, 0}, {2, 0, 0}, {1, 0, 0}, {2, 30, 30}, {1, 40, 40}};
  int failures = 0;
  for (long k = 0;; ++k) {
    qx_alloc_fail_after(k);
    bool failed = false;
    qx_verifier_chain *chain = qx_verifier_chain_create();
    qx_verifier_link *link = qx_verifier_link_create(&kVerifier, &kVerifier, 0, 0, 0, 0);
    qx_verifier_chain_append_link(chain, link);
    qx_algorithm_config config{32, {0, 0, 0}, 8};
    alg = qx_algorithm_create(nullptr, &kExtractor, chain, 74, 1, 6, nullptr, 0, nullptr, 0,
                              &config);
    if (alg == nullptr || chain == nullptr || link == nullptr) {
      if (alg == nullptr) qx_verifier_chain_delete(chain);
      if (link != nullptr && chain == nullptr) qx_verifier_link_delete(link);
      failed = true;
    } else {
      enroll = qx_multitemplate_enroll_create_algorithm(alg, nullptr, &kCallbacks, nullptr);
      failed = enroll == nullptr;
      for (const Shot &s : shots) {
        if (failed) break;
        uint8_t progress = 0;
        const int pending = qx_alloc_fail_pending();
        const int32_t rc = run(s, &progress);
        if (pending && !qx_alloc_fail_pending()) {
          EXPECT_EQ(rc, 9) << "failure after " << k << " allocations";
          failed = true;
        } else {
          EXPECT_EQ(rc, 0);
        }
      }
    }
    qx_alloc_fail_after(-1);
    qx_multitemplate_enroll_delete(enroll);
    enroll = nullptr;
    qx_algorithm_delete(alg);
    alg = nullptr;
    ASSERT_EQ(qx_alloc_live(), live) << k;
    if (!failed) break;
    ++failures;
  }
  EXPECT_GT(failures, 50);
}

}  // namespace
