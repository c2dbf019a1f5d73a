#include "host/job_queue_depths.h"

#include <limits>

#include "host/base/database.h"
#include "host/base/failure.h"

namespace vantor {

double JobQueueDepths::Read(JobKind kind, bool running) {
  std::lock_guard<std::mutex> lock(mu_);
  const Clock::time_point now = Clock::now();
  if (!read_once_ || now - read_at_ >= std::chrono::seconds(1)) {
    read_once_ = true;
    read_at_ = now;
    Refresh();
  }
  if (!known_) return std::numeric_limits<double>::quiet_NaN();
  const JobCounts& counts = counts_[static_cast<size_t>(kind)];
  return static_cast<double>(running ? counts.running : counts.waiting);
}

void JobQueueDepths::Refresh() {
  counts_ = {};
  const std::shared_ptr<const Config> config = settings_();
  if (!JobsQueued(*config)) {
    known_ = true;
    return;
  }
  // A database that is away is the health page's news, not an error here.
  known_ = false;
  GuardWith(
      [&] {
        Database db(pool_);
        db.Open(ConnectionText(config->DBServer));
        for (JobKind kind :
             {JobKind::kMove, JobKind::kCommitment, JobKind::kImport})
          counts_[static_cast<size_t>(kind)] = JobStore(db, kind).Counts();
        known_ = true;
      },
      [](const FailureInfo&) {});
}

}  // namespace vantor
