#include "retrieve/disk_space.h"

#include <gtest/gtest.h>

#include "host/failure.h"

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

}  // namespace
}  // namespace vantor
