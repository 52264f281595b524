#define TARSIO_LOG_SOURCE "tarsiodlg"

#include "shell/test_sequence.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "device/device_handle.h"
#include "device/discovery.h"
#include "shell/config.h"
#include "shell/dialog_layout.h"
#include "shell/keeping.h"
#include "shell/log.h"
#include "platform/fprint_capture.h"
#include "shell/result_paths.h"
#include "shell/run_record.h"
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

std::string pass_module_line() {
  const RunRecord r = record_snapshot();
  return std::string(kPassModuleLine) + (r.hardware_id.empty() ? "unknown" : r.hardware_id) + ", SensorID: " +
         (r.sensor_id.empty() ? "not read" : r.sensor_id) + " \r\n";
}

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
  ++runs_started_;
  prune_run_folders();
  record_run_start(runs_started_);
  {
    // The log's time stamps carry no date: each run names its own.
    const RunRecord started = record_snapshot();
    TLOG_I(kOp, "run %d, %s (UTC%s)", started.run, started.date.c_str(), started.utc_offset.c_str());
  }
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{running_};

  DialogModel& model = ctx_.model;
  model.set_run_active(true);
  model.set_pass_recorded(false);
  model.show_start_button(false);
  check_config_file();
  const int auto_exit = config_get_switch("common", "AutoAppExit", 1);
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
    if (hooks_.close_pending && hooks_.close_pending()) {
      // The dialog thread sees no event while it runs the items: a close
      // asked for meanwhile (a signal) is taken here, and the run ends as
      // a fail, however far it got.
      TLOG_W(kOp, "the program was asked to close during the run: no further item runs");
      if (hooks_.close_now) hooks_.close_now();
      TLOG_LEAVE(kOp);
      return;
    }
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
  if (config_get_switch("common", "AutoAppExit", 1) != 0) {
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

bool TestSequence::write_result_file(const std::string& tail, std::string* box) {
  static constexpr const char* op = "CTarsioDlg::WriteResultFile";
  const bool pass = ctx_.model.overall_pass();
  const std::string dir = result_path(pass ? "/Pass" : "/Fail");
  const std::string path = result_file_path(pass);
  std::string problem;
  if (!ensure_directory(dir)) {
    problem = std::strerror(errno);
    TLOG_E(op, "cannot create %s", dir.c_str());
  } else if (!replace_file(path, ctx_.model.run_text() + tail)) {
    problem = std::strerror(errno);
    TLOG_E(op, "cannot write %s", path.c_str());
  }
  last_written_ = problem.empty() ? path : std::string();
  if (problem.empty()) return true;
  TLOG_E(op, "result file %s not written: %s", path.c_str(), problem.c_str());
  last_problem_ = path + " (" + problem + ")";
  if (box != nullptr) *box = "Result file not written: " + path + " (" + problem + ")";
  return false;
}

bool TestSequence::write_result_file() {
  std::string box;
  const bool written = write_result_file("", &box);
  if (!written) ctx_.model.message_box(box);
  return written;
}

void TestSequence::finish_run() {
  // The message boxes wait for the operator: they are shown once the run
  // has ended and the lock is free, so that a close arriving meanwhile
  // (its handling takes the same lock) cannot wait for ever on a box.
  std::vector<std::string> boxes;
  {
    std::lock_guard<std::mutex> guard(finish_lock_);
    DialogModel& model = ctx_.model;
    if (!model.run_active()) return;
    last_problem_.clear();
    std::string box;
    const bool written = write_result_file(model.overall_pass() ? pass_module_line() : std::string(), &box);
    if (!written) boxes.push_back(box);
    if (!written && model.overall_pass()) {
      // The pass is not on record: the line must not take this module as
      // good.  The verdict turns to Fail, and Fail.txt says so if it can,
      // with a last line that says why.
      TLOG_E("CTarsioDlg::WriteResultFile", "the pass is not recorded: the run counts as failed");
      model.set_overall_pass(false);
      model.set_result_state(ResultState::kFailed);
      model.final_display("Fail");
      const std::string why = kUnrecordedPassLine + last_problem_ + ". \r\n";
      if (!write_result_file(why, &box)) boxes.push_back(box);
    }
    model.set_pass_recorded(written && model.overall_pass());
    std::string reason;
    if (!last_problem_.empty() && last_written_.empty()) reason = "no result file written: " + last_problem_;
    else if (!written) reason = "the pass could not be recorded: " + last_problem_;
    record_end(reason);
    model.set_run_active(false);
  }
  for (const std::string& box : boxes) ctx_.model.message_box(box);
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
  // The program is ending: a file that cannot be written is logged, no box
  // waits for an operator.
  write_result_file("", nullptr);
  model.set_pass_recorded(false);
  record_end("the program closed during the run");
  model.set_run_active(false);
}

void TestSequence::finish_without_run(const std::string& reason) {
  DialogModel& model = ctx_.model;
  std::lock_guard<std::mutex> guard(finish_lock_);
  if (model.run_active() || runs_ended_ > 0) return;
  if (runs_started_ == 0) record_run_start(0);
  TLOG_W("OnClose", "%s before a run has ended: the run counts as failed", reason.c_str());
  model.set_overall_pass(false);
  model.set_pass_recorded(false);
  write_result_file(kNoRunLinePrefix + reason + kNoRunLineSuffix, nullptr);
  record_end(reason + " before a run has ended");
}

void TestSequence::record_end(const std::string& reason) {
  ++runs_ended_;
  const bool pass = ctx_.model.overall_pass() && ctx_.model.pass_recorded();
  if (hooks_.run_ended) hooks_.run_ended(RunEnd{pass, reason, last_written_, pass ? kExitPass : kExitFail});
}

}  // namespace tarsio::shell
