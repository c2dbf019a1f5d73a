// The archive's PostgreSQL goes away under a running service, as by a
// fail-over: every session of the archive is ended, then the server
// restarts, while a client keeps storing images and asking for a study.
// Requests caught in the middle fail with a failure status, never with a
// success that was not; the ones after succeed; every image answered as
// stored ends up in the archive.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/base/database.h"
#include "tests/support/fixture_archive.h"
#include "tests/support/pg_server.h"
#include "tests/support/service_process.h"
#include "tests/support/store_destination.h"
#include "tests/support/test_images.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

constexpr char kKnownStudy[] = "1.2.826.0.1.3680043.9.17.1";
constexpr char kStoredStudy[] = "1.2.826.0.1.3680043.9.17.2";
constexpr char kStoredSeries[] = "1.2.826.0.1.3680043.9.17.2.1";

int Count(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size()))
    ++n;
  return n;
}

// One round of the client: an image stored, the known study asked for.
struct Round {
  std::string uid;
  bool stored = false;  // storescu was answered with a success
  bool found = false;   // findscu's final response was a success
  std::string store_output;
  std::string find_output;
};

class DatabaseFailoverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VANTOR_SKIP_UNLESS_READY(archive_);
    work_ = archive_.dir() + "/work";
    store_ = archive_.dir() + "/store";
    fs::create_directories(work_);
    fs::create_directories(store_);
    archive_.AddLocation({.archive_path = store_});
    archive_.AddNode("FINDSCU", "127.0.0.1");
    archive_.AddNode("MODAL", "127.0.0.1", false, false, true);
    FixtureArchive::Patient patient;
    patient.patient_id = "FO1";
    patient.last_name = "Failover";
    FixtureArchive::Study study;
    study.study_uid = kKnownStudy;
    archive_.AddStudy(archive_.AddPatient(patient), study);
    database_ =
        archive_.Query("SELECT current_database() AS d").Get(0, "d").ToText();

    ServiceProcess::Options options;
    options.db_server = archive_.DBServer();
    options.debug = false;
    options.instance_values = {{"Import", "1"},
                               {"DateFormat", FixtureArchive::kDateFormat}};
    ASSERT_TRUE(service_.Start(options)) << service_.Describe();
  }
  void TearDown() override {
    stop_ = true;
    if (client_.joinable()) client_.join();
    service_.Stop();
  }

  std::string Incoming() const {
    return service_.program_dir() + "/drives/e/Temp/";
  }

  Round RunRound(int n) {
    Round round;
    TestImage image;
    image.study_uid = kStoredStudy;
    image.series_uid = kStoredSeries;
    image.sop_instance_uid =
        std::string(kStoredSeries) + "." + std::to_string(n);
    image.patient_id = "FO2";
    image.patient_name = "Failover^Stored";
    const std::string path = work_ + "/" + image.sop_instance_uid;
    WriteTestImage(path, image);
    round.uid = image.sop_instance_uid;
    ToolResult store = RunDcmtkTool(
        "storescu",
        {"-v", "-aet", "MODAL", "127.0.0.1", service_.port_text(), path},
        std::chrono::seconds(60));
    round.stored = !store.timed_out &&
                   store.output.find("Received Store Response (Success)") !=
                       std::string::npos;
    round.store_output = store.output;
    ToolResult find = RunDcmtkTool(
        "findscu",
        {"-v", "-S", "-aet", "FINDSCU", "-k", "QueryRetrieveLevel=STUDY", "-k",
         std::string("StudyInstanceUID=") + kKnownStudy, "127.0.0.1",
         service_.port_text()},
        std::chrono::seconds(60));
    round.found = !find.timed_out &&
                  find.output.find("Received Final Find Response (Success)") !=
                      std::string::npos;
    round.find_output = find.output;
    return round;
  }

  // Runs rounds on a thread of its own until stop_ (at most 400).
  void StartClient() {
    client_ = std::thread([this] {
      for (int n = 1; n <= 400 && !stop_; ++n) {
        Round round = RunRound(n);
        std::lock_guard<std::mutex> lock(mu_);
        rounds_.push_back(std::move(round));
      }
    });
  }

  size_t RoundsDone() {
    std::lock_guard<std::mutex> lock(mu_);
    return rounds_.size();
  }

  // Waits (bounded) until `more` further rounds are done.
  bool WaitForRounds(size_t more) {
    const size_t target = RoundsDone() + more;
    for (int i = 0; i < 1200; ++i) {
      if (RoundsDone() >= target) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  FixtureArchive archive_{ArchiveBackend::kPostgres};
  ServiceProcess service_;
  std::string work_;
  std::string store_;
  std::string database_;
  std::thread client_;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::vector<Round> rounds_;
};

TEST_F(DatabaseFailoverTest, RequestsSurviveEndedSessionsAndARestart) {
  StartClient();
  ASSERT_TRUE(WaitForRounds(3));

  // Every session of the archive ends at once, the service's pooled
  // connections included.
  Database admin;
  admin.Open(PgServer::Get().ConnectionTextFor("postgres"));
  admin.Query(
      "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = "
      "'" +
      database_ + "' AND pid <> pg_backend_pid()");
  admin.Close();
  ASSERT_TRUE(WaitForRounds(5));

  // The server itself goes down and comes back.
  PgServer::Get().Restart();
  ASSERT_TRUE(WaitForRounds(5));

  stop_ = true;
  client_.join();

  std::set<std::string> answered;
  for (size_t i = 0; i < rounds_.size(); ++i) {
    const Round& round = rounds_[i];
    SCOPED_TRACE("round " + std::to_string(i + 1));
    if (round.stored) answered.insert(round.uid);
    // A success is a true one: the known study, once; a failure is a
    // failure status, or no association at all.
    if (round.found) {
      EXPECT_EQ(Count(round.find_output, "(Pending)"), 1) << round.find_output;
    } else {
      EXPECT_EQ(Count(round.find_output, "(Pending)"), 0) << round.find_output;
      EXPECT_THAT(round.find_output, ::testing::Not(HasSubstr("(Success)")))
          << round.find_output;
    }
  }
  // The last rounds, after both faults, succeed.
  ASSERT_GE(rounds_.size(), 3u);
  for (size_t i = rounds_.size() - 3; i < rounds_.size(); ++i) {
    EXPECT_TRUE(rounds_[i].stored) << rounds_[i].store_output;
    EXPECT_TRUE(rounds_[i].found) << rounds_[i].find_output;
  }

  // Every image answered as stored is in the archive.
  ASSERT_TRUE(WaitUntilImported(Incoming(), std::chrono::seconds(60)))
      << service_.Describe();
  std::set<std::string> rows;
  for (const auto& row : archive_.Query("SELECT ImageUID FROM tblImages").rows)
    rows.insert(row.at(0).ToText());
  for (const std::string& uid : answered)
    EXPECT_TRUE(rows.count(uid)) << uid << " was answered but has no row";
  EXPECT_TRUE(FilesIn(Incoming() + "failed/").empty());
  // The service saw the connections go and replaced them.
  EXPECT_THAT(service_.ErrorLog(), HasSubstr("DB connection lost"))
      << service_.Describe();
  EXPECT_TRUE(service_.running()) << service_.Describe();
}

}  // namespace
}  // namespace vantor
