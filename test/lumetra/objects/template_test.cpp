// Template objects: owned and memory-referenced bytes, and the type codes.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/objects/qx_template.h"

namespace {

TEST(Template, CreateCopiesTheBytes) {
  std::vector<uint8_t> bytes = {1, 2, 3, 4, 5};
  qx_template *t = qx_template_create(67, bytes.data(), 5);
  ASSERT_NE(t, nullptr);
  bytes[0] = 99;
  EXPECT_NE(qx_template_get_data(t), bytes.data());
  EXPECT_EQ(qx_template_get_data(t)[0], 1);
  EXPECT_EQ(qx_template_get_data_size(t), 5u);
  EXPECT_EQ(qx_template_get_mr_const(t), 0);
  EXPECT_EQ(qx_template_is_mr(t), 0);
  EXPECT_NE(qx_template_get_writable_data(t), nullptr);
  qx_template_delete(t);

  EXPECT_EQ(qx_template_create(67, nullptr, 3), nullptr);
  qx_template *empty = qx_template_create(80, nullptr, 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(qx_template_get_data_size(empty), 0u);
  qx_template_delete(empty);
}

// Heap buffers of exactly the given size: the sanitizer reports any read
// past the end and any free of the caller's buffer.
TEST(Template, MemoryReferencedTemplateNeverOwnsOrOverreads) {
  auto buffer = std::make_unique<uint8_t[]>(7);
  for (int i = 0; i < 7; ++i) buffer[i] = static_cast<uint8_t>(i);
  qx_template *t = qx_template_create_mr(74, buffer.get(), 7);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(qx_template_get_data(t), buffer.get());
  EXPECT_EQ(qx_template_is_mr(t), 1);
  EXPECT_EQ(qx_template_get_mr_const(t), 0);
  qx_template_set_mr_const(t, 1);
  EXPECT_EQ(qx_template_get_writable_data(t), nullptr);

  qx_template *copy = qx_template_copy(t);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(qx_template_get_data(copy), buffer.get());
  EXPECT_EQ(qx_template_get_stored_type(copy), 74);
  EXPECT_EQ(qx_template_is_copy(t, copy), 1);
  qx_template_get_writable_data(copy)[6] = 42;
  EXPECT_EQ(qx_template_is_copy(t, copy), 0);
  qx_template *shorter = qx_template_create_mr(74, buffer.get(), 6);
  EXPECT_EQ(qx_template_is_copy(t, shorter), 0);

  qx_template_delete(shorter);
  qx_template_delete(copy);
  qx_template_delete(t);
  EXPECT_EQ(buffer[6], 6);  // still the caller's, untouched
}

int g_released = 0;
void *g_release_data = nullptr;
void count_release(void *data) {
  ++g_released;
  g_release_data = data;
}

TEST(Template, ReleaseFunctionRunsOnceWhenTheLastReferenceGoes) {
  g_released = 0;
  uint8_t bytes[4] = {9, 8, 7, 6};
  int tag = 0;
  qx_template *t = qx_template_create_mre(2, bytes, 4, 0, count_release, &tag);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(qx_template_get_mr_const(t), 0);
  EXPECT_EQ(qx_template_get_writable_data(t), bytes);
  qx_template_set_mr_const(t, 1);
  EXPECT_EQ(qx_template_get_writable_data(t), nullptr);

  EXPECT_EQ(qx_template_retain(t), t);
  EXPECT_EQ(qx_template_get_num_refs(t), 2);
  qx_template_delete(t);
  EXPECT_EQ(g_released, 0);
  qx_template_delete(t);
  EXPECT_EQ(g_released, 1);
  EXPECT_EQ(g_release_data, &tag);

  qx_template_delete(nullptr);
  EXPECT_EQ(qx_template_retain(nullptr), nullptr);
}

TEST(Template, ReportedTypes) {
  struct Case { int32_t stored, reported; };
  const Case cases[] = {{1, 1},   {2, 2},   {3, 3},   {4, 1},   {5, 2},   {6, 3},
                        {66, 66}, {67, 67}, {72, 72}, {73, 67}, {74, 67}, {75, 75},
                        {78, 78}, {80, 80}};
  for (const Case &c : cases) {
    uint8_t byte = 0;
    qx_template *t = qx_template_create(c.stored, &byte, 1);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(qx_template_get_type(t), c.reported) << "stored type " << c.stored;
    EXPECT_EQ(qx_template_get_stored_type(t), c.stored);
    qx_template_delete(t);
  }
  qx_template *t = qx_template_create(67, nullptr, 0);
  qx_template_set_type(t, 74);
  EXPECT_EQ(qx_template_get_type(t), 67);
  EXPECT_EQ(qx_template_get_stored_type(t), 74);
  qx_template_delete(t);
}

TEST(Template, FusionTypeHelpers) {
  for (int32_t type = 0; type < 100; ++type) {
    const bool fusion = type == 72 || type == 75;
    EXPECT_EQ(qx_template_type_is_fusion(type), fusion ? 1 : 0) << type;
    const int32_t to = type == 67 ? 72 : type == 74 ? 75 : type;
    const int32_t from = type == 72 ? 67 : type == 75 ? 74 : type;
    EXPECT_EQ(qx_template_type_to_fusion(type), to) << type;
    EXPECT_EQ(qx_template_type_from_fusion(type), from) << type;
  }
}

}  // namespace
