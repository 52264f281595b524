// Finding the module by its hardware id, the bus choice, and opening it with
// its retries and log lines.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <set>

#include "device/device_handle.h"
#include "device/discovery.h"
#include "tarsio/station_helpers.h"
#include "tarsio/test_support.h"

namespace tarsio::device {
namespace {

using platform::SensorDevice;
using ::testing::ElementsAre;
using ::testing::HasSubstr;


TEST(FindDevice, PatternMatchOverTheDeviceList) {
  const std::vector<SensorDevice> devices = {
      {"USB\\VID_3A7C&PID_3102", "/dev/kmxfp0", false},
      {"acpi\\ven_kmx&dev_7001", "/dev/kmxfp1", false},  // lower case still matches
      {"USB\\VID_3A7C&PID_3102", "/dev/kmxfp2", false},
  };
  std::string path = "stale";
  EXPECT_EQ(find_device_in(devices, 0, "VID_3A7C&PID_3101", &path), kErrorNoMoreItems);
  EXPECT_EQ(path, "");
  EXPECT_EQ(find_device_in(devices, 0, "VID_3A7C&PID_3102", &path), 0);
  EXPECT_EQ(path, "/dev/kmxfp0");  // the first matching device
  EXPECT_EQ(find_device_in(devices, 0, "VEN_KMX&DEV_7001", &path), 0);
  EXPECT_EQ(path, "/dev/kmxfp1");
  EXPECT_EQ(kErrorNoMoreItems, 259);
}

TEST(FindDevice, UnreadableIdMatchesAndListErrorsSurface) {
  const std::vector<SensorDevice> unnamed = {{std::nullopt, "/dev/kmxfp0", false}};
  std::string path;
  EXPECT_EQ(find_device_in(unnamed, 0, "VID_3A7C&PID_3101", &path), 0);
  EXPECT_EQ(path, "/dev/kmxfp0");
  // udev could not be asked and no virtual module matched: its error comes back.
  EXPECT_EQ(find_device_in({}, 13, "VID_3A7C&PID_3101", &path), 13);
}

TEST(FindDevice, PatternTableOrder) {
  EXPECT_THAT(kHardwareIdPatterns,
              ElementsAre("VID_3A7C&PID_3101", "VID_3A7C&PID_31A8", "VID_3A7C&PID_3102", "VEN_KMX&DEV_7001",
                          "VEN_KMX&DEV_3600", "VEN_KMX&DEV_6100", "VEN_KMX&DEV_4800"));
}

// A fake system: the patterns whose module is "present", every search made,
// every pause taken.
struct FakeSystem {
  std::set<std::string> present;
  std::string path = "/nonexistent/kmxfp";
  std::vector<std::string> searched;
  std::vector<int> pauses_ms;
  int failures_shown = 0;
  int service_stops = 0;
  int downloads = 0;
  std::vector<int> published;

  DeviceConnection connection() {
    DeviceConnection::Hooks h;
    h.show_open_failure = [this] { ++failures_shown; };
    h.download_fw = [this] { ++downloads; return false; };
    h.publish_device_type = [this](int t) { published.push_back(t); };
    h.stop_service = [this] { ++service_stops; };
    h.sleep = [this](std::chrono::milliseconds d) { pauses_ms.push_back(static_cast<int>(d.count())); };
    h.find_device = [this](const char *pattern, std::string *out) {
      searched.push_back(pattern);
      out->clear();
      if (!present.count(pattern)) return kErrorNoMoreItems;
      *out = path;
      return 0;
    };
    return DeviceConnection(std::move(h));
  }
};

class Connection : public ::testing::Test {
 protected:
  void SetUp() override { shell::set_log_threshold(0); }
  void TearDown() override { close_device_handle(); }
  testing::ScratchDir dir_;
};

TEST_F(Connection, UsbWinsOverSpiAndAModuleThatCannotBeOpenedStillCounts) {
  FakeSystem sys;
  sys.present = {"VEN_KMX&DEV_7001", "VID_3A7C&PID_31A8"};
  auto conn = sys.connection();
  EXPECT_TRUE(conn.connectDevice());
  EXPECT_EQ(conn.device_type(), kDeviceTypeUsb);
  EXPECT_EQ(sys.published, std::vector<int>{1});
  // connectDevice stops at the second USB pattern; createDevHandle searches
  // afresh from the first pattern.
  EXPECT_THAT(sys.searched, ElementsAre("VID_3A7C&PID_3101", "VID_3A7C&PID_31A8", "VID_3A7C&PID_3101",
                                        "VID_3A7C&PID_31A8"));
  // Service stop, 200 ms, then five failed opens 2 ms apart.
  EXPECT_EQ(sys.service_stops, 1);
  EXPECT_EQ(sys.pauses_ms, (std::vector<int>{200, 2, 2, 2, 2, 2}));
  EXPECT_EQ(sys.failures_shown, 1);
  EXPECT_EQ(sys.downloads, 1);  // sent even though the open failed
  EXPECT_EQ(device_handle(), platform::kInvalidDeviceHandle);

  const std::string log = dir_.log_bytes();
  EXPECT_EQ(testing::count_of_text(log, "[App] E error at CTarsioDlg::createDevHandle[tarsiodlg:"), 5);
  EXPECT_THAT(log, HasSubstr("]: Create Handle err 0x2\n"));
  EXPECT_THAT(log, HasSubstr("[App] I connectDevice["));
  EXPECT_THAT(log, HasSubstr("]: Device type: 1(1=usb 2=spi)\n"));
}

TEST_F(Connection, SpiOnlyGivesType2) {
  FakeSystem sys;
  sys.present = {"VEN_KMX&DEV_4800"};
  auto conn = sys.connection();
  EXPECT_TRUE(conn.connectDevice());
  EXPECT_EQ(conn.device_type(), kDeviceTypeSpi);
  EXPECT_THAT(dir_.log_bytes(), HasSubstr("Device type: 2(1=usb 2=spi)"));
}

TEST_F(Connection, NoModuleMeansNoOpenAndNoDownload) {
  FakeSystem sys;
  auto conn = sys.connection();
  EXPECT_FALSE(conn.connectDevice());
  EXPECT_EQ(conn.device_type(), kDeviceTypeUsb);  // unchanged
  EXPECT_EQ(sys.searched.size(), 7u);
  EXPECT_EQ(sys.service_stops, 0);
  EXPECT_EQ(sys.downloads, 0);
  EXPECT_THAT(dir_.log_bytes(), HasSubstr("[App] E error at CTarsioDlg::connectDevice[tarsiodlg:"));
  EXPECT_THAT(dir_.log_bytes(), HasSubstr("]: Not find device\n"));
}

TEST_F(Connection, CreateHandleWithoutModuleReportsTheSearchError) {
  FakeSystem sys;
  auto conn = sys.connection();
  EXPECT_FALSE(conn.createDevHandle());
  EXPECT_EQ(sys.failures_shown, 1);
  EXPECT_THAT(dir_.log_bytes(), HasSubstr("]: Not find device 0x103\n"));
}

// A listening Unix socket stands in for a virtual module's socket.
int listen_on(const std::string &path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The real search over the virtual modules' run directory.
class VirtualModules : public Connection {
 protected:
  void SetUp() override {
    Connection::SetUp();
    std::system(("mkdir -p '" + vm_dir_ + "'").c_str());
  }
  void publish(const std::string &name, const std::string &hwid, const std::string &bus) {
    testing::write_file(vm_dir_ + "/" + name + ".desc",
                        "hardware_id=" + hwid + "\nbus=" + bus + "\nsocket=" + vm_dir_ + "/" + name + ".sock\n");
  }
  std::string vm_dir_ = dir_.path() + "/vm";
  testing::ScopedEnv env_{"TARSIO_VMODULE_DIR", vm_dir_};
};

TEST_F(VirtualModules, LowerCaseIdsAndBusChoice) {
  publish("a-spi", "acpi\\ven_kmx&dev_3600", "spi");
  publish("b-usb", "usb\\vid_3a7c&pid_3102", "usb");
  std::string path;
  EXPECT_EQ(FindDeviceW("VEN_KMX&DEV_3600", &path), 0);
  EXPECT_EQ(path, vm_dir_ + "/a-spi.sock");
  EXPECT_EQ(FindDeviceW("VID_3A7C&PID_3102", &path), 0);
  EXPECT_EQ(path, vm_dir_ + "/b-usb.sock");
  EXPECT_EQ(FindDeviceW("VID_3A7C&PID_3101", &path), kErrorNoMoreItems);

  // Both present: the USB module is chosen and opened.
  const int sock = listen_on(vm_dir_ + "/b-usb.sock");
  ASSERT_GE(sock, 0);
  DeviceConnection::Hooks h;
  h.stop_service = [] {};
  h.sleep = [](std::chrono::milliseconds) {};
  h.download_fw = [] { return true; };  // nobody answers on this socket
  DeviceConnection conn(std::move(h));
  EXPECT_TRUE(conn.connectDevice());
  EXPECT_EQ(conn.device_type(), kDeviceTypeUsb);
  ASSERT_NE(device_handle(), platform::kInvalidDeviceHandle);
  EXPECT_EQ(device_handle()->path(), vm_dir_ + "/b-usb.sock");
  close(sock);
}

TEST_F(VirtualModules, ReplacingTheHandleClosesTheOldDescriptor) {
  publish("m", "USB\\VID_3A7C&PID_3101", "usb");
  const int sock = listen_on(vm_dir_ + "/m.sock");
  ASSERT_GE(sock, 0);
  DeviceConnection::Hooks h;
  h.stop_service = [] {};
  h.sleep = [](std::chrono::milliseconds) {};
  DeviceConnection conn(std::move(h));
  auto open_fds = [] {
    int n = 0;
    for (int fd = 0; fd < 1024; ++fd)
      if (fcntl(fd, F_GETFD) != -1) ++n;
    return n;
  };
  ASSERT_TRUE(conn.createDevHandle());
  const int after_first = open_fds();
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(conn.createDevHandle());
  EXPECT_EQ(open_fds(), after_first);
  close(sock);
}

}  // namespace
}  // namespace tarsio::device
