// What the factory test items reach on the main dialog: the dialog model
// (log pane, result displays, run state), the item controls (status icons,
// item buttons, the result label), an explicit repaint, the current sensor
// information, the device handle, and the finger capture of the scene test.
//
// Control changes are carried to the dialog thread by the dispatch function,
// so the scene-test worker uses the same calls as the items on the dialog
// thread.  Tests build a context over a recording view and a fake capture.
#pragma once

#include <functional>
#include <string>

#include "device/devicecontrol.h"
#include "platform/fprint_capture.h"
#include "shell/dialog_model.h"
#include "tests/descramble.h"

namespace tarsio::tests {

class ItemContext {
 public:
  ItemContext(shell::DialogModel& model, shell::DialogView& view, shell::DialogModel::Dispatch dispatch = {},
              std::function<void()> repaint = {});

  shell::DialogModel& model;

  void set_icon(int icon_control_id, int icon_id);
  void set_visible(int control_id, bool visible);
  void set_text(int control_id, const std::string& text);
  void flash(int control_id);
  // Draws the dialog now, without dispatching any input.
  void repaint();
  void append(const std::string& text, shell::LogStyle style = shell::LogStyle::kPlain) {
    model.append_log(text, style);
  }
  bool connected() const { return model.connected(); }

  // The current sensor information (kept by the driver version test).
  device::SensorInfo sensor_info;
  // The descrambling position list of the scene test.
  PositionListCache positions;
  // The device handle (the process-wide one by default).
  std::function<device::DeviceHandle()> handle;
  // The scene test's finger image (libfprint by default, waiting at most
  // SceneTestTimeout seconds for a finger, and no longer than the module
  // lives when presence_fd watches it).
  std::function<platform::FingerCapture()> capture;
  // The scene-test worker's watch on the module while the fingerprint
  // service has it (-1: none).
  int presence_fd = -1;
  // Releases the algorithm library's state when the scene test fails.
  std::function<void()> release_algorithm;

 private:
  void on_dialog_thread(std::function<void()> fn);

  shell::DialogView& view_;
  shell::DialogModel::Dispatch dispatch_;
  std::function<void()> repaint_;
};

}  // namespace tarsio::tests
