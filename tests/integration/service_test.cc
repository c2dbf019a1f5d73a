// The built service started as a process in a program directory of its own.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/service_process.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr auto kExitWait = std::chrono::seconds(20);

// The position of the line "<time> TAB body CR LF" in a log text, or npos.
size_t LinePos(const std::string& log, const std::string& body) {
  return log.find("\t" + body + "\r\n");
}

TEST(ServiceTest, StartUpPreparesTheFoldersAndLogs) {
  ServiceProcess service;
  const std::string port_dir =
      service.program_dir() + "/Associations/" + service.port_text();
  fs::create_directories(port_dir);
  std::ofstream(port_dir + "/leftover.txt") << "x";
  std::ofstream(port_dir + "/noext") << "x";
  ASSERT_TRUE(service.Start()) << service.Describe();

  EXPECT_TRUE(fs::is_directory(service.program_dir() + "/Logs"));
  EXPECT_TRUE(fs::is_directory(port_dir));
  EXPECT_TRUE(fs::is_empty(port_dir));
  // The default incoming folders, on the program directory's drive E.
  EXPECT_TRUE(fs::is_directory(service.program_dir() + "/drives/e/Temp"));
  EXPECT_TRUE(fs::is_directory(service.program_dir() + "/drives/e/Temp/Unzip"));

  // The readings before Logs/ existed are lost; the log begins with the
  // folders built.
  const std::string debug = service.DebugLog();
  size_t built = LinePos(debug, "Pathes built\tBuildPathes");
  size_t listen =
      LinePos(debug, "Vantor is listen on port " + service.port_text() + "\t");
  size_t finished = LinePos(debug, "Main finished\tMain");
  ASSERT_NE(built, std::string::npos) << debug;
  EXPECT_EQ(built, debug.find('\t')) << "the first line is " << debug;
  ASSERT_NE(listen, std::string::npos) << debug;
  ASSERT_NE(finished, std::string::npos) << debug;
  EXPECT_LT(built, listen);
  EXPECT_LT(listen, finished);
  EXPECT_EQ(service.ErrorLog(), "");
  EXPECT_TRUE(service.running());
}

// The C-MOVE job folder C:\Temp\ is made at start-up when its drive is
// there; without the drive the start-up says why and the service runs on.
TEST(ServiceTest, StartUpCreatesTheJobFolderOrLogsWhyNot) {
  {
    ServiceProcess service;
    fs::remove_all(service.program_dir() + "/drives/c/Temp");
    ASSERT_TRUE(service.Start()) << service.Describe();
    EXPECT_TRUE(fs::is_directory(service.program_dir() + "/drives/c/Temp"));
    EXPECT_EQ(service.ErrorLog(), "");
  }
  {
    ServiceProcess service;
    fs::remove_all(service.program_dir() + "/drives/c");
    ASSERT_TRUE(service.Start()) << service.Describe();
    const std::string errors = service.ErrorLog();
    EXPECT_THAT(errors, HasSubstr("Job folder C:\\Temp\\ (" +
                                  service.program_dir() + "/drives/c/Temp)"));
    EXPECT_THAT(errors, HasSubstr("\tBuildPathes\r\n"));
    EXPECT_FALSE(fs::exists(service.program_dir() + "/drives/c"));
    EXPECT_TRUE(service.running());
  }
}

TEST(ServiceTest, EchoscuGetsAnAssociation) {
  ServiceProcess service;
  ASSERT_TRUE(service.Start()) << service.Describe();
  ToolResult echo = RunDcmtkTool(
      "echoscu", {"-v", "-aet", "ECHOSCU", "127.0.0.1", service.port_text()});
  EXPECT_FALSE(echo.timed_out);
  EXPECT_THAT(echo.output, HasSubstr("Association Accepted")) << echo.output;
  EXPECT_TRUE(service.running()) << service.Describe();
}

TEST(ServiceTest, SigtermStopsWithTheShutdownLines) {
  ServiceProcess service;
  ASSERT_TRUE(service.Start()) << service.Describe();
  EXPECT_EQ(service.Stop(), 0) << service.Describe();
  EXPECT_FALSE(IsListening(service.port()));

  const std::string debug = service.DebugLog();
  size_t finished = LinePos(debug, "Main finished\tMain");
  size_t closed = LinePos(debug, "DB-Connection closed\tConClose");
  size_t unload = LinePos(debug, "Form unload\tQueryUnload");
  ASSERT_NE(closed, std::string::npos) << debug;
  ASSERT_NE(unload, std::string::npos) << debug;
  EXPECT_LT(finished, closed);
  EXPECT_LT(closed, unload);
  EXPECT_EQ(service.ErrorLog(), "");
}

TEST(ServiceTest, SecondInstanceWithTheSameCaptionIsRefused) {
  ServiceProcess first;
  ASSERT_TRUE(first.Start()) << first.Describe();

  // The second one has its own port and its own Logs/ folder, so that its
  // refusal line can be read.
  ServiceProcess second;
  fs::create_directories(second.program_dir() + "/Logs");
  ServiceProcess::Options options;
  options.caption = first.caption();
  options.wait_until_listening = false;
  ASSERT_TRUE(second.Start(options));
  EXPECT_EQ(second.WaitForExit(kExitWait), 1) << second.Describe();

  const std::string refusal =
      "0\t'" + first.caption() + "' already running, Vantor end\tMain";
  const std::string error_log = second.ErrorLog();
  EXPECT_NE(LinePos(error_log, refusal), std::string::npos)
      << second.Describe();
  EXPECT_EQ(std::count(error_log.begin(), error_log.end(), '\n'), 1)
      << error_log;
  EXPECT_THAT(second.DebugLog(), Not(HasSubstr("Vantor is listen")));
  EXPECT_FALSE(IsListening(second.port()));
  EXPECT_TRUE(first.running());

  // Another caption runs beside the first.
  ServiceProcess third;
  ASSERT_TRUE(third.Start()) << third.Describe();
  EXPECT_TRUE(first.running());
  EXPECT_EQ(third.Stop(), 0);
}

// Holds a listening socket on 127.0.0.1:port for the test's duration.
class PortHolder {
 public:
  explicit PortHolder(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    ok_ = fd_ >= 0 &&
          ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
          ::listen(fd_, 1) == 0;
  }
  ~PortHolder() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return ok_; }

 private:
  int fd_ = -1;
  bool ok_ = false;
};

TEST(ServiceTest, TakenPortEndsTheService) {
  ServiceProcess service;
  PortHolder holder(service.port());
  ASSERT_TRUE(holder.ok());
  ServiceProcess::Options options;
  options.wait_until_listening = false;
  ASSERT_TRUE(service.Start(options));
  EXPECT_EQ(service.WaitForExit(kExitWait), 1) << service.Describe();

  const std::string message =
      "Cannot list on port " + service.port_text() + ", Vantor end";
  EXPECT_NE(LinePos(service.ErrorLog(), "0\t" + message + "\tMain"),
            std::string::npos)
      << service.Describe();
  // The shutdown sequence runs first, with its lines.
  const std::string debug = service.DebugLog();
  size_t closed = LinePos(debug, "DB-Connection closed\tConClose");
  size_t unload = LinePos(debug, "Form unload\tQueryUnload");
  size_t error = LinePos(debug, "[Error #0] " + message + "\tMain");
  ASSERT_NE(closed, std::string::npos) << debug;
  ASSERT_NE(unload, std::string::npos) << debug;
  ASSERT_NE(error, std::string::npos) << debug;
  EXPECT_LT(closed, unload);
  EXPECT_LT(unload, error);
  EXPECT_THAT(debug, Not(HasSubstr("Vantor is listen")));
}

TEST(ServiceTest, MalformedRegistryStillStartsWithDefaults) {
  ServiceProcess service;
  ServiceProcess::Options options;
  options.registry =
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\ Default\r\n"
      "\"Temp\"=\"Q:\\\\Nowhere\\\\In\r\n"
      "\x01\xFF\xFE garbage \x80\r\n"
      "\"Unzip\"=\"\"\" \"\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\ Default]\r\n"
      "\"UDP\"=hex:01,\\\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\Vantor\\01]\r\n"
      "\"DismissModalities\"=\"CT\r\n"
      "\"DCM\"=\"{port}\"\r\n"
      "\"Debug\"=\"1\"\r\n"
      "\"Caption\"=\"{caption}\"\r\n";
  ASSERT_TRUE(service.Start(options)) << service.Describe();
  EXPECT_TRUE(fs::is_directory(service.program_dir() + "/drives/e/Temp/Unzip"));
  EXPECT_FALSE(fs::exists(service.program_dir() + "/drives/q"));
  EXPECT_EQ(service.ErrorLog(), "");
  EXPECT_EQ(service.Stop(), 0);
}

}  // namespace
}  // namespace vantor
