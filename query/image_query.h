// The IMAGE level: the images of VIEW_Images anchored on the patient, the
// study and the series the identifier names, narrowed by name and birth
// date.
#ifndef VANTOR_QUERY_IMAGE_QUERY_H_
#define VANTOR_QUERY_IMAGE_QUERY_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "dicom/request_context.h"
#include "dicom/toolkit/toolkit.h"
#include "host/base/database.h"
#include "query/level_query.h"
#include "query/result_row.h"

namespace vantor {

// The statement for an IMAGE-level identifier. Without patient ID, Study
// and Series Instance UID it has no head, and the server rejects it.
// Throws a Failure for a patient ID that must be an internal key and is no
// whole number.
std::string ImageStatement(const dicom::Dataset& identifier, bool bSiemensBug,
                           bool bInternalID);

// A number text with its decimal mark turned into `separator` ("." or ",").
std::string AdaptDecimalMark(std::string text, char separator);

// The response for one row.
dicom::Dataset ImageResponse(const dicom::Dataset& identifier,
                             const ResultRow& row, int32_t row_number);

// Runs the IMAGE-level query on `db`, handing each response to `sink` as
// its row is read. False when it failed; the failure is logged under
// "GetImageData".
bool GetImageData(const dicom::RequestContext& context,
                  const dicom::Dataset& identifier,
                  const dicom::ResponseSink& sink) noexcept;

}  // namespace vantor

#endif  // VANTOR_QUERY_IMAGE_QUERY_H_
