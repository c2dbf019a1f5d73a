// The service under systemd: the template unit as systemd reads it, and the
// notifications the built service sends to a notify socket.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/service_process.h"
#include "tests/support/temp_folder.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// systemd-analyze checks the unit's directives and that ExecStart names an
// executable; the installed path /opt/vantor/vantor is replaced by the
// built service for that.
TEST(SystemdUnitTest, TemplateUnitPassesSystemdAnalyzeVerify) {
  const std::string analyze = "/usr/bin/systemd-analyze";
  if (!fs::exists(analyze))
    GTEST_SKIP() << "systemd-analyze is not installed; the unit is unchecked";
  std::string unit =
      ReadText(std::string(VANTOR_SOURCE_DIR) + "/packaging/vantor@.service");
  ASSERT_THAT(unit, HasSubstr("\nExecStart=/opt/vantor/vantor %i\n"));
  unit.replace(unit.find("ExecStart=/opt/vantor/vantor"),
               std::strlen("ExecStart=/opt/vantor/vantor"),
               std::string("ExecStart=") + VANTOR_BUILD_DIR + "/vantor");
  TempFolder dir("systemd");
  std::ofstream(dir.path() + "/vantor@.service") << unit;
  ToolResult result =
      RunDcmtkTool(analyze, {"verify", dir.path() + "/vantor@02.service"});
  if (result.exit_code != 0 &&
      result.output.find("vantor@") == std::string::npos)
    GTEST_SKIP() << "systemd-analyze cannot run here: " << result.output;
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_EQ(result.output, "");
}

// A notify socket as systemd offers it: a unix datagram socket, named by
// NOTIFY_SOCKET in the service's environment.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd_ < 0 ||
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
      throw std::runtime_error("cannot make the notify socket");
  }
  ~NotifySocket() { ::close(fd_); }

  // Messages received until one contains `text` or `timeout` passed; the
  // last one holds `text` when it came.
  std::vector<std::string> ReceiveUntil(const std::string& text,
                                        std::chrono::milliseconds timeout) {
    std::vector<std::string> messages;
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - Clock::now());
      pollfd fds{fd_, POLLIN, 0};
      if (::poll(&fds, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
      char buffer[4096];
      ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) continue;
      messages.emplace_back(buffer, static_cast<size_t>(n));
      if (messages.back().find(text) != std::string::npos) break;
    }
    return messages;
  }

 private:
  std::string path_;
  int fd_ = -1;
};

std::string Joined(const std::vector<std::string>& messages) {
  std::string all;
  for (const std::string& m : messages) all += "[" + m + "] ";
  return all;
}

TEST(SystemdNotifyTest, ServiceSaysReadyOnceListeningAndFeedsTheWatchdog) {
  TempFolder dir("systemd");
  NotifySocket notify(dir.path() + "/notify");
  ServiceProcess service;
  ServiceProcess::Options options;
  options.wait_until_listening = false;
  options.environment = {"NOTIFY_SOCKET=" + dir.path() + "/notify",
                         "WATCHDOG_USEC=30000000"};
  ASSERT_TRUE(service.Start(options)) << service.Describe();

  std::vector<std::string> messages =
      notify.ReceiveUntil("READY=1", std::chrono::seconds(20));
  ASSERT_FALSE(messages.empty()) << service.Describe();
  ASSERT_THAT(messages.back(), HasSubstr("READY=1")) << Joined(messages);
  // Ready means the DICOM port takes associations.
  EXPECT_TRUE(IsListening(service.port()));
  EXPECT_THAT(messages.back(),
              HasSubstr("STATUS=Listening on port " + service.port_text()));

  // The watchdog is fed from the 5 s timer.
  messages = notify.ReceiveUntil("WATCHDOG=1", std::chrono::seconds(15));
  ASSERT_FALSE(messages.empty()) << service.Describe();
  EXPECT_EQ(messages.back(), "WATCHDOG=1") << Joined(messages);

  EXPECT_EQ(service.Stop(), 0) << service.Describe();
  messages = notify.ReceiveUntil("STOPPING=1", std::chrono::seconds(2));
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back(), "STOPPING=1") << Joined(messages);
}

}  // namespace
}  // namespace vantor
