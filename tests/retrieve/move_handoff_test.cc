#include "retrieve/move_handoff.h"

#include <dirent.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "host/base/failure.h"
#include "host/base/paths.h"
#include "tests/query/query_test_util.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_env.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;
using ::testing::EndsWith;
using ::testing::HasSubstr;

constexpr char kSeries[] =
    "SELECT DISTINCT ArchivePath, ArchiveUNC, MirrorPath, MirrorUNC, "
    "StudyDirectory1 FROM VIEW_Series WHERE ";
constexpr char kImages[] = "SELECT * FROM view_images WHERE ";
constexpr char kStatus[] = " AND (FKeyStatusID > -1 Or FKeyStatusID Is Null)";

std::string Statement(std::initializer_list<Key> keys, bool siemens = false,
                      bool internal_id = false,
                      const char* date_format = "YYYYMMDD") {
  return MoveStatement(Identifier(keys), siemens, internal_id, date_format);
}

TEST(MoveStatementTest, SopInstanceEndsInTheImageNumberOrder) {
  std::string sql = Statement({{0x0020, 0x000D, Value("1.2")},
                               {0x0020, 0x000E, Value("1.2.3")},
                               {0x0008, 0x0018, Value("1.2.3.4")}});
  EXPECT_EQ(sql, std::string(kImages) +
                     " StudyUID = '1.2' AND SeriesUID = '1.2.3' AND ImageUID "
                     "= '1.2.3.4' " +
                     kStatus + ", ImageNr");
  EXPECT_THAT(sql, EndsWith(" AND (FKeyStatusID > -1 Or FKeyStatusID Is "
                            "Null), ImageNr"));
}

TEST(MoveStatementTest, StudyOnlyHasNoDefaultNameCondition) {
  EXPECT_EQ(Statement({{0x0008, 0x0052, Value("STUDY")},
                       {0x0020, 0x000D, Value("1.2.840.1")}}),
            std::string(kSeries) + " StudyUID = '1.2.840.1'" + kStatus);
}

TEST(MoveStatementTest, StudyDateJoinsTheImageWithAnd) {
  EXPECT_EQ(
      Statement(
          {{0x0008, 0x0020, Value("20240115")}, {0x0008, 0x0018, Value("1.9")}},
          false, false, "YYYY-MM-DD"),
      std::string(kImages) + " Studydate = '2024-01-15' AND ImageUID = '1.9' " +
          kStatus + ", ImageNr");
  // A range is not interpreted.
  EXPECT_EQ(
      Statement({{0x0008, 0x0020, Value("20240101-20240131")}}),
      std::string(kSeries) + " Studydate = '20240101-20240131'" + kStatus);
}

TEST(MoveStatementTest, PatientKeys) {
  EXPECT_EQ(Statement({{kPatient, kId, Value("P1")},
                       {kPatient, kName, Value("Meyer^Anna")},
                       {kPatient, kBirth, Value("19700501")}}),
            std::string(kSeries) +
                "PATID1 = 'P1' AND PATNachname = 'Meyer' AND PATVorname = "
                "'Anna' AND PATGebDatum = '19700501'" +
                kStatus);
  // LIKE ends in "' " after an earlier condition, in "'" as the first one.
  EXPECT_EQ(Statement({{kPatient, kName, Value("Mey*")}}),
            std::string(kSeries) + " PATNachname LIKE 'Mey%'" + kStatus);
  EXPECT_EQ(Statement({{kPatient, kId, Value("P1")},
                       {kPatient, kName, Value("Mey?r")}}),
            std::string(kSeries) +
                "PATID1 = 'P1' AND PATNachname LIKE 'Mey_r' " + kStatus);
  EXPECT_EQ(Statement({{kPatient, kName, Value("Meyer, Anna")}}, true),
            std::string(kSeries) + " PATNachname LIKE 'Meyer%'" + kStatus);
  EXPECT_EQ(Statement({{kPatient, kName, Value("D'Arc^Jeanne")}}),
            std::string(kSeries) +
                " PATNachname = 'D\xC2\xB4"
                "Arc' AND PATVorname = 'Jeanne'" +
                kStatus);
  EXPECT_EQ(Statement({{kPatient, kId, Value("007")}}, false, true),
            std::string(kSeries) + "PATID = 7" + kStatus);
  EXPECT_THROW(Statement({{kPatient, kId, Value("7; DROP")}}, false, true),
               Failure);
  EXPECT_EQ(Statement({{kPatient, kId, Value("O'1")},
                       {0x0020, 0x000E, Value("1'2")}}),
            std::string(kSeries) + "PATID1 = 'O''1' AND SeriesUID = '1''2'" +
                kStatus);
}

TEST(SendJobTest, NineLinesWithCrLf) {
  SendJob job;
  job.db_server = "sqlite:/a/archive.db";
  job.statement = "SELECT 1";
  job.work_directory = "E:\\Temp\\Unzip\\104\\";
  job.return_file = "C:\\Temp\\Return104_0";
  job.calling_aet = "KELMORA";
  job.address = "10.0.0.9";
  job.port = 11112;
  job.called_aet = "VIEWER";
  EXPECT_EQ(FormatSendJob(job),
            "sqlite:/a/archive.db\r\nSELECT 1\r\nE:\\Temp\\Unzip\\104\\\r\n0"
            "\r\nC:\\Temp\\Return104_0\r\nKELMORA\r\n10.0.0.9\r\n11112\r\n"
            "VIEWER\r\n");
  job.internal_id = true;
  std::string text = FormatSendJob(job);
  EXPECT_THAT(text, HasSubstr("\\104\\\r\n-1\r\nC:"));

  std::optional<SendJob> back = ParseSendJob(text);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(FormatSendJob(*back), text);
  EXPECT_FALSE(ParseSendJob("a\r\nb\r\n").has_value());
  std::string bad_port = text;
  bad_port.replace(bad_port.find("11112"), 5, "x");
  EXPECT_FALSE(ParseSendJob(bad_port).has_value());
  EXPECT_FALSE(ParseSendJob(text + "extra\r\n").has_value());
}

TEST(SendJobTest, TheSenderRunsTheJobsConditionsOnTheImages) {
  std::optional<JobImageSelection> s =
      JobImageStatement(std::string(kSeries) + " StudyUID = '1'" + kStatus);
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(s->sql, std::string(kImages) + " StudyUID = '1'" + kStatus);
  EXPECT_FALSE(s->order_by_image_nr);

  s = JobImageStatement(std::string(kImages) + " ImageUID = '9' " + kStatus +
                        ", ImageNr");
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(s->sql, std::string(kImages) + " ImageUID = '9' " + kStatus);
  EXPECT_TRUE(s->order_by_image_nr);

  // Nothing but what the service writes.
  EXPECT_FALSE(JobImageStatement("DELETE FROM tblImages").has_value());
  EXPECT_FALSE(
      JobImageStatement(std::string(kImages) + " ImageUID = '9'").has_value());
  EXPECT_FALSE(JobImageStatement(std::string(kSeries) + kStatus).has_value());
  EXPECT_FALSE(JobImageStatement(std::string(kImages) + "1=1" + kStatus +
                                 "; DROP TABLE tblImages")
                   .has_value());
}

// A temp folder for job files.
class JobFolderTest : public ::testing::Test {
 protected:
  TempFolder folder_{"jobs"};
  const std::string dir_ = folder_.path();
};

TEST_F(JobFolderTest, NumbersFromZeroPastFilesStillThere) {
  auto text = [](int32_t n) { return "job " + std::to_string(n); };
  EXPECT_EQ(CreateJobFile(dir_, 104, text), 0);
  EXPECT_EQ(CreateJobFile(dir_, 104, text), 1);
  EXPECT_EQ(ReadWholeFile(dir_ + "/Send104_1"), "job 1");
  fs::remove(dir_ + "/Send104_0");
  EXPECT_EQ(CreateJobFile(dir_, 104, text), 0);
  EXPECT_EQ(CreateJobFile(dir_, 105, text), 0);
  EXPECT_THROW(CreateJobFile(dir_ + "/missing", 104, text), Failure);
}

TEST_F(JobFolderTest, HandOffsAtTheSameTimeNeverShareANumber) {
  constexpr int kThreads = 4, kEach = 25;
  std::vector<std::vector<int32_t>> taken(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i)
        taken[t].push_back(CreateJobFile(
            dir_, 104, [t](int32_t) { return std::to_string(t); }));
    });
  }
  for (std::thread& th : threads) th.join();
  std::set<int32_t> all;
  for (int t = 0; t < kThreads; ++t) {
    for (int32_t n : taken[t]) {
      EXPECT_TRUE(all.insert(n).second) << n;
      EXPECT_EQ(ReadWholeFile(dir_ + "/Send104_" + std::to_string(n)),
                std::to_string(t));
    }
  }
  EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kEach));
  EXPECT_EQ(*all.rbegin(), kThreads * kEach - 1);
}

// The hand-off as a whole, with a stand-in sender that records its command
// line. Drives C: and E: live in the test's program directory.
class HandOffTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = TestProgramDir();
    fs::create_directories(dir_ + "/drives/c");
    fs::create_directories(dir_ + "/drives/e/Temp/Unzip");
    settings_.Change([](Config& c) {
      c.DCM = 104;
      c.Debug = true;
      c.Unzip = "E:\\Temp\\Unzip\\";
      c.DBServer = "sqlite:E:\\db\\archive.db";
      c.OwnAET = "KELMORA";
      c.DateFormat = "YYYY-MM-DD";
    });
    std::ofstream(dir_ + "/vantor-send")
        << "#!/bin/sh\nprintf '%s|' \"$@\" > \"$0.args.$$.tmp\"\n"
           "mv \"$0.args.$$.tmp\" \"$0.args.$$\"\n";
    fs::permissions(dir_ + "/vantor-send", fs::perms::owner_all);
  }
  void TearDown() override {
    fs::remove_all(dir_ + "/drives");
    fs::remove(dir_ + "/vantor-send");
    for (const auto& e : fs::directory_iterator(dir_))
      if (e.path().filename().string().rfind("vantor-send.args", 0) == 0)
        fs::remove(e.path());
  }

  std::unique_ptr<dicom::MoveJob> Job(bool internal_id = false) {
    return ImagePrepareForSend(ContextOn(db_, false, internal_id),
                               Identifier({{0x0008, 0x0052, Value("STUDY")},
                                           {0x0020, 0x000D, Value("1.2.3")}}),
                               "127.0.0.1", 11112, "DEST");
  }
  bool HandOff(bool internal_id = false) { return Job(internal_id) != nullptr; }

  // What the stand-in senders were started with, once `count` have run.
  std::set<std::string> SenderArguments(size_t count) {
    std::set<std::string> args;
    for (int i = 0; i < 100 && args.size() < count; ++i) {
      args.clear();
      for (const auto& e : fs::directory_iterator(dir_)) {
        std::string name = e.path().filename().string();
        if (name.rfind("vantor-send.args.", 0) == 0 &&
            name.find(".tmp") == std::string::npos)
          args.insert(ReadWholeFile(e.path().string()));
      }
      if (args.size() < count)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return args;
  }

  // Children of this process that have ended but were not collected.
  int Zombies() {
    int zombies = 0;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return 0;
    while (dirent* e = ::readdir(proc)) {
      if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
      std::string stat =
          ReadWholeFile(std::string("/proc/") + e->d_name + "/stat");
      size_t close = stat.rfind(')');
      if (close == std::string::npos) continue;
      char state = 0;
      int ppid = 0;
      if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 &&
          ppid == ::getpid() && state == 'Z')
        ++zombies;
    }
    ::closedir(proc);
    return zombies;
  }

  ScopedSettings settings_;
  Database db_;
  std::string dir_;
};

TEST_F(HandOffTest, WritesJobsZeroThenOneAndStartsTheSenderOnEach) {
  const std::string temp = dir_ + "/drives/c/Temp";
  // A stale return file of job 0 goes before the job starts.
  fs::create_directories(temp);
  std::ofstream(temp + "/Return104_0") << "old";
  fs::permissions(temp + "/Return104_0", fs::perms::owner_read);

  ASSERT_TRUE(HandOff());
  EXPECT_EQ(ReadWholeFile(temp + "/Send104_0"),
            "sqlite:E:\\db\\archive.db\r\n"
            "SELECT DISTINCT ArchivePath, ArchiveUNC, MirrorPath, MirrorUNC, "
            "StudyDirectory1 FROM VIEW_Series WHERE  StudyUID = '1.2.3' AND "
            "(FKeyStatusID > -1 Or FKeyStatusID Is Null)\r\n"
            "E:\\Temp\\Unzip\\104\\\r\n0\r\nC:\\Temp\\Return104_0\r\n"
            "KELMORA\r\n127.0.0.1\r\n11112\r\nDEST\r\n");
  EXPECT_FALSE(fs::exists(temp + "/Return104_0"));
  EXPECT_TRUE(fs::is_directory(dir_ + "/drives/e/Temp/Unzip/104"));

  // The work directory is emptied; its subfolders stay.
  std::ofstream(dir_ + "/drives/e/Temp/Unzip/104/left.dcm") << "x";
  fs::create_directories(dir_ + "/drives/e/Temp/Unzip/104/sub");
  ASSERT_TRUE(HandOff(true));
  EXPECT_THAT(ReadWholeFile(temp + "/Send104_1"),
              HasSubstr("\r\n-1\r\nC:\\Temp\\Return104_1\r\n"));
  EXPECT_FALSE(fs::exists(dir_ + "/drives/e/Temp/Unzip/104/left.dcm"));
  EXPECT_TRUE(fs::is_directory(dir_ + "/drives/e/Temp/Unzip/104/sub"));

  EXPECT_EQ(SenderArguments(2), (std::set<std::string>{temp + "/Send104_0|",
                                                       temp + "/Send104_1|"}));
  int zombies = Zombies();
  for (int i = 0; i < 100 && zombies > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    zombies = Zombies();
  }
  EXPECT_EQ(zombies, 0);

  std::string debug = ReadWholeFile(dir_ + "/Logs/DebugVantor104.log");
  EXPECT_THAT(debug, HasSubstr("\tDICOM-Operation: C-MOVE\t\r\n"));
  EXPECT_THAT(debug, HasSubstr("\tSQL: SELECT DISTINCT ArchivePath"));
}

TEST_F(HandOffTest, FailsWhenTheSenderCannotStartOrTheJobCannotBeWritten) {
  fs::remove(dir_ + "/vantor-send");
  EXPECT_FALSE(HandOff());
  // The job written before the failure stays.
  EXPECT_TRUE(fs::exists(dir_ + "/drives/c/Temp/Send104_0"));
  EXPECT_THAT(ReadWholeFile(dir_ + "/Logs/ErrorVantor104.log"),
              HasSubstr("\tImagePrepareForSend\r\n"));

  fs::remove_all(dir_ + "/drives/c");
  EXPECT_FALSE(HandOff());
}

TEST_F(HandOffTest, AnIdentifierWithoutKeysIsNotHandedOff) {
  EXPECT_EQ(
      ImagePrepareForSend(ContextOn(db_),
                          Identifier({{0x0008, 0x0052, Value("STUDY")}}),
                          "127.0.0.1", 11112, "DEST"),
      nullptr);
  EXPECT_FALSE(fs::exists(dir_ + "/drives/c/Temp/Send104_0"));
}

// A line break in a key would add lines to the job file (another database,
// return file or destination); such an identifier is not handed over.
TEST_F(HandOffTest, AKeyWithALineBreakIsNotHandedOff) {
  for (const char* name : {"A\r\nsqlite:/tmp/other.db", "A\nB", "A\rB"}) {
    EXPECT_FALSE(
        ImagePrepareForSend(ContextOn(db_),
                            Identifier({{0x0008, 0x0052, Value("STUDY")},
                                        {0x0010, 0x0010, Value(name)}}),
                            "127.0.0.1", 11112, "DEST"));
  }
  EXPECT_FALSE(fs::exists(dir_ + "/drives/c/Temp/Send104_0"));
}

}  // namespace
}  // namespace vantor
