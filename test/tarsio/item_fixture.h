// A main dialog without a window for the test-item and sequence tests: the
// view keeps the last state of every control, the model does not pause, and
// the device is a scripted transport published as a connected module.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "device/device_params.h"
#include "shell/dialog_model.h"
#include "shell/result_paths.h"
#include "shell/ui_services.h"
#include "tarsio/fake_transport.h"
#include "tarsio/test_support.h"
#include "tests/item_context.h"

namespace tarsio::testing {

// Keeps the state the controls end up in.
class ControlStateView : public shell::DialogView {
 public:
  std::string pane;  // everything appended, in order
  std::vector<std::pair<std::string, shell::LogStyle>> appends;
  std::map<int, int> icons;
  std::map<int, std::string> texts;
  std::map<int, bool> visible;
  std::vector<std::string> boxes;
  int flashes = 0;

  void append_log(const std::string& text, shell::LogStyle style) override {
    pane += text;
    appends.emplace_back(text, style);
  }
  void set_icon(int control, int icon) override { icons[control] = icon; }
  void set_text(int control, const std::string& text) override { texts[control] = text; }
  void set_visible(int control, bool v) override { visible[control] = v; }
  void flash(int) override { ++flashes; }
  void refresh_colours() override {}
  void show_message_box(const std::string& text) override { boxes.push_back(text); }
};

// Message boxes of the station core, recorded.
class RecordingUi : public shell::UiServices {
 public:
  std::vector<std::string> boxes;
  void message_box(const std::string& text) override { boxes.push_back(text); }
};

class ItemFixture {
 public:
  ItemFixture() {
    shell::set_log_threshold(0);
    shell::set_program_dir_for_testing(dir.path() + "/app");
    shell::set_ui_services(&ui);
    model.startup_connection(true);
    ctx.handle = [this] { return static_cast<device::DeviceHandle>(&device); };
    device::reset_device_params();
  }
  ~ItemFixture() {
    shell::set_ui_services(nullptr);
    shell::set_program_dir_for_testing("");
    device::reset_device_params();
  }

  // Log lines (without time stamps) that contain the text.
  int log_count(const std::string& text) const {
    int n = 0;
    for (const auto& l : dir.log_lines())
      if (l.find(text) != std::string::npos) ++n;
    return n;
  }

  ScratchDir dir;
  ControlStateView view;
  RecordingUi ui;
  shell::DialogModel model{view, {}, [](std::chrono::milliseconds) {}};
  FakeTransport device;
  tests::ItemContext ctx{model, view};
};

}  // namespace tarsio::testing
