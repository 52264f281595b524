#define TARSIO_LOG_SOURCE "tarsiodlg"

#include "shell/dialog_model.h"

#include <thread>

#include "shell/dialog_layout.h"
#include "shell/log.h"

namespace tarsio::shell {

DialogModel::DialogModel(DialogView &view, Dispatch dispatch, Sleep sleep)
    : view_(view), dispatch_(std::move(dispatch)), sleep_(std::move(sleep)) {
  if (!sleep_) sleep_ = [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); };
}

void DialogModel::on_dialog_thread(std::function<void()> fn, bool wait) {
  if (dispatch_)
    dispatch_(std::move(fn), wait);
  else
    fn();
}

std::string DialogModel::run_text() const {
  std::lock_guard<std::mutex> lock(run_text_mutex_);
  return run_text_;
}

void DialogModel::clear_run_text() {
  std::lock_guard<std::mutex> lock(run_text_mutex_);
  run_text_.clear();
}

Rgb DialogModel::result_colour() const {
  switch (result_state_.load()) {
    case ResultState::kPassed: return {0, 255, 0};
    case ResultState::kFailed: return {255, 0, 0};
    default: return {0, 0, 255};
  }
}

Rgb DialogModel::device_state_colour() const { return connected_ ? Rgb{0, 255, 0} : Rgb{255, 0, 0}; }

void DialogModel::append_log(const std::string &text, LogStyle style) {
  {
    // The run text is updated on the calling thread at once: the worker
    // writes the result file right after its last append, before the dialog
    // thread has drawn it.
    std::lock_guard<std::mutex> lock(run_text_mutex_);
    run_text_ += text;
  }
  on_dialog_thread([this, text, style] { view_.append_log(text, style); });
  sleep_(std::chrono::milliseconds(100));
}

void DialogModel::set_result_state(ResultState state) {
  result_state_ = state;
  on_dialog_thread([this] { view_.refresh_colours(); });
}

void DialogModel::item_verdict(int icon_control_id, int icon_id, ResultState state, const std::string &text) {
  result_state_ = state;
  on_dialog_thread([this, icon_control_id, icon_id, text] {
    view_.set_icon(icon_control_id, icon_id);
    view_.refresh_colours();
    view_.set_text(IDC_RESULT_LABEL, text);
    view_.flash(IDC_RESULT_LABEL);
    view_.set_visible(IDC_RESULT_LABEL, true);
    view_.set_visible(IDC_VERDICT_LABEL, false);
  });
}

void DialogModel::final_display(const std::string &text) {
  on_dialog_thread([this, text] {
    view_.refresh_colours();
    view_.set_text(IDC_VERDICT_LABEL, text);
    view_.flash(IDC_VERDICT_LABEL);
    view_.set_visible(IDC_RESULT_LABEL, false);
    view_.set_visible(IDC_VERDICT_LABEL, true);
  });
}

void DialogModel::open_failure_display() {
  result_state_ = ResultState::kFailed;
  on_dialog_thread([this] {
    view_.refresh_colours();
    view_.set_text(IDC_RESULT_LABEL, "Test Fail");
    view_.set_visible(IDC_RESULT_LABEL, true);
    view_.flash(IDC_RESULT_LABEL);
    view_.set_visible(IDC_VERDICT_LABEL, false);
  });
}

void DialogModel::show_start_button(bool visible) {
  on_dialog_thread([this, visible] { view_.set_visible(IDC_START_TEST, visible); });
}

void DialogModel::message_box(const std::string &text) {
  on_dialog_thread([this, text] { view_.show_message_box(text); }, /*wait=*/true);
}

void DialogModel::set_device_state(bool connected, const char *text) {
  connected_ = connected;
  const std::string t = text;
  on_dialog_thread([this, t] {
    view_.set_text(IDC_DEVICE_STATE, t);
    view_.refresh_colours();
  });
}

void DialogModel::startup_connection(bool connected) {
  set_device_state(connected, connected ? kStartupConnected : kStartupDisconnected);
  if (connected)
    TLOG_I("OnInitDialog", "Device is connecting");
  else
    TLOG_I("OnInitDialog", "Device is disconnected");
}

bool DialogModel::run_may_start() {
  TLOG_ENTER("OnBnClickedButton13");
  if (!connected_) {
    TLOG_E("CTarsioDlg::OnBnClickedButton13", "Device disconnected");
    return false;
  }
  return worker_finished_.load();
}

void DialogModel::device_arrived() { set_device_state(true, kNotifyConnected); }

void DialogModel::device_removed() { set_device_state(false, kNotifyDisconnected); }

void DialogModel::device_notification(bool arrival, const std::function<bool()> &connect_device) {
  if (!arrival) {
    device_removed();
    return;
  }
  if (connect_device()) device_arrived();
}

int DialogModel::close(const CloseHooks &hooks) {
  TLOG_ENTER("OnClose");
  closing_ = true;
  if (!hooks.device_handle_valid || !hooks.device_handle_valid()) {
    TLOG_E("CTarsioDlg::OnClose", "Device handle invalid.");
  } else if (hooks.send_exit_notice) {
    hooks.send_exit_notice();
  }
  if (worker_stored_) {
    for (int i = 0; i < 20 && !worker_finished_; ++i) sleep_(std::chrono::milliseconds(20));
  }
  if (run_active_ && hooks.finish_interrupted_run) hooks.finish_interrupted_run();
  TLOG_LEAVE("OnClose");
  return exit_code();
}

}  // namespace tarsio::shell
