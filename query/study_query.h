// The STUDY level: one response per study of VIEW_Studies that matches the
// identifier, leaving out withdrawn studies (negative status).
#ifndef VANTOR_QUERY_STUDY_QUERY_H_
#define VANTOR_QUERY_STUDY_QUERY_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "dicom/request_context.h"
#include "dicom/toolkit/toolkit.h"
#include "host/base/database.h"
#include "query/level_query.h"
#include "query/result_row.h"

namespace vantor {

// The statement for a STUDY-level identifier, with dates written in
// `date_format`. Throws a Failure for a patient ID that must be an internal
// key and is no whole number, and for a birth date that cannot be read.
std::string StudyStatement(const dicom::Dataset& identifier, bool bSiemensBug,
                           bool bInternalID, std::string_view date_format);

// The response for one row: the identifier with the row's patient and
// study attributes, the study status with `study_status`; without the
// related counts.
dicom::Dataset StudyResponse(const dicom::Dataset& identifier,
                             const ResultRow& row, int32_t row_number,
                             bool bSiemensBug, bool bInternalID,
                             bool study_status);

// Runs the STUDY-level query on `db` with the current settings (DateFormat,
// StudyStatus, CountStudy), handing each response to `sink` as its row is
// read. False when it failed; the failure is logged under "GetStudyData".
bool GetStudyData(const dicom::RequestContext& context,
                  const dicom::Dataset& identifier,
                  const dicom::ResponseSink& sink) noexcept;

}  // namespace vantor

#endif  // VANTOR_QUERY_STUDY_QUERY_H_
