// The liveness heartbeat: every tick of the 5 s TimerAlive sends the
// caption as one UDP datagram to 127.0.0.1 on the UDP port, and every sixth
// tick re-reads the configuration.
#ifndef VANTOR_NET_HEARTBEAT_H_
#define VANTOR_NET_HEARTBEAT_H_

#include <cstdint>

namespace vantor {

// Sends one datagram: the Caption's bytes, nothing else, from a new socket
// that is closed again at once (the system picks the source port). Nobody
// listening is not an error. A failure is logged under "SendAlive".
void SendAlive() noexcept;

// One tick of TimerAlive: SendAlive, then count the tick in `ticks`; on the
// sixth the count starts again at 0 and the configuration is read again
// (ReadReg), so a changed Caption goes out from the next tick on.
void TimerAlive_Timer(uint16_t& ticks) noexcept;

}  // namespace vantor

#endif  // VANTOR_NET_HEARTBEAT_H_
