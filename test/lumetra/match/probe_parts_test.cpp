// A probe's parts kept for the comparisons of one verification, and an
// enrolled template's kept across verifications in a store: the
// comparisons give what they gave without them, whichever side the
// template is on; the scope serves only its own template while it lives,
// the store only templates with the bytes its parts came from, and a
// failing conversion fails as it did without them.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
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

// A store serves the comparisons of every scope it is lent to with the
// parts of the bytes they came from: the same comparisons as without it,
// one entry per template content (a copy of a template, or the same bytes
// in a template made afresh, finds the entry of the first), and a template
// made at the address of one it replaces, with other bytes, gets its own.
TEST_F(ProbeParts, AStoreServesEachTemplateThePartsOfItsOwnBytes) {
  const long live = qx_alloc_live();
  qx_template *probe = tpl(2, 1);
  std::vector<Comparison> plain;
  for (int g = 0; g < 4; ++g) plain.push_back(compare(session(), tpl(g / 2, g % 2), probe));
  {
    qx::PartsStore store;
    for (int round = 0; round < 2; ++round) {
      const qx::StoreScope kept(session(), &store);
      ASSERT_TRUE(kept.active());
      EXPECT_EQ(qx_session_get_parts_store(session()), &store);
      const qx::ProbeScope scope(session(), probe);
      for (int g = 0; g < 4; ++g) EXPECT_EQ(compare(session(), tpl(g / 2, g % 2), probe), plain[g]) << round;
      // The probe is served by its scope, never put in the store.
      EXPECT_EQ(store.entries(), 4u);
    }
    EXPECT_EQ(qx_session_get_parts_store(session()), nullptr);
    // A copy elsewhere, and a template made again over a buffer that first
    // holds one template's bytes and then another's.
    qx_template *copy = qx_template_copy(tpl(1, 0));
    std::vector<uint8_t> buffer(qx_template_get_data(tpl(0, 1)),
                                qx_template_get_data(tpl(0, 1)) + qx_template_get_data_size(tpl(0, 1)));
    {
      const qx::StoreScope kept(session(), &store);
      const qx::ProbeScope scope(session(), probe);
      // A scope inside it lends nothing and leaves the outer one in place.
      qx::PartsStore other;
      {
        const qx::StoreScope inner(session(), &other);
        EXPECT_FALSE(inner.active());
        EXPECT_EQ(qx_session_get_parts_store(session()), &store);
      }
      EXPECT_EQ(compare(session(), copy, probe), plain[2]);
      EXPECT_EQ(store.entries(), 4u);
      qx_template *over = qx_template_create_mr(qx_template_get_type(tpl(0, 1)), buffer.data(),
                                                static_cast<uint32_t>(buffer.size()));
      EXPECT_EQ(compare(session(), over, probe), plain[1]);
      EXPECT_EQ(store.entries(), 4u);
      qx_template_delete(over);
      const uint32_t n = qx_template_get_data_size(tpl(1, 1));
      buffer.assign(qx_template_get_data(tpl(1, 1)), qx_template_get_data(tpl(1, 1)) + n);
      over = qx_template_create_mr(qx_template_get_type(tpl(1, 1)), buffer.data(), n);
      EXPECT_EQ(compare(session(), over, probe), plain[3]);
      // The bytes changed under the same buffer: the same content as an
      // entry already made, so still four.
      EXPECT_EQ(store.entries(), 4u);
      // Another stored type is another template.
      const int32_t type = qx_template_get_stored_type(over);
      qx_template_set_type(over, type == QX_TEMPLATE_EHM ? QX_TEMPLATE_EHMHR : QX_TEMPLATE_EHM);
      qx::KeptPart part;
      EXPECT_EQ(qx::kept_card(session(), over, &part), qx::Kept::kYes);
      EXPECT_EQ(store.entries(), 5u);
      qx_template_delete(over);
    }
    qx_template_delete(copy);
    EXPECT_GT(qx_alloc_live(), live);
    store.clear();
    EXPECT_EQ(store.entries(), 0u);
    EXPECT_EQ(qx_alloc_live(), live);
  }
  EXPECT_FALSE(qx::StoreScope(nullptr, nullptr).active());
  EXPECT_FALSE(qx::StoreScope(session(), nullptr).active());
}

// A template that does not convert fails as without a store, every time.
TEST_F(ProbeParts, ATemplateThatDoesNotConvertFailsAsWithoutAStore) {
  const uint8_t junk[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  qx_template *bad = qx_template_create(QX_TEMPLATE_EHM, junk, sizeof junk);
  const Comparison as_a = compare(session(), bad, tpl(0, 0));
  EXPECT_NE(as_a.rc, 0);
  qx::PartsStore store;
  const qx::StoreScope kept(session(), &store);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(compare(session(), bad, tpl(0, 0)), as_a);
  qx_template_delete(bad);
}

// Running out of memory anywhere in a store (its table, an entry, a copy,
// a conversion) answers 9 like any other allocation failure.
TEST_F(ProbeParts, EveryAllocationFailureInAStoreAnswersNineAndLeaksNothing) {
  const int failures = check_allocation_failures([] {
    qx::PartsStore store;
    const qx::StoreScope kept(session(), &store);
    uint16_t score = 7;
    int32_t d = 7;
    int32_t rc = 0;
    for (int i = 0; i < 3 && rc == 0; ++i)
      rc = ehmhr_verifier.get_similarity_score(session(), tpl(i % 2, 0), tpl(1, 1), 12, &score, &d, nullptr,
                                               nullptr, nullptr);
    return rc;
  });
  EXPECT_GT(failures, 4);
}

}  // namespace
