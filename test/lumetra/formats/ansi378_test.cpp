// ANSI INCITS 378 records: header layout and the read-back of both layouts.
#include "engine/formats/ansi378.h"

#include <gtest/gtest.h>

#include "record_fixtures.h"

namespace {

using fmt_test::Bytes;
using fmt_test::take;

TEST(Ansi378, LayoutsAndReadBack) {
  const minutiastruct m = fmt_test::two_minutiae();
  uint8_t *p;
  uint32_t n;
  ASSERT_EQ(qx_minutiastruct_to_ansi378_v2(&m, &p, &n), 0);
  const Bytes a = take(p, n);
  ASSERT_EQ(a.size(), 30u + 12u + 2u);
  EXPECT_EQ(Bytes(a.begin(), a.begin() + 10), (Bytes{'F', 'M', 'R', 0, ' ', '2', '0', 0, 0, 44}));
  // Ending at (300, 10), direction 64 = 90 degrees -> 45 two-degree units.
  EXPECT_EQ(Bytes(a.begin() + 30, a.begin() + 36), (Bytes{0x41, 0x2C, 0x00, 0x0A, 45, 80}));
  ASSERT_EQ(qx_minutiastruct_to_ansi378_v3(&m, &p, &n), 0);
  const Bytes b = take(p, n);
  ASSERT_EQ(b.size(), 51u + 12u + 2u);
  EXPECT_EQ(b[50], 2);

  for (const Bytes *rec : {&a, &b}) {
    minutiastruct back;
    ASSERT_EQ(qx_ansi378_to_minutiastruct(rec->data(), rec->size(), &back), 0);
    ASSERT_EQ(back.count, 2);
    EXPECT_EQ(back.minutiae[0].col, 300);
    EXPECT_EQ(back.minutiae[1].row, 70);
    EXPECT_EQ(back.minutiae[0].direction, 64);
    EXPECT_NEAR(back.minutiae[1].direction, 255, 2);  // 2-degree units
    EXPECT_EQ(back.rows, 88);
    EXPECT_EQ(back.cols, 96);
    EXPECT_EQ(back.finger_quality, 61);
    EXPECT_EQ(qx_ansi378_to_minutiastruct(rec->data(), rec->size() - 1, &back), 4);
  }
  Bytes c = a;
  c[29] = 9;  // more minutiae than the record holds
  minutiastruct back;
  EXPECT_EQ(qx_ansi378_to_minutiastruct(c.data(), c.size(), &back), 4);
}

}  // namespace
