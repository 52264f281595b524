// The result files' writer: a file is replaced whole or not at all, and a
// file that cannot be written completely leaves no file of its name.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "shell/result_paths.h"
#include "tarsio/test_support.h"

namespace tarsio::shell {
namespace {

namespace fs = std::filesystem;
using testing::read_file;

std::vector<std::string> names_in(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(ReplaceFile, ReplacesTheWholeFileAndLeavesNoTemporaryFile) {
  testing::ScratchDir dir;
  const std::string path = dir.path() + "/Pass.txt";
  testing::write_file(path, "an earlier run, longer than the next one\r\n");
  ASSERT_TRUE(replace_file(path, "Start Int Pin test: \r\n"));
  EXPECT_EQ(read_file(path), "Start Int Pin test: \r\n");
  EXPECT_EQ(fs::status(path).permissions() & fs::perms::others_read, fs::perms::others_read);
  // A symbolic link in the file's place is replaced, not followed.
  fs::remove(path);
  fs::create_symlink("/dev/full", path);
  ASSERT_TRUE(replace_file(path, "x"));
  EXPECT_FALSE(fs::is_symlink(path));
  EXPECT_EQ(read_file(path), "x");
  EXPECT_THAT(names_in(dir.path()), ::testing::Contains("Pass.txt"));
  for (const auto& name : names_in(dir.path())) EXPECT_NE(name.rfind(".Pass.txt.", 0), 0u) << name;
}

TEST(ReplaceFile, AFileThatCannotBeWrittenCompletelyLeavesNoFileOfItsName) {
  testing::ScratchDir dir;
  const std::string path = dir.path() + "/Fail.txt";
  testing::write_file(path, "an earlier run's verdict\r\n");
  // A child whose files may not grow beyond 8 bytes: the write stops half
  // way, as on a full disk.
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{8, 8};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(3);
    const bool written = replace_file(path, std::string(100, 'r'));
    ::_exit(written ? 1 : (errno == EFBIG ? 0 : 2));
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: reported written, 2: another error, 3: no limit";
  EXPECT_FALSE(fs::exists(path));
  EXPECT_THAT(names_in(dir.path()), ::testing::Not(::testing::Contains(::testing::StartsWith(".Fail.txt."))));
}

TEST(ReplaceFile, AMissingFolderIsAnError) {
  testing::ScratchDir dir;
  errno = 0;
  EXPECT_FALSE(replace_file(dir.path() + "/no/such/Pass.txt", "x"));
  EXPECT_EQ(errno, ENOENT);
}

}  // namespace
}  // namespace tarsio::shell
