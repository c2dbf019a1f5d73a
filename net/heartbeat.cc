#include "net/heartbeat.h"

#include "host/config.h"
#include "host/failure.h"
#include "host/read_reg.h"
#include "net/socket.h"

namespace vantor {
namespace {

constexpr uint16_t kTicksPerConfigurationPass = 6;

}  // namespace

void SendAlive() noexcept {
  GuardVoid("SendAlive", [] {
    const auto config = Settings();
    Socket socket;
    socket.Protocol = Socket::kProtocolUdp;
    socket.SendDataTo(config->Caption, "127.0.0.1", config->UDP);
  });
}

void TimerAlive_Timer(uint16_t& ticks) noexcept {
  SendAlive();
  ++ticks;
  if (ticks >= kTicksPerConfigurationPass) {
    ticks = 0;
    ReadReg();
  }
}

}  // namespace vantor
