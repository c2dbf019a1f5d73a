#include "query/level_query.h"

#include "host/base/log.h"

namespace vantor {

void RunLevelQuery(Database& db, const Log& log, std::string_view procedure,
                   std::string_view operation_line, const std::string& sql,
                   const MakeResponse& make_response,
                   const dicom::ResponseSink& sink) {
  log.Debug(operation_line, procedure);
  log.Debug("SQL: " + sql, procedure);
  std::vector<std::string> columns;
  int32_t row_number = 0;
  db.QueryEach(
      sql, [&](const std::vector<std::string>& names) { columns = names; },
      [&](const std::vector<Value>& values) {
        ++row_number;
        return sink(make_response(ResultRow(columns, values), row_number));
      });
}

}  // namespace vantor
