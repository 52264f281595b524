// Stopping the fingerprint service when no system bus can be reached: the
// station logs the manager failure and goes on without waiting.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>

#include "device/discovery.h"
#include "platform/service_control.h"
#include "tarsio/station_helpers.h"
#include "tarsio/test_support.h"

namespace tarsio::platform {
namespace {

using ::testing::HasSubstr;

TEST(ServiceStop, NoSystemBusLogsTheManagerFailure) {
  testing::ScratchDir dir;
  shell::set_log_threshold(0);
  testing::ScopedEnv bus("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + dir.path() + "/no-bus");
  EXPECT_EQ(platform::request_unit_stop("fprintd.service"), platform::ServiceStopOutcome::kNoManager);

  const auto t0 = std::chrono::steady_clock::now();
  device::StopWbioService();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
  const auto lines = dir.log_lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_THAT(lines[0], HasSubstr("[App] V StopWbioService: ENTER>>(pid:"));
  EXPECT_THAT(lines[1], ::testing::MatchesRegex(
                            R"(\[App\] E error at CTarsioDlg::StopWbioService\[tarsiodlg:[0-9]+\]: open sc manager fail)"));
}

}  // namespace
}  // namespace tarsio::platform
