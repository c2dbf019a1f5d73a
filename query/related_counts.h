// The lookups that add related counts and a status to query responses:
// each runs one statement with the internal key of the row's patient, study
// or series and returns one number. A lookup that fails logs the failure
// under its own name and returns 0 (GetPatientStatus: the status reached).
#ifndef VANTOR_QUERY_RELATED_COUNTS_H_
#define VANTOR_QUERY_RELATED_COUNTS_H_

#include <cstdint>

#include "host/base/database.h"

namespace vantor {

int32_t GetImageCountFromPatient(Database& db, int32_t patient_key,
                                 const Log& log) noexcept;
int32_t GetSeriesCountFromPatient(Database& db, int32_t patient_key,
                                  const Log& log) noexcept;
int32_t GetStudyCountFromPatient(Database& db, int32_t patient_key,
                                 const Log& log) noexcept;
int32_t GetSeriesCountFromStudy(Database& db, int32_t study_key,
                                const Log& log) noexcept;
int32_t GetImageCountFromStudy(Database& db, int32_t study_key,
                               const Log& log) noexcept;
int32_t GetImageCountFromSeries(Database& db, int32_t series_key,
                                const Log& log) noexcept;

// The lowest non-negative status of the patient's studies, or 0 when there
// is none.
int32_t GetPatientStatus(Database& db, int32_t patient_key,
                         const Log& log) noexcept;

}  // namespace vantor

#endif  // VANTOR_QUERY_RELATED_COUNTS_H_
