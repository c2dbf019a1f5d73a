#include "host/instance_lock.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

namespace vantor {

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) ::close(fd_);
}

bool InstanceLock::Acquire(const std::string& caption) {
  // An abstract UNIX socket: its name lives while the socket does, and the
  // kernel removes it with the process, however the process ends.
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string name = "vantor-instance:" + caption;
  size_t max = sizeof(addr.sun_path) - 1;
  if (name.size() > max) name.resize(max);
  std::memcpy(addr.sun_path + 1, name.data(), name.size());
  socklen_t len =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

}  // namespace vantor
