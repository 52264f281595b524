// AppConfig.ini: location, defaults, sections by bus and model, the INI
// semantics (case, hex, quotes, line endings) and re-reading on every call.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>

#include <sys/stat.h>
#include <unistd.h>

#include "platform/ini.h"
#include "shell/config.h"
#include "shell/util.h"
#include "tarsio/test_support.h"

namespace tarsio::shell {
namespace {

using testing::ScratchDir;

TEST(ConfigPath, BesideTheExecutableWhateverTheCurrentDirectory) {
  set_config_path_for_testing("");
  char exe[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  std::string dir(exe, static_cast<std::size_t>(n));
  dir.resize(dir.rfind('/'));
  ScratchDir scratch;  // another current directory
  set_config_path_for_testing("");
  EXPECT_EQ(config_path(), dir + "/AppConfig.ini");
}

TEST(ConfigDefaults, NoFileAtAll) {
  ScratchDir dir;  // the readers point at a file that does not exist
  EXPECT_EQ(config_get_int("common", "AppLogLevel", 0), 0);
  EXPECT_EQ(config_get_int("common", "AutoAppExit", 1), 1);
  EXPECT_EQ(config_get_int("common", "SceneTest", 1), 1);
  EXPECT_EQ(config_get_int("common", "SensorFWVersion", 0), 0);
  EXPECT_EQ(config_get_int("USB", "USBFWVersion", 0), 0);
  EXPECT_EQ(config_get_string("USB", "DriverVersion"), "");
  EXPECT_EQ(config_get_string("SPI", "DriverVersion"), "");
  const BadTestConfig c = read_bad_test_config(3);
  EXPECT_EQ(c.agc1 | c.agc2 | c.agc3 | c.agc4 | c.dac1 | c.dac2, 0);
  EXPECT_EQ(c.bad_standard, 780);
  EXPECT_EQ(c.standard_offset, 120);
  EXPECT_EQ(c.bad_max_count, 6);
  EXPECT_EQ(c.bad_avg_ratio, 25);
  EXPECT_EQ(c.bad_avg_control_cnt, 25);
  EXPECT_EQ(c.bad_local_row, 7);
  EXPECT_EQ(c.bad_local_col, 7);
  EXPECT_EQ(c.small_bad_max_count, 3);
  EXPECT_EQ(c.screen_t + c.screen_b + c.screen_l + c.screen_r, 4);
  EXPECT_EQ(c.save_result_data, 0);
  EXPECT_EQ(c.save_result_data_file_format, 1);
  // The default screen edges stay inside a frame too small for them.
  const BadTestConfig empty = read_bad_test_config(3, 0, 0);
  EXPECT_EQ(empty.screen_t | empty.screen_b | empty.screen_l | empty.screen_r, 0);
}

TEST(ConfigSections, ByBusAndByModel) {
  ScratchDir dir;
  set_log_threshold(0);
  EXPECT_STREQ(bus_section(1), "USB");
  EXPECT_STREQ(bus_section(2), "SPI");
  EXPECT_STREQ(bus_section(0), "USB");
  EXPECT_STREQ(GetBadTestConfig(1), "SensorBadTest_KM3101");
  EXPECT_STREQ(GetBadTestConfig(2), "SensorBadTest_KM3102W");
  EXPECT_STREQ(GetBadTestConfig(3), "SensorBadTest_KM3103W");
  EXPECT_STREQ(GetBadTestConfig(6), "SensorBadTest_KM3106");
  EXPECT_TRUE(dir.log_lines().empty());
  EXPECT_STREQ(GetBadTestConfig(4), "");
  const auto lines = dir.log_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_THAT(lines[0], ::testing::MatchesRegex(
                            R"(\[App\] E error at GetBadTestConfig\[util:[0-9]+\]: Unknow sensor type!)"));
}

TEST(ConfigSections, UnknownSensorTypeUsesOnlyDefaults) {
  ScratchDir dir;
  dir.write_config("[]\nBadStandard=100\n[SensorBadTest_KM3101]\nBadStandard=200\n");
  EXPECT_EQ(read_bad_test_config(5).bad_standard, 780);
  EXPECT_EQ(read_bad_test_config(1).bad_standard, 200);
}

TEST(ConfigValues, DriverVersionWithTwoVersions) {
  ScratchDir dir;
  dir.write_config("[USB]\nDriverVersion=1.0.1.41,1.0.1.50\r\n[SPI]\r\nDriverVersion = \"1.0.1.13\" \r\n");
  EXPECT_EQ(config_get_string("USB", "DriverVersion"), "1.0.1.41,1.0.1.50");
  EXPECT_EQ(config_get_string("SPI", "DriverVersion"), "1.0.1.13");
}

TEST(ConfigValues, ModelLimitsAreSixteenBitAndHexIsAccepted) {
  ScratchDir dir;
  dir.write_config(
      "[sensorbadtest_km3103w]\n"
      "AGC1=0x1F\nagc2=12\nAGC3 = 0X0a\nAGC4=7 ; comment\n"
      "DAC1=0x1234\nDAC2=70000\nBadStandard=70000\nStandardoffset=-1\nScreenT=2\n");
  const BadTestConfig c = read_bad_test_config(3);
  EXPECT_EQ(c.agc1, 31);
  EXPECT_EQ(c.agc2, 12);
  EXPECT_EQ(c.agc3, 10);
  EXPECT_EQ(c.agc4, 7);
  EXPECT_EQ(c.dac1, 0x1234);
  // Out of the 16 bits: the nearest end, not the low bits.
  EXPECT_EQ(c.dac2, 0xFFFF);
  EXPECT_EQ(c.bad_standard, 0xFFFF);
  EXPECT_EQ(c.standard_offset, 0);
  EXPECT_EQ(c.screen_t, 2);
  EXPECT_EQ(c.screen_b, 1);
}

TEST(ConfigValues, EditedFileAppliesAtNextRead) {
  ScratchDir dir;
  dir.write_config("[common]\nSensorFWVersion=31\n");
  EXPECT_EQ(config_get_int("common", "SensorFWVersion", 0), 31);
  dir.write_config("[common]\nSensorFWVersion=0x20\n");
  EXPECT_EQ(config_get_int("common", "SensorFWVersion", 0), 32);
}

TEST(IniReader, IntegerParsing) {
  using platform::ini_parse_int;
  EXPECT_EQ(ini_parse_int("42"), 42);
  EXPECT_EQ(ini_parse_int("  -17xyz"), -17);
  EXPECT_EQ(ini_parse_int("+8"), 8);
  EXPECT_EQ(ini_parse_int("0x"), 0);  // no hex digit: the leading "0" is read
  EXPECT_EQ(ini_parse_int("0xFFFFFFFF"), -1);
  EXPECT_EQ(ini_parse_int("abc"), 0);
  EXPECT_EQ(ini_parse_int(""), 0);
  EXPECT_EQ(ini_parse_int("4294967297"), 1);  // wraps to 32 bits like the original reader
}

TEST(IniReader, SectionsKeysAndLines) {
  const platform::IniText ini(
      "\xEF\xBB\xBF; comment\r[A]\rkey=1\rnoequals\r[ b ]\n  Key  =  two words  \n"
      "key=second\n[a]\nkey=3\n[c]\nempty=\nlong=" +
      std::string(300, 'z') + "\n");
  EXPECT_EQ(ini.get_int("a", "KEY", -1), 1);           // first section of that name
  EXPECT_EQ(ini.get_string("B", "key", "", 255), "two words");  // first key
  EXPECT_EQ(ini.get_int("c", "empty", 9), 0);          // present but not a number
  EXPECT_EQ(ini.get_int("c", "missing", 9), 9);
  EXPECT_EQ(ini.get_int("d", "key", 9), 9);
  EXPECT_EQ(ini.get_string("c", "long", "", 255).size(), 254u);
  EXPECT_EQ(ini.get_string("c", "missing", "dflt", 255), "dflt");
  EXPECT_FALSE(ini.get("", "key").has_value());
  EXPECT_TRUE(ini.has_section(" A "));
  EXPECT_FALSE(ini.has_section("d"));
}

// The configuration check and the lookups agree on what a section is: a
// file saved with a byte-order mark has its first section, and a bracket
// left open starts none.
TEST(IniReader, SectionTestAndLookupsSeeTheSameSections) {
  const platform::IniText marked("\xEF\xBB\xBF[USB]\nDriverVersion=1.0.1.41\n");
  EXPECT_TRUE(marked.has_section("usb"));
  EXPECT_EQ(marked.get_string("USB", "DriverVersion", "", 255), "1.0.1.41");
  const platform::IniText open_bracket("[common\nAutoAppExit=0\n[USB]\nDriverVersion=1\n");
  EXPECT_FALSE(open_bracket.has_section("common"));
  EXPECT_EQ(open_bracket.get_int("common", "AutoAppExit", 1), 1);
  EXPECT_EQ(open_bracket.get_int("USB", "DriverVersion", 0), 1);
}

TEST(ConfigFileCheck, OneLineNamesTheFileAndSaysWhy) {
  ScratchDir dir;
  set_log_threshold(0);
  auto lines_with = [&](const std::string& text) {
    int n = 0;
    for (const auto& l : dir.log_lines()) n += l.find(text) != std::string::npos;
    return n;
  };
  EXPECT_FALSE(check_config_file());
  EXPECT_EQ(lines_with("configuration file " + dir.config() + " not found: the defaults apply"), 1);

  dir.write_config(std::string("\0\x01=garbage\n[[\n[Common\nUSB]\n", 26));
  EXPECT_FALSE(check_config_file());
  EXPECT_EQ(lines_with("configuration file " + dir.config() + " holds no known section: the defaults apply"), 1);

  dir.write_config("; a comment\n[usb]\nDriverVersion=1\n");
  EXPECT_TRUE(check_config_file());

  ::unlink(dir.config().c_str());
  ::mkdir(dir.config().c_str(), 0755);  // a folder where the file should be
  EXPECT_FALSE(check_config_file());
  EXPECT_EQ(lines_with("configuration file " + dir.config() + " cannot be read (Is a directory): the defaults apply"),
            1);
  ::rmdir(dir.config().c_str());

  // A FIFO would block a reader that waits for its writer: it is refused
  // at once, and every key reads its default.
  ASSERT_EQ(::mkfifo(dir.config().c_str(), 0644), 0);
  EXPECT_FALSE(check_config_file());
  EXPECT_EQ(lines_with("configuration file " + dir.config() + " is not a regular file: it is not read, the defaults apply"),
            1);
  EXPECT_EQ(config_get_int("common", "AutoAppExit", 7), 7);
  ::unlink(dir.config().c_str());
}

TEST(ConfigChecks, EveryValueIsReportedAsItWasRead) {
  ScratchDir dir;
  set_log_threshold(0);
  dir.write_config(
      "[common]\nAutoAppExit=-1\nSceneTest=yes\nSensorFWVersion=0x1FF\nAppLogLevel=12abc\nNoModuleTimeout=5\n"
      "[USB]\nUSBFWVersion= 0x105 \n");
  auto lines_with = [&](const std::string& text) {
    int n = 0;
    for (const auto& l : dir.log_lines()) n += l.find(text) != std::string::npos;
    return n;
  };
  // A switch keeps its meaning: any nonzero value is on.
  EXPECT_EQ(config_get_switch("common", "AutoAppExit", 1), 1);
  EXPECT_EQ(lines_with("[common] AutoAppExit = -1 is outside 0 .. 1: 1 is used"), 1);
  // Not a number: read as the reader always read it, reported as written.
  EXPECT_EQ(config_get_switch("common", "SceneTest", 1), 0);
  EXPECT_EQ(lines_with("[common] SceneTest = yes is not a number: 0 is used"), 1);
  EXPECT_EQ(config_get_checked("common", "AppLogLevel", 0, 0, 6), 6);
  EXPECT_EQ(lines_with("[common] AppLogLevel = 12abc is not a number: 6 is used"), 1);
  // An expected version out of the device's range is kept: nothing matches it.
  EXPECT_EQ(config_get_checked("common", "SensorFWVersion", 0, 0, 0xFF, OutOfRange::kKeep), 0x1FF);
  EXPECT_EQ(lines_with("[common] SensorFWVersion = 0x1FF is outside 0 .. 255: no value the device reports can match it"),
            1);
  // Good values and missing keys say nothing.
  const auto before = dir.log_lines().size();
  EXPECT_EQ(config_get_checked("USB", "USBFWVersion", 0, 0, 0xFFFF, OutOfRange::kKeep), 0x105);
  EXPECT_EQ(no_module_timeout_seconds(), 5);
  EXPECT_EQ(config_get_switch("common", "Missing", 1), 1);
  EXPECT_EQ(dir.log_lines().size(), before);
}

TEST(ConfigRanges, BordersStayInTheFrameAndLimitsInSixteenBits) {
  ScratchDir dir;
  set_log_threshold(0);
  dir.write_config(
      "[SensorBadTest_KM3103W]\nScreenT=-2147483648\nScreenB=0x80000000\nScreenL=90\nScreenR=3\n"
      "BadMaxcount=-1\nBadStandard=70000\nSmallBadMaxcount=65535\n[common]\nSceneTestTimeout=0\n");
  const BadTestConfig c = read_bad_test_config(3, 88, 80);
  EXPECT_EQ(c.screen_t, 0);
  EXPECT_EQ(c.screen_b, 0);
  EXPECT_EQ(c.screen_l, 88);
  EXPECT_EQ(c.screen_r, 3);
  EXPECT_EQ(c.bad_max_count, 0);
  EXPECT_EQ(c.bad_standard, 65535);
  EXPECT_EQ(c.small_bad_max_count, 65535);
  EXPECT_EQ(scene_test_timeout_seconds(), 1);
  int changed = 0;
  for (const auto& l : dir.log_lines()) changed += l.find(" is outside ") != std::string::npos;
  EXPECT_EQ(changed, 6);
}

}  // namespace
}  // namespace tarsio::shell
