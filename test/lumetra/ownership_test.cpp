// The engine's buffer owner and reference-count helper: what they free and
// when.
#include <gtest/gtest.h>

#include <cstdint>

#include "engine/qx_alloc.h"
#include "engine/qx_buffer.hpp"
#include "engine/qx_refcount.hpp"

namespace {

// Stands in for an allocating engine call with a T** out-parameter that
// replaces what it is given (as the record extenders do).
void replace_with_copy(uint8_t **slot, std::size_t n) {
  auto *fresh = static_cast<uint8_t *>(qx_malloc(n));
  for (std::size_t i = 0; i < n; ++i) fresh[i] = *slot != nullptr ? (*slot)[i] : 7;
  qx_free(*slot);
  *slot = fresh;
}

TEST(Ownership, BufferAdoptsAndLendsItsSlotWithoutLeaking) {
  const long live = qx_alloc_live();
  {
    qx::Buffer<uint8_t> b;
    b.adopt(static_cast<uint8_t *>(qx_malloc(4)), 4);
    EXPECT_EQ(b.size(), 4u);
    b.adopt(static_cast<uint8_t *>(qx_malloc(8)), 8);  // the first one is freed
    EXPECT_EQ(qx_alloc_live(), live + 1);
    replace_with_copy(b.slot(), 8);  // replaced through the slot: still one
    EXPECT_EQ(qx_alloc_live(), live + 1);
    EXPECT_EQ(b.size(), 0u);
    b.reset();
    EXPECT_EQ(qx_alloc_live(), live);
    replace_with_copy(b.slot(), 3);  // allocated into an empty slot
    EXPECT_EQ(b[0], 7);
    uint8_t *kept = b.release();
    EXPECT_EQ(b.get(), nullptr);
    qx_free(kept);
  }
  EXPECT_EQ(qx_alloc_live(), live);
}

struct Counted {
  int32_t refs = 1;
  void (*destroy)(Counted *) = nullptr;
};
int destroyed = 0;
void count_destroy(Counted *) { ++destroyed; }

TEST(Ownership, LastReleaseDestroysStaticObjectsAreNotCounted) {
  destroyed = 0;
  Counted obj;
  obj.destroy = count_destroy;
  EXPECT_EQ(qx::retain(&obj), &obj);
  EXPECT_EQ(qx::num_refs(&obj), 2);
  qx::release(&obj);
  EXPECT_EQ(destroyed, 0);
  qx::release(&obj);
  EXPECT_EQ(destroyed, 1);
  qx::release<Counted>(nullptr);
  EXPECT_EQ(qx::retain<Counted>(nullptr), nullptr);
  EXPECT_EQ(qx::num_refs<Counted>(nullptr), 0);

  Counted fixed;  // no destroy function: a static object
  qx::retain(&fixed);
  qx::release(&fixed);
  qx::release(&fixed);
  EXPECT_EQ(qx::num_refs(&fixed), 1);
  EXPECT_EQ(destroyed, 1);
}

}  // namespace
