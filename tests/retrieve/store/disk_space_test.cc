#include "retrieve/store/disk_space.h"

#include <gtest/gtest.h>

#include "host/base/failure.h"

namespace vantor {
namespace {

TEST(DiskSpaceTest, AvailableSpaceOfARealFolder) {
  EXPECT_GT(AvailableSpace("/tmp"), 0u);
  try {
    AvailableSpace("/tmp/vantor-no-such-folder/x");
    FAIL() << "no failure";
  } catch (const Failure& f) {
    EXPECT_EQ(f.number(), kPathNotFound);
  }
}

TEST(DiskSpaceTest, AProbeFailureEndsTheWait) {
  DiskSpaceWait wait;
  wait.available = [](const std::string&) -> uint64_t {
    throw Failure(kPathNotFound, "Path not found");
  };
  wait.pause = [] {};
  EXPECT_THROW(WaitForDiskSpace("/x", wait), Failure);
}

TEST(DiskSpaceTest, AStoppingServiceEndsTheWait) {
  int pauses = 0;
  bool stopping = false;
  DiskSpaceWait wait;
  wait.available = [](const std::string&) -> uint64_t { return 0; };
  wait.pause = [&] {
    if (++pauses == 3) stopping = true;
  };
  wait.stopping = [&] { return stopping; };
  try {
    WaitForDiskSpace("/x", wait);
    FAIL() << "no failure";
  } catch (const Failure& f) {
    EXPECT_EQ(f.number(), 61);  // Disk full
  }
  EXPECT_EQ(pauses, 3);

  // The low-space pause before a write is cut short as well.
  pauses = 0;
  stopping = false;
  wait.available = [](const std::string&) -> uint64_t { return 200u << 20; };
  wait.pause = [&] { stopping = true; };
  EXPECT_THROW(WaitForDiskSpace("/x", wait), Failure);
}

}  // namespace
}  // namespace vantor
