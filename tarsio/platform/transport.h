// The way to the module's driver.  Every driver request (a control code with
// an input and an output buffer) travels in one request structure, the same
// for both transports:
//  - the driver's character device: open() read/write, then one ioctl() per
//    control code, TARSIO_IOCTL(function), carrying a pointer to the
//    structure; the driver fills bytes_returned;
//  - a virtual module (tools/vmodule): its Unix stream socket, over which the
//    structure's fields and buffers are sent and the reply comes back (wire
//    format below).
// A device path that names a Unix socket opens the socket transport, any
// other path the character device.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <linux/ioctl.h>

extern "C" {
// The request as the driver sees it.  Pointers travel as 64-bit integers so
// that the layout is the same for every user-space word size.
struct tarsio_ioreq {
  uint32_t code;            // control code, e.g. 0x44201C (sensor information)
  uint32_t in_len;          // bytes at in_ptr
  uint64_t in_ptr;
  uint32_t out_len;         // capacity at out_ptr
  uint32_t bytes_returned;  // filled by the driver: bytes written at out_ptr
  uint64_t out_ptr;
};
}

// ioctl request numbers: type 'D' (0x44, the device type of the control
// codes), number = the low byte of the control code's function number.
#define TARSIO_IOCTL(function) _IOWR('D', (function) & 0xFF, struct tarsio_ioreq)

namespace tarsio::platform {

// Wire format of the socket transport, all fields little-endian 32-bit:
//   request: magic kVmRequestMagic, code, in_len, out_len, then in_len bytes
//   reply:   magic kVmReplyMagic, status (0 or an errno value), n, then n bytes
// A reply with n > out_len is a protocol error (its bytes are discarded).
inline constexpr uint32_t kVmRequestMagic = 0x314D5654;  // "TVM1"
inline constexpr uint32_t kVmReplyMagic = 0x524D5654;    // "TVMR"
inline constexpr uint32_t kVmMaxPayload = 1u << 20;

// Little-endian 32-bit fields of the wire format.
inline void wire_put32(uint8_t* p, uint32_t v) {
  for (int k = 0; k < 4; ++k) p[k] = static_cast<uint8_t>(v >> (8 * k));
}
inline uint32_t wire_get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// Watches a module while the station holds no handle on it (the scene test
// lends the module to the fingerprint service): its descriptor becomes
// readable or hung up when the module goes away.  Owns the descriptor; -1
// when there is nothing to watch.
class PresenceWatch {
 public:
  PresenceWatch() = default;
  explicit PresenceWatch(int fd) : fd_(fd) {}
  ~PresenceWatch();
  PresenceWatch(PresenceWatch&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  PresenceWatch& operator=(PresenceWatch&& other) noexcept;
  PresenceWatch(const PresenceWatch&) = delete;
  PresenceWatch& operator=(const PresenceWatch&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

class Transport {
 public:
  virtual ~Transport() = default;
  // A watch on the module behind this transport.  The virtual module's
  // socket gets a second, idle connection, which its process's end (killed
  // or unplugged) closes; a module that cannot be reached any more gives a
  // watch that reports at once.  The character device offers none: the
  // driver's removal comes through udev.
  virtual PresenceWatch watch_presence() const { return PresenceWatch(); }
  // Issues one request synchronously.  Returns 0 on success or the errno
  // value of the failure; sets req.bytes_returned (0 on failure).
  virtual int control(tarsio_ioreq& req) = 0;
  virtual const std::string& path() const = 0;
};

// Opens the device at path: a Unix socket connects to the virtual module,
// anything else is opened as the driver's character device.  On failure
// returns null and stores the errno value in *error.
std::unique_ptr<Transport> open_transport(const std::string& path, int* error);

// The socket transport over an already connected stream socket (takes the
// descriptor); used by open_transport and by tests that play the module.
std::unique_ptr<Transport> socket_transport_from_fd(int fd, const std::string& path);

// The process-wide device handle is a transport pointer; null is the
// invalid-handle value.
using DeviceHandle = Transport*;
inline constexpr DeviceHandle kInvalidDeviceHandle = nullptr;

// One request on a handle.  Returns 0 or an errno value (and sets errno to
// it).  A reply that holds fewer bytes than out_len fails with EPROTO, so
// callers never read bytes the device did not send.  An invalid handle
// fails with EBADF without any request.
int device_control(DeviceHandle handle, uint32_t code, const void* in, uint32_t in_len, void* out,
                   uint32_t out_len, uint32_t* bytes_returned = nullptr);

}  // namespace tarsio::platform
