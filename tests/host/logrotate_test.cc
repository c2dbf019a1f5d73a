// The packaged logrotate file, run by logrotate on the logs of a running
// service: the rotated file keeps its lines, the next line starts a new file.
#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/service_process.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void ReplaceAll(std::string& text, const std::string& from,
                const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

TEST(LogrotateTest, PackagedFileRotatesTheLogsOfARunningService) {
  const std::string logrotate = "/usr/sbin/logrotate";
  if (!fs::exists(logrotate)) GTEST_SKIP() << "logrotate is not installed";
  ServiceProcess service;
  ASSERT_TRUE(service.Start()) << service.Describe();
  const std::string dir = service.program_dir();
  const std::string debug_log = "DebugVantor" + service.port_text() + ".log";

  // The packaged file for this program directory, run as this test's user.
  std::string config =
      ReadText(std::string(VANTOR_SOURCE_DIR) + "/packaging/vantor.logrotate");
  ReplaceAll(config, "/opt/vantor/", dir + "/");
  const passwd* user = ::getpwuid(::getuid());
  const group* grp = ::getgrgid(::getgid());
  ASSERT_TRUE(user != nullptr && grp != nullptr);
  ReplaceAll(config, "su vantor vantor",
             std::string("su ") + user->pw_name + " " + grp->gr_name);
  const std::string config_path = dir + "/logrotate.conf";
  std::ofstream(config_path) << config;
  fs::permissions(config_path, fs::perms::owner_read | fs::perms::owner_write |
                                   fs::perms::group_read |
                                   fs::perms::others_read);
  const std::string state = "--state=" + dir + "/logrotate.state";

  ToolResult dry = RunDcmtkTool(logrotate, {"-d", state, config_path});
  EXPECT_EQ(dry.exit_code, 0) << dry.output;
  EXPECT_THAT(dry.output, Not(HasSubstr("error:")));
  EXPECT_THAT(dry.output,
              HasSubstr("rotating pattern: " + dir + "/Logs/*.log"));
  EXPECT_THAT(dry.output, HasSubstr("weekly"));
  EXPECT_THAT(dry.output, HasSubstr("12 rotations"));
  EXPECT_THAT(dry.output,
              HasSubstr("considering log " + dir + "/Logs/" + debug_log));

  // A forced rotation renames the file; the service's next line (at its
  // stop) opens a new one.
  ToolResult forced = RunDcmtkTool(logrotate, {"-f", state, config_path});
  ASSERT_EQ(forced.exit_code, 0) << forced.output;
  const std::string rotated = dir + "/Logs/" + debug_log + ".1";
  EXPECT_THAT(ReadText(rotated), HasSubstr("\tMain finished\tMain\r\n"));
  EXPECT_FALSE(fs::exists(dir + "/Logs/" + debug_log));
  EXPECT_EQ(service.Stop(), 0) << service.Describe();
  const std::string fresh = service.DebugLog();
  EXPECT_THAT(fresh, HasSubstr("\tForm unload\tQueryUnload\r\n"));
  EXPECT_THAT(fresh, Not(HasSubstr("Main finished")));

  // The next rotation compresses the older file.
  forced = RunDcmtkTool(logrotate, {"-f", state, config_path});
  ASSERT_EQ(forced.exit_code, 0) << forced.output;
  EXPECT_TRUE(fs::exists(dir + "/Logs/" + debug_log + ".2.gz"));
  EXPECT_THAT(ReadText(rotated), HasSubstr("\tForm unload\tQueryUnload\r\n"));
}

}  // namespace
}  // namespace vantor
