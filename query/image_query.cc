#include "query/image_query.h"

#include "host/base/failure.h"
#include "query/match_keys.h"
#include "query/study_keys.h"

namespace vantor {
namespace {

constexpr char kProcedure[] = "GetImageData";

// The number notation the toolkit layer takes decimal texts in (DICOM's
// own, whatever the host's regional settings).
constexpr char kToolkitDecimalSeparator = '.';

// Rows or Columns: the column as text; a CT image without a stored matrix
// size has 512.
void PutMatrixSize(dicom::Dataset& response, uint16_t element,
                   const Value& column, const Value& modality) {
  if (!column.IsNull()) {
    response.Put(0x0028, element, Value(column.ToText()));
  } else if (modality.IsText() && modality.text() == "CT") {
    response.Put(0x0028, element, Value("512"));
  }
}

}  // namespace

std::string ImageStatement(const dicom::Dataset& identifier, bool bSiemensBug,
                           bool bInternalID) {
  std::string sql;
  bool has_head = false;
  std::string patient_id = identifier.GetText(0x0010, 0x0020);
  if (!patient_id.empty()) {
    if (bInternalID) {
      sql = "Select * from VIEW_Images Where PATID = " +
            std::to_string(InternalPatientKey(patient_id));
    } else {
      AppendQuoted(sql, "Select * from VIEW_Images Where PATID1 = '",
                   patient_id, "'");
    }
    has_head = true;
  }
  std::string study_uid = identifier.GetText(0x0020, 0x000D);
  if (!study_uid.empty()) {
    if (has_head) {
      AppendQuoted(sql, " And StudyUID = '", study_uid, "'");
    } else {
      sql.clear();
      AppendQuoted(sql, "Select * From VIEW_Images where StudyUID = '",
                   study_uid, "'");
    }
    has_head = true;
  }
  std::string series_uid = identifier.GetText(0x0020, 0x000E);
  if (!series_uid.empty()) {
    if (has_head) {
      AppendQuoted(sql, " And SeriesUID = '", series_uid, "'");
    } else {
      sql.clear();
      AppendQuoted(sql, "Select * From VIEW_Images where SeriesUID = '",
                   series_uid, "'");
    }
  }

  AppendPatientKeys(sql, identifier, bSiemensBug);

  // Repeats the narrowest UID condition of the head; the result stays the
  // same.
  Value series = identifier.Get(0x0020, 0x000E);
  Value study = identifier.Get(0x0020, 0x000D);
  if (!series.IsNull()) {
    AppendQuoted(sql, " And SeriesUID = '", series.ToText(), "'");
  } else if (!study.IsNull()) {
    AppendQuoted(sql, " And StudyUID = '", study.ToText(), "'");
  }

  AppendUniqueKey(sql, "ImageUID", identifier.GetText(0x0008, 0x0018));

  sql += " ORDER BY PatNachname, PatVorname, PatGebDatum, PATID1, StudyID, "
         "ImageNr;";
  return sql;
}

std::string AdaptDecimalMark(std::string text, char separator) {
  char other = separator == ',' ? '.' : ',';
  for (char& c : text)
    if (c == other) c = separator;
  return text;
}

dicom::Dataset ImageResponse(const dicom::Dataset& identifier,
                             const ResultRow& row, int32_t row_number) {
  dicom::Dataset response(identifier);
  response.Put(0x0008, 0x0018, row["ImageUID"]);
  const Value& modality = row["Modality"];
  PutMatrixSize(response, 0x0010, row["ImageRows"], modality);
  PutMatrixSize(response, 0x0011, row["ImageCols"], modality);
  const Value& accession = row["Accession"];
  if (!accession.IsNull()) response.Put(0x0008, 0x0050, accession);
  const Value& image_number = row["ImageNr"];
  response.Put(0x0020, 0x0013,
               image_number.IsNull() ? Value(row_number) : image_number);
  const Value& location = row["ImageLocation"];
  if (!location.IsNull()) {
    response.Put(0x0020, 0x1041,
                 Value(AdaptDecimalMark(location.ToText(),
                                        kToolkitDecimalSeparator)));
  }
  const Value& thickness = row["ImageST"];
  if (!thickness.IsNull()) response.Put(0x0018, 0x0050, thickness);
  return response;
}

bool GetImageData(const dicom::RequestContext& context,
                  const dicom::Dataset& identifier,
                  const dicom::ResponseSink& sink) noexcept {
  return Guard(context.log, kProcedure, false, [&] {
    std::string sql =
        ImageStatement(identifier, context.bSiemensBug, context.bInternalID);
    RunLevelQuery(context.db, context.log, kProcedure,
                  "DICOM-Operation: C-FIND DICOM-Level: IMAGE", sql,
                  [&](const ResultRow& row, int32_t row_number) {
                    return ImageResponse(identifier, row, row_number);
                  },
                  sink);
    return true;
  });
}

}  // namespace vantor
