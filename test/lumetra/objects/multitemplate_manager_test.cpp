// The multi-template manager: parameters in global record 1, incremental
// updates, queries, copies, conversion and the algorithm's operations.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "engine/match/ehm_verifier.h"
#include "engine/match/qx_config.h"
#include "engine/objects/qx_multitemplate_manager.h"
#include "engine/objects/qx_mt_verify.h"
#include "engine/qx_alloc.h"
#include "engine/qx_rc.h"
#include "lumetra/support/multitemplate_desc.h"

namespace {

using Bytes = std::vector<uint8_t>;

qx_template *tpl_of(const Bytes &bytes, int32_t type = 80) {
  return qx_template_create(type, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

qx_template *capture(uint8_t fill, uint32_t size = 20) {
  return tpl_of(Bytes(size, fill), 67);
}

Bytes encoding_of(qx_multitemplate_manager *m, int32_t keep = 0) {
  qx_template *t = qx_multitemplate_manager_encode(m, keep);
  EXPECT_NE(t, nullptr);
  Bytes b = t != nullptr ? mtdesc::bytes_of(t) : Bytes{};
  qx_template_delete(t);
  return b;
}

Bytes manager_record(qx_multitemplate_manager *m) {
  uint16_t length = 0;
  const uint8_t *rec = qx_multitemplate_get_metadata(qx_multitemplate_manager_get_multitemplate(m),
                                                     QX_MT_GLOBAL_TAG, 1, &length);
  return rec != nullptr ? Bytes(rec, rec + length) : Bytes{};
}

qx_multitemplate_manager *manager_over(const mtdesc::Desc &d) {
  qx_template *t = tpl_of(mtdesc::encode(d, 3));
  qx_multitemplate_manager *m = qx_multitemplate_manager_create_with_template(t);
  qx_template_delete(t);
  return m;
}

// Alignment record: dx, dy (big-endian), rotation, flags.
Bytes alignment_record(int16_t dx, int16_t dy, uint8_t r, bool secondary) {
  return {static_cast<uint8_t>(dx >> 8), static_cast<uint8_t>(dx), static_cast<uint8_t>(dy >> 8),
          static_cast<uint8_t>(dy), r, static_cast<uint8_t>(secondary ? 1 : 0)};
}

TEST(MultitemplateManager, NewManagerWritesItsParameters) {
  qx_multitemplate_manager *m = qx_multitemplate_manager_create(32);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(manager_record(m), (Bytes{32, 12, 3, 0, 0, 0, 0}));
  EXPECT_EQ(qx_multitemplate_manager_allows_further_updates(m), 1);
  EXPECT_EQ(qx_multitemplate_manager_is_incremental(m), 0);
  EXPECT_EQ(qx_multitemplate_manager_get_max_nbr_of_templates(m), 32);
  // An empty manager encodes to the header and record 1: 18 bytes.
  EXPECT_EQ(encoding_of(m), (Bytes{'Q', 'X', 'M', 'T', 0, 3, 255, 1, 1, 0, 7, 32, 12, 3, 0, 0, 0, 0}));
  // The keep-update switch writes the update bit as 0, without changing
  // the manager itself.
  qx_multitemplate_manager_set_max_template_size(m, 0x01020304);
  const Bytes kept = encoding_of(m, 1);
  EXPECT_EQ(Bytes(kept.begin() + 11, kept.end()), (Bytes{32, 12, 1, 1, 2, 3, 4}));
  EXPECT_EQ(qx_multitemplate_manager_allows_further_updates(m), 1);
  EXPECT_EQ(manager_record(m)[2], 1);  // the record now says so
  EXPECT_EQ(encoding_of(m)[13], 3);
  EXPECT_EQ(qx_multitemplate_manager_retain(m), m);
  EXPECT_EQ(qx_multitemplate_manager_get_num_refs(m), 2);
  qx_multitemplate_manager_delete(m);
  qx_multitemplate_manager_delete(m);
  qx_multitemplate_manager_delete(nullptr);
}

TEST(MultitemplateManager, ParametersComeFromRecordOneOrDefaults) {
  mtdesc::Desc d;
  d.global = {{1, {40, 77, 2, 0, 0, 0x10, 0}}, {9, {1}}};
  d.instances = {{1, 67, {1, 2}, {{2, {0}}}}};
  qx_multitemplate_manager *m = manager_over(d);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(qx_multitemplate_manager_get_max_nbr_of_templates(m), 40);
  EXPECT_EQ(qx_multitemplate_manager_allows_further_updates(m), 1);
  EXPECT_EQ(qx_multitemplate_manager_get_max_template_size(m), 0x1000u);
  EXPECT_EQ(qx_multitemplate_manager_is_incremental(m), 0);  // island metadata present
  qx_multitemplate_manager_set_incremental_mode(m);
  EXPECT_EQ(qx_multitemplate_manager_is_incremental(m), 0);
  // Byte 1 and the other global records are carried along unchanged.
  EXPECT_EQ(manager_record(m), (Bytes{40, 77, 2, 0, 0, 0x10, 0}));
  EXPECT_EQ(encoding_of(m), mtdesc::encode(d, 3));
  qx_multitemplate_manager_delete(m);

  // Without record 1 (or with one of another length): no updates.
  for (const Bytes &rec : {Bytes{}, Bytes{40, 77, 2, 0, 0, 0}}) {
    mtdesc::Desc plain;
    if (!rec.empty()) plain.global = {{1, rec}};
    plain.instances = {{1, 67, {1, 2}, {}}};
    m = manager_over(plain);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(qx_multitemplate_manager_get_max_nbr_of_templates(m), 0);
    EXPECT_EQ(qx_multitemplate_manager_allows_further_updates(m), 0);
    EXPECT_EQ(qx_multitemplate_manager_get_max_template_size(m), 0u);
    EXPECT_EQ(qx_multitemplate_manager_is_incremental(m), 1);  // instances, no islands
    qx_template *extra = capture(7);
    int32_t change = -1;
    EXPECT_EQ(qx_multitemplate_manager_enroll_templates(m, &extra, 1, nullptr, nullptr, 0, &change,
                                                        nullptr), QX_RC_OK);
    EXPECT_EQ(change, QX_MTM_NO_CHANGE);
    EXPECT_EQ(qx_multitemplate_get_nbr_of_instances(qx_multitemplate_manager_get_multitemplate(m)), 1);
    // Encoding writes the defaults into record 1.
    const Bytes encoded = encoding_of(m);
    EXPECT_EQ(manager_record(m), (Bytes{0, 18, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Bytes(encoded.begin() + 11, encoded.begin() + 18), manager_record(m));
    qx_template_delete(extra);
    qx_multitemplate_manager_delete(m);
  }

  // Empty, or island records without a value: incremental as the design says.
  mtdesc::Desc empty_island;
  empty_island.instances = {{1, 67, {1}, {{2, {}}}}};
  m = manager_over(empty_island);
  EXPECT_EQ(qx_multitemplate_manager_is_incremental(m), 1);
  qx_multitemplate_manager_delete(m);
  m = manager_over(mtdesc::Desc{});
  EXPECT_EQ(qx_multitemplate_manager_is_incremental(m), 0);
  qx_multitemplate_manager_set_incremental_mode(m);
  EXPECT_EQ(qx_multitemplate_manager_is_incremental(m), 1);
  qx_multitemplate_manager_delete(m);

  // Templates that do not decode have no manager.
  qx_multitemplate_manager *out = nullptr;
  qx_template *wrong = capture(1);
  EXPECT_EQ(qx_multitemplate_manager_create_with_template(wrong), nullptr);
  EXPECT_EQ(qx_multitemplate_manager_create_from_template(wrong, &out), QX_RC_UNSUPPORTED);
  qx_template *bad = tpl_of(Bytes{'Q', 'X', 'M', 'T', 0, 4, 255, 0});
  EXPECT_EQ(qx_multitemplate_manager_create_from_template(bad, &out), QX_RC_BAD_DATA);
  EXPECT_EQ(out, nullptr);
  qx_template_delete(wrong);
  qx_template_delete(bad);
}

TEST(MultitemplateManager, IncrementalUpdateRespectsMaximumAndSizeLimit) {
  qx_multitemplate_manager *m = qx_multitemplate_manager_create(3);
  qx_multitemplate_manager_set_incremental_mode(m);
  ASSERT_EQ(qx_multitemplate_manager_is_incremental(m), 1);
  std::vector<qx_template *> t;
  for (uint8_t i = 0; i < 5; ++i) t.push_back(capture(i));
  int32_t change = -1;
  EXPECT_EQ(qx_multitemplate_manager_enroll_templates(m, t.data(), 5, nullptr, nullptr, 0, &change,
                                                      nullptr), QX_RC_OK);
  EXPECT_EQ(change, QX_MTM_CHANGE_MAIN);
  qx_multitemplate *mt = qx_multitemplate_manager_get_multitemplate(m);
  ASSERT_EQ(qx_multitemplate_get_nbr_of_instances(mt), 3);
  for (int32_t tag = 1; tag <= 3; ++tag) {
    qx_template *got = qx_multitemplate_get_instance(mt, tag);
    EXPECT_EQ(got, t[tag - 1]);
    qx_template_delete(got);
  }
  EXPECT_EQ(qx_multitemplate_manager_get_fill_grade(m), 100);
  // Full: nothing more, no change.
  EXPECT_EQ(qx_multitemplate_manager_enroll_templates(m, t.data() + 3, 2, nullptr, nullptr, 0,
                                                      &change, nullptr), QX_RC_OK);
  EXPECT_EQ(change, QX_MTM_NO_CHANGE);
  qx_multitemplate_manager_delete(m);

  // Size limit: 18 bytes of header and record, 30 per instance (10 + 20).
  m = qx_multitemplate_manager_create(10);
  qx_multitemplate_manager_set_incremental_mode(m);
  qx_multitemplate_manager_set_max_template_size(m, 18 + 30 + 29);
  EXPECT_EQ(qx_multitemplate_manager_enroll_templates(m, t.data(), 5, nullptr, nullptr, 0, &change,
                                                      nullptr), QX_RC_OK);
  EXPECT_EQ(change, QX_MTM_CHANGE_MAIN);
  EXPECT_EQ(qx_multitemplate_get_nbr_of_instances(qx_multitemplate_manager_get_multitemplate(m)), 1);
  EXPECT_EQ(encoding_of(m).size(), 48u);
  qx_multitemplate_manager_delete(m);
  // Nothing fits at all: 19, and the multi-template stays empty.
  m = qx_multitemplate_manager_create(10);
  qx_multitemplate_manager_set_incremental_mode(m);
  qx_multitemplate_manager_set_max_template_size(m, 40);
  EXPECT_EQ(qx_multitemplate_manager_enroll_templates(m, t.data(), 5, nullptr, nullptr, 0, &change,
                                                      nullptr), QX_RC_CAPACITY_FULL);
  EXPECT_EQ(change, QX_MTM_NO_CHANGE);
  EXPECT_EQ(qx_multitemplate_get_nbr_of_instances(qx_multitemplate_manager_get_multitemplate(m)), 0);
  // No templates at all on an empty manager: also 19.
  qx_multitemplate_manager_set_max_template_size(m, 0);
  EXPECT_EQ(qx_multitemplate_manager_enroll_templates(m, nullptr, 0, nullptr, nullptr, 0, &change,
                                                      nullptr), QX_RC_CAPACITY_FULL);
  // Arguments.
  EXPECT_EQ(qx_multitemplate_manager_enroll_templates(m, t.data(), 1, nullptr, nullptr, 0, nullptr,
                                                      nullptr), QX_RC_BAD_ARGUMENT);
  qx_template *with_hole[2] = {t[0], nullptr};
  EXPECT_EQ(qx_multitemplate_manager_enroll_templates(m, with_hole, 2, nullptr, nullptr, 0, &change,
                                                      nullptr), QX_RC_BAD_ARGUMENT);
  qx_multitemplate_manager_delete(m);
  for (qx_template *x : t) qx_template_delete(x);
}

// Instances: 1 main (no record), 2 main (record, bit clear), 3 secondary,
// 4 main in island 0, 5 secondary with island 2.
mtdesc::Desc islands_desc() {
  mtdesc::Desc d;
  d.global = {{1, {3, 12, 3, 0, 0, 0, 0}}};
  d.instances = {
      {1, 67, {1}, {}},
      {2, 67, {2}, {{1, alignment_record(-4, 9, 250, false)}, {2, {1}}}},
      {3, 67, {3}, {{1, alignment_record(7, 0, 3, true)}}},
      {4, 72, {4}, {{2, {0}}}},
      {5, 67, {5}, {{1, alignment_record(0, -1, 0, true)}, {2, {2}}}},
  };
  return d;
}

TEST(MultitemplateManager, QueriesSplitMainAndSecondaryIslands) {
  qx_multitemplate_manager *m = manager_over(islands_desc());
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(qx_multitemplate_manager_get_nbr_of_templates(m), 3);
  EXPECT_EQ(qx_multitemplate_manager_get_nbr_of_unenrolled_templates(m), 2);
  EXPECT_EQ(qx_multitemplate_manager_get_fill_grade(m), 100);
  qx_multitemplate_manager_set_max_nbr_of_templates(m, 7);
  EXPECT_EQ(qx_multitemplate_manager_get_fill_grade(m), 42);  // 300 / 7
  qx_multitemplate_manager_set_max_nbr_of_templates(m, 0);
  EXPECT_EQ(qx_multitemplate_manager_get_fill_grade(m), 0);   // no division by 0

  qx_alignment *a = nullptr;
  int32_t island = -7;
  qx_template *t = qx_multitemplate_manager_get_template(m, 1, &a, &island);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(qx_template_get_data(t)[0], 2);
  EXPECT_EQ(qx_alignment_get_dx(a), -4);
  EXPECT_EQ(qx_alignment_get_dy(a), 9);
  EXPECT_EQ(qx_alignment_get_rotation(a), 250);
  EXPECT_EQ(island, 1);
  qx_alignment_delete(a);

  // The alignment of that very template object; a copy is not found.
  qx_alignment *b = qx_multitemplate_manager_get_subtemplate_alignment(m, t, &island);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(qx_alignment_get_dx(b), -4);
  qx_alignment_delete(b);
  qx_template *copy = qx_template_copy(t);
  EXPECT_EQ(qx_multitemplate_manager_get_subtemplate_alignment(m, copy, &island), nullptr);
  EXPECT_EQ(island, 0);
  qx_template_delete(copy);
  qx_template_delete(t);

  t = qx_multitemplate_manager_get_template(m, 0, &a, &island);
  EXPECT_EQ(qx_template_get_data(t)[0], 1);
  EXPECT_EQ(qx_alignment_get_dx(a), 0);  // no record: identity
  EXPECT_EQ(island, 255);                // no island record
  qx_alignment_delete(a);
  qx_template_delete(t);
  t = qx_multitemplate_manager_get_template(m, 2, nullptr, nullptr);
  EXPECT_EQ(qx_template_get_data(t)[0], 4);
  qx_template_delete(t);
  EXPECT_EQ(qx_multitemplate_manager_get_template(m, 3, &a, &island), nullptr);
  EXPECT_EQ(a, nullptr);

  t = qx_multitemplate_manager_get_unenrolled_template(m, 1, &a, &island);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(qx_template_get_data(t)[0], 5);
  EXPECT_EQ(qx_alignment_get_dy(a), -1);
  EXPECT_EQ(island, 2);
  qx_alignment_delete(a);
  qx_template_delete(t);
  EXPECT_EQ(qx_multitemplate_manager_get_unenrolled_template(m, 2, &a, &island), nullptr);
  EXPECT_EQ(qx_multitemplate_manager_get_unenrolled_template(m, -1, &a, &island), nullptr);
  qx_multitemplate_manager_delete(m);
}

TEST(MultitemplateManager, CopyAndIsCopy) {
  qx_multitemplate_manager *m = manager_over(islands_desc());
  qx_multitemplate_manager *c = qx_multitemplate_manager_copy(m);
  ASSERT_NE(c, nullptr);
  EXPECT_NE(qx_multitemplate_manager_get_multitemplate(c), qx_multitemplate_manager_get_multitemplate(m));
  EXPECT_EQ(encoding_of(c), encoding_of(m));
  qx_template *e = qx_multitemplate_manager_encode(m, 0);
  EXPECT_EQ(qx_multitemplate_manager_is_copy(e, c), 1);
  qx_multitemplate_manager_set_max_template_size(c, 999);  // parameters count too
  EXPECT_EQ(qx_multitemplate_manager_is_copy(e, c), 0);
  qx_template_set_type(e, 67);
  EXPECT_EQ(qx_multitemplate_manager_is_copy(e, m), 0);
  EXPECT_EQ(qx_multitemplate_manager_is_copy(nullptr, m), 0);
  qx_template_delete(e);
  qx_multitemplate_manager_delete(c);
  qx_multitemplate_manager_delete(m);
  EXPECT_EQ(qx_multitemplate_manager_copy(nullptr), nullptr);
}

// A type-72 hybrid record: 7F2E { A1 { 90 }, A2 { 82, C1, C2 image, C3 } }.
Bytes fusion_record() {
  return {0x7F, 0x2E, 25,
          0xA1, 5, 0x90, 3, 1, 2, 3,
          0xA2, 16, 0x82, 1, 9, 0xC1, 2, 5, 6, 0xC2, 3, 0xEE, 0xEE, 0xEE, 0xC3, 2, 1, 0};
}

TEST(MultitemplateManager, ConvertKeepsMainIslandAsHybridTemplates) {
  mtdesc::Desc d = islands_desc();
  d.global.push_back({4, {4}});
  d.instances[3].bytes = fusion_record();
  qx_template *src = tpl_of(mtdesc::encode(d, 3));
  qx_template *out = nullptr;
  ASSERT_EQ(qx_multitemplate_manager_convert(src, 67, &out), QX_RC_OK);
  qx_multitemplate *mt = nullptr;
  ASSERT_EQ(qx_multitemplate_decode(out, &mt), QX_RC_OK);
  mtdesc::Desc want;
  want.global = {d.global[0]};
  want.instances = {d.instances[0], d.instances[1], d.instances[3]};
  want.instances[2].type = 67;
  want.instances[2].bytes = {0x7F, 0x2E, 20, 0xA1, 5, 0x90, 3, 1, 2, 3,
                             0xA2, 11, 0x82, 1, 9, 0xC1, 2, 5, 6, 0xC3, 2, 1, 0};
  EXPECT_EQ(mtdesc::bytes_of(out), mtdesc::encode(want, 3));
  qx_multitemplate_delete(mt);
  qx_template_delete(out);

  EXPECT_EQ(qx_multitemplate_manager_convert(src, 72, &out), QX_RC_UNSUPPORTED);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(qx_multitemplate_manager_convert(src, 67, nullptr), QX_RC_BAD_ARGUMENT);
  qx_template_delete(src);
  // Other instance types are not converted; unreadable input is 3.
  d.instances[0].type = 2;
  src = tpl_of(mtdesc::encode(d, 3));
  EXPECT_EQ(qx_multitemplate_manager_convert(src, 67, &out), QX_RC_UNSUPPORTED);
  qx_template_delete(src);
  d.instances[0].type = 67;
  d.instances[3].bytes = {0x7F, 0x2E, 40, 1};  // a record that is not TLV
  src = tpl_of(mtdesc::encode(d, 3));
  EXPECT_EQ(qx_multitemplate_manager_convert(src, 67, &out), QX_RC_BAD_DATA);
  qx_template_delete(src);
  src = tpl_of(Bytes{'Q', 'X', 'M', 'T', 0, 0, 0, 0});
  EXPECT_EQ(qx_multitemplate_manager_convert(src, 67, &out), QX_RC_BAD_DATA);
  qx_template_set_type(src, 67);
  EXPECT_EQ(qx_multitemplate_manager_convert(src, 67, &out), QX_RC_BAD_DATA);
  qx_template_delete(src);
}

// A verifier whose comparisons are scripted by the test.
int g_compares = 0;
int32_t g_compare_rc = 0;
int32_t g_accept = 1;
int32_t g_far = -1;
int32_t scripted_similarity(qx_session *, qx_template *, qx_template *, int32_t far,
                            uint16_t *score, int32_t *decision, qx_alignment **alignment,
                            qx_template **, const qx_vermodel *) {
  ++g_compares;
  g_far = far;
  *score = g_accept ? 100 : 0;
  if (decision != nullptr) *decision = g_accept;
  if (alignment != nullptr) {
    *alignment = qx_alignment_create(1, 2, 3);
    if (*alignment == nullptr) return QX_RC_NO_MEMORY;
  }
  return g_compare_rc;
}
const qx_verifier_interface kScriptedVerifier = {scripted_similarity, nullptr, nullptr,
                                                 nullptr, nullptr, nullptr};

// Two main-island instances (island 0) under a manager with maximum `max`.
mtdesc::Desc one_island(uint8_t max) {
  mtdesc::Desc d;
  d.global = {{1, {max, 12, 3, 0, 0, 0, 0}}};
  d.instances = {{1, 67, Bytes(20, 0xA1), {{1, alignment_record(0, 0, 0, false)}, {2, {0}}}},
                 {2, 67, Bytes(20, 0xA2), {{1, alignment_record(5, -3, 2, false)}, {2, {0}}}}};
  return d;
}

struct Rebuild {
  int32_t rc;
  int32_t change;
  std::vector<bool> main;  // per instance of the result
  bool new_kept;
};

Rebuild rebuild(qx_multitemplate_manager *m, int32_t option) {
  qx_template *fresh = capture(0xB0);
  Rebuild r{};
  r.change = -1;
  r.rc = qx_multitemplate_manager_enroll_templates(m, &fresh, 1, nullptr, &kScriptedVerifier,
                                                   option, &r.change, nullptr);
  qx_multitemplate *mt = qx_multitemplate_manager_get_multitemplate(m);
  int32_t tag = QX_MT_GLOBAL_TAG;
  while (qx_multitemplate_next_tag(mt, &tag)) {
    r.main.push_back(qx_multitemplate_instance_is_main(mt, tag) != 0);
    qx_template *t = qx_multitemplate_get_instance(mt, tag);
    r.new_kept = r.new_kept || t == fresh;
    qx_template_delete(t);
    // Every instance of a rebuild carries its alignment and island.
    EXPECT_NE(qx_multitemplate_get_metadata(mt, tag, 1, nullptr), nullptr);
    EXPECT_NE(qx_multitemplate_get_instance_island(mt, tag), 255);
  }
  qx_template_delete(fresh);
  return r;
}

TEST(MultitemplateManager, RebuildReportsWhatChanged) {
  g_compare_rc = QX_RC_OK;
  // An accepted new template joins the main island: change 1.
  g_accept = 1;
  qx_multitemplate_manager *m = manager_over(one_island(4));
  g_compares = 0;
  Rebuild r = rebuild(m, 0);
  EXPECT_EQ(r.rc, QX_RC_OK);
  EXPECT_EQ(r.change, QX_MTM_CHANGE_MAIN);
  EXPECT_EQ(r.main, (std::vector<bool>{true, true, true}));
  EXPECT_TRUE(r.new_kept);
  EXPECT_EQ(g_compares, 2);  // only pairs with the new template are compared
  EXPECT_EQ(g_far, 9);
  qx_multitemplate_manager_delete(m);
  // With a maximum of 2 one capture goes; the new one here: no change.
  m = manager_over(one_island(2));
  r = rebuild(m, 0);
  EXPECT_EQ(r.rc, QX_RC_OK);
  EXPECT_EQ(r.change, QX_MTM_NO_CHANGE);
  EXPECT_FALSE(r.new_kept);
  qx_multitemplate_manager_delete(m);

  // A rejected new template is an island of its own: kept as secondary
  // with the island option (change 2), compared at FAR index 12.
  g_accept = 0;
  m = manager_over(one_island(4));
  r = rebuild(m, 1);
  EXPECT_EQ(r.rc, QX_RC_OK);
  EXPECT_EQ(r.change, QX_MTM_CHANGE_SECONDARY);
  EXPECT_EQ(r.main, (std::vector<bool>{true, true, false}));
  EXPECT_EQ(g_far, 12);
  EXPECT_EQ(qx_multitemplate_manager_get_nbr_of_unenrolled_templates(m), 1);
  qx_multitemplate_manager_delete(m);
  // With a maximum of 1: an existing instance dropped, the new one too.
  m = manager_over(one_island(1));
  r = rebuild(m, 0);
  EXPECT_EQ(r.rc, QX_RC_OK);
  EXPECT_EQ(r.change, QX_MTM_CHANGE_REDUCED);
  EXPECT_EQ(r.main.size(), 1u);
  qx_multitemplate_manager_delete(m);

  // The size limit lowers the maximum until the result fits (change 3),
  // and the lowered maximum is written into record 1.
  g_accept = 1;
  m = manager_over(one_island(4));
  qx_multitemplate_manager_set_max_template_size(m, 18 + 2 * (30 + 9 + 4) + 10);
  r = rebuild(m, 0);
  EXPECT_EQ(r.rc, QX_RC_OK);
  EXPECT_EQ(r.change, QX_MTM_CHANGE_REDUCED);
  EXPECT_EQ(r.main.size(), 2u);
  EXPECT_EQ(qx_multitemplate_manager_get_max_nbr_of_templates(m), 2);
  EXPECT_EQ(encoding_of(m)[11], 2);
  qx_multitemplate_manager_delete(m);
  // Nothing fits: 19 once the maximum would reach 0, nothing changed.
  m = manager_over(one_island(4));
  const Bytes before = encoding_of(m);
  qx_multitemplate_manager_set_max_template_size(m, 20);
  r = rebuild(m, 0);
  EXPECT_EQ(r.rc, QX_RC_CAPACITY_FULL);
  EXPECT_EQ(r.change, QX_MTM_NO_CHANGE);
  qx_multitemplate_manager_set_max_template_size(m, 0);
  EXPECT_EQ(encoding_of(m), before);
  qx_multitemplate_manager_delete(m);
}

TEST(MultitemplateManager, RebuildFailuresLeaveTheMultitemplateAlone) {
  qx_multitemplate_manager *m = manager_over(islands_desc());
  ASSERT_EQ(qx_multitemplate_manager_is_incremental(m), 0);
  const Bytes before = encoding_of(m);
  qx_template *t[2] = {capture(1), capture(2)};
  int32_t change = -1;
  // A verifier error ends the rebuild with its code.
  g_compares = 0;
  g_compare_rc = 17;
  EXPECT_EQ(qx_multitemplate_manager_enroll_templates(m, t, 2, nullptr, &kScriptedVerifier, 0,
                                                      &change, nullptr), 17);
  EXPECT_EQ(g_compares, 1);
  EXPECT_EQ(change, QX_MTM_NO_CHANGE);
  EXPECT_EQ(encoding_of(m), before);
  EXPECT_EQ(qx_multitemplate_manager_enroll_templates(m, t, 2, nullptr, nullptr, 0, &change,
                                                      nullptr), QX_RC_BAD_ARGUMENT);
  g_compare_rc = 0;
  // A maximum of 0 cannot choose.
  qx_multitemplate_manager_set_max_nbr_of_templates(m, 0);
  EXPECT_EQ(qx_multitemplate_manager_enroll_templates(m, t, 2, nullptr, &kScriptedVerifier, 0,
                                                      &change, nullptr), QX_RC_CAPACITY_FULL);
  qx_template_delete(t[0]);
  qx_template_delete(t[1]);
  qx_multitemplate_manager_delete(m);
}

TEST(MultitemplateManager, DecisionFromScoreCountsMainIslandInstances) {
  qx_session *session = qx_session_create();
  qx_algorithm *alg = square_xs_create(session);
  ASSERT_NE(alg, nullptr);
  const qx_verifier_interface *verifier = qx_algorithm_get_verifier(alg);
  qx_multitemplate_manager *m = manager_over(islands_desc());  // 3 main, 2 secondary
  for (uint16_t score : {0, 4000, 6000, 9000, 65535}) {
    for (int32_t far : {3, 12, 27}) {
      int32_t want = -1, got = -1;
      uint16_t want_threshold = 0, got_threshold = 0;
      const int32_t want_rc = qx_verifier_decision_from_score(verifier, session, score, 3, far,
                                                              &want, &want_threshold, nullptr);
      EXPECT_EQ(qx_multitemplate_manager_decision_from_score(m, verifier, session, nullptr, score,
                                                             far, &got, &got_threshold, nullptr),
                want_rc);
      EXPECT_EQ(got, want);
      EXPECT_EQ(got_threshold, want_threshold);
    }
  }
  // The count matters: one main instance needs a higher score than three.
  uint16_t three = 0, one = 0;
  int32_t decision = 0;
  qx_verifier_decision_from_score(verifier, session, 0, 1, 12, &decision, &one, nullptr);
  qx_multitemplate_manager_decision_from_score(m, verifier, session, nullptr, 0, 12, &decision,
                                               &three, nullptr);
  EXPECT_NE(one, three);
  decision = -1;
  EXPECT_EQ(qx_multitemplate_manager_decision_from_score(nullptr, verifier, session, nullptr, 0,
                                                         12, &decision, nullptr, nullptr),
            QX_RC_BAD_ARGUMENT);
  EXPECT_EQ(decision, 0);
  qx_multitemplate_manager_delete(m);
  qx_algorithm_delete(alg);
  qx_session_delete(session);
}

TEST(MultitemplateManager, VerificationIsTheMultitemplateVerification) {
  qx_multitemplate_manager *m = manager_over(islands_desc());
  qx_template *probe = capture(1);
  uint16_t score[2] = {1, 1};
  int32_t decision[2] = {-1, -1};
  qx_alignment *a[2] = {nullptr, nullptr};
  EXPECT_EQ(qx_multitemplate_manager_verify_template(m, &kScriptedVerifier, nullptr, probe, 12,
                                                     &score[0], &decision[0], &a[0], nullptr,
                                                     nullptr, nullptr),
            qx_mtm_verify_template(m, &kScriptedVerifier, nullptr, probe, 12, &score[1],
                                   &decision[1], &a[1], nullptr, nullptr, nullptr));
  EXPECT_EQ(score[0], score[1]);
  EXPECT_EQ(decision[0], decision[1]);
  ASSERT_NE(a[0], nullptr);
  EXPECT_EQ(qx_alignment_get_dx(a[0]), qx_alignment_get_dx(a[1]));
  qx_alignment_delete(a[0]);
  qx_alignment_delete(a[1]);
  qx_template_delete(probe);
  qx_multitemplate_manager_delete(m);
}

TEST(MultitemplateManager, AlgorithmBuildsAndUpdatesMultitemplates) {
  qx_algorithm *alg = square_xs_create(nullptr);
  ASSERT_NE(alg, nullptr);
  qx_algorithm_get_config(alg)->max_nbr_subtemplates = 3;
  qx_template *t[4] = {capture(1), capture(2), capture(3), capture(4)};
  qx_template *out = nullptr;
  ASSERT_EQ(qx_algorithm_create_incr_multitemplate(alg, t, 2, &out), QX_RC_OK);
  mtdesc::Desc want;
  want.global = {{1, {3, 12, 3, 0, 0, 0, 0}}};
  want.instances = {{1, 67, Bytes(20, 1), {}}, {2, 67, Bytes(20, 2), {}}};
  EXPECT_EQ(mtdesc::bytes_of(out), mtdesc::encode(want, 3));

  // The update takes a new template in while the maximum allows it.
  qx_template *updated = nullptr;
  ASSERT_EQ(qx_algorithm_update_multitemplate(alg, out, t + 2, 1, &updated), QX_RC_OK);
  ASSERT_NE(updated, nullptr);
  want.instances.push_back({3, 67, Bytes(20, 3), {}});
  EXPECT_EQ(mtdesc::bytes_of(updated), mtdesc::encode(want, 3));
  // Full: no change, no updated template.
  qx_template *again = reinterpret_cast<qx_template *>(&want);
  EXPECT_EQ(qx_algorithm_update_multitemplate(alg, updated, t + 3, 1, &again), QX_RC_OK);
  EXPECT_EQ(again, nullptr);
  // Not a multi-template, or malformed: no updated template.
  EXPECT_EQ(qx_algorithm_update_multitemplate(alg, t[0], t + 3, 1, &again), QX_RC_UNSUPPORTED);
  EXPECT_EQ(again, nullptr);
  qx_template *bad = tpl_of(Bytes{'Q', 'X', 'M', 'T', 0, 3, 2, 0});
  EXPECT_EQ(qx_algorithm_update_multitemplate(alg, bad, t + 3, 1, &again), QX_RC_BAD_DATA);
  EXPECT_EQ(again, nullptr);
  // Made without a manager: updates are switched off.
  mtdesc::Desc plain;
  plain.instances = {{1, 67, {1}, {}}};
  qx_template *foreign = tpl_of(mtdesc::encode(plain, 3));
  EXPECT_EQ(qx_algorithm_update_multitemplate(alg, foreign, t + 3, 1, &again), QX_RC_OK);
  EXPECT_EQ(again, nullptr);

  // The full build compares the templates with the algorithm's verifier:
  // these are no hybrid templates, so it answers what the verifier says.
  qx_template *built = nullptr;
  uint16_t score = 0;
  int32_t decision = 0;
  const int32_t verifier_rc = qx_algorithm_get_verifier(alg)->get_similarity_score(
      qx_algorithm_get_session(alg), t[1], t[0], 9, &score, &decision, nullptr, nullptr, nullptr);
  ASSERT_NE(verifier_rc, QX_RC_OK);
  EXPECT_EQ(qx_algorithm_create_multitemplate(alg, t, 4, &built), verifier_rc);
  EXPECT_EQ(built, nullptr);
  EXPECT_EQ(qx_algorithm_create_multitemplate(alg, t, 4, nullptr), QX_RC_BAD_ARGUMENT);

  qx_template_delete(foreign);
  qx_template_delete(bad);
  qx_template_delete(updated);
  qx_template_delete(out);
  for (qx_template *x : t) qx_template_delete(x);
  qx_algorithm_delete(alg);
}

// Runs `op` with the n-th allocation failing, n = 0, 1, ... until it
// succeeds; every failure must answer 9 (or none) and leak nothing.
void expect_clean_failures(const char *name, const std::function<bool(bool *)> &op) {
  const long live = qx_alloc_live();
  for (long n = 0; n < 2000; ++n) {
    bool out_of_memory = false;
    qx_alloc_fail_after(n);
    const bool ok = op(&out_of_memory);
    const bool fired = !qx_alloc_fail_pending();
    qx_alloc_fail_after(-1);
    if (!fired) {
      EXPECT_TRUE(ok) << name;
      return;
    }
    EXPECT_TRUE(out_of_memory) << name << " failure " << n;
    EXPECT_EQ(qx_alloc_live(), live) << name << " failure " << n;
  }
  ADD_FAILURE() << name << " never succeeded";
}

TEST(MultitemplateManager, OutOfMemoryAnswersNineAndLeaksNothing) {
  mtdesc::Desc d = islands_desc();
  d.instances[3].bytes = fusion_record();
  const Bytes encoded = mtdesc::encode(d, 3);
  qx_template *src = tpl_of(encoded);
  qx_template *news[2] = {capture(8), capture(9)};
  expect_clean_failures("create", [](bool *oom) {
    qx_multitemplate_manager *m = qx_multitemplate_manager_create(5);
    *oom = m == nullptr;
    qx_multitemplate_manager_delete(m);
    return m != nullptr;
  });
  expect_clean_failures("create_from_template", [&](bool *oom) {
    qx_multitemplate_manager *m = nullptr;
    const int32_t rc = qx_multitemplate_manager_create_from_template(src, &m);
    *oom = rc == QX_RC_NO_MEMORY && m == nullptr;
    qx_multitemplate_manager_delete(m);
    return rc == QX_RC_OK;
  });
  expect_clean_failures("convert", [&](bool *oom) {
    qx_template *out = nullptr;
    const int32_t rc = qx_multitemplate_manager_convert(src, 67, &out);
    *oom = rc == QX_RC_NO_MEMORY && out == nullptr;
    qx_template_delete(out);
    return rc == QX_RC_OK;
  });
  qx_multitemplate_manager *m = qx_multitemplate_manager_create_with_template(src);
  ASSERT_NE(m, nullptr);
  expect_clean_failures("encode/copy", [&](bool *oom) {
    qx_multitemplate_manager *c = qx_multitemplate_manager_copy(m);
    *oom = c == nullptr;
    qx_multitemplate_manager_delete(c);
    return c != nullptr;
  });
  expect_clean_failures("get_template", [&](bool *oom) {
    qx_alignment *a = nullptr;
    qx_template *t = qx_multitemplate_manager_get_template(m, 1, &a, nullptr);
    *oom = t == nullptr && a == nullptr;
    qx_alignment_delete(a);
    qx_template_delete(t);
    return t != nullptr;
  });
  expect_clean_failures("rebuild", [&](bool *oom) {
    int32_t change = -1;
    const int32_t rc = qx_multitemplate_manager_enroll_templates(m, news, 2, nullptr,
                                                                 &kScriptedVerifier, 0, &change,
                                                                 nullptr);
    *oom = rc == QX_RC_NO_MEMORY && change == QX_MTM_NO_CHANGE;
    return rc == QX_RC_OK;
  });
  qx_multitemplate_manager_delete(m);

  expect_clean_failures("incremental", [&](bool *oom) {
    qx_multitemplate_manager *inc = qx_multitemplate_manager_create(4);
    if (inc == nullptr) {
      *oom = true;
      return false;
    }
    qx_multitemplate_manager_set_incremental_mode(inc);
    int32_t change = -1;
    const int32_t rc = qx_multitemplate_manager_enroll_templates(inc, news, 2, nullptr, nullptr,
                                                                 0, &change, nullptr);
    const int32_t count =
        qx_multitemplate_get_nbr_of_instances(qx_multitemplate_manager_get_multitemplate(inc));
    *oom = rc == QX_RC_NO_MEMORY && change == 0 && count == 0;
    qx_multitemplate_manager_delete(inc);
    return rc == QX_RC_OK && count == 2;
  });

  // The algorithm's operations the same way.
  qx_algorithm *alg = square_xs_create(nullptr);
  ASSERT_NE(alg, nullptr);
  qx_template *incr = nullptr;
  expect_clean_failures("create_incr_multitemplate", [&](bool *oom) {
    const int32_t rc = qx_algorithm_create_incr_multitemplate(alg, news, 1, &incr);
    *oom = rc == QX_RC_NO_MEMORY && incr == nullptr;
    return rc == QX_RC_OK;
  });
  expect_clean_failures("update_multitemplate", [&](bool *oom) {
    qx_template *out = nullptr;
    const int32_t rc = qx_algorithm_update_multitemplate(alg, incr, news + 1, 1, &out);
    *oom = rc == QX_RC_NO_MEMORY && out == nullptr;
    const bool ok = rc == QX_RC_OK && out != nullptr;
    qx_template_delete(out);
    return ok;
  });
  qx_template_delete(incr);
  qx_algorithm_delete(alg);
  qx_template_delete(news[0]);
  qx_template_delete(news[1]);
  qx_template_delete(src);
}

}  // namespace
