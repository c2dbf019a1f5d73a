// C-GET and C-MOVE from the running service, with DCMTK's getscu, movescu
// and a storescp destination, on a fixture archive and on the demo archive.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/base/database.h"
#include "tests/support/fixture_archive.h"
#include "tests/support/processes.h"
#include "tests/support/service_process.h"
#include "tests/support/store_destination.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_env.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

constexpr int kMatrix = 64;
constexpr size_t kPixelBytes = kMatrix * kMatrix * 2;
constexpr char kStudy[] = "1.2.826.0.1.3680043.9.7.1";
constexpr char kSeriesA[] = "1.2.826.0.1.3680043.9.7.1.1";
constexpr char kSeriesB[] = "1.2.826.0.1.3680043.9.7.1.2";

// The last bytes of a file: the pixel data of an uncompressed image.
std::string PixelTail(const std::string& path) {
  std::string text = ReadWholeFile(path);
  return text.size() < kPixelBytes ? ""
                                   : text.substr(text.size() - kPixelBytes);
}

// A field of the last C-MOVE response movescu -d printed ("DIMSE Status"
// gives the status as "0x0000"); "" when there is none.
std::string LastResponse(const ToolResult& move, const std::string& field) {
  size_t at = move.output.rfind("D: " + field);
  if (at == std::string::npos) return "";
  size_t colon = move.output.find(": ", at + 3 + field.size());
  size_t end = move.output.find('\n', colon);
  std::string value = move.output.substr(colon + 2, end - colon - 2);
  return field == "DIMSE Status" ? value.substr(0, 6) : value;
}
std::string FinalStatus(const ToolResult& move) {
  return LastResponse(move, "DIMSE Status");
}

// Senders with a job, zombies included (the one waiting for its job is
// named vantor-standby).
int SendersOf(pid_t pid) {
  return static_cast<int>(ChildrenNamed(pid, "vantor-send", true).size());
}

// The fixture archive: one study of two series (3 and 2 images of 64 x 64
// 16-bit pixels), its files in the archive folder, and the nodes; on SQLite
// and on PostgreSQL.
class RetrieveTest : public ::testing::TestWithParam<ArchiveBackend> {
 protected:
  void SetUp() override {
    VANTOR_SKIP_UNLESS_READY(archive_);
    ASSERT_TRUE(fs::exists(std::string(VANTOR_BUILD_DIR) + "/vantor-send"));
    source_ = archive_.dir() + "/archive/ST1";
    fs::create_directories(source_);
    FixtureArchive::Location where;
    where.archive_path = archive_.dir() + "/archive";
    FixtureArchive::Patient patient;
    patient.patient_id = "RT1";
    patient.last_name = "Retrieve";
    FixtureArchive::Study study;
    study.study_uid = kStudy;
    study.archive_id = archive_.AddLocation(where);
    study.directory = "ST1";
    const int64_t st = archive_.AddStudy(archive_.AddPatient(patient), study);
    AddSeries(st, kSeriesA, 3);
    AddSeries(st, kSeriesB, 2);
    archive_.AddNode("GETSCU", "127.0.0.1");
    archive_.AddNode("MOVESCU", "127.0.0.1");
  }

  void AddSeries(int64_t study, const std::string& uid, int count) {
    FixtureArchive::Series series;
    series.series_uid = uid;
    const int64_t se = archive_.AddSeries(study, series);
    for (int i = 1; i <= count; ++i) {
      FixtureArchive::Image image;
      image.image_uid = uid + "." + std::to_string(i);
      image.image_nr = i;
      archive_.AddImage(se, image);
    }
    ToolResult made = RunDcmtkTool(
        std::string(VANTOR_BUILD_DIR) + "/make-study",
        {"--dir", source_, "--study-uid", kStudy, "--series-uid", uid,
         "--count", std::to_string(count), "--rows", std::to_string(kMatrix),
         "--cols", std::to_string(kMatrix), "--patient-id", "RT1",
         "--patient-name", "Retrieve"});
    ASSERT_EQ(made.exit_code, 0) << made.output;
  }

  void Start() {
    ServiceProcess::Options options;
    options.db_server = archive_.DBServer();
    ASSERT_TRUE(service_.Start(options)) << service_.Describe();
  }

  ToolResult Get(const std::string& aet, const std::vector<std::string>& keys,
                 const std::string& out_dir) {
    std::vector<std::string> args = {"-v", "-S", "-aet", aet, "-od", out_dir};
    for (const std::string& k : keys) {
      args.push_back("-k");
      args.push_back(k);
    }
    args.push_back("127.0.0.1");
    args.push_back(service_.port_text());
    return RunDcmtkTool("getscu", args);
  }

  ToolResult Move(const std::string& destination,
                  const std::vector<std::string>& keys) {
    // Debug output shows the responses' sub-operation counts.
    std::vector<std::string> args = {"-d",      "-S",   "-aet",
                                     "MOVESCU", "-aem", destination};
    for (const std::string& k : keys) {
      args.push_back("-k");
      args.push_back(k);
    }
    args.push_back("127.0.0.1");
    args.push_back(service_.port_text());
    return RunDcmtkTool("movescu", args);
  }

  std::string TempFolder() const {
    return service_.program_dir() + "/drives/c/Temp";
  }

  // Waits for the return file of job `n` and for the sender's end.
  std::string WaitForReturn(int n) {
    const std::string path = TempFolder() + "/Return" + service_.port_text() +
                             "_" + std::to_string(n);
    for (int i = 0; i < 600 && !fs::exists(path); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    for (int i = 0; i < 200 && SendersOf(service_.pid()) > 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    EXPECT_EQ(SendersOf(service_.pid()), 0) << "a sender did not end";
    return ReadWholeFile(path);
  }

  // The received files carry the same pixel data as the archive's.
  void ExpectSamePixels(const std::string& dir,
                        const std::vector<std::string>& uids) {
    for (const std::string& uid : uids) {
      SCOPED_TRACE(uid);
      std::string got = PixelTail(dir + "/CT." + uid);
      EXPECT_EQ(got.size(), kPixelBytes);
      EXPECT_TRUE(got == PixelTail(source_ + "/" + uid + ".dcm"));
    }
  }

  FixtureArchive archive_{GetParam()};
  ServiceProcess service_;
  std::string source_;
};

INSTANTIATE_TEST_SUITE_P(Archive, RetrieveTest, kArchiveBackends,
                         ArchiveBackendName);

TEST_P(RetrieveTest, GetOfAStudyASeriesAndAnImage) {
  Start();
  const std::string out = archive_.dir() + "/got";
  for (const char* level : {"study", "series", "image"})
    fs::create_directories(out + "/" + level);
  const std::string a = kSeriesA, b = kSeriesB;

  ToolResult study = Get(
      "GETSCU",
      {"QueryRetrieveLevel=STUDY", std::string("StudyInstanceUID=") + kStudy},
      out + "/study");
  EXPECT_EQ(study.exit_code, 0) << study.output;
  EXPECT_THAT(study.output, HasSubstr("Received C-GET Response (Success)"))
      << study.output << service_.Describe();
  EXPECT_EQ(FilesIn(out + "/study").size(), 5u);
  ExpectSamePixels(out + "/study",
                   {a + ".1", a + ".2", a + ".3", b + ".1", b + ".2"});

  ToolResult series =
      Get("GETSCU",
          {"QueryRetrieveLevel=SERIES",
           std::string("StudyInstanceUID=") + kStudy, "SeriesInstanceUID=" + b},
          out + "/series");
  EXPECT_THAT(series.output, HasSubstr("Received C-GET Response (Success)"))
      << series.output;
  EXPECT_EQ(FilesIn(out + "/series"),
            (std::vector<std::string>{"CT." + b + ".1", "CT." + b + ".2"}));

  ToolResult image = Get(
      "GETSCU",
      {"QueryRetrieveLevel=IMAGE", std::string("StudyInstanceUID=") + kStudy,
       "SeriesInstanceUID=" + a, "SOPInstanceUID=" + a + ".2"},
      out + "/image");
  EXPECT_THAT(image.output, HasSubstr("Received C-GET Response (Success)"))
      << image.output;
  EXPECT_EQ(FilesIn(out + "/image"),
            (std::vector<std::string>{"CT." + a + ".2"}));
  ExpectSamePixels(out + "/image", {a + ".2"});

  EXPECT_THAT(service_.DebugLog(),
              HasSubstr("\tC-GET: 5 images sent to GETSCU\\127.0.0.1\t"
                        "QueryRequest\r\n"));
}

TEST_P(RetrieveTest, GetWithAMissingFileReportsTheFailedSubOperation) {
  fs::remove(source_ + "/" + std::string(kSeriesB) + ".2.dcm");
  Start();
  const std::string out = archive_.dir() + "/got";
  fs::create_directories(out);
  ToolResult get = Get(
      "GETSCU",
      {"QueryRetrieveLevel=STUDY", std::string("StudyInstanceUID=") + kStudy},
      out);
  EXPECT_EQ(FilesIn(out).size(), 4u) << get.output;
  EXPECT_THAT(get.output, HasSubstr("Received C-GET Response (Warning: "
                                    "SubOperationsCompleteOneOrMoreFailures)"))
      << get.output;
  EXPECT_THAT(get.output, HasSubstr("Number of Failed Suboperations    : 1"))
      << get.output;
}

// A file that is no DICOM file (its header cannot be read) is one failed
// sub-operation, of a C-GET and of a C-MOVE alike; the other images still go
// out, from the disk as they are stored.
TEST_P(RetrieveTest, AnUnreadableFileFailsAloneInAGetAndInAMove) {
  const std::string a = kSeriesA, b = kSeriesB;
  {
    std::ofstream garbage(source_ + "/" + a + ".2.dcm",
                          std::ios::binary | std::ios::trunc);
    garbage << std::string(300, 'x');
  }
  StoreDestination destination("DEST");
  ASSERT_TRUE(destination.listening());
  archive_.AddNode("DEST", "127.0.0.1", false, false, false,
                   destination.port());
  Start();
  const std::string out = archive_.dir() + "/got";
  fs::create_directories(out);
  ToolResult get = Get(
      "GETSCU",
      {"QueryRetrieveLevel=STUDY", std::string("StudyInstanceUID=") + kStudy},
      out);
  EXPECT_THAT(get.output, HasSubstr("Number of Completed Suboperations : 4"))
      << get.output;
  EXPECT_THAT(get.output, HasSubstr("Number of Failed Suboperations    : 1"))
      << get.output;
  ExpectSamePixels(out, {a + ".1", a + ".3", b + ".1", b + ".2"});

  ToolResult move = Move("DEST", {"QueryRetrieveLevel=STUDY",
                                  std::string("StudyInstanceUID=") + kStudy});
  EXPECT_EQ(FinalStatus(move), "0xb000") << move.output << service_.Describe();
  EXPECT_EQ(LastResponse(move, "Completed Suboperations"), "4") << move.output;
  EXPECT_EQ(LastResponse(move, "Failed Suboperations"), "1") << move.output;
  EXPECT_EQ(WaitForReturn(0), "Completed=4\r\nFailed=1\r\nWarning=0\r\n");
  ASSERT_TRUE(destination.WaitForFiles(4));
  ExpectSamePixels(destination.received(),
                   {a + ".1", a + ".3", b + ".1", b + ".2"});
  EXPECT_THAT(service_.ReadLog("SendVantor" + service_.port_text() + ".log"),
              HasSubstr("Not sent: " + source_ + "/" + a + ".2.dcm"));
}

TEST_P(RetrieveTest, GetFromACallerNotInTheNodeTableIsRefused) {
  Start();
  const std::string out = archive_.dir() + "/got";
  fs::create_directories(out);
  // The node lookup trims the title; the C-GET check takes it as sent.
  ToolResult get = Get(
      " GETSCU",
      {"QueryRetrieveLevel=STUDY", std::string("StudyInstanceUID=") + kStudy},
      out);
  // DCMTK names the A9xx statuses so.
  EXPECT_THAT(get.output,
              HasSubstr("C-GET Response (Error: DataSetDoesNotMatchSOPClass)"))
      << get.output;
  EXPECT_TRUE(FilesIn(out).empty());
  EXPECT_THAT(service_.ErrorLog(),
              HasSubstr("\t0\t GETSCU Unknown move destination\tQueryRequest"));
}

TEST_P(RetrieveTest, MoveDeliversTheImagesToTheDestination) {
  StoreDestination destination("DEST");
  ASSERT_TRUE(destination.listening());
  archive_.AddNode("DEST", "127.0.0.1", false, false, false,
                   destination.port());
  Start();
  const std::string a = kSeriesA, b = kSeriesB;

  ToolResult move = Move("DEST", {"QueryRetrieveLevel=STUDY",
                                  std::string("StudyInstanceUID=") + kStudy});
  EXPECT_EQ(move.exit_code, 0) << move.output;
  EXPECT_EQ(FinalStatus(move), "0x0000") << move.output << service_.Describe();
  // The answer follows the delivery and says what was delivered.
  EXPECT_EQ(LastResponse(move, "Completed Suboperations"), "5") << move.output;
  EXPECT_EQ(FilesIn(destination.received()).size(), 5u);
  EXPECT_EQ(WaitForReturn(0), "Completed=5\r\nFailed=0\r\nWarning=0\r\n");
  ASSERT_TRUE(destination.WaitForFiles(5));
  ExpectSamePixels(destination.received(),
                   {a + ".1", a + ".2", a + ".3", b + ".1", b + ".2"});
  EXPECT_FALSE(
      fs::exists(TempFolder() + "/Send" + service_.port_text() + "_0"));
  EXPECT_THAT(service_.DebugLog(),
              HasSubstr("\tC-Move: Images-send delegated to send.exe for "
                        "sending to DEST\tQueryRequest\r\n"));

  // One image of a series: only that one travels.
  ToolResult one =
      Move("DEST", {"QueryRetrieveLevel=IMAGE",
                    std::string("StudyInstanceUID=") + kStudy,
                    "SeriesInstanceUID=" + b, "SOPInstanceUID=" + b + ".1"});
  EXPECT_EQ(FinalStatus(one), "0x0000") << one.output;
  EXPECT_EQ(WaitForReturn(0), "Completed=1\r\nFailed=0\r\nWarning=0\r\n");
  EXPECT_THAT(service_.ReadLog("SendVantor" + service_.port_text() + ".log"),
              HasSubstr("1 images to send to DEST"));
}

TEST_P(RetrieveTest, MoveToAnUnknownDestinationIsRefused) {
  Start();
  ToolResult move = Move(
      "NOWHERE",
      {"QueryRetrieveLevel=STUDY", std::string("StudyInstanceUID=") + kStudy});
  EXPECT_THAT(move.output, HasSubstr("MoveDestinationUnknown")) << move.output;
  EXPECT_THAT(service_.ErrorLog(),
              HasSubstr("\t0\tNOWHERE Unknown move destination\tQueryRequest"));
  EXPECT_TRUE(FilesIn(TempFolder()).empty());
}

TEST_P(RetrieveTest, MoveWhoseSenderCannotStartIsNotASuccess) {
  archive_.AddNode("DEST", "127.0.0.1", false, false, false,
                   FreeLoopbackPort());
  Start();
  fs::remove(service_.program_dir() + "/vantor-send");
  // The sender started ahead goes too, so the job needs a new one.
  std::vector<pid_t> waiting;
  for (int i = 0; i < 200 && waiting.empty(); ++i) {
    waiting = ChildrenNamed(service_.pid(), "vantor-standby", false);
    if (waiting.empty())
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  ASSERT_EQ(waiting.size(), 1u) << "no sender waits for the C-MOVE";
  ::kill(waiting[0], SIGKILL);
  ToolResult move = Move("DEST", {"QueryRetrieveLevel=STUDY",
                                  std::string("StudyInstanceUID=") + kStudy});
  EXPECT_EQ(FinalStatus(move), "0xc000") << move.output;
  EXPECT_THAT(service_.ErrorLog(), HasSubstr("\tImagePrepareForSend\r\n"));
}

TEST_P(RetrieveTest, MoveToADestinationThatDoesNotAnswerReportsTheFailures) {
  archive_.AddNode("DEST", "127.0.0.1", false, false, false,
                   FreeLoopbackPort());
  Start();
  ToolResult move =
      Move("DEST", {"QueryRetrieveLevel=SERIES",
                    std::string("StudyInstanceUID=") + kStudy,
                    std::string("SeriesInstanceUID=") + kSeriesA});
  // Nothing could be delivered: the requester is told so, with the counts
  // and the reason.
  EXPECT_EQ(FinalStatus(move), "0xa702") << move.output;
  EXPECT_EQ(LastResponse(move, "Failed Suboperations"), "3");
  EXPECT_THAT(move.output, HasSubstr("ErrorComment")) << move.output;
  EXPECT_THAT(WaitForReturn(0),
              StartsWith("Completed=0\r\nFailed=3\r\nWarning=0\r\nError="));
}

TEST_P(RetrieveTest, MoveFailsWhileTheArchiveIsBrokenAndWorksOnceItIsBack) {
  StoreDestination destination("DEST");
  ASSERT_TRUE(destination.listening());
  archive_.AddNode("DEST", "127.0.0.1", false, false, false,
                   destination.port());
  Start();
  const std::vector<std::string> study = {
      "QueryRetrieveLevel=STUDY", std::string("StudyInstanceUID=") + kStudy};

  // The views gone: the sender's selection fails, and says why.
  archive_.Exec("DROP VIEW VIEW_Series");
  archive_.Exec("DROP VIEW view_images");
  ToolResult move = Move("DEST", study);
  EXPECT_EQ(FinalStatus(move), "0xc000") << move.output;
  EXPECT_THAT(move.output, HasSubstr("ErrorComment")) << move.output;

  // No database, or (SQLite) a file that is not one: the node lookup fails.
  archive_.TakeAway();
  move = Move("DEST", study);
  EXPECT_EQ(FinalStatus(move), "0xc000") << move.output;
  if (GetParam() == ArchiveBackend::kSqlite) {
    std::ofstream(archive_.db_path(), std::ios::trunc)
        << std::string(4096, 'x');
    move = Move("DEST", study);
    EXPECT_EQ(FinalStatus(move), "0xc000") << move.output;
  }
  EXPECT_TRUE(FilesIn(destination.received()).empty());

  // Back in place: the next request works without a restart.
  archive_.PutBack();
  archive_.RestoreViews();
  move = Move("DEST", study);
  EXPECT_EQ(FinalStatus(move), "0x0000") << move.output;
  EXPECT_EQ(LastResponse(move, "Completed Suboperations"), "5");
}

TEST_P(RetrieveTest, MoveToTheRequestersOwnStorageReceivesEveryImage) {
  // A requester that takes the images itself closes its receiver on the
  // final response: they must all have arrived by then.
  const int port = FreeLoopbackPort();
  archive_.AddNode("MOVEOWN", "127.0.0.1", false, false, false, port);
  Start();
  const std::string out = archive_.dir() + "/own";
  fs::create_directories(out);
  ToolResult move =
      RunDcmtkTool("movescu", {"-d", "-S", "-aet", "MOVEOWN", "-aem", "MOVEOWN",
                               "--port", std::to_string(port), "-od", out, "-k",
                               "QueryRetrieveLevel=STUDY", "-k",
                               std::string("StudyInstanceUID=") + kStudy,
                               "127.0.0.1", service_.port_text()});
  EXPECT_EQ(FinalStatus(move), "0x0000") << move.output;
  EXPECT_EQ(FilesIn(out).size(), 5u) << move.output;
}

// Stand-in senders: shell scripts in place of vantor-send that behave as a
// slow, a silent or a site's own sender would. They do not read the
// archive: SQLite only.
class StandInSenderTest : public RetrieveTest {
 protected:
  void StartWithSender(const std::string& body) {
    archive_.AddNode("DEST", "127.0.0.1", false, false, false,
                     FreeLoopbackPort());
    Start();
    const std::string sender = service_.program_dir() + "/vantor-send";
    fs::remove(sender);
    // $ret is the job's return file; the script says who it is in the job's
    // .pid file (so that the test can stop one that outlives the service).
    std::ofstream(sender)
        << "#!/bin/sh\n"
           "job=\"$1\"; dir=$(dirname \"$job\"); base=$(basename \"$job\")\n"
           "ret=\"$dir/Return${base#Send}\"\n"
           "echo $$ > \"$job.pid\"\n"
           "report() { printf \"$1\" > \"$ret.part\"; mv \"$ret.part\" "
           "\"$ret\"; }\n"
        << body;
    fs::permissions(sender, fs::perms::owner_all);
  }
  void TearDown() override {
    // A stand-in that outlived the service is stopped with the test.
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(TempFolder(), ec)) {
      if (e.path().extension() != ".pid") continue;
      pid_t pid = std::atoi(ReadWholeFile(e.path().string()).c_str());
      if (pid > 1) ::kill(pid, SIGKILL);
    }
  }
  ToolResult MoveStudy(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"-d",      "-S",   "-aet",
                                     "MOVESCU", "-aem", "DEST"};
    args.insert(args.end(), extra.begin(), extra.end());
    for (std::string k : {std::string("QueryRetrieveLevel=STUDY"),
                          std::string("StudyInstanceUID=") + kStudy}) {
      args.push_back("-k");
      args.push_back(k);
    }
    args.push_back("127.0.0.1");
    args.push_back(service_.port_text());
    return RunDcmtkTool("movescu", args);
  }
  std::string ReturnPath() const {
    return TempFolder() + "/Return" + service_.port_text() + "_0";
  }
};

INSTANTIATE_TEST_SUITE_P(Archive, StandInSenderTest,
                         ::testing::Values(ArchiveBackend::kSqlite),
                         ArchiveBackendName);

TEST_P(StandInSenderTest, ProgressIsPendingAndACancelStopsTheSender) {
  StartWithSender(
      "trap 'report \"Completed=1\\r\\nFailed=0\\r\\nWarning=0\\r\\n"
      "Error=Cancelled\\r\\n\"; exit 1' TERM\n"
      "report \"Completed=1\\r\\nFailed=0\\r\\nWarning=0\\r\\n"
      "Remaining=4\\r\\n\"\n"
      "i=0; while [ $i -lt 300 ]; do sleep 0.1; i=$((i+1)); done\n");
  const auto started = std::chrono::steady_clock::now();
  ToolResult move = MoveStudy({"--cancel", "1"});
  EXPECT_LT(std::chrono::steady_clock::now() - started,
            std::chrono::seconds(20));
  // One pending response with the counts so far, then the cancel answer.
  EXPECT_THAT(move.output, HasSubstr("Remaining Suboperations       : 4"))
      << move.output;
  EXPECT_EQ(FinalStatus(move), "0xfe00") << move.output;
  EXPECT_EQ(LastResponse(move, "Completed Suboperations"), "1");
  // The sender was stopped and had its say.
  EXPECT_THAT(ReadWholeFile(ReturnPath()), HasSubstr("Error=Cancelled"));
}

TEST_P(StandInSenderTest, ASenderThatWritesNoReturnFileIsTakenAtItsWord) {
  StartWithSender("exit 0\n");
  ToolResult move = MoveStudy();
  EXPECT_EQ(FinalStatus(move), "0x0000") << move.output;
}

TEST_P(StandInSenderTest, AFailedJobIsAFailureWithTheSendersReason) {
  StartWithSender(
      "report \"Completed=0\\r\\nFailed=0\\r\\nWarning=0\\r\\n"
      "Error=no such table: VIEW_Series\\r\\n\"\n");
  ToolResult move = MoveStudy();
  EXPECT_EQ(FinalStatus(move), "0xc000") << move.output;
  EXPECT_THAT(move.output, HasSubstr("no such table: VIEW_Series"));
}

TEST_P(StandInSenderTest, AStoppingServiceAnswersTheWaitingMove) {
  StartWithSender(
      "report \"Completed=2\\r\\nFailed=0\\r\\nWarning=0\\r\\n"
      "Remaining=3\\r\\n\"\n"
      "i=0; while [ $i -lt 300 ]; do sleep 0.1; i=$((i+1)); done\n");
  std::thread mover;
  ToolResult move;
  mover = std::thread([&] { move = MoveStudy(); });
  for (int i = 0; i < 400 && !fs::exists(ReturnPath()); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  const auto stopping = std::chrono::steady_clock::now();
  EXPECT_EQ(service_.Stop(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - stopping,
            std::chrono::seconds(10));
  mover.join();
  // Not a success: nobody knows yet whether the rest arrives.
  EXPECT_EQ(FinalStatus(move), "0xc000") << move.output;
  EXPECT_EQ(LastResponse(move, "Completed Suboperations"), "2");
}

TEST_P(RetrieveTest, CompressedFilesAreDecompressedForUncompressedPeers) {
  // The series B files, stored JPEG lossless; an uncompressed copy of the
  // same pixels to compare with.
  const std::string plain = archive_.dir() + "/plain";
  fs::create_directories(plain);
  for (const auto& [dir, syntax] :
       {std::pair{source_, "jpeg-ll"}, std::pair{plain, "explicit"}}) {
    ToolResult made = RunDcmtkTool(
        std::string(VANTOR_BUILD_DIR) + "/make-study",
        {"--dir", dir, "--study-uid", kStudy, "--series-uid", kSeriesB,
         "--count", "2", "--rows", std::to_string(kMatrix), "--cols",
         std::to_string(kMatrix), "--syntax", syntax});
    ASSERT_EQ(made.exit_code, 0) << made.output;
  }
  StoreDestination destination("DEST");
  archive_.AddNode("DEST", "127.0.0.1", false, false, false,
                   destination.port());
  Start();
  const std::string b = kSeriesB;
  const std::vector<std::string> keys = {
      "QueryRetrieveLevel=SERIES", std::string("StudyInstanceUID=") + kStudy,
      "SeriesInstanceUID=" + b};
  const std::string out = archive_.dir() + "/got";
  fs::create_directories(out);
  ToolResult get = Get("GETSCU", keys, out);
  EXPECT_THAT(get.output, HasSubstr("Received C-GET Response (Success)"))
      << get.output << service_.Describe();
  ToolResult move = Move("DEST", keys);
  EXPECT_EQ(FinalStatus(move), "0x0000") << move.output;
  EXPECT_EQ(WaitForReturn(0), "Completed=2\r\nFailed=0\r\nWarning=0\r\n");
  ASSERT_TRUE(destination.WaitForFiles(2));
  for (const std::string& dir : {out, destination.received()}) {
    for (const std::string& uid : {b + ".1", b + ".2"}) {
      SCOPED_TRACE(dir + " " + uid);
      std::string got = PixelTail(dir + "/CT." + uid);
      EXPECT_EQ(got.size(), kPixelBytes);
      EXPECT_TRUE(got == PixelTail(plain + "/" + uid + ".dcm"));
    }
  }
}

// The demo archive as the quick start writes it, with its own node table.
TEST(DemoRetrieveTest, GetAndMoveFromTheDemoArchive) {
  TempFolder folder("retrieve-demo");
  const std::string& dir = folder.path();
  ToolResult demo = RunDcmtkTool(
      std::string(VANTOR_BUILD_DIR) + "/vantor-demo",
      {"--schema", std::string(VANTOR_SOURCE_DIR) + "/archive/schema.sql",
       dir});
  ASSERT_EQ(demo.exit_code, 0) << demo.output;
  StoreDestination destination("STORESCP");
  std::string study;
  {
    Database db;
    db.Open(ConnectionText("sqlite:" + dir + "/archive.db"));
    db.Execute("UPDATE tblDicomAETs SET IPPort = " +
               std::to_string(destination.port()) + " WHERE AET = 'STORESCP'");
    study = db.Query(
                  "SELECT StudyUID FROM tblStudies WHERE FKeyStatusID "
                  "IS NULL OR FKeyStatusID > -1 ORDER BY StudyID")
                .Get(0, "StudyUID")
                .ToText();
  }
  {
    ServiceProcess service;
    ServiceProcess::Options options;
    options.db_server = "sqlite:" + dir + "/archive.db";
    options.instance_values = {{"DateFormat", "YYYY-MM-DD"}};
    ASSERT_TRUE(service.Start(options)) << service.Describe();
    const std::string out = dir + "/got";
    fs::create_directories(out);
    ToolResult get = RunDcmtkTool(
        "getscu",
        {"-S", "-aet", "GETSCU", "-od", out, "-k", "QueryRetrieveLevel=STUDY",
         "-k", "StudyInstanceUID=" + study, "127.0.0.1", service.port_text()});
    EXPECT_EQ(get.exit_code, 0) << get.output;
    const size_t got = FilesIn(out).size();
    EXPECT_GT(got, 0u) << get.output << service.Describe();

    ToolResult move =
        RunDcmtkTool("movescu", {"-S", "-aet", "MOVESCU", "-aem", "STORESCP",
                                 "-k", "QueryRetrieveLevel=STUDY", "-k",
                                 "StudyInstanceUID=" + study, "127.0.0.1",
                                 service.port_text()});
    EXPECT_EQ(move.exit_code, 0) << move.output;
    EXPECT_TRUE(destination.WaitForFiles(got)) << service.Describe();
    EXPECT_EQ(FilesIn(destination.received()).size(), got);
    for (int i = 0; i < 200 && SendersOf(service.pid()) > 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
}

}  // namespace
}  // namespace vantor
