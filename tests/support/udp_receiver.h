// A plain UDP receiver on 127.0.0.1, for the tests of whatever sends
// datagrams (the heartbeat, the audit trail's syslog messages).
#ifndef VANTOR_TESTS_SUPPORT_UDP_RECEIVER_H_
#define VANTOR_TESTS_SUPPORT_UDP_RECEIVER_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace vantor {

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
    // Room for every datagram of a test that reads them at its end.
    int size = 8 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
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

  // The datagrams waiting now (loopback delivers at once), at most 1000.
  std::vector<std::string> Drain() {
    std::vector<std::string> out;
    std::string buffer(70000, '\0');
    for (int i = 0; i < 1000; ++i) {
      const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n < 0) break;
      out.emplace_back(buffer.data(), static_cast<size_t>(n));
    }
    return out;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace vantor

#endif  // VANTOR_TESTS_SUPPORT_UDP_RECEIVER_H_
