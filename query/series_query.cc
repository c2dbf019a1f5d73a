#include "query/series_query.h"

#include "host/base/config.h"
#include "host/base/failure.h"
#include "query/match_keys.h"
#include "query/related_counts.h"
#include "query/study_keys.h"

namespace vantor {
namespace {

constexpr char kProcedure[] = "GetSeriesData";

void PutWhenNotNull(dicom::Dataset& response, uint16_t group,
                    uint16_t element, const Value& column) {
  if (!column.IsNull()) response.Put(group, element, column);
}

}  // namespace

std::string SeriesStatement(const dicom::Dataset& identifier,
                            bool bSiemensBug, bool bInternalID) {
  // A series query is made within one study: without a Study Instance UID
  // it compares with the empty text and finds nothing.
  std::string patient_id = identifier.GetText(0x0010, 0x0020);
  std::string study_uid = identifier.GetText(0x0020, 0x000D);
  std::string sql;
  if (!patient_id.empty()) {
    if (bInternalID) {
      sql = "SELECT * FROM VIEW_Series WHERE PATID = " +
            std::to_string(InternalPatientKey(patient_id));
    } else {
      AppendQuoted(sql, "SELECT * FROM VIEW_Series WHERE PATID1 = '",
                   patient_id, "'");
    }
    AppendQuoted(sql, " AND StudyUID = '", study_uid, "'");
  } else {
    AppendQuoted(sql, "SELECt * FROM VIEW_Series WHERE StudyUID = '",
                 study_uid, "'");
  }

  AppendPatientKeys(sql, identifier, bSiemensBug);

  AppendStudyAttributeKeys(sql, identifier, kSeriesReferringLike);
  AppendUniqueKey(sql, "SeriesUID", identifier.GetText(0x0020, 0x000E));

  sql +=
      " ORDER BY PatNachname, PatVorname, PatGebDatum, PatID1, StudyID, "
      "SeriesID, StudyDate, StudyTime;";
  return sql;
}

dicom::Dataset SeriesResponse(const dicom::Dataset& identifier,
                              const ResultRow& row, int32_t row_number) {
  dicom::Dataset response(identifier);
  response.Put(0x0020, 0x000E, row["SeriesUID"]);
  PutWhenNotNull(response, 0x0018, 0x0015, row["Bodypart"]);
  // The study's date and time stand for the series date and time.
  PutWhenNotNull(response, 0x0008, 0x0021, row["StudyDate"]);
  PutWhenNotNull(response, 0x0008, 0x0031, row["StudyTime"]);
  PutWhenNotNull(response, 0x0008, 0x0060, row["Modality"]);
  PutWhenNotNull(response, 0x0008, 0x0050, row["Accession"]);
  const Value& contrast = row["SeriesCBA"];
  response.Put(0x0018, 0x0010, contrast.IsNull() ? Value("NONE") : contrast);
  const Value& series_number = row["SeriesNr"];
  response.Put(0x0020, 0x0011,
               series_number.IsNull() ? Value(row_number) : series_number);
  return response;
}

bool GetSeriesData(const dicom::RequestContext& context,
                   const dicom::Dataset& identifier,
                   const dicom::ResponseSink& sink) noexcept {
  Database& db = context.db;
  const bool bSiemensBug = context.bSiemensBug;
  const bool bInternalID = context.bInternalID;
  return Guard(context.log, kProcedure, false, [&] {
    const Config& settings = context.settings();
    std::string sql = SeriesStatement(identifier, bSiemensBug, bInternalID);
    RunLevelQuery(
        db, context.log, kProcedure,
        "DICOM-Operation: C-FIND DICOM-Level: SERIES", sql,
        [&](const ResultRow& row, int32_t row_number) {
          dicom::Dataset response = SeriesResponse(identifier, row, row_number);
          if (settings.CountSeries) {
            response.Put(0x0020, 0x1209,  // Number of Series Related Instances
                         Value(GetImageCountFromSeries(
                             db, WholeNumber(row["SeriesID"]), context.log)));
          }
          return response;
        },
        sink);
    return true;
  });
}

}  // namespace vantor
