// Idle database connections kept for the next request, so that a request
// does not pay for connecting, logging in and preparing its statements.
//
// The service owns one pool and hands it to the request handlers; a
// Database made with it (Database(ConnectionPool*)) takes an idle
// connection on Open and gives it back on Close. Each request still has its
// connection to itself for its whole duration. A connection goes back only
// when it is healthy (see Reusable() in host/base/database.h); otherwise,
// and when the pool holds its bound of idle connections, it is closed.
//
// An idle connection is checked as it is taken (Database::Open): one that
// no longer reaches its database is closed with its idle peers.
//
// The pool serves the connection text asked for last: connections of any
// other text (a DBServer the configuration pass has since changed) are
// closed instead of kept or handed out. Idle connections older than the age
// bound are closed rather than reused. Safe to use from many threads.
//
// The pool also holds what its connections share beyond the idle ones: the
// retry bounds for database faults that pass (a deadlock, a fail-over) and
// the counters of statements, errors, retries and reconnections.
#ifndef VANTOR_HOST_BASE_CONNECTION_POOL_H_
#define VANTOR_HOST_BASE_CONNECTION_POOL_H_

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "host/base/database.h"
#include "host/base/thread_annotations.h"

namespace vantor {

class ConnectionPool {
 public:
  using Clock = std::chrono::steady_clock;

  struct Limits {
    // The most idle connections kept; one more is closed.
    size_t max_idle = 8;
    // An idle connection kept this long is closed rather than reused.
    Clock::duration max_idle_time = std::chrono::seconds(60);
  };

  ConnectionPool();
  // `now` tells the time (the tests set it). `retry` says how a statement
  // or transaction that met a deadlock, a serialization failure or a lost
  // connection is run again (see Database).
  explicit ConnectionPool(Limits limits,
                          std::function<Clock::time_point()> now = nullptr,
                          RetryPolicy retry = {});
  ~ConnectionPool();
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  // The idle connection for `connection_text` given back last, or null.
  // Closes the idle connections of other texts and those idle too long.
  PhysicalConnectionPtr Take(const std::string& connection_text);

  // Keeps `connection` for reuse when it is reusable and of the text asked
  // for last; otherwise closes it. At the bound the oldest idle one is
  // closed instead.
  void Give(PhysicalConnectionPtr connection) noexcept;

  // Closes the idle connections idle too long and those whose text is not
  // `connection_text` (the DBServer configured now).
  void Prune(const std::string& connection_text) noexcept;

  // Closes every idle connection (the service's unload; and when one of them
  // turned out dead, its peers are likely dead too).
  void Clear() noexcept;

  size_t IdleCount() const;

  const RetryPolicy& retry_policy() const { return retry_; }
  // The counts of the work of every Database made with this pool.
  DatabaseCounters& counters() { return counters_; }

 private:
  struct Idle {
    PhysicalConnectionPtr connection;
    Clock::time_point since;
  };
  // Moves what must be closed out of `idle_` into `closing`.
  void DropStale(const std::string& connection_text,
                 std::vector<PhysicalConnectionPtr>& closing)
      REQUIRES(mu_);

  const Limits limits_;
  const std::function<Clock::time_point()> now_;
  const RetryPolicy retry_;
  DatabaseCounters counters_;
  mutable Mutex mu_;
  std::string text_ GUARDED_BY(mu_);
  // Oldest first.
  std::vector<Idle> idle_ GUARDED_BY(mu_);
};

}  // namespace vantor

#endif  // VANTOR_HOST_BASE_CONNECTION_POOL_H_
