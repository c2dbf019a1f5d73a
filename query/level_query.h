// What the four level queries share once their statement is built: the two
// debug lines, reading the rows, and one response per row handed on as its
// row is read.
#ifndef VANTOR_QUERY_LEVEL_QUERY_H_
#define VANTOR_QUERY_LEVEL_QUERY_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "dicom/level_responses.h"
#include "dicom/toolkit/toolkit.h"
#include "host/base/database.h"
#include "query/result_row.h"

namespace vantor {

// True once the requester no longer waits for responses (it cancelled or
// went away). May be empty.
using Cancelled = std::function<bool()>;

// Builds the response for one row; `row_number` counts from 1.
using MakeResponse =
    std::function<dicom::Dataset(const ResultRow& row, int32_t row_number)>;

// Writes "DICOM-Operation: C-FIND DICOM-Level: <level>"-style
// `operation_line` and "SQL: " + `sql` under `procedure` into `log`'s debug
// log, runs `sql` on `db` and hands one response per row, in row order, to
// `sink` as soon as the row is read; nothing of a row is kept afterwards.
// Once `sink` returns false the statement is closed without reading the
// rest. Throws on any failure of the statement or of `make_response`, also
// after responses went to `sink`.
void RunLevelQuery(Database& db, const Log& log, std::string_view procedure,
                   std::string_view operation_line, const std::string& sql,
                   const MakeResponse& make_response,
                   const dicom::ResponseSink& sink);

}  // namespace vantor

#endif  // VANTOR_QUERY_LEVEL_QUERY_H_
