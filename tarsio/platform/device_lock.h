// An exclusive lock on one sensor module, shared by every station on the
// machine whatever its user or runtime directory: two stations must never
// test one module at the same time.  The lock is an flock on a file named
// after the module's device path, in $TARSIO_LOCK_DIR, else /run/lock, else
// /tmp.  The kernel drops it when the process ends, however it ends, so a
// killed station leaves no stale lock (only its small lock file).
#pragma once

#include <string>

namespace tarsio::platform {

enum class DeviceLockResult {
  kAcquired,  // this process holds the module now
  kBusy,      // another live process holds it
  kError,     // the lock file could not be opened or locked
};

class DeviceLock {
 public:
  DeviceLock() = default;
  ~DeviceLock();
  DeviceLock(const DeviceLock &) = delete;
  DeviceLock &operator=(const DeviceLock &) = delete;

  // Takes the lock of the module at device_path without blocking; a lock
  // this object holds on another module is let go first.  Taking the lock
  // it already holds succeeds at once.  kBusy stores the holder's process
  // id in *holder (0 when unknown); kError stores the errno value.
  DeviceLockResult acquire(const std::string &device_path, int *holder = nullptr, int *error = nullptr);
  void release();
  bool held() const { return fd_ >= 0; }

  // The lock file of a device path.
  static std::string lock_file(const std::string &device_path);

 private:
  int fd_ = -1;
  std::string device_path_;
};

}  // namespace tarsio::platform
