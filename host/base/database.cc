#include "host/base/database.h"

#include <sql.h>
#include <sqlext.h>
#include <sys/stat.h>

#include <cctype>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <utility>

#include "host/base/config.h"
#include "host/base/connection_pool.h"
#include "host/base/failure.h"
#include "host/base/log.h"
#include "host/base/paths.h"
#include "host/base/text.h"

namespace vantor {
namespace {

constexpr SQLULEN kTimeoutSeconds = 600;
constexpr int32_t kItemNotFound = 3265;
constexpr int32_t kObjectClosed = 3704;

// ---- UTF-8 <-> UTF-16 (SQLWCHAR is 16 bits under unixODBC) ----

std::basic_string<SQLWCHAR> ToWide(std::string_view utf8) {
  std::basic_string<SQLWCHAR> out;
  out.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    uint32_t cp = c;
    size_t extra = 0;
    if (c >= 0xF0 && c < 0xF5) {
      cp = c & 0x07;
      extra = 3;
    } else if (c >= 0xE0 && c < 0xF0) {
      cp = c & 0x0F;
      extra = 2;
    } else if (c >= 0xC2 && c < 0xE0) {
      cp = c & 0x1F;
      extra = 1;
    }
    bool valid = c < 0x80 || extra > 0;
    if (extra > 0) {
      if (i + extra >= utf8.size()) {
        valid = false;
      } else {
        for (size_t k = 1; k <= extra; ++k) {
          unsigned char cc = static_cast<unsigned char>(utf8[i + k]);
          if ((cc & 0xC0) != 0x80) {
            valid = false;
            break;
          }
          cp = (cp << 6) | (cc & 0x3F);
        }
        if ((extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp < 0xE000))) ||
            (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF))) {
          valid = false;
        }
      }
    }
    if (!valid) {
      // A byte that starts no valid sequence stands for itself (Latin-1).
      out.push_back(static_cast<SQLWCHAR>(c));
      ++i;
      continue;
    }
    i += extra + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<SQLWCHAR>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<SQLWCHAR>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<SQLWCHAR>(cp));
    }
  }
  return out;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::string ToUtf8(const SQLWCHAR* text, size_t length) {
  std::string out;
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    uint32_t cp = text[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < length &&
        text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

// ---- handles and diagnostics ----

// Makes the driver manager's conversions between the wide calls and drivers
// with narrow entry points (the SQLite driver) use UTF-8, the service's own
// text: they go by the locale's character set. Done once, before the first
// environment.
void UseUtf8Conversions() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr)
      std::setlocale(LC_CTYPE, "en_US.UTF-8");
  });
}

// An ODBC environment of its own for one connection. The driver manager
// gives every environment one driver environment per driver, and a
// connection is added to and removed from that driver environment's list
// while it connects and disconnects. The SQLite driver keeps that list
// without a lock, and the driver manager locks nothing across connections
// unless its Threading level is 3 (which makes every statement of the
// process wait for every other). Connections opened and closed by parallel
// requests on one shared environment therefore corrupt the heap; with one
// environment per connection nothing is shared.
SQLHENV NewEnvironment() {
  UseUtf8Conversions();
  SQLHENV env = SQL_NULL_HENV;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) {
    throw Failure(kDatabaseError, "The ODBC environment cannot be created.");
  }
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION,
                reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  return env;
}

// Throws the first diagnostic record of `handle` as a Failure: the driver's
// native error number (kDatabaseError when it gives none) and its message.
[[noreturn]] void ThrowDiagnostic(SQLSMALLINT type, SQLHANDLE handle,
                                  const char* fallback) {
  SQLWCHAR state[6] = {0};
  SQLINTEGER native = 0;
  SQLWCHAR message[SQL_MAX_MESSAGE_LENGTH * 2] = {0};
  SQLSMALLINT length = 0;
  std::string text;
  if (handle != SQL_NULL_HANDLE &&
      SQL_SUCCEEDED(SQLGetDiagRecW(type, handle, 1, state, &native, message,
                                   SQL_MAX_MESSAGE_LENGTH * 2, &length))) {
    size_t n = static_cast<size_t>(length);
    if (n >= SQL_MAX_MESSAGE_LENGTH * 2) n = SQL_MAX_MESSAGE_LENGTH * 2 - 1;
    text = ToUtf8(message, n);
  }
  if (text.empty()) text = fallback;
  size_t state_length = 0;
  while (state_length < 5 && state[state_length] != 0) ++state_length;
  throw DatabaseFailure(native != 0 ? native : kDatabaseError, text,
                        ToUtf8(state, state_length));
}

void Check(SQLRETURN rc, SQLSMALLINT type, SQLHANDLE handle,
           const char* fallback) {
  if (!SQL_SUCCEEDED(rc)) ThrowDiagnostic(type, handle, fallback);
}

// A statement handle as the readers below use it; owns nothing.
class StatementView {
 public:
  explicit StatementView(SQLHSTMT stmt) : stmt_(stmt) {}
  SQLHSTMT get() const { return stmt_; }
  void Fail(SQLRETURN rc, const char* fallback) const {
    Check(rc, SQL_HANDLE_STMT, stmt_, fallback);
  }

 private:
  SQLHSTMT stmt_;
};

// Forward only, read-only, the query time-out; drivers that know no
// time-out ignore it.
void SetStatementAttributes(SQLHSTMT stmt) {
  SQLSetStmtAttr(stmt, SQL_ATTR_QUERY_TIMEOUT,
                 reinterpret_cast<SQLPOINTER>(kTimeoutSeconds), 0);
  SQLSetStmtAttr(stmt, SQL_ATTR_CURSOR_TYPE,
                 reinterpret_cast<SQLPOINTER>(SQL_CURSOR_FORWARD_ONLY), 0);
  SQLSetStmtAttr(stmt, SQL_ATTR_CONCURRENCY,
                 reinterpret_cast<SQLPOINTER>(SQL_CONCUR_READ_ONLY), 0);
}

// A statement handle, freed with its cursor on scope exit.
class Statement {
 public:
  explicit Statement(SQLHDBC dbc) {
    Check(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt_), SQL_HANDLE_DBC, dbc,
          "The statement cannot be created.");
    SetStatementAttributes(stmt_);
  }
  ~Statement() { SQLFreeHandle(SQL_HANDLE_STMT, stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  SQLHSTMT get() const { return stmt_; }
  operator StatementView() const { return StatementView(stmt_); }

  // Runs `sql`; returns false when the driver reports no data (a searched
  // change that touched no row).
  bool Run(const std::string& sql) {
    std::basic_string<SQLWCHAR> wide = ToWide(sql);
    SQLRETURN rc = SQLExecDirectW(stmt_, const_cast<SQLWCHAR*>(wide.c_str()),
                                  static_cast<SQLINTEGER>(wide.size()));
    if (rc == SQL_NO_DATA) return false;
    Fail(rc, "The statement cannot be run.");
    return true;
  }

  void Fail(SQLRETURN rc, const char* fallback) {
    Check(rc, SQL_HANDLE_STMT, stmt_, fallback);
  }

 private:
  SQLHSTMT stmt_ = SQL_NULL_HSTMT;
};

struct Column {
  std::string name;
  SQLSMALLINT type = 0;
  SQLSMALLINT scale = 0;
};

std::vector<Column> DescribeColumns(StatementView st) {
  SQLSMALLINT count = 0;
  st.Fail(SQLNumResultCols(st.get(), &count), "The result cannot be read.");
  std::vector<Column> columns(static_cast<size_t>(count));
  for (SQLSMALLINT i = 0; i < count; ++i) {
    SQLWCHAR name[512] = {0};
    SQLSMALLINT name_length = 0;
    SQLULEN size = 0;
    SQLSMALLINT nullable = 0;
    Column& c = columns[static_cast<size_t>(i)];
    st.Fail(
        SQLDescribeColW(st.get(), static_cast<SQLUSMALLINT>(i + 1), name, 512,
                        &name_length, &c.type, &size, &c.scale, &nullable),
        "The result cannot be read.");
    size_t n = static_cast<size_t>(name_length);
    if (n > 511) n = 511;
    c.name = ToUtf8(name, n);
  }
  return columns;
}

std::vector<std::string> ColumnNames(const std::vector<Column>& columns) {
  std::vector<std::string> names;
  names.reserve(columns.size());
  for (const Column& c : columns) names.push_back(c.name);
  return names;
}

Value ReadText(StatementView st, SQLUSMALLINT index) {
  std::basic_string<SQLWCHAR> text;
  SQLWCHAR buffer[2048];
  constexpr SQLLEN kBytes = sizeof buffer;
  constexpr size_t kChars = sizeof buffer / sizeof(SQLWCHAR);
  for (int round = 0; round < 1 << 20; ++round) {
    SQLLEN indicator = 0;
    SQLRETURN rc =
        SQLGetData(st.get(), index, SQL_C_WCHAR, buffer, kBytes, &indicator);
    if (rc == SQL_NO_DATA) break;
    st.Fail(rc, "A value cannot be read.");
    if (indicator == SQL_NULL_DATA) return Value();
    if (rc == SQL_SUCCESS_WITH_INFO &&
        (indicator == SQL_NO_TOTAL || indicator >= kBytes)) {
      text.append(buffer, kChars - 1);  // truncated: more follows
      continue;
    }
    text.append(buffer, static_cast<size_t>(indicator) / sizeof(SQLWCHAR));
    break;
  }
  return Value(ToUtf8(text.data(), text.size()));
}

// Reads one fixed-size value; returns false for a null.
template <typename T>
bool ReadFixed(StatementView st, SQLUSMALLINT index, SQLSMALLINT c_type, T& out) {
  SQLLEN indicator = 0;
  st.Fail(SQLGetData(st.get(), index, c_type, &out, sizeof out, &indicator),
          "A value cannot be read.");
  return indicator != SQL_NULL_DATA;
}

Value ReadValue(StatementView st, SQLUSMALLINT index, const Column& column) {
  switch (column.type) {
    case SQL_TYPE_DATE:
    case SQL_DATE: {
      SQL_DATE_STRUCT d{};
      if (!ReadFixed(st, index, SQL_C_TYPE_DATE, d)) return Value();
      return Value(Date{d.year, d.month, d.day});
    }
    case SQL_TYPE_TIMESTAMP:
    case SQL_TIMESTAMP: {
      SQL_TIMESTAMP_STRUCT t{};
      if (!ReadFixed(st, index, SQL_C_TYPE_TIMESTAMP, t)) return Value();
      return Value(
          DateTime{Date{t.year, t.month, t.day}, t.hour, t.minute, t.second});
    }
    case SQL_TYPE_TIME:
    case SQL_TIME: {
      // No time type of its own: the DICOM TM form HHMMSS.
      SQL_TIME_STRUCT t{};
      if (!ReadFixed(st, index, SQL_C_TYPE_TIME, t)) return Value();
      char buf[16];
      std::snprintf(buf, sizeof buf, "%02u%02u%02u", t.hour % 100u,
                    t.minute % 100u, t.second % 100u);
      return Value(std::string(buf));
    }
    case SQL_BIT: {
      unsigned char bit = 0;
      if (!ReadFixed(st, index, SQL_C_BIT, bit)) return Value();
      return Value(bit != 0);
    }
    case SQL_TINYINT:
    case SQL_SMALLINT:
    case SQL_INTEGER:
    case SQL_BIGINT: {
      SQLBIGINT n = 0;
      if (!ReadFixed(st, index, SQL_C_SBIGINT, n)) return Value();
      return Value(static_cast<int64_t>(n));
    }
    case SQL_NUMERIC:
    case SQL_DECIMAL:
      if (column.scale == 0) {
        // A decimal without fraction digits is a whole number (keys).
        SQLBIGINT n = 0;
        if (!ReadFixed(st, index, SQL_C_SBIGINT, n)) return Value();
        return Value(static_cast<int64_t>(n));
      }
      [[fallthrough]];
    case SQL_FLOAT:
    case SQL_REAL:
    case SQL_DOUBLE: {
      double x = 0;
      if (!ReadFixed(st, index, SQL_C_DOUBLE, x)) return Value();
      return Value(x);
    }
    default:
      return ReadText(st, index);
  }
}

// Fetches the next row into `row`; false after the last.
bool FetchRow(StatementView st, const std::vector<Column>& columns,
              std::vector<Value>& row) {
  SQLRETURN rc = SQLFetch(st.get());
  if (rc == SQL_NO_DATA) return false;
  st.Fail(rc, "The next row cannot be read.");
  row.clear();
  row.reserve(columns.size());
  for (size_t i = 0; i < columns.size(); ++i) {
    row.push_back(ReadValue(st, static_cast<SQLUSMALLINT>(i + 1), columns[i]));
  }
  return true;
}

}  // namespace

// ---- ResultSet ----

int ResultSet::ColumnIndex(std::string_view name) const {
  for (size_t i = 0; i < columns.size(); ++i) {
    if (EqualsIgnoringCase(columns[i], name)) return static_cast<int>(i);
  }
  return -1;
}

const Value& ResultSet::Get(size_t row, std::string_view name) const {
  int index = ColumnIndex(name);
  if (index < 0 || row >= rows.size()) {
    throw Failure(kItemNotFound,
                  "Item cannot be found in the collection corresponding to "
                  "the requested name or ordinal.");
  }
  return rows[row][static_cast<size_t>(index)];
}

// ---- faults that pass ----

DbFault ClassifyDbFault(std::string_view sqlstate, int32_t native) noexcept {
  // SQL Server names its deadlock victim by number whatever state the driver
  // reports with it.
  if (native == 1205) return DbFault::kConflict;
  if (sqlstate == "40001" || sqlstate == "40P01") return DbFault::kConflict;
  if (sqlstate.size() == 5 && sqlstate.substr(0, 2) == "08")
    return DbFault::kConnectionLost;
  // PostgreSQL: the session ended by an administrator or a shutdown, or the
  // server is not taking connections yet (starting, in recovery).
  if (sqlstate == "57P01" || sqlstate == "57P02" || sqlstate == "57P03")
    return DbFault::kConnectionLost;
  switch (native) {
    // SQL Server after a fail-over: the database is not (yet) open here,
    // the availability replica is changing roles, or the session's pipe
    // or socket was closed by the other end.
    case 233:
    case 976:
    case 983:
    case 4060:
    case 10053:
    case 10054:
    case 40613:
    // FreeTDS: reading from or writing to the server failed, no server to
    // connect to.
    case 20004:
    case 20006:
    case 20009:
      return DbFault::kConnectionLost;
    default:
      return DbFault::kOther;
  }
}

std::chrono::milliseconds RetryWait(const RetryPolicy& policy, int retry,
                                    double jitter) noexcept {
  if (retry < 1) retry = 1;
  if (retry > 16) retry = 16;
  if (jitter < 0) jitter = 0;
  if (jitter > 1) jitter = 1;
  const double base = static_cast<double>(policy.first_wait.count()) *
                      static_cast<double>(1u << (retry - 1));
  return std::chrono::milliseconds(
      static_cast<int64_t>(base * (0.75 + 0.5 * jitter)));
}

namespace {

// Waits before retry `retry` as `policy` says; returns the wait.
std::chrono::milliseconds WaitBeforeRetry(const RetryPolicy& policy,
                                          int retry) {
  std::random_device seed;
  std::uniform_real_distribution<double> spread(0.0, 1.0);
  std::minstd_rand random(seed());
  const std::chrono::milliseconds wait =
      RetryWait(policy, retry, spread(random));
  if (policy.sleep) {
    policy.sleep(wait);
  } else {
    std::this_thread::sleep_for(wait);
  }
  return wait;
}

// The error-log line of a retry: "DB statement retried in 57 ms (attempt 2
// of 4) after 40001: <the driver's message>".
void LogRetry(std::string_view what, const DatabaseFailure& failure,
              int attempt, int attempts, std::chrono::milliseconds wait) {
  const std::string code = failure.sqlstate().empty()
                               ? std::to_string(failure.number())
                               : failure.sqlstate();
  ErrorLogWrite(failure.number(),
                std::string(what) + " in " + std::to_string(wait.count()) +
                    " ms (attempt " + std::to_string(attempt) + " of " +
                    std::to_string(attempts) + ") after " + code + ": " +
                    failure.what(),
                "Database");
}

}  // namespace

// ---- connection text ----

std::string ConnectionText(const std::string& db_server) {
  if (StartsWithIgnoringCase(db_server, "sqlite:")) {
    // An archive that is not there is a failed open, not a new empty one.
    return "Driver=SQLite3;Database=" + ToFsPath(db_server.substr(7)) +
           ";NoCreat=1";
  }
  if (StartsWithIgnoringCase(db_server, "odbc:")) return db_server.substr(5);
  return "driver={SQL Server};server=" + db_server +
         ";uid=K391;pwd=QpRsTu482;database=TavikDB2";
}

void CreateSqliteFile(const std::string& path) {
  // An empty file is an empty database to SQLite.
  std::FILE* file = std::fopen(path.c_str(), "ab");
  if (file == nullptr || std::fclose(file) != 0) {
    throw Failure(kPathFileAccessError,
                  "Path/File access error (" + path + ")");
  }
}

// ---- physical connections ----

// A statement prepared once on a connection and run again and again.
struct PreparedStatement {
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  // The driver could not prepare or bind it: the plain text runs instead.
  bool unpreparable = false;
  bool described = false;
  std::vector<Column> columns;
};

class PhysicalConnection {
 public:
  PhysicalConnection() = default;
  PhysicalConnection(const PhysicalConnection&) = delete;
  PhysicalConnection& operator=(const PhysicalConnection&) = delete;
  ~PhysicalConnection() {
    for (auto& [sql, prepared] : prepared)
      if (prepared.stmt != SQL_NULL_HSTMT)
        SQLFreeHandle(SQL_HANDLE_STMT, prepared.stmt);
    if (dbc != SQL_NULL_HDBC) {
      SQLDisconnect(dbc);
      SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    }
    if (env != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, env);
  }

  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  std::string text;
  // A statement failed on it: it is closed, not reused.
  bool failed = false;
  // A transaction was begun by a statement and not yet ended.
  bool in_transaction = false;
  // A statement found the connection gone (DbFault::kConnectionLost).
  bool lost = false;
  std::map<std::string, PreparedStatement> prepared;
  // An SQLite archive: its path and the file it named when connected.
  std::string sqlite_path;
  bool file_known = false;
  dev_t file_device = 0;
  ino_t file_inode = 0;
};

void PhysicalConnectionClose::operator()(
    PhysicalConnection* connection) const noexcept {
  delete connection;
}

const std::string& ConnectionTextOf(const PhysicalConnection& connection) {
  return connection.text;
}

bool Reusable(const PhysicalConnection& connection) noexcept {
  if (connection.failed || connection.lost || connection.in_transaction ||
      connection.dbc == SQL_NULL_HDBC)
    return false;
  // A driver that writes only 32 bits leaves the rest as it was.
  SQLULEN autocommit = SQL_AUTOCOMMIT_ON;
  if (SQL_SUCCEEDED(SQLGetConnectAttr(connection.dbc, SQL_ATTR_AUTOCOMMIT,
                                      &autocommit, 0, nullptr)) &&
      autocommit != SQL_AUTOCOMMIT_ON)
    return false;
  return true;
}

namespace {

// Connects on an environment of its own (see NewEnvironment). Throws a
// Failure with the driver's diagnostic when it cannot.
PhysicalConnectionPtr Connect(const std::string& connection_text) {
  PhysicalConnectionPtr connection(new PhysicalConnection);
  connection->env = NewEnvironment();
  SQLHDBC dbc = SQL_NULL_HDBC;
  SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_DBC, connection->env, &dbc);
  if (!SQL_SUCCEEDED(rc)) {
    ThrowDiagnostic(SQL_HANDLE_ENV, connection->env,
                    "The connection cannot be created.");
  }
  SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT,
                    reinterpret_cast<SQLPOINTER>(kTimeoutSeconds), 0);
  SQLSetConnectAttr(dbc, SQL_ATTR_CONNECTION_TIMEOUT,
                    reinterpret_cast<SQLPOINTER>(kTimeoutSeconds), 0);
  std::basic_string<SQLWCHAR> wide = ToWide(connection_text);
  SQLSMALLINT out_length = 0;
  rc = SQLDriverConnectW(dbc, nullptr, const_cast<SQLWCHAR*>(wide.c_str()),
                         static_cast<SQLSMALLINT>(wide.size()), nullptr, 0,
                         &out_length, SQL_DRIVER_NOPROMPT);
  if (!SQL_SUCCEEDED(rc)) {
    try {
      ThrowDiagnostic(SQL_HANDLE_DBC, dbc, "The connection cannot be opened.");
    } catch (...) {
      SQLFreeHandle(SQL_HANDLE_DBC, dbc);
      throw;
    }
  }
  connection->dbc = dbc;
  connection->text = connection_text;
  constexpr std::string_view kSqlite = "Driver=SQLite3;Database=";
  if (connection_text.compare(0, kSqlite.size(), kSqlite) == 0) {
    const size_t end = connection_text.find(';', kSqlite.size());
    connection->sqlite_path =
        connection_text.substr(kSqlite.size(), end - kSqlite.size());
    struct stat st {};
    if (::stat(connection->sqlite_path.c_str(), &st) == 0) {
      connection->file_known = true;
      connection->file_device = st.st_dev;
      connection->file_inode = st.st_ino;
    }
  }
  return connection;
}

// Whether an idle connection still reaches what its text names: for an
// SQLite archive, the file at its path is still the one it has open (not
// renamed, removed or replaced meanwhile); for a database server, a trivial
// statement still runs (the server may have ended the session).
bool StillValid(PhysicalConnection& connection) {
  if (!connection.sqlite_path.empty()) {
    struct stat st {};
    return connection.file_known &&
           ::stat(connection.sqlite_path.c_str(), &st) == 0 &&
           st.st_dev == connection.file_device &&
           st.st_ino == connection.file_inode;
  }
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, connection.dbc, &stmt)))
    return false;
  static const std::basic_string<SQLWCHAR> kProbe = ToWide("SELECT 1");
  const bool alive = SQL_SUCCEEDED(
      SQLExecDirectW(stmt, const_cast<SQLWCHAR*>(kProbe.c_str()),
                     static_cast<SQLINTEGER>(kProbe.size())));
  SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  return alive;
}

// The statement's first word, upper case.
std::string FirstWord(const std::string& sql, size_t& end) {
  size_t i = 0;
  while (i < sql.size() && std::isspace(static_cast<unsigned char>(sql[i])))
    ++i;
  std::string word;
  while (i < sql.size() && std::isalpha(static_cast<unsigned char>(sql[i])))
    word.push_back(static_cast<char>(
        std::toupper(static_cast<unsigned char>(sql[i++]))));
  end = i;
  return word;
}

// Follows the transactions a statement begins and ends on `connection`.
void NoteTransaction(PhysicalConnection& connection, const std::string& sql) {
  size_t end = 0;
  const std::string word = FirstWord(sql, end);
  if (word == "BEGIN" || word == "START" || word == "SAVEPOINT") {
    connection.in_transaction = true;
  } else if (word == "COMMIT" || word == "END") {
    connection.in_transaction = false;
  } else if (word == "ROLLBACK") {
    // ROLLBACK TO a savepoint leaves the transaction open.
    std::string rest = sql.substr(end);
    size_t next = 0;
    if (FirstWord(rest, next) != "TO") connection.in_transaction = false;
  }
}

// Marks `connection` as not reusable when the scope is left by a failure.
class FailureMark {
 public:
  explicit FailureMark(PhysicalConnection& connection)
      : connection_(connection), count_(std::uncaught_exceptions()) {}
  ~FailureMark() {
    if (std::uncaught_exceptions() > count_) connection_.failed = true;
  }
  FailureMark(const FailureMark&) = delete;
  FailureMark& operator=(const FailureMark&) = delete;

 private:
  PhysicalConnection& connection_;
  int count_;
};

bool PlainAscii(const std::vector<std::string>& values) {
  for (const std::string& value : values)
    for (char c : value)
      if (c == '\0' || static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

// The statement `sql` prepared on `connection`, prepared now when it is
// not yet; null when the driver cannot prepare it.
PreparedStatement* Prepare(PhysicalConnection& connection,
                           const std::string& sql) {
  PreparedStatement& prepared = connection.prepared[sql];
  if (prepared.unpreparable) return nullptr;
  if (prepared.stmt != SQL_NULL_HSTMT) return &prepared;
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, connection.dbc, &stmt))) {
    prepared.unpreparable = true;
    return nullptr;
  }
  SetStatementAttributes(stmt);
  std::basic_string<SQLWCHAR> wide = ToWide(sql);
  if (!SQL_SUCCEEDED(SQLPrepareW(stmt, const_cast<SQLWCHAR*>(wide.c_str()),
                                 static_cast<SQLINTEGER>(wide.size())))) {
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    prepared.unpreparable = true;
    return nullptr;
  }
  prepared.stmt = stmt;
  return &prepared;
}

// Drops `sql`'s prepared statement from `connection`: the plain text runs
// from now on.
void GiveUpPreparing(PhysicalConnection& connection, const std::string& sql) {
  PreparedStatement& prepared = connection.prepared[sql];
  if (prepared.stmt != SQL_NULL_HSTMT)
    SQLFreeHandle(SQL_HANDLE_STMT, prepared.stmt);
  prepared = PreparedStatement{};
  prepared.unpreparable = true;
}

void ReadAll(StatementView st, const std::vector<Column>& columns,
             ResultSet& result) {
  result.columns = ColumnNames(columns);
  if (columns.empty()) return;
  std::vector<Value> row;
  while (FetchRow(st, columns, row)) result.rows.push_back(std::move(row));
}

}  // namespace

// ---- Database ----

struct Database::Handles {
  ConnectionPool* pool = nullptr;
  PhysicalConnectionPtr connection;
  // The text the connection was opened with, for opening it again.
  std::string text;
  // The connection came from the pool and has run no statement yet.
  bool untested = false;
  // A statement whose rows are being handed out by QueryEach: statements run
  // meanwhile go to `nested`, since not every driver allows a second active
  // statement on one connection.
  bool streaming = false;
  std::unique_ptr<Database> nested;
  // Without a pool: the bounds and counts of this Database alone.
  RetryPolicy own_policy;
  DatabaseCounters own_counters;

  const RetryPolicy& Policy() const {
    return pool ? pool->retry_policy() : own_policy;
  }
  DatabaseCounters& Counters() {
    return pool ? pool->counters() : own_counters;
  }

  Database& Nested() {
    if (!nested) {
      auto second = std::make_unique<Database>(pool);
      second->Open(text);
      nested = std::move(second);
    }
    return *nested;
  }

  // Closes the connection without giving it back, and the pool's idle ones
  // (what one connection lost its peers have likely lost too); then opens a
  // new one. Throws as Connect does, leaving the Database closed.
  void Reconnect() {
    connection.reset();
    if (pool) pool->Clear();
    connection = Connect(text);
    Counters().reconnects.fetch_add(1, std::memory_order_relaxed);
  }

  // Runs `run` on the connection; a failure marks it as not reusable.
  //
  // The first statement on a connection from the pool gets a second attempt
  // on a fresh connection, at once: an idle connection may have died with
  // its server (a restart) meanwhile, and so may its idle peers, which go
  // too.
  //
  // Outside a transaction, a statement the server gave up to a deadlock or
  // a serialization failure runs again on the same connection, and one that
  // found its connection lost runs again on a new connection, each after a
  // growing wait, within the pool's RetryPolicy; every retry is logged.
  // Running a statement twice is harmless here: the service's statements
  // outside transactions read, or set columns to fixed values, and the
  // server either ran such a statement whole or not at all. Inside a
  // transaction the server has rolled back (or lost) the whole of it, so a
  // failure propagates: the unit is run again as a whole, if at all, by
  // RunTransaction. An SQLite archive has neither fault: its failures
  // propagate as they are.
  template <typename F>
  auto Attempt(F&& run) -> decltype(run(std::declval<PhysicalConnection&>())) {
    bool second_chance = untested;
    untested = false;
    const RetryPolicy& policy = Policy();
    DatabaseCounters& counters = Counters();
    const int attempts = 1 + (policy.max_retries > 0 ? policy.max_retries : 0);
    for (int attempt = 1;; ++attempt) {
      bool in_transaction = false;
      bool was_failed = false;
      bool sqlite = false;
      DbFault fault = DbFault::kOther;
      std::optional<DatabaseFailure> failure;
      try {
        // A connection lost outside a transaction is replaced at once; inside
        // one, the statement fails on it as the transaction's did.
        if (!connection || (connection->lost && !connection->in_transaction))
          Reconnect();
        in_transaction = connection->in_transaction;
        was_failed = connection->failed;
        sqlite = !connection->sqlite_path.empty();
        counters.statements.fetch_add(1, std::memory_order_relaxed);
        FailureMark mark(*connection);
        return run(*connection);
      } catch (const DatabaseFailure& f) {
        counters.errors.fetch_add(1, std::memory_order_relaxed);
        fault = ClassifyDbFault(f.sqlstate(), f.number());
        if (fault == DbFault::kConnectionLost && connection)
          connection->lost = true;
        const bool retry = fault != DbFault::kOther && !in_transaction &&
                           !sqlite && attempt < attempts;
        if (!second_chance && !retry) throw;
        failure = f;
      } catch (...) {
        counters.errors.fetch_add(1, std::memory_order_relaxed);
        if (!second_chance) throw;
      }
      if (second_chance) {
        // Not counted against the bounds: the connection had merely waited
        // in the pool.
        second_chance = false;
        --attempt;
        Reconnect();
        continue;
      }
      const std::chrono::milliseconds wait = WaitBeforeRetry(policy, attempt);
      counters.retries.fetch_add(1, std::memory_order_relaxed);
      if (fault == DbFault::kConflict) {
        // Only this statement was given up; the connection is as it was.
        connection->failed = was_failed;
        LogRetry("DB statement retried", *failure, attempt + 1, attempts, wait);
      } else {
        LogRetry("DB connection lost; opened again and the statement retried",
                 *failure, attempt + 1, attempts, wait);
        connection.reset();
      }
    }
  }

  // Runs `sql` on a new statement handle; `has_result` is false when the
  // driver reported no data.
  std::unique_ptr<Statement> Start(const std::string& sql, bool& has_result) {
    return Attempt([&](PhysicalConnection& c) {
      auto st = std::make_unique<Statement>(c.dbc);
      has_result = st->Run(sql);
      NoteTransaction(c, sql);
      return st;
    });
  }
};

namespace {

[[noreturn]] void ThrowClosed() {
  throw Failure(kObjectClosed,
                "Operation is not allowed when the object is closed.");
}

}  // namespace

Database::Database() : Database(nullptr) {}

Database::Database(ConnectionPool* pool) : h_(std::make_unique<Handles>()) {
  h_->pool = pool;
}

Database::~Database() { Close(); }

bool Database::IsOpen() const { return h_->connection != nullptr; }

// An idle connection of the pool is taken only when it still reaches its
// database (StillValid); otherwise the pool's idle connections are closed
// and a fresh one is opened, which fails as it always did when the archive
// is gone.
void Database::Open(const std::string& connection_text) {
  Close();
  h_->text = connection_text;
  if (h_->pool) {
    if (PhysicalConnectionPtr idle = h_->pool->Take(connection_text)) {
      if (StillValid(*idle)) {
        h_->connection = std::move(idle);
        h_->untested = true;
        return;
      }
      // What one idle connection lost, the others have likely lost too; the
      // fresh open below fails as it always did when the archive is gone.
      const bool server = idle->sqlite_path.empty();
      idle.reset();
      h_->pool->Clear();
      h_->pool->counters().reconnects.fetch_add(1, std::memory_order_relaxed);
      if (server)
        ErrorLogWrite(kDatabaseError,
                      "DB connection lost while idle; the idle connections "
                      "are closed and a new one opened",
                      "Database");
    }
  }
  h_->connection = Connect(connection_text);
}

void Database::Recover() {
  if (h_->nested) h_->nested->Close();
  h_->nested.reset();
  h_->streaming = false;
  h_->untested = false;
  if (h_->connection && !h_->connection->lost &&
      !h_->connection->in_transaction)
    return;
  if (h_->text.empty()) ThrowClosed();
  h_->Reconnect();
}

const RetryPolicy& Database::retry_policy() const { return h_->Policy(); }

DatabaseCounters& Database::counters() { return h_->Counters(); }

void Database::Close() noexcept {
  if (h_->nested) h_->nested->Close();
  h_->nested.reset();
  h_->streaming = false;
  h_->untested = false;
  h_->text.clear();
  if (h_->connection && h_->pool) h_->pool->Give(std::move(h_->connection));
  h_->connection.reset();
}

ResultSet Database::Query(const std::string& sql) {
  if (!IsOpen()) ThrowClosed();
  if (h_->streaming) {
    return h_->Nested().Query(sql);
  }
  bool has_result = false;
  std::unique_ptr<Statement> st = h_->Start(sql, has_result);
  FailureMark mark(*h_->connection);
  ResultSet result;
  if (!has_result) return result;
  ReadAll(*st, DescribeColumns(*st), result);
  return result;
}

ResultSet Database::QueryPrepared(const std::string& sql,
                                  const std::vector<std::string>& params,
                                  const std::string& plain_sql) {
  if (!IsOpen()) ThrowClosed();
  if (h_->streaming) {
    return h_->Nested().QueryPrepared(sql, params, plain_sql);
  }
  if (!PlainAscii(params)) return Query(plain_sql);
  const PhysicalConnection* before = h_->connection.get();
  const bool untested = h_->untested;
  std::optional<ResultSet> result =
      h_->Attempt([&](PhysicalConnection& c) -> std::optional<ResultSet> {
        PreparedStatement* prepared = Prepare(c, sql);
        if (prepared == nullptr) return std::nullopt;
        const SQLHSTMT stmt = prepared->stmt;
        std::vector<SQLLEN> lengths(params.size());
        for (size_t i = 0; i < params.size(); ++i) {
          lengths[i] = static_cast<SQLLEN>(params[i].size());
          if (!SQL_SUCCEEDED(SQLBindParameter(
                  stmt, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT,
                  SQL_C_CHAR, SQL_VARCHAR,
                  params[i].empty() ? 1 : params[i].size(), 0,
                  const_cast<char*>(params[i].data()), lengths[i],
                  &lengths[i]))) {
            GiveUpPreparing(c, sql);
            return std::nullopt;
          }
        }
        // The cursor is closed and the values unbound however the run
        // ends; the prepared statement stays.
        struct Reset {
          SQLHSTMT stmt;
          ~Reset() {
            SQLFreeStmt(stmt, SQL_CLOSE);
            SQLFreeStmt(stmt, SQL_RESET_PARAMS);
          }
        } reset{stmt};
        ResultSet rows;
        SQLRETURN rc = SQLExecute(stmt);
        if (rc == SQL_NO_DATA) return rows;
        StatementView view(stmt);
        view.Fail(rc, "The statement cannot be run.");
        if (!prepared->described) {
          prepared->columns = DescribeColumns(view);
          prepared->described = true;
        }
        ReadAll(view, prepared->columns, rows);
        return rows;
      });
  if (result) return std::move(*result);
  // Not prepared: the statement as text, with the second chance still due
  // when nothing ran.
  if (h_->connection.get() == before) h_->untested = untested;
  return Query(plain_sql);
}

void Database::QueryEach(
    const std::string& sql,
    const std::function<void(const std::vector<std::string>&)>& columns,
    const std::function<bool(const std::vector<Value>&)>& row) {
  if (!IsOpen()) ThrowClosed();
  if (h_->streaming) {
    h_->Nested().QueryEach(sql, columns, row);
    return;
  }
  bool has_result = false;
  std::unique_ptr<Statement> st = h_->Start(sql, has_result);
  FailureMark mark(*h_->connection);
  std::vector<Column> described;
  if (has_result) described = DescribeColumns(*st);
  if (columns) columns(ColumnNames(described));
  if (described.empty()) return;
  struct Streaming {
    bool& flag;
    explicit Streaming(bool& f) : flag(f) { flag = true; }
    ~Streaming() { flag = false; }
  } streaming(h_->streaming);
  std::vector<Value> values;
  while (FetchRow(*st, described, values)) {
    if (!row(values)) break;
  }
}

int64_t Database::Execute(const std::string& sql) {
  if (!IsOpen()) ThrowClosed();
  if (h_->streaming) {
    return h_->Nested().Execute(sql);
  }
  bool has_result = false;
  std::unique_ptr<Statement> st = h_->Start(sql, has_result);
  if (!has_result) return 0;
  SQLLEN count = 0;
  if (!SQL_SUCCEEDED(SQLRowCount(st->get(), &count)) || count < 0) return 0;
  return static_cast<int64_t>(count);
}

std::string Database::DbmsName() {
  if (!IsOpen()) ThrowClosed();
  const SQLHDBC dbc = h_->connection->dbc;
  SQLWCHAR name[128] = {};
  SQLSMALLINT length = 0;
  Check(SQLGetInfoW(dbc, SQL_DBMS_NAME, name, sizeof name, &length),
        SQL_HANDLE_DBC, dbc, "The database product cannot be read.");
  size_t chars = 0;
  while (chars < sizeof name / sizeof name[0] && name[chars] != 0) ++chars;
  return ToUtf8(name, chars);
}

// ---- shared procedures ----

bool ConOpen(Database& db, const std::string& db_server) noexcept {
  return Guard("ConOpen", false,
               [&] { return ConOpen(db, db_server, CurrentLog()); });
}

bool ConOpen(Database& db, const std::string& db_server,
             const Log& log) noexcept {
  return Guard(log, "ConOpen", false, [&] {
    db.Close();
    db.Open(ConnectionText(db_server));
    log.Debug("DB-Connection established", "ConOpen");
    return true;
  });
}

void ConClose(Database& db) noexcept {
  GuardVoid("ConClose", [&] { ConClose(db, CurrentLog()); });
}

void ConClose(Database& db, const Log& log) noexcept {
  GuardVoid(log, "ConClose", [&] {
    db.Close();
    log.Debug("DB-Connection closed", "ConClose");
  });
}

void RunTransaction(Database& db, const std::function<void()>& unit) {
  const RetryPolicy& policy = db.retry_policy();
  const int attempts = 1 + (policy.max_retries > 0 ? policy.max_retries : 0);
  for (int attempt = 1;; ++attempt) {
    try {
      if (attempt > 1) db.Recover();
      unit();
      return;
    } catch (const DatabaseFailure& failure) {
      if (ClassifyDbFault(failure.sqlstate(), failure.number()) ==
              DbFault::kOther ||
          attempt >= attempts)
        throw;
      const std::chrono::milliseconds wait = WaitBeforeRetry(policy, attempt);
      db.counters().retries.fetch_add(1, std::memory_order_relaxed);
      LogRetry("DB transaction retried", failure, attempt + 1, attempts, wait);
    }
  }
}

std::string SqlQuote(std::string_view value) {
  std::string out;
  out.reserve(value.size() + 2);
  for (char c : value) {
    out.push_back(c);
    if (c == '\'') out.push_back('\'');
  }
  return out;
}

}  // namespace vantor
