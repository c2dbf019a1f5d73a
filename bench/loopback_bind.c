/* Preloaded into a server that can only listen on every interface (Debian's
 * Orthanc has no listening-address setting): a bind() to the wildcard
 * address binds to the loopback address instead, so that the server is
 * reachable from this machine only.
 *
 *   cc -shared -fPIC -o loopback_bind.so loopback_bind.c -ldl
 *   LD_PRELOAD=$PWD/loopback_bind.so Orthanc config.json
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>

int bind(int fd, const struct sockaddr *addr, socklen_t len) {
  static int (*real_bind)(int, const struct sockaddr *, socklen_t);
  if (!real_bind)
    real_bind = (int (*)(int, const struct sockaddr *, socklen_t))dlsym(RTLD_NEXT, "bind");
  if (addr && addr->sa_family == AF_INET && len >= sizeof(struct sockaddr_in)) {
    struct sockaddr_in a;
    memcpy(&a, addr, sizeof a);
    if (a.sin_addr.s_addr == htonl(INADDR_ANY)) {
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      return real_bind(fd, (const struct sockaddr *)&a, sizeof a);
    }
  } else if (addr && addr->sa_family == AF_INET6 && len >= sizeof(struct sockaddr_in6)) {
    struct sockaddr_in6 a;
    memcpy(&a, addr, sizeof a);
    if (memcmp(&a.sin6_addr, &in6addr_any, sizeof a.sin6_addr) == 0) {
      a.sin6_addr = in6addr_loopback;
      return real_bind(fd, (const struct sockaddr *)&a, sizeof a);
    }
  }
  return real_bind(fd, addr, len);
}
