// The keys that levels match alike: the study attributes of the study and
// series levels (sex, accession number, modality, referring physician,
// study description, body part and the key-study flag), and the patient
// keys of the other levels.
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

// Appends the conditions of the patient name and birth date keys as the
// series and image levels write them: the last and first name by equality,
// or by Like with a wildcard; the birth date as received.
void AppendPatientKeys(std::string& sql, const dicom::Dataset& identifier,
                       bool bSiemensBug);

// Appends the condition of the birth date key as the patient and study
// levels write it: one date, or a range (Between), in `date_format`.
void AppendBirthDateMatch(std::string& sql, const dicom::Dataset& identifier,
                          std::string_view date_format);

// The referring-physician heads of the two levels.
inline constexpr char kStudyReferringLike[] = " AND (UeberweiserName LIKE '%";
inline constexpr char kSeriesReferringLike[] = " AND (UeberweiserName like '%";

}  // namespace vantor

#endif  // VANTOR_QUERY_STUDY_KEYS_H_
