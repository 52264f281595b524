// The bitmap writer: byte-exact files for the design's two examples, the
// grey palette, padding and bottom-up rows, open failures, and a check that
// an ordinary image reader (Qt's) reads the file back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tarsio/test_support.h"
#include "tests/savebmpfunc.h"

#ifdef TARSIO_TEST_HAVE_QT
#include <QImage>
#endif

namespace tarsio::tests {
namespace {

using ::testing::HasSubstr;
using testing::read_file;
using testing::ScratchDir;

uint32_t u32(const std::string& b, std::size_t at) {
  return static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8 |
         static_cast<uint8_t>(b[at + 2]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24;
}
uint16_t u16(const std::string& b, std::size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8);
}

TEST(BitmapWriter, SixtyFourByEighty) {
  ScratchDir dir;
  std::vector<uint8_t> pixels(64 * 80);
  for (int r = 0; r < 80; ++r)
    for (int c = 0; c < 64; ++c) pixels[r * 64 + c] = static_cast<uint8_t>(r * 3 + c);
  EXPECT_TRUE(WriteBmpFile("frame.bmp", pixels.data(), 64, 80));
  const std::string b = read_file("frame.bmp");
  ASSERT_EQ(b.size(), 6198u);
  EXPECT_EQ(b.substr(0, 2), "BM");
  EXPECT_EQ(u32(b, 2), 6198u);
  EXPECT_EQ(u32(b, 6), 0u);
  EXPECT_EQ(u32(b, 10), 1078u);
  EXPECT_EQ(u32(b, 14), 40u);
  EXPECT_EQ(u32(b, 18), 64u);
  EXPECT_EQ(u32(b, 22), 80u);
  EXPECT_EQ(u16(b, 26), 1);
  EXPECT_EQ(u16(b, 28), 8);
  EXPECT_EQ(u32(b, 30), 0u);
  EXPECT_EQ(u32(b, 34), 5120u);
  for (int at = 38; at < 54; at += 4) EXPECT_EQ(u32(b, at), 0u) << at;
  for (uint32_t i = 0; i < 256; ++i) ASSERT_EQ(u32(b, 54 + 4 * i), i | i << 8 | i << 16) << i;
  // Stored row k is picture row 79 - k.
  for (int k = 0; k < 80; ++k)
    ASSERT_EQ(0, std::memcmp(b.data() + 1078 + k * 64, pixels.data() + (79 - k) * 64, 64)) << k;
}

TEST(BitmapWriter, SixByTwoPadsRowsToFourBytes) {
  ScratchDir dir;
  const uint8_t pixels[12] = {1, 2, 3, 4, 5, 6, 250, 251, 252, 253, 254, 255};
  WriteBmpFile("small.bmp", pixels, 6, 2);
  const std::string b = read_file("small.bmp");
  ASSERT_EQ(b.size(), 1094u);
  EXPECT_EQ(u32(b, 2), 1094u);
  EXPECT_EQ(u32(b, 34), 16u);
  EXPECT_EQ(b.substr(1078), std::string("\xFA\xFB\xFC\xFD\xFE\xFF\0\0\x01\x02\x03\x04\x05\x06\0\0", 16));
}

TEST(BitmapWriter, OrdinaryReaderSeesTheSamePicture) {
#ifndef TARSIO_TEST_HAVE_QT
  GTEST_SKIP() << "built without Qt";
#else
  ScratchDir dir;
  const uint8_t pixels[15] = {0, 255, 128, 64, 32, 1, 2, 3, 4, 5, 200, 201, 202, 203, 204};
  WriteBmpFile("read.bmp", pixels, 5, 3);
  QImage image(QString::fromUtf8((dir.path() + "/read.bmp").c_str()));
  ASSERT_FALSE(image.isNull());
  ASSERT_EQ(image.width(), 5);
  ASSERT_EQ(image.height(), 3);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 5; ++c) EXPECT_EQ(qGray(image.pixel(c, r)), pixels[r * 5 + c]) << r << "," << c;
  EXPECT_EQ(image.pixel(0, 0), qRgb(0, 0, 0));        // 0 is black
  EXPECT_EQ(image.pixel(1, 0), qRgb(255, 255, 255));  // 255 is white
#endif
}

TEST(BitmapWriter, FailuresAreLoggedAndStillReturnTrue) {
  ScratchDir dir;
  shell::set_log_threshold(0);
  const uint8_t pixels[4] = {};
  EXPECT_TRUE(WriteBmpFile("missing/dir/x.bmp", pixels, 2, 2));
  EXPECT_TRUE(WriteBmpFile("neg.bmp", pixels, -2, 2));
  EXPECT_TRUE(WriteBmpFile("null.bmp", nullptr, 2, 2));
  EXPECT_TRUE(WriteBmpFile("huge.bmp", pixels, 0x7FFFFFFF, 4));
  EXPECT_EQ(read_file("neg.bmp") + read_file("null.bmp") + read_file("huge.bmp"), "");
  std::vector<std::string> errors;
  for (const auto& line : dir.log_lines())
    if (line.rfind("[App] E", 0) == 0) errors.push_back(line);
  ASSERT_EQ(errors.size(), 4u);
  EXPECT_THAT(errors[0], ::testing::MatchesRegex(
                             R"(\[App\] E error at WriteBmpFile\[savebmpfunc:[0-9]+\]: Open file error 0x2)"));
  EXPECT_THAT(errors[1], HasSubstr("]: invalid image -2 x 2"));
}

}  // namespace
}  // namespace tarsio::tests
