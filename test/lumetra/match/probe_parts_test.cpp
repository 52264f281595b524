// A probe's parts kept for the comparisons of one verification: the
// comparisons give what they gave without the scope, whichever side the
// probe is on; the scope serves only its own template while it lives, and
// a failing conversion fails as it did without it.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "engine/match/ehm_verifier.h"
#include "engine/match/probe_parts.h"
#include "engine/objects/qx_alignment.h"
#include "engine/qx_alloc.h"
#include "hybrid_templates.h"

namespace {

// Everything a hybrid and a cheetah comparison report.
struct Comparison {
  int32_t rc = -1;
  std::vector<uint16_t> vector;
  std::array<int32_t, 6> alignment = {};
  int32_t cheetah_rc = -1;
  std::vector<uint16_t> cheetah;
  bool operator==(const Comparison &) const = default;
};

Comparison compare(qx_session *session, qx_template *a, qx_template *b) {
  Comparison c;
  uint16_t *v = nullptr;
  uint8_t n = 0;
  qx_alignment *al = nullptr;
  c.rc = qx_ehm_extract_feature_scores(session, a, b, &v, &n, &al);
  if (v != nullptr) c.vector.assign(v, v + n);
  if (al != nullptr)
    c.alignment = {qx_alignment_get_dx(al),      qx_alignment_get_dy(al),
                   qx_alignment_get_rotation(al), qx_alignment_get_prec_dx(al),
                   qx_alignment_get_prec_dy(al), qx_alignment_get_prec_rotation(al)};
  qx_feature_scores_free(v);
  qx_alignment_delete(al);
  v = nullptr;
  c.cheetah_rc = qx_cheetah_extract_feature_scores(session, a, b, &v, &n, nullptr);
  if (v != nullptr) c.cheetah.assign(v, v + n);
  qx_feature_scores_free(v);
  return c;
}

class ProbeParts : public HybridTemplates {};

TEST_F(ProbeParts, ComparisonsInAScopeEqualThoseWithout) {
  const long live = qx_alloc_live();
  for (int f = 0; f < 3; ++f) {
    qx_template *probe = tpl(f, 1);
    std::vector<Comparison> plain_b, plain_a;
    for (int g = 0; g < 6; ++g) {
      plain_b.push_back(compare(session(), tpl(g / 2, g % 2), probe));
      plain_a.push_back(compare(session(), probe, tpl(g / 2, g % 2)));
      ASSERT_EQ(plain_b.back().rc, 0);
      ASSERT_EQ(plain_b.back().cheetah_rc, 0);
    }
    // Every comparison of the scope after the first takes the kept parts,
    // on either side; the probe against itself takes them on both.
    const qx::ProbeScope scope(session(), probe);
    ASSERT_TRUE(scope.active());
    for (int g = 0; g < 6; ++g) {
      EXPECT_EQ(compare(session(), tpl(g / 2, g % 2), probe), plain_b[g]) << f << " " << g;
      EXPECT_EQ(compare(session(), probe, tpl(g / 2, g % 2)), plain_a[g]) << f << " " << g;
    }
  }
  EXPECT_EQ(qx_alloc_live(), live);
}

TEST_F(ProbeParts, AScopeServesOnlyItsOwnTemplateWhileItLives) {
  qx_template *probe = tpl(0, 0);
  qx_template *copy = qx_template_copy(probe);
  const int32_t refs = qx_template_get_num_refs(probe);
  qx::KeptPart part;
  {
    const qx::ProbeScope scope(session(), probe);
    ASSERT_TRUE(scope.active());
    EXPECT_EQ(qx_template_get_num_refs(probe), refs + 1);
    EXPECT_EQ(qx_session_get_probe_scope(session()), &scope);
    // A scope inside it keeps nothing and leaves the outer one in place.
    {
      const qx::ProbeScope inner(session(), copy);
      EXPECT_FALSE(inner.active());
      EXPECT_EQ(qx_session_get_probe_scope(session()), &scope);
    }
    EXPECT_EQ(qx_session_get_probe_scope(session()), &scope);
    EXPECT_EQ(qx::kept_card(session(), probe, &part), qx::Kept::kYes);
    EXPECT_GT(part.size, 0u);
    EXPECT_EQ(qx::kept_features(session(), probe, false, &part), qx::Kept::kYes);
    qx::KeptPart quick;
    EXPECT_EQ(qx::kept_features(session(), probe, true, &quick), qx::Kept::kYes);
    EXPECT_LT(quick.size, part.size);  // without the fine field
    // The same bytes in another template, another session, no template.
    EXPECT_EQ(qx::kept_card(session(), copy, &part), qx::Kept::kNo);
    qx_session *other = qx_session_create();
    EXPECT_EQ(qx::kept_card(other, probe, &part), qx::Kept::kNo);
    qx_session_delete(other);
    EXPECT_EQ(qx::kept_card(session(), nullptr, &part), qx::Kept::kNo);
    // A probe whose stored type changed is not the one the parts came from.
    const int32_t type = qx_template_get_stored_type(probe);
    qx_template_set_type(probe, type == QX_TEMPLATE_EHM ? QX_TEMPLATE_EHMHR : QX_TEMPLATE_EHM);
    EXPECT_EQ(qx::kept_features(session(), probe, false, &part), qx::Kept::kNo);
    qx_template_set_type(probe, type);
  }
  EXPECT_EQ(qx_session_get_probe_scope(session()), nullptr);
  EXPECT_EQ(qx_template_get_num_refs(probe), refs);
  EXPECT_EQ(qx::kept_card(session(), probe, &part), qx::Kept::kNo);
  // No scope without a session or a probe.
  EXPECT_FALSE(qx::ProbeScope(nullptr, probe).active());
  EXPECT_FALSE(qx::ProbeScope(session(), nullptr).active());
  qx_template_delete(copy);
}

TEST_F(ProbeParts, AProbeThatDoesNotConvertFailsAsWithoutAScope) {
  const uint8_t junk[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  qx_template *bad = qx_template_create(QX_TEMPLATE_EHM, junk, sizeof junk);
  const Comparison as_b = compare(session(), tpl(0, 0), bad);
  const Comparison as_a = compare(session(), bad, tpl(0, 0));
  EXPECT_NE(as_b.rc, 0);
  EXPECT_NE(as_b.cheetah_rc, 0);
  {
    const qx::ProbeScope scope(session(), bad);
    qx::KeptPart part;
    EXPECT_EQ(qx::kept_card(session(), bad, &part), qx::Kept::kNo);
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(compare(session(), tpl(0, 0), bad), as_b);
      EXPECT_EQ(compare(session(), bad, tpl(0, 0)), as_a);
    }
  }
  qx_template_delete(bad);
}

// The scope's own conversions may run out of memory: the comparison
// answers 9 as its own conversion would, and nothing stays allocated.
TEST_F(ProbeParts, EveryAllocationFailureInAScopeAnswersNineAndLeaksNothing) {
  for (const qx_verifier_interface *ver : {&ehmhr_verifier, &cheetah_verifier}) {
    const int failures = check_allocation_failures([ver] {
      const qx::ProbeScope scope(session(), tpl(1, 1));
      uint16_t score = 7;
      int32_t d = 7;
      int32_t rc = 0;
      for (int i = 0; i < 2 && rc == 0; ++i)
        rc = ver->get_similarity_score(session(), tpl(1, i), tpl(1, 1), 12, &score, &d, nullptr,
                                       nullptr, nullptr);
      return rc;
    });
    EXPECT_GT(failures, 2);
  }
}

}  // namespace
