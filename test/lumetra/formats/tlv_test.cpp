// TLV layer: tag and length forms, scanners, tree parsing and writing.
#include "engine/formats/tlv.h"

#include <gtest/gtest.h>

#include <vector>

#include "engine/qx_alloc.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes write_tree(const tlv_node *root) {
  uint8_t *buf = nullptr;
  size_t size = 0;
  EXPECT_EQ(tlv_write_tree(root, &buf, &size), 0);
  Bytes out(buf, buf + size);
  qx_free(buf);
  return out;
}

TEST(TlvTags, TwoByteApplicationConstructedAndUnreadableForms) {
  const uint8_t bdt[] = {0x7F, 0x2E};
  uint16_t tag = 1;
  EXPECT_EQ(tlv_read_tag(bdt, 2, &tag), 2u);
  EXPECT_EQ(tag, 0x7F2E);
  EXPECT_EQ(tlv_get_tag_class(tag), 1);
  EXPECT_TRUE(tlv_tag_is_constructed(tag));
  const uint8_t bad80[] = {0x5F, 0x80};
  const uint8_t bad00[] = {0x5F, 0x00};
  EXPECT_EQ(tlv_read_tag(bad80, 2, &tag), 0u);
  EXPECT_EQ(tlv_read_tag(bad00, 2, &tag), 0u);
  EXPECT_EQ(tlv_read_tag(bdt, 1, &tag), 0u);  // second byte missing
  EXPECT_EQ(tlv_get_bytes_for_tag(0x5F80), 0);
  EXPECT_EQ(tlv_get_bytes_for_tag(0x1F), 0);
  EXPECT_EQ(tlv_get_tag_class(0x5F80), 3);
  EXPECT_EQ(tlv_get_tag_class(0x90), 2);
}

TEST(TlvTags, ConstructTag) {
  EXPECT_EQ(tlv_construct_tag(2, 1, 5), 0xA5);
  EXPECT_EQ(tlv_construct_tag(1, 1, 46), 0x7F2E);
  EXPECT_EQ(tlv_construct_tag(0, 0, 200), 0);
  EXPECT_EQ(tlv_construct_tag(0, 0, 128), 0);
  EXPECT_EQ(tlv_construct_tag(3, 0, 31), 0xDF1F);
}

TEST(TlvLengths, ShortestFormsAndRefusedForms) {
  uint8_t out[4];
  EXPECT_EQ(tlv_write_length(out, 127), 1u);
  EXPECT_EQ(out[0], 127);
  ASSERT_EQ(tlv_write_length(out, 200), 2u);
  EXPECT_EQ(Bytes(out, out + 2), (Bytes{0x81, 0xC8}));
  ASSERT_EQ(tlv_write_length(out, 300), 3u);
  EXPECT_EQ(Bytes(out, out + 3), (Bytes{0x82, 0x01, 0x2C}));
  ASSERT_EQ(tlv_write_length(out, 65536), 4u);
  EXPECT_EQ(Bytes(out, out + 4), (Bytes{0x83, 0x01, 0x00, 0x00}));
  EXPECT_EQ(tlv_write_length(out, 1u << 24), 0u);
  EXPECT_EQ(tlv_get_bytes_for_length(255), 2);
  EXPECT_EQ(tlv_get_bytes_for_length(65535), 3);

  uint32_t len = 0;
  const uint8_t indefinite[] = {0x80, 0, 0};
  const uint8_t four[] = {0x84, 0, 0, 0, 1};
  EXPECT_EQ(tlv_read_length(indefinite, 3, &len), 0u);
  EXPECT_EQ(tlv_read_length(four, 5, &len), 0u);
  const uint8_t long3[] = {0x83, 0x01, 0x00, 0x00};
  EXPECT_EQ(tlv_read_length(long3, 4, &len), 4u);
  EXPECT_EQ(len, 65536u);
  EXPECT_EQ(tlv_read_length(long3, 3, &len), 0u);  // field cut short
}

TEST(TlvScan, ValidateFindAndNestedPaths) {
  // 7F2E { A1 { 90 {1,2,3} } 82 {9} }
  const Bytes rec = {0x7F, 0x2E, 0x0A, 0xA1, 0x05, 0x90, 0x03, 1, 2, 3, 0x82, 0x01, 9};
  tlv_element el;
  EXPECT_EQ(tlv_read_validate(rec.data(), &el, rec.size()), rec.size());
  EXPECT_EQ(el.tag, 0x7F2E);
  EXPECT_EQ(el.length, 10u);
  EXPECT_EQ(tlv_read_validate(rec.data(), &el, rec.size() - 1), 0u);  // value does not fit
  EXPECT_EQ(tlv_get_buffer_length(rec.data(), rec.size()), rec.size());

  // A 0x83 length claiming 16 MiB behind a short buffer is malformed.
  const Bytes huge = {0x90, 0x83, 0xFF, 0xFF, 0xFF, 0};
  EXPECT_EQ(tlv_read(huge.data(), &el, huge.size()), 0u);

  const uint16_t path[] = {0x7F2E, 0xA1, 0x90};
  ASSERT_EQ(tlv_find_nested_tag(rec.data(), rec.size(), path, 3, &el), 1);
  EXPECT_EQ(Bytes(el.value, el.value + el.length), (Bytes{1, 2, 3}));
  const uint16_t missing[] = {0x7F2E, 0x90};
  EXPECT_EQ(tlv_find_nested_tag(rec.data(), rec.size(), missing, 2, &el), 0);
  ASSERT_EQ(tlv_find_tag(rec.data() + 3, 10, 0x82, &el), 1);
  EXPECT_EQ(el.value[0], 9);
  // Scanning stops at the first malformed element.
  const Bytes broken = {0x90, 0x01, 1, 0x5F, 0x80, 0x00, 0x82, 0x00};
  EXPECT_EQ(tlv_find_tag(broken.data(), broken.size(), 0x82, &el), 0);
}

TEST(TlvTree, ParseWriteRoundTripAndSearchOrder) {
  const Bytes rec = {0x7F, 0x2E, 0x0E, 0xA1, 0x05, 0x90, 0x03, 1, 2, 3,
                     0x82, 0x01, 9,    0xA2, 0x02, 0x90, 0x00};
  tlv_node *root = nullptr;
  ASSERT_EQ(tlv_parse_buffer(rec.data(), rec.size(), &root), 0);
  EXPECT_EQ(root->num_children, 3u);
  EXPECT_EQ(tlv_get_length(root), 14u);
  EXPECT_EQ(write_tree(root), rec);

  // Depth first over the node, its descendants, then the following siblings.
  tlv_node *a1 = tlv_get_first_child(root);
  tlv_node *first90 = tlv_find_tag_in_tree(root, 0x90);
  EXPECT_EQ(tlv_get_parent(first90), a1);
  tlv_node *p82 = tlv_get_next_sibling(a1);
  tlv_node *later90 = tlv_find_tag_in_tree(p82, 0x90);
  ASSERT_NE(later90, nullptr);
  EXPECT_EQ(tlv_get_parent(later90), tlv_get_last_child(root));
  EXPECT_EQ(tlv_find_tag_in_tree(root, 0x93), nullptr);

  // Remove and re-insert at the front: the encoding follows the tree.
  tlv_remove(p82);
  EXPECT_EQ(root->num_children, 2u);
  EXPECT_EQ(tlv_insert_child(root, p82), 0);
  const Bytes moved = write_tree(root);
  EXPECT_EQ(moved[3], 0x82);
  tlv_delete(root);
}

TEST(TlvTree, LongLengthsAreWrittenShortestAndRoundTrip) {
  std::vector<uint8_t> value(300, 0x55);
  tlv_node *root = tlv_create(0x7F2E, 0, nullptr);
  ASSERT_EQ(tlv_append_child(root, tlv_create(0x90, 300, value.data())), 0);
  const Bytes out = write_tree(root);
  ASSERT_EQ(out.size(), 2u + 3u + 3u + 300u + 1u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 8), (Bytes{0x7F, 0x2E, 0x82, 0x01, 0x30, 0x90, 0x82, 0x01}));
  tlv_node *again = nullptr;
  ASSERT_EQ(tlv_parse_buffer(out.data(), out.size(), &again), 0);
  EXPECT_EQ(write_tree(again), out);
  tlv_delete(again);
  tlv_delete(root);
}

TEST(TlvTree, ErrorsOfTheTreeOperations) {
  tlv_node *prim = tlv_create(0x90, 0, nullptr);
  tlv_node *child = tlv_create(0x91, 0, nullptr);
  EXPECT_EQ(tlv_append_child(prim, child), 14);
  EXPECT_EQ(tlv_insert_child(prim, nullptr), 9);
  tlv_delete(child);
  tlv_delete(prim);

  tlv_node *root = reinterpret_cast<tlv_node *>(1);
  // The child runs past the end of its parent's value.
  const Bytes overrun = {0xA1, 0x03, 0x90, 0x05, 1};
  EXPECT_EQ(tlv_parse_buffer(overrun.data(), overrun.size(), &root), 5);
  EXPECT_EQ(root, nullptr);
  const Bytes bad_tag = {0x5F, 0x80, 0x00};
  EXPECT_EQ(tlv_parse_buffer(bad_tag.data(), bad_tag.size(), &root), 5);
  // Deep nesting is refused instead of recursing without bound.
  Bytes nest;
  for (int i = 0; i < 60; ++i) nest.push_back(0xA1), nest.push_back(static_cast<uint8_t>(118 - 2 * i));
  EXPECT_EQ(tlv_parse_buffer(nest.data(), nest.size(), &root), 5);

  // Out of memory in the middle of a parse frees the partial tree.
  const Bytes rec = {0x7F, 0x2E, 0x06, 0x90, 0x01, 1, 0x91, 0x01, 2};
  const long live = qx_alloc_live();
  qx_alloc_fail_after(2);
  EXPECT_EQ(tlv_parse_buffer(rec.data(), rec.size(), &root), 9);
  qx_alloc_fail_after(-1);
  EXPECT_EQ(qx_alloc_live(), live);
}

}  // namespace
