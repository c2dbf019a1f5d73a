// The PATIENT level: one response per patient of VIEW_Patienten_Standard
// matching the identifier's name, patient ID and birth date, with the
// patient's emergency flag and, by configuration, status and counts.
#ifndef VANTOR_QUERY_PATIENT_QUERY_H_
#define VANTOR_QUERY_PATIENT_QUERY_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "dicom/request_context.h"
#include "dicom/toolkit/toolkit.h"
#include "host/base/database.h"
#include "query/level_query.h"
#include "query/result_row.h"

namespace vantor {

// The statement for a PATIENT-level identifier. The name is matched by its
// own rule (split at every "^", no "Last, First" form); the patient ID is
// always matched against PATID1. Throws a Failure for a birth date that
// cannot be read.
std::string PatientStatement(const dicom::Dataset& identifier,
                             std::string_view date_format);

// The statement that finds an emergency study ("EM:...") of the patient.
std::string EmergencyStatement(int32_t patient_key);

// The response for one row with name, patient ID, birth date and sex; the
// emergency flag, status and counts are added by GetPatientData.
dicom::Dataset PatientResponse(const dicom::Dataset& identifier,
                               const ResultRow& row, bool bSiemensBug,
                               bool bInternalID);

// Runs the PATIENT-level query on `db` with the current settings
// (DateFormat, StudyStatus, CountPatient), handing each response to `sink`
// as its row is read. False when it failed; the failure is logged under
// "GetPatientData".
bool GetPatientData(const dicom::RequestContext& context,
                    const dicom::Dataset& identifier,
                    const dicom::ResponseSink& sink) noexcept;

}  // namespace vantor

#endif  // VANTOR_QUERY_PATIENT_QUERY_H_
