#include "retrieve/send/sender.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dctk.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "retrieve/move_handoff.h"
#include "retrieve/send/sender_standby.h"
#include "retrieve/sender_starter.h"
#include "tests/query/query_test_util.h"
#include "tests/support/fixture_archive.h"
#include "tests/support/processes.h"
#include "tests/support/service_process.h"
#include "tests/support/test_env.h"
#include "tests/support/test_images.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::Eq;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
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

TEST_F(SenderTest, RowsThatTellClassAndSyntaxCarryThemToTheSending) {
  std::optional<JobImageSelection> selection = JobImageStatement(MoveStatement(
      Identifier({{0x0020, 0x000E, Value("1.1.2")}}), false, false,
      "YYYY-MM-DD"));
  ASSERT_TRUE(selection);
  auto none = [](const std::string&) { return false; };
  // The archive's view as it comes tells neither.
  for (const dicom::StoreItem& item : SelectJobFiles(db_, *selection, none)) {
    EXPECT_EQ(item.sop_class, "");
    EXPECT_EQ(item.transfer_syntax, "");
  }
  // A view with both columns: rows that fill both are told, others not.
  archive_.Exec("ALTER TABLE tblImages ADD COLUMN TransferSyntaxUID TEXT");
  archive_.Exec(
      "UPDATE tblImages SET SOPClassUID = '1.2.840.10008.5.1.4.1.1.2', "
      "TransferSyntaxUID = '1.2.840.10008.1.2.1 ' WHERE ImageUID = '1.1.2.2'");
  archive_.Exec(
      "UPDATE tblImages SET SOPClassUID = '1.2.840.10008.5.1.4.1.1.2' "
      "WHERE ImageUID = '1.1.2.3'");
  archive_.Exec("CREATE TABLE ImagesBefore AS SELECT * FROM VIEW_Images");
  archive_.Exec("DROP VIEW VIEW_Images");
  archive_.Exec(
      "CREATE VIEW VIEW_Images AS SELECT b.*, i.SOPClassUID, "
      "i.TransferSyntaxUID FROM ImagesBefore b JOIN tblImages i ON "
      "i.ImageID = b.ImageID");
  // A connection of its own, as the sender's is.
  Database db;
  db.Open(ConnectionText(archive_.DBServer()));
  std::vector<dicom::StoreItem> items = SelectJobFiles(db, *selection, none);
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].path, File("1.1", "1.1.2.1"));
  EXPECT_EQ(items[0].transfer_syntax, "");
  EXPECT_EQ(items[1].sop_class, "1.2.840.10008.5.1.4.1.1.2");
  EXPECT_EQ(items[1].transfer_syntax, "1.2.840.10008.1.2.1");
  EXPECT_EQ(items[2].sop_class, "");
  EXPECT_EQ(items[2].transfer_syntax, "");
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

// Every statement shape the service writes is one the sender runs.
TEST(JobStatementTest, EveryShapeTheServiceWritesIsAccepted) {
  const std::vector<std::vector<Key>> identifiers = {
      {{kPatient, kId, Value("P1")}},
      {{kPatient, kId, Value("O'Brien '' x")}},
      {{kPatient, kName, Value("Meyer^Anna")}},
      {{kPatient, kName, Value("O'Neil^D'Arcy")}},
      {{kPatient, kName, Value("Mey*")}},
      {{kPatient, kId, Value("P1")}, {kPatient, kName, Value("Mey?r*^A")}},
      {{kPatient, kBirth, Value("1970-01-02")}},
      {{0x0020, 0x000D, Value("1.2.3")}},
      {{0x0020, 0x000D, Value("1.2.3")}, {0x0020, 0x000E, Value("1.2.3.4")}},
      {{0x0008, 0x0020, Value("20240101-20240131")}},
      {{0x0008, 0x0020, Value("2024'); DROP TABLE x; --")}},
      {{0x0008, 0x0018, Value("1.2.3.4.5")}},
      {{kPatient, kId, Value("P1")},
       {kPatient, kName, Value("A*^B")},
       {kPatient, kBirth, Value("19700102")},
       {0x0020, 0x000D, Value("1.2")},
       {0x0020, 0x000E, Value("1.2.3")},
       {0x0008, 0x0020, Value("20240115")},
       {0x0008, 0x0018, Value("1.2.3.4")}},
      {{0x0020, 0x000E, Value("x' OR '1'='1")},
       {0x0008, 0x0018, Value("'; DELETE FROM tblImages; --")}},
  };
  for (bool internal_id : {false, true}) {
    for (bool siemens : {false, true}) {
      for (const std::vector<Key>& keys : identifiers) {
        dicom::Dataset identifier;
        for (const Key& k : keys) {
          Value value = k.value;
          // An internal key is a number.
          if (internal_id && k.group == kPatient && k.element == kId)
            value = Value("00123");
          identifier.Put(k.group, k.element, value);
        }
        const std::string sql =
            MoveStatement(identifier, siemens, internal_id, "YYYY-MM-DD");
        EXPECT_EQ(StatementFault(sql), "") << sql;
        EXPECT_TRUE(JobImageStatement(sql)) << sql;
      }
    }
  }
  EXPECT_EQ(StatementFault(MoveStatement(
                Identifier({{kPatient, kId, Value("-2147483648")}}), false,
                true, "YYYY-MM-DD")),
            "");
}

TEST(JobStatementTest, TheSenderRunsTheJobsConditionsOnTheImageView) {
  const std::string conditions = "StudyUID = '1' AND SeriesUID = 'a b'";
  std::optional<JobImageSelection> series = JobImageStatement(
      std::string(kSeriesBase) + conditions + kStatusCondition);
  ASSERT_TRUE(series);
  EXPECT_EQ(series->sql,
            std::string(kImageBase) + conditions + kStatusCondition);
  EXPECT_FALSE(series->order_by_image_nr);
  const std::string image_conditions = "ImageUID = 'x' ";
  std::optional<JobImageSelection> image =
      JobImageStatement(std::string(kImageBase) + image_conditions +
                        kStatusCondition + kImageNrTail);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->sql,
            std::string(kImageBase) + image_conditions + kStatusCondition);
  EXPECT_TRUE(image->order_by_image_nr);
}

TEST(JobStatementTest, AnythingElseIsRefused) {
  const std::string series = kSeriesBase;
  const std::string image = kImageBase;
  const std::string status = kStatusCondition;
  const std::vector<std::string> refused = {
      "DELETE FROM tblImages",
      "",
      series + status,  // no condition
      series + " StudyUID = '1'; DELETE FROM tblImages" + status,
      series + " StudyUID = '1'" + status + "; DELETE FROM tblImages",
      series + " StudyUID = '1' OR 1 = 1" + status,
      series + " StudyUID = '1' AND FKeyStatusID = '1'" + status,
      series + " StudyUID = '1' and SeriesUID = '2'" + status,
      series + " Password = '1'" + status,
      series + " StudyUID = 'x''" + status,  // the quote never ends
      series + " StudyUID = 'x' AND SeriesUID = '" + status + "'",
      series + " StudyUID = x" + status,  // not a literal
      series + " StudyUID = 1" + status,
      series + " StudyUID <> '1'" + status,
      series + " StudyUID = '1' AND StudyUID = '2'" + status,   // twice
      series + " SeriesUID = '2' AND StudyUID = '1'" + status,  // order
      series + " PATID = 1 AND PATID1 = '1'" + status,
      series + " PATID = '1'" + status,
      series + " PATID = 1 OR 1" + status,
      series + " PATID = 99999999999" + status,
      series + " PATID = -" + status,
      series + " PATID = 1 -- " + status,
      series + " StudyUID = '1' /* */" + status,
      series + " StudyUID = (SELECT 1)" + status,
      series + " StudyUID = '1' AND" + status,
      series + " StudyUID = '1' AND SeriesUID" + status,
      series + " StudyUID = '1" + std::string(1, '\0') + "'" + status,
      series + " ImageUID = '1' " + status,  // the image view's condition
      series + " StudyUID = '1'" + status + kImageNrTail,
      image + " StudyUID = '1'" + status + kImageNrTail,
      image + " ImageUID = '1' " + status,  // no ImageNr order
      "select * from view_images where ImageUID = '1'" + status + kImageNrTail,
  };
  for (const std::string& sql : refused) {
    EXPECT_THAT(StatementFault(sql), Not(IsEmpty())) << sql;
    EXPECT_FALSE(JobImageStatement(sql)) << sql;
  }
}

TEST(JobFileTest, OnlyNineWellFormedLinesAreAJob) {
  SendJob job;
  job.statement = "S";
  job.return_file = "R";
  job.port = 104;
  const std::string text = FormatSendJob(job);
  ASSERT_TRUE(ParseSendJob(text));
  EXPECT_FALSE(ParseSendJob(text + "more\r\n"));
  EXPECT_FALSE(ParseSendJob(text.substr(0, text.size() - 6)));  // 8 lines
  std::string bad_flag = text;
  bad_flag.replace(bad_flag.find("\r\n0\r\n"), 5, "\r\nyes\r\n");
  EXPECT_FALSE(ParseSendJob(bad_flag));
  for (const char* port : {"0", "65536", "x", ""}) {
    job.port = 1;
    std::string t = FormatSendJob(job);
    t.replace(t.find("\r\n1\r\n"), 5, std::string("\r\n") + port + "\r\n");
    EXPECT_FALSE(ParseSendJob(t)) << port;
  }
  EXPECT_TRUE(IsReturnFileName("Return104_7", 104, 7));
  EXPECT_FALSE(IsReturnFileName("Return104_7", 104, 8));
  EXPECT_FALSE(IsReturnFileName("Return104_7.part", 104, 7));
}

// Jobs carried out in a temp folder, with their return files beside them.
class SendJobRunTest : public SenderTest {
 protected:
  SendJob Job(const std::string& statement, int port) {
    SendJob job;
    job.db_server = archive_.DBServer();
    job.statement = statement;
    job.work_directory = archive_.dir() + "/work\\";
    job.return_file = archive_.dir() + "/Return9999_0";
    job.calling_aet = "KELMORA";
    job.address = "127.0.0.1";
    job.port = port;
    job.called_aet = "DEST";
    return job;
  }
  std::string WriteJob(const SendJob& job,
                       const std::string& name = "Send9999_0") {
    const std::string path = archive_.dir() + "/" + name;
    std::ofstream(path, std::ios::binary) << FormatSendJob(job);
    return path;
  }
  std::string WriteJob(const std::string& statement, int port) {
    return WriteJob(Job(statement, port));
  }
  std::string ReturnFile() { return archive_.dir() + "/Return9999_0"; }
  ScopedSettings settings_;
};

TEST_F(SendJobRunTest, AStatementTheServiceDoesNotWriteIsNotRun) {
  const std::string job = WriteJob("DELETE FROM tblImages", 104);
  EXPECT_EQ(RunSendJob(job), 1);
  EXPECT_FALSE(fs::exists(job));
  EXPECT_THAT(ReadWholeFile(ReturnFile()),
              StartsWith("Completed=0\r\nFailed=0\r\nWarning=0\r\nError=The "
                         "job's statement is not one the service writes"));
  EXPECT_EQ(archive_.Query("SELECT COUNT(*) AS n FROM tblImages")
                .Get(0, "n")
                .integer(),
            12);
  EXPECT_THAT(ReadWholeFile(TestProgramDir() + "/Logs/SendVantor9999.log"),
              HasSubstr("\tSend9999_0\r\n"));
}

TEST_F(SendJobRunTest, AFileThatIsNotAJobIsLeftAsItIs) {
  const std::string other = archive_.dir() + "/notes.txt";
  std::ofstream(other) << "keep me\n";
  EXPECT_EQ(RunSendJob(other), 1);
  EXPECT_EQ(ReadWholeFile(other), "keep me\n");

  const std::string garbage = archive_.dir() + "/Send9999_0";
  std::ofstream(garbage) << "not\na\njob\n";
  EXPECT_EQ(RunSendJob(garbage), 1);
  EXPECT_EQ(ReadWholeFile(garbage), "not\na\njob\n");
  std::optional<SendOutcome> back =
      ParseReturnFile(ReadWholeFile(ReturnFile()));
  ASSERT_TRUE(back);
  EXPECT_THAT(back->error, HasSubstr("does not hold a send job"));

  fs::remove(garbage);
  fs::create_directory(garbage);
  EXPECT_EQ(RunSendJob(garbage), 1);
  EXPECT_TRUE(fs::is_directory(garbage));
}

TEST_F(SendJobRunTest, AReturnFileOutsideTheJobsFolderRefusesTheJob) {
  const std::string statement = MoveStatement(
      Identifier({{0x0020, 0x000D, Value("1.1")}}), false, false, "YYYY-MM-DD");
  const std::string elsewhere = archive_.dir() + "/elsewhere";
  fs::create_directory(elsewhere);
  for (const std::string& foreign :
       {elsewhere + "/Return9999_0", archive_.dir() + "/Return9999_1",
        archive_.dir() + "/Return1_0", archive_.dir() + "/archive.db",
        std::string("Return9999_0")}) {
    SendJob job = Job(statement, 104);
    job.return_file = foreign;
    const std::string path = WriteJob(job);
    const std::string before = ReadWholeFile(path);
    const std::string foreign_before = ReadWholeFile(foreign);
    fs::remove(ReturnFile());
    EXPECT_EQ(RunSendJob(path), 1) << foreign;
    EXPECT_EQ(ReadWholeFile(path), before) << foreign;
    EXPECT_EQ(ReadWholeFile(foreign), foreign_before) << foreign;
    std::optional<SendOutcome> back =
        ParseReturnFile(ReadWholeFile(ReturnFile()));
    ASSERT_TRUE(back) << foreign;
    EXPECT_THAT(back->error, HasSubstr("is not the one beside")) << foreign;
  }
  EXPECT_FALSE(fs::exists(elsewhere + "/Return9999_0"));
  // The same folder by another spelling is the job's own.
  SendJob job = Job(statement, 1);  // nobody listens on port 1
  job.return_file = archive_.dir() + "/./elsewhere/../Return9999_0";
  EXPECT_EQ(RunSendJob(WriteJob(job)), 1);
  EXPECT_FALSE(fs::exists(archive_.dir() + "/Send9999_0"));
  std::optional<SendOutcome> back =
      ParseReturnFile(ReadWholeFile(ReturnFile()));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->failed, 6);
}

size_t FilesIn(const std::string& dir) {
  size_t n = 0;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.is_regular_file()) ++n;
  return n;
}

// vantor-send run as its own process on jobs for a storescp destination
// that takes its time over each image.
class SenderProcessTest : public SendJobRunTest {
 protected:
  void SetUp() override {
    SendJobRunTest::SetUp();
    for (const char* study : {"1.1", "1.2"}) {
      for (int s = 1; s <= 2; ++s) {
        for (int i = 1; i <= 3; ++i) {
          TestImage image;
          image.study_uid = study;
          image.series_uid = std::string(study) + "." + std::to_string(s);
          image.sop_instance_uid = image.series_uid + "." + std::to_string(i);
          fs::create_directories(folder_ + "/S" + study);
          WriteTestImage(File(study, image.sop_instance_uid), image);
        }
      }
    }
    program_dir_ = archive_.dir() + "/program";
    fs::create_directories(program_dir_ + "/Logs");
    fs::copy_file(std::string(VANTOR_BUILD_DIR) + "/vantor-send",
                  program_dir_ + "/vantor-send");
    received_ = archive_.dir() + "/received";
    fs::create_directories(received_);
  }
  void TearDown() override {
    for (pid_t pid : {sender_, destination_}) {
      if (pid <= 0) continue;
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }

  // A storescp that sleeps `seconds` after each image before it reads the
  // next one.
  int StartDestination(int seconds) {
    const int port = FreeLoopbackPort();
    destination_ =
        SpawnQuiet({"/usr/bin/storescp", "-aet", "DEST", "-od", received_,
                    "--sleep-after", std::to_string(seconds),
                    std::to_string(port)});
    for (int i = 0; i < 200 && !IsListening(port); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    return port;
  }

  void StartSender(const std::string& job) {
    sender_ = SpawnQuiet({program_dir_ + "/vantor-send", job});
  }

  // The exit code once the sender ends within `timeout`.
  std::optional<int> WaitForSender(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (::waitpid(sender_, &status, WNOHANG) == sender_) {
        sender_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::nullopt;
  }

  // Waits until the return file reads back with `completed` images done.
  std::optional<SendOutcome> WaitForProgress(int completed) {
    for (int i = 0; i < 1000; ++i) {
      std::optional<SendOutcome> now =
          ParseReturnFile(ReadWholeFile(ReturnFile()));
      if (now && now->completed >= completed) return now;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::nullopt;
  }

  std::string JobFor(std::initializer_list<Key> keys, int port) {
    return WriteJob(MoveStatement(Identifier(keys), false, false, "YYYY-MM-DD"),
                    port);
  }

  std::string program_dir_;
  std::string received_;
  pid_t sender_ = -1;
  pid_t destination_ = -1;
};

TEST_F(SenderProcessTest, TheReturnFileFollowsTheJobImageByImage) {
  const std::string job =
      JobFor({{0x0020, 0x000E, Value("1.2.1")}}, StartDestination(1));
  StartSender(job);
  std::optional<SendOutcome> first = WaitForProgress(1);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->completed, 1);
  EXPECT_EQ(first->remaining, 2);
  EXPECT_EQ(first->error, "");
  std::optional<SendOutcome> second = WaitForProgress(2);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->completed + second->remaining, 3);
  EXPECT_THAT(WaitForSender(std::chrono::seconds(30)), Eq(0));
  std::optional<SendOutcome> last =
      ParseReturnFile(ReadWholeFile(ReturnFile()));
  ASSERT_TRUE(last);
  EXPECT_EQ(last->completed, 3);
  EXPECT_EQ(last->remaining, 0);
  EXPECT_EQ(FilesIn(received_), 3u);
  EXPECT_FALSE(fs::exists(job));
  EXPECT_FALSE(fs::exists(ReturnFile() + ".part"));
}

// The sender reads the private attributes of the dictionary only once a
// file has to be read as a dataset; a file converted for the destination
// still keeps the attributes' own VRs, not UN.
TEST_F(SenderProcessTest, AConvertedFileKeepsTheVrsOfItsPrivateAttributes) {
  const std::string path = File("1.2", "1.2.1.1");
  {
    DcmFileFormat file;
    ASSERT_TRUE(file.loadFile(path.c_str()).good());
    DcmDataset* ds = file.getDataset();
    ASSERT_TRUE(ds->putAndInsertString(DcmTag(0x0029, 0x0010, EVR_LO),
                                       "SIEMENS CSA HEADER")
                    .good());
    ASSERT_TRUE(ds->putAndInsertString(DcmTag(DcmTagKey(0x0029, 0x1008),
                                              "SIEMENS CSA HEADER"),
                                       "IMAGE NUM 4")
                    .good());
    ASSERT_TRUE(file.saveFile(path.c_str(), EXS_LittleEndianImplicit).good());
  }
  // A destination that takes CT in explicit little endian only.
  const std::string config = archive_.dir() + "/storescp.cfg";
  std::ofstream(config)
      << "[[TransferSyntaxes]]\n[Accepted]\n"
      << "TransferSyntax1 = 1.2.840.10008.1.2.1\n"
      << "[[PresentationContexts]]\n[Contexts]\n"
      << "PresentationContext1 = 1.2.840.10008.5.1.4.1.1.2\\Accepted\n"
      << "[[Profiles]]\n[Default]\nPresentationContexts = Contexts\n";
  const int port = FreeLoopbackPort();
  destination_ = SpawnQuiet({"/usr/bin/storescp", "-aet", "DEST", "-xf", config,
                             "Default", "-od", received_,
                             std::to_string(port)});
  for (int i = 0; i < 200 && !IsListening(port); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  StartSender(JobFor({{0x0020, 0x000E, Value("1.2.1")}}, port));
  EXPECT_THAT(WaitForSender(std::chrono::seconds(30)), Eq(0));
  EXPECT_EQ(FilesIn(received_), 3u);
  const std::string got = ReadWholeFile(received_ + "/CT.1.2.1.1");
  EXPECT_EQ(FileTransferSyntax(received_ + "/CT.1.2.1.1"),
            "1.2.840.10008.1.2.1");
  // (0029,1008) in explicit little endian: its tag, then CS.
  EXPECT_NE(got.find(std::string("\x29\x00\x08\x10" "CS", 6)),
            std::string::npos);
  EXPECT_NE(got.find("IMAGE NUM 4"), std::string::npos);
}

TEST_F(SenderProcessTest, SigtermStopsBetweenImagesAndReportsTheCancel) {
  const std::string job =
      JobFor({{0x0020, 0x000D, Value("1.2")}}, StartDestination(1));
  StartSender(job);
  ASSERT_TRUE(WaitForProgress(1));
  const auto signalled = std::chrono::steady_clock::now();
  ASSERT_EQ(::kill(sender_, SIGTERM), 0);
  // The image on the wire is answered within a second.
  EXPECT_THAT(WaitForSender(std::chrono::seconds(10)), Eq(1));
  EXPECT_LT(std::chrono::steady_clock::now() - signalled,
            std::chrono::seconds(5));
  std::optional<SendOutcome> last =
      ParseReturnFile(ReadWholeFile(ReturnFile()));
  ASSERT_TRUE(last);
  EXPECT_EQ(last->error, kCancelledError);
  EXPECT_GE(last->completed, 1);
  EXPECT_LE(last->completed, 2);
  EXPECT_EQ(last->failed, 0);
  EXPECT_EQ(last->completed + last->remaining, 6);
  EXPECT_FALSE(fs::exists(job));
  EXPECT_EQ(FilesIn(received_), static_cast<size_t>(last->completed));
  EXPECT_THAT(ReadWholeFile(program_dir_ + "/Logs/SendVantor9999.log"),
              HasSubstr("Cancelled"));
}

// The sender started ahead: the real vantor-send waiting on a socket, and
// site senders (scripts) that must never be started with --standby.
class SenderStandbyTest : public SenderProcessTest {
 protected:
  std::string Program() const { return program_dir_ + "/vantor-send"; }

  // Waits for the sender started ahead to name itself.
  static std::vector<pid_t> Waiting() {
    std::vector<pid_t> found;
    for (int i = 0; i < 500 && found.empty(); ++i) {
      found = ChildrenNamed(::getpid(), kStandbyName, false);
      if (found.empty())
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return found;
  }

  static bool Gone(pid_t pid) {
    for (int i = 0; i < 500; ++i) {
      const std::string stat =
          ReadWholeFile("/proc/" + std::to_string(pid) + "/stat");
      const size_t close = stat.rfind(')');
      if (stat.empty() ||
          (close != std::string::npos && stat.size() > close + 2 &&
           stat[close + 2] == 'Z'))
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // A site's own sender: writes the arguments it was started with.
  void PutSiteSender() {
    fs::remove(Program());
    std::ofstream(Program()) << "#!/bin/sh\necho \"$@\" >> \"" << SiteRuns()
                             << "\"\n";
    fs::permissions(Program(), fs::perms::owner_all);
  }
  std::string SiteRuns() const { return archive_.dir() + "/site-runs"; }

  std::optional<SendOutcome> Outcome() {
    return ParseReturnFile(ReadWholeFile(ReturnFile()));
  }

  // The next test finds no sender of this one still waiting or ending.
  void TearDown() override {
    starter_.Release();
    for (pid_t pid : ChildrenNamed(::getpid(), kStandbyName, false))
      EXPECT_TRUE(Gone(pid));
    SenderProcessTest::TearDown();
  }

  SenderStarter starter_;
};

TEST_F(SenderStandbyTest, TheWaitingSenderCarriesOutTheJobItIsHanded) {
  starter_.Prepare(Program(), archive_.DBServer());
  ASSERT_TRUE(starter_.HasWaiting());
  std::vector<pid_t> waiting = Waiting();
  ASSERT_EQ(waiting.size(), 1u);
  const std::string job =
      JobFor({{0x0020, 0x000E, Value("1.2.1")}}, StartDestination(0));
  StartedProgram sender = starter_.Start(Program(), job);
  EXPECT_EQ(sender.pid(), waiting[0]);
  EXPECT_FALSE(starter_.HasWaiting());
  ASSERT_TRUE(sender.WaitEnded(30));
  std::optional<SendOutcome> last = Outcome();
  ASSERT_TRUE(last);
  EXPECT_EQ(last->completed, 3);
  EXPECT_EQ(last->error, "");
  EXPECT_EQ(FilesIn(received_), 3u);
  EXPECT_FALSE(fs::exists(job));
  // Asked again, it has the next one wait; asked twice, still one.
  starter_.Prepare(Program(), archive_.DBServer());
  starter_.Prepare(Program(), archive_.DBServer());
  EXPECT_EQ(Waiting().size(), 1u);
}

TEST_F(SenderStandbyTest, TheWaitingSenderEndsWithTheStarterOrOnSigterm) {
  starter_.Prepare(Program(), archive_.DBServer());
  std::vector<pid_t> first = Waiting();
  ASSERT_EQ(first.size(), 1u);
  starter_.Release();
  EXPECT_TRUE(Gone(first[0]));
  EXPECT_FALSE(starter_.HasWaiting());

  starter_.Prepare(Program(), archive_.DBServer());
  std::vector<pid_t> second = Waiting();
  ASSERT_EQ(second.size(), 1u);
  ::kill(second[0], SIGTERM);
  EXPECT_TRUE(Gone(second[0]));

  // A DBServer text of two lines would hand over a job line of its own.
  starter_.Prepare(Program(), archive_.DBServer() + "\n/tmp/Send1_0");
  EXPECT_FALSE(starter_.HasWaiting());
  // Once the service stops, none is started any more.
  starter_.Shutdown();
  starter_.Prepare(Program(), archive_.DBServer());
  EXPECT_FALSE(starter_.HasWaiting());
}

TEST_F(SenderStandbyTest, ASitesOwnSenderIsNeverStartedAhead) {
  PutSiteSender();
  starter_.Prepare(Program(), archive_.DBServer());
  EXPECT_FALSE(starter_.HasWaiting());
  const std::string job = WriteJob("SELECT 1", 1);
  StartedProgram sender = starter_.Start(Program(), job);
  ASSERT_TRUE(sender.WaitEnded(10));
  // Started once, for the job, with the job file alone.
  EXPECT_EQ(ReadWholeFile(SiteRuns()), job + "\n");
}

TEST_F(SenderStandbyTest, ASenderPutInPlaceOfTheWaitingOneGetsTheJob) {
  starter_.Prepare(Program(), archive_.DBServer());
  std::vector<pid_t> waiting = Waiting();
  ASSERT_EQ(waiting.size(), 1u);
  PutSiteSender();
  const std::string job = WriteJob("SELECT 1", 1);
  StartedProgram sender = starter_.Start(Program(), job);
  ASSERT_TRUE(sender.WaitEnded(10));
  EXPECT_EQ(ReadWholeFile(SiteRuns()), job + "\n");
  // The one of the old program file was let go.
  EXPECT_TRUE(Gone(waiting[0]));
}

TEST_F(SenderStandbyTest, AWaitingSenderThatDiedIsReplacedByAFreshStart) {
  starter_.Prepare(Program(), archive_.DBServer());
  std::vector<pid_t> waiting = Waiting();
  ASSERT_EQ(waiting.size(), 1u);
  ::kill(waiting[0], SIGKILL);
  ASSERT_TRUE(Gone(waiting[0]));
  const std::string job =
      JobFor({{0x0020, 0x000E, Value("1.2.1")}}, StartDestination(0));
  StartedProgram sender = starter_.Start(Program(), job);
  EXPECT_NE(sender.pid(), waiting[0]);
  ASSERT_TRUE(sender.WaitEnded(30));
  std::optional<SendOutcome> last = Outcome();
  ASSERT_TRUE(last);
  EXPECT_EQ(last->completed, 3);
}

TEST_F(SenderStandbyTest, AConnectionOpenedAheadThatFailsGivesWayToTheJobsOwn) {
  // Open on the job's DBServer text, but on a database without the views:
  // as a connection the server has dropped, its statement fails.
  const std::string empty = archive_.dir() + "/empty.db";
  std::ofstream(empty).close();
  ReadyDatabase ready;
  ready.db_server = archive_.DBServer();
  ready.db.Open(ConnectionText("sqlite:" + empty));
  const std::string job =
      JobFor({{0x0020, 0x000E, Value("1.2.1")}}, StartDestination(0));
  EXPECT_EQ(RunSendJob(job, &ready), 0);
  std::optional<SendOutcome> last = Outcome();
  ASSERT_TRUE(last);
  EXPECT_EQ(last->completed, 3);
  EXPECT_FALSE(ready.db.IsOpen());
}

TEST(StandbyInputTest, LinesArriveWholeHoweverTheyAreCut) {
  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
  StandbyInput input(ends[0]);
  int idle = 0;
  auto on_idle = [&] {
    // Nothing came for a while: the rest of the line, then the end.
    ++idle;
    if (idle == 2) {
      EXPECT_EQ(::write(ends[1], "f\n", 2), 2);
    }
    if (idle == 4) ::close(ends[1]);
  };
  ASSERT_EQ(::write(ends[1], "sqlite:/a\nde", 12), 12);
  EXPECT_EQ(input.ReadLine(std::chrono::milliseconds(10), on_idle),
            "sqlite:/a");
  EXPECT_EQ(input.ReadLine(std::chrono::milliseconds(10), on_idle), "def");
  EXPECT_EQ(input.ReadLine(std::chrono::milliseconds(10), on_idle),
            std::nullopt);
  EXPECT_EQ(idle, 4);
  ::close(ends[0]);
}

TEST(StandbyInputTest, ALineWithoutEndIsNoLine) {
  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
  std::thread writer([fd = ends[1]] {
    const std::string block(4096, 'x');
    for (size_t sent = 0; sent <= kStandbyLineLimit + block.size();
         sent += block.size()) {
      if (::send(fd, block.data(), block.size(), MSG_NOSIGNAL) <= 0) break;
    }
    ::close(fd);
  });
  StandbyInput input(ends[0]);
  EXPECT_EQ(input.ReadLine(std::chrono::milliseconds(1000), [] {}),
            std::nullopt);
  ::close(ends[0]);
  writer.join();
}

}  // namespace
}  // namespace vantor
