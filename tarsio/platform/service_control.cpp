#include "platform/service_control.h"

#include <systemd/sd-bus.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace tarsio::platform {

namespace {

constexpr const char *kDestination = "org.freedesktop.systemd1";
constexpr const char *kManagerPath = "/org/freedesktop/systemd1";
constexpr const char *kManagerIface = "org.freedesktop.systemd1.Manager";
constexpr const char *kUnitIface = "org.freedesktop.systemd1.Unit";

struct BusUnref {
  void operator()(sd_bus *b) const { sd_bus_flush_close_unref(b); }
};
struct MessageUnref {
  void operator()(sd_bus_message *m) const { sd_bus_message_unref(m); }
};
using BusPtr = std::unique_ptr<sd_bus, BusUnref>;
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

// Frees an error structure on every path.
struct ScopedError {
  sd_bus_error e = SD_BUS_ERROR_NULL;
  ~ScopedError() { sd_bus_error_free(&e); }
};

// Reads one string property of a unit object; an empty result on failure.
bool unit_string_property(sd_bus *bus, const char *path, const char *name, std::string &out) {
  ScopedError err;
  char *value = nullptr;
  if (sd_bus_get_property_string(bus, kDestination, path, kUnitIface, name, &err.e, &value) < 0)
    return false;
  out = value ? value : "";
  std::free(value);
  return true;
}

}  // namespace

ServiceStopOutcome request_unit_stop(const char *unit) {
  sd_bus *raw = nullptr;
  if (sd_bus_open_system(&raw) < 0 || raw == nullptr) return ServiceStopOutcome::kNoManager;
  BusPtr bus(raw);

  // LoadUnit gives the unit object even when systemd has not loaded it yet
  // (fprintd is started on demand); a unit without a unit file reports the
  // load state "not-found".
  std::string path;
  {
    ScopedError err;
    sd_bus_message *reply_raw = nullptr;
    if (sd_bus_call_method(bus.get(), kDestination, kManagerPath, kManagerIface, "LoadUnit", &err.e,
                           &reply_raw, "s", unit) < 0) {
      // Anything but an unknown unit means systemd itself is not reachable.
      if (err.e.name && std::strcmp(err.e.name, "org.freedesktop.systemd1.NoSuchUnit") == 0)
        return ServiceStopOutcome::kNoService;
      return ServiceStopOutcome::kNoManager;
    }
    MessagePtr reply(reply_raw);
    const char *p = nullptr;
    if (sd_bus_message_read(reply.get(), "o", &p) < 0 || p == nullptr) return ServiceStopOutcome::kNoService;
    path = p;
  }
  std::string load_state;
  if (!unit_string_property(bus.get(), path.c_str(), "LoadState", load_state))
    return ServiceStopOutcome::kNoStatus;
  if (load_state == "not-found" || load_state == "masked") return ServiceStopOutcome::kNoService;

  std::string active_state;
  if (!unit_string_property(bus.get(), path.c_str(), "ActiveState", active_state))
    return ServiceStopOutcome::kNoStatus;
  if (active_state == "inactive" || active_state == "failed") return ServiceStopOutcome::kAlreadyStopped;

  // Queue the stop job and return; the caller's pause is the only allowance
  // for the service to let go of the device.
  ScopedError err;
  sd_bus_message *reply_raw = nullptr;
  if (sd_bus_call_method(bus.get(), kDestination, kManagerPath, kManagerIface, "StopUnit", &err.e,
                         &reply_raw, "ss", unit, "replace") < 0)
    return ServiceStopOutcome::kStopRefused;
  MessagePtr reply(reply_raw);
  return ServiceStopOutcome::kStopRequested;
}

}  // namespace tarsio::platform
