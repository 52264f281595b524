// The station program as the line starts it: under the offscreen platform,
// from a scratch working directory, with its own runtime and virtual-module
// directories.  Covers the second instance, the start-up display without and
// with a module (read back from the screenshot), and the screenshot option.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "tarsio/station_helpers.h"
#include "tarsio/test_support.h"

#ifdef TARSIO_TEST_HAVE_QT
#include <QImage>
#endif

extern char **environ;

namespace tarsio::shell {
namespace {

using ::testing::HasSubstr;

#ifdef TARSIO_APP_BIN

// Starts a program in `cwd` with extra environment entries; returns its pid.
pid_t spawn_in(const std::string &cwd, std::vector<std::string> args, const std::vector<std::string> &env) {
  std::vector<std::string> envs;
  for (char **e = environ; *e; ++e) envs.emplace_back(*e);
  envs.insert(envs.end(), env.begin(), env.end());
  const pid_t pid = fork();
  if (pid != 0) return pid;
  if (chdir(cwd.c_str()) != 0) _exit(127);
  std::vector<char *> argv, envp;
  for (auto &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto &e : envs) envp.push_back(e.data());
  envp.push_back(nullptr);
  execve(argv[0], argv.data(), envp.data());
  _exit(127);
}

// Waits for the process; its exit code, or -1 when it did not end within
// `seconds` (it is then killed) or died by a signal.
int wait_exit(pid_t pid, int seconds) {
  for (int i = 0; i < seconds * 20; ++i) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

class Application : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir(runtime_.c_str(), 0700);
    mkdir(vmodules_.c_str(), 0700);
  }
  std::vector<std::string> env() const {
    return {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + runtime_, "TARSIO_VMODULE_DIR=" + vmodules_,
            "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + dir_.path() + "/no-bus"};
  }
  pid_t start(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {TARSIO_APP_BIN};
    args.insert(args.end(), extra.begin(), extra.end());
    return spawn_in(dir_.path(), args, env());
  }
  bool wait_log(const std::string &text, int seconds = 10) {
    for (int i = 0; i < seconds * 20; ++i) {
      if (dir_.log_bytes().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  testing::ScratchDir dir_;
  std::string runtime_ = dir_.path() + "/runtime";
  std::string vmodules_ = dir_.path() + "/vm";
};

TEST_F(Application, SecondCopyLogsAndEndsWithoutAWindow) {
  const pid_t first = start();
  ASSERT_TRUE(wait_log("the app is first running"));
  const pid_t second = start({"--screenshot", dir_.path() + "/second.png"});
  EXPECT_EQ(wait_exit(second, 10), 0);
  EXPECT_THAT(dir_.log_bytes(), ::testing::ContainsRegex(
                                    R"(\[App\] E error at CTarsioApp::InitInstance\[tarsio:[0-9]+\]: the app has exist)"));
  // It showed nothing, so it took no screenshot.
  EXPECT_FALSE(std::ifstream(dir_.path() + "/second.png").good());
  EXPECT_EQ(testing::count_of_text(dir_.log_bytes(), "the app is first running"), 1);
  // The first copy is unaffected.
  EXPECT_EQ(waitpid(first, nullptr, WNOHANG), 0);
  kill(first, SIGKILL);
  waitpid(first, nullptr, 0);
  // Its lock died with it: the next start is a first copy again.
  const pid_t third = start({"--screenshot", dir_.path() + "/third.png", "--screenshot-delay", "100"});
  EXPECT_EQ(wait_exit(third, 20), 0);
  EXPECT_EQ(testing::count_of_text(dir_.log_bytes(), "the app is first running"), 2);
}

// Milliseconds since midnight from the stamp of the first log line holding
// `text`; -1 when there is none.
long stamp_of(const std::string &log, const std::string &text) {
  const auto pos = log.find(text);
  if (pos == std::string::npos) return -1;
  const auto start = log.rfind('\n', pos) == std::string::npos ? 0 : log.rfind('\n', pos) + 1;
  int h = 0, m = 0, sec = 0, ms = 0;
  if (std::sscanf(log.c_str() + start, "%d:%d:%d.%d", &h, &m, &sec, &ms) != 4) return -1;
  return ((h * 60L + m) * 60L + sec) * 1000L + ms;
}

#ifdef TARSIO_TEST_HAVE_QT
// Counts the pixels of the bottom-left corner (where the device-state label
// sits) that are clearly of the given hue.
int corner_pixels(const QImage &img, bool red) {
  int n = 0;
  for (int y = img.height() * 3 / 4; y < img.height(); ++y)
    for (int x = 0; x < img.width() / 3; ++x) {
      const QColor c = img.pixelColor(x, y);
      const bool is_red = c.red() > 180 && c.green() < 90 && c.blue() < 90;
      const bool is_green = c.green() > 180 && c.red() < 90 && c.blue() < 90;
      if (red ? is_red : is_green) ++n;
    }
  return n;
}

TEST_F(Application, StartUpWithoutModuleShowsDisconnectedInRed) {
  const std::string shot = dir_.path() + "/shot.png";
  const std::string about = dir_.path() + "/about.png";
  EXPECT_EQ(wait_exit(start({"--screenshot", shot, "--about-screenshot", about}), 20), 0);
  EXPECT_FALSE(QImage(QString::fromStdString(about)).isNull());
  const std::string log = dir_.log_bytes();
  EXPECT_THAT(log, HasSubstr("]: Device is disconnected\n"));
  EXPECT_THAT(log, HasSubstr("]: Not find device\n"));
  // The first run started one second later and stopped at the connected check.
  EXPECT_THAT(log, HasSubstr("CTarsioDlg::OnBnClickedButton13[tarsiodlg:"));
  const long laid_out = stamp_of(log, "InitLayout: LEAVE<<.");
  const long first_run = stamp_of(log, "OnBnClickedButton13: ENTER>>");
  ASSERT_GE(laid_out, 0);
  ASSERT_GE(first_run, 0);
  EXPECT_GE(first_run - laid_out, 990);
  EXPECT_LT(first_run - laid_out, 3000);  // generous: a loaded machine
  QImage img(QString::fromStdString(shot));
  ASSERT_FALSE(img.isNull());
  EXPECT_GT(img.width(), 500);
  EXPECT_GT(corner_pixels(img, true), 20);
  EXPECT_EQ(corner_pixels(img, false), 0);
}

#ifdef TARSIO_VMODULE_BIN
TEST_F(Application, StartUpWithModuleShowsConnectingInGreen) {
  const pid_t vm = spawn_in(dir_.path(),
                            {TARSIO_VMODULE_BIN, "--profile", std::string(TARSIO_VMODULE_PROFILES) + "/good-usb-type1.ini",
                             "--name", "app", "--dir", vmodules_},
                            {});
  for (int i = 0; i < 200 && !std::ifstream(vmodules_ + "/app.desc").good(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  const std::string shot = dir_.path() + "/shot.png";
  // The picture is taken before the first run starts (at one second): the
  // run ends by closing the program.
  EXPECT_EQ(wait_exit(start({"--screenshot", shot, "--screenshot-delay", "500"}), 20), 0);
  kill(vm, SIGTERM);
  waitpid(vm, nullptr, 0);
  const std::string log = dir_.log_bytes();
  EXPECT_THAT(log, HasSubstr("]: Device type: 1(1=usb 2=spi)\n"));
  EXPECT_THAT(log, HasSubstr("]: download fw success\n"));
  EXPECT_THAT(log, HasSubstr("]: Device is connecting\n"));
  QImage img(QString::fromStdString(shot));
  ASSERT_FALSE(img.isNull());
  EXPECT_GT(corner_pixels(img, false), 20);
  EXPECT_EQ(corner_pixels(img, true), 0);
}
#endif
#endif

#endif

}  // namespace
}  // namespace tarsio::shell
