#include "import/import_worker.h"

#include <algorithm>
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

// The archive connection of the importer, opened on demand and kept across
// rounds; reopened when DBServer changes or the database stopped answering.
class ArchiveConnection {
 public:
  // The importer on the archive of `db_server`; null when it cannot be
  // opened (logged by ConOpen).
  Importer* For(const std::string& db_server) {
    if (importer_ && db_server == db_server_) return importer_.get();
    Reset();
    if (!ConOpen(db_, db_server)) return nullptr;
    const ArchiveDialect dialect = DialectOf(db_server, db_.DbmsName());
    importer_ =
        std::make_unique<Importer>(db_, ImportStatements::Of(dialect));
    importer_->Setup();
    db_server_ = db_server;
    return importer_.get();
  }

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

ImportWorker::ImportWorker(SettingsSource settings)
    : settings_(std::move(settings)) {}

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

void ImportWorker::Run() {
  ArchiveConnection connection;
  Clock::time_point next_scan = Clock::now();
  Clock::time_point retry_at = Clock::now();
  int backoff_seconds = 1;
  std::string last_temp;
  bool look_at_claims = true;
  for (;;) {
    std::vector<std::string> reported;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      // A report is taken at once, unless the database is being waited
      // for; the folder is looked through when its time has come.
      while (!stop_) {
        const Clock::time_point now = Clock::now();
        if (now >= retry_at && (!reported_.empty() || now >= next_scan)) break;
        wake_.wait_until(lock, reported_.empty() ? std::max(retry_at, next_scan)
                                                 : retry_at);
      }
      if (stop_) break;
      if (!reported_.empty() && reported_.size() < kBatchSize)
        wake_.wait_for(lock, kGatherTime,
                       [&] { return stop_ || reported_.size() >= kBatchSize; });
      reported.swap(reported_);
    }
    std::shared_ptr<const Config> config = settings_();
    if (!config->Import) {
      connection.Reset();
      next_scan = Clock::now() + kScanPeriod;
      continue;
    }
    GuardVoid(kProcedure, [&] {
      const std::string temp = ToFsPath(config->Temp);
      // What waits: claims left over first, then what was reported, then,
      // when due, whatever else lies in the incoming folder.
      // Claims are looked for at the start (a killed process left them)
      // and after a round that left some of its own.
      std::vector<std::string> waiting;
      if (look_at_claims) waiting = ImagesIn(ImportingFolder(temp), false);
      look_at_claims = false;
      const size_t leftovers = waiting.size();
      waiting.insert(waiting.end(), reported.begin(), reported.end());
      if (Clock::now() >= next_scan || temp != last_temp) {
        std::vector<std::string> found = ImagesIn(temp, true);
        waiting.insert(waiting.end(), found.begin(), found.end());
        next_scan = Clock::now() + kScanPeriod;
        last_temp = temp;
      }
      if (waiting.empty()) return;
      Importer* importer = connection.For(config->DBServer);
      if (importer == nullptr) {
        look_at_claims = true;
        // The reports stay for the next attempt.
        std::lock_guard<std::mutex> lock(mutex_);
        reported_.insert(reported_.end(), reported.begin(), reported.end());
        retry_at = Clock::now() + std::chrono::seconds(backoff_seconds);
        backoff_seconds = std::min(backoff_seconds * 2, kMaxBackoffSeconds);
        return;
      }
      std::set<std::string> seen;
      std::vector<std::string> batch;
      bool unavailable = false;
      bool deferred = false;
      auto run_batch = [&] {
        Importer::Result r =
            importer->ImportClaimed(temp, config->ImportArchive, batch);
        batch.clear();
        if (r.deferred > 0) deferred = true;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          imported_ += r.imported;
        }
        if (r.database_unavailable) unavailable = true;
      };
      for (size_t i = 0; i < waiting.size() && !unavailable; ++i) {
        const std::string& uid = waiting[i];
        if (!seen.insert(uid).second) continue;
        if (i >= leftovers && !ClaimReceived(temp, uid)) continue;
        batch.push_back(uid);
        if (batch.size() >= kBatchSize) run_batch();
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_) break;
      }
      if (!batch.empty() && !unavailable) run_batch();
      look_at_claims = unavailable || deferred;
      if (unavailable) {
        connection.Reset();
        retry_at = Clock::now() + std::chrono::seconds(backoff_seconds);
        backoff_seconds = std::min(backoff_seconds * 2, kMaxBackoffSeconds);
      } else {
        backoff_seconds = 1;
        retry_at = Clock::now();
      }
    });
  }
  connection.Reset();
}

}  // namespace vantor
