// Pruning of the association record folder, with small bounds, and once on
// the running service.
#include "host/association_records.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "host/base/failure.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_folder.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;
using std::chrono::hours;
using std::chrono::minutes;
using std::chrono::seconds;

// Creates `folder`/`name` last changed at `when`.
void Record(const std::string& folder, const std::string& name,
            Clock::time_point when) {
  const std::string path = folder + "/" + name;
  std::ofstream(path) << "MODAL/127.0.0.1\r\n";
  const auto since_epoch = when.time_since_epoch();
  timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(
      std::chrono::duration_cast<seconds>(since_epoch).count());
  times[0].tv_nsec = times[1].tv_nsec = 0;
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

std::set<std::string> Names(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.insert(entry.path().filename().string());
  return names;
}

class AssociationRecordsTest : public ::testing::Test {
 protected:
  size_t Prune(size_t keep_newest, Clock::duration keep_age) {
    return PruneAssociationRecords(
        dir_, keep_newest, std::chrono::duration_cast<seconds>(keep_age), now_);
  }

  TempFolder folder_{"records"};
  const std::string dir_ = folder_.path();
  Clock::time_point now_ = Clock::now();
};

TEST_F(AssociationRecordsTest, KeepsTheNewestOfTheOldOnes) {
  // 1 is the oldest, 6 the newest; all older than the age bound.
  for (int i = 1; i <= 6; ++i)
    Record(dir_, std::to_string(i), now_ - hours(10) + minutes(i));
  EXPECT_EQ(Prune(4, hours(1)), 2u);
  EXPECT_EQ(Names(dir_), (std::set<std::string>{"3", "4", "5", "6"}));
  // Nothing more goes while no more than the count is there.
  EXPECT_EQ(Prune(4, hours(1)), 0u);
}

TEST_F(AssociationRecordsTest, NeverRemovesARecordYoungerThanTheAge) {
  for (int i = 1; i <= 5; ++i)
    Record(dir_, std::to_string(i), now_ - minutes(50) + seconds(i));
  Record(dir_, "100", now_ - hours(2));
  Record(dir_, "101", now_ - hours(3));
  // Two more than may be kept by count, but only the two old ones may go.
  EXPECT_EQ(Prune(2, hours(1)), 2u);
  EXPECT_EQ(Names(dir_), (std::set<std::string>{"1", "2", "3", "4", "5"}));
}

TEST_F(AssociationRecordsTest, NamesThatAreNotRecordsAreLeftAlone) {
  for (int i = 1; i <= 3; ++i)
    Record(dir_, std::to_string(i), now_ - hours(48) + seconds(i));
  Record(dir_, "notes.txt", now_ - hours(48));
  Record(dir_, "12a", now_ - hours(48));
  fs::create_directory(dir_ + "/77");
  EXPECT_EQ(Prune(1, hours(24)), 2u);
  EXPECT_EQ(Names(dir_),
            (std::set<std::string>{"3", "notes.txt", "12a", "77"}));
  // The count leaves out the names that are not records.
  EXPECT_EQ(Prune(1, hours(24)), 0u);
}

TEST_F(AssociationRecordsTest, AMissingFolderIsAFailure) {
  EXPECT_THROW(PruneAssociationRecords(dir_ + "/missing", 1, hours(1), now_),
               Failure);
}

TEST(AssociationRecordsE2eTest, TheRunningServicePrunesItsRecordFolder) {
  ServiceProcess service;
  ASSERT_TRUE(service.Start()) << service.Describe();
  const std::string folder =
      service.program_dir() + "/Associations/" + service.port_text();
  ASSERT_TRUE(Names(folder).empty());
  // Records of two days ago, 20 more than the count; the youngest of them
  // has the largest number.
  const Clock::time_point now = Clock::now();
  const size_t planted = kKeepNewestRecords + 20;
  for (size_t i = 0; i < planted; ++i)
    Record(folder, std::to_string(1000000 + i),
           now - hours(48) + seconds(static_cast<int64_t>(i)));
  // One association of now.
  ToolResult echo = RunDcmtkTool(
      "echoscu", {"-aet", "ECHO", "127.0.0.1", service.port_text()});
  ASSERT_EQ(echo.exit_code, 0) << echo.output;
  ASSERT_EQ(Names(folder).size(), planted + 1);

  // The pass comes with the next configuration reading (every 30 s).
  ASSERT_TRUE(service.WaitForLog("DebugVantor" + service.port_text() + ".log",
                                 "21 association records removed", seconds(45)))
      << service.Describe();
  const std::set<std::string> names = Names(folder);
  EXPECT_EQ(names.size(), kKeepNewestRecords);
  EXPECT_EQ(*names.begin(), "1");  // the echo's, the first association
  EXPECT_EQ(names.count("1000020"), 0u);
  EXPECT_EQ(names.count("1000021"), 1u);
  EXPECT_EQ(names.count(std::to_string(1000000 + planted - 1)), 1u);
  EXPECT_EQ(service.ErrorLog(), "");
  service.Stop();
}

}  // namespace
}  // namespace vantor
