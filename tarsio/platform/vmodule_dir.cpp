#include "platform/vmodule_dir.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include <unistd.h>

namespace tarsio::platform {

std::string virtual_module_dir() {
  if (const char* dir = std::getenv("TARSIO_VMODULE_DIR"); dir != nullptr && *dir != '\0') return dir;
  if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg != nullptr && *xdg != '\0')
    return std::string(xdg) + "/tarsio-vmodule";
  const uid_t uid = ::getuid();
  if (uid == 0) return "/run/tarsio-vmodule";
  return "/tmp/tarsio-vmodule-" + std::to_string(uid);
}

bool read_virtual_module_desc(const std::string& desc_path, VirtualModuleDesc* desc) {
  *desc = VirtualModuleDesc{};
  std::FILE* file = std::fopen(desc_path.c_str(), "rb");
  if (file == nullptr) return false;
  char line[1024];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    std::string_view text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    const auto eq = text.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = text.substr(0, eq);
    const std::string value(text.substr(eq + 1));
    if (key == "hardware_id") desc->hardware_id = value;
    else if (key == "bus") desc->bus = value;
    else if (key == "socket") desc->socket = value;
    else if (key == "name") desc->name = value;
  }
  std::fclose(file);
  if (desc->name.empty()) {
    std::string_view base(desc_path);
    if (const auto slash = base.rfind('/'); slash != std::string_view::npos) base.remove_prefix(slash + 1);
    if (base.size() > 5 && base.substr(base.size() - 5) == ".desc") base.remove_suffix(5);
    desc->name = std::string(base);
  }
  return !desc->hardware_id.empty() && !desc->socket.empty();
}

}  // namespace tarsio::platform
