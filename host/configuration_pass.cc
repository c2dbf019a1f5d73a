#include "host/configuration_pass.h"

#include "host/base/config.h"
#include "host/base/read_reg.h"
#include "host/dcm_log.h"
#include "net/heartbeat.h"

namespace vantor {
namespace {

constexpr uint16_t kTicksPerConfigurationPass = 6;

// Brings the protocol log in line with the Dicomlog switch.
void AdjustProtocolLog(bool wanted) {
  const bool running = DcmLogStatus();
  if (!running && wanted) {
    DcmLogStart();
  } else if (running && !wanted) {
    DcmLogStop();
  } else if (running && wanted) {
    DcmLogWrite();
  }
}

}  // namespace

void ConfigurationPass() noexcept {
  ReadReg();
  // The protocol log's procedures log their own failures and never throw.
  AdjustProtocolLog(Settings()->Dicomlog);
}

void TimerAlive_Timer(uint16_t& ticks) noexcept {
  {
    const auto config = Settings();
    SendAlive(config->Caption, config->UDP);
  }
  ++ticks;
  if (ticks >= kTicksPerConfigurationPass) {
    ticks = 0;
    ConfigurationPass();
  }
}

}  // namespace vantor
