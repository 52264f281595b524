// The multi-template object: instances, tags and metadata records.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "engine/objects/qx_multitemplate.h"
#include "engine/qx_alloc.h"
#include "engine/qx_rc.h"

namespace {

qx_template *small_template(uint8_t fill) {
  const uint8_t bytes[3] = {fill, fill, fill};
  return qx_template_create(67, bytes, 3);
}

std::vector<int32_t> tags_of(const qx_multitemplate *mt) {
  std::vector<int32_t> tags;
  int32_t tag = QX_MT_GLOBAL_TAG;
  while (qx_multitemplate_next_tag(mt, &tag)) tags.push_back(tag);
  return tags;
}

std::vector<int32_t> keys_of(const qx_multitemplate *mt, int32_t tag) {
  std::vector<int32_t> keys;
  int32_t key = QX_MT_KEY_START;
  while (qx_multitemplate_next_metadata(mt, tag, &key)) keys.push_back(key);
  return keys;
}

TEST(Multitemplate, InstancesKeepInsertionOrderAndUniqueTags) {
  qx_multitemplate *mt = qx_multitemplate_create();
  ASSERT_NE(mt, nullptr);
  qx_template *a = small_template(1);
  qx_template *b = small_template(2);
  EXPECT_EQ(qx_multitemplate_add_instance(mt, 5, a), QX_RC_OK);
  EXPECT_EQ(qx_multitemplate_add_instance(mt, -1, b), QX_RC_OK);
  EXPECT_EQ(qx_multitemplate_add_instance(mt, 3, a), QX_RC_OK);
  EXPECT_EQ(qx_template_get_num_refs(a), 3);  // retained by two instances
  EXPECT_EQ(qx_multitemplate_add_instance(mt, 5, b), QX_RC_BAD_ARGUMENT);
  EXPECT_EQ(qx_multitemplate_add_instance(mt, QX_MT_GLOBAL_TAG, b), QX_RC_BAD_ARGUMENT);
  EXPECT_EQ(qx_multitemplate_add_instance(mt, 9, nullptr), QX_RC_BAD_ARGUMENT);
  EXPECT_EQ(qx_multitemplate_get_nbr_of_instances(mt), 3);
  EXPECT_EQ(tags_of(mt), (std::vector<int32_t>{5, -1, 3}));

  int32_t tag = 0;
  qx_template *got = qx_multitemplate_get_instance_for_index(mt, 1, &tag);
  EXPECT_EQ(got, b);
  EXPECT_EQ(tag, -1);
  qx_template_delete(got);
  EXPECT_EQ(qx_multitemplate_get_instance_for_index(mt, 3, &tag), nullptr);
  EXPECT_EQ(tag, 0);
  EXPECT_EQ(qx_multitemplate_get_instance_for_index(mt, -1, &tag), nullptr);
  got = qx_multitemplate_get_instance(mt, 3);
  EXPECT_EQ(got, a);
  EXPECT_EQ(qx_template_get_num_refs(a), 4);
  qx_template_delete(got);
  EXPECT_EQ(qx_multitemplate_get_instance(mt, 4), nullptr);

  // Walking: an unknown tag ends the walk, the last tag too.
  tag = 77;
  EXPECT_EQ(qx_multitemplate_next_tag(mt, &tag), 0);
  tag = 3;
  EXPECT_EQ(qx_multitemplate_next_tag(mt, &tag), 0);

  EXPECT_EQ(qx_multitemplate_remove_instance(mt, -1), QX_RC_OK);
  EXPECT_EQ(qx_multitemplate_remove_instance(mt, -1), QX_RC_TRUNCATED);
  EXPECT_EQ(qx_template_get_num_refs(b), 1);
  EXPECT_EQ(tags_of(mt), (std::vector<int32_t>{5, 3}));
  // Removing the last instance keeps appending at the right place.
  EXPECT_EQ(qx_multitemplate_remove_instance(mt, 3), QX_RC_OK);
  EXPECT_EQ(qx_multitemplate_add_instance(mt, 8, b), QX_RC_OK);
  EXPECT_EQ(tags_of(mt), (std::vector<int32_t>{5, 8}));
  qx_multitemplate_remove_all_instances(mt);
  EXPECT_EQ(qx_multitemplate_get_nbr_of_instances(mt), 0);
  EXPECT_TRUE(tags_of(mt).empty());
  EXPECT_EQ(qx_template_get_num_refs(a), 1);
  EXPECT_EQ(qx_template_get_num_refs(b), 1);

  qx_multitemplate_delete(mt);
  qx_template_delete(a);
  qx_template_delete(b);
}

TEST(Multitemplate, TagWithoutTagIsOneAboveTheHighest) {
  qx_multitemplate *mt = qx_multitemplate_create();
  qx_template *t = small_template(0);
  int32_t tag = -5;
  EXPECT_EQ(qx_multitemplate_add_instance_no_tag(mt, t, &tag), QX_RC_OK);
  EXPECT_EQ(tag, 1);  // empty: 1
  qx_multitemplate_remove_all_instances(mt);
  for (int32_t existing : {1, 2, 7}) ASSERT_EQ(qx_multitemplate_add_instance(mt, existing, t), 0);
  EXPECT_EQ(qx_multitemplate_add_instance_no_tag(mt, t, &tag), QX_RC_OK);
  EXPECT_EQ(tag, 8);
  qx_multitemplate_remove_all_instances(mt);
  ASSERT_EQ(qx_multitemplate_add_instance(mt, -7, t), 0);  // negative tags only: still 1
  EXPECT_EQ(qx_multitemplate_add_instance_no_tag(mt, t, &tag), QX_RC_OK);
  EXPECT_EQ(tag, 1);
  // Above INT32_MAX lies only the reserved global tag: refused, no wrap.
  ASSERT_EQ(qx_multitemplate_add_instance(mt, INT32_MAX, t), 0);
  EXPECT_EQ(qx_multitemplate_add_instance_no_tag(mt, t, &tag), QX_RC_BAD_ARGUMENT);
  EXPECT_EQ(tag, 0);
  EXPECT_EQ(qx_multitemplate_get_nbr_of_instances(mt), 3);
  EXPECT_EQ(qx_multitemplate_add_instance_no_tag(mt, t, nullptr), QX_RC_BAD_ARGUMENT);
  qx_multitemplate_delete(mt);
  qx_template_delete(t);
}

TEST(Multitemplate, FullAtTwoHundredFiftyFiveInstances) {
  qx_multitemplate *mt = qx_multitemplate_create();
  qx_template *t = small_template(0);
  int32_t tag = 0;
  for (int i = 0; i < QX_MT_MAX_INSTANCES; ++i) {
    ASSERT_EQ(qx_multitemplate_add_instance_no_tag(mt, t, &tag), QX_RC_OK) << i;
  }
  EXPECT_EQ(qx_multitemplate_get_nbr_of_instances(mt), 255);
  EXPECT_EQ(qx_multitemplate_add_instance(mt, 1000, t), QX_RC_UNSUPPORTED);
  EXPECT_EQ(qx_multitemplate_add_instance_no_tag(mt, t, &tag), QX_RC_UNSUPPORTED);
  EXPECT_EQ(qx_multitemplate_remove_instance(mt, 17), QX_RC_OK);
  EXPECT_EQ(qx_multitemplate_add_instance(mt, 1000, t), QX_RC_OK);
  qx_multitemplate_delete(mt);
  EXPECT_EQ(qx_template_get_num_refs(t), 1);
  qx_template_delete(t);
}

TEST(Multitemplate, MetadataOneKeyPerOwnerNewestFirst) {
  qx_multitemplate *mt = qx_multitemplate_create();
  qx_template *t = small_template(0);
  ASSERT_EQ(qx_multitemplate_add_instance(mt, 4, t), 0);
  const uint8_t d1[] = {1, 2, 3};
  const uint8_t d2[] = {9};
  EXPECT_EQ(qx_multitemplate_add_metadata(mt, 4, 1, d1, 3), QX_RC_OK);
  EXPECT_EQ(qx_multitemplate_add_metadata(mt, 4, 7, d2, 1), QX_RC_OK);
  EXPECT_EQ(qx_multitemplate_add_metadata(mt, 4, 0, nullptr, 0), QX_RC_OK);
  EXPECT_EQ(qx_multitemplate_add_metadata(mt, 4, 1, d2, 1), QX_RC_BAD_ARGUMENT);
  EXPECT_EQ(qx_multitemplate_add_metadata(mt, 5, 1, d2, 1), QX_RC_TRUNCATED);
  EXPECT_EQ(qx_multitemplate_add_metadata(mt, 4, 2, nullptr, 1), QX_RC_BAD_ARGUMENT);
  EXPECT_EQ(keys_of(mt, 4), (std::vector<int32_t>{0, 7, 1}));
  EXPECT_TRUE(keys_of(mt, QX_MT_GLOBAL_TAG).empty());
  EXPECT_TRUE(keys_of(mt, 5).empty());

  uint16_t length = 99;
  const uint8_t *data = qx_multitemplate_get_metadata(mt, 4, 1, &length);
  ASSERT_NE(data, nullptr);
  EXPECT_NE(data, d1);  // an owned copy
  EXPECT_EQ(length, 3);
  EXPECT_EQ(std::vector<uint8_t>(data, data + 3), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(qx_multitemplate_get_metadata(mt, 4, 2, &length), nullptr);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(qx_multitemplate_get_metadata(mt, 9, 1, &length), nullptr);

  // Global records live apart from the instances'.
  EXPECT_EQ(qx_multitemplate_add_metadata(mt, QX_MT_GLOBAL_TAG, 1, d2, 1), QX_RC_OK);
  data = qx_multitemplate_get_metadata(mt, QX_MT_GLOBAL_TAG, 1, &length);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(length, 1);
  EXPECT_EQ(data[0], 9);

  EXPECT_EQ(qx_multitemplate_remove_metadata(mt, 4, 7), QX_RC_OK);
  EXPECT_EQ(qx_multitemplate_remove_metadata(mt, 4, 7), QX_RC_TRUNCATED);
  EXPECT_EQ(qx_multitemplate_remove_metadata(mt, 5, 1), QX_RC_TRUNCATED);
  EXPECT_EQ(keys_of(mt, 4), (std::vector<int32_t>{0, 1}));

  // set replaces in place; copy brings a record over, replacing.
  EXPECT_EQ(qx_multitemplate_set_metadata(mt, 4, 0, d1, 2), QX_RC_OK);
  EXPECT_EQ(keys_of(mt, 4), (std::vector<int32_t>{0, 1}));
  qx_multitemplate_get_metadata(mt, 4, 0, &length);
  EXPECT_EQ(length, 2);
  qx_multitemplate *other = qx_multitemplate_create();
  ASSERT_EQ(qx_multitemplate_add_instance(other, 4, t), 0);
  EXPECT_EQ(qx_multitemplate_copy_metadata(mt, other, 4, 1), QX_RC_OK);
  EXPECT_EQ(qx_multitemplate_copy_metadata(mt, other, 4, 1), QX_RC_OK);
  EXPECT_EQ(keys_of(other, 4), (std::vector<int32_t>{1}));
  EXPECT_EQ(qx_multitemplate_copy_metadata(mt, other, 4, 7), QX_RC_TRUNCATED);
  EXPECT_EQ(qx_multitemplate_copy_metadata(mt, other, QX_MT_GLOBAL_TAG, 1), QX_RC_OK);
  qx_multitemplate_remove_instance(other, 4);
  EXPECT_EQ(qx_multitemplate_copy_metadata(mt, other, 4, 1), QX_RC_TRUNCATED);
  qx_multitemplate_delete(other);

  // Walking from a key that is not present ends the walk.
  int32_t key = 200;
  EXPECT_EQ(qx_multitemplate_next_metadata(mt, 4, &key), 0);
  qx_multitemplate_delete(mt);
  qx_template_delete(t);
}

TEST(Multitemplate, InstanceAlignmentIslandAndMainIsland) {
  qx_multitemplate *mt = qx_multitemplate_create();
  qx_template *t = small_template(0);
  for (int32_t tag : {1, 2, 3}) ASSERT_EQ(qx_multitemplate_add_instance(mt, tag, t), 0);
  qx_alignment *a = qx_alignment_create(-300, 5, 200);
  EXPECT_EQ(qx_multitemplate_set_instance_alignment(mt, 1, a, 0), QX_RC_OK);
  EXPECT_EQ(qx_multitemplate_set_instance_alignment(mt, 2, a, 1), QX_RC_OK);
  EXPECT_EQ(qx_multitemplate_set_instance_alignment(mt, 9, a, 1), QX_RC_TRUNCATED);
  EXPECT_EQ(qx_multitemplate_set_instance_island(mt, 2, 4), QX_RC_OK);
  uint16_t length = 0;
  const uint8_t *rec = qx_multitemplate_get_metadata(mt, 2, 1, &length);
  ASSERT_EQ(length, 6);
  // dx -300 = 0xFED4, dy 5, rotation 200, secondary bit.
  EXPECT_EQ(std::vector<uint8_t>(rec, rec + 6),
            (std::vector<uint8_t>{0xFE, 0xD4, 0x00, 0x05, 200, 0x01}));

  qx_alignment *got = qx_multitemplate_get_instance_alignment(mt, 2);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(qx_alignment_get_dx(got), -300);
  EXPECT_EQ(qx_alignment_get_dy(got), 5);
  EXPECT_EQ(qx_alignment_get_rotation(got), 200);
  qx_alignment_delete(got);
  got = qx_multitemplate_get_instance_alignment(mt, 3);  // no record: identity
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(qx_alignment_get_dx(got), 0);
  EXPECT_EQ(qx_alignment_get_rotation(got), 0);
  qx_alignment_delete(got);
  EXPECT_EQ(qx_multitemplate_get_instance_alignment(mt, 9), nullptr);

  EXPECT_EQ(qx_multitemplate_get_instance_island(mt, 2), 4);
  EXPECT_EQ(qx_multitemplate_get_instance_island(mt, 1), 255);
  EXPECT_EQ(qx_multitemplate_instance_is_main(mt, 1), 1);
  EXPECT_EQ(qx_multitemplate_instance_is_main(mt, 2), 0);
  EXPECT_EQ(qx_multitemplate_instance_is_main(mt, 3), 1);
  EXPECT_EQ(qx_multitemplate_instance_is_main(mt, 9), 0);
  // A short key-1 record does not make an instance secondary.
  const uint8_t short_rec[5] = {0, 0, 0, 0, 1};
  ASSERT_EQ(qx_multitemplate_set_metadata(mt, 2, 1, short_rec, 5), 0);
  EXPECT_EQ(qx_multitemplate_instance_is_main(mt, 2), 1);
  qx_alignment_delete(a);
  qx_multitemplate_delete(mt);
  qx_template_delete(t);
}

TEST(Multitemplate, ReferenceCountAndAbsentObjects) {
  qx_multitemplate *mt = qx_multitemplate_create();
  EXPECT_EQ(qx_multitemplate_retain(mt), mt);
  EXPECT_EQ(qx_multitemplate_get_num_refs(mt), 2);
  qx_multitemplate_delete(mt);
  EXPECT_EQ(qx_multitemplate_get_num_refs(mt), 1);
  qx_multitemplate_delete(mt);
  qx_multitemplate_delete(nullptr);
  EXPECT_EQ(qx_multitemplate_retain(nullptr), nullptr);
  EXPECT_EQ(qx_multitemplate_get_nbr_of_instances(nullptr), 0);
  EXPECT_EQ(qx_multitemplate_add_instance(nullptr, 1, nullptr), QX_RC_BAD_ARGUMENT);
  EXPECT_EQ(qx_multitemplate_add_metadata(nullptr, 1, 1, nullptr, 0), QX_RC_BAD_ARGUMENT);
  EXPECT_EQ(qx_multitemplate_get_instance(nullptr, 1), nullptr);
}

TEST(Multitemplate, OutOfMemoryAnswersNineAndLeaksNothing) {
  const long live = qx_alloc_live();
  qx_template *t = small_template(0);
  qx_alloc_fail_after(0);
  EXPECT_EQ(qx_multitemplate_create(), nullptr);
  qx_multitemplate *mt = qx_multitemplate_create();
  ASSERT_NE(mt, nullptr);
  ASSERT_EQ(qx_multitemplate_add_instance(mt, 1, t), 0);
  const uint8_t d[2] = {1, 2};
  ASSERT_EQ(qx_multitemplate_add_metadata(mt, 1, 3, d, 2), 0);
  const long before = qx_alloc_live();
  int32_t tag = 0;
  struct Op {
    const char *name;
    int32_t (*run)(qx_multitemplate *, qx_template *, int32_t *);
  };
  const Op ops[] = {
      {"add_instance", [](qx_multitemplate *m, qx_template *x, int32_t *) {
         return qx_multitemplate_add_instance(m, 2, x); }},
      {"add_instance_no_tag", [](qx_multitemplate *m, qx_template *x, int32_t *g) {
         return qx_multitemplate_add_instance_no_tag(m, x, g); }},
      {"add_metadata", [](qx_multitemplate *m, qx_template *, int32_t *) {
         const uint8_t v = 1;
         return qx_multitemplate_add_metadata(m, QX_MT_GLOBAL_TAG, 1, &v, 1); }},
      {"set_metadata", [](qx_multitemplate *m, qx_template *, int32_t *) {
         const uint8_t v[4] = {4, 4, 4, 4};
         return qx_multitemplate_set_metadata(m, 1, 3, v, 4); }},
      {"set_instance_island", [](qx_multitemplate *m, qx_template *, int32_t *) {
         return qx_multitemplate_set_instance_island(m, 1, 2); }},
  };
  for (const Op &op : ops) {
    qx_alloc_fail_after(0);
    EXPECT_EQ(op.run(mt, t, &tag), QX_RC_NO_MEMORY) << op.name;
    qx_alloc_fail_after(-1);
    EXPECT_EQ(qx_alloc_live(), before) << op.name;
  }
  // Nothing changed: one instance with its old record.
  EXPECT_EQ(qx_multitemplate_get_nbr_of_instances(mt), 1);
  EXPECT_EQ(keys_of(mt, QX_MT_GLOBAL_TAG).size(), 0u);
  uint16_t length = 0;
  EXPECT_EQ(qx_multitemplate_get_metadata(mt, 1, 3, &length)[0], 1);
  EXPECT_EQ(length, 2);
  qx_multitemplate *other = qx_multitemplate_create();
  ASSERT_EQ(qx_multitemplate_add_instance(other, 1, t), 0);
  qx_alloc_fail_after(0);
  EXPECT_EQ(qx_multitemplate_copy_metadata(mt, other, 1, 3), QX_RC_NO_MEMORY);
  qx_alloc_fail_after(0);
  EXPECT_EQ(qx_multitemplate_get_instance_alignment(mt, 1), nullptr);
  qx_alloc_fail_after(-1);
  EXPECT_TRUE(keys_of(other, 1).empty());
  qx_multitemplate_delete(other);
  qx_multitemplate_delete(mt);
  qx_template_delete(t);
  EXPECT_EQ(qx_alloc_live(), live);
}

}  // namespace
