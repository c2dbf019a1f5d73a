// The host's configuration pass and the timer that drives it.
#ifndef VANTOR_HOST_CONFIGURATION_PASS_H_
#define VANTOR_HOST_CONFIGURATION_PASS_H_

#include <cstdint>

namespace vantor {

// Reads the registry afresh (ReadReg), then starts, stops or flushes the
// protocol log to match the Dicomlog switch just read. Never throws.
void ConfigurationPass() noexcept;

// One tick of TimerAlive: SendAlive, then count the tick in `ticks`; on the
// sixth the count starts again at 0 and a configuration pass runs, so a
// changed Caption goes out from the next tick on.
void TimerAlive_Timer(uint16_t& ticks) noexcept;

}  // namespace vantor

#endif  // VANTOR_HOST_CONFIGURATION_PASS_H_
