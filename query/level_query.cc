#include "query/level_query.h"

#include "host/base/log.h"

namespace vantor {

dicom::DatasetCollection RunLevelQuery(Database& db, const Log& log,
                                       std::string_view procedure,
                                       std::string_view operation_line,
                                       const std::string& sql,
                                       const Cancelled& cancelled,
                                       const MakeResponse& make_response) {
  log.Debug(operation_line, procedure);
  log.Debug("SQL: " + sql, procedure);
  dicom::DatasetCollection responses;
  std::vector<std::string> columns;
  int32_t row_number = 0;
  db.QueryEach(
      sql, [&](const std::vector<std::string>& names) { columns = names; },
      [&](const std::vector<Value>& values) {
        ++row_number;
        responses.push_back(make_response(ResultRow(columns, values),
                                          row_number));
        // Where a long result would yield to other work, it rather asks
        // whether anybody still waits for it.
        return !(cancelled && cancelled());
      });
  return responses;
}

}  // namespace vantor
