// The archive database over unixODBC. Each request works on a Database of
// its own; statements are the service's own text, logged as run. A Database
// made with a ConnectionPool (host/base/connection_pool.h) takes its
// physical connection from the pool on Open and gives it back on Close.
#ifndef VANTOR_HOST_BASE_DATABASE_H_
#define VANTOR_HOST_BASE_DATABASE_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/base/failure.h"
#include "host/base/log.h"
#include "host/base/value.h"

namespace vantor {

// A result read to its end: column names as the driver gives them, and the
// rows with typed values.
struct ResultSet {
  std::vector<std::string> columns;
  std::vector<std::vector<Value>> rows;

  // Index of the column named `name` (compared without regard to case), or -1.
  int ColumnIndex(std::string_view name) const;
  // The value of column `name` in row `row`; throws a Failure (3265, "Item
  // cannot be found in the collection corresponding to the requested name or
  // ordinal.") for an unknown column.
  const Value& Get(size_t row, std::string_view name) const;
  bool empty() const { return rows.empty(); }
};

// The connection text for a DBServer setting:
//   "sqlite:PATH"    -> "Driver=SQLite3;Database=PATH;NoCreat=1"  (PATH
//                       translated; a missing file is not created)
//   "odbc:TEXT"      -> TEXT as it stands
//   any other name   -> "driver={SQL Server};server=NAME;uid=K391;
//                        pwd=QpRsTu482;database=TavikDB2"
std::string ConnectionText(const std::string& db_server);

// Makes an empty SQLite database file at the file-system path `path` when
// nothing is there yet, for the tools that write a new archive (opening
// never creates one). Throws a Failure when it cannot be made.
void CreateSqliteFile(const std::string& path);

// A failure the database driver reported: the Failure's number is the
// driver's native error number, `sqlstate` the driver's five-character
// SQLSTATE (empty when it gave none).
class DatabaseFailure : public Failure {
 public:
  DatabaseFailure(int32_t number, const std::string& description,
                  std::string sqlstate)
      : Failure(number, description), sqlstate_(std::move(sqlstate)) {}
  const std::string& sqlstate() const { return sqlstate_; }

 private:
  std::string sqlstate_;
};

// What a database failure means for running the work again.
enum class DbFault {
  // Anything else: the statement's own fault, or one not known to pass.
  kOther,
  // The server gave up the statement (or the whole transaction) to another
  // one: a deadlock victim or a serialization failure. Running it again is
  // likely to succeed. SQLSTATE 40001 (SQL Server native 1205, PostgreSQL),
  // 40P01 (PostgreSQL).
  kConflict,
  // The connection is gone: the server restarted, failed over or ended the
  // session. A new connection is likely to succeed. SQLSTATE class 08,
  // PostgreSQL 57P01/57P02/57P03, and SQL Server's natives for a database
  // that is not (yet) available after a fail-over.
  kConnectionLost,
};
DbFault ClassifyDbFault(std::string_view sqlstate, int32_t native) noexcept;

// How often and after what wait work that failed with a DbFault other than
// kOther is run again.
struct RetryPolicy {
  // Runs again at most this often (so 1 + max_retries attempts in all).
  int max_retries = 3;
  // The wait before the first retry; doubled for each further one.
  std::chrono::milliseconds first_wait{50};
  // Waits `wait`; null: sleeps (the tests record the waits instead).
  std::function<void(std::chrono::milliseconds)> sleep;
};
// The wait before retry `retry` (1 for the first): first_wait doubled per
// earlier retry, then spread by -25 % to +25 % as `jitter` (0 to 1) says,
// so that fronts hit by one fail-over do not come back in step.
std::chrono::milliseconds RetryWait(const RetryPolicy& policy, int retry,
                                    double jitter) noexcept;

// Counts of the database work of a pool's connections, for a status page.
// Safe to update and read from many threads.
struct DatabaseCounters {
  std::atomic<uint64_t> statements{0};  // statements run (attempts)
  std::atomic<uint64_t> errors{0};      // attempts the driver failed
  std::atomic<uint64_t> retries{0};     // statements and units run again
  std::atomic<uint64_t> reconnects{0};  // lost connections opened again
};

class ConnectionPool;

// One physical ODBC connection: its environment and connection handles, the
// statements prepared on it, and whether it may serve another request. Only
// Database and ConnectionPool handle it.
class PhysicalConnection;
struct PhysicalConnectionClose {
  // Disconnects and frees the handles.
  void operator()(PhysicalConnection* connection) const noexcept;
};
using PhysicalConnectionPtr =
    std::unique_ptr<PhysicalConnection, PhysicalConnectionClose>;
// The connection text `connection` was opened with.
const std::string& ConnectionTextOf(const PhysicalConnection& connection);
// Whether `connection` may serve another request: no statement failed on
// it, no transaction is open and autocommit is on.
bool Reusable(const PhysicalConnection& connection) noexcept;

class Database {
 public:
  Database();
  // Takes connections from `pool` and gives them back to it (null: none).
  explicit Database(ConnectionPool* pool);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Closes an open connection first. Throws a Failure with the driver's
  // native error number and message when the open fails. Login and query
  // time-outs are 600 s. With a pool, an idle connection of the pool for
  // the same text is taken instead when there is one and it still reaches
  // its database (an SQLite archive: the file at the path is still the one
  // it has open; a server: "SELECT 1" runs); otherwise the pool's idle
  // connections are closed and a fresh one is opened, failing as it always
  // did. Should the first statement on a taken connection fail, it is
  // dropped and the statement runs once more on a fresh connection.
  void Open(const std::string& connection_text);
  // With a pool, a reusable connection goes back to it.
  void Close() noexcept;
  bool IsOpen() const;

  // Statements outside a transaction that the server gives up as a deadlock
  // victim or for a serialization failure run again on the connection; those
  // that find the connection lost run again on a new one (the lost one is
  // closed, never given back), each after a growing wait, at most
  // retry_policy().max_retries times, every retry in the error log. Inside a
  // transaction, and on an SQLite archive, a failure is thrown at once.
  //
  // Runs a statement and reads its whole result. Throws a Failure (a
  // DatabaseFailure for the driver's) when not open or when the driver
  // rejects the statement.
  ResultSet Query(const std::string& sql);

  // Runs a statement and hands each row to `row` as it is fetched; stops
  // early when `row` returns false. Column names are passed once before the
  // first row to `columns` (may be empty).
  void QueryEach(
      const std::string& sql,
      const std::function<void(const std::vector<std::string>&)>& columns,
      const std::function<bool(const std::vector<Value>&)>& row);

  // Runs a statement without a result set; returns the rows affected.
  int64_t Execute(const std::string& sql);

  // Runs `sql`, a statement with a ? for each of `params` (bound as text),
  // prepared once per physical connection and kept with it. Where the
  // driver cannot prepare it, or a value is not plain ASCII, runs
  // `plain_sql` instead: the same statement with the values written in.
  ResultSet QueryPrepared(const std::string& sql,
                          const std::vector<std::string>& params,
                          const std::string& plain_sql);

  // Makes the connection fit for running a unit of work again after a
  // failure: one that was lost, or that a failure left inside a transaction,
  // is closed (not given back) and a new one opened for the same text.
  void Recover();

  // The retry bounds and the counters of this Database's pool (its own
  // when it has none).
  const RetryPolicy& retry_policy() const;
  DatabaseCounters& counters();

  // The database product as the driver names it ("SQLite", "PostgreSQL",
  // "Microsoft SQL Server", ...). Throws a Failure when not open.
  std::string DbmsName();

 private:
  struct Handles;
  std::unique_ptr<Handles> h_;
};

// Opens `db` on `db_server` (a DBServer setting) with the debug line
// "DB-Connection established" ("ConOpen"); a failure is logged under
// "ConOpen" and returns false. Never throws.
bool ConOpen(Database& db, const std::string& db_server) noexcept;
// The same with the lines in `log` (a handler's log value).
bool ConOpen(Database& db, const std::string& db_server,
             const Log& log) noexcept;

// Closes `db` with the debug line "DB-Connection closed" ("ConClose").
void ConClose(Database& db) noexcept;
void ConClose(Database& db, const Log& log) noexcept;

// Runs `unit`, work that begins a transaction with a statement and ends it,
// on `db`; when it fails with a conflict or a lost connection (ClassifyDbFault)
// it is run again as a whole, after a wait, on a recovered connection
// (Database::Recover), within the bounds of db.retry_policy(). `unit` must
// leave nothing behind on failure that a rerun would trip over (it rolls
// back its own transaction). Each retry is logged. The last failure, and any
// other one, is thrown as it came.
void RunTransaction(Database& db, const std::function<void()>& unit);

// Doubles every apostrophe, so that the value cannot end a quoted literal.
std::string SqlQuote(std::string_view value);

}  // namespace vantor

#endif  // VANTOR_HOST_BASE_DATABASE_H_
