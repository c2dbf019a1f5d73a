// Helpers of the socket tests: a bounded pump for an event loop and a plain
// UDP receiver on 127.0.0.1.
#ifndef VANTOR_TESTS_NET_NET_TEST_UTIL_H_
#define VANTOR_TESTS_NET_NET_TEST_UTIL_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "net/event_loop.h"

namespace vantor {

// Runs `loop` until `done()` holds or `limit` has passed; returns done().
inline bool RunUntil(
    EventLoop& loop, const std::function<bool()>& done,
    std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done() && std::chrono::steady_clock::now() < deadline)
    loop.RunOnce(std::chrono::milliseconds(20));
  return done();
}

// A UDP socket bound to 127.0.0.1 on a port of the system's choice.
class UdpReceiver {
 public:
  UdpReceiver() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
  }
  ~UdpReceiver() { ::close(fd_); }
  UdpReceiver(const UdpReceiver&) = delete;
  UdpReceiver& operator=(const UdpReceiver&) = delete;

  int port() const { return port_; }
  int fd() const { return fd_; }

  // The next datagram's payload, or nothing after `limit`.
  std::optional<std::string> Receive(
      std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) != 1)
      return std::nullopt;
    char buffer[70000];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0) return std::nullopt;
    return std::string(buffer, static_cast<size_t>(n));
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace vantor

#endif  // VANTOR_TESTS_NET_NET_TEST_UTIL_H_
