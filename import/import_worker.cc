#include "import/import_worker.h"

#include <algorithm>
#include <map>
#include <memory>
#include <set>

#include "host/base/config.h"
#include "host/base/database.h"
#include "host/base/failure.h"
#include "host/base/log.h"
#include "host/base/paths.h"
#include "import/archive_files.h"
#include "import/import_statements.h"
#include "import/importer.h"
#include "jobs/job_store.h"
#include "retrieve/store/incoming_files.h"

namespace vantor {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kProcedure[] = "ImportWorker";
constexpr auto kScanPeriod = std::chrono::seconds(10);
constexpr size_t kBatchSize = 64;
// How long a report waits for others to share its batch: each batch costs
// a folder flush and a commit, whatever its size.
constexpr auto kGatherTime = std::chrono::milliseconds(30);
constexpr int kMaxBackoffSeconds = 60;
// Batches claimed from the queue in one round; the next round follows.
constexpr int kQueuedBatches = 16;

// The archive connection of the importer, opened on demand and kept across
// rounds; reopened when DBServer changes or the database stopped answering.
class ArchiveConnection {
 public:
  // The importer on the archive of `db_server`; null when it cannot be
  // opened (logged by ConOpen).
  Importer* For(const std::string& db_server, const Log& log) {
    if (importer_ && db_server == db_server_) return importer_.get();
    Reset();
    if (!ConOpen(db_, db_server, log)) return nullptr;
    const ArchiveDialect dialect = DialectOf(db_server, db_.DbmsName());
    importer_ = std::make_unique<Importer>(db_, ImportStatements::Of(dialect));
    importer_->Setup(log);
    db_server_ = db_server;
    return importer_.get();
  }

  // The connection the importer works on (open while For returned one).
  Database& db() { return db_; }

  void Reset() noexcept {
    importer_.reset();
    if (db_.IsOpen()) ConClose(db_);
    db_server_.clear();
  }

 private:
  Database db_;
  std::string db_server_;
  std::unique_ptr<Importer> importer_;
};

}  // namespace

ImportWorker::ImportWorker(SettingsSource settings, std::string node)
    : settings_(std::move(settings)),
      node_(node.empty() ? NodeName() : std::move(node)) {}

ImportWorker::~ImportWorker() { Stop(); }

void ImportWorker::Start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (thread_.joinable() || stop_) return;
  thread_ = std::thread([this] { Run(); });
}

void ImportWorker::Notify(const std::string& uid) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reported_.push_back(uid);
  }
  wake_.notify_one();
}

void ImportWorker::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
    thread_.join();
}

long ImportWorker::imported() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return imported_;
}

// The thread's state from round to round: the archive connection, when the
// incoming folder is looked through next, when a database that did not
// answer is tried again, and whether claims are to be looked for.
class ImportWorker::Rounds {
 public:
  explicit Rounds(ImportWorker& worker) : worker_(worker) {}

  // Waits until a report or the folder's turn is due (or the worker stops:
  // false) and takes the reports.
  bool Wait(std::vector<std::string>& reported);

  // One round on the settings snapshot of the moment.
  void Run(const std::vector<std::string>& reported);

  void Close() noexcept { connection_.Reset(); }

 private:
  struct Outcome {
    bool unavailable = false;  // the database stopped answering
    bool deferred = false;     // an image was left claimed
  };

  void Import(const Config& config, const std::vector<std::string>& reported);
  // What waits: claims left over first (`leftovers` of them), then what was
  // reported, then, when due, whatever else lies in the incoming folder.
  std::vector<std::string> Waiting(const std::string& temp,
                                   const std::vector<std::string>& reported,
                                   size_t& leftovers);
  // Queues `found` in the archive database, then claims queued images
  // there in batches and imports them.
  Outcome ImportQueued(Importer& importer, const Log& log,
                       const std::string& temp, const Config& config,
                       const std::vector<std::string>& found);
  // Claims and imports `waiting` in batches.
  Outcome ImportWaiting(Importer& importer, const Log& log,
                        const std::string& temp,
                        const std::string& archive_text,
                        const std::vector<std::string>& waiting,
                        size_t leftovers);
  void BackOff();

  ImportWorker& worker_;
  ArchiveConnection connection_;
  Clock::time_point next_scan_ = Clock::now();
  Clock::time_point retry_at_ = Clock::now();
  int backoff_seconds_ = 1;
  std::string last_temp_;
  // Claims are looked for at the start (a killed process left them) and
  // after a round that left some of its own.
  bool look_at_claims_ = true;
};

void ImportWorker::Run() {
  Rounds rounds(*this);
  for (;;) {
    std::vector<std::string> reported;
    if (!rounds.Wait(reported)) break;
    rounds.Run(reported);
  }
  rounds.Close();
}

bool ImportWorker::Rounds::Wait(std::vector<std::string>& reported) {
  std::unique_lock<std::mutex> lock(worker_.mutex_);
  std::vector<std::string>& waiting = worker_.reported_;
  // A report is taken at once, unless the database is being waited for; the
  // folder is looked through when its time has come.
  while (!worker_.stop_) {
    const Clock::time_point now = Clock::now();
    if (now >= retry_at_ && (!waiting.empty() || now >= next_scan_)) break;
    worker_.wake_.wait_until(
        lock, waiting.empty() ? std::max(retry_at_, next_scan_) : retry_at_);
  }
  if (worker_.stop_) return false;
  if (!waiting.empty() && waiting.size() < kBatchSize) {
    worker_.wake_.wait_for(lock, kGatherTime, [&] {
      return worker_.stop_ || waiting.size() >= kBatchSize;
    });
  }
  reported.swap(waiting);
  return true;
}

void ImportWorker::Rounds::Run(const std::vector<std::string>& reported) {
  std::shared_ptr<const Config> config = worker_.settings_();
  if (!config->Import) {
    connection_.Reset();
    next_scan_ = Clock::now() + kScanPeriod;
    return;
  }
  GuardVoid(kProcedure, [&] { Import(*config, reported); });
}

void ImportWorker::Rounds::Import(const Config& config,
                                  const std::vector<std::string>& reported) {
  const std::string temp = ToFsPath(config.Temp);
  size_t leftovers = 0;
  const std::vector<std::string> waiting = Waiting(temp, reported, leftovers);
  // Queued, other fronts' images may wait in the database.
  const bool queued = JobsQueued(config);
  if (waiting.empty() && !queued) return;
  const Log log = Log::Of(config);
  Importer* importer = connection_.For(config.DBServer, log);
  if (importer == nullptr) {
    look_at_claims_ = true;
    // The reports stay for the next attempt.
    {
      std::lock_guard<std::mutex> lock(worker_.mutex_);
      worker_.reported_.insert(worker_.reported_.end(), reported.begin(),
                               reported.end());
    }
    BackOff();
    return;
  }
  const Outcome outcome =
      queued ? ImportQueued(*importer, log, temp, config, waiting)
             : ImportWaiting(*importer, log, temp, config.ImportArchive,
                             waiting, leftovers);
  look_at_claims_ = outcome.unavailable || outcome.deferred;
  if (outcome.unavailable) {
    connection_.Reset();
    BackOff();
  } else {
    backoff_seconds_ = 1;
    retry_at_ = Clock::now();
  }
}

std::vector<std::string> ImportWorker::Rounds::Waiting(
    const std::string& temp, const std::vector<std::string>& reported,
    size_t& leftovers) {
  std::vector<std::string> waiting;
  if (look_at_claims_) waiting = ImagesIn(ImportingFolder(temp), false);
  look_at_claims_ = false;
  leftovers = waiting.size();
  waiting.insert(waiting.end(), reported.begin(), reported.end());
  if (Clock::now() >= next_scan_ || temp != last_temp_) {
    std::vector<std::string> found = ImagesIn(temp, true);
    waiting.insert(waiting.end(), found.begin(), found.end());
    next_scan_ = Clock::now() + kScanPeriod;
    last_temp_ = temp;
  }
  return waiting;
}

ImportWorker::Rounds::Outcome ImportWorker::Rounds::ImportWaiting(
    Importer& importer, const Log& log, const std::string& temp,
    const std::string& archive_text, const std::vector<std::string>& waiting,
    size_t leftovers) {
  Outcome outcome;
  std::set<std::string> seen;
  std::vector<std::string> batch;
  auto run_batch = [&] {
    Importer::Result r = importer.ImportClaimed(log, temp, archive_text, batch);
    batch.clear();
    if (r.deferred > 0) outcome.deferred = true;
    {
      std::lock_guard<std::mutex> lock(worker_.mutex_);
      worker_.imported_ += r.imported;
    }
    if (r.database_unavailable) outcome.unavailable = true;
  };
  for (size_t i = 0; i < waiting.size() && !outcome.unavailable; ++i) {
    const std::string& uid = waiting[i];
    if (!seen.insert(uid).second) continue;
    if (i >= leftovers && !ClaimReceived(temp, uid)) continue;
    batch.push_back(uid);
    if (batch.size() >= kBatchSize) run_batch();
    std::lock_guard<std::mutex> lock(worker_.mutex_);
    if (worker_.stop_) break;
  }
  if (!batch.empty() && !outcome.unavailable) run_batch();
  return outcome;
}

ImportWorker::Rounds::Outcome ImportWorker::Rounds::ImportQueued(
    Importer& importer, const Log& log, const std::string& temp,
    const Config& config, const std::vector<std::string>& found) {
  Outcome outcome;
  // A batch may take a while on a slow disk: its rows are held for four
  // leases, so that no other front takes them over meanwhile.
  const int lease = 4 * std::max(config.JobLeaseSeconds, 1);
  GuardWith(
      [&] {
        // The images of this incoming folder: fronts that share it share
        // them, a folder of another front's is not this front's to empty.
        JobStore store(connection_.db(), JobKind::kImport, temp);
        std::vector<std::string> names;
        std::set<std::string> seen;
        for (const std::string& uid : found)
          if (IsFileNameUid(uid) && seen.insert(uid).second)
            names.push_back(uid);
        for (size_t i = 0; i < names.size(); i += kBatchSize) {
          const size_t end = std::min(names.size(), i + kBatchSize);
          store.AddMissing(std::vector<std::string>(names.begin() + i,
                                                    names.begin() + end));
        }
        for (int round = 0; round < kQueuedBatches; ++round) {
          {
            std::lock_guard<std::mutex> lock(worker_.mutex_);
            if (worker_.stop_) break;
          }
          const std::vector<QueuedJob> rows =
              store.ClaimMany(worker_.node_, lease, kBatchSize);
          if (rows.empty()) break;
          // The row's holder owns the image's claim: one left in the
          // importing folder is taken as it is, else the image is claimed
          // from the incoming folder; a row with neither is done with, as
          // is one whose payload names no file of the folder.
          std::vector<std::string> batch;
          std::map<std::string, int64_t> row_of;
          std::vector<int64_t> done;
          for (const QueuedJob& row : rows) {
            const std::string& uid = row.payload;
            if (IsFileNameUid(uid) &&
                (IsClaimed(temp, uid) || ClaimReceived(temp, uid))) {
              batch.push_back(uid);
              row_of[uid] = row.id;
            } else {
              done.push_back(row.id);
            }
          }
          if (!batch.empty()) {
            const Importer::Result r = importer.ImportClaimed(
                log, temp, config.ImportArchive, batch);
            {
              std::lock_guard<std::mutex> lock(worker_.mutex_);
              worker_.imported_ += r.imported;
            }
            if (r.deferred > 0) outcome.deferred = true;
            if (r.database_unavailable) {
              // The rows wait out their lease; this front or another
              // takes them again.
              outcome.unavailable = true;
              break;
            }
            // An image still claimed was deferred: its row stays held until
            // the lease runs out, then it is tried again.
            for (const std::string& uid : batch)
              if (!IsClaimed(temp, uid)) done.push_back(row_of[uid]);
          }
          store.Remove(done, worker_.node_);
        }
      },
      [&](const FailureInfo& failure) {
        log.Error(failure.number, failure.description + " (import queue)",
                  kProcedure);
        outcome.unavailable = true;
      });
  return outcome;
}

void ImportWorker::Rounds::BackOff() {
  retry_at_ = Clock::now() + std::chrono::seconds(backoff_seconds_);
  backoff_seconds_ = std::min(backoff_seconds_ * 2, kMaxBackoffSeconds);
}

}  // namespace vantor
