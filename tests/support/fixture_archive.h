// A fresh archive for one test, with small verbs that insert rows: on
// SQLite, archive/schema.sql run into an empty file in a temp folder of its
// own; on PostgreSQL, a fresh database of the test binary's server
// (tests/support/pg_server.h) made from archive/schema-postgresql.sql, with
// a temp folder of its own as well.
//
//   FixtureArchive archive;                      // or (ArchiveBackend::kPostgres)
//   config.DBServer = archive.DBServer();
//   int64_t p = archive.AddPatient({.patient_id = "P1", .last_name = "Meyer",
//                                   .first_name = "Anna"});
//   int64_t st = archive.AddStudy(p, {.study_date = "2024-01-15"});
//
// Dates are written YYYY-MM-DD and times HH:MM:SS, the forms the SQLite
// driver reads back as dates and times; statements that compare dates need
// kDateFormat as the DateFormat setting. The folder goes with the object.
//
// The end-to-end tests run on both backends as value-parameterised tests:
//
//   class FindTest : public ::testing::TestWithParam<ArchiveBackend> {
//     void SetUp() override { VANTOR_SKIP_UNLESS_READY(archive_); ... }
//     FixtureArchive archive_{GetParam()};
//   };
//   INSTANTIATE_TEST_SUITE_P(Archive, FindTest, kArchiveBackends,
//                            ArchiveBackendName);
//
// Where PostgreSQL is not installed, a PostgreSQL archive is made without a
// database and VANTOR_SKIP_UNLESS_READY skips the test, saying why.
#ifndef VANTOR_TESTS_SUPPORT_FIXTURE_ARCHIVE_H_
#define VANTOR_TESTS_SUPPORT_FIXTURE_ARCHIVE_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "host/base/database.h"
#include "tests/support/temp_folder.h"

namespace vantor {

enum class ArchiveBackend { kSqlite, kPostgres };

inline const auto kArchiveBackends =
    ::testing::Values(ArchiveBackend::kSqlite, ArchiveBackend::kPostgres);

// "SQLite" or "PostgreSQL", for the names of parameterised tests.
std::string ArchiveBackendName(
    const ::testing::TestParamInfo<ArchiveBackend>& info);

// Skips the running test when `archive` has no database (its backend is not
// installed here), with the reason.
#define VANTOR_SKIP_UNLESS_READY(archive)                      \
  do {                                                         \
    if (!(archive).ready()) GTEST_SKIP() << (archive).why_not_ready(); \
  } while (0)

class FixtureArchive {
 public:
  // The date pattern under which the service's date conditions match the
  // archive's stored dates.
  static constexpr const char* kDateFormat = "YYYY-MM-DD";

  struct Patient {
    std::string patient_id{};  // PATID1
    std::optional<std::string> last_name = "Doe";
    std::optional<std::string> first_name{};
    std::optional<std::string> second_first_name{};
    std::optional<std::string> birth_date{};  // YYYY-MM-DD
    std::optional<std::string> sex{};
  };

  struct Study {
    std::string study_uid{};  // generated when empty
    std::optional<int64_t> archive_id{};
    std::optional<int64_t> status{};  // FKeyStatusID
    int64_t key_study = 0;
    std::optional<std::string> study_nr{};
    std::optional<std::string> study_date{};  // YYYY-MM-DD
    std::optional<std::string> study_time{};  // HH:MM:SS
    std::optional<std::string> description{};
    std::optional<std::string> modality{};
    std::optional<std::string> body_part{};
    std::optional<std::string> referring_physician{};
    std::optional<std::string> accession{};
    std::optional<std::string> directory{};  // StudyDirectory1
  };

  struct Series {
    std::string series_uid{};  // generated when empty
    std::optional<int64_t> series_nr{};
    std::optional<std::string> modality{};
    std::optional<std::string> contrast_agent{};  // SeriesCBA
  };

  struct Image {
    std::string image_uid{};  // generated when empty
    std::optional<std::string> sop_class_uid{};
    std::optional<int64_t> image_nr{};
    std::optional<int64_t> rows{};
    std::optional<int64_t> columns{};
    std::optional<double> location{};   // ImageLocation
    std::optional<double> thickness{};  // ImageST
  };

  struct Location {
    std::optional<std::string> archive_path{};
    std::optional<std::string> archive_unc{};
    std::optional<std::string> mirror_path{};
    std::optional<std::string> mirror_unc{};
  };

  // Creates the folder and the archive; throws when the schema cannot be
  // read or run, or the database server cannot be started.
  explicit FixtureArchive(ArchiveBackend backend = ArchiveBackend::kSqlite);
  ~FixtureArchive();
  FixtureArchive(const FixtureArchive&) = delete;
  FixtureArchive& operator=(const FixtureArchive&) = delete;

  ArchiveBackend backend() const { return backend_; }
  bool ready() const { return !dir_.empty(); }
  const std::string& why_not_ready() const { return why_not_ready_; }

  // The temp folder (no trailing "/"); it may hold the test's own files too.
  const std::string& dir() const { return dir_; }
  // The SQLite file; throws on PostgreSQL, which has none.
  const std::string& db_path() const;
  // "sqlite:" + db_path(), or "odbc:DSN=vantor_<n>" (no ";" in it).
  std::string DBServer() const;

  // Takes the archive away from where DBServer() finds it (the file renamed,
  // the database renamed) and puts it back, as it was, in one step.
  void TakeAway();
  void PutBack();
  // Whether something is where DBServer() points.
  bool Present();
  // Drops the views that are left and makes them all again from the schema
  // (after a test dropped some).
  void RestoreViews();

  // Runs a statement on the archive; throws a Failure when it is rejected.
  int64_t Exec(const std::string& sql);
  ResultSet Query(const std::string& sql);

  // Each returns the new row's key. UIDs left empty are made unique.
  int64_t AddNode(const std::string& aet, const std::string& ip,
                  bool siemens = false, bool internal_id = false,
                  std::optional<bool> store_only = false, int64_t port = 104,
                  const std::string& calling_aet = "");
  int64_t AddPatient(const Patient& patient);
  int64_t AddLocation(const Location& location);
  int64_t AddStudy(int64_t patient_key, const Study& study);
  int64_t AddSeries(int64_t study_key, const Series& series);
  int64_t AddImage(int64_t series_key, const Image& image);

  // The UID stored for the study, series or image with that key.
  std::string StudyUid(int64_t study_key);
  std::string SeriesUid(int64_t series_key);
  std::string ImageUid(int64_t image_key);

 private:
  // Runs the INSERT and returns the new row's `key`.
  int64_t Insert(const std::string& sql, const char* key);
  std::string NewUid();
  std::string Flag(const std::optional<bool>& value) const;
  std::string Schema() const;
  void Connect();

  ArchiveBackend backend_;
  std::string why_not_ready_;
  std::optional<TempFolder> folder_;
  std::string dir_;
  std::string db_path_;   // SQLite
  std::string database_;  // PostgreSQL
  int database_number_ = 0;
  bool away_ = false;
  Database db_;
  int uid_counter_ = 0;
};

}  // namespace vantor

#endif  // VANTOR_TESTS_SUPPORT_FIXTURE_ARCHIVE_H_
