#include "net/heartbeat.h"

#include "host/base/config.h"
#include "host/base/failure.h"
#include "net/socket.h"

namespace vantor {

void SendAlive() noexcept {
  GuardVoid("SendAlive", [] {
    const auto config = Settings();
    Socket socket;
    socket.Protocol = Socket::kProtocolUdp;
    socket.SendDataTo(config->Caption, "127.0.0.1", config->UDP);
  });
}

}  // namespace vantor
