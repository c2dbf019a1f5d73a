#include "retrieve/cget_files.h"

#include "host/base/config.h"
#include "host/base/failure.h"
#include "host/base/log.h"
#include "query/match_keys.h"
#include "retrieve/retrieve_keys.h"

namespace vantor {
namespace {

constexpr char kProcedure[] = "PrepareSendCGet";

// " AND " once a condition has been written, "" before the first.
const char* And(bool written) { return written ? " AND " : " "; }

}  // namespace

std::string CGetStatement(const dicom::Dataset& identifier, bool bSiemensBug,
                          bool bInternalID, std::string_view date_format) {
  std::string sql = "SELECT * FROM VIEW_images WHERE ";
  bool written = false;

  const std::string patient_id = identifier.PatientID();
  if (!patient_id.empty()) {
    if (bInternalID)
      sql += "PATID = " + std::to_string(InternalPatientKey(patient_id));
    else
      AppendQuoted(sql, "PATID1 = '", patient_id, "'");
    written = true;
  }

  // Without a name the last name still has to be there ("%").
  std::string name = identifier.PatientName();
  PreparedName parts = RetrievalName(name.empty() ? "%" : name, bSiemensBug);
  if (!parts.last.empty()) {
    std::string last = AcuteApostrophes(parts.last);
    std::string head =
        std::string(And(written)) +
        (HasWildcard(last) ? "PATNachname Like '" : "PATNachname = '");
    AppendQuoted(sql, head, last, "' ");
    written = true;
  }
  if (!parts.first.empty()) {
    // Always an equality, wildcards or not.
    AppendQuoted(sql, written ? " And PATVorname = '" : " PATVorname = '",
                 AcuteApostrophes(parts.first), "' ");
    written = true;
  }

  if (auto birth = ValidDate(identifier.Get(0x0010, 0x0030), date_format)) {
    AppendQuoted(sql, std::string(And(written)) + "PATGebDatum = '", *birth,
                 "' ");
    written = true;
  }

  const std::string study = identifier.GetText(0x0020, 0x000D);
  if (!study.empty()) {
    AppendQuoted(sql, std::string(And(written)) + "StudyUID = '", study, "' ");
    written = true;
  }
  const std::string series = identifier.GetText(0x0020, 0x000E);
  if (!series.empty()) AppendQuoted(sql, " AND SeriesUID = '", series, "' ");
  const std::string image = identifier.GetText(0x0008, 0x0018);
  if (!image.empty()) AppendQuoted(sql, " AND ImageUID = '", image, "' ");

  sql += " AND (FKeyStatusID > -1 Or FKeyStatusID Is Null)";
  sql +=
      " ORDER BY StudyID Desc, StudyUID, SeriesUID, SeriesID, ImageNr, "
      "ImageUID, ImageID;";
  return sql;
}

void ResolveCGetFiles(Database& db, const std::string& sql,
                      const FileExists& exists,
                      std::vector<std::string>& files) {
  std::vector<int> index;
  db.QueryEach(
      sql,
      [&](const std::vector<std::string>& columns) {
        index = FileColumnIndex(columns);
      },
      [&](const std::vector<Value>& row) {
        files.push_back(
            ResolveImageFile(CandidatesFor(FileColumnsOf(row, index)), exists));
        return true;
      });
}

bool PrepareSendCGet(const dicom::RequestContext& context,
                     const dicom::Dataset& identifier,
                     std::vector<std::string>& files) {
  files.clear();
  bool selected = Guard(context.log, kProcedure, false, [&] {
    std::string sql =
        CGetStatement(identifier, context.bSiemensBug, context.bInternalID,
                      context.settings().DateFormat);
    context.log.Debug("DICOM-Operation: C-GET", "");
    context.log.Debug("SQL: " + sql, "");
    ResolveCGetFiles(context.db, sql, RegularFileExists, files);
    return true;
  });
  if (!selected) files.clear();
  return selected;
}

}  // namespace vantor
