#include "retrieve/cget_files.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "host/base/failure.h"
#include "host/base/paths.h"
#include "tests/query/query_test_util.h"
#include "tests/support/fixture_archive.h"
#include "tests/support/test_env.h"

namespace vantor {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr char kBase[] = "SELECT * FROM VIEW_images WHERE ";
constexpr char kEnd[] =
    " AND (FKeyStatusID > -1 Or FKeyStatusID Is Null) ORDER BY StudyID Desc, "
    "StudyUID, SeriesUID, SeriesID, ImageNr, ImageUID, ImageID;";

std::string Statement(std::initializer_list<Key> keys, bool siemens = false,
                      bool internal_id = false,
                      const char* date_format = "YYYYMMDD") {
  return CGetStatement(Identifier(keys), siemens, internal_id, date_format);
}

TEST(CGetStatementTest, StudyOnlyStillMatchesTheLastNameWithPercent) {
  EXPECT_EQ(Statement({{0x0008, 0x0052, Value("STUDY")},
                       {0x0020, 0x000D, Value("1.2.3")}}),
            "SELECT * FROM VIEW_images WHERE  PATNachname Like '%'  AND "
            "StudyUID = '1.2.3'  AND (FKeyStatusID > -1 Or FKeyStatusID Is "
            "Null) ORDER BY StudyID Desc, StudyUID, SeriesUID, SeriesID, "
            "ImageNr, ImageUID, ImageID;");
}

TEST(CGetStatementTest, PatientKeys) {
  EXPECT_EQ(Statement({{kPatient, kId, Value("P1")},
                       {kPatient, kName, Value("Meyer^Anna")}}),
            std::string(kBase) +
                "PATID1 = 'P1' AND PATNachname = 'Meyer'  And PATVorname = "
                "'Anna' " +
                kEnd);
  // The first name is compared for equality even with a wildcard in it.
  EXPECT_EQ(Statement({{kPatient, kName, Value("Mey*^A?na")}}),
            std::string(kBase) +
                " PATNachname Like 'Mey%'  And PATVorname = 'A_na' " + kEnd);
  EXPECT_EQ(Statement({{kPatient, kName, Value("^Anna")}}),
            std::string(kBase) + " PATVorname = 'Anna' " + kEnd);
  EXPECT_EQ(Statement({{kPatient, kName, Value("O'Brien")}}),
            std::string(kBase) +
                " PATNachname = 'O\xC2\xB4"
                "Brien' " +
                kEnd);
}

TEST(CGetStatementTest, SiemensNamesMatchTheLastNameAsAPrefix) {
  EXPECT_EQ(Statement({{kPatient, kName, Value("Meyer, Anna")}}, true),
            std::string(kBase) + " PATNachname Like 'Meyer%' " + kEnd);
  EXPECT_EQ(Statement({{kPatient, kName, Value("Meyer, Anna")}}, false),
            std::string(kBase) + " PATNachname = 'Meyer, Anna' " + kEnd);
}

TEST(CGetStatementTest, InternalPatientKeyIsAWholeNumber) {
  EXPECT_EQ(
      Statement({{kPatient, kId, Value("00123")}}, false, true),
      std::string(kBase) + "PATID = 123 AND PATNachname Like '%' " + kEnd);
  EXPECT_THROW(Statement({{kPatient, kId, Value("12A")}}, false, true),
               Failure);
  EXPECT_THROW(Statement({{kPatient, kId, Value("1 OR 1=1")}}, false, true),
               Failure);
}

TEST(CGetStatementTest, NoValueEndsItsLiteral) {
  EXPECT_EQ(Statement({{kPatient, kId, Value("P'1")},
                       {0x0020, 0x000D, Value("1'2")},
                       {0x0020, 0x000E, Value("3'4")},
                       {0x0008, 0x0018, Value("5'6")}}),
            std::string(kBase) +
                "PATID1 = 'P''1' AND PATNachname Like '%'  AND StudyUID = "
                "'1''2'  AND SeriesUID = '3''4'  AND ImageUID = '5''6' " +
                kEnd);
}

TEST(CGetStatementTest, BirthDateOnlyWhenItIsADate) {
  const std::string name = " PATNachname Like '%' ";
  EXPECT_EQ(
      Statement({{kPatient, kBirth, Value("19700501")}}, false, false,
                "YYYY-MM-DD"),
      std::string(kBase) + name + " AND PATGebDatum = '1970-05-01' " + kEnd);
  EXPECT_EQ(Statement({{kPatient, kBirth, Value("19701340")}}),
            std::string(kBase) + name + kEnd);
  EXPECT_EQ(Statement({{kPatient, kBirth, Value("19700101-19701231")}}),
            std::string(kBase) + name + kEnd);
}

TEST(CGetStatementTest, SeriesAndImageFollowTheEarlierConditions) {
  EXPECT_EQ(Statement({{0x0020, 0x000D, Value("1.2")},
                       {0x0020, 0x000E, Value("1.2.3")},
                       {0x0008, 0x0018, Value("1.2.3.4")}}),
            std::string(kBase) +
                " PATNachname Like '%'  AND StudyUID = '1.2'  AND SeriesUID "
                "= '1.2.3'  AND ImageUID = '1.2.3.4' " +
                kEnd);
}

TEST(ImageFileTest, CandidatesAndTheirTranslation) {
  TestProgramDir();
  ImageFileColumns row{
      Value("E:\\Archiv"),    Value("\\\\NAS\\share"), Value(),
      Value("\\\\Mirror\\m"), Value("2024\\ST1"),      Value("1.2.3")};
  ImageFileCandidates c = CandidatesFor(row);
  EXPECT_EQ(c.archive, "E:\\Archiv\\2024\\ST1\\1.2.3.dcm");
  EXPECT_EQ(c.mirror, "\\\\Mirror\\m\\2024\\ST1\\1.2.3.dcm");

  // An empty archive path falls back on the share; an empty (not null)
  // mirror path means no mirror at all.
  row.ArchivePath = Value("");
  row.MirrorPath = Value("");
  c = CandidatesFor(row);
  EXPECT_EQ(c.archive, "\\\\NAS\\share\\2024\\ST1\\1.2.3.dcm");
  EXPECT_FALSE(c.mirror.has_value());

  row.MirrorPath = Value();
  row.MirrorUNC = Value();
  EXPECT_FALSE(CandidatesFor(row).mirror.has_value());

  const std::string dir = ProgramDir();
  ImageFileCandidates both{"E:\\a\\x.dcm", "\\\\Mirror\\m\\x.dcm"};
  std::vector<std::string> probed;
  auto none = [&](const std::string& p) {
    probed.push_back(p);
    return false;
  };
  EXPECT_EQ(ResolveImageFile(both, none), dir + "/drives/e/a/x.dcm");
  EXPECT_THAT(probed, ElementsAre(dir + "/drives/e/a/x.dcm",
                                  dir + "/drives/unc/mirror/m/x.dcm"));
  auto only_mirror = [&](const std::string& p) {
    return p == dir + "/drives/unc/mirror/m/x.dcm";
  };
  EXPECT_EQ(ResolveImageFile(both, only_mirror),
            dir + "/drives/unc/mirror/m/x.dcm");
  auto all = [](const std::string&) { return true; };
  EXPECT_EQ(ResolveImageFile(both, all), dir + "/drives/e/a/x.dcm");
}

// A fixture archive (SQLite or PostgreSQL) with one study in an archive
// folder and a mirror folder of the test's own.
class CGetFilesTest : public ::testing::TestWithParam<ArchiveBackend> {
 protected:
  void SetUp() override {
    VANTOR_SKIP_UNLESS_READY(archive_);
    TestProgramDir();
    archive_dir_ = archive_.dir() + "/archive";
    mirror_dir_ = archive_.dir() + "/mirror";
    std::filesystem::create_directories(archive_dir_ + "/ST1");
    std::filesystem::create_directories(mirror_dir_ + "/ST1");
    FixtureArchive::Location where;
    where.archive_path = archive_dir_;
    where.mirror_path = mirror_dir_;
    FixtureArchive::Patient patient;
    patient.patient_id = "P1";
    FixtureArchive::Study study;
    study.study_uid = "1.2.5";
    study.archive_id = archive_.AddLocation(where);
    study.directory = "ST1";
    study_ = archive_.AddStudy(archive_.AddPatient(patient), study);
    FixtureArchive::Series series;
    series.series_uid = "1.2.5.1";
    series_ = archive_.AddSeries(study_, series);
    for (int i = 1; i <= 3; ++i) {
      FixtureArchive::Image image;
      image.image_uid = "1.2.5.1." + std::to_string(i);
      image.image_nr = 4 - i;
      archive_.AddImage(series_, image);
    }
    db_.Open(ConnectionText(archive_.DBServer()));
  }

  void Touch(const std::string& path) { std::ofstream(path) << "x"; }

  std::vector<std::string> Files(std::initializer_list<Key> keys,
                                 bool internal_id = false) {
    std::vector<std::string> files{"left over"};
    EXPECT_TRUE(
        PrepareSendCGet(ContextOn(db_, false, internal_id), Identifier(keys),
                        files));
    return files;
  }

  FixtureArchive archive_{GetParam()};
  Database db_;
  std::string archive_dir_, mirror_dir_;
  int64_t study_ = 0, series_ = 0;
};

INSTANTIATE_TEST_SUITE_P(Archive, CGetFilesTest, kArchiveBackends,
                         ArchiveBackendName);

TEST_P(CGetFilesTest, ArchiveThenMirrorThenTheMissingArchiveFile) {
  Touch(archive_dir_ + "/ST1/1.2.5.1.1.dcm");
  Touch(archive_dir_ + "/ST1/1.2.5.1.2.dcm");
  Touch(mirror_dir_ + "/ST1/1.2.5.1.2.dcm");
  Touch(mirror_dir_ + "/ST1/1.2.5.1.3.dcm");
  // One entry per row, in image-number order.
  EXPECT_THAT(Files({{0x0020, 0x000D, Value("1.2.5")}}),
              ElementsAre(mirror_dir_ + "/ST1/1.2.5.1.3.dcm",
                          archive_dir_ + "/ST1/1.2.5.1.2.dcm",
                          archive_dir_ + "/ST1/1.2.5.1.1.dcm"));
  std::filesystem::remove(mirror_dir_ + "/ST1/1.2.5.1.3.dcm");
  EXPECT_THAT(Files({{0x0008, 0x0018, Value("1.2.5.1.3")},
                     {0x0020, 0x000D, Value("1.2.5")}}),
              ElementsAre(archive_dir_ + "/ST1/1.2.5.1.3.dcm"));
}

TEST_P(CGetFilesTest, WithdrawnStudiesAndNonMatchesGiveNothing) {
  EXPECT_THAT(Files({{0x0020, 0x000D, Value("9.9")}}), IsEmpty());
  archive_.Exec("UPDATE tblStudies SET FKeyStatusID = -1");
  EXPECT_THAT(Files({{0x0020, 0x000D, Value("1.2.5")}}), IsEmpty());
  // A patient without a last name is never found (the "%" condition).
  archive_.Exec("UPDATE tblStudies SET FKeyStatusID = NULL");
  archive_.Exec("UPDATE tblPatienten SET PATNachname = NULL");
  EXPECT_THAT(Files({{0x0020, 0x000D, Value("1.2.5")}}), IsEmpty());
}

// A selection that failed is reported, so that the C-GET does not end as a
// success with nothing sent.
TEST_P(CGetFilesTest, FailuresAreLoggedReportedAndLeaveNoFiles) {
  Touch(archive_dir_ + "/ST1/1.2.5.1.1.dcm");
  std::vector<std::string> files{"left over"};
  EXPECT_FALSE(PrepareSendCGet(ContextOn(db_, false, true),
                               Identifier({{kPatient, kId, Value("P1X")}}),
                               files));
  EXPECT_THAT(files, IsEmpty());
  EXPECT_THAT(ReadWholeFile(TestProgramDir() + "/Logs/ErrorVantor" +
                            std::to_string(Settings()->DCM) + ".log"),
              HasSubstr("\tType mismatch\tPrepareSendCGet\r\n"));

  archive_.Exec("DROP VIEW VIEW_Images");
  files = {"left over"};
  EXPECT_FALSE(PrepareSendCGet(ContextOn(db_),
                               Identifier({{0x0020, 0x000D, Value("1.2.5")}}),
                               files));
  EXPECT_THAT(files, IsEmpty());
}

}  // namespace
}  // namespace vantor
