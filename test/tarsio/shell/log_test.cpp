// The log writer: line shapes, stamp, threshold, buffer bound, byte form,
// hex dump rows and initlog's directory handling.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

#include "shell/log.h"
#include "shell/util.h"
#include "tarsio/test_support.h"

#define TARSIO_LOG_SOURCE "tarsiodlg"

namespace tarsio::shell {
namespace {

using ::testing::ElementsAre;
using testing::ScratchDir;

std::string pid_tid() {
  return "(pid:" + std::to_string(::getpid()) + " tid:" + std::to_string(::gettid()) + ").";
}

TEST(LogLines, FiveShapesWithStampAndLineFeed) {
  ScratchDir dir;
  set_log_threshold(0);
  const int l1 = __LINE__; TLOG_E("CTarsioDlg::OnClose", "Device handle invalid.");
  const int l2 = __LINE__; TLOG_I("connectDevice", "Device type: %d(1=usb 2=spi)", 1);
  const int l3 = __LINE__; TLOG_W("initlog", "create TestResult failed");
  const int l4 = __LINE__; TLOG_D("km_common_util_hexdump", "%s", "row");
  TLOG_ENTER("FindDeviceW");
  TLOG_LEAVE("FindDeviceW");

  const std::string bytes = dir.log_bytes();
  // Every line: "hh:mm:ss.mmm " (13 characters), the text, a bare LF.
  const std::regex line_shape(R"((\d\d:\d\d:\d\d\.\d\d\d \[App\] [VDIWE] [^\r\n]*\n){6})");
  EXPECT_TRUE(std::regex_match(bytes, line_shape)) << bytes;
  EXPECT_THAT(dir.log_lines(),
              ElementsAre("[App] E error at CTarsioDlg::OnClose[tarsiodlg:" + std::to_string(l1) +
                              "]: Device handle invalid.",
                          "[App] I connectDevice[" + std::to_string(l2) + "]: Device type: 1(1=usb 2=spi)",
                          "[App] W initlog[" + std::to_string(l3) + "]: create TestResult failed",
                          "[App] D km_common_util_hexdump[" + std::to_string(l4) + "]: row",
                          "[App] V FindDeviceW: ENTER>>" + pid_tid(), "[App] V FindDeviceW: LEAVE<<."));
}

TEST(LogLines, CarriageReturnsInATextStayAsWritten) {
  // No text mode on Linux: "\r\n" inside a text is CR LF and the line ends
  // in a bare LF (the Windows build stored CR CR LF and CR LF).
  ScratchDir dir;
  app_log(kLogE, "[App] E line\r\n");
  app_log(kLogE, "[App] E next");
  const std::string bytes = dir.log_bytes();
  EXPECT_EQ(bytes.substr(13, 15), "[App] E line\r\n\n");
  EXPECT_EQ(bytes.substr(28 + 13), "[App] E next\n");
}

TEST(LogLines, ThresholdFiltersByLevel) {
  ScratchDir dir;
  auto write_all = [] {
    TLOG_ENTER("op");
    TLOG_D("op", "d");
    TLOG_I("op", "i");
    TLOG_W("op", "w");
    TLOG_E("op", "e");
  };
  auto letters = [&] {
    std::string s;
    for (const auto& line : dir.log_lines()) s += line.substr(6, 1);
    ::unlink("log/app.log");
    return s;
  };
  set_log_threshold(0);
  write_all();
  EXPECT_EQ(letters(), "VDIWE");
  set_log_threshold(2);
  write_all();
  EXPECT_EQ(letters(), "IWE");
  set_log_threshold(5);
  write_all();
  EXPECT_EQ(letters(), "E");
  set_log_threshold(6);
  write_all();
  EXPECT_EQ(letters(), "");
}

TEST(LogLines, LongMessageCutTo1022Characters) {
  ScratchDir dir;
  const std::string text(3000, 'x');
  app_log(kLogE, "%s", text.c_str());
  const std::string bytes = dir.log_bytes();
  ASSERT_EQ(bytes.size(), 13u + 1022u + 1u);
  EXPECT_EQ(bytes.back(), '\n');
  EXPECT_EQ(bytes.find_first_not_of('x', 13), 13u + 1022u);
}

TEST(LogLines, MissingLogDirectoryDropsMessagesSilently) {
  ScratchDir dir(/*make_log_dir=*/false);
  TLOG_E("op", "lost");
  struct stat st;
  EXPECT_NE(::stat("log", &st), 0);
}

TEST(LogLines, TwoThreadsWriteWholeLines) {
  ScratchDir dir;
  set_log_threshold(0);
  auto worker = [](char c) {
    const std::string text(200, c);
    for (int i = 0; i < 200; ++i) TLOG_I("worker", "%s", text.c_str());
  };
  std::thread a(worker, 'a'), b(worker, 'b');
  a.join();
  b.join();
  const auto lines = dir.log_lines();
  ASSERT_EQ(lines.size(), 400u);
  const std::regex whole(R"(\[App\] I worker\[\d+\]: (a{200}|b{200}))");
  for (const auto& line : lines) ASSERT_TRUE(std::regex_match(line, whole)) << line;
}

TEST(InitLog, ThresholdIsTwoUntilTheConfigurationIsRead) {
  ScratchDir dir;
  EXPECT_EQ(kLogStartThreshold, 2);
  set_log_threshold(kLogStartThreshold);
  dir.write_config("[common]\nAutoAppExit=1\n");  // AppLogLevel absent: 0 after initlog
  TLOG_ENTER("before");
  TLOG_I("before", "shown");
  initlog();
  EXPECT_EQ(log_threshold(), 0);
  TLOG_ENTER("after");
  const auto lines = dir.log_lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_THAT(lines[0], ::testing::StartsWith("[App] I before["));
  EXPECT_THAT(lines[1], ::testing::StartsWith("[App] V after: ENTER>>"));
  struct stat st;
  EXPECT_EQ(::stat("TestResult", &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST(InitLog, ReadsAppLogLevel) {
  ScratchDir dir;
  dir.write_config("[Common]\nappLogLevel = 5\n");
  initlog();
  EXPECT_EQ(log_threshold(), 5);
}

TEST(InitLog, LogAsPlainFileLosesEveryMessage) {
  ScratchDir dir(/*make_log_dir=*/false);
  testing::write_file("log", "not a directory");
  dir.write_config("[common]\nAppLogLevel=0\n");
  set_log_threshold(kLogStartThreshold);
  initlog();
  EXPECT_EQ(log_threshold(), 0);  // the existence test passed, so the level was read
  TLOG_E("op", "lost");
  EXPECT_EQ(testing::read_file("log"), "not a directory");
}

TEST(InitLog, UncreatableLogDirectoryKeepsThresholdTwo) {
  ScratchDir dir(/*make_log_dir=*/false);
  dir.write_config("[common]\nAppLogLevel=0\n");
  set_log_threshold(kLogStartThreshold);
  // A dangling link: "log" does not exist for the test, and mkdir fails.
  ASSERT_EQ(::symlink("/nonexistent-tarsio/log", "log"), 0);
  initlog();
  EXPECT_EQ(log_threshold(), 2);
  struct stat st;
  EXPECT_NE(::stat("TestResult", &st), 0);  // returned before the second directory
}

TEST(HexDump, RowShapes) {
  char row[80];
  const uint8_t abc[] = {0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48};
  hexdump_row(row, 0, abc, 8);
  EXPECT_STREQ(row, "0000  0x41 0x42 0x43 0x44 0x45 0x46 0x47 0x48  |ABCDEFGH|");
  const uint8_t five[] = {0x25, 0x5C, 0x20, 0x7E, 0x21};
  hexdump_row(row, 0x1a8, five, 5);
  EXPECT_STREQ(row, "01a8  0x25 0x5c 0x20 0x7e 0x21           |...~!   |");
}

TEST(HexDump, LongBufferShowsHeadEllipsisTail) {
  ScratchDir dir;
  set_log_threshold(0);
  uint8_t bytes[200];
  for (int i = 0; i < 200; ++i) bytes[i] = static_cast<uint8_t>(i);
  hexdump(bytes, 200);
  std::vector<std::string> offsets;
  for (const auto& line : dir.log_lines()) {
    ASSERT_THAT(line, ::testing::StartsWith("[App] D km_common_util_hexdump["));
    const auto text = line.substr(line.find("]: ") + 3);
    offsets.push_back(text == "...." ? text : text.substr(0, 4));
  }
  EXPECT_THAT(offsets, ElementsAre("0000", "0008", "0010", "0018", "0020", "0028", "0030", "....", "0080",
                                   "0088", "0090", "0098", "00a0", "00a8", "00b0", "00b8", "00c0"));
}

TEST(HexDump, SixtyFourBytesOrFewerShowEveryRow) {
  ScratchDir dir;
  set_log_threshold(0);
  uint8_t bytes[64] = {};
  hexdump(bytes, 64);
  EXPECT_EQ(dir.log_lines().size(), 8u);
  hexdump(bytes, 0);
  hexdump(bytes, -3);
  EXPECT_EQ(dir.log_lines().size(), 8u);
}

TEST(HexDump, SelectorAboveTwoWritesErrorLines) {
  ScratchDir dir;
  set_log_threshold(0);
  const uint8_t bytes[] = {0xA5, 0x5A};
  km_common_util_hexdump(3, bytes, 2);
  const auto lines = dir.log_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_THAT(lines[0], ::testing::MatchesRegex(R"(\[App\] E error at km_common_util_hexdump\[util:[0-9]+\]: )"
                                                R"(0000  0xa5 0x5a {19} \|\.Z      \|)"));
}

}  // namespace
}  // namespace tarsio::shell
