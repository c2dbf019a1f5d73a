// The POSIX steps the socket class is made of, shared by its files
// (socket.cc: connecting, listening, accepting; socket_send.cc: sending;
// socket_events.cc: the notifications; socket_names.cc: name look-up).
// Not for use outside net/.
#ifndef VANTOR_NET_SOCKET_IO_H_
#define VANTOR_NET_SOCKET_IO_H_

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace vantor::socket_io {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Ports 0 to 65534; 65535 is refused by Connect and Listen.
inline constexpr int32_t kUnusablePort = 65535;
// Bound of a TLS handshake when TimeOut is 0.
inline constexpr milliseconds kHandshakeCeiling(30000);
// Bound of a blocked send when TimeOut is 0.
inline constexpr milliseconds kSendStallDefault(5000);
// Largest payload of one UDP datagram over IPv4.
inline constexpr size_t kMaxDatagram = 65507;
// Chunks read in one notification before others get their turn (readiness
// is level-triggered: the rest is reported again).
inline constexpr int kChunksPerNotification = 64;

// The connect time-out as the unsigned count of milliseconds it stands for.
inline milliseconds TimeOutMs(int16_t time_out) {
  return milliseconds(static_cast<uint16_t>(time_out));
}

// The bound of a TLS handshake under the connect time-out `time_out`.
inline milliseconds HandshakeLimit(int16_t time_out) {
  return time_out != 0 ? TimeOutMs(time_out) : kHandshakeCeiling;
}

// `fd` moved off descriptor 0 (SocketHandle 0 means "none"); -1 stays -1.
int OffZero(int fd);

// A new non-blocking socket, never descriptor 0.
int NewSocket(int type);

bool SetBlocking(int fd, bool blocking);

// Receive and send time-outs of a blocking socket; 0 = none.
void SetIoTimeouts(int fd, milliseconds limit);

sockaddr_in Address(uint32_t address, int32_t port);

std::string DottedText(in_addr address);

// The peer's dotted address and port; false when the socket has none.
bool PeerOf(int fd, std::string& host, int32_t& port);

// The local port of `fd`, 0 when it has none.
int32_t LocalPortOf(int fd);

// A non-blocking connect that waits up to `limit` for its end; 0 or the
// errno that ended it.
int ConnectWithin(int fd, const sockaddr_in& to, milliseconds limit);

// Raises an event. The handler and its arguments are copies: the handler
// may replace the event, or destroy the object that holds both.
template <typename Handler, typename... Args>
void Raise(const Handler& handler, Args... args) {
  if (!handler) return;
  Handler copy = handler;
  copy(args...);
}

}  // namespace vantor::socket_io

#endif  // VANTOR_NET_SOCKET_IO_H_
