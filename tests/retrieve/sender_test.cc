#include "retrieve/sender.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "retrieve/move_handoff.h"
#include "tests/query/query_test_util.h"
#include "tests/support/fixture_archive.h"
#include "tests/support/test_env.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// Two series of one study in one folder, and a second study.
class SenderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestProgramDir();
    folder_ = archive_.dir() + "/archive";
    FixtureArchive::Location where;
    where.archive_path = folder_;
    const int64_t location = archive_.AddLocation(where);
    FixtureArchive::Patient patient;
    patient.patient_id = "P1";
    const int64_t p = archive_.AddPatient(patient);
    for (const char* uid : {"1.1", "1.2"}) {
      FixtureArchive::Study study;
      study.study_uid = uid;
      study.archive_id = location;
      study.directory = std::string("S") + uid;
      const int64_t st = archive_.AddStudy(p, study);
      for (int s = 1; s <= 2; ++s) {
        FixtureArchive::Series series;
        series.series_uid = std::string(uid) + "." + std::to_string(s);
        const int64_t se = archive_.AddSeries(st, series);
        for (int i : {3, 1, 2}) {
          FixtureArchive::Image image;
          image.image_uid = series.series_uid + "." + std::to_string(i);
          image.image_nr = i;
          archive_.AddImage(se, image);
        }
      }
    }
    db_.Open(ConnectionText(archive_.DBServer()));
  }

  std::vector<std::string> Select(std::initializer_list<Key> keys) {
    std::optional<JobImageSelection> selection = JobImageStatement(
        MoveStatement(Identifier(keys), false, false, "YYYY-MM-DD"));
    EXPECT_TRUE(selection.has_value());
    if (!selection) return {};
    return SelectJobImages(db_, *selection,
                           [](const std::string&) { return false; });
  }

  std::string File(const std::string& study, const std::string& image) {
    return folder_ + "/S" + study + "/" + image + ".dcm";
  }

  FixtureArchive archive_;
  Database db_;
  std::string folder_;
};

TEST_F(SenderTest, ASeriesJobSendsTheImagesOfThatSeriesNotTheWholeFolder) {
  EXPECT_THAT(Select({{0x0020, 0x000D, Value("1.1")},
                      {0x0020, 0x000E, Value("1.1.2")}}),
              ElementsAre(File("1.1", "1.1.2.1"), File("1.1", "1.1.2.2"),
                          File("1.1", "1.1.2.3")));
  EXPECT_EQ(Select({{0x0020, 0x000D, Value("1.2")}}).size(), 6u);
  EXPECT_EQ(Select({{kPatient, kId, Value("P1")}}).size(), 12u);
  archive_.Exec(
      "UPDATE tblStudies SET FKeyStatusID = -1 WHERE StudyUID = "
      "'1.2'");
  EXPECT_EQ(Select({{kPatient, kId, Value("P1")}}).size(), 6u);
}

TEST_F(SenderTest, AnImageJobSendsThatImage) {
  EXPECT_THAT(Select({{0x0020, 0x000D, Value("1.2")},
                      {0x0008, 0x0018, Value("1.2.1.3")}}),
              ElementsAre(File("1.2", "1.2.1.3")));
}

TEST(SenderReturnFileTest, CountsAndTheReason) {
  SendOutcome outcome;
  outcome.completed = 3;
  outcome.failed = 1;
  EXPECT_EQ(ReturnFileContents(outcome),
            "Completed=3\r\nFailed=1\r\nWarning=0\r\n");
  outcome.error = "Connection refused\nagain";
  EXPECT_THAT(ReturnFileContents(outcome),
              HasSubstr("Warning=0\r\nError=Connection refused again\r\n"));
}

TEST(SenderReturnFileTest, ReadsBackWhatTheSenderWrites) {
  SendOutcome outcome;
  outcome.completed = 2;
  outcome.failed = 1;
  outcome.warning = 1;
  outcome.remaining = 7;
  outcome.error = "Connection refused";
  std::optional<SendOutcome> back =
      ParseReturnFile(ReturnFileContents(outcome));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->completed, 2);
  EXPECT_EQ(back->failed, 1);
  EXPECT_EQ(back->warning, 1);
  EXPECT_EQ(back->remaining, 7);
  EXPECT_EQ(back->error, "Connection refused");
  // A site's own sender may write anything; only our format counts.
  EXPECT_FALSE(ParseReturnFile(""));
  EXPECT_FALSE(ParseReturnFile("OK\r\n"));
  EXPECT_FALSE(ParseReturnFile("Completed=x\r\n"));
  EXPECT_FALSE(ParseReturnFile("Completed=99999999999\r\n"));
  ASSERT_TRUE(ParseReturnFile("Completed=4\nSomething=else\n"));
  EXPECT_EQ(ParseReturnFile("Completed=4\n")->remaining, 0);
}

// Jobs carried out in a temp folder, with their return files beside them.
class SendJobRunTest : public SenderTest {
 protected:
  std::string WriteJob(const std::string& statement, int port) {
    SendJob job;
    job.db_server = archive_.DBServer();
    job.statement = statement;
    job.work_directory = archive_.dir() + "/work\\";
    job.return_file = archive_.dir() + "/Return9999_0";
    job.calling_aet = "KELMORA";
    job.address = "127.0.0.1";
    job.port = port;
    job.called_aet = "DEST";
    const std::string path = archive_.dir() + "/Send9999_0";
    std::ofstream(path, std::ios::binary) << FormatSendJob(job);
    return path;
  }
  ScopedSettings settings_;
};

TEST_F(SendJobRunTest, AStatementTheServiceDoesNotWriteIsNotRun) {
  const std::string job = WriteJob("DELETE FROM tblImages", 104);
  EXPECT_EQ(RunSendJob(job), 1);
  EXPECT_FALSE(fs::exists(job));
  EXPECT_THAT(ReadWholeFile(archive_.dir() + "/Return9999_0"),
              StartsWith("Completed=0\r\nFailed=0\r\nWarning=0\r\nError=The "
                         "job's statement is not one the service writes"));
  EXPECT_EQ(archive_.Query("SELECT COUNT(*) AS n FROM tblImages")
                .Get(0, "n")
                .integer(),
            12);
  EXPECT_THAT(ReadWholeFile(TestProgramDir() + "/Logs/SendVantor9999.log"),
              HasSubstr("\tSend9999_0\r\n"));
}

}  // namespace
}  // namespace vantor
