// Single-instance check: an exclusive lock on a file in the user's runtime
// directory.  The kernel drops the lock when the process ends, however it
// ends, so a crashed station never blocks the next start.
#pragma once

#include <string>

namespace tarsio::platform {

enum class InstanceLockResult {
  kAcquired,        // this process is the only copy
  kAlreadyRunning,  // another live process holds the lock
  kError,           // the lock file could not be created or locked
};

class InstanceLock {
 public:
  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock &) = delete;
  InstanceLock &operator=(const InstanceLock &) = delete;

  // Takes the lock named `name` without blocking.  The lock file lives in
  // $XDG_RUNTIME_DIR when it is set, else in /tmp with the user id in its name.
  InstanceLockResult acquire(const std::string &name);

  // Path of the lock file for a name (for messages and tests).
  static std::string lock_path(const std::string &name);

 private:
  int fd_ = -1;
};

}  // namespace tarsio::platform
