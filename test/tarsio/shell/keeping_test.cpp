// Bounded keeping: numbered copies of a file past its limit, and the order
// in which run folders are taken as oldest.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "shell/keeping.h"
#include "tarsio/test_support.h"

namespace tarsio::shell {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using ::testing::ElementsAre;

TEST(RotateIfLarger, OnlyAFilePastTheLimitMovesAndTheOldestCopyIsDropped) {
  testing::ScratchDir dir;
  const std::string path = dir.path() + "/report.csv";
  testing::write_file(path, "12345");
  EXPECT_FALSE(rotate_if_larger(path, 5, 3));  // at the limit: stays
  EXPECT_FALSE(fs::exists(path + ".1"));
  testing::write_file(path, "123456");
  testing::write_file(path + ".1", "one");
  testing::write_file(path + ".2", "two");
  testing::write_file(path + ".3", "three");
  EXPECT_TRUE(rotate_if_larger(path, 5, 3));
  EXPECT_FALSE(fs::exists(path));  // the next append starts a fresh file
  EXPECT_EQ(read_file(path + ".1"), "123456");
  EXPECT_EQ(read_file(path + ".2"), "one");
  EXPECT_EQ(read_file(path + ".3"), "two");
  EXPECT_FALSE(fs::exists(path + ".4"));
  // A folder or a missing file is not a file to keep.
  fs::create_directory(dir.path() + "/folder");
  EXPECT_FALSE(rotate_if_larger(dir.path() + "/folder", 0, 3));
  EXPECT_FALSE(rotate_if_larger(dir.path() + "/missing", 0, 3));
}

TEST(RunIds, OldestFirstByDateTimeAndNumbersNotByText) {
  testing::ScratchDir dir;
  const std::string runs = dir.path() + "/runs";
  fs::create_directories(runs);
  for (const char* doc : {"2026-12-10T120000-10.json", "2026-12-10T120000-2.json", "2026-12-10T120000-2-2.json",
                          "2026-12-09T235959-7.json", "notes.json", "2026-12-10T120000-x.json"})
    testing::write_file(runs + "/" + doc, "{}");
  // A run's folder and its document are one run; a file named like a
  // folder, or a folder named like a document, is not.
  fs::create_directories(runs + "/2026-12-10T120000-2");
  fs::create_directories(runs + "/2026-12-11T000000-1");
  fs::create_directories(runs + "/2026-12-12T000000-1.json");
  testing::write_file(runs + "/2026-12-13T000000-1", "not a folder");
  EXPECT_THAT(run_ids_oldest_first(runs),
              ElementsAre("2026-12-09T235959-7", "2026-12-10T120000-2", "2026-12-10T120000-2-2",
                          "2026-12-10T120000-10", "2026-12-11T000000-1"));
  EXPECT_TRUE(run_ids_oldest_first(dir.path() + "/none").empty());
}

}  // namespace
}  // namespace tarsio::shell
