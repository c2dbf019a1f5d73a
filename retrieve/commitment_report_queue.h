// The Storage Commitment reports that could not go back on the requester's
// association: each is sent on an association of the service's own, tried
// at once and then again after 1, 2, 4, 8 ... s (at most `longest_retry`
// apart) until it is delivered or `give_up_after` has passed since it was
// handed over. One worker thread, started with the first report, sends
// them one at a time; the queue's owner ends it with Shutdown.
#ifndef VANTOR_RETRIEVE_COMMITMENT_REPORT_QUEUE_H_
#define VANTOR_RETRIEVE_COMMITMENT_REPORT_QUEUE_H_

#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "dicom/toolkit/toolkit.h"
#include "host/base/log.h"

namespace vantor {

// When a report is tried again, and for how long.
struct ReportRetryTiming {
  std::chrono::milliseconds first_retry{1000};
  std::chrono::milliseconds longest_retry{60000};
  std::chrono::milliseconds give_up_after{300000};
};

class CommitmentReportQueue {
 public:
  // Sends one report; returns "" when it was delivered, else why not.
  using Sender = std::function<std::string(const dicom::ReportDestination&,
                                           const dicom::CommitmentReport&)>;
  using Timing = ReportRetryTiming;

  explicit CommitmentReportQueue(Sender sender,
                                 Timing timing = ReportRetryTiming());
  // Shuts down.
  ~CommitmentReportQueue();
  CommitmentReportQueue(const CommitmentReportQueue&) = delete;
  CommitmentReportQueue& operator=(const CommitmentReportQueue&) = delete;

  // Queues a copy of `report` for `destination`; its lines go to `log`
  // (the log of the request it answers). After Shutdown the report is
  // logged as not delivered at once.
  void Add(const Log& log, const dicom::ReportDestination& destination,
           const dicom::CommitmentReport& report);

  // Stops the worker once the attempt under way (bounded by the sender's
  // own timeout) is over, and writes an error-log line for every report
  // not delivered. Idempotent.
  void Shutdown();

  // Reports not yet delivered or given up (for tests).
  size_t Waiting();

 private:
  using Clock = std::chrono::steady_clock;
  struct Entry {
    Log log;
    dicom::ReportDestination destination;
    dicom::CommitmentReport report;
    int attempts = 0;
    std::chrono::milliseconds delay{0};
    Clock::time_point due;
    Clock::time_point give_up;
    std::string last_error;
  };

  void Run();
  // One attempt at `entry`; true when it is done with (delivered or given
  // up). REQUIRES: mu_ not held.
  bool Attempt(Entry& entry);

  const Sender sender_;
  const Timing timing_;
  std::mutex mu_;
  std::condition_variable changed_;
  std::list<Entry> entries_;  // guarded by mu_
  size_t in_flight_ = 0;      // guarded by mu_
  bool stop_ = false;         // guarded by mu_
  std::thread worker_;        // started under mu_ by the first Add
};

// Where a report goes, as the log lines name it: "AET (address:port)".
std::string ReportDestinationText(const dicom::ReportDestination& destination);

// The error-log text of a report that was not delivered.
std::string UndeliveredReportText(const dicom::ReportDestination& destination,
                                  const dicom::CommitmentReport& report,
                                  int attempts, const std::string& why);

}  // namespace vantor

#endif  // VANTOR_RETRIEVE_COMMITMENT_REPORT_QUEUE_H_
