// The liveness heartbeat: the caption as one UDP datagram to 127.0.0.1 on
// the UDP port, from a new socket each time.
#ifndef VANTOR_NET_HEARTBEAT_H_
#define VANTOR_NET_HEARTBEAT_H_

namespace vantor {

// Sends one datagram; a failure is logged under "SendAlive".
void SendAlive() noexcept;

}  // namespace vantor

#endif  // VANTOR_NET_HEARTBEAT_H_
