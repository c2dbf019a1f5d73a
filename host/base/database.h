// The archive database over unixODBC. Each request works on a Database of
// its own; statements are the service's own text, logged as run. A Database
// made with a ConnectionPool (host/base/connection_pool.h) takes its
// physical connection from the pool on Open and gives it back on Close.
#ifndef VANTOR_HOST_BASE_DATABASE_H_
#define VANTOR_HOST_BASE_DATABASE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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

  // Runs a statement and reads its whole result. Throws a Failure when not
  // open or when the driver rejects the statement.
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

// Doubles every apostrophe, so that the value cannot end a quoted literal.
std::string SqlQuote(std::string_view value);

}  // namespace vantor

#endif  // VANTOR_HOST_BASE_DATABASE_H_
