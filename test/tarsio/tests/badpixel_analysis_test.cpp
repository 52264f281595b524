// The bad-pixel analysis on generated frames: the design's own cases (901
// against 900 at 780, seven isolated pixels, four in a 4 x 4 square, the
// 8 x 8 frame with one-pixel borders, the minimum capped at 1024), the exact
// texts, the record and report names, and the edges the limits can reach
// (more bad pixels than the position tables hold, borders leaving nothing).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "device/testcommon.h"
#include "tests/badpixel_analysis.h"

namespace tarsio::tests {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

struct Frame {
  int width, height;
  std::vector<uint16_t> values;
  Frame(int w, int h, uint16_t v) : width(w), height(h), values(static_cast<std::size_t>(w) * h, v) {}
  uint16_t& at(int row, int col) { return values[static_cast<std::size_t>(row) * width + col]; }
  BadPixelAnalysis analyse(const shell::BadTestConfig& limits = shell::BadTestConfig{}) const {
    return SensorVoidScanBadAnalyse(values.data(), values.size(), width, height, limits);
  }
};

TEST(BadPixelAnalysis, FlatFramePassesWithZeroCounts) {
  const BadPixelAnalysis a = Frame(64, 80, 780).analyse();
  EXPECT_TRUE(a.pass);
  EXPECT_EQ(a.all_bad, 0);
  EXPECT_EQ(a.avg_bad, 0);
  EXPECT_EQ(a.largest_group, 0);
  EXPECT_EQ(a.measured, 62 * 78);
  EXPECT_FLOAT_EQ(a.average, 780.0f);
  EXPECT_EQ(a.minimum, 780);
  EXPECT_EQ(a.maximum, 780);
  EXPECT_EQ(a.summary, "\r\nSensorBadTest all bad is: 0, Local Bad is: 0, avg bad is: 0 ");
  EXPECT_EQ(a.report, a.matrix + a.summary);
  EXPECT_TRUE(a.position_list.empty());
}

TEST(BadPixelAnalysis, OneAboveTheOffsetIsBadTheOffsetItselfIsNot) {
  Frame f(64, 80, 780);
  f.at(10, 10) = 901;  // |901 - 780| = 121 > 120
  BadPixelAnalysis a = f.analyse();
  EXPECT_EQ(a.all_bad, 1);
  EXPECT_EQ(a.avg_bad, 0);
  EXPECT_EQ(a.largest_group, 1);
  ASSERT_EQ(a.positions.size(), 1u);
  EXPECT_EQ(a.positions[0].row, 10);
  EXPECT_EQ(a.positions[0].col, 10);
  EXPECT_THAT(a.matrix, HasSubstr("[901],  "));
  EXPECT_EQ(a.position_list, "\r\nR11,\t[11, 901],  ");
  EXPECT_TRUE(a.pass);

  f.at(10, 10) = 900;  // not bad, and 900 x 100 stays below 125 x 780
  a = f.analyse();
  EXPECT_EQ(a.all_bad, 0);
  EXPECT_EQ(a.avg_bad, 0);
  EXPECT_THAT(a.matrix, HasSubstr("900,  "));
}

TEST(BadPixelAnalysis, SevenIsolatedBadPixelsFailOnTheCount) {
  Frame f(64, 80, 780);
  for (int k = 0; k < 7; ++k) f.at(5 + 10 * k, 5 + 8 * k) = 0;
  const BadPixelAnalysis a = f.analyse();
  EXPECT_EQ(a.all_bad, 7);
  EXPECT_EQ(a.largest_group, 1);
  EXPECT_FALSE(a.pass);
  EXPECT_EQ(a.report, a.matrix + a.summary + "SensorBadTest Bad Position:" + a.position_list);
  EXPECT_THAT(a.position_list, StartsWith("\r\nR06,\t[6, 0],  \r\nR16,\t[14, 0],  "));

  f.at(5 + 10 * 6, 5 + 8 * 6) = 780;  // six are allowed
  EXPECT_TRUE(f.analyse().pass);
}

TEST(BadPixelAnalysis, FourInASquareFailOnTheLocalGroup) {
  Frame f(64, 80, 780);
  const int cells[4][2] = {{20, 20}, {20, 23}, {23, 20}, {23, 23}};
  for (const auto& c : cells) f.at(c[0], c[1]) = 1000;
  BadPixelAnalysis a = f.analyse();
  EXPECT_EQ(a.all_bad, 4);
  EXPECT_EQ(a.largest_group, 4);
  EXPECT_FALSE(a.pass);
  EXPECT_EQ(a.summary, "\r\nSensorBadTest all bad is: 4, Local Bad is: 4, avg bad is: 0 ");

  // The same four, 7 rows apart: no neighbours within the 7 x 7 window.
  Frame spread(64, 80, 780);
  for (int k = 0; k < 4; ++k) spread.at(5 + 7 * k, 20) = 1000;
  a = spread.analyse();
  EXPECT_EQ(a.all_bad, 4);
  EXPECT_EQ(a.largest_group, 1);
  EXPECT_TRUE(a.pass);
}

TEST(BadPixelAnalysis, LocalGroupCountsStrictlyInsideTheWindow) {
  // Distances of 6 are inside a limit of 7; 7 is outside.
  EXPECT_EQ(largest_local_group({{0, 0}, {6, 6}}, 7, 7), 2);
  EXPECT_EQ(largest_local_group({{0, 0}, {7, 0}}, 7, 7), 1);
  EXPECT_EQ(largest_local_group({{0, 0}, {0, 7}}, 7, 7), 1);
  // A chain: the middle pixel sees both ends.
  EXPECT_EQ(largest_local_group({{0, 0}, {0, 5}, {0, 10}}, 7, 7), 3);
  EXPECT_EQ(largest_local_group({}, 7, 7), 0);
}

TEST(BadPixelAnalysis, EightByEightWithOnePixelBordersMeasuresTheInnerSixBySix) {
  Frame f(8, 8, 780);
  f.at(0, 0) = 0;  // in the border: not measured
  f.at(7, 7) = 0;
  const BadPixelAnalysis a = f.analyse();
  EXPECT_EQ(a.measured, 36);
  EXPECT_EQ(a.all_bad, 0);
  const std::string header =
      "虚拟触摸平均值：780.00,最大值是:780 最小值是:780R-C\t002,  003,  004,  005,  006,  007,  ";
  EXPECT_THAT(a.matrix, StartsWith(header));
  const std::string row = "780,  780,  780,  780,  780,  780,  ";
  std::string expected = header;
  for (int r = 2; r <= 7; ++r) expected += "\nR0" + std::to_string(r) + ",\t" + row;
  EXPECT_EQ(a.matrix, expected);
}

TEST(BadPixelAnalysis, AverageBadPixelsAreMarkedWithA) {
  shell::BadTestConfig limits;
  limits.standard_offset = 500;  // wide enough that only the average rule acts
  Frame f(16, 16, 780);
  f.at(3, 4) = 500;   // 500 x 100 < 75 x average
  f.at(5, 6) = 1100;  // 1100 x 100 > 125 x average
  const BadPixelAnalysis a = f.analyse(limits);
  EXPECT_EQ(a.all_bad, 0);
  EXPECT_EQ(a.avg_bad, 2);
  EXPECT_THAT(a.matrix, HasSubstr("[a500],  "));
  EXPECT_EQ(a.position_list, "\r\nR04,\t[a5, a500],  \r\nR06,\t[a7, a1100],  ");
  EXPECT_TRUE(a.pass);

  limits.bad_avg_control_cnt = 1;
  EXPECT_FALSE(f.analyse(limits).pass);
}

TEST(BadPixelAnalysis, MinimumNeverExceeds1024) {
  const BadPixelAnalysis a = Frame(8, 8, 2000).analyse();
  EXPECT_EQ(a.minimum, 1024);
  EXPECT_EQ(a.maximum, 2000);
}

TEST(BadPixelAnalysis, TypesTwoAndThreeAnalyseEightTimesTheRawByte) {
  const uint16_t raw[3] = {device::form_pixel(100, 2), device::form_pixel(100, 3), device::form_pixel(100, 1)};
  EXPECT_EQ(analysis_values(raw, 1, 2)[0], 800);
  EXPECT_EQ(analysis_values(raw + 1, 1, 3)[0], 800);
  EXPECT_EQ(analysis_values(raw + 2, 1, 1)[0], 100);
  EXPECT_EQ(analysis_values(raw + 2, 1, 6)[0], 100);
}

TEST(BadPixelAnalysis, MoreBadPixelsThanTheTablesHoldAreStillCounted) {
  // 160 x 160 all bad: 158 x 158 = 24964 measured bad pixels.
  const BadPixelAnalysis a = Frame(160, 160, 0).analyse();
  EXPECT_EQ(a.all_bad, 158 * 158);
  EXPECT_EQ(a.positions.size(), kBadTableSize);
  // The groups are formed over the recorded pixels (58 full rows and part of
  // the 59th): the 13 x 13 window (distances up to 6) around an inner one is
  // full.
  EXPECT_EQ(a.largest_group, 169);
  EXPECT_FALSE(a.pass);
  EXPECT_THAT(a.summary, HasSubstr("all bad is: 24964,"));
  // The texts list every bad pixel, recorded or not.
  EXPECT_THAT(a.position_list, HasSubstr("\r\nR159,\t[2, 0],  "));
}

TEST(BadPixelAnalysis, BordersThatLeaveNoPixelMeasureNothingAndFail) {
  shell::BadTestConfig limits;
  limits.screen_l = 5;
  limits.screen_r = 5;  // 8 columns minus 10
  BadPixelAnalysis a = Frame(8, 8, 780).analyse(limits);
  EXPECT_EQ(a.measured, 0);
  EXPECT_EQ(a.average, 0.0f);
  EXPECT_EQ(a.all_bad, 0);
  EXPECT_FALSE(a.pass);
  EXPECT_EQ(summary_record(a), "0,0,0.00,0,0,1024\n");

  limits = shell::BadTestConfig{};
  limits.screen_t = 4;
  limits.screen_b = 4;  // exactly the frame's height
  EXPECT_EQ(Frame(8, 8, 780).analyse(limits).measured, 0);
}

TEST(BadPixelAnalysis, NegativeOrOversizedBordersStayInsideTheFrame) {
  shell::BadTestConfig limits;
  limits.screen_t = -3;
  limits.screen_l = -1;
  limits.screen_b = 0;
  limits.screen_r = 0;
  Frame f(8, 8, 780);
  f.at(0, 0) = 0;
  const BadPixelAnalysis a = f.analyse(limits);
  EXPECT_EQ(a.measured, 64);
  EXPECT_EQ(a.all_bad, 1);
  EXPECT_THAT(a.matrix, HasSubstr("R-C\t001,  002,"));

  // A frame shorter than its geometry: only the rows present are measured.
  const std::vector<uint16_t> half(32, 780);
  EXPECT_EQ(SensorVoidScanBadAnalyse(half.data(), half.size(), 8, 8, shell::BadTestConfig{}).measured, 3 * 6);
  EXPECT_EQ(SensorVoidScanBadAnalyse(nullptr, 0, 8, 8, shell::BadTestConfig{}).measured, 0);
}

TEST(BadPixelAnalysis, RecordAndReportTexts) {
  Frame f(16, 16, 780);
  f.at(2, 2) = 1000;
  f.at(2, 3) = 1000;
  f.at(3, 2) = 1000;
  f.at(3, 3) = 1000;
  const BadPixelAnalysis a = f.analyse();
  ASSERT_FALSE(a.pass);
  EXPECT_EQ(summary_record(a), "4,4,784.49,0,1000,780\n");

  const std::string block = report_block(report_id_header("23_7_112_9_0_61_200_14_3_88"), a);
  EXPECT_THAT(block, StartsWith("\nSensorID:23_7_112_9_0_61_200_14_3_88\n虚拟触摸平均值：784.49,"));
  EXPECT_THAT(block, HasSubstr("SensorBadTest Bad Position:\r\nR03,\t[3, 1000],  [4, 1000],  "));
  EXPECT_THAT(block, EndsWith("\r\nTest Result NG\r\n"));

  const BadPixelAnalysis good = Frame(16, 16, 780).analyse();
  const std::string ok = report_block(report_time_header(2026, 3, 4, 5, 6, 7), good);
  EXPECT_THAT(ok, StartsWith("TestTime:2026_03_04_05_06_07\n"));
  EXPECT_THAT(ok, EndsWith(" avg bad is: 0 \r\nTest Result OK\r\n"));
  EXPECT_THAT(ok, Not(HasSubstr("Bad Position")));
}

TEST(BadPixelAnalysis, ReportFileNamesByFormatAndModel) {
  EXPECT_EQ(report_file_name(1, 3), "Sensorbadtest_KM3103W.csv");
  EXPECT_EQ(report_file_name(2, 3), "Sensorbadtest_KM3103W.txt");
  EXPECT_EQ(report_file_name(1, 1), "Sensorbadtest_KM3101W.csv");
  EXPECT_EQ(report_file_name(0, 3), "");
  EXPECT_EQ(report_file_name(3, 3), "");
  EXPECT_STREQ(sensor_type_name(0), "NONE");
  EXPECT_STREQ(sensor_type_name(7), "KM3107W");
  // The type is a signed 32-bit value from the device.
  EXPECT_STREQ(sensor_type_name(8), "NONE");
  EXPECT_STREQ(sensor_type_name(-1), "NONE");
  EXPECT_STREQ(sensor_type_name(INT32_MIN), "NONE");
}

}  // namespace
}  // namespace tarsio::tests
