// The importer's thread: takes what reception has made durable in the
// incoming folder into the archive, when the instance value Import is on.
//
// It wakes when reception reports a stored image, and every 10 s to look
// through the incoming folder for images it was not told of (those stored
// before a start, or moved back from the failed folder). Images claimed by
// an earlier process that ended mid-import are taken first. Reports queue
// while a batch is being imported, so that the next batch takes them all.
//
// When the settings queue work in the archive database (JobQueue
// "database" on a database server), fronts may share one incoming folder:
// every image found or reported is queued in tblImportJobs (one row per
// image at most), and an image is claimed into the importing folder only by
// the front that claimed its row. The row is deleted once the image has
// left the importing folder (imported, or moved to the failed folder); an
// image left claimed (a front that stopped, or an import deferred) is taken
// again by whichever front claims its row when the lease has run out.
#ifndef VANTOR_IMPORT_IMPORT_WORKER_H_
#define VANTOR_IMPORT_IMPORT_WORKER_H_

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vantor {

struct Config;

class ImportWorker {
 public:
  // The settings snapshot of each round comes from `settings`.
  using SettingsSource = std::function<std::shared_ptr<const Config>()>;
  // `node` is the name rows are claimed under (NodeName() when empty).
  explicit ImportWorker(SettingsSource settings, std::string node = {});
  ~ImportWorker();  // Stop()
  ImportWorker(const ImportWorker&) = delete;
  ImportWorker& operator=(const ImportWorker&) = delete;

  // Starts the thread; it takes a settings snapshot on every round, so
  // that switching Import on or off takes effect within a round.
  void Start();

  // Reception has stored the image `uid` in the incoming folder.
  void Notify(const std::string& uid);

  // Ends the thread after the batch in hand. Idempotent.
  void Stop();

  // Images imported since the start (for tests and the logs).
  long imported() const;

 private:
  class Rounds;  // the thread's rounds (import_worker.cc)
  void Run();

  const SettingsSource settings_;
  const std::string node_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<std::string> reported_;  // guarded by mutex_
  bool stop_ = false;                  // guarded by mutex_
  long imported_ = 0;                  // guarded by mutex_
  std::thread thread_;
};

}  // namespace vantor

#endif  // VANTOR_IMPORT_IMPORT_WORKER_H_
