// The "Start test" sequence: the six items in their fixed order, stopping at
// the first failure; the scene-test worker that finishes a run with a
// finger; the final verdict display; and the result file that holds the
// run's log-pane text (TestResult/Pass/Pass.txt or TestResult/Fail/Fail.txt
// under the program's directory).
#pragma once

#include <functional>
#include <mutex>
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
};

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

  // Waits for a scene-test worker of the last run to end (tests).
  void join_worker();

 private:
  void failure_display();
  void request_close(const std::function<void()>& close);

  tests::ItemContext& ctx_;
  SequenceHooks hooks_;
  std::thread worker_;
  std::mutex finish_lock_;
  bool running_ = false;
};

// TestResult/Pass/Pass.txt or TestResult/Fail/Fail.txt under the program's
// directory.
std::string result_file_path(bool pass);

}  // namespace tarsio::shell
