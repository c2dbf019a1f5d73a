// The importer's statements: the named blocks of each dialect file, their
// placeholders, and the literals values become.
#include "import/import_statements.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/base/failure.h"

namespace vantor {
namespace {

using ::testing::ElementsAre;

TEST(ImportStatementsTest, LiteralsOfEveryKind) {
  struct Case {
    Value value;
    const char* literal;
  } cases[] = {
      {Value(), "NULL"},
      {Value(int64_t{42}), "42"},
      {Value(2.5), "2.5"},
      {Value(true), "1"},
      {Value("O'Brien"), "'O''Brien'"},
      {Value(""), "''"},
      {Value(Date{2024, 3, 5}), "'2024-03-05'"},
      {Value(DateTime{{2024, 3, 5}, 7, 8, 9}), "'2024-03-05 07:08:09'"},
  };
  for (const Case& c : cases) EXPECT_EQ(SqlLiteral(c.value), c.literal);
}

TEST(ImportStatementsTest, BlocksAreSplitFlattenedAndFilled) {
  ImportStatements s(
      "-- header comment\n"
      "-- name: Two\n"
      "SELECT a FROM t\n"
      "  WHERE b = {B};\n"
      "UPDATE t SET c = {C};\n"
      "-- name: Empty\n"
      "\n"
      "-- name: Brace\n"
      "SELECT '{not closed;\n");
  EXPECT_THAT(s.Render("Two", {{"B", Value("x'y")}, {"C", Value()}}),
              ElementsAre("SELECT a FROM t WHERE b = 'x''y'",
                          "UPDATE t SET c = NULL"));
  EXPECT_TRUE(s.Render("Empty", {}).empty());
  EXPECT_TRUE(s.Has("Empty"));
  EXPECT_FALSE(s.Has("Missing"));
  EXPECT_THROW(s.Render("Missing", {}), Failure);
  EXPECT_THROW(s.Render("Two", {{"B", Value("x")}}), Failure);
  EXPECT_THROW(ImportStatements("-- name: A\nSELECT 1;\n-- name: A\n"),
               Failure);
}

TEST(ImportStatementsTest, DialectFollowsTheServerAndTheProduct) {
  EXPECT_EQ(DialectOf("sqlite:/x.db", "SQLite"), ArchiveDialect::kSqlite);
  EXPECT_EQ(DialectOf("odbc:DSN=a", "SQLite"), ArchiveDialect::kSqlite);
  EXPECT_EQ(DialectOf("odbc:DSN=a", "PostgreSQL"),
            ArchiveDialect::kPostgresql);
  EXPECT_EQ(DialectOf("SRV01", "Microsoft SQL Server"),
            ArchiveDialect::kSqlServer);
  EXPECT_EQ(DialectOf("SRV01", ""), ArchiveDialect::kSqlServer);
}

// Every dialect file holds every block the importer runs, and each block
// renders with the values the importer gives it.
TEST(ImportStatementsTest, EveryDialectHasEveryBlock) {
  SqlValues all;
  for (const char* name :
       {"ArchivePath", "ArchiveName", "PatientID", "LastName", "FirstName",
        "SecondFirstName", "BirthDate", "Sex", "StudyUID", "PatientKey",
        "ArchiveKey", "StudyNr", "StudyDate", "StudyTime", "StudyDescription",
        "StudyModality", "Bodypart", "Referring", "Accession",
        "StudyDirectory", "SeriesUID", "StudyKey", "SeriesNr",
        "SeriesModality", "SeriesCBA", "ImageUID", "SeriesKey", "SOPClassUID",
        "ImageNr", "ImageRows", "ImageCols", "ImageLocation", "ImageST",
        "ImageKey"})
    all[name] = Value("v");
  for (ArchiveDialect d : {ArchiveDialect::kSqlite, ArchiveDialect::kPostgresql,
                           ArchiveDialect::kSqlServer}) {
    const ImportStatements& s = ImportStatements::Of(d);
    for (const char* block :
         {"Setup", "Begin", "Commit", "Rollback", "DefaultArchive",
          "FindArchive", "InsertArchive", "LockPatient", "FindPatient",
          "InsertPatient", "FindStudy", "InsertStudy", "FindSeries",
          "InsertSeries", "FindImage", "InsertImage", "UpdateImage"}) {
      SCOPED_TRACE(std::string(block) + " of dialect " +
                   std::to_string(static_cast<int>(d)));
      ASSERT_TRUE(s.Has(block));
      EXPECT_NO_THROW(s.Render(block, all));
    }
    for (const char* block : {"Begin", "Commit", "Rollback", "FindStudy",
                              "InsertImage"})
      EXPECT_FALSE(s.Render(block, all).empty()) << block;
  }
}

}  // namespace
}  // namespace vantor
