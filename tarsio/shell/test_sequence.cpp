#define TARSIO_LOG_SOURCE "tarsiodlg"

#include "shell/test_sequence.h"

#include "device/device_handle.h"
#include "device/discovery.h"
#include "shell/config.h"
#include "shell/dialog_layout.h"
#include "shell/log.h"
#include "shell/result_paths.h"
#include "tests/scenetest.h"
#include "tests/sensorbadtest.h"
#include "tests/version_tests.h"

namespace tarsio::shell {
namespace {

constexpr const char* kOp = "OnBnClickedButton13";

struct Step {
  const char* start;
  const char* end;
  const char* fail;
  void (*run)(tests::ItemContext&);
  bool usb_only;
};

constexpr Step kSteps[] = {
    {"Int test start->", "<-Int test end", "Int test fail", tests::OnBnClickedButton8, false},
    {"Driver version test start->", "<-Driver version test end", "Driver version test fail", tests::OnBnClickedButton11,
     false},
    {"Sensor fw version test start->", "<-Sensor fw version test end", "Sensor fw version test fail",
     tests::OnBnClickedButton12, false},
    {"USB fw version test start->", "<-USB fw version test end", "USB fw version test fail", tests::OnBnClickedButton9,
     true},
    {"Sensor bad test start->", "<-Sensor bad test end", "Sensor bad test fail", tests::OnBnClickedButton10, false},
};

}  // namespace

std::string result_file_path(bool pass) { return result_path(pass ? "/Pass/Pass.txt" : "/Fail/Fail.txt"); }

TestSequence::TestSequence(tests::ItemContext& ctx, SequenceHooks hooks) : ctx_(ctx), hooks_(std::move(hooks)) {
  if (!hooks_.close_device) hooks_.close_device = [] { device::close_device_handle(); };
}

TestSequence::~TestSequence() {
  // A worker still waiting for a finger is left to the process's end.
  if (worker_.joinable()) worker_.detach();
}

void TestSequence::join_worker() {
  if (worker_.joinable()) worker_.join();
}

void TestSequence::request_close(const std::function<void()>& close) {
  TLOG_I(kOp, "Send close app notify");
  if (close) close();
}

void TestSequence::failure_display() {
  ctx_.model.show_start_button(true);
  ctx_.model.set_result_state(ResultState::kFailed);
  ctx_.model.final_display("Fail");
}

void TestSequence::OnBnClickedButton13() {
  if (running_) return;
  if (!ctx_.model.run_may_start()) return;
  running_ = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{running_};

  DialogModel& model = ctx_.model;
  model.show_start_button(false);
  const int auto_exit = config_get_int("common", "AutoAppExit", 1);
  model.set_overall_pass(true);
  model.clear_run_text();

  const bool spi = model.device_type() == device::kDeviceTypeSpi;
  for (const Step& step : kSteps) {
    if (step.usb_only && spi) continue;
    TLOG_I(kOp, "%s", step.start);
    step.run(ctx_);
    if (!model.overall_pass()) {
      write_result_file();
      TLOG_W(kOp, "%s", step.fail);
      failure_display();
      if (auto_exit != 0) request_close(hooks_.close_now);
      TLOG_LEAVE(kOp);
      return;
    }
    TLOG_I(kOp, "%s", step.end);
  }

  if (model.scene_test_enabled()) {
    TLOG_I(kOp, "Scene test start->");
    OnBnClickedButton14(ctx_, [this] {
      join_worker();  // the previous run's worker has ended: its flag was set
      ctx_.model.set_worker_finished(false);
      ctx_.model.set_worker_stored(true);
      worker_ = std::thread([this] { CaptureThread(); });
    });
    TLOG_I(kOp, "<-Scene test end");
    TLOG_LEAVE(kOp);
    return;
  }
  AllTestResultShow();
  write_result_file();
  if (auto_exit != 0) request_close(hooks_.close_now);
  TLOG_LEAVE(kOp);
}

int TestSequence::CaptureThread() {
  static constexpr const char* op = "CaptureThread";
  TLOG_ENTER(op);
  DialogModel& model = ctx_.model;
  model.set_worker_finished(false);
  model.set_closing(false);
  hooks_.close_device();
  SceneTestImageValid(ctx_);
  if (hooks_.reopen_device) hooks_.reopen_device();
  AllTestResultShow();
  model.set_worker_stored(false);
  model.show_start_button(true);
  // The result file is written before the run counts as finished, so that a
  // close arriving meanwhile cannot end the program without it.
  write_result_file();
  model.set_worker_finished(true);
  if (config_get_int("common", "AutoAppExit", 1) != 0) {
    TLOG_I(op, "Send close app notify");
    if (hooks_.close_queued) hooks_.close_queued();
  }
  TLOG_LEAVE(op);
  return 0;
}

void TestSequence::AllTestResultShow() {
  DialogModel& model = ctx_.model;
  const bool scene = model.scene_test_enabled();
  if (model.overall_pass()) {
    ctx_.append(scene ? "End scene test. \r\n\r\n\r\n All test result: " : "\r\n\r\n\r\n All test result: ");
    ctx_.append("Pass. \r\n\r\n", LogStyle::kPass);
    model.set_result_state(ResultState::kPassed);
    model.final_display("Pass");
    TLOG_I("AllTestResultShow", "all test success");
  } else {
    ctx_.append(scene ? "End scene test." : "");
    model.set_result_state(ResultState::kFailed);
    model.final_display("Fail");
  }
}

void TestSequence::write_result_file() {
  const bool pass = ctx_.model.overall_pass();
  const std::string dir = result_path(pass ? "/Pass" : "/Fail");
  if (!ensure_directory(dir)) {
    TLOG_E("CTarsioDlg::WriteResultFile", "cannot create %s", dir.c_str());
    return;
  }
  if (!write_text_file(result_file_path(pass), ctx_.model.run_text()))
    TLOG_E("CTarsioDlg::WriteResultFile", "cannot write %s", result_file_path(pass).c_str());
}

}  // namespace tarsio::shell
