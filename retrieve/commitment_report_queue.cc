#include "retrieve/commitment_report_queue.h"

#include <algorithm>
#include <utility>

#include "host/base/failure.h"
#include "host/base/log.h"

namespace vantor {
namespace {

constexpr char kProcedure[] = "CommitmentReports";

std::string Where(const dicom::ReportDestination& d) {
  return ReportDestinationText(d);
}

}  // namespace

std::string ReportDestinationText(const dicom::ReportDestination& d) {
  return d.called_aet + " (" + d.address + ":" + std::to_string(d.port) + ")";
}

std::string UndeliveredReportText(const dicom::ReportDestination& destination,
                                  const dicom::CommitmentReport& report,
                                  int attempts, const std::string& why) {
  return "Storage commitment report " + report.transaction_uid + " for " +
         Where(destination) + " not delivered after " +
         std::to_string(attempts) + " attempt(s): " + why;
}

CommitmentReportQueue::CommitmentReportQueue(Sender sender, Timing timing)
    : sender_(std::move(sender)), timing_(timing) {}

CommitmentReportQueue::~CommitmentReportQueue() { Shutdown(); }

void CommitmentReportQueue::Add(const Log& log,
                                const dicom::ReportDestination& destination,
                                const dicom::CommitmentReport& report) {
  GuardVoid(log, kProcedure, [&] {
    std::unique_lock<std::mutex> lock(mu_);
    if (stop_) {
      lock.unlock();
      log.Error(0,
                UndeliveredReportText(destination, report, 0,
                                      "the service is stopping"),
                kProcedure);
      return;
    }
    Entry entry;
    entry.log = log;
    entry.destination = destination;
    entry.report = report;
    entry.delay = timing_.first_retry;
    entry.due = Clock::now();
    entry.give_up = entry.due + timing_.give_up_after;
    entries_.push_back(std::move(entry));
    if (!worker_.joinable()) worker_ = std::thread([this] { Run(); });
    changed_.notify_all();
  });
}

void CommitmentReportQueue::Shutdown() {
  std::list<Entry> left;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
    changed_.notify_all();
  }
  if (worker_.joinable()) worker_.join();
  {
    std::lock_guard<std::mutex> lock(mu_);
    left.swap(entries_);
  }
  for (const Entry& entry : left) {
    entry.log.Error(
        0,
        UndeliveredReportText(
            entry.destination, entry.report, entry.attempts,
            "the service stopped" + (entry.last_error.empty()
                                         ? std::string()
                                         : " (" + entry.last_error + ")")),
        kProcedure);
  }
}

size_t CommitmentReportQueue::Waiting() {
  std::lock_guard<std::mutex> lock(mu_);
  return entries_.size() + in_flight_;
}

bool CommitmentReportQueue::Attempt(Entry& entry) {
  ++entry.attempts;
  std::string error = "not sent";
  GuardWith([&] { error = sender_(entry.destination, entry.report); },
            [&](const FailureInfo& info) { error = info.description; });
  if (error.empty()) {
    entry.log.Debug("Storage commitment report " +
                        entry.report.transaction_uid + " delivered to " +
                        Where(entry.destination) + " on attempt " +
                        std::to_string(entry.attempts),
                    kProcedure);
    return true;
  }
  entry.last_error = error;
  const Clock::time_point next = Clock::now() + entry.delay;
  if (next >= entry.give_up) {
    entry.log.Error(0,
                    UndeliveredReportText(entry.destination, entry.report,
                                          entry.attempts, error),
                    kProcedure);
    return true;
  }
  entry.log.Debug("Storage commitment report " + entry.report.transaction_uid +
                      " for " + Where(entry.destination) + ": " + error +
                      "; next attempt in " +
                      std::to_string(entry.delay.count()) + " ms",
                  kProcedure);
  entry.due = next;
  entry.delay = std::min(entry.delay * 2, timing_.longest_retry);
  return false;
}

void CommitmentReportQueue::Run() {
  std::unique_lock<std::mutex> lock(mu_);
  while (!stop_) {
    if (entries_.empty()) {
      changed_.wait(lock);
      continue;
    }
    auto first = std::min_element(
        entries_.begin(), entries_.end(),
        [](const Entry& a, const Entry& b) { return a.due < b.due; });
    if (first->due > Clock::now()) {
      changed_.wait_until(lock, first->due);
      continue;
    }
    Entry entry = std::move(*first);
    entries_.erase(first);
    ++in_flight_;
    lock.unlock();
    const bool done = Attempt(entry);
    lock.lock();
    --in_flight_;
    if (!done) entries_.push_back(std::move(entry));
  }
}

}  // namespace vantor
