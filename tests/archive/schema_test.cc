#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "archive/sql_script.h"
#include "host/base/database.h"
#include "tests/support/fixture_archive.h"

namespace vantor {
namespace {

// The columns of a table or view as the driver names them; PostgreSQL
// folds unquoted names to lower case, so there they are compared so.
std::vector<std::string> Columns(FixtureArchive& archive,
                                 const std::string& object) {
  return archive.Query("SELECT * FROM " + object + " WHERE 1 = 0").columns;
}

std::vector<std::string> AsNamed(const FixtureArchive& archive,
                                 std::vector<std::string> names) {
  if (archive.backend() == ArchiveBackend::kPostgres)
    for (std::string& n : names)
      for (char& c : n) c = static_cast<char>(std::tolower(c));
  return names;
}

class ArchiveSchemaTest : public ::testing::TestWithParam<ArchiveBackend> {
 protected:
  void SetUp() override { VANTOR_SKIP_UNLESS_READY(archive_); }
  FixtureArchive archive_{GetParam()};
};

INSTANTIATE_TEST_SUITE_P(Archive, ArchiveSchemaTest, kArchiveBackends,
                         ArchiveBackendName);

TEST_P(ArchiveSchemaTest, ViewsHoldExactlyTheColumnsTheQueriesRead) {
  struct Case {
    const char* view;
    std::vector<std::string> columns;
  };
  const Case cases[] = {
      {"VIEW_Patienten_Standard",
       {"PATID", "PATID1", "PATNachname", "PATVorname", "PAT2Vorname",
        "PATGebDatum", "PATGeschlecht"}},
      {"VIEW_Studies",
       {"PATID", "PATID1", "PATNachname", "PATVorname", "PAT2Vorname",
        "PATGebDatum", "PATGeschlecht", "StudyID", "StudyUID", "StudyNr",
        "StudyDate", "StudyTime", "StudyDescription", "Modality", "Bodypart",
        "UeberweiserName", "Accession", "KeyStudy", "FKeyStatusID"}},
      {"VIEW_Series",
       {"PATID",        "PATID1",          "PATNachname",      "PATVorname",
        "PATGebDatum",  "PATGeschlecht",   "StudyID",          "StudyUID",
        "StudyDate",    "StudyTime",       "StudyDescription", "Modality",
        "Bodypart",     "UeberweiserName", "Accession",        "KeyStudy",
        "FKeyStatusID", "SeriesID",        "SeriesUID",        "SeriesNr",
        "SeriesCBA",    "ArchivePath",     "ArchiveUNC",       "MirrorPath",
        "MirrorUNC",    "StudyDirectory1"}},
      {"VIEW_Images",
       {"PATID",          "PATID1",     "PATNachname", "PATVorname",
        "PATGebDatum",    "StudyID",    "StudyUID",    "StudyDate",
        "SeriesID",       "SeriesUID",  "ImageID",     "ImageUID",
        "ImageNr",        "ImageRows",  "ImageCols",   "ImageLocation",
        "ImageST",        "Modality",   "Accession",   "FKeyStatusID",
        "ArchivePath",    "ArchiveUNC", "MirrorPath",  "MirrorUNC",
        "StudyDirectory1"}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Columns(archive_, c.view), AsNamed(archive_, c.columns))
        << c.view;
}

TEST_P(ArchiveSchemaTest, TablesHoldTheColumnsTheServiceReadsAndWrites) {
  struct Case {
    const char* table;
    std::vector<std::string> columns;
  };
  const Case cases[] = {
      {"tblStudies",
       {"StudyID", "StudyUID", "FKeyPatID", "FKeyStatusID", "KeyStudy",
        "StudyDescription"}},
      {"tblSeries", {"SeriesID", "FKeyStudyID"}},
      {"tblImages", {"ImageID", "FKeySeriesID"}},
      {"tblDicomAETs",
       {"AET", "IPAdress", "IPPort", "CallingAET", "CallingHostName",
        "AETSiemens", "InternalID", "StoreOnly"}},
  };
  for (const Case& c : cases) {
    ResultSet rs = archive_.Query(std::string("SELECT * FROM ") + c.table +
                                  " WHERE 1 = 0");
    for (const std::string& column : c.columns)
      EXPECT_GE(rs.ColumnIndex(column), 0) << c.table << "." << column;
  }
}

// Node titles and addresses compare exactly; PostgreSQL, which keeps
// trailing blanks in comparisons, refuses them in the node table instead.
TEST_P(ArchiveSchemaTest, NodeTitlesWithTrailingBlanksAreFoundOrRefused) {
  if (GetParam() == ArchiveBackend::kPostgres) {
    EXPECT_ANY_THROW(archive_.AddNode("TRAIL ", "127.0.0.1"));
    EXPECT_ANY_THROW(archive_.AddNode("TRAIL", "127.0.0.1 "));
    return;
  }
  archive_.AddNode("TRAIL ", "127.0.0.1 ");
  EXPECT_EQ(archive_
                .Query("SELECT * FROM tblDicomAETs WHERE AET = 'TRAIL' And "
                       "IPAdress = '127.0.0.1'")
                .rows.size(),
            1u);
}

TEST_P(ArchiveSchemaTest, NodeTitlesCompareWithRegardToCase) {
  archive_.AddNode("FINDSCU", "127.0.0.1");
  EXPECT_TRUE(archive_.Query("SELECT * FROM tblDicomAETs WHERE AET = "
                             "'findscu'")
                  .empty());
}

class ArchiveRowsTest : public ::testing::TestWithParam<ArchiveBackend> {
 protected:
  void SetUp() override {
    VANTOR_SKIP_UNLESS_READY(archive_);
    int64_t location = archive_.AddLocation(
        {.archive_path = "/srv/archive", .mirror_unc = "\\\\mirror\\kelmora"});
    meyer_ = archive_.AddPatient({.patient_id = "P1",
                                  .last_name = "Meyer",
                                  .first_name = "Anna",
                                  .second_first_name = "Lena",
                                  .birth_date = "1965-03-03",
                                  .sex = "F"});
    int64_t kurz = archive_.AddPatient(
        {.patient_id = "P2", .last_name = "Kurz", .first_name = std::nullopt});
    current_ = archive_.AddStudy(meyer_, {.archive_id = location,
                                          .study_date = "2024-01-15",
                                          .study_time = "10:15:30",
                                          .modality = "CT",
                                          .directory = "2024\\s1"});
    withdrawn_ = archive_.AddStudy(
        meyer_,
        {.archive_id = location, .status = -1, .study_date = "2024-02-01"});
    unplaced_ = archive_.AddStudy(kurz, {.status = 2});
    series_ = archive_.AddSeries(current_, {.modality = "CT"});
    archive_.AddImage(series_, {.image_nr = 1, .location = 12.5});
    archive_.AddSeries(withdrawn_, {.modality = "MR"});
    archive_.AddSeries(unplaced_, {.modality = "CR"});
  }

  FixtureArchive archive_{GetParam()};
  int64_t meyer_ = 0, current_ = 0, withdrawn_ = 0, unplaced_ = 0, series_ = 0;
};

INSTANTIATE_TEST_SUITE_P(Archive, ArchiveRowsTest, kArchiveBackends,
                         ArchiveBackendName);

TEST_P(ArchiveRowsTest, ViewsKeepEveryStudy) {
  EXPECT_EQ(archive_.Query("SELECT * FROM VIEW_Studies").rows.size(), 3u);
  EXPECT_EQ(archive_.Query("SELECT * FROM VIEW_Series").rows.size(), 3u);
  EXPECT_EQ(archive_.Query("SELECT * FROM VIEW_Studies WHERE FKeyStatusID = -1")
                .Get(0, "StudyID"),
            Value(withdrawn_));
}

TEST_P(ArchiveRowsTest, StudyWithoutLocationHasEmptyPaths) {
  ResultSet rs = archive_.Query("SELECT * FROM VIEW_Series WHERE StudyID = " +
                                std::to_string(unplaced_));
  ASSERT_EQ(rs.rows.size(), 1u);
  EXPECT_TRUE(rs.Get(0, "ArchivePath").IsNull());
  EXPECT_TRUE(rs.Get(0, "MirrorUNC").IsNull());
}

TEST_P(ArchiveRowsTest, ImageRowCarriesItsFilesPlace) {
  ResultSet rs = archive_.Query("SELECT * FROM VIEW_Images");
  ASSERT_EQ(rs.rows.size(), 1u);
  EXPECT_EQ(rs.Get(0, "ArchivePath"), Value("/srv/archive"));
  EXPECT_TRUE(rs.Get(0, "ArchiveUNC").IsNull());
  EXPECT_TRUE(rs.Get(0, "MirrorPath").IsNull());
  EXPECT_EQ(rs.Get(0, "MirrorUNC"), Value("\\\\mirror\\kelmora"));
  EXPECT_EQ(rs.Get(0, "StudyDirectory1"), Value("2024\\s1"));
  EXPECT_EQ(rs.Get(0, "Modality"), Value("CT"));
  EXPECT_EQ(rs.Get(0, "ImageLocation"), Value(12.5));
  EXPECT_EQ(rs.Get(0, "SeriesID"), Value(series_));
}

TEST_P(ArchiveRowsTest, DatesAndTimesComeBackTyped) {
  ResultSet rs = archive_.Query("SELECT * FROM VIEW_Studies WHERE StudyID = " +
                                std::to_string(current_));
  EXPECT_EQ(rs.Get(0, "PATGebDatum"), Value(Date{1965, 3, 3}));
  EXPECT_EQ(rs.Get(0, "StudyDate"), Value(Date{2024, 1, 15}));
  EXPECT_EQ(rs.Get(0, "StudyTime"), Value("101530"));
  EXPECT_EQ(rs.Get(0, "PATID"), Value(meyer_));
  EXPECT_EQ(rs.Get(0, "KeyStudy"), Value(0));
  EXPECT_TRUE(rs.Get(0, "FKeyStatusID").IsNull());
}

TEST_P(ArchiveRowsTest, DateConditionsInTheArchivesDateForm) {
  auto count = [&](const std::string& where) {
    return archive_.Query("SELECT * FROM VIEW_Studies WHERE " + where)
        .rows.size();
  };
  EXPECT_EQ(count("PATGebDatum = '1965-03-03'"), 2u);
  EXPECT_EQ(count("StudyDate Between '2024-01-01' And '2024-01-31'"), 1u);
  EXPECT_EQ(count("StudyDate Between '2024-01-16' And '2024-12-31'"), 1u);
  EXPECT_EQ(count("StudyDate = '2024-01-15'"), 1u);
  // A database server reads the default pattern YYYYMMDD as a date too;
  // SQLite compares the texts, which then never meet.
  if (GetParam() == ArchiveBackend::kPostgres) {
    EXPECT_EQ(count("PATGebDatum = '19650303'"), 2u);
    EXPECT_EQ(count("StudyDate Between '20240101' And '20240131'"), 1u);
  } else {
    EXPECT_EQ(count("PATGebDatum = '19650303'"), 0u);
  }
}

TEST_P(ArchiveRowsTest, TextMatchesIgnoreCase) {
  EXPECT_EQ(archive_
                .Query("SELECT * FROM VIEW_Patienten_Standard WHERE "
                       "PATNachname = 'MEYER' And PATVorname = 'anna'")
                .rows.size(),
            1u);
  EXPECT_EQ(archive_
                .Query("SELECT * FROM VIEW_Patienten_Standard WHERE "
                       "PATNachname Like 'k%'")
                .Get(0, "PATID1"),
            Value("P2"));
  // Beyond ASCII as well on PostgreSQL, as under the archive's SQL Server
  // collation; SQLite's NOCASE folds ASCII letters only.
  archive_.AddPatient({.patient_id = "P3", .last_name = "M\xC3\xBCller"});
  EXPECT_EQ(archive_
                .Query("SELECT * FROM VIEW_Patienten_Standard WHERE "
                       "PATNachname = 'M\xC3\x9CLLER'")
                .rows.size(),
            GetParam() == ArchiveBackend::kPostgres ? 1u : 0u);
}

TEST(SqlScriptTest, SplitsAtSemicolonsOutsideQuotesAndComments) {
  EXPECT_EQ(SplitSqlScript("-- head; comment\n"
                           "CREATE TABLE a (x TEXT DEFAULT ';');\n"
                           "/* block; comment */ INSERT INTO a VALUES "
                           "('it''s; fine');\n"
                           "  ;\n"
                           "SELECT \"odd;name\", [b;c] FROM a"),
            (std::vector<std::string>{"CREATE TABLE a (x TEXT DEFAULT ';')",
                                      "INSERT INTO a VALUES ('it''s; fine')",
                                      "SELECT \"odd;name\", [b;c] FROM a"}));
  EXPECT_TRUE(SplitSqlScript("").empty());
  EXPECT_TRUE(SplitSqlScript(" -- only a comment").empty());
}

TEST(SqlScriptTest, SchemaRunAgainStartsAfresh) {
  FixtureArchive archive;
  archive.AddNode("ECHOSCU", "127.0.0.1");
  std::ifstream in(std::string(VANTOR_SOURCE_DIR) + "/archive/schema.sql");
  std::string schema((std::istreambuf_iterator<char>(in)),
                     std::istreambuf_iterator<char>());
  ASSERT_FALSE(schema.empty());
  Database db;
  db.Open(ConnectionText(archive.DBServer()));
  RunSqlScript(db, schema);
  EXPECT_TRUE(db.Query("SELECT * FROM tblDicomAETs").empty());
  EXPECT_EQ(db.Query("SELECT * FROM VIEW_Images WHERE 0").columns.size(), 25u);
}

}  // namespace
}  // namespace vantor
