// Plug and unplug of a running virtual module while the station watches:
// the run directory monitor reports arrival and removal, arrival re-runs the
// discovery (service stop, open, firmware download), and the device-state
// label follows with the notification spellings.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <thread>

#include "device/device_handle.h"
#include "device/discovery.h"
#include "platform/device_monitor.h"
#include "shell/dialog_model.h"
#include "tarsio/station_helpers.h"
#include "tarsio/test_support.h"

extern char **environ;

namespace tarsio::device {
namespace {

using ::testing::HasSubstr;

class NullView : public shell::DialogView {
 public:
  std::string device_state;
  void append_log(const std::string &, shell::LogStyle) override {}
  void set_icon(int, int) override {}
  void set_text(int id, const std::string &t) override {
    if (id == 1045) device_state = t;
  }
  void set_visible(int, bool) override {}
  void flash(int) override {}
  void refresh_colours() override {}
  void show_message_box(const std::string &) override {}
};

// Waits for monitor events for up to `ms`; returns what arrived.
std::vector<platform::DeviceEvent> wait_events(platform::DeviceMonitor &mon, int ms) {
  std::vector<platform::DeviceEvent> all;
  for (int waited = 0; waited < ms && all.empty(); waited += 50) {
    pollfd p{mon.inotify_fd(), POLLIN, 0};
    if (poll(&p, 1, 50) > 0) {
      auto evs = mon.read_events();
      all.insert(all.end(), evs.begin(), evs.end());
    }
  }
  return all;
}

class RunDirectory : public ::testing::Test {
 protected:
  void SetUp() override { shell::set_log_threshold(0); }
  void TearDown() override { device::close_device_handle(); }
  testing::ScratchDir dir_;
  std::string run_dir_ = dir_.path() + "/run";
  testing::ScopedEnv env_{"TARSIO_VMODULE_DIR", run_dir_};
};

TEST_F(RunDirectory, MonitorSeesDescriptorsAppearAndGo) {
  platform::DeviceMonitor mon;
  ASSERT_TRUE(mon.start(run_dir_));  // creates the missing directory
  ASSERT_GE(mon.inotify_fd(), 0);
  // Written under a temporary name and renamed into place, as modules do.
  testing::write_file(run_dir_ + "/.m.tmp", "hardware_id=USB\\VID_3A7C&PID_3101\nsocket=/x\n");
  ASSERT_EQ(std::rename((run_dir_ + "/.m.tmp").c_str(), (run_dir_ + "/m.desc").c_str()), 0);
  EXPECT_EQ(wait_events(mon, 2000), std::vector<platform::DeviceEvent>{platform::DeviceEvent::kArrival});
  // Other files in the directory are not modules.
  testing::write_file(run_dir_ + "/m.sock.note", "x");
  EXPECT_TRUE(wait_events(mon, 200).empty());
  std::remove((run_dir_ + "/m.desc").c_str());
  EXPECT_EQ(wait_events(mon, 2000), std::vector<platform::DeviceEvent>{platform::DeviceEvent::kRemoval});
}

#ifdef TARSIO_VMODULE_BIN

int run_tool(std::vector<std::string> args) {
  args.insert(args.begin(), TARSIO_VMODULE_BIN);
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, TARSIO_VMODULE_BIN, nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(RunDirectory, PlugAndUnplugAVirtualModuleWhileRunning) {
  NullView view;
  shell::DialogModel model(view, {}, [](std::chrono::milliseconds) {});
  int opens_shown_failed = 0;
  device::DeviceConnection::Hooks hooks;
  hooks.show_open_failure = [&] { ++opens_shown_failed; };
  device::DeviceConnection conn(std::move(hooks));
  platform::DeviceMonitor mon;
  ASSERT_TRUE(mon.start(run_dir_));

  // Start-up without a module.
  model.startup_connection(conn.connectDevice());
  EXPECT_EQ(view.device_state, "device has disconnected");

  std::vector<std::string> args = {TARSIO_VMODULE_BIN, "--profile",
                                   std::string(TARSIO_VMODULE_PROFILES) + "/good-spi.ini", "--name", "hp",
                                   "--dir", run_dir_};
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, TARSIO_VMODULE_BIN, nullptr, nullptr, argv.data(), environ), 0);

  auto handle = [&](const std::vector<platform::DeviceEvent> &events) {
    for (auto ev : events)
      model.device_notification(ev == platform::DeviceEvent::kArrival, [&] { return conn.connectDevice(); });
  };
  handle(wait_events(mon, 5000));
  EXPECT_TRUE(model.connected());
  EXPECT_EQ(view.device_state, "device is connectting");
  EXPECT_EQ(conn.device_type(), device::kDeviceTypeSpi);
  EXPECT_NE(device::device_handle(), platform::kInvalidDeviceHandle);

  ASSERT_EQ(run_tool({"unplug", "hp", "--dir", run_dir_}), 0);
  handle(wait_events(mon, 5000));
  EXPECT_FALSE(model.connected());
  EXPECT_EQ(view.device_state, "device has disconnectted");
  // The handle stays until a new open replaces it.
  EXPECT_NE(device::device_handle(), platform::kInvalidDeviceHandle);

  ASSERT_EQ(run_tool({"plug", "hp", "--dir", run_dir_}), 0);
  handle(wait_events(mon, 5000));
  EXPECT_TRUE(model.connected());
  EXPECT_EQ(view.device_state, "device is connectting");
  EXPECT_EQ(opens_shown_failed, 0);

  const std::string log = dir_.log_bytes();
  // Start-up found nothing; each arrival re-ran discovery and the download.
  EXPECT_EQ(testing::count_of_text(log, "Device type: 2(1=usb 2=spi)"), 2);
  EXPECT_EQ(testing::count_of_text(log, "download fw success"), 2);

  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
}

#endif

}  // namespace
}  // namespace tarsio::device
