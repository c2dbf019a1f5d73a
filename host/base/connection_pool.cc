#include "host/base/connection_pool.h"

#include <utility>

namespace vantor {

ConnectionPool::ConnectionPool() : ConnectionPool(Limits{}) {}

ConnectionPool::ConnectionPool(Limits limits,
                               std::function<Clock::time_point()> now,
                               RetryPolicy retry)
    : limits_(limits),
      now_(now ? std::move(now) : [] { return Clock::now(); }),
      retry_(std::move(retry)) {}

ConnectionPool::~ConnectionPool() { Clear(); }

void ConnectionPool::DropStale(const std::string& connection_text,
                               std::vector<PhysicalConnectionPtr>& closing) {
  const Clock::time_point now = now_();
  std::vector<Idle> kept;
  kept.reserve(idle_.size());
  for (Idle& idle : idle_) {
    if (ConnectionTextOf(*idle.connection) == connection_text &&
        now - idle.since < limits_.max_idle_time) {
      kept.push_back(std::move(idle));
    } else {
      closing.push_back(std::move(idle.connection));
    }
  }
  idle_ = std::move(kept);
}

PhysicalConnectionPtr ConnectionPool::Take(const std::string& connection_text) {
  // Connections are closed after the lock is left: a disconnect may wait on
  // the server.
  std::vector<PhysicalConnectionPtr> closing;
  PhysicalConnectionPtr taken;
  {
    MutexLock lock(&mu_);
    text_ = connection_text;
    DropStale(connection_text, closing);
    if (!idle_.empty()) {
      taken = std::move(idle_.back().connection);
      idle_.pop_back();
    }
  }
  return taken;
}

void ConnectionPool::Give(PhysicalConnectionPtr connection) noexcept {
  if (!connection) return;
  std::vector<PhysicalConnectionPtr> closing;
  {
    MutexLock lock(&mu_);
    if (!Reusable(*connection) || ConnectionTextOf(*connection) != text_ ||
        limits_.max_idle == 0) {
      closing.push_back(std::move(connection));
    } else {
      if (idle_.size() >= limits_.max_idle) {
        closing.push_back(std::move(idle_.front().connection));
        idle_.erase(idle_.begin());
      }
      idle_.push_back(Idle{std::move(connection), now_()});
    }
  }
}

void ConnectionPool::Prune(const std::string& connection_text) noexcept {
  std::vector<PhysicalConnectionPtr> closing;  // closed after the lock
  MutexLock lock(&mu_);
  text_ = connection_text;
  DropStale(connection_text, closing);
}

void ConnectionPool::Clear() noexcept {
  std::vector<Idle> closing;
  {
    MutexLock lock(&mu_);
    closing.swap(idle_);
  }
}

size_t ConnectionPool::IdleCount() const {
  MutexLock lock(&mu_);
  return idle_.size();
}

}  // namespace vantor
