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
#include "tests/support/udp_receiver.h"

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

}  // namespace vantor

#endif  // VANTOR_TESTS_NET_NET_TEST_UTIL_H_
