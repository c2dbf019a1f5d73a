#include "tests/support/fixture_archive.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <locale>
#include <sstream>
#include <stdexcept>

#include "archive/sql_script.h"
#include "host/base/config.h"

namespace vantor {
namespace {

std::string Text(const std::optional<std::string>& value) {
  return value ? "'" + SqlQuote(*value) + "'" : "NULL";
}

std::string Text(const std::string& value) {
  return "'" + SqlQuote(value) + "'";
}

std::string Number(const std::optional<int64_t>& value) {
  return value ? std::to_string(*value) : "NULL";
}

std::string Number(const std::optional<double>& value) {
  if (!value) return "NULL";
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out.precision(17);
  out << *value;
  return out.str();
}

std::string Flag(const std::optional<bool>& value) {
  return value ? (*value ? "1" : "0") : "NULL";
}

std::string ReadSchema() {
  const std::string path =
      std::string(VANTOR_SOURCE_DIR) + "/archive/schema.sql";
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::string((std::istreambuf_iterator<char>(in)),
                     std::istreambuf_iterator<char>());
}

}  // namespace

FixtureArchive::FixtureArchive() {
  char pattern[] = "/tmp/vantor-archive-XXXXXX";
  if (::mkdtemp(pattern) == nullptr)
    throw std::runtime_error("cannot create the archive folder");
  dir_ = pattern;
  db_path_ = dir_ + "/archive.db";
  try {
    CreateSqliteFile(db_path_);
    db_.Open(ConnectionText(DBServer()));
    // No waiting for the disk: the file lives as long as the test.
    db_.Execute("PRAGMA synchronous = OFF");
    RunSqlScript(db_, ReadSchema());
  } catch (...) {
    db_.Close();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    throw;
  }
}

FixtureArchive::~FixtureArchive() {
  db_.Close();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::string FixtureArchive::DBServer() const { return "sqlite:" + db_path_; }

void FixtureArchive::UseAsDBServer() const {
  Config config = *Settings();
  config.DBServer = DBServer();
  PublishSettings(std::move(config));
}

int64_t FixtureArchive::Exec(const std::string& sql) {
  return db_.Execute(sql);
}

ResultSet FixtureArchive::Query(const std::string& sql) {
  return db_.Query(sql);
}

int64_t FixtureArchive::Insert(const std::string& sql) {
  db_.Execute(sql);
  ResultSet rs = db_.Query("SELECT last_insert_rowid() AS id");
  return rs.Get(0, "id").integer();
}

std::string FixtureArchive::NewUid() {
  return "1.2.999.7." + std::to_string(++uid_counter_);
}

int64_t FixtureArchive::AddNode(const std::string& aet, const std::string& ip,
                                bool siemens, bool internal_id,
                                std::optional<bool> store_only, int64_t port,
                                const std::string& calling_aet) {
  return Insert(
      "INSERT INTO tblDicomAETs (AET, IPAdress, IPPort, CallingAET, "
      "CallingHostName, AETSiemens, InternalID, StoreOnly) VALUES (" +
      Text(aet) + ", " + Text(ip) + ", " + std::to_string(port) + ", " +
      Text(calling_aet.empty() ? aet : calling_aet) + ", 'localhost', " +
      Flag(siemens) + ", " + Flag(internal_id) + ", " + Flag(store_only) + ")");
}

int64_t FixtureArchive::AddPatient(const Patient& p) {
  return Insert(
      "INSERT INTO tblPatienten (PATID1, PATNachname, PATVorname, "
      "PAT2Vorname, PATGebDatum, PATGeschlecht) VALUES (" +
      Text(p.patient_id) + ", " + Text(p.last_name) + ", " +
      Text(p.first_name) + ", " + Text(p.second_first_name) + ", " +
      Text(p.birth_date) + ", " + Text(p.sex) + ")");
}

int64_t FixtureArchive::AddLocation(const Location& l) {
  return Insert(
      "INSERT INTO tblArchive (ArchivePath, ArchiveUNC, MirrorPath, "
      "MirrorUNC) VALUES (" +
      Text(l.archive_path) + ", " + Text(l.archive_unc) + ", " +
      Text(l.mirror_path) + ", " + Text(l.mirror_unc) + ")");
}

int64_t FixtureArchive::AddStudy(int64_t patient_key, const Study& s) {
  std::string uid = s.study_uid.empty() ? NewUid() : s.study_uid;
  return Insert(
      "INSERT INTO tblStudies (StudyUID, FKeyPatID, FKeyArchiveID, "
      "FKeyStatusID, KeyStudy, StudyNr, StudyDate, StudyTime, "
      "StudyDescription, Modality, Bodypart, UeberweiserName, Accession, "
      "StudyDirectory1) VALUES (" +
      Text(uid) + ", " + std::to_string(patient_key) + ", " +
      Number(s.archive_id) + ", " + Number(s.status) + ", " +
      std::to_string(s.key_study) + ", " + Text(s.study_nr) + ", " +
      Text(s.study_date) + ", " + Text(s.study_time) + ", " +
      Text(s.description) + ", " + Text(s.modality) + ", " + Text(s.body_part) +
      ", " + Text(s.referring_physician) + ", " + Text(s.accession) + ", " +
      Text(s.directory) + ")");
}

int64_t FixtureArchive::AddSeries(int64_t study_key, const Series& s) {
  std::string uid = s.series_uid.empty() ? NewUid() : s.series_uid;
  return Insert(
      "INSERT INTO tblSeries (SeriesUID, FKeyStudyID, SeriesNr, Modality, "
      "SeriesCBA) VALUES (" +
      Text(uid) + ", " + std::to_string(study_key) + ", " +
      Number(s.series_nr) + ", " + Text(s.modality) + ", " +
      Text(s.contrast_agent) + ")");
}

int64_t FixtureArchive::AddImage(int64_t series_key, const Image& i) {
  std::string uid = i.image_uid.empty() ? NewUid() : i.image_uid;
  return Insert(
      "INSERT INTO tblImages (ImageUID, FKeySeriesID, SOPClassUID, ImageNr, "
      "ImageRows, ImageCols, ImageLocation, ImageST) VALUES (" +
      Text(uid) + ", " + std::to_string(series_key) + ", " +
      Text(i.sop_class_uid) + ", " + Number(i.image_nr) + ", " +
      Number(i.rows) + ", " + Number(i.columns) + ", " + Number(i.location) +
      ", " + Number(i.thickness) + ")");
}

std::string FixtureArchive::StudyUid(int64_t study_key) {
  return db_
      .Query("SELECT StudyUID FROM tblStudies WHERE StudyID = " +
             std::to_string(study_key))
      .Get(0, "StudyUID")
      .ToText();
}

std::string FixtureArchive::SeriesUid(int64_t series_key) {
  return db_
      .Query("SELECT SeriesUID FROM tblSeries WHERE SeriesID = " +
             std::to_string(series_key))
      .Get(0, "SeriesUID")
      .ToText();
}

std::string FixtureArchive::ImageUid(int64_t image_key) {
  return db_
      .Query("SELECT ImageUID FROM tblImages WHERE ImageID = " +
             std::to_string(image_key))
      .Get(0, "ImageUID")
      .ToText();
}

}  // namespace vantor
