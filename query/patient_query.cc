#include "query/patient_query.h"

#include <vector>

#include "host/base/config.h"
#include "host/base/failure.h"
#include "query/match_keys.h"
#include "query/related_counts.h"
#include "query/study_keys.h"

namespace vantor {
namespace {

constexpr char kProcedure[] = "GetPatientData";

// The first `count` components of a name split at every "^"; missing ones
// are empty.
std::vector<std::string> NameComponents(const std::string& name,
                                        size_t count) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (parts.size() < count) {
    size_t caret = name.find('^', start);
    if (start > name.size()) {
      parts.emplace_back();
    } else if (caret == std::string::npos) {
      parts.push_back(name.substr(start));
      start = name.size() + 1;
    } else {
      parts.push_back(name.substr(start, caret - start));
      start = caret + 1;
    }
  }
  return parts;
}

}  // namespace

std::string PatientStatement(const dicom::Dataset& identifier,
                             std::string_view date_format) {
  std::string sql = "SELECT * FROM VIEW_Patienten_Standard WHERE ";

  std::string name = identifier.PatientName();
  name = name.empty()
             ? "%"
             : FragezeichenUnterstrich(SternProzent(RemoveBrackets(name)));
  std::vector<std::string> parts = NameComponents(AcuteApostrophes(name), 3);
  const std::string& last = parts[0];
  const std::string& first = parts[1];
  const std::string& second_first = parts[2];
  // Always written: a name beginning with "^" matches an empty last name.
  AppendEqualOrLike(sql, "PATNachname = '", "PATNachname Like '", last, "' ");
  if (!first.empty()) {
    AppendEqualOrLike(sql, "And PATVorname = '", "And PATVorname Like '",
                      first, "' ");
    // A second first name is matched only together with the first name.
    if (!second_first.empty()) {
      AppendEqualOrLike(sql, "And PAT2Vorname = '", "And PAT2Vorname Like '",
                        second_first, "' ");
    }
  }

  Value patient_id = identifier.Get(0x0010, 0x0020);
  if (!patient_id.IsNull()) {
    std::string id =
        FragezeichenUnterstrich(SternProzent(patient_id.ToText()));
    if (!id.empty())
      AppendEqualOrLike(sql, "And PATID1 = '", "And PATID1 Like '", id, "' ");
  }

  AppendBirthDateMatch(sql, identifier, date_format);

  sql += " ORDER BY PatNachname, PatVorname, PatGebDatum, PATID1;";
  return sql;
}

std::string EmergencyStatement(int32_t patient_key) {
  return "Select FKeyStatusID from tblStudies where FKeyPATID = " +
         std::to_string(patient_key) + " And StudyDescription Like 'EM:%'";
}

dicom::Dataset PatientResponse(const dicom::Dataset& identifier,
                               const ResultRow& row, bool bSiemensBug,
                               bool bInternalID) {
  dicom::Dataset response(identifier);
  response.Put(0x0010, 0x0010,
               Value(ComposePatientName(row["PATNachname"], row["PATVorname"],
                                        row["PAT2Vorname"], bSiemensBug)));
  // The patient level hands the columns over as stored.
  response.Put(0x0010, 0x0020, bInternalID ? row["PATID"] : row["PATID1"]);
  const Value& birth_date = row["PATGebDatum"];
  if (!birth_date.IsNull()) response.Put(0x0010, 0x0030, birth_date);
  const Value& sex = row["PATGeschlecht"];
  if (!sex.IsNull()) response.Put(0x0010, 0x0040, sex);
  return response;
}

bool GetPatientData(const dicom::RequestContext& context,
                    const dicom::Dataset& identifier,
                    const dicom::ResponseSink& sink) noexcept {
  Database& db = context.db;
  const bool bSiemensBug = context.bSiemensBug;
  const bool bInternalID = context.bInternalID;
  return Guard(context.log, kProcedure, false, [&] {
    const Config& settings = context.settings();
    std::string sql = PatientStatement(identifier, settings.DateFormat);
    RunLevelQuery(
        db, context.log, kProcedure,
        "DICOM-Operation: C-Find DICOM-Level: PATIENT", sql,
        [&](const ResultRow& row, int32_t) {
          dicom::Dataset response =
              PatientResponse(identifier, row, bSiemensBug, bInternalID);
          int32_t patient_key = WholeNumber(row["PATID"]);
          bool emergency = !db.Query(EmergencyStatement(patient_key)).empty();
          response.Put(0x0038, 0x0500, Value(emergency ? 1 : 0));  // State
          if (settings.StudyStatus) {
            response.Put(0x0038, 0x0008,  // Visit Status ID
                         Value(GetPatientStatus(db, patient_key, context.log)));
          }
          if (settings.CountPatient) {
            response.Put(
                0x0020, 0x1200,
                Value(GetStudyCountFromPatient(db, patient_key, context.log)));
            response.Put(
                0x0020, 0x1202,
                Value(GetSeriesCountFromPatient(db, patient_key, context.log)));
            response.Put(
                0x0020, 0x1204,
                Value(GetImageCountFromPatient(db, patient_key, context.log)));
          }
          return response;
        },
        sink);
    return true;
  });
}

}  // namespace vantor
