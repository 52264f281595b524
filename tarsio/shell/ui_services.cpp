#include "shell/ui_services.h"

#include <atomic>

namespace tarsio::shell {
namespace {

class SilentUiServices final : public UiServices {
 public:
  void message_box(const std::string&) override {}
};

SilentUiServices g_silent;
std::atomic<UiServices*> g_services{nullptr};

}  // namespace

UiServices& ui_services() {
  UiServices* services = g_services.load();
  return services != nullptr ? *services : g_silent;
}

void set_ui_services(UiServices* services) { g_services.store(services); }

}  // namespace tarsio::shell
