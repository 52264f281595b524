#include "server.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <chrono>
#include <optional>
#include <vector>

#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "finger.h"
#include "scrambler.h"
#include "platform/transport.h"
#include "sensor_module.h"

namespace vmodule {
namespace {

using tarsio::platform::kVmMaxPayload;
using tarsio::platform::kVmReplyMagic;
using tarsio::platform::kVmRequestMagic;
using tarsio::platform::wire_get32;
using tarsio::platform::wire_put32;

bool read_all(int fd, uint8_t* p, std::size_t n) {
  while (n > 0) {
    const ssize_t k = ::recv(fd, p, n, 0);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    p += k;
    n -= static_cast<std::size_t>(k);
  }
  return true;
}

bool write_all(int fd, const uint8_t* p, std::size_t n) {
  while (n > 0) {
    const ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    p += k;
    n -= static_cast<std::size_t>(k);
  }
  return true;
}

bool write_text_file(const std::string& path, const std::string& text) {
  const std::string temp = path + ".tmp";
  std::FILE* f = std::fopen(temp.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (std::fclose(f) != 0 || !ok || std::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

// Plays the finger: while the module is plugged in, it watches for the
// virtual image device's socket, connects when the device is open, sends
// one image after the finger delay, and waits for the device to close.
class FingerFeeder {
 public:
  using Clock = std::chrono::steady_clock;

  FingerFeeder(std::string socket, FingerImage image, int delay_ms, bool verbose)
      : socket_(std::move(socket)), message_(encode_virtual_image(image)), delay_ms_(delay_ms), verbose_(verbose) {}
  ~FingerFeeder() { disconnect(); }

  // The descriptor to watch (the open connection), or -1.
  int fd() const { return fd_; }
  // Milliseconds until the next thing to do.
  int timeout_ms() const {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next_ - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
  }

  void tick(bool plugged) {
    if (!plugged) {
      disconnect();
      return;
    }
    if (Clock::now() < next_) return;
    if (fd_ < 0) {
      try_connect();
    } else if (!sent_) {
      sent_ = write_all(fd_, message_.data(), message_.size());
      if (verbose_) std::fprintf(stderr, "tarsio-vmodule: finger image %s\n", sent_ ? "sent" : "lost");
      if (!sent_) disconnect();
      next_ = Clock::now() + std::chrono::hours(1);
    }
  }

  // The device side closed or said something: a closed connection rearms.
  void on_readable() {
    uint8_t scratch[256];
    const ssize_t n = ::recv(fd_, scratch, sizeof scratch, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) disconnect();
  }

 private:
  void try_connect() {
    next_ = Clock::now() + std::chrono::milliseconds(50);
    sockaddr_un addr{};
    if (socket_.size() >= sizeof addr.sun_path) return;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, socket_.c_str(), socket_.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd);
      return;
    }
    fd_ = fd;
    sent_ = false;
    next_ = Clock::now() + std::chrono::milliseconds(delay_ms_);
    if (verbose_) std::fprintf(stderr, "tarsio-vmodule: virtual image device open\n");
  }

  void disconnect() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    sent_ = false;
    next_ = Clock::now() + std::chrono::milliseconds(50);
  }

  std::string socket_;
  std::vector<uint8_t> message_;
  int delay_ms_;
  bool verbose_;
  int fd_ = -1;
  bool sent_ = false;
  Clock::time_point next_ = Clock::now();
};

class Server {
 public:
  Server(const Profile& profile, const ServerOptions& options, std::unique_ptr<FingerFeeder> finger)
      : profile_(profile), options_(options), module_(profile), finger_(std::move(finger)) {
    sock_path_ = options_.dir + "/" + options_.name + ".sock";
    desc_path_ = options_.dir + "/" + options_.name + ".desc";
    pid_path_ = options_.dir + "/" + options_.name + ".pid";
  }

  int run() {
    if (::mkdir(options_.dir.c_str(), 0700) != 0 && errno != EEXIST) {
      std::fprintf(stderr, "tarsio-vmodule: cannot create %s: %s\n", options_.dir.c_str(), std::strerror(errno));
      return 1;
    }
    sigset_t mask;
    sigemptyset(&mask);
    for (int s : {SIGUSR1, SIGUSR2, SIGTERM, SIGINT, SIGHUP}) sigaddset(&mask, s);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    signal_fd_ = ::signalfd(-1, &mask, SFD_CLOEXEC);
    if (signal_fd_ < 0 || !write_text_file(pid_path_, std::to_string(::getpid()) + "\n")) {
      std::fprintf(stderr, "tarsio-vmodule: cannot set up %s\n", pid_path_.c_str());
      return 1;
    }
    if (!plug()) {
      ::unlink(pid_path_.c_str());
      return 1;
    }
    bool running = true;
    while (running) {
      std::vector<pollfd> fds;
      fds.push_back({signal_fd_, POLLIN, 0});
      if (listen_fd_ >= 0) fds.push_back({listen_fd_, POLLIN, 0});
      for (int c : clients_) fds.push_back({c, POLLIN, 0});
      int timeout = -1;
      if (replug_at_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*replug_at_ - Clock::now()).count();
        timeout = left > 0 ? static_cast<int>(left) : 0;
      }
      const int finger_fd = finger_ ? finger_->fd() : -1;
      if (finger_) {
        if (finger_fd >= 0) fds.push_back({finger_fd, POLLIN, 0});
        const int finger_timeout = finger_->timeout_ms();
        if (timeout < 0 || finger_timeout < timeout) timeout = finger_timeout;
      }
      if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;
      if (finger_) {
        for (const pollfd& p : fds)
          if (p.fd == finger_fd && p.revents != 0) finger_->on_readable();
        finger_->tick(listen_fd_ >= 0);
      }
      if (replug_at_ && Clock::now() >= *replug_at_) {
        replug_at_.reset();
        plug();
      }
      for (const pollfd& p : fds) {
        if (p.revents == 0 || p.fd == finger_fd) continue;
        if (p.fd == signal_fd_) {
          running = on_signal();
        } else if (p.fd == listen_fd_) {
          const int c = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
          if (c >= 0) {
            timeval tv{2, 0};  // a client that stalls mid-request is dropped
            ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            ::setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
            clients_.push_back(c);
          }
        } else if (std::find(clients_.begin(), clients_.end(), p.fd) == clients_.end()) {
          continue;  // closed meanwhile (unplugged by an earlier request)
        } else if (!serve(p.fd)) {
          drop_client(p.fd);
        }
      }
    }
    unplug();
    ::unlink(pid_path_.c_str());
    return 0;
  }

 private:
  using Clock = std::chrono::steady_clock;

  bool plug() {
    if (listen_fd_ >= 0) return true;
    sockaddr_un addr{};
    if (sock_path_.size() >= sizeof addr.sun_path) {
      std::fprintf(stderr, "tarsio-vmodule: socket path too long: %s\n", sock_path_.c_str());
      return false;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, sock_path_.c_str(), sock_path_.size() + 1);
    ::unlink(sock_path_.c_str());
    listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_fd_, 8) != 0) {
      std::fprintf(stderr, "tarsio-vmodule: cannot listen on %s: %s\n", sock_path_.c_str(), std::strerror(errno));
      if (listen_fd_ >= 0) ::close(listen_fd_);
      listen_fd_ = -1;
      return false;
    }
    module_.reset();
    requests_ = 0;
    char absolute[4096];
    std::string sock = ::realpath(sock_path_.c_str(), absolute) ? absolute : sock_path_;
    const std::string desc = "name=" + options_.name + "\nhardware_id=" + profile_.hardware_id +
                             "\nbus=" + profile_.bus + "\nsocket=" + sock +
                             "\nsensor_type=" + std::to_string(profile_.sensor_type) +
                             "\npid=" + std::to_string(::getpid()) + "\n";
    if (!write_text_file(desc_path_, desc)) {
      std::fprintf(stderr, "tarsio-vmodule: cannot write %s\n", desc_path_.c_str());
      return false;
    }
    if (options_.verbose) std::fprintf(stderr, "tarsio-vmodule: %s plugged in\n", options_.name.c_str());
    return true;
  }

  void unplug() {
    ::unlink(desc_path_.c_str());  // removal is announced first
    drop_all_clients();
    if (listen_fd_ >= 0) ::close(listen_fd_);
    listen_fd_ = -1;
    ::unlink(sock_path_.c_str());
    if (options_.verbose) std::fprintf(stderr, "tarsio-vmodule: %s unplugged\n", options_.name.c_str());
  }

  bool on_signal() {
    signalfd_siginfo info;
    if (::read(signal_fd_, &info, sizeof info) != sizeof info) return true;
    switch (info.ssi_signo) {
      case SIGUSR1: replug_at_.reset(); unplug(); return true;
      case SIGUSR2: replug_at_.reset(); plug(); return true;
      default: return false;
    }
  }

  void drop_client(int fd) {
    ::close(fd);
    std::erase(clients_, fd);
  }

  void drop_all_clients() {
    for (int c : clients_) ::close(c);
    clients_.clear();
  }

  // Reads one request, answers it.  False when the connection is done.
  bool serve(int fd) {
    uint8_t head[16];
    if (!read_all(fd, head, sizeof head)) return false;
    const uint32_t code = wire_get32(head + 4), in_len = wire_get32(head + 8), out_len = wire_get32(head + 12);
    if (wire_get32(head) != kVmRequestMagic || in_len > kVmMaxPayload || out_len > kVmMaxPayload) return false;
    std::vector<uint8_t> in(in_len);
    if (in_len > 0 && !read_all(fd, in.data(), in_len)) return false;

    if (profile_.faults.kill_code != 0 && code == profile_.faults.kill_code) ::raise(SIGKILL);
    const int limit = profile_.faults.unplug_after;
    if (limit > 0 && requests_ >= limit) {
      // Pulled out mid-run: the request never gets an answer.
      unplug();
      if (profile_.faults.replug_after_ms > 0)
        replug_at_ = Clock::now() + std::chrono::milliseconds(profile_.faults.replug_after_ms);
      return false;
    }
    ++requests_;
    const Reply reply = module_.handle(code, in.data(), in_len, out_len);
    const uint32_t n = reply.status == 0 ? static_cast<uint32_t>(std::min<std::size_t>(reply.bytes.size(), out_len)) : 0;
    std::vector<uint8_t> message(12 + n);
    wire_put32(&message[0], kVmReplyMagic);
    wire_put32(&message[4], static_cast<uint32_t>(reply.status));
    wire_put32(&message[8], n);
    if (n > 0) std::memcpy(&message[12], reply.bytes.data(), n);
    if (options_.verbose)
      std::fprintf(stderr, "tarsio-vmodule: code 0x%x in %u out %u -> status %d, %u bytes\n", code, in_len,
                   out_len, reply.status, n);
    return write_all(fd, message.data(), message.size());
  }

  Profile profile_;
  ServerOptions options_;
  SensorModule module_;
  std::string sock_path_, desc_path_, pid_path_;
  int signal_fd_ = -1;
  int listen_fd_ = -1;
  std::vector<int> clients_;
  int requests_ = 0;
  std::optional<Clock::time_point> replug_at_;
  std::unique_ptr<FingerFeeder> finger_;
};

}  // namespace

int run_server(const Profile& profile, const ServerOptions& options) {
  std::unique_ptr<FingerFeeder> finger;
  std::string socket = profile.finger.socket;
  if (socket.empty()) {
    const char* env = std::getenv("FP_VIRTUAL_IMAGE");
    socket = env != nullptr ? env : "";
  }
  if (profile.finger.source != "none" && !socket.empty()) {
    FingerImage image;
    std::string error;
    if (!make_finger_image(profile.finger, &image, &error)) {
      std::fprintf(stderr, "tarsio-vmodule: %s\n", error.c_str());
      return 1;
    }
    apply_driver_scrambler(profile, &image);
    finger = std::make_unique<FingerFeeder>(socket, std::move(image), profile.finger.delay_ms, options.verbose);
  }
  Server server(profile, options, std::move(finger));
  return server.run();
}

}  // namespace vmodule
