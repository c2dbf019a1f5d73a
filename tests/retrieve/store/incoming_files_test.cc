// The temporary names of reception, as the writer makes them and the
// start-up clean-up reads them.
#include "retrieve/store/incoming_files.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/support/temp_folder.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;

TEST(IncomingFilesTest, TheCleanUpRecognisesTheWritersNamesAndNoOthers) {
  TempFolder temp("incoming");
  const std::string folder = temp.path() + "/";
  const std::string uid = "1.2.826.0.1.3680043.9.5.1";
  {
    PendingFile pending(folder, uid);
    std::ofstream(pending.path()) << "part";
    const std::string name = fs::path(pending.path()).filename().string();
    std::optional<TemporaryName> parsed = ParseTemporaryName(name);
    ASSERT_TRUE(parsed) << name;
    EXPECT_EQ(parsed->stem, uid);
    EXPECT_EQ(parsed->pid, ::getpid());
    EXPECT_EQ(parsed->host, TemporaryNameHost());

    // Its writer runs: kept. Its writer has ended: removed.
    EXPECT_TRUE(
        RemoveStaleTemporaryFiles(folder, [](pid_t) { return true; }).empty());
    EXPECT_TRUE(fs::exists(pending.path()));
    EXPECT_EQ(RemoveStaleTemporaryFiles(folder, [](pid_t) { return false; }),
              std::vector<std::string>{name});
    EXPECT_FALSE(fs::exists(pending.path()));
  }
  for (const char* other :
       {".1.2.3.45-1.part", ".1.2.3.x-1@h.part", ".1.2.3.45-1@.part",
        "1.2.3.45-1@h.part", ".1.2.3.45-1@h.dcm", ".a.b.45-1@h.part",
        ".45-1@h.part"})
    EXPECT_FALSE(ParseTemporaryName(other)) << other;
}

}  // namespace
}  // namespace vantor
