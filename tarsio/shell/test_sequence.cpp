#define TARSIO_LOG_SOURCE "tarsiodlg"

#include "shell/test_sequence.h"

#include <cerrno>
#include <cstring>

#include "device/device_handle.h"
#include "device/discovery.h"
#include "shell/config.h"
#include "shell/dialog_layout.h"
#include "shell/log.h"
#include "platform/fprint_capture.h"
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
  model.set_run_active(true);
  model.set_pass_recorded(false);
  model.show_start_button(false);
  check_config_file();
  const int auto_exit = config_get_int("common", "AutoAppExit", 1);
  model.set_overall_pass(true);
  model.clear_run_text();

  const bool spi = model.device_type() == device::kDeviceTypeSpi;
  for (const Step& step : kSteps) {
    if (step.usb_only && spi) continue;
    TLOG_I(kOp, "%s", step.start);
    step.run(ctx_);
    if (!model.overall_pass()) {
      finish_run();
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
  finish_run();
  if (auto_exit != 0) request_close(hooks_.close_now);
  TLOG_LEAVE(kOp);
}

int TestSequence::CaptureThread() {
  static constexpr const char* op = "CaptureThread";
  TLOG_ENTER(op);
  DialogModel& model = ctx_.model;
  model.set_worker_finished(false);
  model.set_closing(false);
  {
    // The module is lent to the fingerprint service, but stays watched: a
    // module killed meanwhile sends no removal event, and its watch ends the
    // capture at once instead of at the finger timeout.
    const platform::DeviceHandle handle = ctx_.handle ? ctx_.handle() : platform::kInvalidDeviceHandle;
    const platform::PresenceWatch watch =
        handle != platform::kInvalidDeviceHandle ? handle->watch_presence() : platform::PresenceWatch();
    hooks_.close_device();
    ctx_.presence_fd = watch.fd();
    tests::SceneTestImageValid(ctx_);
    ctx_.presence_fd = -1;
  }
  // A module that cannot be opened again after the capture has gone away
  // during the run: the run is not a pass.
  if (hooks_.reopen_device && !hooks_.reopen_device()) {
    TLOG_E("CTarsioDlg::CaptureThread", "the module could not be opened again after the scene test");
    model.set_overall_pass(false);
  }
  AllTestResultShow();
  model.set_worker_stored(false);
  model.show_start_button(true);
  // The result file is written before the run counts as finished, so that a
  // close arriving meanwhile cannot end the program without it.
  finish_run();
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

bool TestSequence::write_result_file() {
  static constexpr const char* op = "CTarsioDlg::WriteResultFile";
  const bool pass = ctx_.model.overall_pass();
  const std::string dir = result_path(pass ? "/Pass" : "/Fail");
  const std::string path = result_file_path(pass);
  std::string problem;
  if (!ensure_directory(dir)) {
    problem = std::strerror(errno);
    TLOG_E(op, "cannot create %s", dir.c_str());
  } else if (!write_text_file(path, ctx_.model.run_text())) {
    problem = std::strerror(errno);
    TLOG_E(op, "cannot write %s", path.c_str());
  }
  if (problem.empty()) return true;
  TLOG_E(op, "result file %s not written: %s", path.c_str(), problem.c_str());
  ctx_.model.message_box("Result file not written: " + path + " (" + problem + ")");
  return false;
}

void TestSequence::finish_run() {
  std::lock_guard<std::mutex> guard(finish_lock_);
  DialogModel& model = ctx_.model;
  if (!model.run_active()) return;
  bool written = write_result_file();
  if (!written && model.overall_pass()) {
    // The pass is not on record: the line must not take this module as
    // good.  The verdict turns to Fail, and Fail.txt says so if it can.
    TLOG_E("CTarsioDlg::WriteResultFile", "the pass is not recorded: the run counts as failed");
    model.set_overall_pass(false);
    model.set_result_state(ResultState::kFailed);
    model.final_display("Fail");
    write_result_file();
  }
  model.set_pass_recorded(written && model.overall_pass());
  model.set_run_active(false);
}

void TestSequence::finish_interrupted_run() {
  DialogModel& model = ctx_.model;
  // A capture still waiting for its finger is let go; the worker then finds
  // the run already ended and writes nothing.
  platform::cancel_finger_capture();
  std::lock_guard<std::mutex> guard(finish_lock_);
  if (!model.run_active()) return;
  TLOG_W("OnClose", "the program closes during a run: the run counts as failed");
  model.set_overall_pass(false);
  write_result_file();
  model.set_pass_recorded(false);
  model.set_run_active(false);
}

}  // namespace tarsio::shell
