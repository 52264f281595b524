// The main dialog's logic without a window: colours per state, what each
// display does to the controls, the device-state texts, the run checks,
// the worker's displays queued to the dialog thread, and the close path.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>
#include <thread>

#include "shell/dialog_layout.h"
#include "shell/dialog_model.h"
#include "tarsio/test_support.h"

namespace tarsio::shell {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// Records every view call as one text line.
class RecordingView : public DialogView {
 public:
  std::vector<std::string> calls;
  void append_log(const std::string &text, LogStyle style) override {
    calls.push_back("log " + std::to_string(static_cast<int>(style)) + " " + text);
  }
  void set_icon(int c, int icon) override { calls.push_back("icon " + std::to_string(c) + " " + std::to_string(icon)); }
  void set_text(int c, const std::string &t) override { calls.push_back("text " + std::to_string(c) + " " + t); }
  void set_visible(int c, bool v) override { calls.push_back((v ? "show " : "hide ") + std::to_string(c)); }
  void flash(int c) override { calls.push_back("flash " + std::to_string(c)); }
  void refresh_colours() override { calls.push_back("colours"); }
  void show_message_box(const std::string &t) override { calls.push_back("box " + t); }
};

class DialogModelTest : public ::testing::Test {
 protected:
  void SetUp() override { set_log_threshold(0); }
  testing::ScratchDir dir_;
  RecordingView view_;
  std::vector<int> sleeps_;
  DialogModel model_{view_, {}, [this](std::chrono::milliseconds d) { sleeps_.push_back(int(d.count())); }};
};

TEST_F(DialogModelTest, InitialState) {
  EXPECT_FALSE(model_.connected());
  EXPECT_EQ(model_.device_type(), 1);
  EXPECT_FALSE(model_.overall_pass());
  EXPECT_EQ(model_.run_text(), "\r\n");
  EXPECT_TRUE(model_.worker_finished());
  EXPECT_FALSE(model_.closing());
  EXPECT_TRUE(model_.scene_test_enabled());
  EXPECT_EQ(model_.result_state(), ResultState::kNeutral);
}

TEST_F(DialogModelTest, LabelColoursPerState) {
  EXPECT_EQ(model_.result_colour(), (Rgb{0, 0, 255}));
  model_.set_result_state(ResultState::kPassed);
  EXPECT_EQ(model_.result_colour(), (Rgb{0, 255, 0}));
  model_.set_result_state(ResultState::kFailed);
  EXPECT_EQ(model_.result_colour(), (Rgb{255, 0, 0}));
  model_.set_result_state(ResultState::kNeutral);
  EXPECT_EQ(model_.result_colour(), (Rgb{0, 0, 255}));

  EXPECT_EQ(model_.device_state_colour(), (Rgb{255, 0, 0}));
  model_.startup_connection(true);
  EXPECT_EQ(model_.device_state_colour(), (Rgb{0, 255, 0}));
  model_.device_removed();
  EXPECT_EQ(model_.device_state_colour(), (Rgb{255, 0, 0}));
}

TEST_F(DialogModelTest, DeviceStateTextsAtStartUpAndOnNotifications) {
  model_.startup_connection(false);
  model_.startup_connection(true);
  model_.device_removed();
  model_.device_arrived();
  EXPECT_THAT(view_.calls, ElementsAre("text 1045 device has disconnected", "colours", "text 1045 device is connecting",
                                       "colours", "text 1045 device has disconnectted", "colours",
                                       "text 1045 device is connectting", "colours"));
  EXPECT_TRUE(model_.connected());
  const std::string log = dir_.log_bytes();
  EXPECT_THAT(log, HasSubstr("[App] I OnInitDialog["));
  EXPECT_THAT(log, HasSubstr("]: Device is disconnected\n"));
  EXPECT_THAT(log, HasSubstr("]: Device is connecting\n"));
}

TEST_F(DialogModelTest, ArrivalCountsOnlyWhenDiscoveryFindsAModule) {
  model_.startup_connection(false);
  view_.calls.clear();
  int discoveries = 0;
  model_.device_notification(true, [&] { ++discoveries; return false; });
  EXPECT_EQ(discoveries, 1);
  EXPECT_FALSE(model_.connected());
  EXPECT_TRUE(view_.calls.empty());  // nothing changes
  model_.device_notification(true, [&] { ++discoveries; return true; });
  EXPECT_TRUE(model_.connected());
  // A removal never runs the discovery.
  model_.device_notification(false, [&] { ++discoveries; return true; });
  EXPECT_EQ(discoveries, 2);
  EXPECT_FALSE(model_.connected());
  EXPECT_EQ(view_.calls.back(), "colours");
  EXPECT_EQ(view_.calls[view_.calls.size() - 2], "text 1045 device has disconnectted");
}

TEST_F(DialogModelTest, ItemVerdictAndFinalDisplay) {
  model_.item_verdict(IDC_ICON_INT_PIN, IDI_FAILED, ResultState::kFailed, "Int pin test fail");
  EXPECT_EQ(model_.result_state(), ResultState::kFailed);
  EXPECT_THAT(view_.calls, ElementsAre("icon 1034 137", "colours", "text 1029 Int pin test fail", "flash 1029",
                                       "show 1029", "hide 1050"));
  view_.calls.clear();
  model_.final_display("Fail");
  EXPECT_THAT(view_.calls, ElementsAre("colours", "text 1050 Fail", "flash 1050", "hide 1029", "show 1050"));
}

TEST_F(DialogModelTest, OpenFailureLeavesThePassFlag) {
  model_.set_overall_pass(true);
  model_.open_failure_display();
  EXPECT_TRUE(model_.overall_pass());
  EXPECT_EQ(model_.result_state(), ResultState::kFailed);
  EXPECT_THAT(view_.calls, ElementsAre("colours", "text 1029 Test Fail", "show 1029", "flash 1029", "hide 1050"));
}

TEST_F(DialogModelTest, AppendKeepsTheRunTextAndPauses) {
  model_.clear_run_text();
  model_.append_log("Int test start\r\n", LogStyle::kPlain);
  model_.append_log("Pass. \r\n\r\n", LogStyle::kPass);
  EXPECT_EQ(model_.run_text(), "Int test start\r\nPass. \r\n\r\n");
  EXPECT_THAT(view_.calls, ElementsAre("log 0 Int test start\r\n", "log 1 Pass. \r\n\r\n"));
  EXPECT_EQ(sleeps_, (std::vector<int>{100, 100}));
}

TEST_F(DialogModelTest, RunRefusedWhileDisconnectedOrWhileTheWorkerWaits) {
  EXPECT_FALSE(model_.run_may_start());
  EXPECT_THAT(dir_.log_bytes(), HasSubstr("[App] E error at CTarsioDlg::OnBnClickedButton13[tarsiodlg:"));
  EXPECT_THAT(dir_.log_bytes(), HasSubstr("]: Device disconnected\n"));
  model_.startup_connection(true);
  EXPECT_TRUE(model_.run_may_start());
  model_.set_worker_finished(false);
  const auto before = dir_.log_bytes();
  EXPECT_FALSE(model_.run_may_start());
  // Refused silently: only the entry trace was added.
  EXPECT_THAT(dir_.log_bytes().substr(before.size()), Not(HasSubstr("[App] E")));
}

// A dialog thread stand-in: functions queue up until the test runs them.
TEST(DialogModelThreads, WorkerDisplaysAreQueuedButTheRunTextIsImmediate) {
  RecordingView view;
  std::deque<std::function<void()>> queue;
  std::mutex m;
  DialogModel model(
      view,
      [&](std::function<void()> fn, bool) {
        std::lock_guard<std::mutex> lock(m);
        queue.push_back(std::move(fn));
      },
      [](std::chrono::milliseconds) {});
  model.clear_run_text();
  std::thread worker([&] {
    model.append_log("End scene test.", LogStyle::kPlain);
    model.final_display("Pass");
  });
  worker.join();
  // The worker writes Pass.txt right after: the text is there already.
  EXPECT_EQ(model.run_text(), "End scene test.");
  EXPECT_TRUE(view.calls.empty());
  for (auto &fn : queue) fn();
  EXPECT_EQ(view.calls.front(), "log 0 End scene test.");
  EXPECT_EQ(view.calls.back(), "show 1050");
}

TEST_F(DialogModelTest, CloseSendsTheExitNoticeAndReturnsTheVerdict) {
  int notices = 0;
  CloseHooks hooks{[] { return true; }, [&] { ++notices; }, {}};
  model_.set_overall_pass(true);
  model_.set_pass_recorded(true);
  EXPECT_EQ(model_.close(hooks), 12);
  EXPECT_TRUE(model_.closing());
  EXPECT_EQ(notices, 1);
  EXPECT_TRUE(sleeps_.empty());  // no worker stored: no wait
  model_.set_overall_pass(false);
  EXPECT_EQ(model_.close(hooks), 21);
}

TEST_F(DialogModelTest, OnlyARecordedPassOfAFinishedRunExitsTwelve) {
  int interrupted = 0;
  CloseHooks hooks{[] { return false; }, [] {}, [&] {
                     ++interrupted;
                     model_.set_overall_pass(false);
                     model_.set_run_active(false);
                   }};
  // The pass flag set by the bad-pixel item while the finger is awaited.
  model_.set_overall_pass(true);
  model_.set_run_active(true);
  EXPECT_EQ(model_.close(hooks), 21);
  EXPECT_EQ(interrupted, 1);
  // A pass whose Pass.txt was not written.
  model_.set_overall_pass(true);
  model_.set_pass_recorded(false);
  EXPECT_EQ(model_.close(hooks), 21);
  EXPECT_EQ(interrupted, 1);
  model_.set_pass_recorded(true);
  EXPECT_EQ(model_.close(hooks), 12);
}

TEST_F(DialogModelTest, CloseWithInvalidHandleLogsAndSendsNothing) {
  int notices = 0;
  CloseHooks hooks{[] { return false; }, [&] { ++notices; }, {}};
  EXPECT_EQ(model_.close(hooks), 21);
  EXPECT_EQ(notices, 0);
  EXPECT_THAT(dir_.log_bytes(), HasSubstr("[App] E error at CTarsioDlg::OnClose[tarsiodlg:"));
  EXPECT_THAT(dir_.log_bytes(), HasSubstr("]: Device handle invalid.\n"));
}

TEST_F(DialogModelTest, CloseWaitsAtMost400MsForABusyWorker) {
  CloseHooks hooks{[] { return false; }, [] {}, {}};
  model_.set_worker_stored(true);
  model_.set_worker_finished(false);
  EXPECT_EQ(model_.close(hooks), 21);
  EXPECT_EQ(sleeps_, std::vector<int>(20, 20));
}

TEST_F(DialogModelTest, CloseStopsWaitingWhenTheWorkerFinishes) {
  CloseHooks hooks{[] { return false; }, [] {}, {}};
  RecordingView view;
  int waits = 0;
  DialogModel model(view, {}, [&](std::chrono::milliseconds) {
    if (++waits == 3) model.set_worker_finished(true);
  });
  model.set_worker_stored(true);
  model.set_worker_finished(false);
  model.set_overall_pass(true);
  model.set_pass_recorded(true);
  EXPECT_EQ(model.close(hooks), 12);
  EXPECT_EQ(waits, 3);
}

}  // namespace
}  // namespace tarsio::shell
