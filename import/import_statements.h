// The importer's statements: named blocks of SQL, one set per dialect of the
// archive database (archive/import*.sql, compiled in), with {Name}
// placeholders that are filled with literal values, escaped on the way in.
#ifndef VANTOR_IMPORT_IMPORT_STATEMENTS_H_
#define VANTOR_IMPORT_IMPORT_STATEMENTS_H_

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "host/base/value.h"

namespace vantor {

enum class ArchiveDialect { kSqlite, kPostgresql, kSqlServer };

// The dialect of the archive behind `db_server` (a DBServer setting), given
// the product name its driver reports: "sqlite:" is SQLite; otherwise the
// product name decides ("SQLite", "PostgreSQL"); anything else is SQL
// Server, the archive's own engine.
ArchiveDialect DialectOf(std::string_view db_server,
                         std::string_view dbms_name);

// The values a statement takes, by placeholder name.
using SqlValues = std::map<std::string, Value, std::less<>>;

// `value` as an SQL literal: NULL for null, digits for a number, 1 or 0
// for a flag, 'YYYY-MM-DD' for a date, 'YYYY-MM-DD HH:MM:SS' for a
// date-time, else the text quoted with its apostrophes doubled.
std::string SqlLiteral(const Value& value);

class ImportStatements {
 public:
  // Reads blocks headed "-- name: NAME". Throws a Failure for a block named
  // twice.
  explicit ImportStatements(std::string_view text);

  // The compiled-in set of `dialect`.
  static const ImportStatements& Of(ArchiveDialect dialect);

  // The statements of block `name`, in order, each with its placeholders
  // filled from `values` (an empty list for an empty block). Throws a
  // Failure for an unknown block or a placeholder without a value.
  std::vector<std::string> Render(std::string_view name,
                                  const SqlValues& values) const;

  bool Has(std::string_view name) const;

 private:
  std::map<std::string, std::vector<std::string>, std::less<>> blocks_;
};

}  // namespace vantor

#endif  // VANTOR_IMPORT_IMPORT_STATEMENTS_H_
