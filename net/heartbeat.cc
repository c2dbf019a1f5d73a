#include "net/heartbeat.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/config.h"
#include "host/failure.h"

namespace vantor {

void SendAlive() noexcept {
  GuardVoid("SendAlive", [] {
    auto config = Settings();
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw Failure(10024, std::strerror(errno));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(config->UDP));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Nobody listening is not an error: UDP gives no answer.
    (void)::sendto(fd, config->Caption.data(), config->Caption.size(),
                   MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ::close(fd);
  });
}

}  // namespace vantor
