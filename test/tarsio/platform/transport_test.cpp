// The transports: opening paths, and the socket transport against a module
// that answers wrongly (bad magic, too many bytes, too few, end of stream).
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/transport.h"

namespace tarsio::platform {
namespace {

std::vector<uint8_t> reply(uint32_t magic, uint32_t status, std::vector<uint8_t> payload) {
  std::vector<uint8_t> bytes(12);
  wire_put32(&bytes[0], magic);
  wire_put32(&bytes[4], status);
  wire_put32(&bytes[8], static_cast<uint32_t>(payload.size()));
  for (uint8_t b : payload) bytes.push_back(b);
  return bytes;
}

// A module that has already said everything it will say.
class ScriptedModule : public ::testing::Test {
 protected:
  void say(const std::vector<std::vector<uint8_t>>& replies, bool then_hang_up = true) {
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    for (const auto& r : replies) ASSERT_EQ(::send(fds[1], r.data(), r.size(), 0), static_cast<ssize_t>(r.size()));
    if (then_hang_up) ::shutdown(fds[1], SHUT_WR);
    device = socket_transport_from_fd(fds[0], "scripted");
  }
  int call(uint32_t out_len) {
    out.assign(out_len, 0xEE);
    return device_control(device.get(), 0x442034, "\x3a\x00\x20\x00\x00", 5, out.data(), out_len);
  }
  // The request the module received first.
  std::vector<uint8_t> first_request() {
    std::vector<uint8_t> bytes(64);
    const ssize_t n = ::recv(fds[1], bytes.data(), bytes.size(), MSG_DONTWAIT);
    bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return bytes;
  }
  void TearDown() override {
    device.reset();
    if (fds[1] >= 0) ::close(fds[1]);
  }

  int fds[2] = {-1, -1};
  std::unique_ptr<Transport> device;
  std::vector<uint8_t> out;
};

TEST_F(ScriptedModule, RequestWireFormatAndGoodReply) {
  say({reply(kVmReplyMagic, 0, {0xA5, 0x5A, 0, 0, 0, 0, 0, 0})});
  uint32_t returned = 0;
  out.assign(8, 0);
  EXPECT_EQ(device_control(device.get(), 0x442034, "\x3a\x00\x20\x00\x00", 5, out.data(), 8, &returned), 0);
  EXPECT_EQ(returned, 8u);
  EXPECT_EQ(out[0], 0xA5);
  const std::vector<uint8_t> request = first_request();
  ASSERT_EQ(request.size(), 21u);
  EXPECT_EQ(wire_get32(&request[0]), kVmRequestMagic);
  EXPECT_EQ(wire_get32(&request[4]), 0x442034u);
  EXPECT_EQ(wire_get32(&request[8]), 5u);
  EXPECT_EQ(wire_get32(&request[12]), 8u);
  EXPECT_EQ(request[16], 0x3A);
}

TEST_F(ScriptedModule, ShortReplyIsEproto) {
  say({reply(kVmReplyMagic, 0, {0xA5, 0x5A}), reply(kVmReplyMagic, 0, std::vector<uint8_t>(8, 1))});
  EXPECT_EQ(call(8), EPROTO);
  EXPECT_EQ(call(8), 0);  // still in step
}

TEST_F(ScriptedModule, OversizedReplyIsDiscardedAndTheStreamStaysInStep) {
  say({reply(kVmReplyMagic, 0, std::vector<uint8_t>(100, 7)), reply(kVmReplyMagic, 0, std::vector<uint8_t>(8, 1))});
  EXPECT_EQ(call(8), EPROTO);
  EXPECT_EQ(out[0], 0xEE);  // nothing written past or into the buffer
  EXPECT_EQ(call(8), 0);
  EXPECT_EQ(out[0], 1);
}

TEST_F(ScriptedModule, ErrorStatusIsPassedOn) {
  say({reply(kVmReplyMagic, EBUSY, {})});
  EXPECT_EQ(call(8), EBUSY);
  EXPECT_EQ(errno, EBUSY);
}

TEST_F(ScriptedModule, GarbageKillsTheHandle) {
  say({reply(0xDEADBEEF, 0, {1, 2, 3}), reply(kVmReplyMagic, 0, std::vector<uint8_t>(8, 1))});
  EXPECT_EQ(call(8), EPROTO);
  EXPECT_EQ(call(8), ENODEV);  // the stream cannot be trusted any more
}

TEST_F(ScriptedModule, HugeLengthFieldIsRefused) {
  std::vector<uint8_t> bad = reply(kVmReplyMagic, 0, {});
  wire_put32(&bad[8], 0xFFFFFFF0u);  // a length above the payload limit
  say({bad});
  EXPECT_EQ(call(8), EPROTO);
}

TEST_F(ScriptedModule, ModuleGoneIsEnodev) {
  std::vector<uint8_t> cut = reply(kVmReplyMagic, 0, std::vector<uint8_t>(8, 1));
  cut.resize(14);  // cut off mid-payload: 2 of the 8 bytes promised
  say({cut});
  EXPECT_EQ(call(8), ENODEV);
}

TEST(Transport, OpeningPaths) {
  int err = 0;
  EXPECT_EQ(open_transport("/nonexistent/device", &err), nullptr);
  EXPECT_EQ(err, ENOENT);
  // A character device that is not the driver: opened, but the kernel
  // refuses every request.
  auto null_device = open_transport("/dev/null", &err);
  ASSERT_NE(null_device, nullptr);
  uint8_t byte = 0;
  EXPECT_EQ(device_control(null_device.get(), 0x442028, nullptr, 0, &byte, 1), ENOTTY);
  EXPECT_EQ(device_control(kInvalidDeviceHandle, 0x442028, nullptr, 0, &byte, 1), EBADF);
}

// The watch the scene test keeps on a module it has lent out: quiet while the
// module lives, reporting once the module's process has ended (its
// connections close), and at once for a module that is already gone.
TEST(Transport, PresenceWatchReportsTheModulesEnd) {
  char dir[] = "/tmp/tarsio-watch-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/m.sock";
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  int err = 0;
  auto device = open_transport(path, &err);
  ASSERT_NE(device, nullptr) << err;
  PresenceWatch watch = device->watch_presence();
  ASSERT_GE(watch.fd(), 0);
  std::vector<int> accepted;
  for (int i = 0; i < 2; ++i) accepted.push_back(::accept(listener, nullptr, nullptr));
  pollfd p{watch.fd(), POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 100), 0);  // the module lives
  for (int fd : accepted) ::close(fd);
  ::close(listener);
  ::unlink(path.c_str());
  EXPECT_EQ(::poll(&p, 1, 1000), 1);
  EXPECT_NE(p.revents & (POLLIN | POLLHUP), 0);

  // Nothing listens any more: the new watch reports at once.
  const PresenceWatch late = device->watch_presence();
  ASSERT_GE(late.fd(), 0);
  pollfd q{late.fd(), POLLIN, 0};
  EXPECT_EQ(::poll(&q, 1, 0), 1);
  ::rmdir(dir);

  // The character device's removal comes through udev: nothing to watch.
  auto null_device = open_transport("/dev/null", &err);
  ASSERT_NE(null_device, nullptr);
  EXPECT_EQ(null_device->watch_presence().fd(), -1);
}

}  // namespace
}  // namespace tarsio::platform
