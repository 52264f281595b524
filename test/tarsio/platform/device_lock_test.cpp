// The module lock: one holder per module across processes, the holder's id
// told to the one refused, and no stale lock after the holder is killed.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "platform/device_lock.h"
#include "tarsio/station_helpers.h"
#include "tarsio/test_support.h"

namespace tarsio::platform {
namespace {

class DeviceLockTest : public ::testing::Test {
 protected:
  testing::ScratchDir dir_;
  testing::ScopedEnv lock_dir_{"TARSIO_LOCK_DIR", dir_.path()};
};

TEST_F(DeviceLockTest, OneHolderPerModuleAndTheHolderIsNamed) {
  EXPECT_EQ(DeviceLock::lock_file("/run/tarsio/km-1.sock"), dir_.path() + "/tarsio-module_run_tarsio_km-1.sock.lock");
  DeviceLock first;
  ASSERT_EQ(first.acquire("/dev/kmx0"), DeviceLockResult::kAcquired);
  EXPECT_EQ(first.acquire("/dev/kmx0"), DeviceLockResult::kAcquired);  // held already
  DeviceLock second;
  int holder = -1;
  EXPECT_EQ(second.acquire("/dev/kmx0", &holder), DeviceLockResult::kBusy);
  EXPECT_EQ(holder, ::getpid());
  EXPECT_FALSE(second.held());
  // Another module is another lock; moving the first lock frees the module.
  EXPECT_EQ(second.acquire("/dev/kmx1"), DeviceLockResult::kAcquired);
  ASSERT_EQ(first.acquire("/dev/kmx2"), DeviceLockResult::kAcquired);
  DeviceLock third;
  EXPECT_EQ(third.acquire("/dev/kmx0"), DeviceLockResult::kAcquired);
}

TEST_F(DeviceLockTest, AKilledHolderLeavesNoStaleLock) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    DeviceLock held;
    const char ok = held.acquire("/dev/kmx0") == DeviceLockResult::kAcquired ? 'y' : 'n';
    (void)!::write(ready[1], &ok, 1);
    ::pause();
    ::_exit(0);
  }
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  EXPECT_EQ(ok, 'y');
  {
    DeviceLock mine;
    int holder = 0;
    EXPECT_EQ(mine.acquire("/dev/kmx0", &holder), DeviceLockResult::kBusy);
    EXPECT_EQ(holder, child);
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  DeviceLock mine;
  EXPECT_EQ(mine.acquire("/dev/kmx0"), DeviceLockResult::kAcquired);
  ::close(ready[0]);
  ::close(ready[1]);
}

TEST_F(DeviceLockTest, AFolderThatCannotHoldTheLockIsAnError) {
  testing::ScopedEnv missing{"TARSIO_LOCK_DIR", dir_.path() + "/missing"};
  DeviceLock lock;
  int error = 0;
  EXPECT_EQ(lock.acquire("/dev/kmx0", nullptr, &error), DeviceLockResult::kError);
  EXPECT_EQ(error, ENOENT);
}

}  // namespace
}  // namespace tarsio::platform
