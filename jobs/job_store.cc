#include "jobs/job_store.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <utility>

#include "host/base/failure.h"
#include "host/base/text.h"

namespace vantor {
namespace {

std::string Quoted(const std::string& text) {
  return "'" + SqlQuote(text) + "'";
}

std::string TextOf(const ResultSet& rows, size_t row, std::string_view column) {
  return rows.Get(row, column).ToText();
}

int64_t NumberOf(const ResultSet& rows, size_t row, std::string_view column) {
  const Value& value = rows.Get(row, column);
  if (value.IsInteger()) return value.integer();
  if (value.IsDecimal()) return static_cast<int64_t>(value.decimal());
  return std::stoll(value.ToText());
}

QueuedJob JobOf(const ResultSet& rows, size_t row) {
  QueuedJob job;
  job.id = NumberOf(rows, row, "JobID");
  job.state = TextOf(rows, row, "State");
  job.payload = TextOf(rows, row, "Payload");
  job.owner = TextOf(rows, row, "Owner");
  job.progress = TextOf(rows, row, "Progress");
  job.attempts = static_cast<int>(NumberOf(rows, row, "Attempts"));
  return job;
}

constexpr char kColumns[] = "JobID, State, Payload, Owner, Progress, Attempts";

}  // namespace

const char* JobTable(JobKind kind) {
  switch (kind) {
    case JobKind::kMove: return "tblMoveJobs";
    case JobKind::kCommitment: return "tblCommitmentJobs";
    case JobKind::kImport: return "tblImportJobs";
  }
  return "tblMoveJobs";
}

bool JobsQueued(const Config& config) {
  return config.JobQueue == "database" &&
         !StartsWithIgnoringCase(config.DBServer, "sqlite:");
}

std::string NodeName() {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0')
    std::snprintf(host, sizeof host, "localhost");
  return std::string(host) + ":" + std::to_string(::getpid());
}

JobStore::JobStore(Database& db, JobKind kind, std::string scope)
    : db_(db), table_(JobTable(kind)), scope_(std::move(scope)) {
  const std::string dbms = db_.DbmsName();
  sql_server_ = dbms.find("SQL Server") != std::string::npos;
  if (!sql_server_ && dbms.find("PostgreSQL") == std::string::npos)
    throw Failure(kInternalError,
                  "The job queue needs a PostgreSQL or SQL Server archive, not " +
                      dbms);
}

std::string JobStore::InScope(const std::string& alias) const {
  if (scope_.empty()) return "";
  return " AND " + (alias.empty() ? "" : alias + ".") + "Scope = " +
         Quoted(scope_);
}

int64_t JobStore::Add(const std::string& payload) {
  const std::string columns = scope_.empty() ? " (Payload)" : " (Scope, Payload)";
  const std::string values =
      (scope_.empty() ? "" : Quoted(scope_) + ", ") + Quoted(payload);
  const std::string sql =
      sql_server_ ? "INSERT INTO " + table_ + columns +
                        " OUTPUT inserted.JobID VALUES (" + values + ")"
                  : "INSERT INTO " + table_ + columns + " VALUES (" + values +
                        ") RETURNING JobID";
  const ResultSet rows = db_.Query(sql);
  if (rows.empty()) throw Failure(kInternalError, "No job id from " + table_);
  return NumberOf(rows, 0, "JobID");
}

int JobStore::AddMissing(const std::vector<std::string>& payloads) {
  if (payloads.empty()) return 0;
  std::string values;
  for (const std::string& payload : payloads) {
    if (!values.empty()) values += ", ";
    values += "(" + Quoted(payload) + ")";
  }
  // The NOT EXISTS leaves out what is queued already. Two fronts queuing
  // one payload at once are settled by the unique index of the importer's
  // table on PostgreSQL (ON CONFLICT), and on SQL Server by holding the
  // range looked at until the insert is done (UPDLOCK, HOLDLOCK).
  std::string sql = "INSERT INTO " + table_ +
                    (scope_.empty() ? " (Payload) SELECT v.p"
                                    : " (Scope, Payload) SELECT " +
                                          Quoted(scope_) + ", v.p") +
                    " FROM (VALUES " + values +
                    ") AS v(p) WHERE NOT EXISTS (SELECT 1 FROM " + table_ +
                    (sql_server_ ? " j WITH (UPDLOCK, HOLDLOCK)" : " j") +
                    " WHERE j.Payload = v.p AND j.State IN ('waiting', "
                    "'running')" + InScope("j") + ")";
  if (!sql_server_) sql += " ON CONFLICT DO NOTHING";
  return static_cast<int>(db_.Execute(sql));
}

std::optional<QueuedJob> JobStore::Claim(const std::string& owner,
                                         int lease_seconds) {
  std::vector<QueuedJob> jobs = ClaimMany(owner, lease_seconds, 1);
  if (jobs.empty()) return std::nullopt;
  return jobs.front();
}

std::vector<QueuedJob> JobStore::ClaimMany(const std::string& owner,
                                           int lease_seconds, int most) {
  const std::string lease = std::to_string(lease_seconds);
  const std::string limit = std::to_string(most < 1 ? 1 : most);
  std::string sql;
  if (sql_server_) {
    sql = "WITH next AS (SELECT TOP (" + limit + ") * FROM " + table_ +
          " WITH (UPDLOCK, READPAST, ROWLOCK) WHERE (State = 'waiting' OR "
          "(State = 'running' AND LeaseUntil < SYSUTCDATETIME()))" +
          InScope() +
          " ORDER BY JobID) UPDATE next SET State = 'running', Owner = " +
          Quoted(owner) + ", LeaseUntil = DATEADD(second, " + lease +
          ", SYSUTCDATETIME()), Attempts = Attempts + 1 OUTPUT inserted.JobID, "
          "inserted.State, inserted.Payload, inserted.Owner, inserted.Progress, "
          "inserted.Attempts";
  } else {
    sql = "UPDATE " + table_ + " SET State = 'running', Owner = " +
          Quoted(owner) + ", LeaseUntil = now() + interval '" + lease +
          " seconds', Attempts = Attempts + 1 WHERE JobID IN (SELECT JobID "
          "FROM " + table_ +
          " WHERE (State = 'waiting' OR (State = 'running' AND LeaseUntil < "
          "now()))" + InScope() + " ORDER BY JobID LIMIT " + limit +
          " FOR UPDATE SKIP LOCKED) RETURNING " + kColumns;
  }
  const ResultSet rows = db_.Query(sql);
  std::vector<QueuedJob> jobs;
  for (size_t row = 0; row < rows.rows.size(); ++row)
    jobs.push_back(JobOf(rows, row));
  std::sort(jobs.begin(), jobs.end(),
            [](const QueuedJob& a, const QueuedJob& b) { return a.id < b.id; });
  return jobs;
}

bool JobStore::Renew(int64_t id, const std::string& owner, int lease_seconds,
                     const std::string& progress) {
  const std::string lease = std::to_string(lease_seconds);
  const std::string until =
      sql_server_ ? "DATEADD(second, " + lease + ", SYSUTCDATETIME())"
                  : "now() + interval '" + lease + " seconds'";
  return db_.Execute("UPDATE " + table_ + " SET LeaseUntil = " + until +
                     ", Progress = " + Quoted(progress) +
                     " WHERE JobID = " + std::to_string(id) +
                     " AND Owner = " + Quoted(owner) +
                     " AND State = 'running'") == 1;
}

bool JobStore::Finish(int64_t id, const std::string& owner, bool ok,
                      const std::string& progress) {
  return db_.Execute("UPDATE " + table_ + " SET State = '" +
                     (ok ? "done" : "failed") + "', LeaseUntil = NULL, "
                     "Progress = " + Quoted(progress) + " WHERE JobID = " +
                     std::to_string(id) + " AND Owner = " + Quoted(owner) +
                     " AND State = 'running'") == 1;
}

int JobStore::Remove(const std::vector<int64_t>& ids,
                     const std::string& owner) {
  if (ids.empty()) return 0;
  std::string list;
  for (int64_t id : ids) {
    if (!list.empty()) list += ", ";
    list += std::to_string(id);
  }
  return static_cast<int>(db_.Execute("DELETE FROM " + table_ +
                                      " WHERE JobID IN (" + list +
                                      ") AND Owner = " + Quoted(owner)));
}

bool JobStore::Cancel(int64_t id) {
  return db_.Execute("UPDATE " + table_ + " SET State = 'cancelled', "
                     "LeaseUntil = NULL WHERE JobID = " + std::to_string(id) +
                     " AND State IN ('waiting', 'running')") == 1;
}

JobCounts JobStore::Counts() {
  const ResultSet rows = db_.Query(
      "SELECT SUM(CASE WHEN State = 'waiting' THEN 1 ELSE 0 END) AS Waiting, "
      "SUM(CASE WHEN State = 'running' THEN 1 ELSE 0 END) AS Running FROM " +
      table_ + " WHERE State IN ('waiting', 'running')" + InScope());
  JobCounts counts;
  if (rows.empty()) return counts;
  // No rows at all sum to NULL.
  const auto count = [&](std::string_view column) -> int64_t {
    return rows.Get(0, column).IsNull() ? 0 : NumberOf(rows, 0, column);
  };
  counts.waiting = count("Waiting");
  counts.running = count("Running");
  return counts;
}

std::optional<QueuedJob> JobStore::Get(int64_t id) {
  const ResultSet rows =
      db_.Query(std::string("SELECT ") + kColumns + " FROM " + table_ +
                " WHERE JobID = " + std::to_string(id));
  if (rows.empty()) return std::nullopt;
  return JobOf(rows, 0);
}

}  // namespace vantor
