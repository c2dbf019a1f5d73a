// A Storage Commitment report sender for the report queues' tests: it fails
// its first `failures` attempts ("connection refused") and notes when each
// attempt came.
#ifndef VANTOR_TESTS_SUPPORT_SCRIPTED_REPORT_SENDER_H_
#define VANTOR_TESTS_SUPPORT_SCRIPTED_REPORT_SENDER_H_

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "retrieve/commitment_report_queue.h"

namespace vantor {

class ScriptedReportSender {
 public:
  using Clock = std::chrono::steady_clock;
  explicit ScriptedReportSender(int failures) : failures_(failures) {}

  CommitmentReportQueue::Sender AsSender() {
    return [this](const dicom::ReportDestination&,
                  const dicom::CommitmentReport&) -> std::string {
      std::lock_guard<std::mutex> lock(mu_);
      times_.push_back(Clock::now());
      return static_cast<int>(times_.size()) <= failures_ ? "connection refused"
                                                          : "";
    };
  }

  std::vector<Clock::time_point> times() {
    std::lock_guard<std::mutex> lock(mu_);
    return times_;
  }

 private:
  const int failures_;
  std::mutex mu_;
  std::vector<Clock::time_point> times_;
};

}  // namespace vantor

#endif  // VANTOR_TESTS_SUPPORT_SCRIPTED_REPORT_SENDER_H_
