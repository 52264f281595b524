#include "tests/item_context.h"

#include "device/device_handle.h"
#include "lumetra.h"
#include "shell/config.h"

namespace tarsio::tests {

ItemContext::ItemContext(shell::DialogModel& m, shell::DialogView& view, shell::DialogModel::Dispatch dispatch,
                         std::function<void()> repaint)
    : model(m),
      handle([] { return device::device_handle(); }),
      capture([this] {
        // A module already gone never shows a finger: no wait for one.
        if (!model.connected()) {
          platform::FingerCapture removed;
          removed.hr = platform::kHrCanceled;
          removed.message = "capture cancelled: the module is not connected";
          return removed;
        }
        return platform::capture_finger_image(shell::scene_test_timeout_seconds() * 1000, presence_fd);
      }),
      release_algorithm([] { uninit_nerio_algorithm(); }),
      view_(view),
      dispatch_(std::move(dispatch)),
      repaint_(std::move(repaint)) {}

void ItemContext::on_dialog_thread(std::function<void()> fn) {
  if (dispatch_)
    dispatch_(std::move(fn), false);
  else
    fn();
}

void ItemContext::set_icon(int icon_control_id, int icon_id) {
  on_dialog_thread([this, icon_control_id, icon_id] { view_.set_icon(icon_control_id, icon_id); });
}

void ItemContext::set_visible(int control_id, bool visible) {
  on_dialog_thread([this, control_id, visible] { view_.set_visible(control_id, visible); });
}

void ItemContext::set_text(int control_id, const std::string& text) {
  on_dialog_thread([this, control_id, text] { view_.set_text(control_id, text); });
}

void ItemContext::flash(int control_id) {
  on_dialog_thread([this, control_id] { view_.flash(control_id); });
}

void ItemContext::repaint() {
  if (repaint_) on_dialog_thread(repaint_);
}

}  // namespace tarsio::tests
