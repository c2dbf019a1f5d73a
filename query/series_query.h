// The SERIES level: the series of one study (by Study Instance UID), of
// VIEW_Series, narrowed by patient and study keys.
#ifndef VANTOR_QUERY_SERIES_QUERY_H_
#define VANTOR_QUERY_SERIES_QUERY_H_

#include <cstdint>
#include <string>

#include "dicom/request_context.h"
#include "dicom/toolkit/toolkit.h"
#include "host/base/database.h"
#include "query/level_query.h"
#include "query/result_row.h"

namespace vantor {

// The statement for a SERIES-level identifier. The patient ID is compared
// as given (no wildcards) and the birth date as text. Throws a Failure for
// a patient ID that must be an internal key and is no whole number.
std::string SeriesStatement(const dicom::Dataset& identifier,
                            bool bSiemensBug, bool bInternalID);

// The response for one row, without the instance count.
dicom::Dataset SeriesResponse(const dicom::Dataset& identifier,
                              const ResultRow& row, int32_t row_number);

// Runs the SERIES-level query on `db` with the current settings
// (CountSeries), handing each response to `sink` as its row is read. False
// when it failed; the failure is logged under "GetSeriesData".
bool GetSeriesData(const dicom::RequestContext& context,
                   const dicom::Dataset& identifier,
                   const dicom::ResponseSink& sink) noexcept;

}  // namespace vantor

#endif  // VANTOR_QUERY_SERIES_QUERY_H_
