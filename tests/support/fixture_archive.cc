#include "tests/support/fixture_archive.h"

#include <stdlib.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "archive/sql_script.h"
#include "tests/support/pg_server.h"

namespace vantor {
namespace {

std::string Text(const std::string& value) {
  return std::string("'") + SqlQuote(value) + "'";
}

std::string Text(const std::optional<std::string>& value) {
  return value ? Text(*value) : std::string("NULL");
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

std::string ReadSchema(const std::string& name) {
  const std::string path = std::string(VANTOR_SOURCE_DIR) + "/archive/" + name;
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::string((std::istreambuf_iterator<char>(in)),
                     std::istreambuf_iterator<char>());
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i])))
      return false;
  return true;
}

}  // namespace

std::string ArchiveBackendName(
    const ::testing::TestParamInfo<ArchiveBackend>& info) {
  return info.param == ArchiveBackend::kPostgres ? "PostgreSQL" : "SQLite";
}

FixtureArchive::FixtureArchive(ArchiveBackend backend) : backend_(backend) {
  if (backend_ == ArchiveBackend::kPostgres &&
      !PgServer::Available(&why_not_ready_))
    return;
  dir_ = folder_.emplace("archive").path();
  try {
    if (backend_ == ArchiveBackend::kPostgres) {
      database_number_ = PgServer::Get().CreateDatabase();
      database_ = PgServer::DatabaseName(database_number_);
      Connect();
    } else {
      db_path_ = dir_ + "/archive.db";
      CreateSqliteFile(db_path_);
      Connect();
      RunSqlScript(db_, Schema());
    }
  } catch (...) {
    db_.Close();
    if (database_number_ > 0) PgServer::Get().DropDatabase(database_number_);
    throw;
  }
}

FixtureArchive::~FixtureArchive() {
  db_.Close();
  if (database_number_ > 0) PgServer::Get().DropDatabase(database_number_);
}

void FixtureArchive::Connect() {
  db_.Open(ConnectionText(DBServer()));
  // No waiting for the disk: the file lives as long as the test.
  if (backend_ == ArchiveBackend::kSqlite)
    db_.Execute("PRAGMA synchronous = OFF");
}

std::string FixtureArchive::Schema() const {
  return ReadSchema(backend_ == ArchiveBackend::kPostgres
                        ? "schema-postgresql.sql"
                        : "schema.sql");
}

const std::string& FixtureArchive::db_path() const {
  if (backend_ != ArchiveBackend::kSqlite)
    throw std::logic_error("a PostgreSQL archive has no file");
  return db_path_;
}

std::string FixtureArchive::DBServer() const {
  if (backend_ == ArchiveBackend::kPostgres) {
    if (database_.empty()) throw std::logic_error(why_not_ready_);
    return "odbc:DSN=" + database_;
  }
  return "sqlite:" + db_path_;
}

void FixtureArchive::TakeAway() {
  if (away_) return;
  db_.Close();
  if (backend_ == ArchiveBackend::kSqlite) {
    std::filesystem::rename(db_path_, db_path_ + ".away");
  } else {
    // Refused while a session is on the database: the sessions the
    // service keeps idle are ended first, as an administrator taking the
    // database away ends them; one in a request ends with it, so a few
    // tries.
    for (int attempt = 0;; ++attempt) {
      try {
        PgServer::Get().Admin(
            "SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
            "WHERE datname = '" + database_ + "' AND state = 'idle'");
        PgServer::Get().Admin("ALTER DATABASE " + database_ + " RENAME TO " +
                              database_ + "_away");
        break;
      } catch (...) {
        if (attempt >= 50) throw;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    }
  }
  away_ = true;
}

void FixtureArchive::PutBack() {
  if (!away_) return;
  if (backend_ == ArchiveBackend::kSqlite)
    std::filesystem::rename(db_path_ + ".away", db_path_);
  else
    PgServer::Get().Admin("ALTER DATABASE " + database_ + "_away RENAME TO " +
                          database_);
  away_ = false;
  Connect();
}

bool FixtureArchive::Present() {
  if (backend_ == ArchiveBackend::kSqlite)
    return std::filesystem::exists(db_path_);
  Database admin;
  admin.Open(PgServer::Get().ConnectionTextFor("postgres"));
  return !admin
              .Query("SELECT datname FROM pg_database WHERE datname = '" +
                     database_ + "'")
              .empty();
}

void FixtureArchive::RestoreViews() {
  const std::vector<std::string> statements = SplitSqlScript(Schema());
  for (const char* verb : {"DROP VIEW", "CREATE VIEW"})
    for (const std::string& statement : statements)
      if (StartsWithNoCase(statement, verb)) db_.Execute(statement);
}

int64_t FixtureArchive::Exec(const std::string& sql) {
  return db_.Execute(sql);
}

ResultSet FixtureArchive::Query(const std::string& sql) {
  return db_.Query(sql);
}

int64_t FixtureArchive::Insert(const std::string& sql, const char* key) {
  if (backend_ == ArchiveBackend::kPostgres)
    return db_.Query(sql + " RETURNING " + key).Get(0, key).integer();
  db_.Execute(sql);
  ResultSet rs = db_.Query("SELECT last_insert_rowid() AS id");
  return rs.Get(0, "id").integer();
}

std::string FixtureArchive::Flag(const std::optional<bool>& value) const {
  if (!value) return "NULL";
  // BIT in SQLite's and SQL Server's tables, BOOLEAN in PostgreSQL's.
  if (backend_ == ArchiveBackend::kPostgres) return *value ? "TRUE" : "FALSE";
  return *value ? "1" : "0";
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
          Flag(siemens) + ", " + Flag(internal_id) + ", " + Flag(store_only) +
          ")",
      "AETID");
}

int64_t FixtureArchive::AddPatient(const Patient& p) {
  return Insert(
      "INSERT INTO tblPatienten (PATID1, PATNachname, PATVorname, "
      "PAT2Vorname, PATGebDatum, PATGeschlecht) VALUES (" +
          Text(p.patient_id) + ", " + Text(p.last_name) + ", " +
          Text(p.first_name) + ", " + Text(p.second_first_name) + ", " +
          Text(p.birth_date) + ", " + Text(p.sex) + ")",
      "PATID");
}

int64_t FixtureArchive::AddLocation(const Location& l) {
  return Insert(
      "INSERT INTO tblArchive (ArchivePath, ArchiveUNC, MirrorPath, "
      "MirrorUNC) VALUES (" +
          Text(l.archive_path) + ", " + Text(l.archive_unc) + ", " +
          Text(l.mirror_path) + ", " + Text(l.mirror_unc) + ")",
      "ArchiveID");
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
          Text(s.description) + ", " + Text(s.modality) + ", " +
          Text(s.body_part) + ", " + Text(s.referring_physician) + ", " +
          Text(s.accession) + ", " + Text(s.directory) + ")",
      "StudyID");
}

int64_t FixtureArchive::AddSeries(int64_t study_key, const Series& s) {
  std::string uid = s.series_uid.empty() ? NewUid() : s.series_uid;
  return Insert(
      "INSERT INTO tblSeries (SeriesUID, FKeyStudyID, SeriesNr, Modality, "
      "SeriesCBA) VALUES (" +
          Text(uid) + ", " + std::to_string(study_key) + ", " +
          Number(s.series_nr) + ", " + Text(s.modality) + ", " +
          Text(s.contrast_agent) + ")",
      "SeriesID");
}

int64_t FixtureArchive::AddImage(int64_t series_key, const Image& i) {
  std::string uid = i.image_uid.empty() ? NewUid() : i.image_uid;
  return Insert(
      "INSERT INTO tblImages (ImageUID, FKeySeriesID, SOPClassUID, ImageNr, "
      "ImageRows, ImageCols, ImageLocation, ImageST) VALUES (" +
          Text(uid) + ", " + std::to_string(series_key) + ", " +
          Text(i.sop_class_uid) + ", " + Number(i.image_nr) + ", " +
          Number(i.rows) + ", " + Number(i.columns) + ", " +
          Number(i.location) + ", " + Number(i.thickness) + ")",
      "ImageID");
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
