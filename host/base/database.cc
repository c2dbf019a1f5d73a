#include "host/base/database.h"

#include <sql.h>
#include <sqlext.h>

#include <cctype>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "host/base/config.h"
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
  throw Failure(native != 0 ? native : kDatabaseError, text);
}

void Check(SQLRETURN rc, SQLSMALLINT type, SQLHANDLE handle,
           const char* fallback) {
  if (!SQL_SUCCEEDED(rc)) ThrowDiagnostic(type, handle, fallback);
}

// A statement handle, freed with its cursor on scope exit.
class Statement {
 public:
  explicit Statement(SQLHDBC dbc) {
    Check(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt_), SQL_HANDLE_DBC, dbc,
          "The statement cannot be created.");
    // Forward only, read-only; drivers that know no time-out ignore it.
    SQLSetStmtAttr(stmt_, SQL_ATTR_QUERY_TIMEOUT,
                   reinterpret_cast<SQLPOINTER>(kTimeoutSeconds), 0);
    SQLSetStmtAttr(stmt_, SQL_ATTR_CURSOR_TYPE,
                   reinterpret_cast<SQLPOINTER>(SQL_CURSOR_FORWARD_ONLY), 0);
    SQLSetStmtAttr(stmt_, SQL_ATTR_CONCURRENCY,
                   reinterpret_cast<SQLPOINTER>(SQL_CONCUR_READ_ONLY), 0);
  }
  ~Statement() { SQLFreeHandle(SQL_HANDLE_STMT, stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  SQLHSTMT get() const { return stmt_; }

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

std::vector<Column> DescribeColumns(Statement& st) {
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

Value ReadText(Statement& st, SQLUSMALLINT index) {
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
bool ReadFixed(Statement& st, SQLUSMALLINT index, SQLSMALLINT c_type, T& out) {
  SQLLEN indicator = 0;
  st.Fail(SQLGetData(st.get(), index, c_type, &out, sizeof out, &indicator),
          "A value cannot be read.");
  return indicator != SQL_NULL_DATA;
}

Value ReadValue(Statement& st, SQLUSMALLINT index, const Column& column) {
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
bool FetchRow(Statement& st, const std::vector<Column>& columns,
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

// ---- Database ----

struct Database::Handles {
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  std::string connection_text;
  // A statement whose rows are being handed out by QueryEach: statements run
  // meanwhile go to `nested`, since not every driver allows a second active
  // statement on one connection.
  bool streaming = false;
  std::unique_ptr<Database> nested;

  Database& Nested() {
    if (!nested) {
      auto second = std::make_unique<Database>();
      second->Open(connection_text);
      nested = std::move(second);
    }
    return *nested;
  }
};

Database::Database() : h_(std::make_unique<Handles>()) {}

Database::~Database() { Close(); }

bool Database::IsOpen() const { return h_->dbc != SQL_NULL_HDBC; }

void Database::Open(const std::string& connection_text) {
  Close();
  SQLHENV env = NewEnvironment();
  SQLHDBC dbc = SQL_NULL_HDBC;
  // Frees what was made so far when the open fails.
  auto release = [&] {
    if (dbc != SQL_NULL_HDBC) SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
  };
  SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
  if (!SQL_SUCCEEDED(rc)) {
    dbc = SQL_NULL_HDBC;
    try {
      ThrowDiagnostic(SQL_HANDLE_ENV, env, "The connection cannot be created.");
    } catch (...) {
      release();
      throw;
    }
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
      release();
      throw;
    }
  }
  h_->env = env;
  h_->dbc = dbc;
  h_->connection_text = connection_text;
}

void Database::Close() noexcept {
  if (h_->nested) h_->nested->Close();
  h_->nested.reset();
  h_->streaming = false;
  if (h_->dbc != SQL_NULL_HDBC) {
    SQLDisconnect(h_->dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, h_->dbc);
    h_->dbc = SQL_NULL_HDBC;
  }
  if (h_->env != SQL_NULL_HENV) {
    SQLFreeHandle(SQL_HANDLE_ENV, h_->env);
    h_->env = SQL_NULL_HENV;
  }
}

namespace {

[[noreturn]] void ThrowClosed() {
  throw Failure(kObjectClosed,
                "Operation is not allowed when the object is closed.");
}

}  // namespace

ResultSet Database::Query(const std::string& sql) {
  if (!IsOpen()) ThrowClosed();
  if (h_->streaming) {
    return h_->Nested().Query(sql);
  }
  Statement st(h_->dbc);
  ResultSet result;
  if (!st.Run(sql)) return result;
  std::vector<Column> columns = DescribeColumns(st);
  result.columns = ColumnNames(columns);
  if (columns.empty()) return result;
  std::vector<Value> row;
  while (FetchRow(st, columns, row)) result.rows.push_back(std::move(row));
  return result;
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
  Statement st(h_->dbc);
  std::vector<Column> described;
  if (st.Run(sql)) described = DescribeColumns(st);
  if (columns) columns(ColumnNames(described));
  if (described.empty()) return;
  struct Streaming {
    bool& flag;
    explicit Streaming(bool& f) : flag(f) { flag = true; }
    ~Streaming() { flag = false; }
  } streaming(h_->streaming);
  std::vector<Value> values;
  while (FetchRow(st, described, values)) {
    if (!row(values)) break;
  }
}

int64_t Database::Execute(const std::string& sql) {
  if (!IsOpen()) ThrowClosed();
  if (h_->streaming) {
    return h_->Nested().Execute(sql);
  }
  Statement st(h_->dbc);
  if (!st.Run(sql)) return 0;
  SQLLEN count = 0;
  if (!SQL_SUCCEEDED(SQLRowCount(st.get(), &count)) || count < 0) return 0;
  return static_cast<int64_t>(count);
}

std::string Database::DbmsName() {
  if (!IsOpen()) ThrowClosed();
  SQLWCHAR name[128] = {};
  SQLSMALLINT length = 0;
  Check(SQLGetInfoW(h_->dbc, SQL_DBMS_NAME, name, sizeof name, &length),
        SQL_HANDLE_DBC, h_->dbc, "The database product cannot be read.");
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
