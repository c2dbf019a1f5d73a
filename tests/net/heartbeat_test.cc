#include "net/heartbeat.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "host/base/config.h"
#include "host/base/read_reg.h"
#include "host/configuration_pass.h"
#include "tests/net/net_test_util.h"
#include "tests/support/service_process.h"
#include "tests/support/test_env.h"

namespace vantor {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr const char* kInstanceKey = "Software\\Tavik\\Kelmora\\Vantor\\01";

// Keeps the settings snapshot and the registry file of the other tests of
// this binary.
class HeartbeatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = Settings();
    if (const char* path = ::getenv("VANTOR_REGISTRY")) registry_ = path;
  }
  void TearDown() override {
    PublishSettings(*saved_);
    if (registry_)
      ::setenv("VANTOR_REGISTRY", registry_->c_str(), 1);
    else
      ::unsetenv("VANTOR_REGISTRY");
  }

  std::shared_ptr<const Config> saved_;
  std::optional<std::string> registry_;
};

TEST_F(HeartbeatTest, SendAliveSendsTheCaptionAlone) {
  UdpReceiver supervisor;
  Config config = *saved_;
  config.Caption = "Vantor 01";
  config.UDP = supervisor.port();
  PublishSettings(config);

  SendAlive(Settings()->Caption, Settings()->UDP);
  std::optional<std::string> payload = supervisor.Receive();
  ASSERT_TRUE(payload.has_value());
  EXPECT_EQ(*payload, "Vantor 01");
  EXPECT_EQ(payload->size(), 9u);
  // One datagram per call, nothing else.
  EXPECT_FALSE(supervisor.Receive(milliseconds(100)).has_value());

  // Nobody listening is no failure either.
  {
    UdpReceiver gone;
    config.UDP = gone.port();
  }
  PublishSettings(config);
  SendAlive(Settings()->Caption, Settings()->UDP);
}

TEST_F(HeartbeatTest, TheSixthTickReadsTheNewCaptionForTheNextOne) {
  UdpReceiver supervisor;
  // A negative UDP value is its absolute value.
  const std::string udp = "-" + std::to_string(supervisor.port());
  UseRegistryText(RegistryText({{"UDP", udp}}, {{"Caption", "Vantor A"}}));
  Config config;
  config.instance_key = kInstanceKey;
  PublishSettings(config);
  ReadReg();
  ASSERT_EQ(Settings()->Caption, "Vantor A");
  ASSERT_EQ(Settings()->UDP, supervisor.port());

  UseRegistryText(RegistryText({{"UDP", udp}}, {{"Caption", "Vantor B"}}));
  uint16_t ticks = 0;
  for (int tick = 1; tick <= 6; ++tick) {
    TimerAlive_Timer(ticks);
    // The tick that re-reads still carries the old caption.
    EXPECT_EQ(supervisor.Receive(), "Vantor A") << "tick " << tick;
  }
  EXPECT_EQ(ticks, 0);
  EXPECT_EQ(Settings()->Caption, "Vantor B");
  TimerAlive_Timer(ticks);
  EXPECT_EQ(supervisor.Receive(), "Vantor B");
  EXPECT_EQ(ticks, 1);
}

// ---------------------------------------------------------------------------
// The running service

// Replaces the service's registry file as a whole (the service may read it
// at any moment).
void RewriteRegistry(const ServiceProcess& service, const std::string& text) {
  const std::string path = service.program_dir() + "/registry.reg";
  std::ofstream(path + ".new", std::ios::binary | std::ios::trunc) << text;
  std::filesystem::rename(path + ".new", path);
}

TEST(HeartbeatServiceTest, TheRunningServiceSendsItsCaptionEveryFewSeconds) {
  UdpReceiver supervisor;
  ServiceProcess service;
  ServiceProcess::Options options;
  options.default_values = {{"UDP", std::to_string(supervisor.port())}};
  ASSERT_TRUE(service.Start(options)) << service.Describe();
  for (int beat = 1; beat <= 2; ++beat) {
    std::optional<std::string> payload = supervisor.Receive(seconds(15));
    ASSERT_TRUE(payload.has_value()) << "beat " << beat << service.Describe();
    EXPECT_EQ(*payload, service.caption());
  }
  EXPECT_EQ(service.Stop(), 0) << service.Describe();
}

// Slow (about 35 s): the configuration is re-read every sixth tick.
TEST(HeartbeatServiceTest, SlowChangedCaptionArrivesWithinThirtySeconds) {
  UdpReceiver supervisor;
  ServiceProcess service;
  ServiceProcess::Options options;
  options.caption = "Vantor heartbeat old";
  options.default_values = {{"UDP", std::to_string(supervisor.port())}};
  ASSERT_TRUE(service.Start(options)) << service.Describe();
  ASSERT_EQ(supervisor.Receive(seconds(15)), "Vantor heartbeat old")
      << service.Describe();

  RewriteRegistry(service,
                  RegistryText({{"UDP", std::to_string(supervisor.port())}},
                               {{"DCM", service.port_text()},
                                {"Debug", "1"},
                                {"Caption", "Vantor heartbeat new"}}));
  bool changed = false;
  // Up to 30 s for the re-read, with room for a slow machine; every
  // datagram before it carries the old caption.
  const auto deadline = std::chrono::steady_clock::now() + seconds(45);
  for (int beat = 0;
       beat < 12 && !changed && std::chrono::steady_clock::now() < deadline;
       ++beat) {
    std::optional<std::string> payload = supervisor.Receive(seconds(10));
    ASSERT_TRUE(payload.has_value()) << service.Describe();
    if (*payload == "Vantor heartbeat new")
      changed = true;
    else
      EXPECT_EQ(*payload, "Vantor heartbeat old");
  }
  EXPECT_TRUE(changed) << service.Describe();
  EXPECT_EQ(service.Stop(), 0) << service.Describe();
}

}  // namespace
}  // namespace vantor
