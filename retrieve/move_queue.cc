#include "retrieve/move_queue.h"

#include <chrono>
#include <optional>
#include <utility>

#include "host/base/database.h"
#include "host/base/failure.h"
#include "host/base/paths.h"
#include "jobs/queue_connection.h"
#include "retrieve/detached_start.h"
#include "retrieve/move_handoff.h"

namespace vantor {
namespace {

using Clock = std::chrono::steady_clock;
constexpr char kProcedure[] = "MoveQueue";
// How often the requester's front reads its job's row, and the worker its
// sender's return file.
constexpr auto kRowLook = std::chrono::milliseconds(100);
constexpr auto kSenderLook = std::chrono::milliseconds(100);
// A stopped sender finishes the image on the wire first.
constexpr int kSenderStopSeconds = 15;

bool EndedState(const std::string& state) {
  return state == "done" || state == "failed" || state == "cancelled";
}

// A queued C-MOVE as its requester's front follows it: the row's state and
// progress, read on a connection of its own.
class QueuedMoveJob : public dicom::MoveJob {
 public:
  QueuedMoveJob(std::string connection_text, int64_t id, Log log)
      : text_(std::move(connection_text)), id_(id), log_(std::move(log)) {}

  bool Ended() override {
    Refresh();
    return EndedState(row_.state);
  }

  dicom::MoveProgress Progress() override {
    dicom::MoveProgress progress = ProgressOf(row_.progress);
    if (row_.state == "cancelled") {
      progress.reported = true;
      progress.error = kCancelledError;
    } else if (row_.state == "failed" && progress.error.empty()) {
      progress.reported = true;
      progress.error = "The queued job failed";
    }
    return progress;
  }

  void Stop() override {
    GuardWith(
        [&] {
          Open();
          if (store_->Cancel(id_)) row_.state = "cancelled";
        },
        [&](const FailureInfo& failure) {
          log_.Error(failure.number,
                     failure.description + " (cancelling C-MOVE job " +
                         std::to_string(id_) + ")",
                     kProcedure);
        });
  }

 private:
  void Open() {
    if (store_) return;
    db_.Open(text_);
    store_ = std::make_unique<JobStore>(db_, JobKind::kMove);
  }

  // Reads the row again, at most every kRowLook; while the database cannot
  // be read the last row stands (and the failure is logged once).
  void Refresh() {
    const Clock::time_point now = Clock::now();
    if (read_once_ && now - last_read_ < kRowLook) return;
    last_read_ = now;
    GuardWith(
        [&] {
          Open();
          if (std::optional<QueuedJob> row = store_->Get(id_)) row_ = *row;
          read_once_ = true;
          failing_ = false;
        },
        [&](const FailureInfo& failure) {
          store_.reset();
          db_.Close();
          if (!failing_)
            log_.Error(failure.number,
                       failure.description + " (following C-MOVE job " +
                           std::to_string(id_) + ")",
                       kProcedure);
          failing_ = true;
        });
  }

  const std::string text_;
  const int64_t id_;
  const Log log_;
  Database db_;
  std::unique_ptr<JobStore> store_;
  QueuedJob row_;
  bool read_once_ = false;
  bool failing_ = false;
  Clock::time_point last_read_;
};

}  // namespace

bool MovesQueued(const Config& config) { return JobsQueued(config); }

std::string MergedProgress(std::string_view before, std::string_view run_text) {
  const SendOutcome earlier = ParseReturnFile(before).value_or(SendOutcome{});
  std::optional<SendOutcome> run = ParseReturnFile(run_text);
  SendOutcome out;
  if (run) {
    out = *run;
    out.completed += earlier.completed;
    out.failed += earlier.failed;
    out.warning += earlier.warning;
  } else {
    // Nothing reported by this run yet: the counts of the runs before.
    out.completed = earlier.completed;
    out.failed = earlier.failed;
    out.warning = earlier.warning;
    out.remaining = earlier.remaining;
  }
  return ReturnFileContents(out);
}

std::unique_ptr<dicom::MoveJob> QueueMoveJob(const dicom::RequestContext& context,
                                             const SendJob& job,
                                             const std::function<void()>& wake) {
  JobStore store(context.db, JobKind::kMove);
  const int64_t id = store.Add(FormatSendJob(job));
  context.log.Debug("C-MOVE job " + std::to_string(id) + " queued for " +
                        job.called_aet,
                    kProcedure);
  if (wake) wake();
  return std::make_unique<QueuedMoveJob>(
      ConnectionText(context.config->DBServer), id, context.log);
}

MoveQueueWorkers::MoveQueueWorkers(SettingsSource settings)
    : settings_(std::move(settings)), node_(NodeName()) {}

MoveQueueWorkers::~MoveQueueWorkers() { Stop(); }

void MoveQueueWorkers::Start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!threads_.empty() || stop_) return;
  for (int w = 0; w < kMostWorkers; ++w)
    threads_.emplace_back([this, w] { Run(w); });
}

void MoveQueueWorkers::Wake() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++wakes_;
  }
  wake_.notify_all();
}

void MoveQueueWorkers::Stop() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    threads.swap(threads_);
  }
  wake_.notify_all();
  for (std::thread& t : threads) t.join();
}

bool MoveQueueWorkers::Stopping() {
  std::lock_guard<std::mutex> lock(mutex_);
  return stop_;
}

void MoveQueueWorkers::Run(int worker) {
  QueueConnection connection(JobKind::kMove, "C-MOVE queue", kProcedure);
  uint64_t seen = 0;
  while (!Stopping()) {
    const std::shared_ptr<const Config> config = settings_();
    if (MovesQueued(*config) && worker < config->MoveWorkers) {
      const Log log = Log::Of(*config);
      connection.Round(*config, log, [&](JobStore& store) {
        // A bounded round; the next begins after the wait below.
        for (int i = 0; i < 100 && !Stopping(); ++i) {
          std::optional<QueuedJob> job =
              store.Claim(node_, config->JobLeaseSeconds);
          if (!job) break;
          // More may wait: another worker looks too.
          Wake();
          struct Running {
            std::atomic<int>& n;
            explicit Running(std::atomic<int>& count) : n(count) { ++n; }
            ~Running() { --n; }
          } running(running_);
          CarryOut(store, *job, *config, log);
        }
      });
    } else {
      connection.Close();
    }
    // The first worker looks every second for jobs queued by other fronts
    // (or left by a front that stopped); the others when woken.
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock,
                   worker == 0 ? std::chrono::seconds(1) : std::chrono::seconds(10),
                   [&] { return stop_ || wakes_ != seen; });
    seen = wakes_;
  }
}

void MoveQueueWorkers::CarryOut(JobStore& store, const QueuedJob& job,
                                const Config& config, const Log& log) {
  const std::string what = "C-MOVE job " + std::to_string(job.id);
  std::optional<SendJob> send = ParseSendJob(job.payload);
  if (!send) {
    SendOutcome refused;
    refused.error = "The queued job is not one the service writes";
    store.Finish(job.id, node_, false, ReturnFileContents(refused));
    log.Error(0, what + ": " + refused.error, kProcedure);
    return;
  }
  const SendOutcome before = ParseReturnFile(job.progress).value_or(SendOutcome{});
  send->skip = before.completed + before.failed + before.warning;
  log.Debug(what + (job.attempts > 1 ? " taken over (claim " +
                                           std::to_string(job.attempts) +
                                           "), " + std::to_string(send->skip) +
                                           " images sent before"
                                     : " taken"),
            kProcedure);
  send->work_directory = MoveWorkDirectory(config);
  const int32_t n = WriteJobFile(*send, config.DCM);
  const std::string return_path = ToFsPath(ReturnFileText(config.DCM, n));
  // The sender ends with this front, so that no front sends behind the back
  // of the one that takes the job over.
  StartedProgram sender =
      StartDetached(InProgramDir("vantor-send"),
                    {ToFsPath(JobFileText(config.DCM, n))}, -1,
                    /*ends_with_service=*/true);
  const auto lease = std::chrono::seconds(config.JobLeaseSeconds);
  std::string reported = job.progress;
  Clock::time_point renewed = Clock::now();
  // Ends with the sender; a sender that is stopped ends within
  // kSenderStopSeconds after the image on the wire.
  for (;;) {
    const bool ended = sender.WaitEndedFor(kSenderLook);
    const std::string text = ReadReturnFile(return_path);
    const std::string merged =
        text.empty() ? reported : MergedProgress(job.progress, text);
    if (ended) {
      reported = merged;
      break;
    }
    if (Stopping()) {
      // Left to the next front's claim once the lease runs out.
      sender.Terminate();
      sender.WaitEnded(kSenderStopSeconds);
      log.Debug(what + " left to another front: this one stops", kProcedure);
      return;
    }
    const Clock::time_point now = Clock::now();
    if (merged == reported && now - renewed < lease / 3) continue;
    bool held = true;
    bool written = false;
    GuardWith(
        [&] {
          held = store.Renew(job.id, node_, config.JobLeaseSeconds, merged);
          written = true;
        },
        [](const FailureInfo&) {});
    if (written && held) {
      reported = merged;
      renewed = now;
      continue;
    }
    // Taken over or cancelled; or the database has not been reached for
    // so long that the lease may have passed to another front.
    if (!written && now - renewed < lease - std::chrono::seconds(2)) continue;
    sender.Terminate();
    sender.WaitEnded(kSenderStopSeconds);
    log.Error(0,
              what + (written ? " was cancelled or taken over; its sender stopped"
                              : " could not be renewed; its sender stopped"),
              kProcedure);
    return;
  }
  if (store.Finish(job.id, node_, true, reported)) {
    log.Debug(what + " ended: " + reported, kProcedure);
  } else {
    log.Error(0, what + " ended, but the row was no longer this front's",
              kProcedure);
  }
}

}  // namespace vantor
