#include "net/heartbeat.h"

#include "host/base/failure.h"
#include "net/socket.h"

namespace vantor {

void SendAlive(const std::string& caption, int32_t udp_port) noexcept {
  GuardVoid("SendAlive", [&] {
    Socket socket;
    socket.Protocol = Socket::kProtocolUdp;
    socket.SendDataTo(caption, "127.0.0.1", udp_port);
  });
}

}  // namespace vantor
