#include "query/related_counts.h"

#include <string>

#include "host/base/failure.h"
#include "host/base/log.h"
#include "query/result_row.h"

namespace vantor {
namespace {

constexpr char kStatusSuffix[] =
    " And (FKeyStatusID = Null or FKeyStatusID >= 0)";

// Runs `head` + key + `suffix` and returns the first field of the first row
// as a whole number, with the debug line "<name> = <count>".
int32_t Count(Database& db, const Log& log, const char* name, const char* head,
              int32_t key, const char* suffix) noexcept {
  return Guard(log, name, int32_t{0}, [&] {
    ResultSet rs = db.Query(head + std::to_string(key) + suffix);
    if (rs.empty() || rs.rows[0].empty())
      throw Failure(3021,
                    "Either BOF or EOF is True, or the current record has "
                    "been deleted. Requested operation requires a current "
                    "record.");
    int32_t count = WholeNumber(rs.rows[0][0]);
    log.Debug(std::string(name) + " = " + std::to_string(count), "");
    return count;
  });
}

}  // namespace

int32_t GetImageCountFromPatient(Database& db, int32_t patient_key,
                                 const Log& log) noexcept {
  return Count(db, log, "GetImageCountFromPatient",
               "Select Count(ImageID) as CountImageID from View_Images where "
               "PATID = ",
               patient_key, "");
}

int32_t GetSeriesCountFromPatient(Database& db, int32_t patient_key,
                                  const Log& log) noexcept {
  return Count(db, log, "GetSeriesCountFromPatient",
               "Select Count(SeriesID) as CountSeriesID from View_Series where "
               "PatID = ",
               patient_key, kStatusSuffix);
}

int32_t GetStudyCountFromPatient(Database& db, int32_t patient_key,
                                 const Log& log) noexcept {
  return Count(db, log, "GetStudyCountFromPatient",
               "Select Count(StudyID) as CountStudyID from tblStudies where "
               "FKeyPatID = ",
               patient_key, kStatusSuffix);
}

int32_t GetSeriesCountFromStudy(Database& db, int32_t study_key,
                                const Log& log) noexcept {
  return Count(db, log, "GetSeriesCountFromStudy",
               "Select Count(SeriesID) as CountSeriesID from tblSeries where "
               "FKeyStudyID = ",
               study_key, "");
}

int32_t GetImageCountFromStudy(Database& db, int32_t study_key,
                               const Log& log) noexcept {
  return Count(db, log, "GetImageCountFromStudy",
               "Select Count(ImageID) as CountImageID from View_Images where "
               "StudyID = ",
               study_key, "");
}

int32_t GetImageCountFromSeries(Database& db, int32_t series_key,
                                const Log& log) noexcept {
  return Count(db, log, "GetImageCountFromSeries",
               "Select Count(ImageID) as CountImageID from tblImages where "
               "FKeySeriesID = ",
               series_key, "");
}

int32_t GetPatientStatus(Database& db, int32_t patient_key,
                         const Log& log) noexcept {
  int32_t status = 0;
  GuardVoid(log, "GetPatientStatus", [&] {
    ResultSet rs = db.Query(
        "Select FKeyStatusID from tblStudies where FKeyPATID = " +
        std::to_string(patient_key) + kStatusSuffix +
        " order by FKeyStatusID Desc");
    // Highest status first: the last non-negative one is the lowest.
    for (const std::vector<Value>& row : rs.rows) {
      if (row.empty() || row[0].IsNull()) break;
      int32_t value = WholeNumber(row[0]);
      if (value < 0) break;
      status = value;
    }
    log.Debug("GetPatientStatus = " + std::to_string(status), "");
  });
  return status;
}

}  // namespace vantor
