// The queue of work in the archive database that any front may carry out:
// one table per kind (tblMoveJobs, tblCommitmentJobs, tblImportJobs; the
// schema files make them). A front claims the oldest waiting row, or a
// running one whose lease ran out, under its node name; it renews the lease
// while it works and ends the row; a front that stopped renewing loses the
// row to the next claim. Claims skip rows another front holds locked at
// that moment (FOR UPDATE SKIP LOCKED on PostgreSQL; UPDLOCK, READPAST,
// ROWLOCK on SQL Server), so that no two fronts ever hold one row and none
// waits on another. Lease times are the database server's, so that the
// fronts' clocks need not agree. SQLite archives have no queue: their fronts
// keep handing their work over in files.
#ifndef VANTOR_JOBS_JOB_STORE_H_
#define VANTOR_JOBS_JOB_STORE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/base/config.h"
#include "host/base/database.h"

namespace vantor {

enum class JobKind { kMove, kCommitment, kImport };

// A row of the queue as read.
struct QueuedJob {
  int64_t id = 0;
  std::string state;  // "waiting", "running", "done", "failed", "cancelled"
  std::string payload;
  std::string owner;     // "" while waiting
  std::string progress;  // the worker's last report
  int attempts = 0;      // claims so far, this one included
};

// Whether the settings queue work in the archive database: JobQueue is
// "database" and the archive is not SQLite.
bool JobsQueued(const Config& config);

// The rows of a queue that wait and that run.
struct JobCounts {
  int64_t waiting = 0;
  int64_t running = 0;
};

// The job table of `kind` ("tblMoveJobs" ...).
const char* JobTable(JobKind kind);

// The name a front works under: "<host>:<process id>".
std::string NodeName();

class JobStore {
 public:
  // On `db`, open on the archive. Throws a Failure when the archive is not
  // on PostgreSQL or SQL Server. With a `scope` (the importer's: its
  // incoming folder), rows are queued, claimed and counted in that scope
  // only, so that fronts with folders of their own never take each other's
  // images; without one, in the whole table.
  JobStore(Database& db, JobKind kind, std::string scope = std::string());

  // Queues `payload` (any text); returns the new row's id.
  int64_t Add(const std::string& payload);

  // Queues a row for each of `payloads` that no waiting or running row
  // carries yet (the importer's table holds at most one such row per
  // payload: its schema says so). Returns how many were queued.
  int AddMissing(const std::vector<std::string>& payloads);

  // Claims the oldest row that waits or whose lease ran out for `owner`,
  // with a lease of `lease_seconds`; nothing when there is none free.
  std::optional<QueuedJob> Claim(const std::string& owner, int lease_seconds);
  // The same for up to `most` rows at once, oldest first.
  std::vector<QueuedJob> ClaimMany(const std::string& owner, int lease_seconds,
                                   int most);

  // Extends the lease of a row `owner` holds and records `progress`; false
  // when the row is no longer its own (taken over, or ended).
  bool Renew(int64_t id, const std::string& owner, int lease_seconds,
             const std::string& progress);

  // Ends a row `owner` holds as done (`ok`) or failed, with its last
  // progress; false when the row is no longer its own.
  bool Finish(int64_t id, const std::string& owner, bool ok,
              const std::string& progress);

  // Deletes the rows `ids` that `owner` holds (work whose outcome is kept
  // elsewhere, such as an imported image's rows). Returns how many went.
  int Remove(const std::vector<int64_t>& ids, const std::string& owner);

  // Cancels a row that waits or runs (its holder's next renewal fails);
  // false when it had ended.
  bool Cancel(int64_t id);

  // The rows that wait and run now.
  JobCounts Counts();

  // The row as it stands; nothing when there is no such row.
  std::optional<QueuedJob> Get(int64_t id);

 private:
  // " AND Scope = '...'" with a scope, else "".
  std::string InScope(const std::string& alias = std::string()) const;

  Database& db_;
  const std::string table_;
  const std::string scope_;
  bool sql_server_ = false;
};

}  // namespace vantor

#endif  // VANTOR_JOBS_JOB_STORE_H_
