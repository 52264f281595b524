#include "platform/transport.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace tarsio::platform {
namespace {

// A request the module has not answered in full within this time fails
// (ETIMEDOUT), so a module that stops answering costs the station seconds,
// not a hang.  The longest request, the frame read, takes milliseconds.
constexpr int kRequestTimeoutMs = 3000;

class CharDeviceTransport final : public Transport {
 public:
  CharDeviceTransport(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~CharDeviceTransport() override { ::close(fd_); }

  int control(tarsio_ioreq& req) override {
    req.bytes_returned = 0;
    const uint32_t function = (req.code >> 2) & 0xFFF;
    if (::ioctl(fd_, TARSIO_IOCTL(function), &req) != 0) {
      req.bytes_returned = 0;
      return errno != 0 ? errno : EIO;
    }
    // The driver cannot claim more than the buffer holds.
    if (req.bytes_returned > req.out_len) return EPROTO;
    return 0;
  }
  const std::string& path() const override { return path_; }

 private:
  int fd_;
  std::string path_;
};

class SocketTransport final : public Transport {
 public:
  SocketTransport(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~SocketTransport() override {
    if (fd_ >= 0) ::close(fd_);
  }

  int control(tarsio_ioreq& req) override {
    req.bytes_returned = 0;
    if (fd_ < 0) return ENODEV;  // the module went away; this handle stays dead
    deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestTimeoutMs);
    if (req.in_len > kVmMaxPayload || req.out_len > kVmMaxPayload) return EINVAL;
    if (req.in_len > 0 && req.in_ptr == 0) return EFAULT;
    if (req.out_len > 0 && req.out_ptr == 0) return EFAULT;

    std::vector<uint8_t> message(16 + req.in_len);
    wire_put32(&message[0], kVmRequestMagic);
    wire_put32(&message[4], req.code);
    wire_put32(&message[8], req.in_len);
    wire_put32(&message[12], req.out_len);
    if (req.in_len > 0)
      std::memcpy(&message[16], reinterpret_cast<const void*>(static_cast<uintptr_t>(req.in_ptr)), req.in_len);
    if (int err = send_all(message.data(), message.size()); err != 0) return lost(err);

    uint8_t head[12];
    if (int err = recv_all(head, sizeof head); err != 0) return lost(err);
    const uint32_t status = wire_get32(&head[4]);
    const uint32_t n = wire_get32(&head[8]);
    if (wire_get32(&head[0]) != kVmReplyMagic || n > kVmMaxPayload) return lost(EPROTO);
    if (n > req.out_len) {
      // More than the buffer holds: keep the stream in step, report the fault.
      std::vector<uint8_t> discard(n);
      if (int err = recv_all(discard.data(), n); err != 0) return lost(err);
      return EPROTO;
    }
    if (n > 0) {
      auto* out = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(req.out_ptr));
      if (int err = recv_all(out, n); err != 0) return lost(err);
    }
    if (status != 0) return static_cast<int>(status);
    req.bytes_returned = n;
    return 0;
  }
  const std::string& path() const override { return path_; }
  PresenceWatch watch_presence() const override;

 private:
  // A broken connection is a removed device.
  int lost(int err) {
    ::close(fd_);
    fd_ = -1;
    return err == EPROTO || err == ETIMEDOUT ? err : ENODEV;
  }

  // Waits until the socket is ready for `events` or the request's time is
  // up: 0, ETIMEDOUT or the poll's error.
  int ready(short events) {
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ -
                                                                              std::chrono::steady_clock::now());
      if (left.count() <= 0) return ETIMEDOUT;
      pollfd p{fd_, events, 0};
      const int r = ::poll(&p, 1, static_cast<int>(left.count()));
      if (r > 0) return 0;
      if (r == 0) return ETIMEDOUT;
      if (errno != EINTR) return errno;
    }
  }

  int send_all(const uint8_t* p, std::size_t n) {
    while (n > 0) {
      if (int err = ready(POLLOUT); err != 0) return err;
      const ssize_t k = ::send(fd_, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      if (k < 0 && errno == EINTR) continue;
      if (k <= 0) return k < 0 ? (errno == EAGAIN ? ETIMEDOUT : errno) : ENODEV;
      p += k;
      n -= static_cast<std::size_t>(k);
    }
    return 0;
  }

  int recv_all(uint8_t* p, std::size_t n) {
    while (n > 0) {
      if (int err = ready(POLLIN); err != 0) return err;
      const ssize_t k = ::recv(fd_, p, n, MSG_DONTWAIT);
      if (k < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      if (k < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? ETIMEDOUT : errno;
      if (k == 0) return ENODEV;
      p += k;
      n -= static_cast<std::size_t>(k);
    }
    return 0;
  }

  int fd_;
  std::string path_;
  std::chrono::steady_clock::time_point deadline_;
};

// A stream socket connected to the Unix socket at path, or -1 with the
// errno value in *error.
int connect_socket(const std::string& path, int* error) {
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) {
    *error = ENAMETOOLONG;
    return -1;
  }
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = errno;
    return -1;
  }
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    *error = errno;
    ::close(fd);
    return -1;
  }
  return fd;
}

std::unique_ptr<Transport> open_socket(const std::string& path, int* error) {
  const int fd = connect_socket(path, error);
  if (fd < 0) return nullptr;
  return socket_transport_from_fd(fd, path);
}

PresenceWatch SocketTransport::watch_presence() const {
  int error = 0;
  const int fd = connect_socket(path_, &error);
  if (fd >= 0) return PresenceWatch(fd);
  // The module is gone already: a channel whose far end is closed reports
  // that at once, like a connection the module's end closes.
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return PresenceWatch();
  ::close(pair[1]);
  return PresenceWatch(pair[0]);
}

}  // namespace

PresenceWatch::~PresenceWatch() {
  if (fd_ >= 0) ::close(fd_);
}

PresenceWatch& PresenceWatch::operator=(PresenceWatch&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

std::unique_ptr<Transport> socket_transport_from_fd(int fd, const std::string& path) {
  return std::make_unique<SocketTransport>(fd, path);
}

std::unique_ptr<Transport> open_transport(const std::string& path, int* error) {
  int scratch = 0;
  if (error == nullptr) error = &scratch;
  *error = 0;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    *error = errno;
    return nullptr;
  }
  if (S_ISSOCK(st.st_mode)) return open_socket(path, error);
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return nullptr;
  }
  return std::make_unique<CharDeviceTransport>(fd, path);
}

int device_control(DeviceHandle handle, uint32_t code, const void* in, uint32_t in_len, void* out,
                   uint32_t out_len, uint32_t* bytes_returned) {
  if (bytes_returned != nullptr) *bytes_returned = 0;
  int err;
  if (handle == kInvalidDeviceHandle) {
    err = EBADF;
  } else {
    tarsio_ioreq req{};
    req.code = code;
    req.in_len = in == nullptr ? 0 : in_len;
    req.in_ptr = reinterpret_cast<uintptr_t>(in);
    req.out_len = out == nullptr ? 0 : out_len;
    req.out_ptr = reinterpret_cast<uintptr_t>(out);
    err = handle->control(req);
    if (err == 0 && req.bytes_returned < out_len) err = EPROTO;  // a short reply
    if (err == 0 && bytes_returned != nullptr) *bytes_returned = req.bytes_returned;
  }
  errno = err;
  return err;
}

}  // namespace tarsio::platform
