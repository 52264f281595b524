// The "Start test" sequence: the six items in their fixed order, stopping at
// the first failure; the scene-test worker that finishes a run with a
// finger; the final verdict display; and the result file that holds the
// run's log-pane text (TestResult/Pass/Pass.txt or TestResult/Fail/Fail.txt
// under the program's directory).
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "tests/item_context.h"

namespace tarsio::shell {

struct SequenceHooks {
  // The close request to the main window: handled at once on the dialog
  // thread, or posted to it from the worker.
  std::function<void()> close_now;
  std::function<void()> close_queued;
  // The worker hands the module to the biometric service and takes it back
  // (defaults: close the process-wide handle; no reopen).
  std::function<void()> close_device;
  std::function<bool()> reopen_device;
  // True when the program has been asked to close (a signal) while the
  // dialog thread runs items 1 to 5 and handles no event: the sequence
  // stops after the current item and closes at once.
  std::function<bool()> close_pending;
  // Every end of a run (and a close before any run), once: what the run
  // record keeps.
  std::function<void(const struct RunEnd&)> run_ended;
};

// How a run ended.
struct RunEnd {
  bool pass = false;        // passed every item and Pass.txt is written
  std::string reason;       // why a run without a failing item is a fail ("" otherwise)
  std::string result_file;  // the result file written ("" when none)
  int exit_code = 21;       // the code the program ends with after this run
};

// The line added after the run text of a Pass.txt: the module that passed
// ("Module: USB\VID_3A7C&PID_3101, SensorID: 0a1b... \r\n"; "not read" on
// a model whose id the bad-pixel report does not ask for).
inline constexpr const char* kPassModuleLine = "Module: ";
std::string pass_module_line();

// The last line of a Fail.txt written in place of a Pass.txt that could not
// be written, followed by the path and the error and ". \r\n".
inline constexpr const char* kUnrecordedPassLine = "Result: Fail, the pass could not be recorded in ";
// The line of a Fail.txt written when the program closes before any run has
// ended: prefix, the reason, suffix.
inline constexpr const char* kNoRunLinePrefix = "Result: Fail, ";
inline constexpr const char* kNoRunLineSuffix = " before a test run ended. \r\n";

class TestSequence {
 public:
  TestSequence(tests::ItemContext& ctx, SequenceHooks hooks);
  ~TestSequence();
  TestSequence(const TestSequence&) = delete;
  TestSequence& operator=(const TestSequence&) = delete;

  // The sequence (button, Enter, Space, first-run timer).  Ignored while a
  // run is already on its way on this thread, for example when a message
  // box's own event loop delivers a key press.
  void OnBnClickedButton13();

  // The scene-test worker's body; returns 0.
  int CaptureThread();

  // The final verdict of a run that reached its end.
  void AllTestResultShow();

  // Writes the run text into the file of the current verdict.  A file that
  // cannot be written is logged and shown; false then.
  bool write_result_file();
  // The same with `tail` after the run text; a failure is logged and its
  // message-box text goes to *box (when given) instead of being shown.
  bool write_result_file(const std::string& tail, std::string* box);

  // Ends the run: writes its result file and records the verdict.  A pass
  // whose Pass.txt cannot be written becomes a fail (Fail.txt is tried in
  // its place): a module whose result is not recorded is not a pass.  Does
  // nothing when the run has already ended (the close and the worker may
  // both try).
  void finish_run();

  // The close arrived while a run was still under way (the worker waiting
  // for a finger, or a message box's event loop inside an item): the run
  // ends as a fail, its Fail.txt is written, and a capture still waiting is
  // cancelled.
  void finish_interrupted_run();

  // The program closes before any run has ended (a signal, or no module
  // within NoModuleTimeout): Fail.txt is written with one line that gives
  // the reason, and the run record keeps it.  Nothing when a run is under
  // way or has ended.
  void finish_without_run(const std::string& reason);

  // Runs started since the program began (on the dialog thread).
  int runs_started() const { return runs_started_; }

  // Waits for a scene-test worker of the last run to end (tests).
  void join_worker();

 private:
  void failure_display();
  void request_close(const std::function<void()>& close);
  void record_end(const std::string& reason);

  tests::ItemContext& ctx_;
  SequenceHooks hooks_;
  std::thread worker_;
  std::mutex finish_lock_;
  bool running_ = false;
  int runs_started_ = 0;
  int runs_ended_ = 0;           // under finish_lock_
  std::string last_written_;     // the last result file written, "" when it failed
  std::string last_problem_;     // path and error of the last file that failed
};

// TestResult/Pass/Pass.txt or TestResult/Fail/Fail.txt under the program's
// directory.
std::string result_file_path(bool pass);

}  // namespace tarsio::shell
