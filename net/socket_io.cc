#include "net/socket_io.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace vantor::socket_io {

int OffZero(int fd) {
  if (fd != 0) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 1);
  ::close(fd);
  return moved;
}

int NewSocket(int type) {
  return OffZero(::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
}

bool SetBlocking(int fd, bool blocking) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  return ::fcntl(fd, F_SETFL, flags) == 0;
}

void SetIoTimeouts(int fd, milliseconds limit) {
  timeval tv{};
  tv.tv_sec = limit.count() / 1000;
  tv.tv_usec = (limit.count() % 1000) * 1000;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

sockaddr_in Address(uint32_t address, int32_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = address;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  return sa;
}

std::string DottedText(in_addr address) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

bool PeerOf(int fd, std::string& host, int32_t& port) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
    return false;
  host = DottedText(sa.sin_addr);
  port = ntohs(sa.sin_port);
  return true;
}

int32_t LocalPortOf(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
  return ntohs(sa.sin_port);
}

int ConnectWithin(int fd, const sockaddr_in& to, milliseconds limit) {
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0)
    return 0;
  if (errno != EINPROGRESS) return errno;
  const Clock::time_point deadline = Clock::now() + limit;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return ETIMEDOUT;
    pollfd p{fd, POLLOUT, 0};
    int n = ::poll(&p, 1, static_cast<int>(left.count()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return ETIMEDOUT;
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) return errno;
    return error;
  }
}

}  // namespace vantor::socket_io
