// imageio: replacing a file whole.  Every writer of the tools encodes its
// file in memory first and hands the bytes here, so that a write that
// fails (a full disk, a directory without write permission, a file size
// limit) leaves whatever was at the path as it was, and no empty or half
// written file behind.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "imageio.h"

namespace imageio {

namespace {

// Links followed at most, as the kernel's own limit on a path.
constexpr int kMaxLinks = 40;

std::string cannot(const char *what, int error) {
  return std::string(what) + ": " + std::strerror(error);
}

// The path a chain of symbolic links ends at (the path itself when it is
// no link); the end need not exist.  False with errno set for a loop.
bool follow_links(const std::string &path, std::string *end) {
  std::string p = path;
  for (int i = 0; i < kMaxLinks; ++i) {
    struct stat st;
    if (lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      *end = p;
      return true;
    }
    std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    const ssize_t n = readlink(p.c_str(), target.data(), target.size());
    if (n < 0) return false;
    target.resize(static_cast<std::size_t>(n));
    if (target.empty() || target[0] != '/') {
      const std::size_t slash = p.rfind('/');
      target = (slash == std::string::npos ? std::string() : p.substr(0, slash + 1)) + target;
    }
    p = target;
  }
  errno = ELOOP;
  return false;
}

// Writes all of bytes to fd; false with errno set.
bool write_all(int fd, const uint8_t *bytes, std::size_t size) {
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = ::write(fd, bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// A device, a pipe or a socket cannot be replaced: it is written as it is.
bool write_in_place(const std::string &path, const uint8_t *bytes, std::size_t size,
                    std::string *problem) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    *problem = cannot("cannot write", errno);
    return false;
  }
  if (!write_all(fd, bytes, size)) {
    *problem = cannot("cannot write", errno);
    ::close(fd);
    return false;
  }
  if (::close(fd) != 0 && errno != EINTR) {
    *problem = cannot("cannot write", errno);
    return false;
  }
  return true;
}

}  // namespace

bool replace_file(const std::string &path, const uint8_t *bytes, std::size_t size,
                  std::string *problem) {
  // Through a symbolic link the file it names is replaced and the link
  // stays; a new file goes where the link points.
  std::string file;
  if (path.empty()) {
    *problem = cannot("cannot write", ENOENT);
    return false;
  }
  if (!follow_links(path, &file)) {
    *problem = cannot("cannot write", errno);
    return false;
  }
  struct stat st {};
  const bool exists = stat(file.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) {
    *problem = cannot("cannot write", EISDIR);
    return false;
  }
  if (exists && !S_ISREG(st.st_mode)) return write_in_place(file, bytes, size, problem);

  // The temporary lies beside the file, on the same file system, so that
  // the rename that puts it in place replaces the old file in one step.
  const std::size_t slash = file.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : file.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? file : file.substr(slash + 1);
  std::string temp = dir + "." + base + ".XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    *problem = cannot("cannot write", errno);
    return false;
  }
  // The file keeps the permissions it had; a new one gets those a plain
  // creation would give it (mkostemp makes it private to its owner).
  mode_t mode = st.st_mode & 07777;
  if (!exists) {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  // An old file is replaced only by bytes that are on the disk, so that a
  // crash right after the rename cannot leave an empty file in its place;
  // a new file is not synced (the generators write thousands of them).
  bool ok = fchmod(fd, mode) == 0 && write_all(fd, bytes, size) && (!exists || fsync(fd) == 0);
  int error = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && std::rename(temp.c_str(), file.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    *problem = cannot("cannot write", error);
  }
  return ok;
}

}  // namespace imageio
