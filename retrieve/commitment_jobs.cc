#include "retrieve/commitment_jobs.h"

#include <algorithm>
#include <utility>

#include <nlohmann/json.hpp>

#include "host/base/failure.h"
#include "host/base/tls_settings.h"
#include "jobs/queue_connection.h"

namespace vantor {
namespace {

using Json = nlohmann::json;

constexpr char kProcedure[] = "CommitmentReports";
// Rows claimed in one round; the next round follows after the wait.
constexpr int kRoundSize = 100;

std::string Where(const dicom::ReportDestination& d) {
  return ReportDestinationText(d);
}

// Seconds of a lease that ends no earlier than `wait`.
int LeaseSeconds(std::chrono::milliseconds wait) {
  const auto ms = std::max<int64_t>(wait.count(), 1);
  return static_cast<int>((ms + 999) / 1000);
}

}  // namespace

std::string CommitmentJobPayload(const CommitmentJob& job) {
  const dicom::ReportDestination& d = job.destination;
  const dicom::CommitmentReport& r = job.report;
  Json committed = Json::array();
  for (const dicom::SopReference& ref : r.outcome.committed)
    committed.push_back({ref.sop_class, ref.sop_instance});
  Json failed = Json::array();
  for (const dicom::CommitmentFailure& f : r.outcome.failed)
    failed.push_back(
        {f.reference.sop_class, f.reference.sop_instance, f.reason});
  const Json payload = {
      {"transaction", r.transaction_uid}, {"retrieveAet", r.retrieve_aet},
      {"address", d.address},             {"port", d.port},
      {"calledAet", d.called_aet},        {"callingAet", d.calling_aet},
      {"timeout", d.timeout_seconds},     {"tls", d.tls},
      {"committed", committed},           {"failed", failed}};
  // Invalid UTF-8 (an AE title in another character set) is replaced
  // rather than refused: the row must be written.
  return payload.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::optional<CommitmentJob> ParseCommitmentJob(std::string_view payload) {
  const Json json = Json::parse(payload, nullptr, false);
  if (json.is_discarded() || !json.is_object()) return std::nullopt;
  try {
    CommitmentJob job;
    dicom::ReportDestination& d = job.destination;
    dicom::CommitmentReport& r = job.report;
    r.transaction_uid = json.at("transaction").get<std::string>();
    r.retrieve_aet = json.at("retrieveAet").get<std::string>();
    d.address = json.at("address").get<std::string>();
    d.port = json.at("port").get<int32_t>();
    d.called_aet = json.at("calledAet").get<std::string>();
    d.calling_aet = json.at("callingAet").get<std::string>();
    d.timeout_seconds = json.at("timeout").get<int>();
    d.tls = json.at("tls").get<bool>();
    for (const Json& ref : json.at("committed")) {
      r.outcome.committed.push_back(
          {ref.at(0).get<std::string>(), ref.at(1).get<std::string>()});
    }
    for (const Json& f : json.at("failed")) {
      dicom::CommitmentFailure failure;
      failure.reference = {f.at(0).get<std::string>(),
                           f.at(1).get<std::string>()};
      failure.reason = f.at(2).get<uint16_t>();
      r.outcome.failed.push_back(std::move(failure));
    }
    if (r.transaction_uid.empty() || d.address.empty() || d.port <= 0)
      return std::nullopt;
    return job;
  } catch (const Json::exception&) {
    return std::nullopt;
  }
}

std::chrono::milliseconds WaitAfterAttempts(const ReportRetryTiming& timing,
                                            int attempts) {
  std::chrono::milliseconds wait = timing.first_retry;
  for (int i = 1; i < attempts && wait < timing.longest_retry; ++i) wait *= 2;
  return std::min(wait, timing.longest_retry);
}

bool GiveUpAfterAttempts(const ReportRetryTiming& timing, int attempts) {
  // The first attempt comes at once; each later one after the wait.
  std::chrono::milliseconds elapsed{0};
  for (int i = 1; i <= attempts; ++i) {
    elapsed += WaitAfterAttempts(timing, i);
    if (elapsed >= timing.give_up_after) return true;
  }
  return false;
}

int64_t QueueCommitmentReport(Database& db, const CommitmentJob& job) {
  JobStore store(db, JobKind::kCommitment);
  return store.Add(CommitmentJobPayload(job));
}

CommitmentJobWorker::CommitmentJobWorker(SettingsSource settings, Sender sender,
                                         ReportRetryTiming timing,
                                         std::string node)
    : settings_(std::move(settings)),
      sender_(std::move(sender)),
      timing_(timing),
      node_(node.empty() ? NodeName() : std::move(node)) {}

CommitmentJobWorker::~CommitmentJobWorker() { Stop(); }

void CommitmentJobWorker::Start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (thread_.joinable() || stop_) return;
  thread_ = std::thread([this] { Run(); });
}

void CommitmentJobWorker::Wake() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++wakes_;
  }
  wake_.notify_all();
}

void CommitmentJobWorker::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void CommitmentJobWorker::Run() {
  QueueConnection connection(JobKind::kCommitment,
                             "storage commitment reports", kProcedure);
  uint64_t seen = 0;
  auto stopping = [this] {
    std::lock_guard<std::mutex> lock(mutex_);
    return stop_;
  };
  while (!stopping()) {
    const std::shared_ptr<const Config> config = settings_();
    if (JobsQueued(*config)) {
      const Log log = Log::Of(*config);
      connection.Round(*config, log, [&](JobStore& store) {
        // The lease of a claim covers one attempt (the connection, the
        // association and the answer each within the timeout).
        for (int i = 0; i < kRoundSize && !stopping(); ++i) {
          std::optional<QueuedJob> row = store.Claim(node_, 60);
          if (!row) break;
          Attempt(store, *row, *config, log);
        }
      });
    } else {
      connection.Close();
    }
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, std::chrono::seconds(1),
                   [&] { return stop_ || wakes_ != seen; });
    seen = wakes_;
  }
}

void CommitmentJobWorker::Attempt(JobStore& store, const QueuedJob& row,
                                  const Config& config, const Log& log) {
  std::optional<CommitmentJob> job = ParseCommitmentJob(row.payload);
  if (!job) {
    log.Error(kInternalError,
              "Storage commitment report job " + std::to_string(row.id) +
                  " cannot be read; it is ended as failed",
              kProcedure);
    store.Finish(row.id, node_, false, "unreadable");
    return;
  }
  if (job->destination.tls) job->destination.tls_files = TlsFilesOf(config);
  std::string error = "not sent";
  GuardWith([&] { error = sender_(job->destination, job->report); },
            [&](const FailureInfo& info) { error = info.description; });
  const std::string& uid = job->report.transaction_uid;
  if (error.empty()) {
    store.Finish(row.id, node_, true, "delivered");
    log.Debug("Storage commitment report " + uid + " delivered to " +
                  Where(job->destination) + " on attempt " +
                  std::to_string(row.attempts),
              kProcedure);
    return;
  }
  if (GiveUpAfterAttempts(timing_, row.attempts)) {
    store.Finish(row.id, node_, false, error);
    log.Error(0,
              UndeliveredReportText(job->destination, job->report,
                                    row.attempts, error),
              kProcedure);
    return;
  }
  // The row waits out its lease, then any front tries again.
  const std::chrono::milliseconds wait =
      WaitAfterAttempts(timing_, row.attempts);
  store.Renew(row.id, node_, LeaseSeconds(wait), error);
  log.Debug("Storage commitment report " + uid + " for " +
                Where(job->destination) + ": " + error + "; next attempt in " +
                std::to_string(LeaseSeconds(wait)) + " s",
            kProcedure);
}

}  // namespace vantor
