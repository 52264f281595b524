// Publishing a virtual module in its run directory and serving requests
// on its socket.  Files in the run directory, for a module called NAME:
//   NAME.sock  listening Unix stream socket (the device path)
//   NAME.desc  key=value descriptor; appears last on plug, goes first on
//              unplug (renamed into place from a temporary name)
//   NAME.pid   process id, for the unplug/plug/stop commands
// Signals: SIGUSR1 unplugs, SIGUSR2 plugs back, SIGTERM/SIGINT stop.
#pragma once

#include <string>

#include "profile.h"

namespace vmodule {

struct ServerOptions {
  std::string dir;   // run directory (created if missing)
  std::string name;  // module name
  bool verbose = false;
};

// Runs until stopped; returns the process exit code.
int run_server(const Profile& profile, const ServerOptions& options);

}  // namespace vmodule
