#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace tarsio::platform {

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) close(fd_);
}

std::string InstanceLock::lock_path(const std::string &name) {
  const char *runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && runtime[0] == '/') return std::string(runtime) + "/" + name + ".lock";
  return "/tmp/" + name + "-" + std::to_string(getuid()) + ".lock";
}

InstanceLockResult InstanceLock::acquire(const std::string &name) {
  if (fd_ >= 0) return InstanceLockResult::kAcquired;
  const std::string path = lock_path(name);
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return InstanceLockResult::kError;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    close(fd);
    return err == EWOULDBLOCK ? InstanceLockResult::kAlreadyRunning : InstanceLockResult::kError;
  }
  fd_ = fd;
  return InstanceLockResult::kAcquired;
}

}  // namespace tarsio::platform
