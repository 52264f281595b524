#include "platform/device_lock.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarsio::platform {
namespace {

bool is_directory(const char *path) {
  struct stat st;
  return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

std::string lock_dir() {
  const char *dir = std::getenv("TARSIO_LOCK_DIR");
  if (dir != nullptr && dir[0] == '/') return dir;
  return is_directory("/run/lock") ? "/run/lock" : "/tmp";
}

// Opens the lock file without following a link.  An existing file is opened
// without O_CREAT: in a sticky folder the kernel refuses O_CREAT on another
// user's file (protected_regular), and the file of another user's station
// is exactly the one to lock.
int open_lock_file(const std::string &path) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd >= 0) {
      ::fchmod(fd, 0666);  // every station's user may lock it
      return fd;
    }
    if (errno != EEXIST) return -1;  // else another station made it meanwhile
  }
  return -1;
}

int holder_of(int fd) {
  char text[24] = {};
  const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
  return n > 0 ? std::atoi(text) : 0;
}

}  // namespace

DeviceLock::~DeviceLock() { release(); }

void DeviceLock::release() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  device_path_.clear();
}

std::string DeviceLock::lock_file(const std::string &device_path) {
  std::string name;
  for (const char c : device_path) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                       c == '-';
    name += plain ? c : '_';
  }
  if (name.size() > 160) {
    // A long path keeps its tail and gains a hash of the whole.
    char hash[20];
    std::snprintf(hash, sizeof hash, "%016zx", std::hash<std::string>{}(device_path));
    name = name.substr(name.size() - 140) + "-" + hash;
  }
  return lock_dir() + "/tarsio-module" + name + ".lock";
}

DeviceLockResult DeviceLock::acquire(const std::string &device_path, int *holder, int *error) {
  if (holder != nullptr) *holder = 0;
  if (error != nullptr) *error = 0;
  if (fd_ >= 0 && device_path_ == device_path) return DeviceLockResult::kAcquired;
  release();
  const int fd = open_lock_file(lock_file(device_path));
  if (fd < 0) {
    if (error != nullptr) *error = errno;
    return DeviceLockResult::kError;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    if (err == EWOULDBLOCK && holder != nullptr) *holder = holder_of(fd);
    ::close(fd);
    if (err == EWOULDBLOCK) return DeviceLockResult::kBusy;
    if (error != nullptr) *error = err;
    return DeviceLockResult::kError;
  }
  // The holder's process id, for the message of the station that finds the
  // module busy.
  char text[24];
  const int n = std::snprintf(text, sizeof text, "%d\n", static_cast<int>(::getpid()));
  if (::ftruncate(fd, 0) == 0 && ::pwrite(fd, text, static_cast<std::size_t>(n), 0) < 0) {
  }
  fd_ = fd;
  device_path_ = device_path;
  return DeviceLockResult::kAcquired;
}

}  // namespace tarsio::platform
