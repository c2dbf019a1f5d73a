// Running an SQL script such as archive/schema.sql through the Database
// class, whose drivers take one statement per call.
#ifndef VANTOR_ARCHIVE_SQL_SCRIPT_H_
#define VANTOR_ARCHIVE_SQL_SCRIPT_H_

#include <string>
#include <string_view>
#include <vector>

#include "host/base/database.h"

namespace vantor {

// Splits `script` into its statements at every ";" outside quotes ('...',
// "...", [...]) and comments (-- to the end of the line, /* ... */).
// Comments are dropped, the ";" too; statements that hold nothing but blanks
// are left out. A ";" inside a trigger body would split it: the archive's
// scripts have none.
inline std::vector<std::string> SplitSqlScript(std::string_view script) {
  std::vector<std::string> statements;
  std::string current;
  auto finish = [&] {
    if (current.find_first_not_of(" \t\r\n") != std::string::npos) {
      size_t first = current.find_first_not_of(" \t\r\n");
      size_t last = current.find_last_not_of(" \t\r\n");
      statements.push_back(current.substr(first, last - first + 1));
    }
    current.clear();
  };
  size_t i = 0;
  while (i < script.size()) {
    char c = script[i];
    if (c == '-' && i + 1 < script.size() && script[i + 1] == '-') {
      size_t end = script.find('\n', i);
      i = end == std::string_view::npos ? script.size() : end;
      continue;
    }
    if (c == '/' && i + 1 < script.size() && script[i + 1] == '*') {
      size_t end = script.find("*/", i + 2);
      i = end == std::string_view::npos ? script.size() : end + 2;
      current.push_back(' ');
      continue;
    }
    if (c == '\'' || c == '"' || c == '[') {
      // A quoted text or name, copied whole; '' and "" stand for the quote.
      char close = c == '[' ? ']' : c;
      size_t end = i + 1;
      while (end < script.size()) {
        if (script[end] == close) {
          if (close != ']' && end + 1 < script.size() &&
              script[end + 1] == close) {
            end += 2;
            continue;
          }
          break;
        }
        ++end;
      }
      size_t stop = end < script.size() ? end + 1 : script.size();
      current.append(script.substr(i, stop - i));
      i = stop;
      continue;
    }
    if (c == ';') {
      finish();
    } else {
      current.push_back(c);
    }
    ++i;
  }
  finish();
  return statements;
}

// Runs every statement of `script` on `db` in order. Throws the Failure of
// the first statement that the driver rejects.
inline void RunSqlScript(Database& db, std::string_view script) {
  for (const std::string& statement : SplitSqlScript(script))
    db.Execute(statement);
}

}  // namespace vantor

#endif  // VANTOR_ARCHIVE_SQL_SCRIPT_H_
