// Device replies on arbitrary bytes: the input is the byte stream a module
// sends back over the socket transport (reply headers and payloads), and
// the driver wrappers run a session against it.  Whatever the module sends,
// the core must report failures and never read or write out of bounds.
#include <cstddef>
#include <cstdint>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include "device/devicecontrol.h"
#include "platform/transport.h"
#include "shell/log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  tarsio::shell::set_log_threshold(0);  // format every line (the log file itself is not opened here)
  const uint16_t length = static_cast<uint16_t>(data[0] << 8 | data[1]);
  const uint8_t mode = data[2] % 4;
  data += 3;
  size -= 3;

  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
  const int big = 1 << 20;
  ::setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  ::setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  // The "module" side: everything it will ever say, then end of stream.
  std::size_t sent = 0;
  while (sent < size) {
    const ssize_t k = ::send(fds[1], data + sent, size - sent, MSG_NOSIGNAL);
    if (k <= 0) break;
    sent += static_cast<std::size_t>(k);
  }
  ::shutdown(fds[1], SHUT_WR);
  auto device = tarsio::platform::socket_transport_from_fd(fds[0], "fuzz");

  tarsio::device::SensorInfo info;
  tarsio::device::ReadInfo(device.get(), &info);
  uint8_t regs[8];
  tarsio::device::device_io_readdevice(device.get(), tarsio::device::kCmdReadRegister, 0x20, 0, regs, 8);
  // Mode 2 receives the whole reply: give it length + 4 bytes of room.
  std::vector<uint8_t> buffer(static_cast<std::size_t>(length) + 4);
  tarsio::device::device_io_readwritedata(device.get(), mode, 0x3400, buffer.data(), length);
  tarsio::device::TestSPI(device.get());
  tarsio::device::TestDownloadFw(device.get());
  tarsio::device::SendAppExitNotice(device.get());
  ::close(fds[1]);
  return 0;
}
