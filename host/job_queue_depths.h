// How much work waits and runs in the archive's job tables, for the
// metrics page: read on a connection of the pool at most once a second,
// and only while the settings queue work in the database (else 0). While
// the database cannot be read, the values are NaN, so that a graph shows a
// gap rather than an empty queue.
#ifndef VANTOR_HOST_JOB_QUEUE_DEPTHS_H_
#define VANTOR_HOST_JOB_QUEUE_DEPTHS_H_

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

#include "host/base/config.h"
#include "host/base/connection_pool.h"
#include "jobs/job_store.h"

namespace vantor {

class JobQueueDepths {
 public:
  using SettingsSource = std::function<std::shared_ptr<const Config>()>;
  JobQueueDepths(ConnectionPool* pool, SettingsSource settings)
      : pool_(pool), settings_(std::move(settings)) {}

  // The rows of `kind` that wait (or run, when `running`).
  double Read(JobKind kind, bool running);

 private:
  using Clock = std::chrono::steady_clock;
  void Refresh();  // REQUIRES: mu_ held

  ConnectionPool* const pool_;
  const SettingsSource settings_;
  std::mutex mu_;
  bool read_once_ = false;                // guarded by mu_
  Clock::time_point read_at_;             // guarded by mu_
  bool known_ = false;                    // guarded by mu_
  std::array<JobCounts, 3> counts_ = {};  // guarded by mu_, by JobKind
};

}  // namespace vantor

#endif  // VANTOR_HOST_JOB_QUEUE_DEPTHS_H_
