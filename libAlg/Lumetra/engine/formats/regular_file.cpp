// Opening a regular file for reading without ever waiting on another kind.
#include "engine/formats/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" FILE *qx_open_regular_file(const char *path) {
  if (path == nullptr) return nullptr;
  // O_NONBLOCK: a FIFO without a writer opens at once instead of waiting.
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return nullptr;
  }
  // A regular file reads the same either way; reads go back to blocking.
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    close(fd);
    return nullptr;
  }
  FILE *f = fdopen(fd, "rb");
  if (f == nullptr) close(fd);
  return f;
}
