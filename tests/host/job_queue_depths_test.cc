// The metrics' view of the job tables on a real PostgreSQL: rows waiting
// and held are counted per queue, nothing is read while work is not queued
// in the database, and an archive that is away reads as unknown, not as an
// empty queue.
#include "host/job_queue_depths.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "tests/support/fixture_archive.h"

namespace vantor {
namespace {

class JobQueueDepthsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VANTOR_SKIP_UNLESS_READY(archive_);
    auto config = std::make_shared<Config>(*Settings());
    config->DBServer = archive_.DBServer();
    config->JobQueue = "database";
    config_ = config;
  }

  // The next reading is a fresh one (readings are kept for a second).
  static void NextReading() {
    std::this_thread::sleep_for(std::chrono::milliseconds(1050));
  }

  FixtureArchive archive_{ArchiveBackend::kPostgres};
  std::shared_ptr<const Config> config_;
  ConnectionPool pool_;
};

TEST_F(JobQueueDepthsTest, CountsEachQueueAndReadsUnknownWhileTheArchiveIsAway) {
  archive_.Exec("INSERT INTO tblMoveJobs (Payload) VALUES ('a'), ('b')");
  archive_.Exec(
      "INSERT INTO tblMoveJobs (State, Payload) VALUES ('done', 'c')");
  archive_.Exec(
      "INSERT INTO tblImportJobs (State, Payload, Owner, LeaseUntil) VALUES "
      "('running', '1.2.3', 'front-a', now() + interval '1 minute')");
  JobQueueDepths depths(&pool_, [this] { return config_; });
  EXPECT_EQ(depths.Read(JobKind::kMove, false), 2);
  EXPECT_EQ(depths.Read(JobKind::kMove, true), 0);
  EXPECT_EQ(depths.Read(JobKind::kCommitment, false), 0);
  EXPECT_EQ(depths.Read(JobKind::kImport, false), 0);
  EXPECT_EQ(depths.Read(JobKind::kImport, true), 1);

  archive_.TakeAway();
  pool_.Clear();
  NextReading();
  EXPECT_TRUE(std::isnan(depths.Read(JobKind::kMove, false)));
  archive_.PutBack();
  NextReading();
  EXPECT_EQ(depths.Read(JobKind::kMove, false), 2);

  // Work not queued in the database: nothing to read, nothing waits.
  auto off = std::make_shared<Config>(*config_);
  off->JobQueue = "";
  config_ = off;
  NextReading();
  EXPECT_EQ(depths.Read(JobKind::kMove, false), 0);
}

}  // namespace
}  // namespace vantor
