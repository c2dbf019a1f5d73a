// The study attributes that the study and series levels match alike: sex,
// accession number, modality, referring physician, study description, body
// part and the key-study flag.
#ifndef VANTOR_QUERY_STUDY_KEYS_H_
#define VANTOR_QUERY_STUDY_KEYS_H_

#include <string>
#include <string_view>

#include "dicom/toolkit/toolkit.h"

namespace vantor {

// Appends the conditions of the identifier's study attribute keys in their
// fixed order. `referring_like` is the referring-physician head up to the
// opening "%" (its LIKE is written in upper case at the study level and in
// lower case at the series level).
void AppendStudyAttributeKeys(std::string& sql,
                              const dicom::Dataset& identifier,
                              std::string_view referring_like);

// The referring-physician heads of the two levels.
inline constexpr char kStudyReferringLike[] = " AND (UeberweiserName LIKE '%";
inline constexpr char kSeriesReferringLike[] = " AND (UeberweiserName like '%";

}  // namespace vantor

#endif  // VANTOR_QUERY_STUDY_KEYS_H_
