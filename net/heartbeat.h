// The liveness heartbeat: every tick of the service's 5 s TimerAlive sends
// the caption as one UDP datagram to 127.0.0.1 on the UDP port.
#ifndef VANTOR_NET_HEARTBEAT_H_
#define VANTOR_NET_HEARTBEAT_H_

#include <cstdint>
#include <string>

namespace vantor {

// Sends one datagram: the Caption's bytes, nothing else, from a new socket
// that is closed again at once (the system picks the source port). Nobody
// listening is not an error. A failure is logged under "SendAlive".
void SendAlive(const std::string& caption, int32_t udp_port) noexcept;

}  // namespace vantor

#endif  // VANTOR_NET_HEARTBEAT_H_
