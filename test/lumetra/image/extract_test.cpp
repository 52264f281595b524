// The extraction pipeline: sizes, offsets, flags, ordering, mapping, and
// memory shortage on every allocation.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/image/extract.h"
#include "engine/qx_alloc.h"
#include "image_gen.hpp"

namespace {

struct Record {
  bal_extract_result r;
  Record() { std::memset(&r, 0, sizeof r); }
  ~Record() { bal_extract_release(&r); }
};

int run(std::vector<uint8_t> px, int rows, int cols, Record &rec) {
  return bal_extract(px.data(), rows, cols, &rec.r);
}

TEST(ExtractRecord, LayoutKeepsTheDesignWidths) {
  EXPECT_EQ(8u, sizeof(bal_minutia));
  minutiastruct ms;
  EXPECT_EQ(4u, sizeof ms.reserved);
  EXPECT_EQ(2u, sizeof ms.rows);
  EXPECT_EQ(1u, sizeof ms.count);
  EXPECT_LT(offsetof(minutiastruct, max_minutiae), offsetof(minutiastruct, minutiae));
  EXPECT_LT(offsetof(bal_extract_result, minutiae), offsetof(bal_extract_result, cores));
  EXPECT_LT(offsetof(bal_extract_result, deltas), offsetof(bal_extract_result, quality_field));
  EXPECT_LT(offsetof(bal_extract_result, frequency_field), offsetof(bal_extract_result, debug));
  EXPECT_LT(offsetof(bal_extract_result, centre_col), offsetof(bal_extract_result, area));
}

TEST(ResizeBlockSize, GrowsOrCropsEachDirectionToWholeBlocks) {
  const auto px = imggen::ridges(200, 150, 9, 30);
  uint8_t *out = nullptr;
  int rows, cols, ro, co;
  ASSERT_EQ(0, bal_resize_block_size(px.data(), 200, 150, 12, 0, &out, &rows, &cols, &ro, &co));
  EXPECT_EQ(204, rows);
  EXPECT_EQ(-2, ro);
  EXPECT_EQ(156, cols);
  EXPECT_EQ(-3, co);
  // The input sits at (2, 3); the new border is the mean of the ring inside.
  EXPECT_EQ(px[0], out[2 * 156 + 3]);
  EXPECT_EQ((px[0] + px[1]) / 2, out[1 * 156 + 3]);
  qx_free(out);
  // 146 = 12 * 12 + 2: two columns cropped, one at the start.
  ASSERT_EQ(0, bal_resize_block_size(px.data(), 200, 146, 12, 0, &out, &rows, &cols, &ro, &co));
  EXPECT_EQ(144, cols);
  EXPECT_EQ(1, co);
  qx_free(out);
  EXPECT_EQ(14, bal_resize_block_size(px.data(), 20, 150, 12, 0, &out, &rows, &cols, &ro, &co));
  EXPECT_EQ(nullptr, out);
}

TEST(Extract, TwoHundredSquareGrowsTo204WithOffsetsMinusTwo) {
  Record rec;
  rec.r.flags = BAL_EXTRACT_ORIENTATION_FIELD | BAL_EXTRACT_FREQUENCY_FIELD;
  ASSERT_EQ(0, run(imggen::finger(200, 200, 9, 30, 0.9), 200, 200, rec));
  EXPECT_EQ(17, rec.r.orientation_field.rows);
  EXPECT_EQ(17, rec.r.orientation_field.cols);
  EXPECT_EQ(-2, rec.r.orientation_field.row_offset);
  EXPECT_EQ(-2, rec.r.frequency_field.col_offset);
  EXPECT_EQ(12, rec.r.orientation_field.block);
  EXPECT_EQ(200, rec.r.minutiae.rows);
  EXPECT_EQ(200, rec.r.minutiae.cols);
  EXPECT_EQ(197, rec.r.minutiae.resolution);
  for (int i = 0; i < rec.r.minutiae.count; ++i) {
    EXPECT_GE(rec.r.minutiae.minutiae[i].row, 0);
    EXPECT_LT(rec.r.minutiae.minutiae[i].row, 200);
  }
  // 9-pixel ridges: frequency 1024 / 9 = 114 in textured blocks.
  EXPECT_NEAR(114, rec.r.frequency_field.data[8 * 17 + 8], 4);
}

TEST(Extract, FineFieldsHaveThreeTimesTheCellsAndClearBackground) {
  Record rec;
  rec.r.flags = BAL_EXTRACT_FREQUENCY_FIELD | BAL_EXTRACT_ORIENTATION_FIELD | BAL_EXTRACT_FINE_FIELDS;
  ASSERT_EQ(0, run(imggen::finger(144, 144, 9, 0, 0.8), 144, 144, rec));
  ASSERT_NE(nullptr, rec.r.frequency_field.fine);
  ASSERT_NE(nullptr, rec.r.orientation_field.fine);
  const int fc = 3 * rec.r.frequency_field.cols;
  // Corner block: background, its nine cells are 0; the centre: 9-pixel ridges.
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) EXPECT_EQ(0, rec.r.frequency_field.fine[r * fc + c]);
  EXPECT_NEAR(114, rec.r.frequency_field.fine[18 * fc + 18], 6);
  EXPECT_EQ(0, rec.r.orientation_field.fine[18 * fc + 18]);  // vertical ridges: doubled angle 0
}

TEST(Extract, OneHundredFiftyGrowsTo156WithOffsetMinusThree) {
  Record rec;
  rec.r.flags = BAL_EXTRACT_ORIENTATION_FIELD;
  ASSERT_EQ(0, run(imggen::finger(150, 150), 150, 150, rec));
  EXPECT_EQ(13, rec.r.orientation_field.rows);
  EXPECT_EQ(-3, rec.r.orientation_field.row_offset);
  EXPECT_EQ(-3, rec.r.orientation_field.col_offset);
}

TEST(Extract, RefusesTooSmallImagesAndContradictoryFlags) {
  Record rec;
  EXPECT_EQ(14, run(imggen::finger(20, 100), 20, 100, rec));
  EXPECT_EQ(0, rec.r.minutiae.count);
  rec.r.flags = BAL_EXTRACT_HALF_FREQUENCY | BAL_EXTRACT_250DPI;
  EXPECT_EQ(13, run(imggen::finger(100, 100), 100, 100, rec));
  EXPECT_EQ(14, bal_extract(nullptr, 100, 100, &rec.r));
  uint8_t px[4] = {0};
  EXPECT_EQ(14, bal_extract(px, 2, 2, nullptr));
}

TEST(Extract, OwnedInputIsFreedOnSuccessAndOnEveryError) {
  const long live = qx_alloc_live();
  for (const auto &c : {std::make_pair(200, 0u), std::make_pair(20, 0u),
                        std::make_pair(100, BAL_EXTRACT_HALF_FREQUENCY | BAL_EXTRACT_250DPI)}) {
    const int rows = c.first;
    auto *buf = static_cast<uint8_t *>(qx_malloc(static_cast<size_t>(rows) * 120));
    const auto img = imggen::finger(rows, 120);
    std::memcpy(buf, img.data(), img.size());
    Record rec;
    rec.r.flags = BAL_EXTRACT_OWN_INPUT | c.second;
    bal_extract(buf, rows, 120, &rec.r);
  }
  EXPECT_EQ(live, qx_alloc_live());
}

// Vertical 9-pixel ridges in an ellipse; four ridges are broken for 40
// rows, which makes eight ridge endings at known places.
struct Broken {
  std::vector<uint8_t> px;
  std::vector<std::pair<int, int>> endings;
};

Broken broken_ridges(int rows = 240, int cols = 240) {
  Broken b{imggen::finger(rows, cols, 9, 0, 0.9), {}};
  for (int k : {-2, -1, 1, 2}) {
    const int ridge = cols / 2 + 9 * 3 * k + 4;  // cosine minimum (dark) at multiples of 9 + 4.5
    const int c0 = ridge / 9 * 9 + 4;
    const int r0 = rows / 2 - 20 + 6 * k, r1 = r0 + 40;
    for (int r = r0; r < r1; ++r)
      for (int c = c0 - 4; c <= c0 + 5; ++c) b.px[r * cols + c] = 228;
    b.endings.push_back({r0, c0});
    b.endings.push_back({r1, c0});
  }
  return b;
}

TEST(Extract, FindsTheEndingsOfBrokenRidges) {
  const Broken b = broken_ridges();
  std::vector<uint8_t> px = b.px;
  Record rec;
  rec.r.flags = BAL_EXTRACT_CORES | BAL_EXTRACT_DELTAS | BAL_EXTRACT_QUALITY_FIELD | BAL_EXTRACT_DEBUG_PICTURE;
  ASSERT_EQ(0, bal_extract(px.data(), 240, 240, &rec.r));
  const minutiastruct &ms = rec.r.minutiae;
  EXPECT_GE(ms.count, 6);
  EXPECT_LT(ms.count, 16);
  int near = 0;
  for (const auto &e : b.endings)
    for (int i = 0; i < ms.count; ++i) {
      const int dr = ms.minutiae[i].row - e.first, dc = ms.minutiae[i].col - e.second;
      if (dr * dr + dc * dc <= 100) {  // endings sit where the valleys join, past the tip
        ++near;
        break;
      }
    }
  EXPECT_GE(near, 6);
  for (int i = 0; i < ms.count; ++i) {
    const bal_minutia &m = ms.minutiae[i];
    EXPECT_TRUE(m.type == 1 || m.type == 2);
    EXPECT_GE(m.quality, 10);
    EXPECT_LE(m.quality, 100);
  }
  EXPECT_GT(rec.r.area, 10000u);
  EXPECT_GT(rec.r.finger_quality, 0);
  EXPECT_EQ(rec.r.finger_quality, ms.finger_quality);
  EXPECT_NEAR(120, static_cast<int>(rec.r.centre_row), 24);
  ASSERT_NE(nullptr, rec.r.debug.picture);
  EXPECT_EQ(240, rec.r.debug.rows);
  ASSERT_NE(nullptr, rec.r.quality_field.data);
  EXPECT_EQ(21, rec.r.quality_field.rows);
  EXPECT_EQ(0, rec.r.quality_field.data[0]);  // corner: background
  // A second extraction releases the first debug picture (no leak under ASan).
  ASSERT_EQ(0, bal_extract(px.data(), 240, 240, &rec.r));
}

TEST(Extract, TwoHundredFiftyDpiReportsFiveHundredDpiCoordinates) {
  Record rec;
  rec.r.flags = BAL_EXTRACT_250DPI | BAL_EXTRACT_ORIENTATION_FIELD;
  ASSERT_EQ(0, run(imggen::finger(100, 80, 4.5, 30, 0.9), 100, 80, rec));
  EXPECT_EQ(200, rec.r.minutiae.rows);
  EXPECT_EQ(160, rec.r.minutiae.cols);
  EXPECT_EQ(12, rec.r.orientation_field.block);
  // 100 = 16 * 6 + 4 grows by 2 (offset -1), doubled to -2; 80 = 13 * 6 + 2
  // grows by 4 (offset -2), doubled to -4.
  EXPECT_EQ(-2, rec.r.orientation_field.row_offset);
  EXPECT_EQ(-4, rec.r.orientation_field.col_offset);
  for (int i = 0; i < rec.r.minutiae.count; ++i) {
    EXPECT_LT(rec.r.minutiae.minutiae[i].row, 200);
    EXPECT_LT(rec.r.minutiae.minutiae[i].col, 160);
    EXPECT_EQ(0, rec.r.minutiae.minutiae[i].row % 2);
  }
}

TEST(Extract, HalfSizeFrequencyModeRuns) {
  Record rec;
  rec.r.flags = BAL_EXTRACT_HALF_FREQUENCY | BAL_EXTRACT_FREQUENCY_FIELD;
  ASSERT_EQ(0, run(imggen::finger(160, 160, 9, 60, 0.9), 160, 160, rec));
  EXPECT_NEAR(114, rec.r.frequency_field.data[6 * 14 + 6], 8);
}

TEST(SortMinutiae, OrderingCodesAndStability) {
  const bal_minutia base[5] = {{5, 9, 10, 1, 40, 0}, {3, 9, 30, 2, 70, 0}, {7, 2, 20, 1, 70, 0},
                               {1, 4, 40, 2, 40, 0}, {9, 9, 0, 1, 90, 0}};
  bal_minutia m[5];
  std::memcpy(m, base, sizeof m);
  bal_sort_minutiae(m, 5, 21, 0, 0);  // quality, best first, ties in found order
  const int q21[5] = {4, 1, 2, 0, 3};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(base[q21[i]].row, m[i].row) << i;
  std::memcpy(m, base, sizeof m);
  bal_sort_minutiae(m, 5, 5, 0, 0);  // quality ascending, ties in found order
  const int q5[5] = {0, 3, 1, 2, 4};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(base[q5[i]].row, m[i].row) << i;
  std::memcpy(m, base, sizeof m);
  bal_sort_minutiae(m, 5, 1, 0, 0);  // column, then row
  const int c1[5] = {2, 3, 1, 0, 4};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(base[c1[i]].row, m[i].row) << i;
  std::memcpy(m, base, sizeof m);
  bal_sort_minutiae(m, 5, 4, 5, 9);  // squared distance from (5, 9)
  EXPECT_EQ(5, m[0].row);
  std::memcpy(m, base, sizeof m);
  bal_sort_minutiae(m, 5, 0, 0, 0);  // no ordering
  EXPECT_EQ(0, std::memcmp(m, base, sizeof m));
}

TEST(Extract, CappingKeepsTheBestQualityMinutiae) {
  const auto px = broken_ridges().px;
  Record all, capped;
  ASSERT_EQ(0, run(px, 240, 240, all));
  capped.r.minutiae.max_minutiae = 3;
  capped.r.minutiae.ordering = 21;
  ASSERT_EQ(0, run(px, 240, 240, capped));
  ASSERT_GT(all.r.minutiae.count, 3);
  ASSERT_EQ(3, capped.r.minutiae.count);
  int best = 0;
  for (int i = 0; i < all.r.minutiae.count; ++i) best = std::max<int>(best, all.r.minutiae.minutiae[i].quality);
  EXPECT_EQ(best, capped.r.minutiae.minutiae[0].quality);
}

TEST(Extract, EveryAllocationFailureAnswersNineAndLeaksNothing) {
  const auto px = imggen::finger(96, 96, 9, 30, 0.9);
  const long live = qx_alloc_live();
  int failures = 0;
  for (long n = 0; n < 400; ++n) {
    Record rec;
    rec.r.flags = BAL_EXTRACT_CORES | BAL_EXTRACT_DELTAS | BAL_EXTRACT_QUALITY_FIELD | BAL_EXTRACT_ORIENTATION_FIELD |
                  BAL_EXTRACT_FREQUENCY_FIELD | BAL_EXTRACT_DEBUG_PICTURE;
    std::vector<uint8_t> copy = px;
    qx_alloc_fail_after(n);
    const int rc = bal_extract(copy.data(), 96, 96, &rec.r);
    const bool fired = !qx_alloc_fail_pending();
    qx_alloc_fail_after(-1);
    if (!fired) {
      EXPECT_EQ(0, rc);
      break;
    }
    ++failures;
    // Ghost removal and the ghost filter go on without their scratch.
    EXPECT_TRUE(rc == 9 || rc == 0) << n;
    if (rc == 9) {
      EXPECT_EQ(0, rec.r.minutiae.count);
    }
    bal_extract_release(&rec.r);
    EXPECT_EQ(live, qx_alloc_live()) << n;
  }
  EXPECT_GT(failures, 20);
}

}  // namespace
