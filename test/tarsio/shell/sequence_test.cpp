// The "Start test" sequence on a dialog without a window and a scripted
// module: stop at the first failure with Fail.txt and the failure display,
// a full pass without the scene test, the run text of the last run only,
// the refusals (disconnected, worker waiting, re-entry from a message box),
// the final verdict texts, and the scene-test worker's end of a run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <filesystem>
#include <sys/stat.h>

#include "device/testcommon.h"
#include "shell/dialog_layout.h"
#include "shell/test_sequence.h"
#include "tarsio/item_fixture.h"

namespace tarsio::shell {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using testing::Answer;
using testing::read_file;

int occurrences(const std::string& text, const std::string& needle) {
  int n = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

class Sequence : public ::testing::Test, public testing::ItemFixture {
 protected:
  void SetUp() override {
    device::set_station_pause_for_testing([](int) {});
    SequenceHooks hooks{[this] { ++closes_now; }, [this] { ++closes_queued; }, [this] { ++device_closes; },
                        [this] {
                          ++reopens;
                          return true;
                        },
                        [this] { return close_pending_after-- == 0; },
                        [this](const RunEnd& end) { ends.push_back(end); }};
    sequence = std::make_unique<TestSequence>(ctx, std::move(hooks));
  }
  void TearDown() override {
    sequence->join_worker();
    device::set_station_pause_for_testing(nullptr);
  }

  void answer(std::vector<uint8_t> bytes = {}) { device.answers.push_back(Answer{0, std::move(bytes)}); }
  void answer_idle() { answer({0xA5, 0x5A, 0, 0, 0, 0, 0, 0}); }

  // A module that passes items 1 to 5: self-test, an 8 x 8 type-1 record,
  // and a flat frame at the configured standard.
  void script_passing_module() {
    device::publish_bus_type(1);
    answer({1});
    device::SensorInfo info;
    info.fw_version = 0x1F;
    info.usb_version = 0x0105;
    std::snprintf(info.driver_version, sizeof info.driver_version, "1.0.1.41");
    info.width = 8;
    info.height = 8;
    info.sensor_type = 1;
    const auto record = device::encode_sensor_info(info);
    answer({record.begin(), record.end()});
    for (int k = 0; k < 4; ++k) answer();  // module command pairs
    answer_idle();                          // raw-capture mode reached
    for (int k = 0; k < 9; ++k) answer();   // front-end settings
    answer_idle();
    answer();
    answer();
    answer_idle();
    answer();
    std::vector<uint8_t> frame(2 + 64 + 4, 100);
    answer(frame);
  }

  void write_passing_config(bool scene, bool auto_exit) {
    dir.write_config(std::string("[common]\nSceneTest=") + (scene ? "1" : "0") +
                     "\nAutoAppExit=" + (auto_exit ? "1" : "0") +
                     "\nSensorFWVersion=0x1F\n[USB]\nUSBFWVersion=0x105\nDriverVersion=1.0.1.41\n"
                     "[SensorBadTest_KM3101]\nBadStandard=100\nStandardoffset=20\nSaveResultData=0\n");
    model.set_scene_test_enabled(scene);
  }

  std::string result_file(bool pass) const { return read_file(result_file_path(pass)); }
  bool exists(const std::string& path) const {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
  }

  std::unique_ptr<TestSequence> sequence;
  int closes_now = 0, closes_queued = 0, device_closes = 0, reopens = 0;
  // The close is asked for after this many items have passed (-1: never).
  int close_pending_after = -1000;
  std::vector<RunEnd> ends;
};

TEST_F(Sequence, FirstFailureStopsTheRunWritesFailTxtAndCloses) {
  answer({0});  // the self-test fails
  sequence->OnBnClickedButton13();
  EXPECT_EQ(view.pane, "Start Int Pin test: \r\nTest result: Fail \r\nEnd Int Pin test. \r\n\r\n");
  // The texts' own CR LF pairs are stored as they are.
  EXPECT_EQ(result_file(false), view.pane);
  EXPECT_EQ(result_file_path(false), dir.path() + "/app/TestResult/Fail/Fail.txt");
  EXPECT_FALSE(exists(result_file_path(true)));
  EXPECT_EQ(view.texts[IDC_VERDICT_LABEL], "Fail");
  EXPECT_TRUE(view.visible[IDC_VERDICT_LABEL]);
  EXPECT_FALSE(view.visible[IDC_RESULT_LABEL]);
  EXPECT_TRUE(view.visible[IDC_START_TEST]);
  EXPECT_EQ(model.result_state(), ResultState::kFailed);
  EXPECT_EQ(closes_now, 1);
  EXPECT_EQ(log_count("[App] W OnBnClickedButton13["), 1);
  EXPECT_EQ(log_count("]: Int test fail"), 2);  // the item's line and the sequence's
  EXPECT_EQ(log_count("]: Send close app notify"), 1);
  EXPECT_EQ(log_count("Driver version test start->"), 0);
  EXPECT_EQ(device.requests.size(), 1u);
}

TEST_F(Sequence, PassWithoutSceneTestKeepsTheButtonHiddenAndEnterRunsAgain) {
  write_passing_config(/*scene=*/false, /*auto_exit=*/false);
  script_passing_module();
  sequence->OnBnClickedButton13();
  EXPECT_TRUE(model.overall_pass());
  EXPECT_THAT(view.pane, EndsWith("End sensor bad test. \r\n\r\n\r\n\r\n\r\n All test result: Pass. \r\n\r\n"));
  EXPECT_EQ(view.appends.back().second, LogStyle::kPass);
  // The run text, then the line that names the module (none was opened).
  EXPECT_EQ(result_file(true), model.run_text() + "Module: unknown, SensorID: not read \r\n");
  EXPECT_EQ(view.texts[IDC_VERDICT_LABEL], "Pass");
  EXPECT_EQ(model.result_state(), ResultState::kPassed);
  EXPECT_FALSE(view.visible[IDC_START_TEST]);
  EXPECT_EQ(closes_now, 0);
  EXPECT_EQ(log_count("]: all test success"), 1);
  for (const char* end : {"<-Int test end", "<-Driver version test end", "<-Sensor fw version test end",
                          "<-USB fw version test end", "<-Sensor bad test end"})
    EXPECT_EQ(log_count(end), 1) << end;

  // Enter starts a new run; the pane keeps both, Pass.txt holds the last.
  script_passing_module();
  sequence->OnBnClickedButton13();
  EXPECT_EQ(occurrences(view.pane, "Start Int Pin test: "), 2);
  EXPECT_EQ(occurrences(result_file(true), "Start Int Pin test: "), 1);
  // The run text, then the line that names the module (none was opened).
  EXPECT_EQ(result_file(true), model.run_text() + "Module: unknown, SensorID: not read \r\n");
}

TEST_F(Sequence, CloseAskedForDuringTheItemsStopsAfterTheCurrentOne) {
  write_passing_config(/*scene=*/false, /*auto_exit=*/false);
  script_passing_module();
  close_pending_after = 1;  // while the driver version item runs
  sequence->OnBnClickedButton13();
  EXPECT_EQ(closes_now, 1);
  EXPECT_EQ(log_count("<-Driver version test end"), 1);
  EXPECT_EQ(log_count("Sensor fw version test start->"), 0);
  EXPECT_EQ(log_count("the program was asked to close during the run: no further item runs"), 1);
  // The close handling ends the run; until then nothing is written.
  EXPECT_TRUE(model.run_active());
  EXPECT_FALSE(exists(result_file_path(true)));
  sequence->finish_interrupted_run();
  EXPECT_THAT(result_file(false), EndsWith("End driver version test. \r\n\r\n"));
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_FALSE(ends[0].pass);
  EXPECT_EQ(ends[0].exit_code, kExitFail);
  EXPECT_EQ(ends[0].result_file, result_file_path(false));
  // Only one end per run, and none for a close after it.
  sequence->finish_without_run("closed by SIGTERM");
  EXPECT_EQ(ends.size(), 1u);
}

TEST_F(Sequence, CloseBeforeAnyRunWritesFailTxtWithTheReason) {
  sequence->finish_without_run("closed by SIGHUP");
  EXPECT_EQ(result_file(false), "\r\nResult: Fail, closed by SIGHUP before a test run ended. \r\n");
  EXPECT_EQ(log_count("closed by SIGHUP before a run has ended: the run counts as failed"), 1);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].reason, "closed by SIGHUP before a run has ended");
  sequence->finish_without_run("closed by SIGHUP");
  EXPECT_EQ(ends.size(), 1u);
}

TEST_F(Sequence, ResultFileLeavesNothingElseInItsFolder) {
  answer({0});
  sequence->OnBnClickedButton13();
  answer({0});
  sequence->OnBnClickedButton13();
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir.path() + "/app/TestResult/Fail"))
    names.push_back(e.path().filename().string());
  EXPECT_THAT(names, ::testing::ElementsAre("Fail.txt"));
  ASSERT_EQ(ends.size(), 2u);
  EXPECT_EQ(ends[1].result_file, result_file_path(false));
  EXPECT_EQ(ends[1].reason, "");
}

TEST_F(Sequence, SpiRunSkipsTheUsbItem) {
  write_passing_config(false, true);
  script_passing_module();
  model.set_device_type(2);
  dir.write_config(
      "[common]\nSceneTest=0\nSensorFWVersion=0x1F\n[SPI]\nDriverVersion=1.0.1.41\n"
      "[SensorBadTest_KM3101]\nBadStandard=100\nStandardoffset=20\n");
  sequence->OnBnClickedButton13();
  EXPECT_TRUE(model.overall_pass());
  EXPECT_THAT(view.pane, Not(HasSubstr("USB")));
  EXPECT_EQ(log_count("USB fw version"), 0);
  EXPECT_EQ(closes_now, 1);
}

TEST_F(Sequence, RefusedRunsChangeNothing) {
  model.set_worker_finished(false);  // a scene test waits for its finger
  sequence->OnBnClickedButton13();
  EXPECT_TRUE(view.pane.empty());
  EXPECT_EQ(log_count("[App] E "), 0);

  model.set_worker_finished(true);
  model.device_removed();
  sequence->OnBnClickedButton13();
  EXPECT_TRUE(view.pane.empty());
  EXPECT_EQ(log_count("[App] E error at CTarsioDlg::OnBnClickedButton13[tarsiodlg:"), 1);
  EXPECT_FALSE(exists(dir.path() + "/app/TestResult"));
  EXPECT_EQ(closes_now, 0);
}

// A message box whose event loop delivers Enter while the run is on its way.
class ReenteringUi : public UiServices {
 public:
  TestSequence* sequence = nullptr;
  int boxes = 0;
  void message_box(const std::string&) override {
    ++boxes;
    sequence->OnBnClickedButton13();
  }
};

TEST_F(Sequence, KeyDuringAMessageBoxDoesNotStartASecondRun) {
  ReenteringUi reentering;
  reentering.sequence = sequence.get();
  set_ui_services(&reentering);
  answer({1});
  device.answers.push_back(Answer{EIO, {}});  // the record read fails: its box
  sequence->OnBnClickedButton13();
  set_ui_services(&ui);
  EXPECT_EQ(reentering.boxes, 1);
  EXPECT_EQ(occurrences(view.pane, "Start Int Pin test: "), 1);
}

TEST_F(Sequence, FinalVerdictTexts) {
  model.set_overall_pass(true);
  sequence->AllTestResultShow();
  EXPECT_EQ(view.pane, "End scene test. \r\n\r\n\r\n All test result: Pass. \r\n\r\n");
  view.pane.clear();
  model.set_overall_pass(false);
  sequence->AllTestResultShow();
  EXPECT_EQ(view.pane, "End scene test.");
  EXPECT_EQ(view.texts[IDC_VERDICT_LABEL], "Fail");
  view.pane.clear();
  model.set_scene_test_enabled(false);
  sequence->AllTestResultShow();
  EXPECT_EQ(view.pane, "");
  EXPECT_EQ(view.appends.back().first, "");
}

platform::FingerCapture print_capture() {
  platform::FingerCapture c;
  c.status = platform::FingerCapture::Status::kOk;
  c.width = c.height = 96;
  for (int i = 0; i < 96 * 96; ++i) c.pixels.push_back(static_cast<uint8_t>(128 + 100 * std::sin(i / 1.7)));
  return c;
}

TEST_F(Sequence, WorkerEndsTheRunWithTheSceneVerdict) {
  dir.write_config("[USB]\nDriverVersion=1.0.1.41\n");
  ctx.capture = [] { return print_capture(); };
  model.set_overall_pass(true);
  model.clear_run_text();
  model.set_worker_stored(true);
  model.set_run_active(true);
  EXPECT_EQ(sequence->CaptureThread(), 0);
  EXPECT_EQ(device_closes, 1);
  EXPECT_EQ(reopens, 1);
  EXPECT_TRUE(model.worker_finished());
  EXPECT_FALSE(model.worker_stored());
  EXPECT_TRUE(view.visible[IDC_START_TEST]);
  EXPECT_EQ(result_file(true), "Test result: Pass \r\nEnd scene test. \r\n\r\n\r\n All test result: Pass. \r\n\r\n"
                               "Module: unknown, SensorID: not read \r\n");
  EXPECT_EQ(closes_queued, 1);
  EXPECT_EQ(closes_now, 0);
  EXPECT_EQ(log_count("I CaptureThread["), 1);

  int released = 0;
  ctx.release_algorithm = [&] { ++released; };
  ctx.capture = [] {
    platform::FingerCapture c = print_capture();
    std::fill(c.pixels.begin(), c.pixels.end(), 0);
    return c;
  };
  model.set_overall_pass(true);
  model.clear_run_text();
  model.set_run_active(true);
  sequence->CaptureThread();
  EXPECT_EQ(released, 1);
  EXPECT_EQ(result_file(false), "Test result: Fail \r\nEnd scene test.");
  EXPECT_EQ(model.result_state(), ResultState::kFailed);
}

}  // namespace
}  // namespace tarsio::shell
