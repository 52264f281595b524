// The main dialog's logic without any widget: run state, connection state,
// result state, and what each display operation does to the controls.  The
// Qt dialog implements DialogView and only mirrors what this class decides,
// so the behaviour can be tested without a window.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>

namespace tarsio::shell {

enum class LogStyle { kPlain, kPass, kFail };

// 0 neutral, 1 passed, 2 failed: colours the result labels.
enum class ResultState : int { kNeutral = 0, kPassed = 1, kFailed = 2 };

struct Rgb {
  int r, g, b;
  bool operator==(const Rgb &) const = default;
};

// What the widgets offer.  Every call arrives on the dialog thread.
class DialogView {
 public:
  virtual ~DialogView() = default;
  virtual void append_log(const std::string &text, LogStyle style) = 0;
  virtual void set_icon(int icon_control_id, int icon_id) = 0;
  virtual void set_text(int control_id, const std::string &text) = 0;
  virtual void set_visible(int control_id, bool visible) = 0;
  // Flashes the control once to draw the operator's eye to it.
  virtual void flash(int control_id) = 0;
  // The result state or the connected flag changed: recolour the labels.
  virtual void refresh_colours() = 0;
  // A modal message box with an OK button.
  virtual void show_message_box(const std::string &text) = 0;
};

// Texts of the device-state label: the start-up check and the hotplug
// notifications are spelled differently, as the line has always shown them.
inline constexpr const char *kStartupConnected = "device is connecting";
inline constexpr const char *kStartupDisconnected = "device has disconnected";
inline constexpr const char *kNotifyConnected = "device is connectting";
inline constexpr const char *kNotifyDisconnected = "device has disconnectted";

inline constexpr int kExitPass = 12;
inline constexpr int kExitFail = 21;

// Close handling talks to the device through these; the device layer
// provides them.
struct CloseHooks {
  std::function<bool()> device_handle_valid;
  // Sends the application-exit notice; on failure it logs, closes the handle
  // and marks it invalid.
  std::function<void()> send_exit_notice;
  // A run still under way when the wait for the worker is over: it is ended
  // as a fail and its result file written before the program ends.
  std::function<void()> finish_interrupted_run;
};

class DialogModel {
 public:
  // Runs a function on the dialog thread.  `wait` asks the caller to block
  // until it ran (used for modal message boxes raised by the worker).
  using Dispatch = std::function<void(std::function<void()> fn, bool wait)>;
  using Sleep = std::function<void(std::chrono::milliseconds)>;

  DialogModel(DialogView &view, Dispatch dispatch = {}, Sleep sleep = {});

  // --- state -------------------------------------------------------------
  bool connected() const { return connected_; }
  int device_type() const { return device_type_; }
  void set_device_type(int type) { device_type_ = type; }
  bool overall_pass() const { return overall_pass_; }
  void set_overall_pass(bool pass) { overall_pass_ = pass; }
  bool worker_finished() const { return worker_finished_; }
  void set_worker_finished(bool finished) { worker_finished_ = finished; }
  bool worker_stored() const { return worker_stored_; }
  void set_worker_stored(bool stored) { worker_stored_ = stored; }
  bool closing() const { return closing_; }
  void set_closing(bool closing) { closing_ = closing; }
  bool scene_test_enabled() const { return scene_test_enabled_; }
  void set_scene_test_enabled(bool on) { scene_test_enabled_ = on; }
  ResultState result_state() const { return result_state_; }
  // A run is under way from its start until its result file is written.
  bool run_active() const { return run_active_; }
  void set_run_active(bool active) { run_active_ = active; }
  // The last run that ended passed every item and its Pass.txt is written.
  bool pass_recorded() const { return pass_recorded_; }
  void set_pass_recorded(bool recorded) { pass_recorded_ = recorded; }
  std::string run_text() const;
  void clear_run_text();

  // --- colours -----------------------------------------------------------
  // Text colour of the result label 1029 and the verdict label 1050.
  Rgb result_colour() const;
  // Text colour of the device-state label 1045.
  Rgb device_state_colour() const;

  // --- displays (callable from the dialog thread or the worker) -----------
  // Appends to the log pane in a style and, at once, to the run text; then
  // pauses 100 ms on the calling thread.
  void append_log(const std::string &text, LogStyle style);
  // Sets an item's status icon, the result state and the result label's
  // text; flashes and shows the result label, hides the verdict label.
  void item_verdict(int icon_control_id, int icon_id, ResultState state, const std::string &text);
  // "Pass" or "Fail" into the verdict label, flashed; result label hidden.
  void final_display(const std::string &text);
  // The device could not be opened: result state 2, "Test Fail" in the result
  // label (shown, flashed), verdict label hidden.  The overall pass flag is
  // left as it is.
  void open_failure_display();
  void set_result_state(ResultState state);
  void show_start_button(bool visible);
  void message_box(const std::string &text);

  // --- connection ----------------------------------------------------------
  // Result of the start-up discovery.
  void startup_connection(bool connected);
  // A module arrived and discovery found it.  (A failed discovery changes
  // nothing, so the caller does not report it.)
  void device_arrived();
  void device_removed();
  // One notification: an arrival runs the discovery (`connect_device`, which
  // also stores the device type) and counts only when it finds a module; a
  // removal marks the module gone without touching the handle.
  void device_notification(bool arrival, const std::function<bool()> &connect_device);

  // --- the run ---------------------------------------------------------------
  // The checks that open every run: refused with an error line while no
  // module is connected, refused silently while a scene test still waits for
  // its finger.  True when a run may start.
  bool run_may_start();

  // --- close ---------------------------------------------------------------
  // Sets the closing flag, sends the exit notice (or logs that the handle is
  // invalid), waits at most 20 x 20 ms for a stored worker to finish, ends a
  // run that is still under way as a fail, and returns the exit code.
  int close(const CloseHooks &hooks);
  // 12 only when the last run passed every item and its Pass.txt was
  // written, and no run is under way; 21 otherwise.  (The overall pass flag
  // alone is not enough: it is set again by a passing bad-pixel item while
  // the scene test still waits for its finger.)
  int exit_code() const { return pass_recorded_ && !run_active_ && overall_pass_ ? kExitPass : kExitFail; }

 private:
  void on_dialog_thread(std::function<void()> fn, bool wait = false);
  void set_device_state(bool connected, const char *text);

  DialogView &view_;
  Dispatch dispatch_;
  Sleep sleep_;

  std::atomic<bool> connected_{false};
  std::atomic<int> device_type_{1};
  std::atomic<bool> overall_pass_{false};
  std::atomic<bool> worker_finished_{true};
  std::atomic<bool> worker_stored_{false};
  std::atomic<bool> closing_{false};
  std::atomic<bool> run_active_{false};
  std::atomic<bool> pass_recorded_{false};
  std::atomic<bool> scene_test_enabled_{true};
  std::atomic<ResultState> result_state_{ResultState::kNeutral};
  mutable std::mutex run_text_mutex_;
  std::string run_text_ = "\r\n";
};

}  // namespace tarsio::shell
