#include "import/import_statements.h"

#include <cctype>
#include <cstdio>

#include "archive/sql_script.h"
#include "host/base/database.h"
#include "host/base/failure.h"
#include "host/base/text.h"

namespace vantor {

extern const char kImportSqlSqlite[];
extern const char kImportSqlPostgresql[];
extern const char kImportSqlSqlServer[];

namespace {

constexpr std::string_view kBlockHead = "-- name:";

std::string TrimmedName(std::string_view text) {
  size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return "";
  size_t last = text.find_last_not_of(" \t\r");
  return std::string(text.substr(first, last - first + 1));
}

}  // namespace

ArchiveDialect DialectOf(std::string_view db_server,
                         std::string_view dbms_name) {
  if (db_server.starts_with("sqlite:")) return ArchiveDialect::kSqlite;
  if (ContainsIgnoringCase(dbms_name, "sqlite")) return ArchiveDialect::kSqlite;
  if (ContainsIgnoringCase(dbms_name, "postgres")) return ArchiveDialect::kPostgresql;
  return ArchiveDialect::kSqlServer;
}

std::string SqlLiteral(const Value& value) {
  char text[32];
  if (value.IsNull()) return "NULL";
  if (value.IsInteger() || value.IsDecimal()) return value.ToText();
  if (value.IsBool()) return value.flag() ? "1" : "0";
  if (value.IsDate()) {
    const Date& d = value.date();
    std::snprintf(text, sizeof text, "'%04d-%02d-%02d'", d.year, d.month,
                  d.day);
    return text;
  }
  if (value.IsDateTime()) {
    const DateTime& t = value.date_time();
    std::snprintf(text, sizeof text, "'%04d-%02d-%02d %02d:%02d:%02d'",
                  t.date.year, t.date.month, t.date.day, t.hour, t.minute,
                  t.second);
    return text;
  }
  const std::string inner = SqlQuote(value.text());
  std::string quoted;
  quoted.reserve(inner.size() + 2);
  quoted.append(1, '\'').append(inner).append(1, '\'');
  return quoted;
}

ImportStatements::ImportStatements(std::string_view text) {
  std::string name;
  std::string body;
  auto finish = [&] {
    if (name.empty()) return;
    if (blocks_.count(name))
      throw Failure(kInvalidProcedureCall,
                    "Statement block " + name + " is named twice");
    // A statement spread over lines is logged as one line.
    std::vector<std::string> statements = SplitSqlScript(body);
    for (std::string& statement : statements) {
      std::string flat;
      for (size_t i = 0; i < statement.size(); ++i) {
        if (statement[i] == '\r') continue;
        if (statement[i] != '\n') {
          flat.push_back(statement[i]);
          continue;
        }
        while (i + 1 < statement.size() && statement[i + 1] == ' ') ++i;
        flat.push_back(' ');
      }
      statement = std::move(flat);
    }
    blocks_[name] = std::move(statements);
  };
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    if (line.substr(0, kBlockHead.size()) == kBlockHead) {
      finish();
      name = TrimmedName(line.substr(kBlockHead.size()));
      body.clear();
    } else if (!name.empty()) {
      body.append(line);
      body.push_back('\n');
    }
    pos = end + 1;
  }
  finish();
}

const ImportStatements& ImportStatements::Of(ArchiveDialect dialect) {
  static const ImportStatements sqlite(kImportSqlSqlite);
  static const ImportStatements postgresql(kImportSqlPostgresql);
  static const ImportStatements sqlserver(kImportSqlSqlServer);
  switch (dialect) {
    case ArchiveDialect::kSqlite:
      return sqlite;
    case ArchiveDialect::kPostgresql:
      return postgresql;
    case ArchiveDialect::kSqlServer:
      break;
  }
  return sqlserver;
}

bool ImportStatements::Has(std::string_view name) const {
  return blocks_.find(name) != blocks_.end();
}

std::vector<std::string> ImportStatements::Render(
    std::string_view name, const SqlValues& values) const {
  auto block = blocks_.find(name);
  if (block == blocks_.end())
    throw Failure(kInvalidProcedureCall,
                  "No statement block " + std::string(name));
  std::vector<std::string> out;
  for (const std::string& statement : block->second) {
    std::string sql;
    size_t pos = 0;
    // Placeholders stand outside quotes in these files; a brace inside a
    // quoted text would be taken for one.
    for (;;) {
      size_t open = statement.find('{', pos);
      if (open == std::string::npos) break;
      size_t close = statement.find('}', open);
      if (close == std::string::npos) break;
      sql.append(statement, pos, open - pos);
      std::string_view key(statement.data() + open + 1, close - open - 1);
      auto value = values.find(key);
      if (value == values.end())
        throw Failure(kInvalidProcedureCall,
                      "No value for {" + std::string(key) + "} in " +
                          std::string(name));
      sql += SqlLiteral(value->second);
      pos = close + 1;
    }
    sql.append(statement, pos, std::string::npos);
    out.push_back(std::move(sql));
  }
  return out;
}

}  // namespace vantor
