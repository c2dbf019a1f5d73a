// What the importer takes from a received image for the archive's rows: the
// keys it is matched by and the column values of its patient, study, series
// and image, in the forms the views are read in.
#ifndef VANTOR_IMPORT_IMAGE_RECORD_H_
#define VANTOR_IMPORT_IMAGE_RECORD_H_

#include <string>

#include "dicom/toolkit/toolkit.h"
#include "import/import_statements.h"

namespace vantor {

struct ImageRecord {
  std::string patient_id;
  std::string study_uid;
  std::string series_uid;
  std::string sop_uid;
  // The study's folder when the importer makes the study: the study date's
  // year (or "0000") + "\" + the Study Instance UID, as the archive lays
  // its studies out.
  std::string study_directory;
  // The column values by placeholder name: PatientID, LastName, FirstName,
  // SecondFirstName, BirthDate, Sex, StudyUID, StudyNr, StudyDate,
  // StudyTime, StudyDescription, StudyModality, Bodypart, Referring,
  // Accession, SeriesUID, SeriesNr, SeriesModality, SeriesCBA, ImageUID,
  // SOPClassUID, ImageNr, ImageRows, ImageCols, ImageLocation, ImageST.
  SqlValues values;
};

// The record of an image with `attributes`. Throws a Failure (94, "Invalid
// use of Null: no Patient ID" and the like) for an image without Patient
// ID, Study, Series or SOP Instance UID: the archive cannot file it.
// Texts are cut to the archive's column widths; a name's components go
// to last, first and second first name; a date that is no date and a time
// that is no time become null.
ImageRecord RecordOf(const dicom::Dataset& attributes);

// A DICOM time (HHMMSS.FFFFFF, HHMM, HH, or with colons) as "HH:MM:SS";
// null when it is none.
Value TimeColumn(const std::string& tm);

}  // namespace vantor

#endif  // VANTOR_IMPORT_IMAGE_RECORD_H_
