// Sensor-side entry points: no transport behind them, so their results
// are fixed and they only store what they are given.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "api/state.h"
#include "lumetra.h"

namespace {

using lumetra::api::g_state;
using lumetra::api::kBaseFrameValues;

class SensorSide : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = g_state;
    g_state.sensor = lumetra::api::SensorSideStore{};  // every value 0
  }
  void TearDown() override { g_state = saved_; }
  lumetra::api::State saved_;
};

TEST_F(SensorSide, CaptureReportsNoImageAndLeavesTheBuffer) {
  std::vector<unsigned char> pixels(88 * 88, 0x55);
  EXPECT_EQ(nerio_GetFpImage(pixels.data()), 1);
  for (unsigned char p : pixels) ASSERT_EQ(p, 0x55);
}

TEST_F(SensorSide, DetectFingerWaitsOneSecondAndFindsNone) {
  const auto t0 = std::chrono::steady_clock::now();
  const unsigned char result = nerio_DetectFinger();
  const auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_EQ(result, 2);
  EXPECT_GE(waited, std::chrono::milliseconds(1000));
}

TEST_F(SensorSide, HardwareCheckChangesNothingObservable) {
  const lumetra::api::State before = g_state;
  EXPECT_EQ(nerio_qx_get_verify_hw_status(), 1);
  nerio_qx_verify_hw(88, 88);
  nerio_qx_verify_hw(0, 88);
  nerio_qx_verify_hw(-88, 88);
  nerio_qx_verify_hw(-65536, -65536);      // positive only as a wrapped 32-bit product
  nerio_qx_verify_hw(0x7FFFFFFF, 0x7FFFFFFF);  // cannot be allocated
  EXPECT_EQ(nerio_qx_get_verify_hw_status(), 1);
  EXPECT_EQ(std::memcmp(&before, &g_state, sizeof before), 0);
}

TEST_F(SensorSide, SensorParamsAndFactorsAreCopiedWhole) {
  unsigned char block[48];
  for (int i = 0; i < 48; ++i) block[i] = static_cast<unsigned char>(i * 5 + 1);
  nerio_SetSensorParam(block);
  EXPECT_EQ(std::memcmp(g_state.sensor.sensor_param, block, 48), 0);

  const int factors[7] = {-1, 2, -3, 4, 0x7FFFFFFF, -0x7FFFFFFF - 1, 7};
  nerio_SetFactordValue(factors);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(g_state.sensor.factors[i], factors[i]);
}

// The base frame takes rows x cols values, and nothing when that count is
// outside 0..25600.
struct FrameCase {
  int cols, rows;
  int copied;
};

std::string FrameCaseName(const ::testing::TestParamInfo<FrameCase> &info) {
  auto part = [](int v) { return (v < 0 ? "minus" : "") + std::to_string(v < 0 ? -static_cast<long>(v) : v); };
  return part(info.param.cols) + "x" + part(info.param.rows);
}

class BaseFrame : public SensorSide, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(BaseFrame, CopiesOnlyWhatFits) {
  const FrameCase c = GetParam();
  set_fp_sensor_col_row(c.cols, c.rows);
  std::vector<unsigned short> frame(kBaseFrameValues + 16);
  for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<unsigned short>(i + 1);
  nerio_SetDatabaseValue(frame.data());
  int copied = 0;
  while (copied < kBaseFrameValues && g_state.sensor.base_frame[copied] == frame[copied]) ++copied;
  EXPECT_EQ(copied, c.copied);
  for (int i = copied; i < kBaseFrameValues; ++i) ASSERT_EQ(g_state.sensor.base_frame[i], 0) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Geometries, BaseFrame,
    ::testing::Values(FrameCase{88, 88, 7744},          // 15488 bytes
                      FrameCase{160, 160, 25600},       // exactly the capacity
                      FrameCase{161, 160, 0},           // one row too many
                      FrameCase{-88, 88, 0},            // negative count
                      FrameCase{-88, -88, 7744},        // the product is what counts
                      FrameCase{65536, 65536, 0},       // wraps to 0 in 32 bits
                      FrameCase{0, 88, 0}),
    FrameCaseName);

}  // namespace
