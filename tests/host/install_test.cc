// `cmake --install` of the build into a temporary DESTDIR: the tree a Debian
// admin finds (the package is made from the same rules).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/service_process.h"
#include "tests/support/temp_folder.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool IsExecutable(const fs::path& path) {
  return fs::is_regular_file(path) && ::access(path.c_str(), X_OK) == 0;
}

TEST(InstallTest, InstallPutsEverythingWhereADebianAdminLooks) {
  TempFolder folder("install");
  const fs::path root = folder.path();
  ToolResult install =
      RunDcmtkTool("/bin/sh",
                   {"-c", "DESTDIR=\"$0\" cmake --install \"$1\"",
                    root.string(), VANTOR_BUILD_DIR},
                   std::chrono::seconds(120));
  EXPECT_EQ(install.exit_code, 0) << install.output;

  EXPECT_TRUE(IsExecutable(root / "opt/vantor/vantor"));
  EXPECT_TRUE(IsExecutable(root / "opt/vantor/vantor-send"));
  // The site's registry is the admin's (the package's postinst writes it
  // from the example only when none is there).
  EXPECT_FALSE(fs::exists(root / "opt/vantor/registry.reg"));
  EXPECT_THAT(ReadText(root / "usr/share/vantor/registry.reg.example"),
              HasSubstr("[HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\ "
                        "Default]"));
  EXPECT_THAT(ReadText(root / "lib/systemd/system/vantor@.service"),
              HasSubstr("ExecStart=/opt/vantor/vantor %i"));
  EXPECT_THAT(ReadText(root / "etc/logrotate.d/vantor"),
              HasSubstr("/opt/vantor/Logs/*.log"));
  EXPECT_EQ(ReadText(root / "usr/share/vantor/archive/schema.sql"),
            ReadText(fs::path(VANTOR_SOURCE_DIR) / "archive/schema.sql"));
  // Nothing beyond the admin's places.
  for (const auto& top : fs::directory_iterator(root)) {
    const std::string name = top.path().filename().string();
    EXPECT_TRUE(name == "opt" || name == "lib" || name == "etc" ||
                name == "usr")
        << name;
  }
}

}  // namespace
}  // namespace vantor
