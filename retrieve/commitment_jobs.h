// Storage Commitment reports that wait for their requester, in the archive's
// queue (tblCommitmentJobs) when the settings queue work in the database
// (JobQueue "database" on a database server). The front whose requester
// left before the answer queues the report; the report worker of every
// front claims queued reports and sends each on an association of its own.
// An attempt that fails is tried again, by whichever front claims the row
// next, once the row's lease (the wait before the next attempt: 1, 2, 4 ...
// s, at most the longest retry) has run out; a report still not delivered
// when the next wait would pass the give-up time is ended as failed, with
// the error-log line a report in the front's memory gets. A front that
// stops leaves its reports to the others. Without the setting, reports wait
// in the memory of the front that took the request, as they always did.
#ifndef VANTOR_RETRIEVE_COMMITMENT_JOBS_H_
#define VANTOR_RETRIEVE_COMMITMENT_JOBS_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "dicom/toolkit/toolkit.h"
#include "host/base/config.h"
#include "host/base/database.h"
#include "host/base/log.h"
#include "jobs/job_store.h"
#include "retrieve/commitment_report_queue.h"

namespace vantor {

// A queued report: where it goes and what it says. The TLS files are not
// carried: the front that sends it uses its own.
struct CommitmentJob {
  dicom::ReportDestination destination;
  dicom::CommitmentReport report;
};

// The row's payload (JSON) of a report, and back; nothing when `payload` is
// not one.
std::string CommitmentJobPayload(const CommitmentJob& job);
std::optional<CommitmentJob> ParseCommitmentJob(std::string_view payload);

// The wait after `attempts` failed attempts before the next one; and
// whether, after them, the report is given up (the next attempt would come
// after `give_up_after`), by the timing of the memory queue.
std::chrono::milliseconds WaitAfterAttempts(const ReportRetryTiming& timing,
                                            int attempts);
bool GiveUpAfterAttempts(const ReportRetryTiming& timing, int attempts);

// Queues `job` on the archive `db`; returns its row's id. Throws a Failure
// when it cannot be queued.
int64_t QueueCommitmentReport(Database& db, const CommitmentJob& job);

// The report worker of one front: one thread that claims queued reports
// (waking every second, or at once when told) and sends them.
class CommitmentJobWorker {
 public:
  using SettingsSource = std::function<std::shared_ptr<const Config>()>;
  using Sender = CommitmentReportQueue::Sender;

  // `node` is the name the front claims rows under (NodeName()).
  CommitmentJobWorker(SettingsSource settings, Sender sender,
                      ReportRetryTiming timing = ReportRetryTiming(),
                      std::string node = std::string());
  ~CommitmentJobWorker();  // Stop()
  CommitmentJobWorker(const CommitmentJobWorker&) = delete;
  CommitmentJobWorker& operator=(const CommitmentJobWorker&) = delete;

  // Starts the thread; it looks for reports while the settings queue them.
  void Start();
  // A report was queued here: look now.
  void Wake();
  // Ends the thread after the attempt under way; the rows it holds wait
  // for the next claim. Idempotent.
  void Stop();

 private:
  void Run();
  // One claimed row: sent, retried later or given up.
  void Attempt(JobStore& store, const QueuedJob& row,
               const Config& config, const Log& log);

  const SettingsSource settings_;
  const Sender sender_;
  const ReportRetryTiming timing_;
  const std::string node_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;   // guarded by mutex_
  uint64_t wakes_ = 0;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace vantor

#endif  // VANTOR_RETRIEVE_COMMITMENT_JOBS_H_
