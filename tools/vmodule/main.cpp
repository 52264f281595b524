// tarsio-vmodule: a virtual fingerprint sensor module for the test station.
//
//   tarsio-vmodule [run] --profile FILE [--name NAME] [--dir DIR] [faults] [-v]
//   tarsio-vmodule unplug NAME [--dir DIR]
//   tarsio-vmodule plug NAME [--dir DIR]
//   tarsio-vmodule stop NAME [--dir DIR]
//   tarsio-vmodule list [--dir DIR]
//
// Fault switches (override the profile's [faults] section):
//   --fail-code CODE        that control code fails (with --fail-errno, default 5)
//   --short-reply CODE      that control code answers only half its bytes
//   --mcu-never-idle        the controller never reports idle
//   --unplug-after N        the module disappears at its N+1th request
//   --replug-after-ms MS    ... and comes back after MS milliseconds
//   --first-info-fw-zero    the first sensor-information reply shows firmware 0
//   --spi-test-fail         the SPI self-test answers 0
//   --kill-on-code CODE     the module process dies (SIGKILL) when that control
//                           code arrives, leaving its run files behind as a
//                           crashed driver would
// The run directory defaults to the station's (TARSIO_VMODULE_DIR,
// XDG_RUNTIME_DIR/tarsio-vmodule, /run/tarsio-vmodule or /tmp/tarsio-vmodule-UID).
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <unistd.h>

#include "platform/ini.h"
#include "platform/vmodule_dir.h"
#include "profile.h"
#include "server.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: tarsio-vmodule [run] --profile FILE [--name NAME] [--dir DIR] [-v]\n"
               "         [--fail-code CODE] [--fail-errno N] [--short-reply CODE] [--mcu-never-idle]\n"
               "         [--unplug-after N] [--replug-after-ms MS] [--first-info-fw-zero] [--spi-test-fail]\n"
               "         [--kill-on-code CODE]\n"
               "       tarsio-vmodule unplug|plug|stop NAME [--dir DIR]\n"
               "       tarsio-vmodule list [--dir DIR]\n");
  return 2;
}

int signal_module(const std::string& dir, const std::string& name, int signo) {
  const std::string path = dir + "/" + name + ".pid";
  std::FILE* f = std::fopen(path.c_str(), "r");
  long pid = 0;
  if (f == nullptr || std::fscanf(f, "%ld", &pid) != 1 || pid <= 0) {
    if (f != nullptr) std::fclose(f);
    std::fprintf(stderr, "tarsio-vmodule: no running module %s in %s\n", name.c_str(), dir.c_str());
    return 1;
  }
  std::fclose(f);
  if (::kill(static_cast<pid_t>(pid), signo) != 0) {
    std::fprintf(stderr, "tarsio-vmodule: module %s (pid %ld): %s\n", name.c_str(), pid, std::strerror(errno));
    return 1;
  }
  return 0;
}

int list_modules(const std::string& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return 0;
  while (dirent* e = ::readdir(d)) {
    const std::string file = e->d_name;
    if (file.size() <= 4 || file.substr(file.size() - 4) != ".pid") continue;
    const std::string name = file.substr(0, file.size() - 4);
    tarsio::platform::VirtualModuleDesc desc;
    if (tarsio::platform::read_virtual_module_desc(dir + "/" + name + ".desc", &desc))
      std::printf("%s\tplugged\t%s\t%s\t%s\n", name.c_str(), desc.bus.c_str(), desc.hardware_id.c_str(),
                  desc.socket.c_str());
    else
      std::printf("%s\tunplugged\n", name.c_str());
  }
  ::closedir(d);
  return 0;
}

bool parse_number(const char* text, int* out) {
  if (text == nullptr || *text == '\0') return false;
  *out = tarsio::platform::ini_parse_int(text);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string command = "run";
  if (!args.empty() && args[0].rfind("-", 0) != 0) {
    command = args[0];
    args.erase(args.begin());
  }
  std::string dir = tarsio::platform::virtual_module_dir();
  std::string profile_path, name, target;
  vmodule::ServerOptions options;
  vmodule::Faults overrides;
  std::vector<std::string> set;  // fault switches given on the command line
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const char* next = i + 1 < args.size() ? args[i + 1].c_str() : nullptr;
    int n = 0;
    auto take = [&](int* value, const char* key) {
      if (!parse_number(next, value)) return false;
      set.push_back(key);
      ++i;
      return true;
    };
    if (a == "--profile" && next) profile_path = next, ++i;
    else if (a == "--name" && next) name = next, ++i;
    else if (a == "--dir" && next) dir = next, ++i;
    else if (a == "-v" || a == "--verbose") options.verbose = true;
    else if (a == "--fail-code" && take(&n, "fail_code")) overrides.fail_code = static_cast<uint32_t>(n);
    else if (a == "--fail-errno" && take(&n, "fail_errno")) overrides.fail_errno = n;
    else if (a == "--short-reply" && take(&n, "short_reply_code")) overrides.short_reply_code = static_cast<uint32_t>(n);
    else if (a == "--unplug-after" && take(&n, "unplug_after")) overrides.unplug_after = n;
    else if (a == "--replug-after-ms" && take(&n, "replug_after_ms")) overrides.replug_after_ms = n;
    else if (a == "--kill-on-code" && take(&n, "kill_code")) overrides.kill_code = static_cast<uint32_t>(n);
    else if (a == "--mcu-never-idle") set.push_back("mcu_never_idle"), overrides.mcu_never_idle = true;
    else if (a == "--first-info-fw-zero") set.push_back("first_info_fw_zero"), overrides.first_info_fw_zero = true;
    else if (a == "--spi-test-fail") set.push_back("spi_test_fail");
    else if (a.rfind("-", 0) != 0 && target.empty()) target = a;
    else return usage();
  }

  if (command == "list") return list_modules(dir);
  if (command == "unplug" || command == "plug" || command == "stop") {
    if (target.empty()) return usage();
    const int signo = command == "unplug" ? SIGUSR1 : command == "plug" ? SIGUSR2 : SIGTERM;
    return signal_module(dir, target, signo);
  }
  if (command != "run" || profile_path.empty()) return usage();

  vmodule::Profile profile;
  std::string error;
  if (!vmodule::load_profile(profile_path, &profile, &error)) {
    std::fprintf(stderr, "tarsio-vmodule: %s\n", error.c_str());
    return 1;
  }
  vmodule::Faults& f = profile.faults;
  for (const std::string& key : set) {
    if (key == "fail_code") f.fail_code = overrides.fail_code;
    else if (key == "fail_errno") f.fail_errno = overrides.fail_errno;
    else if (key == "short_reply_code") f.short_reply_code = overrides.short_reply_code;
    else if (key == "unplug_after") f.unplug_after = overrides.unplug_after;
    else if (key == "replug_after_ms") f.replug_after_ms = overrides.replug_after_ms;
    else if (key == "mcu_never_idle") f.mcu_never_idle = true;
    else if (key == "first_info_fw_zero") f.first_info_fw_zero = true;
    else if (key == "spi_test_fail") profile.spi_test_reply = 0;
    else if (key == "kill_code") f.kill_code = overrides.kill_code;
  }
  options.dir = dir;
  options.name = name.empty() ? profile.name : name;
  if (options.name.empty() || options.name.find('/') != std::string::npos) {
    std::fprintf(stderr, "tarsio-vmodule: bad module name\n");
    return 2;
  }
  return vmodule::run_server(profile, options);
}
