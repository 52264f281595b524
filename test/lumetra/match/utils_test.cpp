// The engine's generic sort, traversal deque and allocation check.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "engine/match/qx_utils.h"
#include "engine/qx_alloc.h"

namespace {

int compare_int(const void *a, const void *b) {
  const int x = *static_cast<const int *>(a), y = *static_cast<const int *>(b);
  return (x > y) - (x < y);
}

struct Keyed {
  int key;
  char id;
};

int compare_key(const void *a, const void *b) {
  return static_cast<const Keyed *>(a)->key - static_cast<const Keyed *>(b)->key;
}

TEST(EngineSort, OrdersLikeAnySortForDistinctKeys) {
  std::mt19937 rng(7);
  for (size_t n : {0u, 1u, 2u, 3u, 8u, 49u, 1000u, 5000u}) {
    std::vector<int> v(n);
    for (int &x : v) x = static_cast<int>(rng() % 100000) - 50000;
    std::vector<int> expected = v;
    std::sort(expected.begin(), expected.end());
    qx_sort(v.data(), v.size(), sizeof(int), compare_int);
    EXPECT_EQ(v, expected) << n;
  }
}

// Equal elements are not kept in order: gap 3 swaps elements 0 and 3
// first, and gap 1 never reorders equal neighbours again.
TEST(EngineSort, IsNotStableAndReordersEqualsTheEngineWay) {
  Keyed v[] = {{1, 'a'}, {0, 'b'}, {1, 'c'}, {0, 'd'}};
  qx_sort(v, 4, sizeof(Keyed), compare_key);
  std::string order;
  for (const Keyed &k : v) order += k.id;
  EXPECT_EQ(order, "dbca");  // a stable sort would give "bdac"
}

TEST(EngineSort, ByteWiseElementsOfOddSize) {
  // Three-byte records sorted by their first byte, at an odd address.
  std::vector<unsigned char> storage(1 + 3 * 5);
  unsigned char *base = storage.data() + 1;
  const unsigned char keys[5] = {9, 3, 7, 1, 5};
  for (int i = 0; i < 5; ++i) {
    base[3 * i] = keys[i];
    base[3 * i + 1] = static_cast<unsigned char>(10 * keys[i]);
    base[3 * i + 2] = static_cast<unsigned char>(100 + keys[i]);
  }
  qx_sort(base, 5, 3, [](const void *a, const void *b) {
    return *static_cast<const unsigned char *>(a) - *static_cast<const unsigned char *>(b);
  });
  for (int i = 0; i < 5; ++i) {
    const unsigned char k = static_cast<unsigned char>(2 * i + 1);
    EXPECT_EQ(base[3 * i], k);
    EXPECT_EQ(base[3 * i + 1], 10 * k);  // records move as a whole
    EXPECT_EQ(base[3 * i + 2], 100 + k);
  }
  qx_sort(nullptr, 5, 3, compare_int);  // nothing to do
}

TEST(TraversalDeque, QueueAndStackOrders) {
  lib_tree_stack d;
  lib_tree_stack_init(&d);
  int items[4] = {0, 1, 2, 3};
  int objects[4] = {10, 11, 12, 13};
  for (int i = 0; i < 4; ++i) ASSERT_NE(lib_tree_push_stack(&d, &items[i], &objects[i]), nullptr);
  EXPECT_EQ(d.count, 4);

  void *object = nullptr;
  EXPECT_EQ(lib_tree_peek_stack_tail(&d, &object), &items[3]);
  EXPECT_EQ(object, &objects[3]);
  EXPECT_EQ(d.count, 4);
  EXPECT_EQ(lib_tree_pop_stack_head(&d, &object), &items[0]);  // breadth first
  EXPECT_EQ(object, &objects[0]);
  EXPECT_EQ(lib_tree_pop_stack_tail(&d, &object), &items[3]);  // depth first
  EXPECT_EQ(object, &objects[3]);
  EXPECT_EQ(lib_tree_pop_stack_tail(&d, nullptr), &items[2]);
  EXPECT_EQ(lib_tree_pop_stack_head(&d, nullptr), &items[1]);
  EXPECT_EQ(d.count, 0);

  object = &objects[0];
  EXPECT_EQ(lib_tree_pop_stack_head(&d, &object), nullptr);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(lib_tree_pop_stack_tail(&d, nullptr), nullptr);
  EXPECT_EQ(lib_tree_peek_stack_tail(&d, nullptr), nullptr);
  EXPECT_EQ(d.count, 0);

  // Entries left behind are freed by clear (the sanitizer checks it).
  lib_tree_push_stack(&d, &items[0], nullptr);
  lib_tree_push_stack(&d, &items[1], nullptr);
  lib_tree_stack_clear(&d);
  EXPECT_EQ(d.count, 0);
  EXPECT_EQ(d.first, nullptr);
  EXPECT_EQ(d.last, nullptr);
}

TEST(MemoryCheck, FreesEverythingWhenOneAllocationFailed) {
  void *a = qx_malloc(8), *b = qx_malloc(8);
  EXPECT_EQ(lib_memory_check(a, b, nullptr, nullptr, nullptr, nullptr, nullptr, 2), 0);
  // A missing third buffer: the two present ones are freed by the check.
  EXPECT_EQ(lib_memory_check(a, b, nullptr, nullptr, nullptr, nullptr, nullptr, 3), 9);
  EXPECT_EQ(lib_memory_check(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0), 0);
}

}  // namespace
