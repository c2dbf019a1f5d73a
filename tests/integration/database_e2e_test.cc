// The archive database under the running service, on SQLite and on
// PostgreSQL: many parallel C-FIND clients, and an archive that goes
// missing, turns into garbage (a file only) or loses its views, then comes
// back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fixture_archive.h"
#include "tests/support/service_process.h"
#include "tests/support/test_images.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr char kStudy[] = "1.2.826.0.1.3680043.9.16.1";
constexpr char kSeries[] = "1.2.826.0.1.3680043.9.16.1.1";

// How often `needle` occurs in `text`.
int Count(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size()))
    ++n;
  return n;
}

ToolResult Find(const ServiceProcess& service,
                const std::vector<std::string>& options) {
  std::vector<std::string> args = {"-v", "-S", "-aet", "FINDSCU"};
  args.insert(args.end(), options.begin(), options.end());
  args.push_back("127.0.0.1");
  args.push_back(service.port_text());
  return RunDcmtkTool("findscu", args, std::chrono::seconds(60));
}

// 50 findscu clients at once, each asking ten times on its association
// (every request opens and closes a database connection of its own).
// The service takes 32 associations at a time and turns the others away as
// congested: those clients ask again. Every client must get every study it
// asked for, with a success at the end of each round.
class DatabaseStressTest : public ::testing::TestWithParam<ArchiveBackend> {};

INSTANTIATE_TEST_SUITE_P(Archive, DatabaseStressTest, kArchiveBackends,
                         ArchiveBackendName);

TEST_P(DatabaseStressTest, FiftyParallelFindClientsAreAllAnswered) {
  constexpr int kClients = 50;
  constexpr int kRepeat = 10;
  constexpr int kStudies = 6;
  FixtureArchive archive(GetParam());
  VANTOR_SKIP_UNLESS_READY(archive);
  std::vector<std::string> uids;
  for (int p = 0; p < kStudies; ++p) {
    FixtureArchive::Patient patient;
    patient.patient_id = "S" + std::to_string(p);
    patient.last_name = "Stress";
    FixtureArchive::Study study;
    study.study_uid = std::string(kStudy) + "." + std::to_string(p);
    uids.push_back(study.study_uid);
    archive.AddStudy(archive.AddPatient(patient), study);
  }
  archive.AddNode("FINDSCU", "127.0.0.1");
  ServiceProcess service;
  ServiceProcess::Options options;
  options.db_server = archive.DBServer();
  options.debug = false;
  ASSERT_TRUE(service.Start(options)) << service.Describe();

  std::vector<ToolResult> results(kClients);
  std::vector<int> attempts(kClients, 0);
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      for (int attempt = 0; attempt < 100; ++attempt) {
        attempts[c] = attempt + 1;
        results[c] =
            Find(service, {"--repeat", std::to_string(kRepeat), "-k",
                           "QueryRetrieveLevel=STUDY", "-k",
                           "PatientName=Stress", "-k", "StudyInstanceUID"});
        if (results[c].output.find("Temporary Congestion") == std::string::npos)
          return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    });
  }
  for (std::thread& t : clients) t.join();

  for (int c = 0; c < kClients; ++c) {
    SCOPED_TRACE("client " + std::to_string(c) + ", attempt " +
                 std::to_string(attempts[c]));
    const ToolResult& r = results[c];
    ASSERT_FALSE(r.timed_out) << r.output;
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(Count(r.output, "(Pending)"), kRepeat * kStudies) << r.output;
    EXPECT_EQ(Count(r.output, "Received Final Find Response (Success)"),
              kRepeat)
        << r.output;
    for (const std::string& uid : uids)
      EXPECT_EQ(Count(r.output, "[" + uid + "]"), kRepeat) << uid;
  }
  // Alive, and answering as before.
  ASSERT_TRUE(service.running()) << service.Describe();
  ToolResult after = Find(service, {"-k", "QueryRetrieveLevel=STUDY", "-k",
                                    "StudyInstanceUID=" + uids[0]});
  EXPECT_THAT(after.output, HasSubstr("Received Final Find Response (Success)"))
      << after.output;
  EXPECT_EQ(Count(after.output, "(Pending)"), 1);
  EXPECT_EQ(service.ErrorLog(), "");
}

// A study of two images in the archive folder; C-FIND and C-GET callers.
// Each test breaks the archive, expects both requests to fail, puts it back
// and expects both to be answered, without a restart.
class DatabaseFaultTest : public ::testing::TestWithParam<ArchiveBackend> {
 protected:
  void SetUp() override {
    VANTOR_SKIP_UNLESS_READY(archive_);
    const std::string folder = archive_.dir() + "/archive/ST1";
    fs::create_directories(folder);
    FixtureArchive::Location where;
    where.archive_path = archive_.dir() + "/archive";
    FixtureArchive::Patient patient;
    patient.patient_id = "DF1";
    patient.last_name = "Fault";
    FixtureArchive::Study study;
    study.study_uid = kStudy;
    study.archive_id = archive_.AddLocation(where);
    study.directory = "ST1";
    FixtureArchive::Series series;
    series.series_uid = kSeries;
    const int64_t se = archive_.AddSeries(
        archive_.AddStudy(archive_.AddPatient(patient), study), series);
    for (int i = 1; i <= 2; ++i) {
      TestImage image;
      image.sop_instance_uid = std::string(kSeries) + "." + std::to_string(i);
      image.study_uid = kStudy;
      image.series_uid = kSeries;
      image.patient_id = "DF1";
      image.patient_name = "Fault";
      WriteTestImage(folder + "/" + image.sop_instance_uid + ".dcm", image);
      FixtureArchive::Image row;
      row.image_uid = image.sop_instance_uid;
      row.image_nr = i;
      archive_.AddImage(se, row);
    }
    archive_.AddNode("FINDSCU", "127.0.0.1");
    archive_.AddNode("GETSCU", "127.0.0.1");
    ServiceProcess::Options options;
    options.db_server = archive_.DBServer();
    ASSERT_TRUE(service_.Start(options)) << service_.Describe();
    ExpectAnswered();
  }

  ToolResult StudyFind() {
    return Find(service_, {"-k", "QueryRetrieveLevel=STUDY", "-k",
                           std::string("StudyInstanceUID=") + kStudy, "-k",
                           "PatientName"});
  }

  // A C-GET of the study into a fresh folder; `received` gets its files.
  ToolResult StudyGet(size_t& received) {
    const std::string out = archive_.dir() + "/got" + std::to_string(++gets_);
    fs::create_directories(out);
    ToolResult r =
        RunDcmtkTool("getscu", {"-v", "-S", "-aet", "GETSCU", "-od", out, "-k",
                                "QueryRetrieveLevel=STUDY", "-k",
                                std::string("StudyInstanceUID=") + kStudy,
                                "127.0.0.1", service_.port_text()});
    received = static_cast<size_t>(
        std::distance(fs::directory_iterator(out), fs::directory_iterator()));
    return r;
  }

  void ExpectAnswered() {
    ToolResult find = StudyFind();
    EXPECT_EQ(Count(find.output, "(Pending)"), 1) << find.output;
    EXPECT_THAT(find.output,
                HasSubstr("Received Final Find Response (Success)"))
        << find.output << service_.Describe();
    size_t received = 0;
    ToolResult get = StudyGet(received);
    EXPECT_THAT(get.output, HasSubstr("Received C-GET Response (Success)"))
        << get.output << service_.Describe();
    EXPECT_EQ(received, 2u) << get.output;
  }

  // Both requests end with C000 (unable to process), nothing found and
  // nothing sent.
  void ExpectFailed() {
    ToolResult find = StudyFind();
    EXPECT_EQ(Count(find.output, "(Pending)"), 0) << find.output;
    EXPECT_THAT(find.output, Not(HasSubstr("(Success)"))) << find.output;
    EXPECT_THAT(find.output,
                HasSubstr("Final Find Response (Failed: UnableToProcess)"))
        << find.output;
    size_t received = 0;
    ToolResult get = StudyGet(received);
    EXPECT_EQ(received, 0u) << get.output;
    EXPECT_THAT(get.output, Not(HasSubstr("(Success)"))) << get.output;
    EXPECT_THAT(get.output,
                HasSubstr("C-GET Response (Failed: UnableToProcess)"))
        << get.output;
    EXPECT_TRUE(service_.running()) << service_.Describe();
  }

  FixtureArchive archive_{GetParam()};
  ServiceProcess service_;
  int gets_ = 0;
};

INSTANTIATE_TEST_SUITE_P(Archive, DatabaseFaultTest, kArchiveBackends,
                         ArchiveBackendName);

TEST_P(DatabaseFaultTest, MissingArchiveIsAFailureAndNotCreated) {
  archive_.TakeAway();
  ExpectFailed();
  EXPECT_FALSE(archive_.Present());
  EXPECT_THAT(service_.ErrorLog(), HasSubstr("\tConOpen\r\n"));
  archive_.PutBack();
  ExpectAnswered();
}

// An archive file to spoil: SQLite only.
class ArchiveFileFaultTest : public DatabaseFaultTest {};

INSTANTIATE_TEST_SUITE_P(Archive, ArchiveFileFaultTest,
                         ::testing::Values(ArchiveBackend::kSqlite),
                         ArchiveBackendName);

TEST_P(ArchiveFileFaultTest, ArchiveFileOfGarbageIsAFailure) {
  archive_.TakeAway();
  std::ofstream(archive_.db_path(), std::ios::binary)
      << std::string(4096, '\x5a') << "no database at all";
  ExpectFailed();
  archive_.PutBack();
  ExpectAnswered();
}

TEST_P(DatabaseFaultTest, DroppedViewsAreAFailure) {
  for (const char* view : {"VIEW_Images", "VIEW_Series", "VIEW_Studies",
                           "VIEW_Patienten_Standard"})
    archive_.Exec(std::string("DROP VIEW ") + view);
  ExpectFailed();
  EXPECT_THAT(service_.ErrorLog(), HasSubstr("\tPrepareSendCGet\r\n"));
  archive_.RestoreViews();
  ExpectAnswered();
}

}  // namespace
}  // namespace vantor
