#include "shell/result_paths.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarsio::shell {
namespace {

std::mutex g_lock;
std::string g_override;

bool write_mode(const std::string& path, const std::string& text, const char* mode) {
  std::FILE* f = std::fopen(path.c_str(), mode);
  if (f == nullptr) return false;
  // The first failure's errno is the one the caller reports (a full disk
  // often shows only when the buffer is flushed by fclose).
  const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  const int write_errno = errno;
  const bool closed = std::fclose(f) == 0;
  if (!written) errno = write_errno;
  return written && closed;
}

}  // namespace

std::string program_dir() {
  {
    std::lock_guard<std::mutex> guard(g_lock);
    if (!g_override.empty()) return g_override;
  }
  char exe[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return std::string();
  std::string path(exe, static_cast<std::size_t>(n));
  const auto slash = path.rfind('/');
  path.resize(slash == std::string::npos ? 0 : slash);
  return path;
}

void set_program_dir_for_testing(const std::string& dir) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_override = dir;
}

std::string result_path(const std::string& suffix) { return program_dir() + "/TestResult" + suffix; }

bool ensure_directory(const std::string& path) {
  if (path.empty()) return false;
  std::string partial;
  std::size_t at = 0;
  while (at != std::string::npos) {
    const std::size_t next = path.find('/', at + 1);
    partial = path.substr(0, next);
    if (!partial.empty() && partial != "/" && ::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
      return false;
    at = next;
  }
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool write_text_file(const std::string& path, const std::string& text) { return write_mode(path, text, "wb"); }

bool append_text_file(const std::string& path, const std::string& text) { return write_mode(path, text, "ab"); }

bool replace_file(const std::string& path, const std::string& text) {
  const auto slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string temp = dir + "." + name + ".XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  int err = 0;
  if (fd < 0) {
    err = errno;
  } else {
    // mkostemp creates the file for its owner only; a result file is
    // readable by the line's other accounts, as the station's other files.
    ::fchmod(fd, 0644);
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0 && err == 0) {
      const ssize_t n = ::write(fd, p, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) err = n < 0 ? errno : EIO;
      else {
        p += n;
        left -= static_cast<std::size_t>(n);
      }
    }
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && ::rename(temp.c_str(), path.c_str()) != 0) err = errno;
    if (err != 0) ::unlink(temp.c_str());
  }
  if (err == 0) return true;
  ::unlink(path.c_str());
  errno = err;
  return false;
}

}  // namespace tarsio::shell
