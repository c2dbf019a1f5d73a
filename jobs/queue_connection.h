// The archive connection of a queue worker's thread, kept from round to
// round: opened on the settings' DBServer, opened again when that changes
// or after a failure. A round that fails closes it and is logged, once
// while the same failure repeats (a database that is away is not logged
// every second).
#ifndef VANTOR_JOBS_QUEUE_CONNECTION_H_
#define VANTOR_JOBS_QUEUE_CONNECTION_H_

#include <functional>
#include <memory>
#include <string>

#include "host/base/config.h"
#include "host/base/database.h"
#include "host/base/log.h"
#include "jobs/job_store.h"

namespace vantor {

class QueueConnection {
 public:
  // `what` names the queue in the error-log line ("C-MOVE queue"), which
  // goes under `procedure`.
  QueueConnection(JobKind kind, std::string what, std::string procedure)
      : kind_(kind), what_(std::move(what)), procedure_(std::move(procedure)) {}

  // Runs `round` on the queue of the archive `config` names. Never throws.
  void Round(const Config& config, const Log& log,
             const std::function<void(JobStore&)>& round) noexcept;

  // Closes the connection (work is no longer queued).
  void Close() noexcept;

 private:
  const JobKind kind_;
  const std::string what_;
  const std::string procedure_;
  Database db_;
  std::unique_ptr<JobStore> store_;
  std::string open_text_;
  std::string last_error_;
};

}  // namespace vantor

#endif  // VANTOR_JOBS_QUEUE_CONNECTION_H_
