// Bitmap conversion: the image record, its length field and resolution,
// row order, and the refusal of everything that is not an uncompressed
// 8-bit bitmap (with the outputs cleared first).
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <vector>

#include "engine/formats/bmp_convert.h"
#include "lumetra/support/bmp_builder.h"

namespace {

using lumetra::test::BmpSpec;
using lumetra::test::make_bmp;
using lumetra::test::ramp_pixels;

struct Record {
  std::vector<uint8_t> bytes;
  int rc = -1;
};

Record to_record(const std::vector<uint8_t> &bmp) {
  unsigned char *rec = reinterpret_cast<unsigned char *>(1);
  size_t size = 77;
  Record r;
  r.rc = qxbmp_bmpbuffer_to_bir(bmp.data(), bmp.size(), &rec, &size);
  if (r.rc == 0) {
    r.bytes.assign(rec, rec + size);
  } else {
    EXPECT_TRUE(rec == nullptr && size == 0);
  }
  qxbmp_free(rec);
  return r;
}

struct Pixels {
  int rc = -1;
  std::vector<uint8_t> pixels;
  unsigned width = 0, height = 0;
};

Pixels convert(const std::vector<uint8_t> &bmp) {
  Pixels out;
  unsigned char *px = reinterpret_cast<unsigned char *>(1);
  out.width = out.height = 99;
  out.rc = qxbmp_bmpbuffer_to_buffer(bmp.data(), bmp.size(), &px, &out.width, &out.height);
  if (out.rc == 0) {
    out.pixels.assign(px, px + size_t{out.width} * out.height);
  } else {
    EXPECT_TRUE(px == nullptr && out.width == 0 && out.height == 0);
  }
  qxbmp_free(px);
  return out;
}

TEST(BmpConvert, RecordHeaderCarriesOrientationResolutionAndSize) {
  // 3 x 2, bottom-up: orientation 6, 500 dpi from 19685 pixels per metre.
  const auto px = ramp_pixels(3, 2);
  const Record r = to_record(make_bmp({3, 2, 8, 19685}, px));
  ASSERT_EQ(r.rc, 0);
  ASSERT_EQ(r.bytes.size(), 2u + 12 + 6);
  EXPECT_EQ(r.bytes[0], 0xC3);
  EXPECT_EQ(r.bytes[1], 18);
  const std::vector<uint8_t> header(r.bytes.begin() + 2, r.bytes.begin() + 14);
  EXPECT_EQ(header, (std::vector<uint8_t>{0, 0, 0, 6, 0x01, 0xF4, 0x01, 0xF4, 0, 3, 0, 2}));
  // Stored order (bottom row first), without the padding.
  EXPECT_EQ(std::vector<uint8_t>(r.bytes.begin() + 14, r.bytes.end()),
            (std::vector<uint8_t>{px[3], px[4], px[5], px[0], px[1], px[2]}));
  // Top-down: orientation 0.
  const Record td = to_record(make_bmp({3, -2, 8}, px));
  ASSERT_EQ(td.rc, 0);
  EXPECT_EQ(td.bytes[5], 0);
}

TEST(BmpConvert, ResolutionRoundsFromPixelsPerMetre) {
  const auto px = ramp_pixels(4, 1);
  auto dpi = [&](int32_t ppm) {
    const Record r = to_record(make_bmp({4, 1, 8, ppm}, px));
    EXPECT_EQ(r.rc, 0);
    return r.rc == 0 ? r.bytes[6] << 8 | r.bytes[7] : -1;
  };
  EXPECT_EQ(dpi(19685), 500);
  EXPECT_EQ(dpi(0), 500);
  EXPECT_EQ(dpi(11811), 300);   // (11811 * 254 + 5000) / 10000 = 300.49
  EXPECT_EQ(dpi(20078), 510);   // 509.98 rounds up
  EXPECT_EQ(dpi(196), 5);       // 4.98 rounds up
  EXPECT_EQ(dpi(-19685), 500);  // no usable resolution
  EXPECT_EQ(dpi(INT32_MAX), 500);
}

TEST(BmpConvert, LengthFieldGrowsWithTheRecord) {
  struct Case {
    int w, h;
    std::vector<uint8_t> field;
  } cases[] = {{115, 1, {0x7F}},                    // value 127: short form
               {116, 1, {0x81, 0x80}},              // 128
               {243, 1, {0x81, 0xFF}},              // 255
               {244, 1, {0x82, 0x01, 0x00}},        // 256
               {65523, 1, {0x82, 0xFF, 0xFF}},      // 65535
               {256, 256, {0x83, 0x01, 0x00, 0x0C}}};  // 65548
  for (const Case &c : cases) {
    const Record r = to_record(make_bmp({c.w, c.h, 8}, ramp_pixels(c.w, c.h)));
    ASSERT_EQ(r.rc, 0) << c.w;
    EXPECT_EQ(std::vector<uint8_t>(r.bytes.begin() + 1, r.bytes.begin() + 1 + c.field.size()), c.field) << c.w;
    EXPECT_EQ(r.bytes.size(), 1 + c.field.size() + 12 + size_t(c.w) * c.h);
  }
}

TEST(BmpConvert, PixelsComeOutTopRowFirstEitherWay) {
  const auto px = ramp_pixels(3, 2);
  const Pixels up = convert(make_bmp({3, 2, 8}, px));
  ASSERT_EQ(up.rc, 0);
  EXPECT_EQ(up.width, 3u);
  EXPECT_EQ(up.height, 2u);
  EXPECT_EQ(up.pixels, px);
  const auto big = ramp_pixels(90, 37);
  const Pixels down = convert(make_bmp({90, -37, 8}, big));
  ASSERT_EQ(down.rc, 0);
  EXPECT_EQ(down.height, 37u);
  EXPECT_EQ(down.pixels, big);
}

TEST(BmpConvert, PixelRowsAreTakenFromTheOffsetField) {
  const auto px = ramp_pixels(4, 2);
  auto bmp = make_bmp({4, 2, 8}, px);
  // Move the rows 16 bytes further and say so in the offset field.
  bmp.insert(bmp.begin() + 1078, 16, 0xEE);
  lumetra::test::put32(bmp, 2, static_cast<uint32_t>(bmp.size()));
  lumetra::test::put32(bmp, 10, 1078 + 16);
  const Pixels out = convert(bmp);
  ASSERT_EQ(out.rc, 0);
  EXPECT_EQ(out.pixels, px);
}

TEST(BmpConvert, UnsupportedBitmapsGiveFive) {
  const auto px = ramp_pixels(8, 8);
  const auto good = make_bmp({8, 8, 8}, px);
  auto with = [&](size_t at, uint32_t v, bool wide = true) {
    auto b = good;
    if (wide) lumetra::test::put32(b, at, v);
    else lumetra::test::put16(b, at, v);
    return b;
  };
  EXPECT_EQ(convert(make_bmp({8, 8, 24}, {})).rc, 5);
  EXPECT_EQ(convert(with(28, 1, false)).rc, 5);       // 1 bit per pixel
  EXPECT_EQ(convert(with(30, 1)).rc, 5);               // compressed
  EXPECT_EQ(convert(with(14, 108)).rc, 5);             // other header size
  EXPECT_EQ(convert(with(2, uint32_t(good.size() + 1))).rc, 5);  // file size field beyond the data
  EXPECT_EQ(convert(with(10, uint32_t(good.size() - 63))).rc, 5);  // rows past the end
  EXPECT_EQ(convert(with(10, 0xFFFFFFF0u)).rc, 5);
  EXPECT_EQ(convert(with(18, 0)).rc, 5);               // no width
  EXPECT_EQ(convert(with(18, uint32_t(-8))).rc, 5);    // negative width
  EXPECT_EQ(convert(with(22, 0)).rc, 5);               // no height
  EXPECT_EQ(convert(with(22, uint32_t(INT32_MIN))).rc, 5);  // |height| has no 32-bit value
  EXPECT_EQ(convert(with(18, 70000)).rc, 5);           // wider than the record can say
  EXPECT_EQ(convert(with(18, 5000)).rc, 5);            // rows do not fit the data
  auto notbm = good;
  notbm[1] = 'A';
  EXPECT_EQ(convert(notbm).rc, 5);
  EXPECT_EQ(convert(std::vector<uint8_t>(good.begin(), good.begin() + 53)).rc, 5);
  // 4097 x 4097 fits the file check of a crafted header but not the
  // 0xFFFFFF record limit.
  auto huge = with(18, 4097);
  lumetra::test::put32(huge, 22, 4097);
  lumetra::test::put32(huge, 10, 0);
  EXPECT_EQ(convert(huge).rc, 5);
}

TEST(BmpConvert, MissingArgumentsGiveFourteenWithOutputsCleared) {
  const auto bmp = make_bmp({4, 4, 8}, ramp_pixels(4, 4));
  unsigned char *px = reinterpret_cast<unsigned char *>(1);
  unsigned w = 5, h = 6;
  EXPECT_EQ(qxbmp_bmpbuffer_to_buffer(nullptr, bmp.size(), &px, &w, &h), 14);
  EXPECT_TRUE(px == nullptr && w == 0 && h == 0);
  w = h = 5;
  EXPECT_EQ(qxbmp_bmpbuffer_to_buffer(bmp.data(), bmp.size(), &px, nullptr, &h), 14);
  EXPECT_EQ(h, 0u);
  EXPECT_EQ(qxbmp_bmpfile_to_buffer(nullptr, &px, &w, &h), 14);
  size_t size = 3;
  EXPECT_EQ(qxbmp_bmpbuffer_to_bir(bmp.data(), bmp.size(), nullptr, &size), 14);
  EXPECT_EQ(size, 0u);
  qxbmp_free(nullptr);
}

TEST(BmpConvert, FileFormReadsTheWholeFile) {
  const auto px = ramp_pixels(90, 12);
  const std::string path = lumetra::test::temp_path("convert.bmp");
  lumetra::test::write_file(path, make_bmp({90, 12, 8}, px));
  unsigned char *out = nullptr;
  unsigned w = 0, h = 0;
  ASSERT_EQ(qxbmp_bmpfile_to_buffer(path.c_str(), &out, &w, &h), 0);
  EXPECT_EQ(w, 90u);
  EXPECT_EQ(h, 12u);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 90 * 12), px);
  qxbmp_free(out);
  // Missing and empty files: 8, outputs cleared.
  out = reinterpret_cast<unsigned char *>(1);
  w = h = 7;
  EXPECT_EQ(qxbmp_bmpfile_to_buffer((path + ".missing").c_str(), &out, &w, &h), 8);
  EXPECT_TRUE(out == nullptr && w == 0 && h == 0);
  lumetra::test::write_file(path, {});
  EXPECT_EQ(qxbmp_bmpfile_to_buffer(path.c_str(), &out, &w, &h), 8);
  EXPECT_EQ(qxbmp_bmpfile_to_buffer("/tmp", &out, &w, &h), 8);  // a directory cannot be read
  std::remove(path.c_str());
}

}  // namespace
