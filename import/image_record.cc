#include "import/image_record.h"

#include <cctype>
#include <cstdio>
#include <vector>

#include "host/base/failure.h"
#include "retrieve/store/incoming_files.h"

namespace vantor {
namespace {

// `text` cut to at most `bytes` bytes, never inside a UTF-8 character.
std::string Cut(std::string_view text, size_t bytes) {
  if (text.size() <= bytes) return std::string(text);
  size_t end = bytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
    --end;
  return std::string(text.substr(0, end));
}

std::string TrimBlanks(std::string text) {
  size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  size_t last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

// A text column: null when empty.
Value TextColumn(const dicom::Dataset& ds, uint16_t group, uint16_t element,
                 size_t width) {
  std::string text = TrimBlanks(ds.GetText(group, element));
  if (text.empty()) return Value();
  return Value(Cut(text, width));
}

// A whole-number column: null unless the value is one.
Value NumberColumn(const dicom::Dataset& ds, uint16_t group,
                   uint16_t element) {
  Value v = ds.Get(group, element);
  if (v.IsInteger()) return v;
  if (v.IsDecimal()) return Value(static_cast<int64_t>(v.decimal()));
  return Value();
}

Value DecimalColumn(const dicom::Dataset& ds, uint16_t group,
                    uint16_t element) {
  Value v = ds.Get(group, element);
  if (v.IsDecimal() || v.IsInteger()) return v;
  return Value();
}

Value DateColumn(const dicom::Dataset& ds, uint16_t group, uint16_t element) {
  Value v = ds.Get(group, element);
  if (!v.IsDate()) return Value();
  const Date& d = v.date();
  if (d.year < 1 || d.month < 1 || d.month > 12 || d.day < 1 || d.day > 31)
    return Value();
  return v;
}

std::string Required(const dicom::Dataset& ds, uint16_t group,
                     uint16_t element, const char* what) {
  std::string text = TrimBlanks(ds.GetText(group, element));
  if (text.empty())
    throw Failure(kInvalidUseOfNull, std::string("Invalid use of Null: no ") +
                                         what);
  return text;
}

// The alphabetic group of a person name split at "^": last, first, second
// first name. An empty component before a present one stays "" so that the
// name reads back with its carets in place.
void PutNameParts(const std::string& name, SqlValues& values) {
  std::string alphabetic = name.substr(0, name.find('='));
  std::vector<std::string> parts;
  size_t start = 0;
  for (int i = 0; i < 3; ++i) {
    size_t caret = alphabetic.find('^', start);
    parts.push_back(TrimBlanks(alphabetic.substr(
        start, caret == std::string::npos ? std::string::npos
                                          : caret - start)));
    if (caret == std::string::npos) break;
    start = caret + 1;
  }
  parts.resize(3);
  size_t present = 0;
  for (size_t i = 0; i < 3; ++i)
    if (!parts[i].empty()) present = i + 1;
  const char* names[3] = {"LastName", "FirstName", "SecondFirstName"};
  for (size_t i = 0; i < 3; ++i)
    values[names[i]] = i < present ? Value(Cut(parts[i], 64)) : Value();
}

}  // namespace

Value TimeColumn(const std::string& tm) {
  std::string digits;
  for (char c : tm) {
    if (c == ':') continue;
    if (!std::isdigit(static_cast<unsigned char>(c))) break;
    digits.push_back(c);
  }
  if (digits.size() < 2 || digits.size() % 2 != 0) return Value();
  digits.resize(std::min<size_t>(digits.size(), 6));
  while (digits.size() < 6) digits += "00";
  int h = std::stoi(digits.substr(0, 2));
  int m = std::stoi(digits.substr(2, 2));
  int s = std::stoi(digits.substr(4, 2));
  // A leap second (60) is kept within the minute.
  if (h > 23 || m > 59 || s > 60) return Value();
  char text[48];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", h, m, s > 59 ? 59 : s);
  return Value(std::string(text));
}

ImageRecord RecordOf(const dicom::Dataset& ds) {
  ImageRecord r;
  r.patient_id = Cut(Required(ds, 0x0010, 0x0020, "Patient ID"), 64);
  r.study_uid = Required(ds, 0x0020, 0x000D, "Study Instance UID");
  r.series_uid = Required(ds, 0x0020, 0x000E, "Series Instance UID");
  r.sop_uid = Required(ds, 0x0008, 0x0018, "SOP Instance UID");
  // The study UID names the study's folder: nothing but a UID may.
  for (const std::string* uid : {&r.study_uid, &r.series_uid, &r.sop_uid})
    if (!IsFileNameUid(*uid))
      throw Failure(kInvalidProcedureCall, "Invalid UID '" + Cut(*uid, 64) +
                                               "'");
  SqlValues& v = r.values;
  v["PatientID"] = Value(r.patient_id);
  PutNameParts(ds.GetText(0x0010, 0x0010), v);
  v["BirthDate"] = DateColumn(ds, 0x0010, 0x0030);
  v["Sex"] = TextColumn(ds, 0x0010, 0x0040, 16);
  v["StudyUID"] = Value(r.study_uid);
  v["StudyNr"] = TextColumn(ds, 0x0020, 0x0010, 16);
  v["StudyDate"] = DateColumn(ds, 0x0008, 0x0020);
  v["StudyTime"] = TimeColumn(ds.GetText(0x0008, 0x0030));
  v["StudyDescription"] = TextColumn(ds, 0x0008, 0x1030, 64);
  v["StudyModality"] = TextColumn(ds, 0x0008, 0x0060, 16);
  v["Bodypart"] = TextColumn(ds, 0x0018, 0x0015, 16);
  v["Referring"] = TextColumn(ds, 0x0008, 0x0090, 64);
  v["Accession"] = TextColumn(ds, 0x0008, 0x0050, 16);
  v["SeriesUID"] = Value(r.series_uid);
  v["SeriesNr"] = NumberColumn(ds, 0x0020, 0x0011);
  v["SeriesModality"] = TextColumn(ds, 0x0008, 0x0060, 16);
  v["SeriesCBA"] = TextColumn(ds, 0x0018, 0x0010, 64);
  v["ImageUID"] = Value(r.sop_uid);
  v["SOPClassUID"] = TextColumn(ds, 0x0008, 0x0016, 64);
  v["ImageNr"] = NumberColumn(ds, 0x0020, 0x0013);
  v["ImageRows"] = NumberColumn(ds, 0x0028, 0x0010);
  v["ImageCols"] = NumberColumn(ds, 0x0028, 0x0011);
  v["ImageLocation"] = DecimalColumn(ds, 0x0020, 0x1041);
  v["ImageST"] = DecimalColumn(ds, 0x0018, 0x0050);
  const Value& date = v["StudyDate"];
  char year[16];
  std::snprintf(year, sizeof year, "%04d",
                date.IsDate() ? date.date().year : 0);
  r.study_directory = std::string(year) + "\\" + r.study_uid;
  return r;
}

}  // namespace vantor
