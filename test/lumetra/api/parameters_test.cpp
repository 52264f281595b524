// Parameters, version text and progress query of the library interface.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <regex>

#include "api/state.h"
#include "lumetra.h"

namespace {

using lumetra::api::g_state;

// A copy of the state taken during static initialisation of this test
// program, before main: the library's state is constant-initialised, so
// this is what a host sees right after loading it.
const lumetra::api::State kStateAtLoad = g_state;

// Every test starts from the state at load and leaves it so.
class LibraryParameters : public ::testing::Test {
 protected:
  void SetUp() override { g_state = kStateAtLoad; }
  void TearDown() override { g_state = kStateAtLoad; }
};

TEST_F(LibraryParameters, DefaultsAtLoad) {
  const auto &p = kStateAtLoad.params;
  EXPECT_EQ(p.sensor_col, 88);
  EXPECT_EQ(p.sensor_row, 88);
  EXPECT_EQ(p.image_col, 88);
  EXPECT_EQ(p.image_row, 88);
  EXPECT_EQ(p.alg_max_tpl_count, 0);
  EXPECT_EQ(p.sensor_max_tpl_count, 8);
  EXPECT_EQ(p.far_val, 12u);
  EXPECT_EQ(p.dyn_update_flg, 0);
  EXPECT_EQ(p.dyn_update_far_val, 18u);
  EXPECT_EQ(p.max_nbr_subtemplate, 0);
  EXPECT_EQ(p.transfer_bytes_max, 1014);

  int col = 0, row = 0;
  get_fp_sensor_col_row(&col, &row);
  EXPECT_EQ(col, 88);
  EXPECT_EQ(row, 88);
  get_fp_image_col_row(&col, &row);
  EXPECT_EQ(col, 88);
  EXPECT_EQ(row, 88);
  unsigned short info = 0xFFFF;
  get_nerio_alg_info(&info);
  EXPECT_EQ(info, 0);
}

TEST_F(LibraryParameters, GeometrySettersStoreUnvalidated) {
  set_fp_sensor_col_row(-5, 70000);
  int col = 0, row = 0;
  get_fp_sensor_col_row(&col, &row);
  EXPECT_EQ(col, -5);
  EXPECT_EQ(row, 70000);

  // The image geometry is reported back and touches nothing else.
  set_fp_image_col_row(100, 120);
  get_fp_image_col_row(&col, &row);
  EXPECT_EQ(col, 100);
  EXPECT_EQ(row, 120);
  EXPECT_EQ(g_state.params.sensor_col, -5);
  EXPECT_EQ(g_state.params.sensor_row, 70000);
}

TEST_F(LibraryParameters, FalseAcceptLevelsOutsideTheTablesChangeNothing) {
  // Cut to 8 bits, 256 and 512 would become 0 (accept everyone) and 28..255
  // would lie beyond the threshold tables (reject everyone).
  set_nerio_FAR_Val(7);
  for (int far : {256, 512, INT_MIN, -1, 28, 1000, 268, 255, INT_MAX}) {
    set_nerio_FAR_Val(far);
    EXPECT_EQ(g_state.params.far_val, 7u) << far;
  }
  for (int far : {0, 1, 12, 26, 27}) {
    set_nerio_FAR_Val(far);
    EXPECT_EQ(g_state.params.far_val, static_cast<uint32_t>(far));
  }
}

TEST_F(LibraryParameters, NarrowSettersKeepTheLowEightBits) {
  set_fp_dyn_update_FAR_VAL(-1);
  EXPECT_EQ(g_state.params.dyn_update_far_val, 255u);
  set_fp_dyn_update_FAR_VAL(0x1234);
  EXPECT_EQ(g_state.params.dyn_update_far_val, 0x34u);

  set_fp_alg_max_tpl_count(0x105);
  EXPECT_EQ(g_state.params.alg_max_tpl_count, 5);
  set_fp_sensor_max_tpl_count(-2);
  EXPECT_EQ(g_state.params.sensor_max_tpl_count, 254);
}

TEST_F(LibraryParameters, WideSettersKeepTheWholeValue) {
  // The subtemplate maximum is cut to 8 bits only when init reads it.
  set_fp_max_nbr_subtemplate(300);
  EXPECT_EQ(g_state.params.max_nbr_subtemplate, 300);
  set_fp_dyn_update_flg(-7);
  EXPECT_EQ(g_state.params.dyn_update_flg, -7);
  nerio_SetTransferBytesMax(70000);
  EXPECT_EQ(g_state.params.transfer_bytes_max, 70000);
}

TEST_F(LibraryParameters, NullPointersAreRefusedAndNothingIsWritten) {
  // Each of these wrote through its pointer unchecked.
  std::memset(g_state.sensor.sensor_param, 0x33, sizeof g_state.sensor.sensor_param);
  std::memset(g_state.sensor.factors, 0x33, sizeof g_state.sensor.factors);
  std::memset(g_state.sensor.base_frame, 0x33, sizeof g_state.sensor.base_frame);
  const lumetra::api::SensorSideStore before = g_state.sensor;
  int value = 0x5A5A;
  get_fp_sensor_col_row(nullptr, nullptr);
  get_fp_sensor_col_row(&value, nullptr);
  get_fp_sensor_col_row(nullptr, &value);
  get_fp_image_col_row(nullptr, nullptr);
  get_fp_image_col_row(&value, nullptr);
  get_fp_image_col_row(nullptr, &value);
  EXPECT_EQ(value, 0x5A5A);
  get_nerio_alg_info(nullptr);
  nerio_get_version(nullptr);
  nerio_SetSensorParam(nullptr);
  nerio_SetFactordValue(nullptr);
  nerio_SetDatabaseValue(nullptr);
  EXPECT_EQ(std::memcmp(before.sensor_param, g_state.sensor.sensor_param, sizeof before.sensor_param), 0);
  EXPECT_EQ(std::memcmp(before.factors, g_state.sensor.factors, sizeof before.factors), 0);
  EXPECT_EQ(std::memcmp(before.base_frame, g_state.sensor.base_frame, sizeof before.base_frame), 0);
}

TEST_F(LibraryParameters, AlgInfoPacksProgressAndEvent) {
  g_state.params.enroll_progress = 40;
  g_state.params.enroll_event = 3;
  unsigned short info = 0;
  get_nerio_alg_info(&info);
  EXPECT_EQ(info, 40 + 256 * 3);

  g_state.params.enroll_progress = 255;
  g_state.params.enroll_event = 255;
  get_nerio_alg_info(&info);
  EXPECT_EQ(info, 0xFFFF);
}

TEST_F(LibraryParameters, VersionIsTwentyThreeCharactersUnterminated) {
  char text[32];
  std::memset(text, 0x41, sizeof text);
  nerio_get_version(text);
  // "Lumetra v1.0.5 " and the source revision: "g" and an abbreviated
  // commit hash, or "unknown" padded with spaces outside a git checkout.
  const std::string version(text, 23);
  EXPECT_TRUE(std::regex_match(version, std::regex("Lumetra v1\\.0\\.5 (g[0-9a-f]{7}|unknown )"))) << version;
  EXPECT_EQ(version.find("SVN"), std::string::npos);
  EXPECT_EQ(text[23], 0x41);
  // The header's version macros say the same version.
  EXPECT_EQ(version.substr(0, 15), "Lumetra v" + std::to_string(LUMETRA_VERSION_MAJOR) + "." +
                                       std::to_string(LUMETRA_VERSION_MINOR) + "." +
                                       std::to_string(LUMETRA_VERSION_PATCH) + " ");
  EXPECT_EQ(LUMETRA_VERSION, 10005);
}

TEST_F(LibraryParameters, StationStartupSequence) {
  // The station's calls at start-up, in its order.
  set_fp_sensor_col_row(88, 88);
  set_fp_sensor_max_tpl_count(1);
  set_nerio_FAR_Val(12);
  set_fp_dyn_update_FAR_VAL(12);
  set_fp_dyn_update_flg(0);
  set_fp_max_nbr_subtemplate(32);
  const auto &p = g_state.params;
  EXPECT_EQ(p.sensor_col, 88);
  EXPECT_EQ(p.sensor_row, 88);
  EXPECT_EQ(p.sensor_max_tpl_count, 1);
  EXPECT_EQ(p.far_val, 12u);
  EXPECT_EQ(p.dyn_update_far_val, 12u);
  EXPECT_EQ(p.dyn_update_flg, 0);
  EXPECT_EQ(p.max_nbr_subtemplate, 32);
}

}  // namespace
