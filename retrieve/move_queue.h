// C-MOVE jobs through the queue in the archive database (JobQueue
// "database" on a database server). The front that takes the C-MOVE queues
// its job (tblMoveJobs) and follows the row for its requester; the workers
// of every front claim queued jobs and carry them out with a sender of
// their own, which ends with its front. A job whose front stopped is taken
// over by another front once its lease runs out: the images the row says
// were sent are left out, and the counts go on from there. Without the
// setting, and always on SQLite, C-MOVE jobs go to this front's sender in
// a job file as they always did.
#ifndef VANTOR_RETRIEVE_MOVE_QUEUE_H_
#define VANTOR_RETRIEVE_MOVE_QUEUE_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "dicom/dispatcher.h"
#include "host/base/config.h"
#include "host/base/log.h"
#include "jobs/job_store.h"
#include "retrieve/move_job.h"

namespace vantor {

// Whether C-MOVE jobs go through the queue under these settings.
bool MovesQueued(const Config& config);

// A run's return file text with the counts of the runs before it added
// (the images a taken-over job had sent before); `before` is the row's
// progress ("" for the first run).
std::string MergedProgress(std::string_view before, std::string_view run_text);

// Queues `job` on the archive and returns it as its requester follows it
// (the row's state and progress). `wake` (may be empty) wakes this front's
// workers, so that the job need not wait for their next look. Throws a
// Failure when the job cannot be queued.
std::unique_ptr<dicom::MoveJob> QueueMoveJob(const dicom::RequestContext& context,
                                             const SendJob& job,
                                             const std::function<void()>& wake);

// The workers of one front: each claims the oldest queued C-MOVE job (or
// one whose lease ran out), hands it to a sender of this front, renews the
// lease with the sender's progress while it sends (a job taken over by
// another front, or cancelled, stops the sender), and ends the row with
// the final counts.
class MoveQueueWorkers {
 public:
  using SettingsSource = std::function<std::shared_ptr<const Config>()>;
  // The most workers there may be; MoveWorkers of the settings says how
  // many of them take jobs (0: this front queues jobs, others carry them
  // out).
  static constexpr int kMostWorkers = 8;
  explicit MoveQueueWorkers(SettingsSource settings);
  ~MoveQueueWorkers();
  MoveQueueWorkers(const MoveQueueWorkers&) = delete;
  MoveQueueWorkers& operator=(const MoveQueueWorkers&) = delete;

  // Starts the workers; they look for jobs while the settings queue them.
  void Start();
  // A job was queued here: look now.
  void Wake();
  // Stops the workers: senders still running are stopped and their jobs
  // left to the next front's claim.
  void Stop();

  // The jobs this front carries out now.
  int running() const { return running_.load(); }

 private:
  void Run(int worker);
  // Carries out one claimed job.
  void CarryOut(JobStore& store, const QueuedJob& job, const Config& config,
                const Log& log);
  bool Stopping();

  const SettingsSource settings_;
  const std::string node_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  uint64_t wakes_ = 0;  // counts Wake() calls
  std::atomic<int> running_{0};
  std::vector<std::thread> threads_;
};

}  // namespace vantor

#endif  // VANTOR_RETRIEVE_MOVE_QUEUE_H_
