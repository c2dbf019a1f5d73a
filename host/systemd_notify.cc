#include "host/systemd_notify.h"

#include <systemd/sd-daemon.h>

#include <cstdint>
#include <string>

#include "host/base/config.h"
#include "host/base/failure.h"

namespace vantor {

void NotifyReady() noexcept {
  GuardVoid("NotifyReady", [] {
    auto config = Settings();
    const std::string state = "READY=1\nSTATUS=Listening on port " +
                              std::to_string(config->DCM) + " as '" +
                              config->Caption + "'";
    (void)sd_notify(0, state.c_str());
  });
}

void NotifyWatchdog() noexcept {
  GuardVoid("NotifyWatchdog", [] {
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0) (void)sd_notify(0, "WATCHDOG=1");
  });
}

void NotifyStopping() noexcept {
  GuardVoid("NotifyStopping", [] { (void)sd_notify(0, "STOPPING=1"); });
}

}  // namespace vantor
