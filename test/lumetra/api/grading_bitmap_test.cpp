// The grading exports' own bitmap reader: fixed pixel offsets, 8 and 1
// bits, bottom-up only, checked against the capacity alone.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <vector>

#include "api/grading_bitmap.h"
#include "lumetra/support/bmp_builder.h"

namespace {

using lumetra::api::read_grading_bitmap;
using lumetra::api::read_grading_bitmap_bytes;
using lumetra::test::BmpSpec;
using lumetra::test::make_bmp;
using lumetra::test::ramp_pixels;

constexpr size_t kCapacity = 88 * 88;

struct Read {
  int rc = -1;
  int width = -1, height = -1;
  std::vector<uint8_t> buffer;
};

Read read_bytes(const std::vector<uint8_t> &bmp, size_t capacity = kCapacity) {
  Read r;
  r.buffer.assign(capacity + 16, 0xA5);  // 16 guard bytes past the capacity
  r.rc = read_grading_bitmap_bytes(bmp.data(), bmp.size(), r.buffer.data(), capacity, &r.width, &r.height);
  if (r.rc != 0) {
    EXPECT_TRUE(r.width == 0 && r.height == 0);
  }
  for (size_t i = capacity; i < r.buffer.size(); ++i) {
    EXPECT_EQ(r.buffer[i], 0xA5) << "wrote past the capacity";
  }
  return r;
}

TEST(GradingBitmap, EightBitRowsComeOutTopFirst) {
  const auto px = ramp_pixels(88, 88);
  const Read r = read_bytes(make_bmp({88, 88, 8}, px));
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.width, 88);
  EXPECT_EQ(r.height, 88);
  EXPECT_EQ(std::vector<uint8_t>(r.buffer.begin(), r.buffer.begin() + kCapacity), px);
}

TEST(GradingBitmap, OneBitRowsArePaddedToFourBytes) {
  // 90 pixels: 90 bits padded to 96, i.e. 12 bytes a row.
  std::vector<uint8_t> px(90 * 10);
  for (size_t i = 0; i < px.size(); ++i) px[i] = (i % 3 == 0 || i % 90 == 89) ? 255 : 0;
  const auto bmp = make_bmp({90, 10, 1}, px);
  ASSERT_EQ(bmp.size(), 62u + 12 * 10);
  const Read r = read_bytes(bmp);
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.width, 90);
  EXPECT_EQ(std::vector<uint8_t>(r.buffer.begin(), r.buffer.begin() + px.size()), px);
  // Bytes past the image stay as they were.
  EXPECT_EQ(r.buffer[px.size()], 0xA5);
  // One byte short of the last row: 13.
  EXPECT_EQ(read_bytes(std::vector<uint8_t>(bmp.begin(), bmp.end() - 1)).rc, 13);
}

TEST(GradingBitmap, PaletteAndPixelOffsetFieldAreIgnored) {
  const auto px = ramp_pixels(20, 6);
  auto bmp = make_bmp({20, 6, 8}, px);
  lumetra::test::put32(bmp, 10, 54);          // claims rows right after the headers
  for (size_t i = 54; i < 1078; ++i) bmp[i] = static_cast<uint8_t>(255 - bmp[i]);  // inverted palette
  const Read r = read_bytes(bmp);
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(std::vector<uint8_t>(r.buffer.begin(), r.buffer.begin() + px.size()), px);
}

TEST(GradingBitmap, OnlyTheCapacityLimitsTheSize) {
  // 44 x 176 has as many pixels as 88 x 88 and is accepted.
  const auto tall = ramp_pixels(44, 176);
  const Read r = read_bytes(make_bmp({44, 176, 8}, tall));
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.width, 44);
  EXPECT_EQ(r.height, 176);
  EXPECT_EQ(std::vector<uint8_t>(r.buffer.begin(), r.buffer.begin() + kCapacity), tall);
  // 100 x 100 = 10000 bytes exceed 7744.
  EXPECT_EQ(read_bytes(make_bmp({100, 100, 8}, ramp_pixels(100, 100))).rc, 13);
}

TEST(GradingBitmap, ResultCodes) {
  const auto good = make_bmp({16, 16, 8}, ramp_pixels(16, 16));
  EXPECT_EQ(read_bytes(make_bmp({16, 16, 24}, {})).rc, 11);
  EXPECT_EQ(read_bytes(make_bmp({16, 16, 4}, {})).rc, 11);
  EXPECT_EQ(read_bytes(std::vector<uint8_t>(good.begin(), good.begin() + 13)).rc, 11);
  EXPECT_EQ(read_bytes(std::vector<uint8_t>(good.begin(), good.begin() + 53)).rc, 11);
  auto notbm = good;
  notbm[0] = 'P';
  EXPECT_EQ(read_bytes(notbm).rc, 14);
  EXPECT_EQ(read_bytes(make_bmp({16, -16, 8}, ramp_pixels(16, 16))).rc, 13);  // top-down
  auto with = [&](size_t at, uint32_t v) {
    auto b = good;
    lumetra::test::put32(b, at, v);
    return b;
  };
  EXPECT_EQ(read_bytes(with(22, uint32_t(INT32_MIN))).rc, 13);
  EXPECT_EQ(read_bytes(with(18, 0)).rc, 13);
  EXPECT_EQ(read_bytes(with(18, uint32_t(-16))).rc, 13);
  // 65536 x 65536 wraps to 0 in 32 bits; it must still be refused.
  auto wrap = with(18, 65536);
  lumetra::test::put32(wrap, 22, 65536);
  EXPECT_EQ(read_bytes(wrap).rc, 13);
  EXPECT_EQ(read_bytes(std::vector<uint8_t>(good.begin(), good.begin() + 1078 + 16 * 15)).rc, 13);
}

TEST(GradingBitmap, FileForm) {
  const auto px = ramp_pixels(30, 30);
  const std::string path = lumetra::test::temp_path("grading.bmp");
  lumetra::test::write_file(path, make_bmp({30, 30, 8}, px));
  std::vector<uint8_t> buf(kCapacity);
  int w = -1, h = -1;
  ASSERT_EQ(read_grading_bitmap(path.c_str(), buf.data(), buf.size(), &w, &h), 0);
  EXPECT_EQ(w, 30);
  EXPECT_EQ(h, 30);
  EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + px.size()), px);
  std::remove(path.c_str());
  EXPECT_EQ(read_grading_bitmap(path.c_str(), buf.data(), buf.size(), &w, &h), 12);
  EXPECT_TRUE(w == 0 && h == 0);
  EXPECT_EQ(read_grading_bitmap(nullptr, buf.data(), buf.size(), &w, &h), 12);
}

}  // namespace
