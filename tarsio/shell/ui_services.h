// The few user-interface services the station core needs (a modal message
// box), behind an interface so that the core runs and is tested without a
// window.  The Qt program installs its implementation at start-up; until
// then, and in tests that install nothing, message boxes are dropped.
#pragma once

#include <string>

namespace tarsio::shell {

class UiServices {
 public:
  virtual ~UiServices() = default;
  // Shows a modal message box with the text and waits for the operator.
  virtual void message_box(const std::string& text) = 0;
};

// The installed services (never null: a silent default stands in).
UiServices& ui_services();
// Installs services; null restores the silent default.  Not owned.
void set_ui_services(UiServices* services);

}  // namespace tarsio::shell
