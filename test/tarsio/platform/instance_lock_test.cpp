// The single-instance lock: a second holder is refused while the first
// process lives, and the lock is free again once that process has died.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/instance_lock.h"
#include "tarsio/station_helpers.h"
#include "tarsio/test_support.h"

namespace tarsio::platform {
namespace {

class InstanceLockTest : public ::testing::Test {
 protected:
  testing::ScratchDir dir_;
  testing::ScopedEnv runtime_{"XDG_RUNTIME_DIR", dir_.path()};
};

TEST_F(InstanceLockTest, SecondHolderIsRefusedUntilTheFirstEnds) {
  EXPECT_EQ(InstanceLock::lock_path("Velmora"), dir_.path() + "/Velmora.lock");
  {
    InstanceLock first;
    ASSERT_EQ(first.acquire("Velmora"), InstanceLockResult::kAcquired);
    InstanceLock second;
    EXPECT_EQ(second.acquire("Velmora"), InstanceLockResult::kAlreadyRunning);
    // Another name is another lock.
    InstanceLock other;
    EXPECT_EQ(other.acquire("Other"), InstanceLockResult::kAcquired);
  }
  InstanceLock again;
  EXPECT_EQ(again.acquire("Velmora"), InstanceLockResult::kAcquired);
}

TEST_F(InstanceLockTest, LockDiesWithTheProcess) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    InstanceLock held;
    const char ok = held.acquire("Velmora") == InstanceLockResult::kAcquired ? 'y' : 'n';
    (void)!write(ready[1], &ok, 1);
    pause();  // killed by the parent, never unlocks itself
    _exit(0);
  }
  char ok = 0;
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  EXPECT_EQ(ok, 'y');
  {
    InstanceLock mine;
    EXPECT_EQ(mine.acquire("Velmora"), InstanceLockResult::kAlreadyRunning);
  }
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  InstanceLock mine;
  EXPECT_EQ(mine.acquire("Velmora"), InstanceLockResult::kAcquired);
  close(ready[0]);
  close(ready[1]);
}

}  // namespace
}  // namespace tarsio::platform
