#include "query/study_query.h"

#include <cctype>

#include "host/base/config.h"
#include "host/base/failure.h"
#include "host/base/text.h"
#include "query/date_keys.h"
#include "query/match_keys.h"
#include "query/related_counts.h"
#include "query/study_keys.h"

namespace vantor {
namespace {

constexpr char kProcedure[] = "GetStudyData";
constexpr size_t kLongestSingleDate = 10;

bool IsEmergency(const Value& description) {
  if (description.IsNull()) return false;
  return StartsWithIgnoringCase(description.ToText(), "EM:");
}

void PutWhenNotNull(dicom::Dataset& response, uint16_t group,
                    uint16_t element, const Value& column) {
  if (!column.IsNull()) response.Put(group, element, AsText(column));
}

}  // namespace

std::string StudyStatement(const dicom::Dataset& identifier, bool bSiemensBug,
                           bool bInternalID, std::string_view date_format) {
  std::string sql = "SELECT * FROM VIEW_Studies WHERE ";

  // The patient ID condition always comes first; no key matches every ID.
  std::string patient_id = identifier.GetText(0x0010, 0x0020);
  if (patient_id.empty()) patient_id.push_back('%');
  patient_id = SternProzent(FragezeichenUnterstrich(patient_id));
  if (HasWildcard(patient_id)) {
    AppendQuoted(sql, "PATID1 Like '", patient_id, "' ");
  } else if (bInternalID) {
    sql += "PATID = " + std::to_string(InternalPatientKey(patient_id)) + " ";
  } else {
    AppendQuoted(sql, "PATID1 = '", patient_id, "' ");
  }

  PreparedName name = PrepareName(identifier.Get(0x0010, 0x0010), bSiemensBug);
  if (!name.last.empty()) {
    AppendEqualOrLike(sql, "And PATNachname = '", "And PATNachname LIKE '",
                      AcuteApostrophes(name.last), "' ");
  }
  if (!name.first.empty()) {
    AppendEqualOrLike(sql, " And PATVorname = '", " And PATVorname Like '",
                      AcuteApostrophes(name.first), "' ");
  }

  AppendBirthDateMatch(sql, identifier, date_format);

  Value study_date = identifier.Get(0x0008, 0x0020);
  if (!study_date.IsNull()) {
    bool single = study_date.ToText().size() <= kLongestSingleDate;
    std::optional<DateMatch> date = StudyDateMatch(study_date, date_format);
    if (date && single) {
      AppendQuoted(sql, " And StudyDate = '", date->lower, "'");
    } else if (date && date->range) {
      AppendQuoted(sql, " AND StudyDate Between '", date->lower, "' And '");
      AppendQuoted(sql, "", date->upper, "'");
    } else if (date) {
      AppendQuoted(sql, " AND StudyDate = '", date->lower, "'");
    }
  }

  AppendStudyAttributeKeys(sql, identifier, kStudyReferringLike);
  AppendUniqueKey(sql, "StudyUID", identifier.GetText(0x0020, 0x000D));

  sql +=
      " And (FKeyStatusID > -1 or FKeyStatusID is Null) ORDER BY PatNachname, "
      "PatVorname, PatGebDatum, PATID1, StudyDate, StudyTime";
  sql += ";";
  return sql;
}

dicom::Dataset StudyResponse(const dicom::Dataset& identifier,
                             const ResultRow& row, int32_t row_number,
                             bool bSiemensBug, bool bInternalID,
                             bool study_status) {
  dicom::Dataset response(identifier);
  response.Put(0x0010, 0x0010,
               Value(ComposePatientName(row["PATNachname"], row["PATVorname"],
                                        row["PAT2Vorname"], bSiemensBug)));
  response.Put(0x0010, 0x0020,
               AsText(bInternalID ? row["PATID"] : row["PATID1"]));
  PutWhenNotNull(response, 0x0010, 0x0030, row["PATGebDatum"]);
  PutWhenNotNull(response, 0x0010, 0x0040, row["PATGeschlecht"]);
  response.Put(0x0020, 0x000D, AsText(row["StudyUID"]));
  PutWhenNotNull(response, 0x0008, 0x0020, row["StudyDate"]);
  PutWhenNotNull(response, 0x0008, 0x0030, row["StudyTime"]);
  const Value& modality = row["Modality"];
  PutWhenNotNull(response, 0x0008, 0x0060, modality);
  PutWhenNotNull(response, 0x0008, 0x0061, modality);  // Modalities in Study
  const Value& description = row["StudyDescription"];
  response.Put(0x0008, 0x1030,
               description.IsNull() ? Value("N/A") : AsText(description));
  PutWhenNotNull(response, 0x0018, 0x0015, row["Bodypart"]);
  PutWhenNotNull(response, 0x0008, 0x0090, row["UeberweiserName"]);
  PutWhenNotNull(response, 0x0008, 0x0050, row["Accession"]);
  const Value& study_number = row["StudyNr"];
  response.Put(0x0020, 0x0010,
               study_number.IsNull() ? Value(row_number) : AsText(study_number));
  // Study Priority ID: an emergency study is described "EM:...".
  if (IsEmergency(description)) response.Put(0x0032, 0x000C, Value("1"));
  if (study_status) {
    const Value& status = row["FKeyStatusID"];
    response.Put(0x0032, 0x000A,
                 status.IsNull() ? Value("0") : AsText(status));
  }
  return response;
}

bool GetStudyData(const dicom::RequestContext& context,
                  const dicom::Dataset& identifier,
                  const dicom::ResponseSink& sink) noexcept {
  Database& db = context.db;
  const bool bSiemensBug = context.bSiemensBug;
  const bool bInternalID = context.bInternalID;
  return Guard(context.log, kProcedure, false, [&] {
    const Config& settings = context.settings();
    std::string sql = StudyStatement(identifier, bSiemensBug, bInternalID,
                                     settings.DateFormat);
    RunLevelQuery(
        db, context.log, kProcedure,
        "DICOM-Operation: C-FIND DICOM-Level: STUDY", sql,
        [&](const ResultRow& row, int32_t row_number) {
          dicom::Dataset response =
              StudyResponse(identifier, row, row_number, bSiemensBug,
                            bInternalID, settings.StudyStatus);
          if (settings.CountStudy) {
            int32_t study_key = WholeNumber(row["StudyID"]);
            int32_t series =
                GetSeriesCountFromStudy(db, study_key, context.log);
            response.Put(0x0020, 0x1000, Value(series));  // Series in Study
            response.Put(0x0020, 0x1206, Value(series));
            response.Put(
                0x0020, 0x1208,
                Value(GetImageCountFromStudy(db, study_key, context.log)));
          }
          return response;
        },
        sink);
    return true;
  });
}

}  // namespace vantor
