// The importer on a real archive (SQLite, and PostgreSQL where installed):
// claimed images become files in the archive and rows in its tables.
#include "import/importer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "host/base/database.h"
#include "import/archive_files.h"
#include "tests/support/fixture_archive.h"
#include "tests/support/test_env.h"
#include "tests/support/test_images.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;

constexpr char kStudy[] = "1.2.826.0.1.3680043.9.7.1";
constexpr char kSeries[] = "1.2.826.0.1.3680043.9.7.1.1";

class ImporterTest : public ::testing::TestWithParam<ArchiveBackend> {
 protected:
  void SetUp() override {
    VANTOR_SKIP_UNLESS_READY(archive_);
    temp_ = archive_.dir() + "/incoming/";
    store_ = archive_.dir() + "/store";
    fs::create_directories(temp_);
    archive_.AddLocation({.archive_path = store_});
    db_.Open(ConnectionText(archive_.DBServer()));
    statements_ =
        &ImportStatements::Of(DialectOf(archive_.DBServer(), db_.DbmsName()));
    importer_ = std::make_unique<Importer>(db_, *statements_);
    importer_->Setup(log_);
  }

  // An image as reception leaves it: "<uid>.dcm" and "<uid>.cae" in the
  // incoming folder.
  void Receive(TestImage image) {
    WriteTestImage(temp_ + image.sop_instance_uid + ".dcm", image);
    std::ofstream(temp_ + image.sop_instance_uid + ".cae") << "MODALITY\r\n";
  }

  TestImage Image(int n, const std::string& series = kSeries) {
    TestImage image;
    image.sop_instance_uid = std::string(kSeries) + ".9." + std::to_string(n);
    image.patient_id = "P-IMP";
    image.patient_name = "Neu^Anna^Maria";
    image.study_uid = kStudy;
    image.series_uid = series;
    image.extra = {{"StudyDate", "20240305"},
                   {"InstanceNumber", std::to_string(n)}};
    return image;
  }

  Importer::Result Import(const std::vector<std::string>& uids) {
    std::vector<std::string> claimed;
    for (const std::string& uid : uids)
      if (ClaimReceived(temp_, uid)) claimed.push_back(uid);
    return importer_->ImportClaimed(log_, temp_, "", claimed);
  }

  int64_t Count(const std::string& sql) {
    ResultSet rs = archive_.Query(sql);
    return std::stoll(rs.rows.at(0).at(0).ToText());
  }

  std::string FileIn(const std::string& dir, const std::string& uid) {
    return store_ + "/" + dir + "/" + uid + ".dcm";
  }

  FixtureArchive archive_{GetParam()};
  std::string temp_;
  std::string store_;
  Database db_;
  const ImportStatements* statements_ = nullptr;
  std::unique_ptr<Importer> importer_;
  // The lines go where the test program's settings send them.
  const Log log_ = Log::Of(*Settings());
};

TEST_P(ImporterTest, ANewStudyGetsItsRowsAndFiles) {
  Receive(Image(1));
  Receive(Image(2));
  Receive(Image(3, std::string(kSeries) + "0"));
  Importer::Result r =
      Import({Image(1).sop_instance_uid, Image(2).sop_instance_uid,
              Image(3).sop_instance_uid});
  EXPECT_EQ(r.imported, 3);
  EXPECT_EQ(r.failed, 0);
  ResultSet patient = archive_.Query(
      "SELECT PATNachname, PATVorname, PAT2Vorname FROM tblPatienten "
      "WHERE PATID1 = 'P-IMP'");
  ASSERT_EQ(patient.rows.size(), 1u);
  EXPECT_EQ(patient.rows[0][0].ToText(), "Neu");
  EXPECT_EQ(patient.rows[0][2].ToText(), "Maria");
  ResultSet study = archive_.Query(
      "SELECT StudyDirectory1, StudyDate FROM tblStudies WHERE StudyUID = '" +
      std::string(kStudy) + "'");
  ASSERT_EQ(study.rows.size(), 1u);
  const std::string dir = std::string("2024\\") + kStudy;
  EXPECT_EQ(study.rows[0][0].ToText(), dir);
  EXPECT_EQ(study.rows[0][1], Value(Date{2024, 3, 5}));
  EXPECT_EQ(Count("SELECT Count(SeriesID) FROM tblSeries"), 2);
  EXPECT_EQ(Count("SELECT Count(ImageID) FROM VIEW_Images WHERE PATID1 = "
                  "'P-IMP'"),
            3);
  for (int n : {1, 2, 3})
    EXPECT_TRUE(fs::is_regular_file(
        FileIn(std::string("2024/") + kStudy, Image(n).sop_instance_uid)));
  // Nothing is left in the incoming folder or claimed.
  EXPECT_TRUE(fs::is_empty(ImportingFolder(temp_)));
  EXPECT_TRUE(ImagesIn(temp_, true).empty());
  EXPECT_FALSE(fs::exists(temp_ + Image(1).sop_instance_uid + ".cae"));
}

TEST_P(ImporterTest, StoringAgainReplacesFileAndRowsNeverDoubles) {
  Receive(Image(1));
  ASSERT_EQ(Import({Image(1).sop_instance_uid}).imported, 1);
  TestImage again = Image(1);
  again.extra = {{"StudyDate", "20240305"}, {"InstanceNumber", "42"}};
  again.rows = 32;
  Receive(again);
  ASSERT_EQ(Import({again.sop_instance_uid}).imported, 1);
  EXPECT_EQ(Count("SELECT Count(*) FROM tblPatienten"), 1);
  EXPECT_EQ(Count("SELECT Count(*) FROM tblStudies"), 1);
  EXPECT_EQ(Count("SELECT Count(*) FROM tblSeries"), 1);
  EXPECT_EQ(Count("SELECT Count(*) FROM tblImages"), 1);
  EXPECT_EQ(Count("SELECT ImageNr FROM tblImages"), 42);
  EXPECT_EQ(Count("SELECT ImageRows FROM tblImages"), 32);
  EXPECT_EQ(DecodedPixels(
                FileIn(std::string("2024/") + kStudy, again.sop_instance_uid))
                .size(),
            32u * 64u);
}

TEST_P(ImporterTest, AnImageFiledUnderAnotherStudyLeavesNoOldFile) {
  Receive(Image(1));
  ASSERT_EQ(Import({Image(1).sop_instance_uid}).imported, 1);
  TestImage moved = Image(1);
  moved.study_uid = std::string(kStudy) + "9";
  moved.series_uid = std::string(kSeries) + "9";
  Receive(moved);
  ASSERT_EQ(Import({moved.sop_instance_uid}).imported, 1);
  EXPECT_FALSE(fs::exists(
      FileIn(std::string("2024/") + kStudy, moved.sop_instance_uid)));
  EXPECT_TRUE(fs::exists(
      FileIn(std::string("2024/") + moved.study_uid, moved.sop_instance_uid)));
  EXPECT_EQ(Count("SELECT Count(*) FROM VIEW_Images WHERE StudyUID = '" +
                  moved.study_uid + "'"),
            1);
  EXPECT_EQ(Count("SELECT Count(*) FROM tblImages"), 1);
}

TEST_P(ImporterTest, KnownPatientAndStudyAreMatchedAndKeepTheirFolder) {
  int64_t patient =
      archive_.AddPatient({.patient_id = "P-IMP", .last_name = "Alt"});
  archive_.AddStudy(
      patient,
      {.study_uid = kStudy, .archive_id = 1, .directory = "old\\place"});
  Receive(Image(1));
  ASSERT_EQ(Import({Image(1).sop_instance_uid}).imported, 1);
  EXPECT_EQ(Count("SELECT Count(*) FROM tblPatienten"), 1);
  EXPECT_EQ(Count("SELECT Count(*) FROM tblStudies"), 1);
  EXPECT_TRUE(fs::exists(FileIn("old/place", Image(1).sop_instance_uid)));
}

TEST_P(ImporterTest, WhatCannotBeFiledIsKeptInTheFailedFolder) {
  TestImage anonymous = Image(1);
  anonymous.patient_id = "";
  Receive(anonymous);
  Receive(Image(2));
  Importer::Result r =
      Import({anonymous.sop_instance_uid, Image(2).sop_instance_uid});
  EXPECT_EQ(r.imported, 1);
  EXPECT_EQ(r.failed, 1);
  const std::string failed = FailedFolder(temp_);
  EXPECT_TRUE(fs::exists(failed + anonymous.sop_instance_uid + ".dcm"));
  EXPECT_TRUE(fs::exists(failed + anonymous.sop_instance_uid + ".cae"));
  EXPECT_EQ(Count("SELECT Count(*) FROM tblImages"), 1);
  // Moved back and given its Patient ID, it is taken.
  Receive(Image(1));
  EXPECT_EQ(Import({Image(1).sop_instance_uid}).imported, 1);
}

TEST_P(ImporterTest, AnImageTheDatabaseRefusesLeavesNoFileBehind) {
  const std::string refused = Image(2).sop_instance_uid;
  if (GetParam() == ArchiveBackend::kSqlite) {
    archive_.Exec(
        "CREATE TRIGGER refuse BEFORE INSERT ON tblImages WHEN "
        "NEW.ImageUID = '" +
        refused + "' BEGIN SELECT RAISE(ABORT, 'refused'); END");
  } else {
    archive_.Exec(
        "ALTER TABLE tblImages ADD CONSTRAINT refuse CHECK "
        "(ImageUID <> '" +
        refused + "')");
  }
  Receive(Image(1));
  Receive(Image(2));
  Receive(Image(3));
  Importer::Result r =
      Import({Image(1).sop_instance_uid, refused, Image(3).sop_instance_uid});
  EXPECT_EQ(r.imported, 2);
  EXPECT_EQ(r.failed, 1);
  EXPECT_FALSE(r.database_unavailable);
  EXPECT_TRUE(fs::exists(FailedFolder(temp_) + refused + ".dcm"));
  EXPECT_FALSE(fs::exists(FileIn(std::string("2024/") + kStudy, refused)));
  EXPECT_EQ(Count("SELECT Count(*) FROM tblImages"), 2);
}

TEST_P(ImporterTest, ADatabaseThatDoesNotAnswerKeepsTheClaims) {
  Receive(Image(1));
  db_.Close();
  Importer::Result r = Import({Image(1).sop_instance_uid});
  EXPECT_TRUE(r.database_unavailable);
  EXPECT_EQ(r.imported + r.failed, 0);
  EXPECT_TRUE(
      fs::exists(ImportingFolder(temp_) + Image(1).sop_instance_uid + ".dcm"));
  EXPECT_FALSE(
      fs::exists(FailedFolder(temp_) + Image(1).sop_instance_uid + ".dcm"));
  // Back again, the claim left over is taken.
  db_.Open(ConnectionText(archive_.DBServer()));
  EXPECT_EQ(
      importer_->ImportClaimed(log_, temp_, "", {Image(1).sop_instance_uid})
          .imported,
      1);
}

TEST_P(ImporterTest, NewStudiesGoToTheConfiguredArchiveFolder) {
  const std::string other = archive_.dir() + "/other";
  Receive(Image(1));
  ASSERT_TRUE(ClaimReceived(temp_, Image(1).sop_instance_uid));
  ASSERT_EQ(
      importer_->ImportClaimed(log_, temp_, other, {Image(1).sop_instance_uid})
          .imported,
      1);
  EXPECT_EQ(Count("SELECT Count(*) FROM tblArchive"), 2);
  EXPECT_TRUE(fs::exists(other + "/2024/" + kStudy + "/" +
                         Image(1).sop_instance_uid + ".dcm"));
}

// Two images of one new study that disagree on its date would file it in
// two folders: the second waits, and the next round puts it where the
// study now lies.
TEST_P(ImporterTest, AStudyIsFiledInOneFolderWhateverItsImagesSay) {
  TestImage other = Image(2);
  other.extra = {{"StudyDate", "20230101"}, {"InstanceNumber", "2"}};
  Receive(Image(1));
  Receive(other);
  Importer::Result r =
      Import({Image(1).sop_instance_uid, other.sop_instance_uid});
  EXPECT_EQ(r.imported, 1);
  EXPECT_EQ(r.deferred, 1);
  EXPECT_EQ(importer_->ImportClaimed(log_, temp_, "", {other.sop_instance_uid})
                .imported,
            1);
  EXPECT_TRUE(fs::exists(
      FileIn(std::string("2024/") + kStudy, other.sop_instance_uid)));
  EXPECT_FALSE(fs::exists(
      FileIn(std::string("2023/") + kStudy, other.sop_instance_uid)));
  EXPECT_EQ(Count("SELECT Count(*) FROM tblStudies"), 1);
  EXPECT_EQ(Count("SELECT Count(*) FROM tblImages"), 2);
}

// The session ends inside the importer's transaction, as in a fail-over
// (its own session is ended by its first BEGIN block; a sequence, which no
// rollback resets, makes that happen once). The transaction runs again
// whole on a new connection: the images are imported, their rows once.
TEST_P(ImporterTest, ATransactionWhoseSessionEndedRunsAgainWhole) {
  if (GetParam() != ArchiveBackend::kPostgres)
    GTEST_SKIP() << "a session to end needs a database server";
  archive_.Exec("CREATE SEQUENCE lose_once");
  std::string text = ReadWholeFile(std::string(VANTOR_SOURCE_DIR) +
                                   "/archive/import-postgresql.sql");
  const std::string begin = "-- name: Begin\nBEGIN;\n";
  const size_t at = text.find(begin);
  ASSERT_NE(at, std::string::npos);
  text.insert(at + begin.size(),
              "SELECT pg_terminate_backend(pg_backend_pid()) "
              "WHERE nextval('lose_once') = 1;\n");
  const ImportStatements losing(text);
  Importer importer(db_, losing);
  importer.Setup(log_);
  Receive(Image(1));
  Receive(Image(2));
  std::vector<std::string> claimed;
  for (int n : {1, 2})
    if (ClaimReceived(temp_, Image(n).sop_instance_uid))
      claimed.push_back(Image(n).sop_instance_uid);
  ASSERT_EQ(claimed.size(), 2u);
  Importer::Result r = importer.ImportClaimed(log_, temp_, "", claimed);
  EXPECT_EQ(r.imported, 2);
  EXPECT_EQ(r.failed, 0);
  EXPECT_FALSE(r.database_unavailable);
  EXPECT_EQ(Count("SELECT Count(*) FROM tblImages"), 2);
  EXPECT_EQ(Count("SELECT Count(*) FROM tblPatienten WHERE PATID1 = 'P-IMP'"),
            1);
  EXPECT_EQ(Count("SELECT nextval('lose_once')"), 3);
  EXPECT_EQ(db_.counters().retries.load(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Archive, ImporterTest, kArchiveBackends,
                         ArchiveBackendName);

// The claim: the incoming names, the renamed form, and an image of the same
// UID still being imported.
TEST(ArchiveFilesTest, ClaimsTakeBothFormsAndNeverOverwriteAClaim) {
  const std::string temp = TestProgramDir() + "/claims/";
  fs::remove_all(temp);
  fs::create_directories(temp);
  std::ofstream(temp + "1.2.3.dcm.ren") << "a";
  std::ofstream(temp + "1.2.3.cae") << "AE\r\n";
  std::ofstream(temp + ".1.2.4.99-1@host.part") << "partial";
  EXPECT_THAT(ImagesIn(temp, true), ::testing::ElementsAre("1.2.3"));
  EXPECT_TRUE(ImagesIn(temp, false).empty());
  ASSERT_TRUE(ClaimReceived(temp, "1.2.3"));
  EXPECT_TRUE(fs::exists(ImportingFolder(temp) + "1.2.3.dcm"));
  EXPECT_TRUE(fs::exists(ImportingFolder(temp) + "1.2.3.cae"));
  // Stored again while the first is still claimed: it waits its turn.
  std::ofstream(temp + "1.2.3.dcm") << "b";
  EXPECT_FALSE(ClaimReceived(temp, "1.2.3"));
  EXPECT_TRUE(fs::exists(temp + "1.2.3.dcm"));
  EXPECT_EQ(ReadWholeFile(ImportingFolder(temp) + "1.2.3.dcm"), "a");
  ReleaseClaim(temp, "1.2.3");
  EXPECT_TRUE(ClaimReceived(temp, "1.2.3"));
  EXPECT_FALSE(ClaimReceived(temp, "9.9"));
  fs::remove_all(temp);
}

TEST(ArchiveFilesTest, PlacingReplacesWholeAndMakesTheFolders) {
  const std::string root = TestProgramDir() + "/place/";
  fs::remove_all(root);
  fs::create_directories(root);
  std::ofstream(root + "source") << "new";
  const std::string target = root + "a/b/c/1.2.dcm";
  EXPECT_EQ(PlaceFile(root + "source", target), root + "a/b/c/");
  EXPECT_EQ(ReadWholeFile(target), "new");
  std::ofstream(root + "source2") << "newer";
  PlaceFile(root + "source2", target);
  EXPECT_EQ(ReadWholeFile(target), "newer");
  // Only the file itself is there: no temporary name is left.
  EXPECT_EQ(std::distance(fs::directory_iterator(root + "a/b/c"),
                          fs::directory_iterator()),
            1);
  fs::remove_all(root);
}

}  // namespace
}  // namespace vantor
