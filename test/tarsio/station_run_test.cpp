// Whole runs of the station: each test starts tarsio-vmodule with a profile
// and the tarsio program (offscreen, unattended, from a directory other than
// its own), lets the run finish by itself and checks the verdict, the exit
// code, the result files, the bitmaps and the log.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#if defined(TARSIO_APP_BIN) && defined(TARSIO_VMODULE_BIN)

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
#include <spawn.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tarsio/station_helpers.h"
#include "tarsio/test_support.h"

#ifdef TARSIO_TEST_HAVE_QT
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#endif

extern char** environ;

namespace tarsio {
namespace {

namespace fs = std::filesystem;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using testing::read_file;

// One station directory with its own run directory, runtime directory and
// finger socket, so that several stations can run side by side.
class Station {
 public:
  void init() {
    char tmpl[] = "/tmp/tarsio-run-XXXXXX";
    root = ::mkdtemp(tmpl);
    app = root + "/app";
    for (const char* d : {"/app", "/run", "/xdg", "/cwd", "/lock"}) fs::create_directories(root + d);
    run_dir = root + "/run";
    lock_dir = root + "/lock";
    fs::permissions(root + "/xdg", fs::perms::owner_all, fs::perm_options::replace);
    fs::copy_file(TARSIO_APP_BIN, app + "/tarsio");
    use_config("AppConfig.ini");
  }

  void cleanup(bool keep) {
    if (module_pid > 0) {
      ::kill(module_pid, SIGTERM);
      ::waitpid(module_pid, nullptr, 0);
      module_pid = -1;
    }
    if (!keep) fs::remove_all(root);
    else std::fprintf(stderr, "kept %s\n", root.c_str());
  }

  // Copies a configuration shipped with the virtual module, with some keys
  // of some sections replaced ("Section/Key" -> value).
  void use_config(const std::string& shipped, const std::map<std::string, std::string>& changes = {}) {
    std::ifstream in(std::string(TARSIO_VMODULE_SOURCE) + "/" + shipped);
    std::ofstream out(app + "/AppConfig.ini", std::ios::trunc);
    std::string line, section;
    while (std::getline(in, line)) {
      if (!line.empty() && line[0] == '[') section = line.substr(1, line.find(']') - 1);
      const auto eq = line.find('=');
      if (eq != std::string::npos) {
        const auto it = changes.find(section + "/" + line.substr(0, eq));
        if (it != changes.end()) line = line.substr(0, eq + 1) + it->second;
      }
      out << line << "\n";
    }
  }

  // Adds a "Key=value" line at the top of a section of the station's
  // AppConfig.ini (a second section of the same name would be ignored).
  void add_config_line(const std::string& section, const std::string& line) {
    std::string text = read_file(app + "/AppConfig.ini");
    const std::string head = "[" + section + "]\n";
    const auto at = text.find(head);
    if (at == std::string::npos)
      text += head + line + "\n";
    else
      text.insert(at + head.size(), line + "\n");
    testing::write_file(app + "/AppConfig.ini", text);
  }

  // A shipped profile with some lines replaced ("key=old" -> "key=new").
  std::string profile(const std::string& name, const std::map<std::string, std::string>& changes = {}) {
    std::string text = read_file(std::string(TARSIO_VMODULE_SOURCE) + "/profiles/" + name + ".ini");
    for (const auto& [from, to] : changes) {
      const auto at = text.find(from);
      EXPECT_NE(at, std::string::npos) << from;
      if (at != std::string::npos) text.replace(at, from.size(), to);
    }
    const std::string path = root + "/" + name + ".ini";
    testing::write_file(path, text);
    return path;
  }

  std::vector<std::string> environment() const {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string v = *e;
      for (const char* drop : {"TARSIO_VMODULE_DIR=", "FP_VIRTUAL_IMAGE=", "XDG_RUNTIME_DIR=", "QT_QPA_PLATFORM=",
                               "TARSIO_UNATTENDED=", "TARSIO_LOCK_DIR=", "DBUS_SYSTEM_BUS_ADDRESS=", "DISPLAY=", "WAYLAND_DISPLAY="})
        if (v.rfind(drop, 0) == 0) goto skip;
      env.push_back(v);
    skip:;
    }
    env.push_back("TARSIO_VMODULE_DIR=" + run_dir);
    env.push_back("TARSIO_LOCK_DIR=" + lock_dir);
    env.push_back("FP_VIRTUAL_IMAGE=" + root + "/finger.sock");
    env.push_back("XDG_RUNTIME_DIR=" + root + "/xdg");
    env.push_back("QT_QPA_PLATFORM=offscreen");
    if (!attended) env.push_back("TARSIO_UNATTENDED=1");
    // No system bus: the fingerprint service stop fails quickly and is logged.
    env.push_back("DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + root + "/no-bus");
    return env;
  }

  // Starts a program in cwd; its standard error goes to stderr_file when
  // one is given.  With without_dac_override the program runs without the
  // capability that lets root write into read-only folders.
  pid_t spawn(const std::string& program, std::vector<std::string> args, const std::string& cwd,
              const std::string& stderr_file = "", bool without_dac_override = false) {
    args.insert(args.begin(), program);
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = environment();
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    if (without_dac_override) {
      const pid_t pid = ::fork();
      if (pid == 0) {
        // Out of the bounding set, so that root's exec does not grant it
        // again, and out of the inheritable set, which would.  Exit 126 when
        // either is refused.
        __user_cap_header_struct head{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct caps[_LINUX_CAPABILITY_U32S_3] = {};
        if (::chdir(cwd.c_str()) != 0 || ::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) != 0 ||
            ::syscall(SYS_capget, &head, caps) != 0)
          ::_exit(126);
        caps[CAP_TO_INDEX(CAP_DAC_OVERRIDE)].inheritable &= ~CAP_TO_MASK(CAP_DAC_OVERRIDE);
        if (::syscall(SYS_capset, &head, caps) != 0) ::_exit(126);
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
      }
      return pid;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    if (!stderr_file.empty())
      posix_spawn_file_actions_addopen(&actions, 2, stderr_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
  }

  // Starts the module (extra switches after the profile); false when it did
  // not publish itself.
  bool start_module(const std::string& profile_path, std::vector<std::string> extra = {},
                    const std::string& stderr_file = "") {
    std::vector<std::string> args = {"--profile", profile_path};
    args.insert(args.end(), extra.begin(), extra.end());
    module_pid = spawn(TARSIO_VMODULE_BIN, args, root, stderr_file);
    if (module_pid <= 0) return false;
    for (int i = 0; i < 500; ++i) {
      for (const auto& e : fs::directory_iterator(root + "/run"))
        if (e.path().extension() == ".desc") return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  void stop_module() {
    if (module_pid <= 0) return;
    ::kill(module_pid, SIGTERM);
    ::waitpid(module_pid, nullptr, 0);
    module_pid = -1;
  }

  // Starts the station from another directory; returns its pid.
  pid_t start_station(std::vector<std::string> args = {}, bool without_dac_override = false) {
    return spawn(app + "/tarsio", std::move(args), root + "/cwd", "", without_dac_override);
  }

  // Waits until the log holds the text (true) or the time is up.
  bool wait_for_log(const std::string& text, int timeout_ms = 20000) const {
    for (int waited = 0; waited < timeout_ms; waited += 20) {
      if (log().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  // Waits for the station to end by itself: its exit code, -1 on a timeout.
  int wait_station(pid_t pid, int timeout_s = 40) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    while (std::chrono::steady_clock::now() < end) {
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
  }

  int run_station() {
    const auto t0 = std::chrono::steady_clock::now();
    const int code = wait_station(start_station());
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return code;
  }

  std::string result(const std::string& rel) const { return read_file(app + "/TestResult/" + rel); }
  bool result_exists(const std::string& rel) const { return fs::exists(app + "/TestResult/" + rel); }
  std::string log() const { return read_file(root + "/cwd/log/app.log"); }

  std::string root, app;
  pid_t module_pid = -1;
  double seconds = 0;
  // Message boxes wait for an operator (none comes: offscreen).
  bool attended = false;
  // Where the station looks for virtual modules and keeps module locks
  // (another station's, to share its module).
  std::string run_dir, lock_dir;
};

class StationRun : public ::testing::Test, public Station {
 protected:
  void SetUp() override { init(); }
  void TearDown() override { cleanup(HasFailure()); }
  void start_module(const std::string& profile_path, std::vector<std::string> extra = {}) {
    ASSERT_TRUE(Station::start_module(profile_path, std::move(extra))) << "the module did not publish itself";
  }
};

constexpr const char* kItemStarts[] = {"Start Int Pin test: \r\n",      "Start driver version test: \r\n",
                                       "Start sensor fw version test: \r\n", "Start USB fw version test: \r\n",
                                       "Start sensor bad test: \r\n",   "Start Scene test: \r\n"};

TEST_F(StationRun, GoodUsbModulePassesAllSixItems) {
  start_module(profile("good-usb-type1"));
  EXPECT_EQ(run_station(), 12);
  const std::string pass = result("Pass/Pass.txt");
  for (const char* start : kItemStarts) EXPECT_THAT(pass, HasSubstr(start));
  EXPECT_THAT(pass, StartsWith("Start Int Pin test: \r\nTest result: Pass \r\nEnd Int Pin test. \r\n\r\n"));
  // The run text as the pane showed it, then one line naming the module
  // (type 1 reads no sensor id).
  EXPECT_THAT(pass, EndsWith("Start Scene test: \r\nTest result: Pass \r\nEnd scene test. \r\n\r\n\r\n"
                             " All test result: Pass. \r\n\r\nModule: USB\\VID_3A7C&PID_3101, SensorID: not read \r\n"));
  EXPECT_THAT(pass, Not(HasSubstr("Fail")));
  EXPECT_FALSE(result_exists("Fail/Fail.txt"));
  const std::string log_text = log();
  EXPECT_THAT(log_text, HasSubstr("]: all test success"));
  EXPECT_THAT(log_text, HasSubstr("I CaptureThread["));
  EXPECT_THAT(log_text, HasSubstr("]: Send close app notify"));

  // The bad-pixel test's record and report (type 1 stamps the time).
  EXPECT_THAT(result("SensorBadtest.txt"), StartsWith("2,"));
  EXPECT_THAT(result("Pass/Sensorbadtest_KM3101W.csv"), StartsWith("TestTime:"));
  EXPECT_THAT(result("Pass/Sensorbadtest_KM3101W.csv"), EndsWith("\r\nTest Result OK\r\n"));

  // The raw frame: 96 x 96 around the module's level 160 with its two bad
  // pixels at 255, readable by an ordinary image reader.
  ASSERT_TRUE(result_exists("capture/bad_test_image_1.bmp"));
#ifdef TARSIO_TEST_HAVE_QT
  QImage frame(QString::fromStdString(app + "/TestResult/capture/bad_test_image_1.bmp"));
  ASSERT_FALSE(frame.isNull());
  EXPECT_EQ(frame.width(), 96);
  EXPECT_EQ(frame.height(), 96);
  long sum = 0;
  int saturated = 0;
  for (int y = 0; y < 96; ++y)
    for (int x = 0; x < 96; ++x) {
      const int v = qGray(frame.pixel(x, y));
      sum += v;
      saturated += v == 255;
    }
  EXPECT_EQ(saturated, 2);
  EXPECT_NEAR(sum / (96.0 * 96.0), 160.0, 2.0);
#endif
  std::fprintf(stderr, "good USB run: %.2f s\n", seconds);
}

TEST_F(StationRun, SpiModuleNeverMentionsTheUsbItem) {
  use_config("AppConfig-spi.ini");
  start_module(profile("good-spi"));
  EXPECT_EQ(run_station(), 12);
  const std::string pass = result("Pass/Pass.txt");
  EXPECT_THAT(pass, HasSubstr("All test result: Pass."));
  EXPECT_THAT(pass, Not(HasSubstr("USB")));
  EXPECT_THAT(log(), Not(HasSubstr("USB fw version")));
  EXPECT_THAT(log(), Not(HasSubstr("OnBnClickedButton9")));
}

TEST_F(StationRun, WrongDriverVersionStopsAfterTheInterruptPin) {
  start_module(profile("fault-driver-version"));
  EXPECT_EQ(run_station(), 21);
  const std::string fail = result("Fail/Fail.txt");
  EXPECT_THAT(fail, HasSubstr("Device driver version: 1.0.0.9\r\nTest result: Fail \r\n"));
  EXPECT_THAT(fail, EndsWith("End driver version test. \r\n\r\n"));
  const std::string log_text = log();
  const auto end_int = log_text.find("]: <-Int test end");
  const auto fail_line = log_text.find("[App] W OnBnClickedButton13[");
  ASSERT_NE(end_int, std::string::npos);
  ASSERT_NE(fail_line, std::string::npos);
  EXPECT_LT(end_int, fail_line);
  EXPECT_THAT(log_text.substr(fail_line), StartsWith("[App] W OnBnClickedButton13["));
  EXPECT_THAT(log_text, HasSubstr("]: Driver version test fail\n"));
  EXPECT_THAT(log_text, Not(HasSubstr("Sensor fw version test start->")));
  EXPECT_FALSE(result_exists("Pass/Pass.txt"));
  EXPECT_FALSE(result_exists("capture"));
}

TEST_F(StationRun, ClusteredBadPixelsFailItemFiveWithTheirReports) {
  start_module(profile("fault-bad-cluster"));
  EXPECT_EQ(run_station(), 21);
  const std::string fail = result("Fail/Fail.txt");
  EXPECT_THAT(fail, HasSubstr("Start sensor bad test: \r\nTest result: Fail \r\nSave sensor data => file \r\n"));
  EXPECT_THAT(fail, Not(HasSubstr("Scene")));
  EXPECT_THAT(log(), HasSubstr("]: Sensor bad test fail\n"));
  // Type 3 with format 2: a text report headed by the sensor id, read from
  // the module before it went back to sensor mode.
  const std::string report = result("Fail/Sensorbadtest_KM3103W.txt");
  EXPECT_THAT(report, StartsWith("\nSensorID:23_7_112_9_0_61_200_14_3_88\n虚拟触摸平均值："));
  EXPECT_THAT(report, HasSubstr("Local Bad is: 4,"));
  EXPECT_THAT(report, HasSubstr("SensorBadTest Bad Position:\r\nR"));
  EXPECT_THAT(report, EndsWith("\r\nTest Result NG\r\n"));
  EXPECT_THAT(result("SensorBadtest.txt"), StartsWith("4,4,"));
  const std::string log_text = log();
  EXPECT_LT(log_text.find("ReadSensorId: ENTER"), log_text.find("enter sensor mode"));
  EXPECT_TRUE(result_exists("capture/bad_test_image_1.bmp"));
}

TEST_F(StationRun, BlankFingerFailsTheSceneTest) {
  start_module(profile("good-usb-type1", {{"source=synthetic", "source=white"}}));
  EXPECT_EQ(run_station(), 21);
  const std::string fail = result("Fail/Fail.txt");
  EXPECT_THAT(fail, EndsWith("Start Scene test: \r\nTest result: Fail \r\nEnd scene test."));
  // libfprint refuses a print without minutiae: the capture fails, with the
  // bad-capture box logged instead of shown.
  const std::string log_text = log();
  EXPECT_THAT(log_text, HasSubstr("]: capture fail. hr = 0x80098008"));
  EXPECT_THAT(log_text, HasSubstr("W MessageBox["));
  EXPECT_THAT(log_text, HasSubstr("]: Get image fail"));
  EXPECT_THAT(log_text, HasSubstr("]: Scene test fail"));
}

TEST_F(StationRun, OlderDriverScramblesAndTheStationUndoesIt) {
  use_config("AppConfig.ini", {{"USB/DriverVersion", "1.0.1.30"}});
  start_module(profile("good-usb-type1", {{"driver_version=1.0.1.41", "driver_version=1.0.1.30"}}));
  EXPECT_EQ(run_station(), 12);
  EXPECT_THAT(result("Pass/Pass.txt"), HasSubstr("Device driver version: 1.0.1.30\r\n"));
}

TEST_F(StationRun, WithoutAutoExitAndSceneTestTheWindowStaysOnPass) {
  use_config("AppConfig.ini", {{"common/AutoAppExit", "0"}, {"common/SceneTest", "0"}});
  start_module(profile("good-usb-type1"));
  const pid_t pid = start_station();
  for (int i = 0; i < 2000 && !result_exists("Pass/Pass.txt"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(result_exists("Pass/Pass.txt"));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), 0) << "the program closed itself";
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  const std::string pass = result("Pass/Pass.txt");
  EXPECT_THAT(pass, EndsWith("End sensor bad test. \r\n\r\n\r\n\r\n\r\n All test result: Pass. \r\n\r\n"
                             "Module: USB\\VID_3A7C&PID_3101, SensorID: not read \r\n"));
  EXPECT_THAT(pass, Not(HasSubstr("Scene")));
  EXPECT_THAT(log(), Not(HasSubstr("Send close app notify")));
}

TEST_F(StationRun, DisconnectedStartWritesNoResultFile) {
  const pid_t pid = start_station();
  for (int i = 0; i < 1000 && log().find("Device disconnected") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_THAT(log(), HasSubstr("[App] E error at CTarsioDlg::OnBnClickedButton13[tarsiodlg:"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  EXPECT_FALSE(result_exists("Pass"));
  EXPECT_FALSE(result_exists("Fail"));
}


// --- robustness: no false pass, no hang, nothing unrecorded -----------------

int count_of(const std::string& text, const std::string& needle) {
  int n = 0;
  for (auto pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) ++n;
  return n;
}

TEST_F(StationRun, CloseWhileWaitingForAFingerIsAFailWithItsFailFile) {
  // No finger ever comes; the bad-pixel item has set the pass flag again.
  start_module(profile("good-usb-type1", {{"source=synthetic", "source=none"}}));
  const pid_t pid = start_station();
  ASSERT_TRUE(wait_for_log("CaptureThread: ENTER"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto t0 = std::chrono::steady_clock::now();
  ::kill(pid, SIGTERM);  // the window's close
  EXPECT_EQ(wait_station(pid, 10), 21);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 3.0);
  EXPECT_THAT(result("Fail/Fail.txt"), EndsWith("Start Scene test: \r\n"));
  EXPECT_FALSE(result_exists("Pass/Pass.txt"));
  EXPECT_THAT(log(), HasSubstr("the program closes during a run: the run counts as failed"));
}

TEST_F(StationRun, ModuleGoneDuringTheSceneTestEndsTheRunWithinTheLimit) {
  add_config_line("common", "SceneTestTimeout=4");
  // Unplugged: the removal ends the wait at once.
  start_module(profile("good-usb-type1", {{"delay_ms=300", "delay_ms=60000"}}));
  pid_t pid = start_station();
  ASSERT_TRUE(wait_for_log("CaptureThread: ENTER"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the capture waits
  ::kill(module_pid, SIGUSR1);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(wait_station(pid, 15), 21);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 3.5);
  EXPECT_THAT(result("Fail/Fail.txt"), EndsWith("Start Scene test: \r\nTest result: Fail \r\nEnd scene test."));
  EXPECT_THAT(log(), HasSubstr("capture cancelled"));
  EXPECT_THAT(log(), HasSubstr("the module could not be opened again after the scene test"));
}

TEST_F(StationRun, ModuleKilledDuringTheSceneTestEndsTheRunAtOnce) {
  // No removal event comes from a killed module (its run files stay); the
  // worker's watch on it ends the wait, long before the finger timeout.
  add_config_line("common", "SceneTestTimeout=60");
  start_module(profile("good-usb-type1", {{"delay_ms=300", "delay_ms=60000"}}));
  const pid_t pid = start_station();
  ASSERT_TRUE(wait_for_log("CaptureThread: ENTER"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the capture waits
  ::kill(module_pid, SIGKILL);
  ::waitpid(module_pid, nullptr, 0);
  module_pid = -1;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(wait_station(pid, 20), 21);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 3.5);
  EXPECT_THAT(result("Fail/Fail.txt"), EndsWith("Start Scene test: \r\nTest result: Fail \r\nEnd scene test."));
  EXPECT_FALSE(result_exists("Pass/Pass.txt"));
  // The kill may find the fingerprint device still opening or already
  // capturing: either way the wait ends as cancelled.
  EXPECT_THAT(log(), HasSubstr(" hr = 0x80098004\n"));
  EXPECT_THAT(log(), HasSubstr("the module went away (its channel closed)"));
  EXPECT_THAT(log(), HasSubstr("the module could not be opened again after the scene test"));
}

TEST_F(StationRun, NoFingerEndsTheRunAtTheFingerTimeout) {
  add_config_line("common", "SceneTestTimeout=2");
  start_module(profile("good-usb-type1", {{"delay_ms=300", "delay_ms=60000"}}));
  const pid_t pid = start_station();
  ASSERT_TRUE(wait_for_log("CaptureThread: ENTER"));
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(wait_station(pid, 20), 21);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 6.0);
  EXPECT_TRUE(result_exists("Fail/Fail.txt"));
  EXPECT_THAT(log(), HasSubstr("capture fail. hr = 0x800705b4"));
  EXPECT_THAT(log(), HasSubstr("no finger within 2 s"));
}

TEST_F(StationRun, ModuleKilledDuringTheBulkReadFailsItemFive) {
  start_module(profile("good-usb-type1"), {"--kill-on-code", "0x442038"});
  EXPECT_EQ(run_station(), 21);
  EXPECT_LT(seconds, 20.0);
  EXPECT_THAT(result("Fail/Fail.txt"), HasSubstr("Start sensor bad test: \r\nTest result: Fail \r\n"));
  EXPECT_THAT(log(), HasSubstr("]: frame not read"));
  EXPECT_THAT(log(), Not(HasSubstr("enter sensor mode success")));
  EXPECT_FALSE(result_exists("Pass/Pass.txt"));
  // Nothing was measured: no record, no report.
  EXPECT_FALSE(result_exists("SensorBadtest.txt"));
}

TEST_F(StationRun, FailingSensorInformationReadFailsItemTwo) {
  start_module(profile("good-usb-type1"), {"--fail-code", "0x44201C"});
  EXPECT_EQ(run_station(), 21);
  EXPECT_THAT(result("Fail/Fail.txt"), HasSubstr("Device driver version: \r\nTest result: Fail \r\n"));
  EXPECT_THAT(log(), HasSubstr("DeviceIoControl(..IOCTL_BIOMETRIC_SENSOR_INFO..) 0x5"));
  EXPECT_THAT(log(), HasSubstr("]: Driver version test fail\n"));
}

TEST_F(StationRun, FailingRegisterRequestFailsItemFiveWithoutSuccessLines) {
  start_module(profile("good-usb-type1"), {"--fail-code", "0x442030"});
  EXPECT_EQ(run_station(), 21);
  const std::string log_text = log();
  EXPECT_THAT(log_text, HasSubstr("]: Sensor bad test fail\n"));
  EXPECT_THAT(log_text, HasSubstr("raw capture mode not entered: a request failed"));
  EXPECT_THAT(log_text, HasSubstr("sensor mode not entered: a request failed"));
  EXPECT_THAT(log_text, Not(HasSubstr("enter sensor mode success")));
  EXPECT_THAT(log_text, Not(HasSubstr("sensor bad test success")));
  EXPECT_FALSE(result_exists("capture/bad_test_image_1.bmp"));
}

TEST_F(StationRun, AgcValuesKeepTheirSixteenBits) {
  use_config("AppConfig.ini", {{"SensorBadTest_KM3101/AGC1", "0x11F"}});
  start_module(profile("good-usb-type1"));
  run_station();
  EXPECT_THAT(log(), HasSubstr("writedevice-->bycmd 0x3b, addr = 0x3, val = 0x11f\n"));
}

TEST_F(StationRun, GarbledConfigurationSaysSoInOneLine) {
  testing::write_file(app + "/AppConfig.ini", std::string("\x01\x02garbage\xff\xfe=\n[[[\n", 17));
  start_module(profile("good-usb-type1"));
  EXPECT_EQ(run_station(), 21);  // the defaults accept no driver version
  const std::string line = "configuration file " + app + "/AppConfig.ini holds no known section: the defaults apply";
  EXPECT_EQ(count_of(log(), line), 1);
  fs::remove(app + "/AppConfig.ini");
  fs::remove_all(app + "/TestResult");
  stop_module();
  start_module(profile("good-usb-type1"));
  EXPECT_EQ(run_station(), 21);
  EXPECT_THAT(log(), HasSubstr("configuration file " + app + "/AppConfig.ini not found: the defaults apply"));
}

TEST_F(StationRun, ExtremeConfigurationValuesAreBroughtIntoRange) {
  use_config("AppConfig.ini", {{"SensorBadTest_KM3101/ScreenT", "-2147483648"},
                               {"SensorBadTest_KM3101/ScreenL", "0x80000000"},
                               {"SensorBadTest_KM3101/ScreenB", "2147483647"},
                               {"SensorBadTest_KM3101/ScreenR", "-1"},
                               {"SensorBadTest_KM3101/BadMaxcount", "-5"},
                               {"SensorBadTest_KM3101/Badavgratio", "2147483647"},
                               {"SensorBadTest_KM3101/AGC2", "-2147483648"},
                               {"SensorBadTest_KM3101/DAC1", "0x7fffffff"}});
  start_module(profile("good-usb-type1"));
  // A verdict, not a crash: the border of 96 rows leaves no region, a fail.
  EXPECT_EQ(run_station(), 21);
  const std::string log_text = log();
  EXPECT_THAT(log_text, HasSubstr("[SensorBadTest_KM3101] ScreenT = -2147483648 is outside 0 .. 96: 0 is used"));
  EXPECT_THAT(log_text, HasSubstr("[SensorBadTest_KM3101] ScreenB = 2147483647 is outside 0 .. 96: 96 is used"));
  EXPECT_THAT(log_text, HasSubstr("[SensorBadTest_KM3101] DAC1 = 0x7fffffff is outside 0 .. 65535: 65535 is used"));
  EXPECT_THAT(result("Fail/Fail.txt"), HasSubstr("Start sensor bad test: \r\nTest result: Fail \r\n"));
}

// Runs the station with TestResult/ on a full file system of its own (a
// small tmpfs in a private mount namespace, filled up), then copies what the
// run left there to seen/.  Its exit code; 125 when this process may not
// make such a file system.
int run_station_on_a_full_disk(Station& st, const std::string& earlier_pass) {
  const pid_t pid = ::fork();
  if (pid < 0) return 125;
  if (pid == 0) {
    const int flags = ::geteuid() == 0 ? CLONE_NEWNS : CLONE_NEWUSER | CLONE_NEWNS;
    const std::string results = st.app + "/TestResult";
    fs::create_directories(results);
    if (::unshare(flags) != 0 || ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tarsio-full", results.c_str(), "tmpfs", 0, "size=64k") != 0)
      ::_exit(125);
    fs::create_directories(results + "/Pass");
    fs::create_directories(results + "/Fail");
    if (!earlier_pass.empty()) testing::write_file(results + "/Pass/Pass.txt", earlier_pass);
    {
      std::ofstream filler(results + "/filler", std::ios::binary);
      const std::string block(4096, 'f');
      while (filler.write(block.data(), block.size())) {
      }
    }
    const pid_t station = st.start_station();
    const int code = st.wait_station(station, 60);
    std::error_code ec;
    fs::copy(results, st.root + "/seen", fs::copy_options::recursive, ec);
    fs::remove(st.root + "/seen/filler", ec);
    ::_exit(code < 0 ? 124 : code);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
}

TEST_F(StationRun, FullDiskLeavesNoResultFileOfEitherVerdict) {
  start_module(profile("good-usb-type1"));
  const int code = run_station_on_a_full_disk(*this, "");
  if (code == 125) GTEST_SKIP() << "no private mount namespace with a tmpfs for this process";
  EXPECT_EQ(code, 21);
  // Neither an empty nor a cut file is left: the README's recipes find no
  // verdict file, and the log says why.
  EXPECT_FALSE(fs::exists(root + "/seen/Pass/Pass.txt"));
  EXPECT_FALSE(fs::exists(root + "/seen/Fail/Fail.txt"));
  for (const char* dir : {"/seen/Pass", "/seen/Fail"})
    for (const auto& e : fs::directory_iterator(root + dir))
      EXPECT_NE(e.path().filename().string()[0], '.') << "left behind: " << e.path();
  EXPECT_THAT(log(), HasSubstr("/TestResult/Pass/Pass.txt not written: No space left on device"));
  EXPECT_THAT(log(), HasSubstr("/TestResult/Fail/Fail.txt not written: No space left on device"));
  EXPECT_THAT(log(), HasSubstr("the pass is not recorded: the run counts as failed"));

  // An earlier module's Pass.txt does not stay to be taken for this run's
  // (the space it frees takes this run's Fail.txt, whole).
  fs::remove_all(root + "/seen");
  fs::remove_all(app + "/TestResult");
  stop_module();
  start_module(profile("good-usb-type1"));
  EXPECT_EQ(run_station_on_a_full_disk(*this, "an earlier module's pass\r\n"), 21);
  EXPECT_FALSE(fs::exists(root + "/seen/Pass/Pass.txt"));
  if (fs::exists(root + "/seen/Fail/Fail.txt")) {
    EXPECT_THAT(read_file(root + "/seen/Fail/Fail.txt"),
                EndsWith("/TestResult/Pass/Pass.txt (No space left on device). \r\n"));
  }
}

TEST_F(StationRun, UnwritableResultFilesAreNeverAPass) {
  // A file where the Pass folder should be: the fail is recorded instead,
  // and Fail.txt's last line says why the passing run is a fail.
  fs::create_directories(app + "/TestResult");
  testing::write_file(app + "/TestResult/Pass", "in the way");
  start_module(profile("good-usb-type1"));
  EXPECT_EQ(run_station(), 21);
  EXPECT_THAT(log(), HasSubstr("W MessageBox["));
  EXPECT_THAT(log(), HasSubstr("the pass is not recorded: the run counts as failed"));
  EXPECT_THAT(log(), HasSubstr("cannot create " + app + "/TestResult/Pass"));
  EXPECT_THAT(result("Fail/Fail.txt"),
              EndsWith(" All test result: Pass. \r\n\r\nResult: Fail, the pass could not be recorded in " + app +
                       "/TestResult/Pass/Pass.txt (File exists). \r\n"));
}

TEST_F(StationRun, SignalWhileTheResultBoxWaitsForTheOperatorEndsTheStation) {
  // Attended: the box that says Pass.txt was not written waits for an
  // operator; SIGTERM (and the close it asks for) must still end the
  // program, with the fail recorded.
  attended = true;
  fs::create_directories(app + "/TestResult");
  testing::write_file(app + "/TestResult/Pass", "in the way");
  start_module(profile("good-usb-type1"));
  const pid_t pid = start_station();
  ASSERT_TRUE(wait_for_log("the pass is not recorded: the run counts as failed", 60000));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the boxes are up
  EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), 0) << "the box did not wait";
  const auto t0 = std::chrono::steady_clock::now();
  ::kill(pid, SIGTERM);
  EXPECT_EQ(wait_station(pid, 20), 21);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 5.0);
  EXPECT_THAT(result("Fail/Fail.txt"), HasSubstr("Result: Fail, the pass could not be recorded in "));
  EXPECT_THAT(log(), HasSubstr("SIGTERM: the program closes"));
}

TEST_F(StationRun, EverySignalWhileABoxWaitsEndsTheAttendedStation) {
  // A box on the dialog thread (a failed request during item 2), then one
  // the scene-test worker waits on (no finger within the limit): each
  // signal closes the station with the run recorded as a fail.
  attended = true;
  start_module(profile("good-usb-type1"), {"--fail-code", "0x44201C"});
  pid_t pid = start_station();
  ASSERT_TRUE(wait_for_log("DeviceIoControl(..IOCTL_BIOMETRIC_SENSOR_INFO..) 0x5", 60000));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), 0) << "the box did not wait";
  ::kill(pid, SIGINT);
  EXPECT_EQ(wait_station(pid, 20), 21);
  // The run ends where the box stopped it.
  EXPECT_THAT(result("Fail/Fail.txt"), EndsWith("Config driver version: 1.0.1.41,1.0.1.50 \r\n"));
  EXPECT_THAT(log(), HasSubstr("the program closes during a run: the run counts as failed"));

  stop_module();
  fs::remove_all(app + "/TestResult");
  fs::remove(root + "/cwd/log/app.log");
  add_config_line("common", "SceneTestTimeout=2");
  start_module(profile("good-usb-type1", {{"delay_ms=300", "delay_ms=60000"}}));
  pid = start_station();
  ASSERT_TRUE(wait_for_log("capture fail. hr = 0x800705b4", 60000));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), 0) << "the box did not wait";
  ::kill(pid, SIGHUP);
  EXPECT_EQ(wait_station(pid, 20), 21);
  EXPECT_TRUE(result_exists("Fail/Fail.txt"));
  EXPECT_FALSE(result_exists("Pass/Pass.txt"));
}

TEST_F(StationRun, SighupWhileWaitingForAFingerIsAFailLikeSigterm) {
  start_module(profile("good-usb-type1", {{"source=synthetic", "source=none"}}));
  const pid_t pid = start_station();
  ASSERT_TRUE(wait_for_log("CaptureThread: ENTER"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ::kill(pid, SIGHUP);
  EXPECT_EQ(wait_station(pid, 10), 21);
  EXPECT_THAT(result("Fail/Fail.txt"), EndsWith("Start Scene test: \r\n"));
  EXPECT_FALSE(result_exists("Pass/Pass.txt"));
  EXPECT_THAT(log(), HasSubstr("SIGHUP: the program closes"));
  EXPECT_THAT(log(), HasSubstr("the program closes during a run: the run counts as failed"));
}

TEST_F(StationRun, EarlySignalWritesFailTxtWithTheReason) {
  for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
    const std::string name = sig == SIGTERM ? "SIGTERM" : sig == SIGINT ? "SIGINT" : "SIGHUP";
    SCOPED_TRACE(name);
    fs::remove_all(app + "/TestResult");
    fs::remove_all(root + "/cwd/log");
    const pid_t pid = start_station();  // no module: no run would start
    ASSERT_TRUE(wait_for_log("the app is first running"));
    ::kill(pid, sig);
    EXPECT_EQ(wait_station(pid, 20), 21);
    EXPECT_EQ(result("Fail/Fail.txt"), "\r\nResult: Fail, closed by " + name + " before a test run ended. \r\n");
    EXPECT_THAT(log(), HasSubstr("closed by " + name + " before a run has ended: the run counts as failed"));
    EXPECT_FALSE(result_exists("Pass/Pass.txt"));
  }
}

TEST_F(StationRun, WithoutSceneTestASignalDuringTheItemsEndsTheRunAsAFail) {
  use_config("AppConfig.ini", {{"common/SceneTest", "0"}});
  start_module(profile("good-usb-type1"));
  const pid_t pid = start_station();
  ASSERT_TRUE(wait_for_log("Driver version test start->"));
  ::kill(pid, SIGTERM);
  EXPECT_EQ(wait_station(pid, 20), 21);
  EXPECT_FALSE(result_exists("Pass/Pass.txt"));
  EXPECT_TRUE(result_exists("Fail/Fail.txt"));
  const std::string log_text = log();
  EXPECT_THAT(log_text, HasSubstr("the program was asked to close during the run: no further item runs"));
  EXPECT_THAT(log_text, HasSubstr("the program closes during a run: the run counts as failed"));
  EXPECT_THAT(log_text, Not(HasSubstr("Sensor bad test start->")));
  EXPECT_THAT(log_text, Not(HasSubstr("all test success")));
}

TEST_F(StationRun, WithoutSceneTestTheCloseButtonDuringTheItemsEndsTheRunAsAFail) {
  // The program's test hook turns SIGUSR1 into the window's close button:
  // the close is queued for the dialog thread while it runs an item, as the
  // window system queues it.
  testing::ScopedEnv hook("TARSIO_TEST_CLOSE_ON_SIGUSR1", "1");
  use_config("AppConfig.ini", {{"common/SceneTest", "0"}});
  start_module(profile("good-usb-type1"));
  const pid_t pid = start_station();
  ASSERT_TRUE(wait_for_log("Driver version test start->"));
  ::kill(pid, SIGUSR1);
  EXPECT_EQ(wait_station(pid, 20), 21);
  EXPECT_FALSE(result_exists("Pass/Pass.txt"));
  const std::string fail = result("Fail/Fail.txt");
  EXPECT_THAT(fail, StartsWith("Start Int Pin test: \r\nTest result: Pass \r\nEnd Int Pin test. \r\n\r\n"));
  EXPECT_THAT(fail, Not(HasSubstr("All test result")));
  const std::string log_text = log();
  // The close is taken after the item under way, and goes the way of a
  // signal's: no further item, the run a fail with its Fail.txt.
  const auto asked = log_text.find("the window was asked to close while the items run: the program closes");
  const auto stopped = log_text.find("the program was asked to close during the run: no further item runs");
  ASSERT_NE(asked, std::string::npos) << log_text;
  ASSERT_NE(stopped, std::string::npos);
  EXPECT_LT(asked, stopped);
  EXPECT_LT(log_text.find("<-Driver version test end"), asked);
  EXPECT_THAT(log_text, HasSubstr("the program closes during a run: the run counts as failed"));
  EXPECT_THAT(log_text, Not(HasSubstr("Sensor bad test start->")));
  EXPECT_THAT(log_text, Not(HasSubstr("all test success")));
  EXPECT_THAT(log_text, Not(HasSubstr("SIGUSR1")));
}

TEST_F(StationRun, WithoutSceneTestAPassingRunIsNotChangedByTheCloseCheck) {
  // The check between items takes no key and adds nothing to the run text:
  // with the hook armed but no close, the run passes as before.
  testing::ScopedEnv hook("TARSIO_TEST_CLOSE_ON_SIGUSR1", "1");
  use_config("AppConfig.ini", {{"common/SceneTest", "0"}});
  start_module(profile("good-usb-type1"));
  EXPECT_EQ(run_station(), 12);
  const std::string pass = result("Pass/Pass.txt");
  EXPECT_THAT(pass, HasSubstr("End sensor bad test. \r\n\r\n\r\n\r\n\r\n All test result: Pass. \r\n\r\n"));
  EXPECT_THAT(log(), Not(HasSubstr("asked to close")));
}

TEST_F(StationRun, ReadOnlyResultFolderIsAFailWithTheErrorLogged) {
  fs::create_directories(app + "/TestResult");
  fs::permissions(app + "/TestResult", fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                           fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec,
                  fs::perm_options::replace);
  // Root writes into a read-only folder unless it gives up CAP_DAC_OVERRIDE.
  // A probe started the way the station will be shows whether the folder is
  // really closed to it; where it is not (a container that refuses the drop),
  // this test cannot tell anything and says why.
  const bool drop = ::geteuid() == 0;
  const int probe = wait_station(spawn("/bin/touch", {app + "/TestResult/probe"}, root, "", drop), 10);
  if (probe != 1) {
    fs::permissions(app + "/TestResult", fs::perms::owner_all, fs::perm_options::add);
    if (probe == 126) GTEST_SKIP() << "this process may not give up CAP_DAC_OVERRIDE, so root writes anywhere";
    if (probe == 0) GTEST_SKIP() << "the read-only folder is still writable after giving up CAP_DAC_OVERRIDE";
    GTEST_SKIP() << "the write probe /bin/touch ended with code " << probe;
  }
  start_module(profile("good-usb-type1"));
  const pid_t pid = start_station({}, drop);
  EXPECT_EQ(wait_station(pid), 21);
  fs::permissions(app + "/TestResult", fs::perms::owner_all, fs::perm_options::add);
  EXPECT_THAT(log(), HasSubstr("/TestResult/Pass/Pass.txt not written: Permission denied"));
  EXPECT_FALSE(result_exists("Pass/Pass.txt"));
}

TEST_F(StationRun, AFifoForAConfigurationIsRefusedWithALogLine) {
  fs::remove(app + "/AppConfig.ini");
  ASSERT_EQ(::mkfifo((app + "/AppConfig.ini").c_str(), 0644), 0);
  start_module(profile("good-usb-type1"));
  EXPECT_EQ(run_station(), 21);  // the defaults accept no driver version
  EXPECT_LT(seconds, 30.0);
  EXPECT_EQ(count_of(log(), "configuration file " + app +
                                "/AppConfig.ini is not a regular file: it is not read, the defaults apply"),
            1);
  EXPECT_TRUE(result_exists("Fail/Fail.txt"));
}

TEST_F(StationRun, ASecondStationFindsTheModuleBusyAndFailsItemOne) {
  // The first station holds the module while it waits for a finger.
  start_module(profile("good-usb-type1", {{"source=synthetic", "source=none"}}));
  const pid_t first = start_station();
  ASSERT_TRUE(wait_for_log("CaptureThread: ENTER"));
  // The second: another runtime folder (so no single-instance refusal),
  // the same module and the same lock folder.
  Station second;
  second.init();
  second.run_dir = run_dir;
  second.lock_dir = lock_dir;
  EXPECT_EQ(second.run_station(), 21);
  EXPECT_THAT(second.log(), HasSubstr("is busy: another station (pid " + std::to_string(first) + ") is testing it"));
  EXPECT_THAT(second.log(), HasSubstr("]: Int test fail"));
  EXPECT_THAT(second.result("Fail/Fail.txt"), StartsWith("Start Int Pin test: \r\n"));
  EXPECT_FALSE(second.result_exists("Pass/Pass.txt"));
  // Killed, the first station leaves no lock behind: the module is free.
  ::kill(first, SIGKILL);
  ::waitpid(first, nullptr, 0);
  fs::remove_all(second.app + "/TestResult");
  fs::remove(second.root + "/cwd/log/app.log");
  const pid_t again = second.start_station();
  EXPECT_TRUE(second.wait_for_log("CaptureThread: ENTER"));
  EXPECT_THAT(second.log(), Not(HasSubstr("is busy")));
  EXPECT_THAT(second.log(), HasSubstr("<-Int test end"));
  ::kill(again, SIGKILL);
  ::waitpid(again, nullptr, 0);
  second.cleanup(HasFailure());
}

TEST_F(StationRun, EveryConfigurationKeyIsCheckedWithTheTextItRead) {
  use_config("AppConfig.ini", {{"common/SensorFWVersion", "abc"},
                               {"common/AutoAppExit", "2"},
                               {"common/SceneTest", "0x10"},
                               {"common/AppLogLevel", "-3"},
                               {"USB/USBFWVersion", "0x10105"},
                               {"SensorBadTest_KM3101/SaveResultData", "on"}});
  start_module(profile("good-usb-type1"));
  EXPECT_EQ(run_station(), 21);  // SensorFWVersion reads as 0
  const std::string log_text = log();
  EXPECT_THAT(log_text, HasSubstr("[common] AppLogLevel = -3 is outside 0 .. 6: 0 is used"));
  EXPECT_THAT(log_text, HasSubstr("[common] SceneTest = 0x10 is outside 0 .. 1: 1 is used"));
  EXPECT_THAT(log_text, HasSubstr("[common] AutoAppExit = 2 is outside 0 .. 1: 1 is used"));
  EXPECT_THAT(log_text, HasSubstr("[common] SensorFWVersion = abc is not a number: 0 is used"));
  EXPECT_THAT(log_text, Not(HasSubstr("SensorFWVersion = 0")));
  EXPECT_THAT(result("Fail/Fail.txt"), HasSubstr("Config sensor fw version: 0x0"));

  use_config("AppConfig.ini", {{"USB/USBFWVersion", "0x10105"}, {"SensorBadTest_KM3101/SaveResultData", "on"}});
  fs::remove_all(app + "/TestResult");
  EXPECT_EQ(run_station(), 21);
  EXPECT_THAT(log(), HasSubstr("[USB] USBFWVersion = 0x10105 is outside 0 .. 65535: no value the device reports can match it"));
  EXPECT_THAT(result("Fail/Fail.txt"), HasSubstr("Start USB fw version test: \r\n"));
}

TEST_F(StationRun, ASilentModuleCostsSecondsNotMinutes) {
  // Stopped (SIGSTOP) while the items run: every request has a limit, and
  // the run ends as a fail.
  start_module(profile("good-usb-type1"));
  const pid_t pid = start_station();
  ASSERT_TRUE(wait_for_log("Driver version test start->"));
  ::kill(module_pid, SIGSTOP);
  const auto t0 = std::chrono::steady_clock::now();
  const int code = wait_station(pid, 60);
  const double after = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  ::kill(module_pid, SIGCONT);
  EXPECT_EQ(code, 21);
  EXPECT_LT(after, 20.0);
  EXPECT_TRUE(result_exists("Fail/Fail.txt"));
  EXPECT_FALSE(result_exists("Pass/Pass.txt"));
  std::fprintf(stderr, "silent module during the items: %.1f s to the end\n", after);

  // Stopped while the scene test waits for a finger: the wait and what
  // follows it stay near SceneTestTimeout.
  stop_module();
  fs::remove_all(app + "/TestResult");
  add_config_line("common", "SceneTestTimeout=3");
  start_module(profile("good-usb-type1", {{"delay_ms=300", "delay_ms=60000"}}));
  const pid_t scene = start_station();
  ASSERT_TRUE(wait_for_log("CaptureThread: ENTER"));
  ::kill(module_pid, SIGSTOP);
  const auto t1 = std::chrono::steady_clock::now();
  const int scene_code = wait_station(scene, 60);
  const double scene_after = std::chrono::duration<double>(std::chrono::steady_clock::now() - t1).count();
  ::kill(module_pid, SIGCONT);
  EXPECT_EQ(scene_code, 21);
  EXPECT_LT(scene_after, 15.0);
  EXPECT_TRUE(result_exists("Fail/Fail.txt"));
  std::fprintf(stderr, "silent module during the scene test: %.1f s to the end\n", scene_after);
}

TEST_F(StationRun, NoModuleWithinNoModuleTimeoutEndsTheStationAsAFail) {
  add_config_line("common", "NoModuleTimeout=2");
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(wait_station(start_station(), 30), 21);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 15.0);
  EXPECT_THAT(log(), HasSubstr("no module tested within 2 s (NoModuleTimeout): the program closes"));
  EXPECT_EQ(result("Fail/Fail.txt"),
            "\r\nResult: Fail, no module tested within 2 s (NoModuleTimeout) before a test run ended. \r\n");
  // Off by default: without the key the station keeps waiting.
  fs::remove_all(app + "/TestResult");
  use_config("AppConfig.ini");
  const pid_t waiting = start_station();
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  EXPECT_EQ(::waitpid(waiting, nullptr, WNOHANG), 0);
  ::kill(waiting, SIGKILL);
  ::waitpid(waiting, nullptr, 0);
}

// Runs a command through the shell; its standard output and exit code.
std::pair<std::string, int> command_output(const std::string& command) {
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return {"", -1};
  std::string out;
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, n);
  const int status = ::pclose(pipe);
  return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -2};
}

TEST(StationCommandLine, HelpAndVersionNeedNoDisplay) {
  const std::string bare = std::string("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ") + TARSIO_APP_BIN;
  const auto [help, help_code] = command_output(bare + " --help");
  EXPECT_EQ(help_code, 0);
  EXPECT_THAT(help, HasSubstr("--unattended"));
  EXPECT_THAT(help, HasSubstr("--version"));
  const auto [version, version_code] = command_output(bare + " --version");
  EXPECT_EQ(version_code, 0);
  EXPECT_EQ(version, "Tarsio " TARSIO_VERSION "\n");
}

#ifdef TARSIO_TEST_HAVE_QT
QJsonObject json_of(const std::string& text) { return QJsonDocument::fromJson(QByteArray::fromStdString(text)).object(); }

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST_F(StationRun, AppendedFilesPastTheLimitAreKeptAsNumberedCopiesAtStartUp) {
  add_config_line("common", "RotateSizeMiB=1");
  add_config_line("common", "RotateKeep=2");
  const std::string big_log = "old log line\n" + std::string(1100 * 1024, 'x');
  const std::string big_record = "9,9,9.00,9,9,9\n" + std::string(1100 * 1024, 'r');
  const std::string big_report = "TestTime:old\n" + std::string(1100 * 1024, 'p');
  fs::create_directories(root + "/cwd/log");
  fs::create_directories(app + "/TestResult/Pass");
  fs::create_directories(app + "/TestResult/Fail");
  testing::write_file(root + "/cwd/log/app.log", big_log);
  testing::write_file(root + "/cwd/log/app.log.1", "previous older copy\n");
  testing::write_file(root + "/cwd/log/app.log.2", "oldest copy\n");
  testing::write_file(app + "/TestResult/SensorBadtest.txt", big_record);
  testing::write_file(app + "/TestResult/Pass/Sensorbadtest_KM3101W.csv", big_report);
  testing::write_file(app + "/TestResult/Fail/Sensorbadtest_KM3103W.txt", "small report\r\n");
  start_module(profile("good-usb-type1"));
  EXPECT_EQ(run_station(), 12);

  // Each file that passed the limit went to .1, the older copies moved up,
  // and no more than RotateKeep copies are left.
  EXPECT_EQ(read_file(root + "/cwd/log/app.log.1"), big_log);
  EXPECT_EQ(read_file(root + "/cwd/log/app.log.2"), "previous older copy\n");
  EXPECT_FALSE(fs::exists(root + "/cwd/log/app.log.3"));
  EXPECT_EQ(result("SensorBadtest.txt.1"), big_record);
  EXPECT_EQ(result("Pass/Sensorbadtest_KM3101W.csv.1"), big_report);
  EXPECT_EQ(result("Fail/Sensorbadtest_KM3103W.txt"), "small report\r\n");
  EXPECT_FALSE(result_exists("Fail/Sensorbadtest_KM3103W.txt.1"));

  // The design's files go on where they were, as the design writes them:
  // this run's record and report block, and the whole run's log.
  EXPECT_EQ(lines_of(result("SensorBadtest.txt")).size(), 1u);
  EXPECT_THAT(result("SensorBadtest.txt"), StartsWith("2,"));
  EXPECT_THAT(result("Pass/Sensorbadtest_KM3101W.csv"), StartsWith("TestTime:"));
  EXPECT_THAT(result("Pass/Sensorbadtest_KM3101W.csv"), EndsWith("\r\nTest Result OK\r\n"));
  const std::string log_text = log();
  EXPECT_THAT(log_text, Not(HasSubstr("old log line")));
  const auto rotated = log_text.find("log/app.log passed 1048576 bytes (");
  ASSERT_NE(rotated, std::string::npos) << log_text;
  EXPECT_LT(rotated, log_text.find("the app is first running"));
  EXPECT_THAT(log_text, HasSubstr("/TestResult/SensorBadtest.txt passed 1048576 bytes"));
  EXPECT_THAT(log_text, HasSubstr("/TestResult/Pass/Sensorbadtest_KM3101W.csv passed 1048576 bytes"));
  EXPECT_THAT(log_text, HasSubstr("all test success"));

  // Below the limit nothing moves at the next start.
  stop_module();
  start_module(profile("good-usb-type1"));
  EXPECT_EQ(run_station(), 12);
  EXPECT_EQ(read_file(root + "/cwd/log/app.log.1"), big_log);
  EXPECT_EQ(lines_of(result("SensorBadtest.txt")).size(), 2u);
  EXPECT_EQ(testing::count_of_text(log(), "the app is first running"), 2);
}

TEST_F(StationRun, EachRunKeepsItsBitmapsInItsRecordFolderAndOldRunsArePruned) {
  add_config_line("common", "KeepRuns=3");
  const std::string runs = app + "/TestResult/runs";
  fs::create_directories(runs + "/2020-01-01T000000-1");
  fs::create_directories(runs + "/2020-01-03T000000-1");
  fs::create_directories(runs + "/keep-me");
  testing::write_file(runs + "/2020-01-01T000000-1.json", "{}");
  testing::write_file(runs + "/2020-01-01T000000-1/bad_test_image_1.bmp", "old");
  testing::write_file(runs + "/2020-01-02T000000-1.json", "{}");
  testing::write_file(runs + "/notes.txt", "not a run");
  start_module(profile("good-usb-type1"));

  std::vector<std::string> ids;
  std::vector<std::string> frames;
  for (int run = 1; run <= 2; ++run) {
    SCOPED_TRACE(run);
    EXPECT_EQ(run_station(), 12);
    const QJsonObject r = json_of(lines_of(result("runs.jsonl")).back());
    const std::string id = r["run_id"].toString().toStdString();
    ids.push_back(id);
    EXPECT_TRUE(fs::exists(runs + "/" + id + ".json"));
    // The design's bitmap is overwritten by every run; the run's copy is
    // named in its record.
    const QJsonArray bitmaps = r["bitmaps"].toArray();
    ASSERT_EQ(bitmaps.size(), 1);
    EXPECT_EQ(bitmaps[0].toString().toStdString(), "TestResult/runs/" + id + "/bad_test_image_1.bmp");
    const std::string kept = read_file(app + "/" + bitmaps[0].toString().toStdString());
    EXPECT_EQ(kept, result("capture/bad_test_image_1.bmp"));
    EXPECT_GT(kept.size(), 1078u);
    frames.push_back(kept);
  }
  EXPECT_NE(ids[0], ids[1]);
  // The oldest runs went (document and folder), one at each start, so that
  // with the new run at most KeepRuns are left; what is not a run stays.
  EXPECT_FALSE(fs::exists(runs + "/2020-01-01T000000-1.json"));
  EXPECT_FALSE(fs::exists(runs + "/2020-01-01T000000-1"));
  EXPECT_FALSE(fs::exists(runs + "/2020-01-02T000000-1.json"));
  EXPECT_TRUE(fs::exists(runs + "/2020-01-03T000000-1"));
  EXPECT_EQ(read_file(runs + "/" + ids[0] + "/bad_test_image_1.bmp"), frames[0]);
  EXPECT_TRUE(fs::exists(runs + "/" + ids[1] + "/bad_test_image_1.bmp"));
  EXPECT_TRUE(fs::exists(runs + "/notes.txt"));
  EXPECT_TRUE(fs::exists(runs + "/keep-me"));
  EXPECT_EQ(testing::count_of_text(log(), "oldest runs removed from"), 2);
  EXPECT_THAT(log(), HasSubstr("1 oldest runs removed from " + runs + " (KeepRuns 3; runs.jsonl keeps their "
                               "records), from 2020-01-02T000000-1 to 2020-01-02T000000-1"));
  // The journal keeps every run.
  EXPECT_EQ(lines_of(result("runs.jsonl")).size(), 2u);
}

TEST_F(StationRun, PassTxtEndsWithALineNamingTheModuleAndItsSensorId) {
  start_module(profile("good-usb-type3"));
  EXPECT_EQ(run_station(), 12);
  const QJsonObject module = json_of(lines_of(result("runs.jsonl")).back())["module"].toObject();
  const std::string id = module["sensor_id"].toString().toStdString();
  ASSERT_FALSE(id.empty());
  const std::string pass = result("Pass/Pass.txt");
  EXPECT_THAT(pass, EndsWith(" All test result: Pass. \r\n\r\nModule: USB\\VID_3A7C&PID_31A8, SensorID: " + id +
                             " \r\n"));
  // The line is not shown in the pane: the run text before it is the pane's.
  EXPECT_EQ(testing::count_of_text(pass, "Module: "), 1);
}

TEST_F(StationRun, EveryRunLeavesARecordALineCanTrace) {
  start_module(profile("good-usb-type1"));
  EXPECT_EQ(run_station(), 12);
  std::vector<fs::path> docs;
  for (const auto& e : fs::directory_iterator(app + "/TestResult/runs"))
    if (e.is_regular_file()) docs.push_back(e.path());  // beside the run's folder of bitmaps
  ASSERT_EQ(docs.size(), 1u);
  EXPECT_THAT(docs[0].filename().string(), ::testing::MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{6}-1\\.json"));
  const QJsonObject r = json_of(read_file(docs[0]));
  EXPECT_EQ(r["schema"].toInt(), 1);
  EXPECT_EQ(r["version"].toString().toStdString(), TARSIO_VERSION);
  EXPECT_EQ(r["run"].toInt(), 1);
  EXPECT_EQ(r["date"].toString().size(), 10);
  EXPECT_THAT(log(), HasSubstr("]: run 1, " + r["date"].toString().toStdString() + " (UTC"));
  const QJsonObject module = r["module"].toObject();
  EXPECT_THAT(module["hardware_id"].toString().toStdString(), HasSubstr("VID_3A7C&PID_3101"));
  EXPECT_EQ(module["bus"].toString(), "USB");
  EXPECT_EQ(module["sensor_type"].toInt(), 1);
  EXPECT_THAT(log(), HasSubstr("]: module " + module["hardware_id"].toString().toStdString() + " at " +
                               module["device_path"].toString().toStdString()));
  const QJsonArray items = r["items"].toArray();
  ASSERT_EQ(items.size(), 6);
  const char* names[] = {"int_pin", "driver_version", "sensor_fw_version", "usb_fw_version", "bad_pixels", "scene"};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(items[i].toObject()["item"].toString().toStdString(), names[i]);
    EXPECT_EQ(items[i].toObject()["verdict"].toString(), "pass");
  }
  EXPECT_EQ(items[1].toObject()["read"].toString(), "1.0.1.41");
  EXPECT_EQ(items[1].toObject()["expected"].toString(), "1.0.1.41,1.0.1.50");
  EXPECT_EQ(items[2].toObject()["expected"].toInt(), 0x1F);
  EXPECT_EQ(items[2].toObject()["read"].toInt(), 0x1F);
  EXPECT_EQ(items[4].toObject()["bad"].toInt(), 2);  // the module's two bad pixels
  EXPECT_TRUE(items[4].toObject()["bad_limit"].isDouble());
  EXPECT_GT(items[5].toObject()["mean"].toInt(), 0);
  EXPECT_LT(items[5].toObject()["mean"].toInt(), 255);
  EXPECT_EQ(r["verdict"].toString(), "pass");
  EXPECT_TRUE(r["reason"].isNull());
  EXPECT_EQ(r["result_file"].toString(), "TestResult/Pass/Pass.txt");
  EXPECT_EQ(r["exit_code"].toInt(), 12);

  // The journal: one line per run, appended, the same record.
  stop_module();
  start_module(profile("fault-driver-version"));
  EXPECT_EQ(run_station(), 21);
  const auto journal = lines_of(result("runs.jsonl"));
  ASSERT_EQ(journal.size(), 2u);
  EXPECT_EQ(json_of(journal[0]), r);
  const QJsonObject failed = json_of(journal[1]);
  EXPECT_EQ(failed["verdict"].toString(), "fail");
  EXPECT_EQ(failed["exit_code"].toInt(), 21);
  EXPECT_EQ(failed["result_file"].toString(), "TestResult/Fail/Fail.txt");
  ASSERT_EQ(failed["items"].toArray().size(), 2);
  EXPECT_EQ(failed["items"].toArray()[1].toObject()["read"].toString(), "1.0.0.9");
  EXPECT_EQ(failed["items"].toArray()[1].toObject()["verdict"].toString(), "fail");
}

TEST_F(StationRun, ARecordKeepsTheReasonOfAFailWithoutAFailingItem) {
  const pid_t pid = start_station();  // no module
  ASSERT_TRUE(wait_for_log("the app is first running"));
  ::kill(pid, SIGTERM);
  EXPECT_EQ(wait_station(pid, 20), 21);
  const auto journal = lines_of(result("runs.jsonl"));
  ASSERT_EQ(journal.size(), 1u);
  const QJsonObject r = json_of(journal[0]);
  EXPECT_EQ(r["run"].toInt(), 0);
  EXPECT_EQ(r["reason"].toString(), "closed by SIGTERM before a run has ended");
  EXPECT_TRUE(r["module"].toObject()["hardware_id"].isNull());
  EXPECT_EQ(r["items"].toArray().size(), 0);
  EXPECT_EQ(r["result_file"].toString(), "TestResult/Fail/Fail.txt");
}

// A station folder with a journal of generated runs.
std::string generated_runs(const std::string& dir) {
  fs::create_directories(dir + "/TestResult");
  auto run = [](int n, const char* id, const std::vector<std::pair<const char*, bool>>& items, const char* reason) {
    QJsonObject r;
    r["schema"] = 1;
    r["run"] = n;
    r["date"] = "2026-12-10";
    r["time"] = QString::asprintf("08:%02d:00.000", n);
    QJsonObject module;
    module["hardware_id"] = id;
    r["module"] = module;
    QJsonArray list;
    bool pass = reason == nullptr;
    for (const auto& [name, ok] : items) {
      QJsonObject item;
      item["item"] = name;
      item["verdict"] = ok ? "pass" : "fail";
      list.append(item);
      pass = pass && ok;
    }
    r["items"] = list;
    r["verdict"] = pass ? "pass" : "fail";
    r["reason"] = reason == nullptr ? QJsonValue() : QJsonValue(reason);
    r["exit_code"] = pass ? 12 : 21;
    return QJsonDocument(r).toJson(QJsonDocument::Compact).toStdString() + "\n";
  };
  const std::vector<std::pair<const char*, bool>> all = {{"int_pin", true},        {"driver_version", true},
                                                         {"sensor_fw_version", true}, {"usb_fw_version", true},
                                                         {"bad_pixels", true},     {"scene", true}};
  std::string text;
  for (int n = 1; n <= 6; ++n) text += run(n, "USB\\VID_3A7C&PID_3101\\1", all, nullptr);
  auto bad = all;
  bad.resize(5);
  bad[4].second = false;
  text += run(7, "USB\\VID_3A7C&PID_3101\\7", bad, nullptr);
  text += "{\"cut off by a power failure\n";
  text += run(8, "USB\\VID_3A7C&PID_3101\\8", {{"int_pin", false}}, nullptr);
  text += run(9, "", {}, "closed by SIGTERM before a run has ended");
  testing::write_file(dir + "/TestResult/runs.jsonl", text);
  return dir;
}

TEST(StationSummary, YieldPerItemAndTheLastFailures) {
  char tmpl[] = "/tmp/tarsio-summary-XXXXXX";
  const std::string dir = generated_runs(::mkdtemp(tmpl));
  const auto [text, code] = command_output(std::string("env -u DISPLAY -u QT_QPA_PLATFORM ") + TARSIO_APP_BIN +
                                           " --summary " + dir);
  EXPECT_EQ(code, 0);
  EXPECT_THAT(text, HasSubstr(": 9 runs, 6 passed (66.7 %)\n"));
  EXPECT_THAT(text, ::testing::ContainsRegex("int_pin +8 +7  87.5 %"));
  EXPECT_THAT(text, ::testing::ContainsRegex("bad_pixels +7 +6  85.7 %"));
  EXPECT_THAT(text, ::testing::ContainsRegex("scene +6 +6  100.0 %"));
  // Newest first: the close, the interrupt pin, the bad pixels.
  const auto close_at = text.find("closed by SIGTERM before a run has ended");
  const auto pin_at = text.find("PID_3101\\8  int_pin");
  const auto bad_at = text.find("PID_3101\\7  bad_pixels");
  ASSERT_NE(close_at, std::string::npos);
  ASSERT_NE(pin_at, std::string::npos);
  ASSERT_NE(bad_at, std::string::npos);
  EXPECT_LT(close_at, pin_at);
  EXPECT_LT(pin_at, bad_at);
  EXPECT_THAT(text, HasSubstr("1 unreadable lines skipped"));

  const auto [json, json_code] = command_output(std::string(TARSIO_APP_BIN) + " --summary " + dir + " --json");
  EXPECT_EQ(json_code, 0);
  const QJsonObject s = json_of(json);
  EXPECT_EQ(s["runs"].toInt(), 9);
  EXPECT_EQ(s["passed"].toInt(), 6);
  EXPECT_EQ(s["unreadable_lines"].toInt(), 1);
  const QJsonArray items = s["items"].toArray();
  ASSERT_EQ(items.size(), 6);
  EXPECT_EQ(items[0].toObject()["item"].toString(), "int_pin");
  EXPECT_EQ(items[0].toObject()["tested"].toInt(), 8);
  EXPECT_EQ(items[4].toObject()["passed"].toInt(), 6);
  const QJsonArray last = s["last_failures"].toArray();
  ASSERT_EQ(last.size(), 3);
  EXPECT_EQ(last[1].toObject()["failed_item"].toString(), "int_pin");
  EXPECT_TRUE(last[0].toObject()["failed_item"].isNull());

  // No journal: an error, not an empty summary.
  const auto [none, none_code] = command_output(std::string(TARSIO_APP_BIN) + " --summary " + dir + "/missing 2>&1");
  EXPECT_EQ(none_code, 2);
  EXPECT_THAT(none, HasSubstr("no run record"));
  fs::remove_all(dir);
}
#endif

// Unplugs the module after its N-th request, for every request of a good run
// (the close's exit notice excepted: the run is over by then).  Each run must
// end in Fail, with Fail.txt, within the time limit.  The stations run side
// by side, each in its own directory: a run mostly waits on its pauses.
TEST(StationUnplugSweep, EveryRequestOfAGoodRunEndsInFailWithinTheLimit) {
  // The requests of a good run, as the module logs them.
  Station reference;
  reference.init();
  ASSERT_TRUE(reference.start_module(reference.profile("good-usb-type1"), {"-v"}, reference.root + "/module.err"));
  ASSERT_EQ(reference.run_station(), 12);
  reference.stop_module();
  std::vector<std::string> codes;
  {
    std::istringstream in(read_file(reference.root + "/module.err"));
    for (std::string line; std::getline(in, line);)
      if (line.rfind("tarsio-vmodule: code ", 0) == 0) codes.push_back(line.substr(21, line.find(' ', 21) - 21));
  }
  reference.cleanup(false);
  ASSERT_GT(codes.size(), 10u);
  ASSERT_EQ(codes.back(), "0x44202c");  // the exit notice of the close
  // Request k (1-based) goes unanswered with N = k - 1; request 1 is the
  // firmware download of the start-up, before any run.
  const int last = static_cast<int>(codes.size()) - 2;
  constexpr int kParallel = 8;
  constexpr int kLimitSeconds = 30;
  const auto t0 = std::chrono::steady_clock::now();
  for (int first = 1; first <= last; first += kParallel) {
    std::vector<std::unique_ptr<Station>> batch;
    std::vector<pid_t> pids;
    for (int n = first; n < first + kParallel && n <= last; ++n) {
      auto st = std::make_unique<Station>();
      st->init();
      ASSERT_TRUE(st->start_module(st->profile("good-usb-type1"), {"--unplug-after", std::to_string(n)}));
      pids.push_back(st->start_station());
      batch.push_back(std::move(st));
    }
    for (std::size_t i = 0; i < batch.size(); ++i) {
      const int n = first + static_cast<int>(i);
      Station& st = *batch[i];
      const int code = st.wait_station(pids[i], kLimitSeconds);
      const bool ok = code == 21 && st.result_exists("Fail/Fail.txt") && !st.result_exists("Pass/Pass.txt");
      EXPECT_TRUE(ok) << "unplugged after request " << n << " (next " << codes[n] << "): exit " << code;
      st.cleanup(!ok);
    }
  }
  std::fprintf(stderr, "unplug sweep: %d runs in %.1f s\n", last,
               std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
}

}  // namespace
}  // namespace tarsio

#endif
