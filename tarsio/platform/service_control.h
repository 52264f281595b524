// Stopping a competing system service through systemd's D-Bus interface.
#pragma once

namespace tarsio::platform {

// How far a stop request got.  The steps mirror a service manager session:
// reach the manager, find the service, read its state, ask it to stop.
enum class ServiceStopOutcome {
  kNoManager,       // the system bus (and with it systemd) cannot be reached
  kNoService,       // the unit is unknown or its unit file does not exist
  kNoStatus,        // the unit's state could not be read
  kAlreadyStopped,  // the unit is inactive or failed: nothing to do
  kStopRequested,   // a stop job was queued; its completion is not awaited
  kStopRefused,     // systemd refused the stop request (e.g. no permission)
};

// Asks systemd to stop `unit` (for example "fprintd.service") and returns at
// once, without waiting for the unit to reach the stopped state.
ServiceStopOutcome request_unit_stop(const char *unit);

}  // namespace tarsio::platform
